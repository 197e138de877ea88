#include "ui/pages/SettingsPage.h"

#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "ui/pages/PageBuild.h"
#include "ui/widgets/Buddies.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/WheelGuard.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScrollArea>
#include <QSet>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

using namespace settings_ui;

const QColor SettingsPage::kValidColor(255, 255, 255);
const QColor SettingsPage::kInvalidColor(255, 0, 0);

namespace {

constexpr int kSmsMaxLength = 160;

// Input mode codes by radio position.
const char* const kInputCodes[3] = {"NO", "NC", "CA"};

// Event row captions by event code; the rows stand in the order of their numbers.
struct EventCaption {
    const char* code;
    const char* caption;
};
const EventCaption kEventCaptions[] = {
    {"Z1A", "01.  IN1 Alarm"},
    {"Z1R", "02.  IN1 Restore"},
    {"Z2A", "03.  IN2 Alarm"},
    {"Z2R", "04.  IN2 Restore"},
    {"TMPLA", "05.  Min. temperature alarm"},
    {"TMPLR", "06.  Min. temperature restore"},
    {"TMPHA", "07.  Max. temperature alarm"},
    {"TMPHR", "08.  Max. temperature restore"},
    {"TMPSA", "09.  Temperature sensor error"},
    {"TMPSR", "10.  Temperature sensor restore"},
    {"BATTA", "11.  Battery low"},
    {"BATTR", "12.  Battery restore"},
    {"TEST", "13.  Test report"},
};

QString eventCaption(const QByteArray& code) {
    for (const auto& c : kEventCaptions)
        if (code == c.code) return QString::fromLatin1(c.caption);
    return QString::fromLatin1(code);
}

// lbEvent1 ... lbEvent11, lbEventTEMP_S, lbEventTEMP_R
QString eventLabelName(const EventDef& e) {
    return QString::fromLatin1("lbEvent" + (e.editStem.startsWith('_') ? e.editStem.mid(1) : e.editStem));
}

struct SpinRange {
    const char* name;
    int min, max, step;
};
const SpinRange kSpinRanges[] = {
    {"edBattLow", 9000, 28000, 100},
    {"edBattHigh", 9000, 28000, 100},
    {"seAlarmMax", 5, 25, 1},
    {"seTestFreq", 0, 99, 1},
    {"seCarAlarmSec", 1, 99, 1},
    {"seIn1Sensitivity", 10, 600000, 10},
    {"seIn2Sensitivity", 10, 600000, 10},
    {"seRelay1Timed", 1, 9999, 1},
    {"seRelay2Timed", 1, 9999, 1},
};

QLabel* centred(QLabel* l) {
    l->setAlignment(Qt::AlignCenter);
    return l;
}

QGridLayout* thresholdRows(QGroupBox* box, QSlider* minBar, QLabel* minValue, QLabel* minCaption, QSlider* maxBar,
                           QLabel* maxValue, QLabel* maxCaption) {
    auto* grid = new QGridLayout(box);
    grid->addWidget(minCaption, 0, 0);
    grid->addWidget(minBar, 0, 1);
    grid->addWidget(minValue, 0, 2);
    grid->addWidget(maxCaption, 1, 0);
    grid->addWidget(maxBar, 1, 1);
    grid->addWidget(maxValue, 1, 2);
    grid->setColumnMinimumWidth(1, 180);
    grid->setColumnStretch(3, 1);
    return grid;
}

}   // namespace

// ---------------------------------------------------------------------------
// Construction

SettingsPage::SettingsPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsSettings");

    auto* buttons = new QVBoxLayout;
    btnRead_ = named(new QPushButton("Read", this), "btnRead");
    btnWrite_ = named(new QPushButton("Write", this), "btnWrite");
    btnOpen_ = named(new QPushButton("Open", this), "btnOpen");
    btnSave_ = named(new QPushButton("Save", this), "btnSave");
    btnVerify_ = named(new QPushButton("Verify", this), "btnVerify");
    btnReport_ = named(new QPushButton("Print / PDF...", this), "btnReport");
    btnSaveAs_ = named(new QPushButton("Save as...", this), "btnSaveAs");
    for (auto* b : {btnRead_, btnWrite_, btnVerify_, btnOpen_, btnSave_, btnSaveAs_}) buttons->addWidget(b);
    btnRecent_ = named(new QToolButton(this), "btnRecent");
    btnRecent_->setPopupMode(QToolButton::InstantPopup);
    btnRecent_->setToolButtonStyle(Qt::ToolButtonTextOnly);
    btnRecent_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    btnRecent_->setEnabled(false);   // until a file was opened or saved
    buttons->addWidget(btnRecent_);
    buttons->addWidget(btnReport_);
    buttons->addStretch(1);
    btnRead_->setEnabled(false);
    btnWrite_->setEnabled(false);
    btnVerify_->setEnabled(false);

    auto* scroll = named(new QScrollArea(this), "sbSettings");
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto* content = named(new QWidget, "sbSettingsContent");
    // Given to the scroll area while still empty: the area sizes what it
    // holds as it is given it, which for the whole page means measuring
    // every caption; the sections' sizes are worked out once the page is shown.
    scroll->setWidget(content);
    auto* sections = new QVBoxLayout(content);
    sections->setContentsMargins(4, 4, 4, 4);
    sections->addWidget(buildPhoneNumbers(content));
    sections->addWidget(buildNotifications(content));
    sections->addWidget(buildInputs(content));
    sections->addWidget(buildRelays(content));
    sections->addWidget(buildMonitoringStation(content));
    sections->addStretch(1);

    auto* lay = new QHBoxLayout(this);
    lay->setContentsMargins(4, 4, 4, 4);
    lay->addLayout(buttons);
    lay->addWidget(scroll, 1);

    indexControls();
    applySpinRanges();
    wireRules();
    applyDesignValues();
    alignInputRows();
    WheelGuard::install(this);
    linkCaptions(this);
}

SettingsPage::~SettingsPage() = default;

QWidget* SettingsPage::buildPhoneNumbers(QWidget* parent) {
    auto* box = group(parent, "gbUserPhNumbers");
    auto* grid = new QGridLayout(box);
    grid->addWidget(label(box, "lbUserPhones", "User phone numbers"), 0, 0, 1, 2);
    grid->addWidget(label(box, "lbTACK", "Acknowledgement"), 0, 2);
    for (int i = 1; i <= 4; ++i) {
        const QString n = QString::number(i);
        auto* ack = named(new QComboBox(box), "cmbACK" + n);
        ack->setEditable(false);
        ack->setSizeAdjustPolicy(QComboBox::AdjustToContents);   // grows with a longer language
        ack->addItems({"no ack., # = Stop", "* = ack, # = Stop"});
        grid->addWidget(label(box, "lbTPhone" + n, QStringLiteral("T%1 phone number:").arg(i)), i, 0);
        grid->addWidget(edit(box, "EditPhoneNumber" + n), i, 1);
        grid->addWidget(ack, i, 2);
    }
    grid->addWidget(label(box, "lbTPhoneSu", "Superuser"), 5, 0);
    grid->addWidget(edit(box, "EditPhoneNumberSu"), 5, 1);
    grid->addWidget(checkBox(box, "cbSMSfw", "Forward incomming SMS to phone number 1"), 6, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    return box;
}

QWidget* SettingsPage::buildNotifications(QWidget* parent) {
    auto* box = group(parent, "GroupBox1");
    auto* outer = new QVBoxLayout(box);
    outer->addWidget(label(box, "lbEvents", "Events"));

    // The matrix: one row per event in the order of their numbers; columns
    // event, SMS text, calls T1-T4, texts S1-S4, monitoring station, code.
    enum { kColEvent, kColSms, kColCall, kColText = kColCall + 4, kColCid = kColText + 4, kColCode };
    auto* matrix = new QGridLayout;
    matrix->setHorizontalSpacing(4);
    matrix->setVerticalSpacing(2);
    auto* smsHeading = label(box, "lbSMStext", "SMS message (max. 160 characters)");
    smsHeading->setWordWrap(true);
    // Only aligned to the bottom: the grid gives the wrapped heading its height
    // for the column's whole width, so it must get that whole width too.
    smsHeading->setAlignment(Qt::AlignLeft | Qt::AlignBottom);
    matrix->addWidget(smsHeading, 0, kColSms, 2, 1);
    for (int t = 1; t <= 4; ++t) {
        matrix->addWidget(centred(label(box, QStringLiteral("lbT%1").arg(t), QStringLiteral("T%1").arg(t))), 1,
                          kColCall + t - 1);
        matrix->addWidget(centred(label(box, QStringLiteral("lbS%1").arg(t), QStringLiteral("S%1").arg(t))), 1,
                          kColText + t - 1);
    }
    matrix->addWidget(centred(label(box, "lbCent1", "Mon.")), 0, kColCid);
    matrix->addWidget(centred(label(box, "lbCent2", "stat.")), 1, kColCid);
    matrix->addWidget(centred(label(box, "lbContactID", "Contact-ID")), 0, kColCode);
    matrix->addWidget(centred(label(box, "lbCode", "code")), 1, kColCode);

    std::vector<const EventDef*> rows;
    for (const auto& e : eventTable()) rows.push_back(&e);
    std::sort(rows.begin(), rows.end(), [](const EventDef* a, const EventDef* b) { return a->listedAs < b->listedAs; });
    int row = 2;
    for (const EventDef* e : rows) {
        auto* rowCaption = label(box, eventLabelName(*e), eventCaption(e->code));
        matrix->addWidget(rowCaption, row, kColEvent);
        // The SMS texts stop the user's typing at 160 characters, but a longer
        // text loaded from the device or a file is kept whole.
        auto* sms = edit(box, QString::fromLatin1(eventSmsEdit(*e)), kSmsMaxLength);
        sms->setMinimumWidth(90);
        // A text set by the program (it comes with an empty undo history) is
        // shown from its start; setText moves the cursor to the end even when
        // the text does not change.
        connect(sms, &QLineEdit::cursorPositionChanged, sms, [sms] {
            if (!sms->hasFocus() && !sms->isUndoAvailable()) sms->setCursorPosition(0);
        });
        matrix->addWidget(sms, row, kColSms);
        rowCaption->setBuddy(sms);
        // The boxes have no caption of their own: a screen reader names them by row and column.
        auto captionless = [&](const QByteArray& boxName, int column, QList<QLabel*> heading) {
            auto* b = checkBox(box, QString::fromLatin1(boxName));
            matrix->addWidget(b, row, column, Qt::AlignCenter);
            captionlessBoxes_.push_back({b, rowCaption, heading});
        };
        for (int t = 1; t <= 4; ++t) {
            QLabel* callHead = box->findChild<QLabel*>(QStringLiteral("lbT%1").arg(t));
            QLabel* textHead = box->findChild<QLabel*>(QStringLiteral("lbS%1").arg(t));
            if (e->hasCalls) captionless(eventCallBox(*e, t), kColCall + t - 1, {callHead});
            captionless(eventSmsBox(*e, t), kColText + t - 1, {textHead});
        }
        captionless(eventCidBox(*e), kColCid, {box->findChild<QLabel*>("lbCent1"), box->findChild<QLabel*>("lbCent2")});
        auto* code = edit(box, QString::fromLatin1(eventCodeEdit(*e)));
        code->setFixedWidth(64);
        matrix->addWidget(code, row, kColCode, Qt::AlignCenter);
        ++row;
    }
    matrix->setColumnStretch(kColSms, 1);
    outer->addLayout(matrix);

    // Alarm time, test report and battery thresholds.
    auto* props = new QGridLayout;
    auto spin = [box](const char* name) { return named(new SpinEdit(box), name); };
    props->addWidget(label(box, "lbTAlarmMax", "Maximum alarming time (5-25 minutes):"), 0, 0);
    props->addWidget(spin("seAlarmMax"), 0, 1);
    props->addWidget(label(box, "lbTTestFreq", "Test report frequency (0 - 99 days):"), 1, 0);
    props->addWidget(spin("seTestFreq"), 1, 1);
    auto* testNow = named(new QPushButton("Send test report", box), "btTestReportNow");
    props->addWidget(testNow, 1, 2, Qt::AlignLeft);
    props->addWidget(label(box, "lbLowBattery", "Low battery threshold (mV):"), 2, 0);
    props->addWidget(spin("edBattLow"), 2, 1);
    props->addWidget(label(box, "lbLowBatteryRestore", "Battery restore threshold (mV):"), 3, 0);
    props->addWidget(spin("edBattHigh"), 3, 1);
    props->setColumnStretch(3, 1);
    outer->addLayout(props);
    connect(testNow, &QPushButton::clicked, this, &SettingsPage::btTestReportNowClick);

    // Thresholds of the temperature events.
    auto* temp = group(box, "gbTemp", " Temperature ");
    auto* minBar = tempBar(temp, "tbMinTemp");
    auto* maxBar = tempBar(temp, "tbMaxTemp");
    auto* minValue = label(temp, "lbMinCelsius", QString());
    auto* maxValue = label(temp, "lbMaxCelsius", QString());
    thresholdRows(temp, minBar, minValue, label(temp, "lbMinTemp", "Min. temperature threshold:"), maxBar, maxValue,
                  label(temp, "lbMaxTemp", "Max. temperature threshold:"));
    eventPair_ = std::make_unique<ThresholdPair>(minBar, minValue, maxBar, maxValue);
    outer->addWidget(temp);
    return box;
}

QWidget* SettingsPage::buildInputs(QWidget* parent) {
    auto* box = group(parent, "GroupBox2");
    auto* outer = new QVBoxLayout(box);
    outer->addWidget(label(box, "lnInputs", "Inputs"));

    // Two narrow radio columns (IN1, IN2) whose positions line up with the
    // row labels beside them; the temperature sensor box covers IN1's fourth
    // position.
    auto* modes = new QGridLayout;
    modes->setVerticalSpacing(0);
    auto column = [box](const char* name, int positions) {
        auto* g = named(new RadioGroup(box), name);
        g->setFlat(true);
        g->setItems(QStringList(positions, QString()));
        g->layout()->setContentsMargins(0, 0, 0, 0);
        g->setRowSpacing(0);
        g->setStyleSheet("QGroupBox { border: 0px; margin: 0px; padding: 0px; }");
        return g;
    };
    rgIN1_ = column("rgIN1", 4);
    rgIN2_ = column("rgIN2", 3);
    cbTempSens_ = checkBox(rgIN1_, "cbTempSens");
    cbTempSens_->setAutoFillBackground(true);
    rgIN1_->button(3)->installEventFilter(this);
    edIN1_ = hidden(edit(box, "_edIN1"));
    edIN2_ = hidden(edit(box, "_edIN2"));

    modes->addWidget(centred(label(box, "lbIN1", "IN1")), 0, 0);
    modes->addWidget(centred(label(box, "lbIN2", "IN2")), 0, 1);
    modes->addWidget(rgIN1_, 1, 0, 4, 1, Qt::AlignTop | Qt::AlignHCenter);
    modes->addWidget(rgIN2_, 1, 1, 3, 1, Qt::AlignTop | Qt::AlignHCenter);
    inputRows_ = {
        label(box, "rlbShortAct", "Normally open"), label(box, "rlbOpenAct", "Normally closed"),
        label(box, "lbCarAlarm", "Car alarm adaptation  (Activation on impulses received in a regular rhythm)"),
        label(box, "lbTempSens", "Temperature sensor")};
    for (int i = 0; i < inputRows_.size(); ++i) modes->addWidget(inputRows_[i], 1 + i, 2);
    modes->setColumnStretch(2, 1);
    outer->addLayout(modes);

    auto* timing = new QGridLayout;
    auto row = [&](int r, const char* labelName, const char* caption, const char* spinName) {
        timing->addWidget(label(box, labelName, caption), r, 0);
        timing->addWidget(named(new SpinEdit(box), spinName), r, 1);
    };
    row(0, "lbIN1Sensitivity", "IN1 input sensitivity (msec.):", "seIn1Sensitivity");
    row(1, "lbIN2Sensitivity", "IN2 input sensitivity (msec.):", "seIn2Sensitivity");
    row(2, "lbCarAlarmInterval", "Signal interval minimum period of time (seconds):", "seCarAlarmSec");
    timing->setColumnStretch(2, 1);
    outer->addLayout(timing);
    return box;
}

QWidget* SettingsPage::buildRelays(QWidget* parent) {
    auto* box = group(parent, "GroupBox4");
    auto* outer = new QVBoxLayout(box);
    outer->addWidget(label(box, "lbRelayOutputs", "Relay outputs"));
    for (int r = 0; r < 2; ++r) {
        relay_[r] = std::make_unique<RelayPanel>(r + 1, box);
        outer->addWidget(relay_[r]->box());
    }
    return box;
}

QWidget* SettingsPage::buildMonitoringStation(QWidget* parent) {
    auto* box = group(parent, "gbMonitoringPhNumbers");
    auto* grid = new QGridLayout(box);
    grid->addWidget(label(box, "lbTCentr", "Monitoring station"), 0, 0, 1, 2);
    grid->addWidget(label(box, "lbTCentrPhone1", "Phone number:"), 1, 0);
    grid->addWidget(edit(box, "edTCentrPhone1"), 1, 1);
    grid->addWidget(label(box, "lbTUserID", "User ID:"), 2, 0);
    edTUserID_ = edit(box, "edTUserID");
    edTUserID_->setMaximumWidth(120);
    grid->addWidget(edTUserID_, 2, 1, Qt::AlignLeft);
    grid->setColumnStretch(1, 1);
    return box;
}

void SettingsPage::applySpinRanges() {
    for (const auto& s : kSpinRanges) {
        auto* spin = qobject_cast<SpinEdit*>(control(s.name));
        spin->setRange(s.min, s.max);
        spin->setSingleStep(s.step);
    }
}

// The values the page shows before anything is read or opened. They go in
// through the rules, so the radio buttons show the hidden codes and the code
// edits get their colour.
void SettingsPage::applyDesignValues() {
    for (const auto& p : settingsParams()) {
        QWidget* w = control(p.control.constData());
        switch (p.kind) {
            case ParamKind::Edit:
                static_cast<QLineEdit*>(w)->setText(text::fromCp1250(p.designValue));
                break;
            case ParamKind::Spin:
                static_cast<SpinEdit*>(w)->setValue(p.designValue.toInt());
                break;
            case ParamKind::Check:
                static_cast<QCheckBox*>(w)->setChecked(p.designValue != "0");
                break;
            case ParamKind::Combo:
                static_cast<QComboBox*>(w)->setCurrentIndex(p.designValue.toInt());
                break;
            case ParamKind::Track:
                static_cast<QSlider*>(w)->setValue(p.designValue.toInt());
                break;
        }
    }
    // Edits whose design text is empty never changed; colour every checked edit.
    for (const auto& e : eventTable()) ValidateCidEdit(qobject_cast<QLineEdit*>(control(eventCodeEdit(e).constData())));
    edTUserIDChange();
    // The value labels show their design captions until the window formats them.
    for (auto* pair : {eventPair_.get(), &relay_[0]->pair(), &relay_[1]->pair()}) {
        pair->minLabel()->setText(
            text::fromCp1250("0 \xB0"
                             "C"));
        pair->maxLabel()->setText(
            text::fromCp1250("40 \xB0"
                             "C"));
    }
}

QString SettingsPage::inputModeText(int input) const {
    const RadioGroup* g = input == 1 ? rgIN1_ : rgIN2_;
    const int i = g->itemIndex();
    if (i < 0 || i >= inputRows_.size()) return (input == 1 ? edIN1_ : edIN2_)->text();
    return static_cast<QLabel*>(inputRows_[i])->text();
}

void SettingsPage::indexControls() {
    QSet<QString> shared;
    for (QWidget* w : findChildren<QWidget*>()) {
        const QString name = w->objectName();
        if (name.isEmpty() || shared.contains(name)) continue;
        if (controls_.remove(name))
            shared.insert(name);
        else
            controls_.insert(name, w);
    }
}

QWidget* SettingsPage::control(const char* name) const {
    const QString key = QString::fromLatin1(name);
    if (QWidget* w = controls_.value(key)) return w;
    return findChild<QWidget*>(key);
}

ControlDescList SettingsPage::Bindings() const {
    ControlDescList list;
    for (const ParamDef& p : settingsParams()) {
        list.Add(p.key, control(p.control));
        Q_ASSERT_X(list.At(list.Count() - 1).control, "bindings", p.key.constData());
    }
    return list;
}

// ---------------------------------------------------------------------------
// Wiring

struct SettingsPage::RelayHandlers {
    Handler timed, bistable, hiddenTimed;
    Handler control[3];
    Handler controlChange;
    Handler temp[4];
    Handler tempChange;
    Handler minChange, maxChange;
};

void SettingsPage::onSelected(QAbstractButton* button, Handler h) {
    connect(button, &QAbstractButton::toggled, this, [this, h](bool on) {
        if (on) (this->*h)();
    });
}

void SettingsPage::wireRules() {
    using CidHandler = void (SettingsPage::*)(QLineEdit*);
    static const struct {
        const char* edit;
        CidHandler handler;
    } cidHandlers[] = {
        {"edCID1", &SettingsPage::edCID1Change},       {"edCID2", &SettingsPage::edCID2Change},
        {"edCID3", &SettingsPage::edCID3Change},       {"edCID4", &SettingsPage::edCID4Change},
        {"edCID5", &SettingsPage::edCID5Change},       {"edCID6", &SettingsPage::edCID6Change},
        {"edCID7", &SettingsPage::edCID7Change},       {"edCID8", &SettingsPage::edCID8Change},
        {"edCID9", &SettingsPage::edCID9Change},       {"edCID10", &SettingsPage::edCID10Change},
        {"edCID11", &SettingsPage::edCID11Change},     {"edCID_TEMP_S", &SettingsPage::edCID8Change},
        {"edCID_TEMP_R", &SettingsPage::edCID8Change},
    };
    for (const auto& c : cidHandlers) {
        auto* ed = qobject_cast<QLineEdit*>(control(c.edit));
        const CidHandler h = c.handler;
        connect(ed, &QLineEdit::textChanged, this, [this, ed, h] { (this->*h)(ed); });
    }
    connect(edTUserID_, &QLineEdit::textChanged, this, &SettingsPage::edTUserIDChange);

    connect(rgIN1_, &RadioGroup::itemIndexChanged, this, &SettingsPage::rgIN1Click);
    connect(rgIN2_, &RadioGroup::itemIndexChanged, this, &SettingsPage::rgIN2Click);
    connect(edIN1_, &QLineEdit::textChanged, this, &SettingsPage::_edIN1Change);
    connect(edIN2_, &QLineEdit::textChanged, this, &SettingsPage::_edIN2Change);
    connect(cbTempSens_, &QCheckBox::toggled, this, &SettingsPage::cbTempSensClick);
    connect(eventPair_->minBar(), &QSlider::valueChanged, this, &SettingsPage::tbMinTempChange);
    connect(eventPair_->maxBar(), &QSlider::valueChanged, this, &SettingsPage::tbMaxTempChange);

    static const RelayHandlers relayHandlers[2] = {
        {&SettingsPage::rbRelay1TimedClick,
         &SettingsPage::rbRelay1BistableClick,
         &SettingsPage::_cbRelay1TimedClick,
         {&SettingsPage::rbRelay1ControlAlarmClick, &SettingsPage::rbRelay1ControlPhoneClick,
          &SettingsPage::rbRelay1ControlTempClick},
         &SettingsPage::_edRelay1ControlChange,
         {&SettingsPage::rbRelay1TempInClick, &SettingsPage::rbRelay1TempOutClick, &SettingsPage::rbRelay1TempPlusClick,
          &SettingsPage::rbRelay1TempMinusClick},
         &SettingsPage::_edRelay1TempInOutChange,
         &SettingsPage::tbRelay1MinTempChange,
         &SettingsPage::tbRelay1MaxTempChange},
        {&SettingsPage::rbRelay2TimedClick,
         &SettingsPage::rbRelay2BistableClick,
         &SettingsPage::_cbRelay2TimedClick,
         {&SettingsPage::rbRelay2ControlAlarmClick, &SettingsPage::rbRelay2ControlPhoneClick,
          &SettingsPage::rbRelay2ControlTempClick},
         &SettingsPage::_edRelay2ControlChange,
         {&SettingsPage::rbRelay2TempInClick, &SettingsPage::rbRelay2TempOutClick, &SettingsPage::rbRelay2TempPlusClick,
          &SettingsPage::rbRelay2TempMinusClick},
         &SettingsPage::_edRelay2TempInOutChange,
         &SettingsPage::tbRelay2MinTempChange,
         &SettingsPage::tbRelay2MaxTempChange},
    };
    for (int r = 0; r < 2; ++r) wireRelay(*relay_[r], relayHandlers[r]);
}

void SettingsPage::wireRelay(RelayPanel& relay, const RelayHandlers& h) {
    onSelected(relay.rbTimed, h.timed);
    onSelected(relay.rbBistable, h.bistable);
    connect(relay.hiddenTimed, &QCheckBox::toggled, this, h.hiddenTimed);
    for (int i = 0; i < 3; ++i) onSelected(relay.rbControl[i], h.control[i]);
    connect(relay.hiddenControl, &QLineEdit::textChanged, this, h.controlChange);
    for (int i = 0; i < 4; ++i) onSelected(relay.rbTemp[i], h.temp[i]);
    connect(relay.hiddenTempInOut, &QLineEdit::textChanged, this, h.tempChange);
    connect(relay.tbMinTemp, &QSlider::valueChanged, this, h.minChange);
    connect(relay.tbMaxTemp, &QSlider::valueChanged, this, h.maxChange);
}

// ---------------------------------------------------------------------------
// Contact-ID codes, user ID, test report

bool SettingsPage::isValidCidCode(const QString& code) {
    // Four decimal digits; the first, the event qualifier, is 1 (new event) or 3 (restore).
    if (code.size() != 4) return false;
    for (QChar c : code)
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) return false;
    return code[0] == QLatin1Char('1') || code[0] == QLatin1Char('3');
}

bool SettingsPage::isValidUserId(const QString& id) {
    // Four hexadecimal digits, letters in upper case only.
    if (id.size() != 4) return false;
    for (QChar c : id) {
        const bool digit = c >= QLatin1Char('0') && c <= QLatin1Char('9');
        const bool letter = c >= QLatin1Char('A') && c <= QLatin1Char('F');
        if (!digit && !letter) return false;
    }
    return true;
}

QColor SettingsPage::backgroundOf(const QLineEdit* edit) { return edit->palette().color(QPalette::Base); }

void SettingsPage::setValidity(QLineEdit* edit, bool valid) {
    QPalette p = edit->palette();
    p.setColor(QPalette::Base, valid ? kValidColor : kInvalidColor);
    edit->setPalette(p);
}

void SettingsPage::edCID1Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID2Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID3Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID4Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID5Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID6Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID7Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID8Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID9Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID10Change(QLineEdit* sender) { ValidateCidEdit(sender); }
void SettingsPage::edCID11Change(QLineEdit* sender) { ValidateCidEdit(sender); }

void SettingsPage::ValidateCidEdit(QLineEdit* edit) {
    setValidity(edit, isValidCidCode(edit->text()));
    if (updateUIState) updateUIState("EditValidation");
}

void SettingsPage::edTUserIDChange() {
    setValidity(edTUserID_, isValidUserId(edTUserID_->text()));
    if (updateUIState) updateUIState("EditValidation");
}

void SettingsPage::btTestReportNowClick() {
    if (testReportNow) testReportNow();
}

// ---------------------------------------------------------------------------
// Inputs

void SettingsPage::inputPositionChanged(RadioGroup* group, QLineEdit* code) {
    const int pos = group->itemIndex();
    if (pos >= 0 && pos < 3) code->setText(QString::fromLatin1(kInputCodes[pos]));
}

void SettingsPage::inputCodeChanged(QLineEdit* code, RadioGroup* group) {
    // Codes are compared exactly; any other text leaves the position alone.
    for (int i = 0; i < 3; ++i)
        if (code->text() == QLatin1String(kInputCodes[i])) group->setItemIndex(i);
}

void SettingsPage::rgIN1Click() {
    if (rgIN1_->itemIndex() > 0) {
        // NC and CA exclude the temperature sensor; the fourth position lies
        // under the sensor box and falls back to CA (this rule runs again for it).
        cbTempSens_->setChecked(false);
        if (rgIN1_->itemIndex() > 2) rgIN1_->setItemIndex(2);
    }
    inputPositionChanged(rgIN1_, edIN1_);
}

void SettingsPage::rgIN2Click() { inputPositionChanged(rgIN2_, edIN2_); }

void SettingsPage::_edIN1Change() { inputCodeChanged(edIN1_, rgIN1_); }

void SettingsPage::_edIN2Change() { inputCodeChanged(edIN2_, rgIN2_); }

void SettingsPage::cbTempSensClick() {
    // The sensor works only with IN1 normally open.
    if (cbTempSens_->isChecked()) rgIN1_->setItemIndex(0);
}

bool SettingsPage::eventFilter(QObject* watched, QEvent* event) {
    // Keep the sensor box exactly over IN1's fourth position.
    if (watched == rgIN1_->button(3) &&
        (event->type() == QEvent::Move || event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
        cbTempSens_->setGeometry(rgIN1_->button(3)->geometry());
        cbTempSens_->raise();
    }
    return QWidget::eventFilter(watched, event);
}

void SettingsPage::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) alignInputRows();
    QWidget::changeEvent(event);
}

// The radio positions and their row labels share one row height, so that
// each position stands beside its label whatever the font.
void SettingsPage::alignInputRows() {
    if (!rgIN1_) return;
    int h = cbTempSens_->sizeHint().height();
    for (auto* w : inputRows_) h = std::max(h, w->sizeHint().height());
    for (auto* g : {rgIN1_, rgIN2_})
        for (int i = 0; i < g->count(); ++i) h = std::max(h, g->button(i)->sizeHint().height());
    h += 4;
    for (auto* w : inputRows_) w->setFixedHeight(h);
    for (auto* g : {rgIN1_, rgIN2_})
        for (int i = 0; i < g->count(); ++i) g->button(i)->setFixedHeight(h);
    // The sensor box takes the place of IN1's fourth position: room for its
    // check mark, which some styles draw wider than a radio mark.
    rgIN1_->button(3)->setMinimumWidth(cbTempSens_->minimumSizeHint().width());
}

// ---------------------------------------------------------------------------
// Threshold pairs

void SettingsPage::FormatTempLabel(const QSlider* bar, QLabel* label) { formatTempLabel(bar, label); }

void SettingsPage::tbMinTempChange() { eventPair_->minChanged(); }
void SettingsPage::tbMaxTempChange() { eventPair_->maxChanged(); }
void SettingsPage::tbRelay1MinTempChange() { relay_[0]->pair().minChanged(); }
void SettingsPage::tbRelay1MaxTempChange() { relay_[0]->pair().maxChanged(); }
void SettingsPage::tbRelay2MinTempChange() { relay_[1]->pair().minChanged(); }
void SettingsPage::tbRelay2MaxTempChange() { relay_[1]->pair().maxChanged(); }

void SettingsPage::formatAllTempLabels() {
    eventPair_->formatLabels();
    for (auto& r : relay_) r->pair().formatLabels();
}

void SettingsPage::beginLoad() {
    if (loadDepth_++ > 0) return;
    eventPair_->setLoading(true);
    for (auto& r : relay_) r->pair().setLoading(true);
}

void SettingsPage::endLoad() {
    if (loadDepth_ == 0 || --loadDepth_ > 0) return;
    eventPair_->settle();
    for (auto& r : relay_) r->pair().settle();
}

// ---------------------------------------------------------------------------
// Relays

void SettingsPage::rbRelay1TimedClick() { relay_[0]->timingSelected(true); }
void SettingsPage::rbRelay1BistableClick() { relay_[0]->timingSelected(false); }
void SettingsPage::_cbRelay1TimedClick() { relay_[0]->hiddenTimedChanged(); }
void SettingsPage::rbRelay1ControlAlarmClick() { relay_[0]->controlSelected(0); }
void SettingsPage::rbRelay1ControlPhoneClick() { relay_[0]->controlSelected(1); }
void SettingsPage::rbRelay1ControlTempClick() { relay_[0]->controlSelected(2); }
void SettingsPage::_edRelay1ControlChange() { relay_[0]->hiddenControlChanged(); }
void SettingsPage::rbRelay1TempInClick() { relay_[0]->tempSelected(0); }
void SettingsPage::rbRelay1TempOutClick() { relay_[0]->tempSelected(1); }
void SettingsPage::rbRelay1TempPlusClick() { relay_[0]->tempSelected(2); }
void SettingsPage::rbRelay1TempMinusClick() { relay_[0]->tempSelected(3); }
void SettingsPage::_edRelay1TempInOutChange() { relay_[0]->hiddenTempChanged(); }

void SettingsPage::rbRelay2TimedClick() { relay_[1]->timingSelected(true); }
void SettingsPage::rbRelay2BistableClick() { relay_[1]->timingSelected(false); }
void SettingsPage::_cbRelay2TimedClick() { relay_[1]->hiddenTimedChanged(); }
void SettingsPage::rbRelay2ControlAlarmClick() { relay_[1]->controlSelected(0); }
void SettingsPage::rbRelay2ControlPhoneClick() { relay_[1]->controlSelected(1); }
void SettingsPage::rbRelay2ControlTempClick() { relay_[1]->controlSelected(2); }
void SettingsPage::_edRelay2ControlChange() { relay_[1]->hiddenControlChanged(); }
void SettingsPage::rbRelay2TempInClick() { relay_[1]->tempSelected(0); }
void SettingsPage::rbRelay2TempOutClick() { relay_[1]->tempSelected(1); }
void SettingsPage::rbRelay2TempPlusClick() { relay_[1]->tempSelected(2); }
void SettingsPage::rbRelay2TempMinusClick() { relay_[1]->tempSelected(3); }
void SettingsPage::_edRelay2TempInOutChange() { relay_[1]->hiddenTempChanged(); }

void SettingsPage::nameCaptionlessBoxes() {
    for (const CaptionlessBox& c : captionlessBoxes_) {
        QStringList column;
        for (const QLabel* l : c.column)
            if (l) column << l->text();
        c.box->setAccessibleName(c.row->text() + QString::fromUtf8(" – ") + column.join(' '));
    }
}

#include "moc_SettingsPage.cpp"   // its own: a program that links one page carries no other
