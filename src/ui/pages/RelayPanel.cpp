#include "ui/pages/RelayPanel.h"

#include "ui/pages/PageBuild.h"
#include "ui/widgets/Controls.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

using namespace settings_ui;

namespace {

const char* const kControlNames[3] = {"Alarm", "Phone", "Temp"};
const char* const kControlCaptions[3] = {"On alarm event", "On incoming call", "On temperature event"};

const char* const kTempNames[4] = {"In", "Out", "Plus", "Minus"};
const char* const kTempCaptions[4] = {
    "Activate the relay within the temperature range",
    "Activate the relay out of the temperature range",
    "Activate above the max. temp. threshold, and deactivate below the min. threshold",
    "Activate below the min. temp. threshold, and deactivate above the max. threshold",
};

}   // namespace

RelayPanel::RelayPanel(int number, QWidget* parent) : number_(number) {
    const QString n = QString::number(number);
    auto name = [&n](const char* pattern) { return QString::fromLatin1(pattern).arg(n); };

    box_ = group(parent, name("gbRelay%1"), QStringLiteral(" Relay %1 ").arg(n));

    // Timing: bistable, or timed with its seconds.
    auto* timing = new QWidget(box_);
    auto* timingLay = new QGridLayout(timing);
    timingLay->setContentsMargins(0, 0, 0, 0);
    rbBistable = radio(timing, name("rbRelay%1Bistable"), "Bistable (deactivation event requested)");
    rbTimed = radio(timing, name("rbRelay%1Timed"), "Timed (1-9999 sec):");
    seTimed = named(new SpinEdit(timing), name("seRelay%1Timed"));
    seTimed->setMaximumWidth(100);
    hiddenTimed = hidden(checkBox(box_, name("_cbRelay%1Timed")));
    auto* timingGroup = new QButtonGroup(box_);
    timingGroup->addButton(rbBistable);
    timingGroup->addButton(rbTimed);
    timingLay->addWidget(rbBistable, 0, 0, 1, 2);
    timingLay->addWidget(rbTimed, 1, 0);
    timingLay->addWidget(seTimed, 1, 1);
    timingLay->setColumnStretch(2, 1);
    timingLay->setRowStretch(2, 1);

    // Control mode.
    auto* control = group(box_, name("gbRelay%1Control"), " Relay control ");
    auto* controlLay = new QVBoxLayout(control);
    auto* controlGroup = new QButtonGroup(box_);
    for (int i = 0; i < 3; ++i) {
        rbControl[i] = radio(control, name("rbRelay%1Control") + kControlNames[i], kControlCaptions[i]);
        controlGroup->addButton(rbControl[i]);
        controlLay->addWidget(rbControl[i]);
    }
    hiddenControl = hidden(edit(box_, name("_edRelay%1Control")));

    // Start and stop events of the alarm mode and of the phone mode.
    auto eventGroup = [&](const char* pattern, const char* caption) {
        auto* g = group(box_, name(pattern), caption);
        new QVBoxLayout(g);
        return g;
    };
    auto addBox = [&](QGroupBox* g, const QString& boxName, const QString& caption) {
        g->layout()->addWidget(checkBox(g, boxName, caption));
    };
    auto* alarmStart = eventGroup("gbRelay%1AlarmStartEvent", " Activation event ");
    auto* alarmStop = eventGroup("gbRelay%1AlarmStopEvent", " Deactivation event ");
    for (int input = 1; input <= 2; ++input) {
        const QString in = QString::number(input);
        addBox(alarmStart, name("cbRelay%1Z") + in + "Alarm", "IN" + in + " Alarm");
        addBox(alarmStop, name("cbRelay%1Z") + in + "Restore", "IN" + in + " restore");
    }
    auto* phoneStart = eventGroup("gbRelay%1PhoneStartEvent", " Activation event ");
    auto* phoneStop = eventGroup("gbRelay%1PhoneStopEvent", " Deactivation event ");
    for (int t = 1; t <= 4; ++t) {
        const QString caption = QStringLiteral("Call from T%1 phone number").arg(t);
        addBox(phoneStart, name("cbRelay%1T") + QString::number(t) + "Start", caption);
        addBox(phoneStop, name("cbRelay%1T") + QString::number(t) + "Stop", caption);
    }
    addBox(phoneStart, name("cbRelay%1UnknownStart"), "Call from unknown phone number");
    addBox(phoneStop, name("cbRelay%1UnknownStop"), "Call from unknown phone number");
    for (auto* g : {alarmStart, alarmStop, phoneStart, phoneStop})
        static_cast<QVBoxLayout*>(g->layout())->addStretch(1);
    auto* answerSms = checkBox(box_, name("rbRelay%1SendAnswerSMS"), "Send response SMS");

    // Temperature: a threshold pair and the four ways of using it.
    // No caption of its own: the translation tables carry none for it.
    auto* temp = group(box_, number == 1 ? "GroupBox18" : "GroupBox13");
    auto* tempLay = new QGridLayout(temp);
    tbMinTemp = tempBar(temp, name("tbRelay%1MinTemp"));
    tbMaxTemp = tempBar(temp, name("tbRelay%1MaxTemp"));
    auto* minValue = label(temp, name("lbRelay%1MinCelsius"), QString());
    auto* maxValue = label(temp, name("lbRelay%1MaxCelsius"), QString());
    tempLay->addWidget(label(temp, name("lbRelay%1MinTemp"), "Min. temperature threshold:"), 0, 0);
    tempLay->addWidget(tbMinTemp, 0, 1);
    tempLay->addWidget(minValue, 0, 2);
    tempLay->addWidget(label(temp, name("lbRelay%1MaxTemp"), "Max. temperature threshold:"), 1, 0);
    tempLay->addWidget(tbMaxTemp, 1, 1);
    tempLay->addWidget(maxValue, 1, 2);
    tempLay->setColumnMinimumWidth(1, 180);
    tempLay->setColumnStretch(3, 1);
    tempGroup_ = new QButtonGroup(box_);
    for (int i = 0; i < 4; ++i) {
        rbTemp[i] = radio(temp, name("rbRelay%1Temp") + kTempNames[i], kTempCaptions[i]);
        tempGroup_->addButton(rbTemp[i]);
        tempLay->addWidget(rbTemp[i], 2 + i, 0, 1, 4);
    }
    hiddenTempInOut = hidden(edit(box_, name("_edRelay%1TempInOut")));
    pair_ = std::make_unique<ThresholdPair>(tbMinTemp, minValue, tbMaxTemp, maxValue);

    // Two columns: timing beside the mode, the alarm events, the phone events,
    // then the response SMS and the temperature group across the panel.
    auto* lay = new QGridLayout(box_);
    lay->addWidget(timing, 0, 0);
    lay->addWidget(control, 0, 1);
    lay->addWidget(alarmStart, 1, 0);
    lay->addWidget(alarmStop, 1, 1);
    lay->addWidget(phoneStart, 2, 0);
    lay->addWidget(phoneStop, 2, 1);
    lay->addWidget(answerSms, 3, 0, 1, 2);
    lay->addWidget(temp, 4, 0, 1, 2);
    lay->setColumnStretch(0, 1);
    lay->setColumnStretch(1, 1);
}

void RelayPanel::timingSelected(bool timed) { hiddenTimed->setChecked(timed); }

void RelayPanel::hiddenTimedChanged() { (hiddenTimed->isChecked() ? rbTimed : rbBistable)->setChecked(true); }

void RelayPanel::controlSelected(int code) { hiddenControl->setText(QString::number(code)); }

void RelayPanel::hiddenControlChanged() {
    // Anything but "0" and "2" shows the phone mode; selecting it rewrites the
    // code to "1" only if the phone mode was not already shown.
    const QString code = hiddenControl->text();
    if (code == QLatin1String("0"))
        rbControl[0]->setChecked(true);
    else if (code == QLatin1String("2"))
        rbControl[2]->setChecked(true);
    else
        rbControl[1]->setChecked(true);
}

void RelayPanel::tempSelected(int code) { hiddenTempInOut->setText(QString::number(code)); }

void RelayPanel::hiddenTempChanged() {
    // Only the button whose code matches exactly stays selected; an unknown
    // code leaves all four clear and the text as it is. Clearing runs no
    // handler, and a button that is already selected is left alone, so only
    // real changes are signalled.
    const QString code = hiddenTempInOut->text();
    for (int i = 0; i < 4; ++i)
        if (code == QString::number(i)) {
            rbTemp[i]->setChecked(true);   // the exclusive group clears the others
            return;
        }
    tempGroup_->setExclusive(false);
    for (auto* b : rbTemp) b->setChecked(false);
    tempGroup_->setExclusive(true);
}
