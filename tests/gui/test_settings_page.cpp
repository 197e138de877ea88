// The Settings page: its controls (names, classes, ranges, design values,
// captions, layout) and the editor rules that tie them together.
#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "ui/pages/SettingsPage.h"
#include "ui/widgets/Controls.h"

#include <QtTest/qtestspontaneevent.h>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTabWidget>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <map>
#include <memory>

namespace {

// What the binding layer does with a protocol text, chosen by the exact class.
void load(QWidget* w, const QByteArray& v) {
    const QByteArray cls = w->metaObject()->className();
    if (cls == "QLineEdit")
        static_cast<QLineEdit*>(w)->setText(text::fromCp1250(v));
    else if (cls == "SpinEdit")
        static_cast<SpinEdit*>(w)->setEditText(text::fromCp1250(v));
    else if (cls == "QCheckBox")
        static_cast<QCheckBox*>(w)->setChecked(v != "0");
    else if (cls == "QComboBox")
        static_cast<QComboBox*>(w)->setCurrentIndex(v.isEmpty() ? 0 : text::strToInt(v));
    else if (cls == "QSlider")
        static_cast<QSlider*>(w)->setValue(v.isEmpty() ? 0 : text::strToInt(v));
    else if (cls == "RadioGroup")
        static_cast<RadioGroup*>(w)->setItemIndex(v.isEmpty() ? 0 : text::strToInt(v));
    else
        QFAIL(("unexpected class " + cls).constData());
}

QByteArray valueOf(const QWidget* w) {
    const QByteArray cls = w->metaObject()->className();
    if (cls == "QLineEdit") return text::toCp1250(static_cast<const QLineEdit*>(w)->text());
    if (cls == "SpinEdit") return text::toCp1250(static_cast<const SpinEdit*>(w)->editText());
    if (cls == "QCheckBox" || cls == "QRadioButton")
        return static_cast<const QAbstractButton*>(w)->isChecked() ? "1" : "0";
    if (cls == "QComboBox") return QByteArray::number(static_cast<const QComboBox*>(w)->currentIndex());
    if (cls == "QSlider") return QByteArray::number(static_cast<const QSlider*>(w)->value());
    if (cls == "RadioGroup") return QByteArray::number(static_cast<const RadioGroup*>(w)->itemIndex());
    if (cls == "QLabel") return text::toCp1250(static_cast<const QLabel*>(w)->text());
    return {};
}

QString captionOf(const QWidget* w) {
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    return {};
}

const char* className(ParamKind k) {
    switch (k) {
        case ParamKind::Edit:
            return "QLineEdit";
        case ParamKind::Spin:
            return "SpinEdit";
        case ParamKind::Check:
            return "QCheckBox";
        case ParamKind::Combo:
            return "QComboBox";
        case ParamKind::Track:
            return "QSlider";
    }
    return "";
}

QString deg(const char* s) { return text::fromCp1250(QByteArray(s).replace("*", "\xB0")); }

const QByteArray kHidden[] = {
    "_edIN1",         "_edIN2",           "_cbRelay1Timed",    "_edRelay1Control", "_edRelay1TempInOut",
    "_cbRelay2Timed", "_edRelay2Control", "_edRelay2TempInOut"};

struct PairNames {
    const char* minBar;
    const char* maxBar;
    const char* minLabel;
    const char* maxLabel;
};
const PairNames kPairs[] = {
    {"tbMinTemp", "tbMaxTemp", "lbMinCelsius", "lbMaxCelsius"},
    {"tbRelay1MinTemp", "tbRelay1MaxTemp", "lbRelay1MinCelsius", "lbRelay1MaxCelsius"},
    {"tbRelay2MinTemp", "tbRelay2MaxTemp", "lbRelay2MinCelsius", "lbRelay2MaxCelsius"},
};

// Counts every change notification the rules listen to, anywhere on the page.
class ChangeCounter {
public:
    explicit ChangeCounter(SettingsPage* page) {
        for (auto* e : page->findChildren<QLineEdit*>())
            conns_ << QObject::connect(e, &QLineEdit::textChanged, [this] { ++count; });
        for (auto* b : page->findChildren<QAbstractButton*>())
            conns_ << QObject::connect(b, &QAbstractButton::toggled, [this] { ++count; });
        for (auto* s : page->findChildren<QSlider*>())
            conns_ << QObject::connect(s, &QSlider::valueChanged, [this] { ++count; });
        for (auto* g : page->findChildren<RadioGroup*>())
            conns_ << QObject::connect(g, &RadioGroup::itemIndexChanged, [this] { ++count; });
    }
    ~ChangeCounter() {
        for (auto& c : conns_) QObject::disconnect(c);
    }
    int count = 0;

private:
    QList<QMetaObject::Connection> conns_;
};

// The page as the main window shows it: a tab above a 29 px bottom bar in an
// 824 x 676 client area, in the window's bold italic font.
struct DesignWindow {
    QWidget window;
    SettingsPage* page;
    DesignWindow() {
        QFont f = window.font();
        f.setFamily("Trebuchet MS");
        f.setBold(true);
        f.setItalic(true);
        window.setFont(f);
        auto* lay = new QVBoxLayout(&window);
        lay->setContentsMargins(0, 0, 0, 0);
        lay->setSpacing(0);
        auto* tabs = new QTabWidget;
        page = new SettingsPage;
        tabs->addTab(page, "Settings");
        lay->addWidget(tabs, 1);
        auto* bar = new QFrame;
        bar->setFixedHeight(29);
        lay->addWidget(bar);
        window.resize(824, 676);
        window.show();
        QCoreApplication::processEvents();
        page->formatAllTempLabels();
        QCoreApplication::processEvents();
    }
};

int centreY(const QWidget* w, const QWidget* ref) { return w->mapTo(ref, w->rect().center()).y(); }
int centreX(const QWidget* w, const QWidget* ref) { return w->mapTo(ref, w->rect().center()).x(); }

}   // namespace

class TestSettingsPage : public QObject {
    Q_OBJECT

    std::unique_ptr<SettingsPage> page;
    QStringList reasons;
    int testReports = 0;

    QWidget* w(const QByteArray& name) {
        QWidget* c = page->control(name.constData());
        if (!c) qWarning("no control %s", name.constData());
        return c;
    }
    template <class T>
    T* get(const QByteArray& name) {
        return qobject_cast<T*>(w(name));
    }
    void set(const QByteArray& name, const QByteArray& v) { load(w(name), v); }
    QByteArray value(const QByteArray& name) { return valueOf(w(name)); }
    bool checked(const QByteArray& name) { return get<QAbstractButton>(name)->isChecked(); }
    QString rn(const char* pattern, int relay) { return QString::fromLatin1(pattern).arg(relay); }
    QWidget* wr(const char* pattern, int relay) { return w(rn(pattern, relay).toLatin1()); }
    bool checkedR(const char* pattern, int relay) {
        return qobject_cast<QAbstractButton*>(wr(pattern, relay))->isChecked();
    }

    // The value of every control the rules touch, radio buttons and labels included.
    std::map<QString, QByteArray> snapshot() {
        std::map<QString, QByteArray> s;
        for (auto* c : page->findChildren<QWidget*>())
            if (!c->objectName().isEmpty()) s[c->objectName()] = valueOf(c);
        return s;
    }

    // Runs every rule again for the state shown; a rule at rest changes nothing.
    void rerunRules() {
        page->_edIN1Change();
        page->_edIN2Change();
        page->cbTempSensClick();
        page->tbMinTempChange();
        page->tbMaxTempChange();
        page->tbRelay1MinTempChange();
        page->tbRelay1MaxTempChange();
        page->tbRelay2MinTempChange();
        page->tbRelay2MaxTempChange();
        page->_cbRelay1TimedClick();
        page->_cbRelay2TimedClick();
        page->_edRelay1ControlChange();
        page->_edRelay2ControlChange();
        page->_edRelay1TempInOutChange();
        page->_edRelay2TempInOutChange();
        using H = void (SettingsPage::*)();
        const std::pair<const char*, H> radios[] = {
            {"rbRelay1Timed", &SettingsPage::rbRelay1TimedClick},
            {"rbRelay1Bistable", &SettingsPage::rbRelay1BistableClick},
            {"rbRelay1ControlAlarm", &SettingsPage::rbRelay1ControlAlarmClick},
            {"rbRelay1ControlPhone", &SettingsPage::rbRelay1ControlPhoneClick},
            {"rbRelay1ControlTemp", &SettingsPage::rbRelay1ControlTempClick},
            {"rbRelay1TempIn", &SettingsPage::rbRelay1TempInClick},
            {"rbRelay1TempOut", &SettingsPage::rbRelay1TempOutClick},
            {"rbRelay1TempPlus", &SettingsPage::rbRelay1TempPlusClick},
            {"rbRelay1TempMinus", &SettingsPage::rbRelay1TempMinusClick},
            {"rbRelay2Timed", &SettingsPage::rbRelay2TimedClick},
            {"rbRelay2Bistable", &SettingsPage::rbRelay2BistableClick},
            {"rbRelay2ControlAlarm", &SettingsPage::rbRelay2ControlAlarmClick},
            {"rbRelay2ControlPhone", &SettingsPage::rbRelay2ControlPhoneClick},
            {"rbRelay2ControlTemp", &SettingsPage::rbRelay2ControlTempClick},
            {"rbRelay2TempIn", &SettingsPage::rbRelay2TempInClick},
            {"rbRelay2TempOut", &SettingsPage::rbRelay2TempOutClick},
            {"rbRelay2TempPlus", &SettingsPage::rbRelay2TempPlusClick},
            {"rbRelay2TempMinus", &SettingsPage::rbRelay2TempMinusClick},
        };
        // A radio handler runs when its button becomes selected; an unknown
        // code is shown by a button that has not changed since, so its
        // handler is not rerun then.
        auto known = [this](const QByteArray& hidden, std::initializer_list<const char*> codes) {
            for (const char* c : codes)
                if (value(hidden) == c) return true;
            return false;
        };
        if (known("_edIN1", {"NO", "NC", "CA"})) page->rgIN1Click();
        if (known("_edIN2", {"NO", "NC", "CA"})) page->rgIN2Click();
        for (const auto& r : radios) {
            const QByteArray name = r.first;
            const QByteArray relay = name.mid(7, 1);
            if (name.contains("Control") && !known("_edRelay" + relay + "Control", {"0", "1", "2"})) continue;
            if (name.contains("Temp") && !known("_edRelay" + relay + "TempInOut", {"0", "1", "2", "3"})) continue;
            if (checked(name)) (page.get()->*r.second)();
        }
    }

private slots:
    void init() {
        page = std::make_unique<SettingsPage>();
        reasons.clear();
        testReports = 0;
        page->updateUIState = [this](const char* reason) { reasons << QString::fromLatin1(reason); };
        page->testReportNow = [this] { ++testReports; };
    }
    void cleanup() { page.reset(); }

    // ---- controls ---------------------------------------------------------

    void everySettingHasOneControlOfItsClassWithItsDesignValue() {
        QCOMPARE(int(settingsParams().size()), 205);
        int hiddenCount = 0;
        for (const auto& p : settingsParams()) {
            const auto found = page->findChildren<QWidget*>(QString::fromLatin1(p.control));
            QVERIFY2(found.size() == 1, p.control.constData());
            QCOMPARE(QByteArray(found[0]->metaObject()->className()), QByteArray(className(p.kind)));
            QVERIFY2(valueOf(found[0]) == p.designValue, (p.control + " shows " + valueOf(found[0])).constData());
            QVERIFY2(found[0]->isHidden() == p.hidden, p.control.constData());
            hiddenCount += found[0]->isHidden();
        }
        QCOMPARE(hiddenCount, 8);
        for (const auto& name : kHidden) QVERIFY2(w(name)->isHidden(), name.constData());

        // Names are unique across the whole page.
        QSet<QString> names;
        for (auto* c : page->findChildren<QWidget*>()) {
            if (c->objectName().isEmpty() || c->objectName().startsWith("qt_")) continue;
            QVERIFY2(!names.contains(c->objectName()), qPrintable(c->objectName()));
            names.insert(c->objectName());
        }
        QCOMPARE(page->objectName(), QString("tsSettings"));
    }

    void onlyTheEightHiddenControlsStayHiddenWhenShown() {
        DesignWindow d;
        for (const auto& p : settingsParams()) {
            QWidget* c = d.page->control(p.control.constData());
            QVERIFY2(c->isHidden() == p.hidden, p.control.constData());
            QVERIFY2(c->isVisible() == !p.hidden, p.control.constData());
        }
    }

    void spinRangesAndSteps() {
        const struct {
            const char* name;
            int min, max, step;
        } spins[] = {
            {"seAlarmMax", 5, 25, 1},
            {"seTestFreq", 0, 99, 1},
            {"edBattLow", 9000, 28000, 100},
            {"edBattHigh", 9000, 28000, 100},
            {"seIn1Sensitivity", 10, 600000, 10},
            {"seIn2Sensitivity", 10, 600000, 10},
            {"seCarAlarmSec", 1, 99, 1},
            {"seRelay1Timed", 1, 9999, 1},
            {"seRelay2Timed", 1, 9999, 1},
        };
        for (const auto& s : spins) {
            auto* spin = get<SpinEdit>(s.name);
            QVERIFY2(spin, s.name);
            QCOMPARE(spin->minimum(), s.min);
            QCOMPARE(spin->maximum(), s.max);
            QCOMPARE(spin->singleStep(), s.step);
        }
        // A spin edit carries a loaded text unclamped; nothing ties the battery thresholds.
        set("edBattLow", "30000");
        QCOMPARE(value("edBattLow"), QByteArray("30000"));
        set("edBattLow", "13000");
        QCOMPARE(value("edBattHigh"), QByteArray("12200"));
    }

    void combosBarsAndRadioGroups() {
        for (int i = 1; i <= 4; ++i) {
            auto* c = get<QComboBox>("cmbACK" + QByteArray::number(i));
            QVERIFY(!c->isEditable());
            QCOMPARE(c->count(), 2);
            QCOMPARE(c->itemText(0), QString("no ack., # = Stop"));
            QCOMPARE(c->itemText(1), QString("* = ack, # = Stop"));
        }
        for (const auto& p : kPairs)
            for (const char* name : {p.minBar, p.maxBar}) {
                auto* bar = get<QSlider>(name);
                QCOMPARE(bar->orientation(), Qt::Horizontal);
                QCOMPARE(bar->minimum(), -20);
                QCOMPARE(bar->maximum(), 60);
                QCOMPARE(bar->tickInterval(), 5);
                QVERIFY(bar->tickPosition() != QSlider::NoTicks);
            }
        auto* rg1 = get<RadioGroup>("rgIN1");
        auto* rg2 = get<RadioGroup>("rgIN2");
        QCOMPARE(rg1->count(), 4);
        QCOMPARE(rg2->count(), 3);
        for (int i = 0; i < 4; ++i) QVERIFY(rg1->button(i)->text().isEmpty());
        QVERIFY(get<QCheckBox>("cbTempSens")->text().isEmpty());
    }

    void radioButtonsAreExclusiveWithinTheirSetOnly() {
        const char* sets[][4] = {
            {"rbRelay%1Bistable", "rbRelay%1Timed", nullptr, nullptr},
            {"rbRelay%1ControlAlarm", "rbRelay%1ControlPhone", "rbRelay%1ControlTemp", nullptr},
            {"rbRelay%1TempIn", "rbRelay%1TempOut", "rbRelay%1TempPlus", "rbRelay%1TempMinus"},
        };
        for (int r = 1; r <= 2; ++r)
            for (const auto& set : sets)
                for (const char* pick : set) {
                    if (!pick) break;
                    const auto before = snapshot();
                    qobject_cast<QAbstractButton*>(wr(pick, r))->click();
                    for (const char* other : set)
                        if (other) QCOMPARE(checkedR(other, r), other == pick);
                    // The buttons of the other sets and of the other relay keep their state.
                    const auto after = snapshot();
                    for (const auto& other : sets)
                        for (const char* b : other)
                            for (int rr = 1; rr <= 2 && b; ++rr)
                                if (&other != &set || rr != r) QCOMPARE(after.at(rn(b, rr)), before.at(rn(b, rr)));
                }
    }

    void captionBearingControlsExistWithTheirClass() {
        QList<QPair<QString, QByteArray>> expect;
        auto add = [&](const QStringList& names, const char* cls) {
            for (const auto& n : names) expect.append({n, cls});
        };
        add({"btnOpen", "btnRead", "btnSave", "btnWrite", "btTestReportNow"}, "QPushButton");
        add({"lbUserPhones",
             "lbEvents",
             "lnInputs",
             "lbRelayOutputs",
             "lbTCentr",
             "lbTPhone1",
             "lbTPhone2",
             "lbTPhone3",
             "lbTPhone4",
             "lbTPhoneSu",
             "lbTACK",
             "lbContactID",
             "lbCode",
             "lbT1",
             "lbT2",
             "lbT3",
             "lbT4",
             "lbS1",
             "lbS2",
             "lbS3",
             "lbS4",
             "lbCent1",
             "lbCent2",
             "lbSMStext",
             "lbTAlarmMax",
             "lbTTestFreq",
             "lbLowBattery",
             "lbLowBatteryRestore",
             "lbEvent1",
             "lbEvent2",
             "lbEvent3",
             "lbEvent4",
             "lbEvent5",
             "lbEvent6",
             "lbEvent7",
             "lbEvent8",
             "lbEventTEMP_S",
             "lbEventTEMP_R",
             "lbEvent9",
             "lbEvent10",
             "lbEvent11",
             "lbMinTemp",
             "lbMaxTemp",
             "lbMinCelsius",
             "lbMaxCelsius",
             "rlbOpenAct",
             "rlbShortAct",
             "lbIN1",
             "lbIN2",
             "lbCarAlarm",
             "lbIN1Sensitivity",
             "lbIN2Sensitivity",
             "lbCarAlarmInterval",
             "lbTempSens",
             "lbTCentrPhone1",
             "lbTUserID"},
            "QLabel");
        add({"cbSMSfw"}, "QCheckBox");
        add({"gbTemp", "gbUserPhNumbers", "GroupBox1", "GroupBox2", "GroupBox4", "gbMonitoringPhNumbers", "GroupBox18",
             "GroupBox13"},
            "QGroupBox");
        add({"cmbACK1", "cmbACK2", "cmbACK3", "cmbACK4"}, "QComboBox");
        add({"rgIN1", "rgIN2"}, "RadioGroup");
        for (int r = 1; r <= 2; ++r) {
            auto names = [r](std::initializer_list<const char*> l) {
                QStringList out;
                for (const char* p : l) out << QString::fromLatin1(p).arg(r);
                return out;
            };
            add(names({"gbRelay%1", "gbRelay%1Control", "gbRelay%1AlarmStartEvent", "gbRelay%1AlarmStopEvent",
                       "gbRelay%1PhoneStartEvent", "gbRelay%1PhoneStopEvent"}),
                "QGroupBox");
            add(names({"rbRelay%1Bistable", "rbRelay%1Timed", "rbRelay%1ControlPhone", "rbRelay%1ControlAlarm",
                       "rbRelay%1ControlTemp", "rbRelay%1TempIn", "rbRelay%1TempOut", "rbRelay%1TempPlus",
                       "rbRelay%1TempMinus"}),
                "QRadioButton");
            add(names({"cbRelay%1Z1Alarm", "cbRelay%1Z2Alarm", "cbRelay%1Z1Restore", "cbRelay%1Z2Restore",
                       "cbRelay%1T1Start", "cbRelay%1T2Start", "cbRelay%1T3Start", "cbRelay%1T4Start",
                       "cbRelay%1UnknownStart", "cbRelay%1T1Stop", "cbRelay%1T2Stop", "cbRelay%1T3Stop",
                       "cbRelay%1T4Stop", "cbRelay%1UnknownStop", "rbRelay%1SendAnswerSMS"}),
                "QCheckBox");
            add(names({"lbRelay%1MinTemp", "lbRelay%1MaxTemp", "lbRelay%1MinCelsius", "lbRelay%1MaxCelsius"}),
                "QLabel");
        }
        for (const auto& [name, cls] : expect) {
            const auto found = page->findChildren<QWidget*>(name);
            QVERIFY2(found.size() == 1, qPrintable(name));
            QVERIFY2(QByteArray(found[0]->metaObject()->className()) == cls, qPrintable(name));
            const bool captioned = cls == "QLabel" || cls == "QPushButton" || cls == "QCheckBox" ||
                                   cls == "QRadioButton" || name.startsWith("gb");
            if (captioned && name != "gbUserPhNumbers" && name != "gbMonitoringPhNumbers")
                QVERIFY2(!captionOf(found[0]).trimmed().isEmpty(), qPrintable(name));
        }
    }

    void englishCaptions() {
        const std::pair<const char*, QString> captions[] = {
            {"btnRead", "Read"},
            {"btnWrite", "Write"},
            {"btnOpen", "Open"},
            {"btnSave", "Save"},
            {"lbEvent1", "01.  IN1 Alarm"},
            {"lbEvent2", "02.  IN1 Restore"},
            {"lbEvent8", "08.  Max. temperature restore"},
            {"lbEventTEMP_S", "09.  Temperature sensor error"},
            {"lbEventTEMP_R", "10.  Temperature sensor restore"},
            {"lbEvent9", "11.  Battery low"},
            {"lbEvent11", "13.  Test report"},
            {"lbTPhoneSu", "Superuser"},
            {"lbTACK", "Acknowledgement"},
            {"cbSMSfw", "Forward incomming SMS to phone number 1"},
            {"lbSMStext", "SMS message (max. 160 characters)"},
            {"lbCent1", "Mon."},
            {"lbCent2", "stat."},
            {"lbContactID", "Contact-ID"},
            {"lbCode", "code"},
            {"lbTAlarmMax", "Maximum alarming time (5-25 minutes):"},
            {"lbTTestFreq", "Test report frequency (0 - 99 days):"},
            {"btTestReportNow", "Send test report"},
            {"gbTemp", " Temperature "},
            {"lbMinTemp", "Min. temperature threshold:"},
            {"lbMaxTemp", "Max. temperature threshold:"},
            {"lnInputs", "Inputs"},
            {"lbIN1", "IN1"},
            {"rlbShortAct", "Normally open"},
            {"rlbOpenAct", "Normally closed"},
            {"lbCarAlarm", "Car alarm adaptation  (Activation on impulses received in a regular rhythm)"},
            {"lbTempSens", "Temperature sensor"},
            {"lbIN2Sensitivity", "IN2 input sensitivity (msec.):"},
            {"lbCarAlarmInterval", "Signal interval minimum period of time (seconds):"},
            {"gbRelay1", " Relay 1 "},
            {"gbRelay2", " Relay 2 "},
            {"gbRelay2Control", " Relay control "},
            {"gbRelay1AlarmStartEvent", " Activation event "},
            {"gbRelay2PhoneStopEvent", " Deactivation event "},
            {"rbRelay1Bistable", "Bistable (deactivation event requested)"},
            {"rbRelay2Timed", "Timed (1-9999 sec):"},
            {"rbRelay1ControlAlarm", "On alarm event"},
            {"rbRelay2ControlPhone", "On incoming call"},
            {"rbRelay1ControlTemp", "On temperature event"},
            {"cbRelay2Z2Restore", "IN2 restore"},
            {"cbRelay1T3Start", "Call from T3 phone number"},
            {"cbRelay2UnknownStart", "Call from unknown phone number"},
            {"rbRelay1SendAnswerSMS", "Send response SMS"},
            {"rbRelay2TempIn", "Activate the relay within the temperature range"},
            {"rbRelay1TempOut", "Activate the relay out of the temperature range"},
            {"rbRelay2TempPlus", "Activate above the max. temp. threshold, and deactivate below the min. threshold"},
            {"rbRelay1TempMinus", "Activate below the min. temp. threshold, and deactivate above the max. threshold"},
            {"lbTCentr", "Monitoring station"},
            {"lbTUserID", "User ID:"},
        };
        for (const auto& [name, caption] : captions) QVERIFY2(captionOf(w(name)) == caption, name);
    }

    // ---- layout -----------------------------------------------------------

    void buttonsStackLeftOfTheScrollingArea() {
        DesignWindow d;
        auto* page = d.page;
        const char* order[] = {"btnRead", "btnWrite", "btnOpen", "btnSave"};
        auto* scroll = page->findChild<QScrollArea*>();
        QVERIFY(scroll && scroll->widgetResizable());
        for (int i = 0; i < 4; ++i) {
            auto* b = qobject_cast<QPushButton*>(page->control(order[i]));
            QCOMPARE(b->parentWidget(), static_cast<QWidget*>(page));
            QVERIFY(b->geometry().right() < scroll->geometry().left());
            if (i > 0) QVERIFY(b->y() > page->control(order[i - 1])->geometry().bottom());
            QCOMPARE(b->x(), page->control(order[0])->x());
        }
        QVERIFY(!page->readButton()->isEnabled());
        QVERIFY(!page->writeButton()->isEnabled());
        QVERIFY(page->openButton()->isEnabled());
        QVERIFY(page->saveButton()->isEnabled());

        // The sections from top to bottom, each inside the scrolling area.
        QWidget* content = scroll->widget();
        const char* sections[] = {"gbUserPhNumbers", "GroupBox1", "GroupBox2", "GroupBox4", "gbMonitoringPhNumbers"};
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(page->control(sections[i])->parentWidget(), content);
            if (i > 0) QVERIFY(page->control(sections[i])->y() > page->control(sections[i - 1])->geometry().bottom());
        }
        QVERIFY(page->control("GroupBox1")->isAncestorOf(page->control("gbTemp")));
        QVERIFY(page->control("GroupBox1")->isAncestorOf(page->control("btTestReportNow")));
        QVERIFY(centreY(page->control("gbTemp"), content) > centreY(page->control("lbEvent11"), content));
        QVERIFY(centreY(page->control("gbRelay2"), content) >
                centreY(page->control("gbRelay1"), content) + page->control("gbRelay1")->height() / 2);
        QVERIFY(page->control("gbMonitoringPhNumbers")->isAncestorOf(page->control("edTCentrPhone1")));
        QVERIFY(page->control("gbMonitoringPhNumbers")->isAncestorOf(page->control("edTUserID")));
        // Only vertical scrolling at the design size.
        QVERIFY(!scroll->horizontalScrollBar()->isVisible());
        QVERIFY(content->minimumSizeHint().width() <= scroll->viewport()->width());
    }

    // The wheel over a control that has no focus scrolls the page and edits
    // nothing; once the user has clicked or tabbed into it, it edits.
    void wheelScrollsAndEditsOnlyTheFocusedControl() {
        DesignWindow d;
        d.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&d.window));
        auto* scroll = d.page->findChild<QScrollArea*>();
        QScrollBar* bar = scroll->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        auto wheel = [](QWidget* w, int steps) {
            // As from the mouse (Qt gives the focus or not, by the policy).
            QWheelEvent e(QPointF(w->width() / 2, w->height() / 2), w->mapToGlobal(QPointF(w->width() / 2, 4)),
                          QPoint(), QPoint(0, -120 * steps), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
            QSpontaneKeyEvent::setSpontaneous(&e);
            QApplication::sendEvent(w, &e);
        };
        auto* slider = d.page->findChild<QSlider*>("tbMaxTemp");
        auto* combo = d.page->findChild<QComboBox*>("cmbACK1");
        auto* spin = d.page->findChild<SpinEdit*>("seRelay1Timed");
        for (QWidget* w : std::initializer_list<QWidget*>{slider, combo, spin}) {
            QVERIFY(w);
            QCOMPARE(w->focusPolicy(), Qt::StrongFocus);
            const QByteArray before = valueOf(w);
            bar->setValue(bar->maximum() / 2);
            const int top = bar->value();
            wheel(w, 1);
            QCOMPARE(valueOf(w), before);
            QVERIFY2(bar->value() > top, w->objectName().toLatin1());
        }
        spin->setFocus();
        QVERIFY(spin->hasFocus());
        spin->setValue(5);
        const int top = bar->value();
        wheel(spin, -1);
        QCOMPARE(spin->value(), 6);
        QCOMPARE(bar->value(), top);
    }

    void matrixRowsStandInDisplayOrder() {
        DesignWindow d;
        QWidget* box = d.page->control("GroupBox1");
        std::vector<const EventDef*> rows;
        for (const auto& e : eventTable()) rows.push_back(&e);
        std::sort(rows.begin(), rows.end(), [](auto* a, auto* b) { return a->listedAs < b->listedAs; });
        QCOMPARE(int(rows.size()), 13);
        int lastY = -1;
        int smsX = -1;
        for (const EventDef* e : rows) {
            const QByteArray labelName = "lbEvent" + (e->editStem.startsWith('_') ? e->editStem.mid(1) : e->editStem);
            QWidget* label = d.page->control(labelName.constData());
            QVERIFY2(label, labelName.constData());
            QVERIFY2(captionOf(label).startsWith(QString("%1.").arg(e->listedAs, 2, 10, QChar('0'))),
                     labelName.constData());
            const int y = centreY(label, box);
            QVERIFY(y > lastY);
            lastY = y;
            // Every control of the row stands on the label's line, in its column.
            QList<QByteArray> row = {eventSmsEdit(*e), eventCidBox(*e), eventCodeEdit(*e)};
            for (int t = 1; t <= 4; ++t) {
                row << eventSmsBox(*e, t);
                if (e->hasCalls) row << eventCallBox(*e, t);
                const QByteArray call = "lbT" + QByteArray::number(t), text = "lbS" + QByteArray::number(t);
                if (e->hasCalls)
                    QVERIFY(qAbs(centreX(d.page->control(eventCallBox(*e, t).constData()), box) -
                                 centreX(d.page->control(call.constData()), box)) <= 3);
                QVERIFY(qAbs(centreX(d.page->control(eventSmsBox(*e, t).constData()), box) -
                             centreX(d.page->control(text.constData()), box)) <= 3);
            }
            for (const auto& name : row)
                QVERIFY2(qAbs(centreY(d.page->control(name.constData()), box) - y) <= 3, name.constData());
            const int x = d.page->control(eventSmsEdit(*e).constData())->mapTo(box, QPoint()).x();
            QVERIFY(smsX < 0 || x == smsX);
            smsX = x;
        }
        QVERIFY(!d.page->control("cbEvent11T1"));   // the test report is never called
    }

    void inputPositionsLineUpWithTheirRows() {
        DesignWindow d;
        QWidget* box = d.page->control("GroupBox2");
        auto* rg1 = qobject_cast<RadioGroup*>(d.page->control("rgIN1"));
        auto* rg2 = qobject_cast<RadioGroup*>(d.page->control("rgIN2"));
        const char* rows[] = {"rlbShortAct", "rlbOpenAct", "lbCarAlarm", "lbTempSens"};
        for (int i = 0; i < 4; ++i) {
            QWidget* label = d.page->control(rows[i]);
            QVERIFY2(qAbs(centreY(rg1->button(i), box) - centreY(label, box)) <= 2, rows[i]);
            if (i < 3) QVERIFY2(qAbs(centreY(rg2->button(i), box) - centreY(label, box)) <= 2, rows[i]);
            QVERIFY(label->mapTo(box, QPoint()).x() > rg2->mapTo(box, QPoint()).x() + rg2->width() - 1);
        }
        QVERIFY(centreX(rg1, box) < centreX(rg2, box));
        QVERIFY(qAbs(centreX(d.page->control("lbIN1"), box) - centreX(rg1, box)) <= 3);
        QVERIFY(qAbs(centreX(d.page->control("lbIN2"), box) - centreX(rg2, box)) <= 3);
        // The sensor box covers IN1's fourth position: a click there lands on it.
        auto* sensor = d.page->control("cbTempSens");
        QCOMPARE(sensor->geometry(), rg1->button(3)->geometry());
        QWidget* hit = rg1->childAt(rg1->button(3)->geometry().center());
        QVERIFY(hit == sensor || sensor->isAncestorOf(hit));
    }

    void nothingOverlapsOrIsCutAtTheDesignSize() {
        DesignWindow d;
        auto* scroll = d.page->findChild<QScrollArea*>();
        QWidget* content = scroll->widget();
        auto* rg1 = qobject_cast<RadioGroup*>(d.page->control("rgIN1"));
        QList<QWidget*> all = content->findChildren<QWidget*>();
        all << d.page->readButton() << d.page->writeButton() << d.page->openButton() << d.page->saveButton();
        for (QWidget* c : all) {
            if (!c->isVisible() || c->isWindow()) continue;
            QWidget* parent = c->parentWidget();
            const QString name = c->objectName().isEmpty() ? c->metaObject()->className() : c->objectName();
            // Inside its parent ...
            QVERIFY2(parent->rect().contains(c->geometry()), qPrintable(name));
            // ... clear of its visible siblings (the sensor box covers IN1's fourth position on purpose) ...
            for (QWidget* s : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
                if (s == c || !s->isVisible() || s->isWindow()) continue;
                if (parent == rg1 && (s->objectName() == "cbTempSens" || c->objectName() == "cbTempSens")) continue;
                QVERIFY2(!c->geometry().intersects(s->geometry()),
                         qPrintable(name + " overlaps " + s->objectName() + s->metaObject()->className()));
            }
            // ... and large enough for its text.
            if (auto* l = qobject_cast<QLabel*>(c)) {
                if (l->wordWrap())
                    QVERIFY2(l->height() >= l->heightForWidth(l->width()),
                             qPrintable(QString("%1: %2x%3, needs %4")
                                            .arg(name)
                                            .arg(l->width())
                                            .arg(l->height())
                                            .arg(l->heightForWidth(l->width()))));
                else
                    QVERIFY2(l->width() >= l->sizeHint().width() && l->height() >= l->sizeHint().height(),
                             qPrintable(name));
            } else if (qobject_cast<QAbstractButton*>(c) || qobject_cast<QGroupBox*>(c) ||
                       qobject_cast<QAbstractSpinBox*>(c) || qobject_cast<QComboBox*>(c)) {
                QVERIFY2(c->width() >= c->minimumSizeHint().width() && c->height() >= c->minimumSizeHint().height(),
                         qPrintable(QString("%1: %2x%3, needs %4x%5")
                                        .arg(name)
                                        .arg(c->width())
                                        .arg(c->height())
                                        .arg(c->minimumSizeHint().width())
                                        .arg(c->minimumSizeHint().height())));
            }
        }
        // The temperature value labels have room for their widest text.
        for (const auto& p : kPairs) {
            auto* l = qobject_cast<QLabel*>(d.page->control(p.minLabel));
            l->setText(formatTemp(-20));
            QCoreApplication::processEvents();
            QVERIFY(l->width() >= l->sizeHint().width());
        }
    }

    // ---- Contact-ID codes and the user ID -----------------------------------

    void everyCodeEditFollowsTheCodeRule_data() {
        QTest::addColumn<QString>("code");
        QTest::addColumn<bool>("valid");
        QTest::newRow("new event") << "1130" << true;
        QTest::newRow("restore") << "3602" << true;
        QTest::newRow("read 3131") << "3131" << true;
        QTest::newRow("qualifier 6") << "6130" << false;
        QTest::newRow("qualifier 2") << "2130" << false;
        QTest::newRow("three digits") << "113" << false;
        QTest::newRow("five digits") << "11300" << false;
        QTest::newRow("read 13") << "13" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("letter") << "1a30" << false;
        QTest::newRow("leading blank") << " 130" << false;
        QTest::newRow("trailing blank") << "113 " << false;
        QTest::newRow("arabic-indic digits") << QString::fromUtf8("\u0661\u0661\u0663\u0660") << false;
    }
    void everyCodeEditFollowsTheCodeRule() {
        QFETCH(QString, code);
        QFETCH(bool, valid);
        // edCID_TEMP_S and edCID_TEMP_R share edCID8's handler; all thirteen behave alike.
        for (const auto& e : eventTable()) {
            auto* ed = page->findChild<QLineEdit*>(eventCodeEdit(e));
            ed->setText("zz");
            QCOMPARE(SettingsPage::backgroundOf(ed), QColor(255, 0, 0));
            reasons.clear();
            ed->setText(code);
            QCOMPARE(ed->text(), code);   // never corrected
            QCOMPARE(SettingsPage::backgroundOf(ed), valid ? QColor(Qt::white) : QColor(255, 0, 0));
            QCOMPARE(reasons, QStringList{"EditValidation"});
        }
    }

    void userIdRule_data() {
        QTest::addColumn<QString>("id");
        QTest::addColumn<bool>("valid");
        QTest::newRow("zeros") << "0000" << true;
        QTest::newRow("hex upper") << "12AF" << true;
        QTest::newRow("hex lower") << "12af" << false;
        QTest::newRow("G") << "12G4" << false;
        QTest::newRow("three") << "123" << false;
        QTest::newRow("five") << "12345" << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blank") << "12 4" << false;
    }
    void userIdRule() {
        QFETCH(QString, id);
        QFETCH(bool, valid);
        auto* ed = get<QLineEdit>("edTUserID");
        ed->setText("?");
        reasons.clear();
        ed->setText(id);
        QCOMPARE(ed->text(), id);
        QCOMPARE(SettingsPage::backgroundOf(ed), valid ? QColor(255, 255, 255) : QColor(255, 0, 0));
        QCOMPARE(reasons, QStringList{"EditValidation"});
    }

    void validationRunsOnlyOnARealChangeAndStartsWhite() {
        for (const auto& e : eventTable())
            QCOMPARE(SettingsPage::backgroundOf(page->findChild<QLineEdit*>(eventCodeEdit(e))), QColor(Qt::white));
        QCOMPARE(SettingsPage::backgroundOf(get<QLineEdit>("edTUserID")), QColor(Qt::white));
        set("edCID1", "1130");   // already shown
        set("edTUserID", "0000");
        QVERIFY(reasons.isEmpty());
        page->updateUIState = nullptr;   // no hook set: the rule still colours
        set("edCID9", "9");
        QCOMPARE(SettingsPage::backgroundOf(get<QLineEdit>("edCID9")), QColor(255, 0, 0));
    }

    void testReportButtonCallsTheHook() {
        get<QPushButton>("btTestReportNow")->click();
        QCOMPARE(testReports, 1);
        page->testReportNow = nullptr;
        get<QPushButton>("btTestReportNow")->click();   // nothing to call, nothing happens
        QCOMPARE(testReports, 1);
    }

    void smsTextsStopTypingAt160ButKeepLoadedTextsWhole() {
        auto* sms = get<QLineEdit>("edSMS1");
        page->show();
        QVERIFY(QTest::qWaitForWindowActive(page.get()));
        sms->setFocus();
        QVERIFY(sms->hasFocus());
        sms->clear();
        QTest::keyClicks(sms, QString(170, 'a'));
        QCOMPARE(sms->text().size(), 160);

        const QByteArray longText(200, 'x');
        for (const auto& e : eventTable()) {
            auto* ed = page->findChild<QLineEdit*>(eventSmsEdit(e));
            load(ed, longText);
            QCOMPARE(valueOf(ed), longText);
        }
        // A loaded text is shown from its start, also when it did not change.
        auto* other = get<QLineEdit>("edSMS5");
        other->setText(other->text());
        QCOMPARE(other->cursorPosition(), 0);
        load(other, "TEMPERATURE ALARM (LOW) AT THE WAREHOUSE");
        QCOMPARE(other->cursorPosition(), 0);

        // The user cannot lengthen an over-long loaded text, but may shorten it.
        sms->setText(QString(longText));
        sms->setCursorPosition(200);
        QTest::keyClick(sms, 'b');
        QCOMPARE(sms->text(), QString(longText));
        QTest::keyClick(sms, Qt::Key_Backspace);
        QCOMPARE(sms->text().size(), 199);
        QTest::keyClick(sms, 'c');
        QCOMPARE(sms->text().size(), 199);
        sms->setText(QString(150, 'y'));
        sms->setCursorPosition(150);
        QTest::keyClicks(sms, QString(20, 'z'));
        QCOMPARE(sms->text(), QString(150, 'y') + QString(10, 'z'));
        // A paste is cut to what fits, in the middle as at the end.
        sms->setText(QString(150, 'y'));
        sms->setCursorPosition(0);
        sms->insert("a");   // the user's own edit
        sms->setCursorPosition(75);
        QApplication::clipboard()->setText(QString(30, 'p'));
        sms->paste();
        QCOMPARE(sms->text(), "a" + QString(74, 'y') + QString(9, 'p') + QString(76, 'y'));
        QCOMPARE(sms->cursorPosition(), 84);
    }

    // ---- inputs -------------------------------------------------------------

    void inputPositionsWriteTheirCodes() {
        auto* rg1 = get<RadioGroup>("rgIN1");
        auto* rg2 = get<RadioGroup>("rgIN2");
        const char* codes[] = {"NO", "NC", "CA"};
        for (int i : {1, 2, 0, 2}) {
            rg1->button(i)->click();
            QCOMPARE(value("_edIN1"), QByteArray(codes[i]));
            rg2->setItemIndex(i);
            QCOMPARE(value("_edIN2"), QByteArray(codes[i]));
        }
        // The fourth position of IN1 lies under the sensor box and ends at CA.
        set("cbTempSens", "1");
        rg1->setItemIndex(3);
        QCOMPARE(rg1->itemIndex(), 2);
        QCOMPARE(value("_edIN1"), QByteArray("CA"));
        QVERIFY(!checked("cbTempSens"));
        QVERIFY(!rg1->button(3)->isChecked());
        rg1->button(0)->click();
        rg1->button(3)->click();
        QCOMPARE(rg1->itemIndex(), 2);
        QCOMPARE(value("_edIN1"), QByteArray("CA"));
    }

    void inputCodesSelectPositions_data() {
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<int>("position");   // -1: the position shown before stays
        QTest::newRow("NO") << QByteArray("NO") << 0;
        QTest::newRow("NC") << QByteArray("NC") << 1;
        QTest::newRow("CA") << QByteArray("CA") << 2;
        QTest::newRow("lower case") << QByteArray("nc") << -1;
        QTest::newRow("unknown") << QByteArray("XX") << -1;
        QTest::newRow("one character") << QByteArray("N") << -1;
        QTest::newRow("empty") << QByteArray("") << -1;
        QTest::newRow("leading blank") << QByteArray(" NC") << -1;
        QTest::newRow("trailing blank") << QByteArray("NO ") << -1;
    }
    void inputCodesSelectPositions() {
        QFETCH(QByteArray, code);
        QFETCH(int, position);
        for (const char* in : {"1", "2"}) {
            const QByteArray edit = QByteArray("_edIN") + in, group = QByteArray("rgIN") + in;
            set(edit, "CA");   // a position other than the default
            QCOMPARE(value(group), QByteArray("2"));
            set(edit, code);
            QCOMPARE(value(group), QByteArray::number(position < 0 ? 2 : position));
            QCOMPARE(value(edit), code);   // an unknown code stays as it is
        }
    }

    void sensorExcludesNcAndCaOfInput1Only() {
        set("_edIN1", "CA");
        set("cbTempSens", "1");
        QCOMPARE(value("rgIN1"), QByteArray("0"));
        QCOMPARE(value("_edIN1"), QByteArray("NO"));

        get<RadioGroup>("rgIN1")->button(1)->click();
        QVERIFY(!checked("cbTempSens"));
        QCOMPARE(value("_edIN1"), QByteArray("NC"));

        // Clearing the box changes nothing else.
        set("_edIN1", "NO");
        set("cbTempSens", "1");
        set("cbTempSens", "0");
        QCOMPARE(value("_edIN1"), QByteArray("NO"));
        QCOMPARE(value("rgIN1"), QByteArray("0"));

        // IN2 is not coupled with the sensor.
        set("_edIN2", "NC");
        set("cbTempSens", "1");
        QCOMPARE(value("_edIN2"), QByteArray("NC"));
        get<RadioGroup>("rgIN2")->setItemIndex(2);
        QVERIFY(checked("cbTempSens"));
    }

    void loadingInputModesBeforeTheSensor() {
        // Binding order: DIN:Z1.POL, DIN:Z2.POL, then TEMP:PROPS.EN.
        page->beginLoad();
        set("_edIN1", "NC");
        set("_edIN2", "CA");
        set("cbTempSens", "1");
        page->endLoad();
        QVERIFY(checked("cbTempSens"));
        QCOMPARE(value("_edIN1"), QByteArray("NO"));
        QCOMPARE(value("rgIN1"), QByteArray("0"));
        QCOMPARE(value("_edIN2"), QByteArray("CA"));
    }

    // ---- threshold pairs ----------------------------------------------------

    void formatTempLabelWritesDegrees() {
        QCOMPARE(formatTemp(40), deg("40*C"));
        QCOMPARE(formatTemp(-5), deg("-5*C"));
        QCOMPARE(formatTemp(0), deg("0*C"));
        QCOMPARE(text::toCp1250(formatTemp(-20)), QByteArray("-20\xB0"
                                                             "C"));
        QCOMPARE(formatTemp(36).at(2), QChar(0x00B0));

        // Design captions with a space until the window formats them.
        for (const auto& p : kPairs) {
            QCOMPARE(get<QLabel>(p.minLabel)->text(), deg("0 *C"));
            QCOMPARE(get<QLabel>(p.maxLabel)->text(), deg("40 *C"));
        }
        page->formatAllTempLabels();
        for (const auto& p : kPairs) {
            QCOMPARE(get<QLabel>(p.minLabel)->text(), deg("0*C"));
            QCOMPARE(get<QLabel>(p.maxLabel)->text(), deg("40*C"));
        }
        auto* bar = get<QSlider>("tbRelay2MinTemp");
        auto* label = get<QLabel>("lbRelay2MinCelsius");
        bar->setValue(-5);
        label->setText("?");
        SettingsPage::FormatTempLabel(bar, label);
        QCOMPARE(label->text(), deg("-5*C"));
    }

    void pairsKeepFourDegreesApart() {
        for (const auto& p : kPairs) {
            init();
            auto* minBar = get<QSlider>(p.minBar);
            auto* maxBar = get<QSlider>(p.maxBar);
            auto* minLabel = get<QLabel>(p.minLabel);
            auto* maxLabel = get<QLabel>(p.maxLabel);
            const auto others = snapshot();

            minBar->setValue(45);   // with the maximum at 40
            QCOMPARE(minBar->value(), 36);
            QCOMPARE(minLabel->text(), deg("36*C"));
            QCOMPARE(maxBar->value(), 40);

            minBar->setValue(30);
            maxBar->setValue(31);
            QCOMPARE(maxBar->value(), 34);
            QCOMPARE(maxLabel->text(), deg("34*C"));

            // The user's page steps go through the same rule.
            maxBar->triggerAction(QAbstractSlider::SliderPageStepSub);
            QCOMPARE(maxBar->value(), 34);

            minBar->setValue(-20);
            QCOMPARE(minLabel->text(), deg("-20*C"));
            maxBar->setValue(-20);
            QCOMPARE(maxBar->value(), -16);
            maxBar->setValue(60);
            minBar->setValue(60);
            QCOMPARE(minBar->value(), 56);
            minBar->setValue(-30);
            QCOMPARE(minBar->value(), -20);
            load(maxBar, "75");
            QCOMPARE(maxBar->value(), 60);

            // The other two pairs did not move.
            const auto after = snapshot();
            for (const auto& q : kPairs)
                if (q.minBar != p.minBar)
                    for (const char* n : {q.minBar, q.maxBar, q.minLabel, q.maxLabel})
                        QCOMPARE(after.at(n), others.at(n));
            cleanup();
        }
    }

    void loadedPairsKeepTheirValues_data() {
        QTest::addColumn<QByteArray>("min");
        QTest::addColumn<QByteArray>("max");
        QTest::addColumn<int>("shownMin");
        QTest::addColumn<int>("shownMax");
        QTest::newRow("45/55 above the shown maximum") << QByteArray("45") << QByteArray("55") << 45 << 55;
        QTest::newRow("50/52 too close") << QByteArray("50") << QByteArray("52") << 50 << 54;
        QTest::newRow("10/10") << QByteArray("10") << QByteArray("10") << 10 << 14;
        QTest::newRow("-20/-20") << QByteArray("-20") << QByteArray("-20") << -20 << -16;
        QTest::newRow("60/-20: the range stops the maximum") << QByteArray("60") << QByteArray("-20") << 56 << 60;
        QTest::newRow("58/59") << QByteArray("58") << QByteArray("59") << 56 << 60;
        QTest::newRow("-20/60") << QByteArray("-20") << QByteArray("60") << -20 << 60;
        QTest::newRow("beyond the range") << QByteArray("-25") << QByteArray("75") << -20 << 60;
        QTest::newRow("empty texts") << QByteArray("") << QByteArray("") << 0 << 4;
        QTest::newRow("design values") << QByteArray("0") << QByteArray("40") << 0 << 40;
    }
    void loadedPairsKeepTheirValues() {
        QFETCH(QByteArray, min);
        QFETCH(QByteArray, max);
        QFETCH(int, shownMin);
        QFETCH(int, shownMax);
        page->formatAllTempLabels();
        page->beginLoad();
        for (const auto& p : kPairs) {
            set(p.minBar, min);   // the minimum first, as the binding order has it
            set(p.maxBar, max);
            QCOMPARE(get<QLabel>(p.minLabel)->text(), formatTemp(get<QSlider>(p.minBar)->value()));
        }
        page->endLoad();
        for (const auto& p : kPairs) {
            QCOMPARE(get<QSlider>(p.minBar)->value(), shownMin);
            QCOMPARE(get<QSlider>(p.maxBar)->value(), shownMax);
            QCOMPARE(get<QLabel>(p.minLabel)->text(), formatTemp(shownMin));
            QCOMPARE(get<QLabel>(p.maxLabel)->text(), formatTemp(shownMax));
        }
        // After the load the rules pull again.
        get<QSlider>("tbMinTemp")->setValue(60);
        QCOMPARE(get<QSlider>("tbMinTemp")->value(), get<QSlider>("tbMaxTemp")->value() - 4);
    }

    void loadsNestAndEndLoadAloneDoesNothing() {
        page->endLoad();   // without beginLoad: the rules stay active
        get<QSlider>("tbMinTemp")->setValue(50);
        QCOMPARE(get<QSlider>("tbMinTemp")->value(), 36);

        page->beginLoad();
        page->beginLoad();
        set("tbRelay1MinTemp", "50");
        set("tbRelay1MaxTemp", "51");
        page->endLoad();
        QCOMPARE(get<QSlider>("tbRelay1MaxTemp")->value(), 51);   // still loading
        page->endLoad();
        QCOMPARE(get<QSlider>("tbRelay1MinTemp")->value(), 50);
        QCOMPARE(get<QSlider>("tbRelay1MaxTemp")->value(), 54);
    }

    // ---- relays -------------------------------------------------------------

    void relayTimingMirrorsTheHiddenBox() {
        for (int r = 1; r <= 2; ++r) {
            const QByteArray hidden = rn("_cbRelay%1Timed", r).toLatin1();
            QVERIFY(checkedR("rbRelay%1Timed", r));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1Bistable", r))->click();
            QCOMPARE(value(hidden), QByteArray("0"));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1Timed", r))->click();
            QCOMPARE(value(hidden), QByteArray("1"));
            set(hidden, "0");
            QVERIFY(checkedR("rbRelay%1Bistable", r));
            QVERIFY(!checkedR("rbRelay%1Timed", r));
            set(hidden, "");   // any text but "0" means timed
            QVERIFY(checkedR("rbRelay%1Timed", r));
            set(hidden, "0");
            set(hidden, "00");
            QVERIFY(checkedR("rbRelay%1Timed", r));
        }
    }

    void relayModeShowsAnUnknownCodeAsPhone() {
        for (int r = 1; r <= 2; ++r) {
            const QByteArray code = rn("_edRelay%1Control", r).toLatin1();
            auto mode = [&] {
                QByteArray m;
                for (const char* b : {"rbRelay%1ControlAlarm", "rbRelay%1ControlPhone", "rbRelay%1ControlTemp"})
                    m += checkedR(b, r) ? "x" : "-";
                return m;
            };
            QCOMPARE(mode(), QByteArray("-x-"));
            set(code, "2");
            QCOMPARE(mode(), QByteArray("--x"));
            QCOMPARE(value(code), QByteArray("2"));
            set(code, "0");
            QCOMPARE(mode(), QByteArray("x--"));
            QCOMPARE(value(code), QByteArray("0"));
            // 7 while the alarm mode is shown: the phone mode is selected and rewrites the code.
            set(code, "7");
            QCOMPARE(mode(), QByteArray("-x-"));
            QCOMPARE(value(code), QByteArray("1"));
            // 7 while the phone mode is shown: nothing changes, 7 is kept.
            set(code, "7");
            QCOMPARE(mode(), QByteArray("-x-"));
            QCOMPARE(value(code), QByteArray("7"));
            set(code, "2");
            set(code, "");
            QCOMPARE(mode(), QByteArray("-x-"));
            QCOMPARE(value(code), QByteArray("1"));
            set(code, "0");
            set(code, " 0");   // compared exactly
            QCOMPARE(mode(), QByteArray("-x-"));
            set(code, "0");
            set(code, "2 ");
            QCOMPARE(mode(), QByteArray("-x-"));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1ControlTemp", r))->click();
            QCOMPARE(value(code), QByteArray("2"));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1ControlAlarm", r))->click();
            QCOMPARE(value(code), QByteArray("0"));
        }
    }

    void relayTemperatureCodeSelectsOneOrNone() {
        for (int r = 1; r <= 2; ++r) {
            const QByteArray code = rn("_edRelay%1TempInOut", r).toLatin1();
            auto shown = [&] {
                QByteArray m;
                for (const char* b : {"rbRelay%1TempIn", "rbRelay%1TempOut", "rbRelay%1TempPlus", "rbRelay%1TempMinus"})
                    m += checkedR(b, r) ? "x" : "-";
                return m;
            };
            QCOMPARE(shown(), QByteArray("x---"));
            set(code, "3");
            QCOMPARE(shown(), QByteArray("---x"));
            QCOMPARE(value(code), QByteArray("3"));
            set(code, "4");
            QCOMPARE(shown(), QByteArray("----"));
            QCOMPARE(value(code), QByteArray("4"));
            set(code, "1");
            QCOMPARE(shown(), QByteArray("-x--"));
            set(code, "");
            QCOMPARE(shown(), QByteArray("----"));
            QCOMPARE(value(code), QByteArray(""));
            set(code, "02");
            QCOMPARE(shown(), QByteArray("----"));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1TempPlus", r))->click();
            QCOMPARE(value(code), QByteArray("2"));
            QCOMPARE(shown(), QByteArray("--x-"));
            qobject_cast<QAbstractButton*>(wr("rbRelay%1TempIn", r))->click();
            QCOMPARE(value(code), QByteArray("0"));
            QCOMPARE(shown(), QByteArray("x---"));
        }
    }

    void relaysAreIndependent() {
        const auto before = snapshot();
        set("_edRelay2Control", "0");
        set("_edRelay2TempInOut", "3");
        set("_cbRelay2Timed", "0");
        set("tbRelay2MinTemp", "50");
        const auto after = snapshot();
        for (const auto& [name, v] : after)
            if (name.contains("Relay1") || name == "GroupBox18") QVERIFY2(v == before.at(name), qPrintable(name));
    }

    void modeChoiceNeverEnablesDisablesOrHides() {
        auto states = [this] {
            QMap<QWidget*, QPair<bool, bool>> s;
            for (auto* c : page->findChildren<QWidget*>()) s[c] = {c->isEnabled(), c->isHidden()};
            return s;
        };
        const auto before = states();
        for (int r = 1; r <= 2; ++r)
            for (const char* mode : {"0", "2", "1", "9"}) {
                set(rn("_edRelay%1Control", r).toLatin1(), mode);
                QCOMPARE(states(), before);
            }
        for (const char* b : {"rbRelay1ControlAlarm", "rbRelay2ControlTemp"}) {
            get<QAbstractButton>(b)->click();
            QCOMPARE(states(), before);
        }
    }

    void openingAFileWithoutHiddenValues() {
        // A saved file holds no hidden control: Open loads the empty text into each.
        set("_edIN1", "NC");
        set("_edIN2", "CA");
        set("_edRelay1Control", "0");
        set("_cbRelay2Timed", "0");
        set("_edRelay2TempInOut", "2");
        page->beginLoad();
        for (const auto& name : kHidden) set(name, "");
        page->endLoad();
        QCOMPARE(value("rgIN1"), QByteArray("1"));   // positions kept
        QCOMPARE(value("rgIN2"), QByteArray("2"));
        QCOMPARE(value("_edIN1"), QByteArray(""));
        QCOMPARE(value("_edIN2"), QByteArray(""));
        for (int r = 1; r <= 2; ++r) {
            QCOMPARE(value(rn("_cbRelay%1Timed", r).toLatin1()), QByteArray("1"));
            QVERIFY(checkedR("rbRelay%1Timed", r));
            QVERIFY(checkedR("rbRelay%1ControlPhone", r));
            for (const char* b : {"rbRelay%1TempIn", "rbRelay%1TempOut", "rbRelay%1TempPlus", "rbRelay%1TempMinus"})
                QVERIFY(!checkedR(b, r));
            QCOMPARE(value(rn("_edRelay%1TempInOut", r).toLatin1()), QByteArray(""));
        }
        QCOMPARE(value("_edRelay1Control"), QByteArray("1"));   // the alarm mode gave way to the phone mode
        QCOMPARE(value("_edRelay2Control"), QByteArray(""));    // the phone mode was shown already
    }

    void everyRuleComesToRest() {
        // Each step loads one value; afterwards loading it again and running
        // every rule again for the state shown must change nothing.
        const std::pair<const char*, QByteArray> steps[] = {
            {"_edIN1", "CA"},
            {"cbTempSens", "1"},
            {"_edIN1", "nc"},
            {"_edIN2", "NC"},
            {"rgIN1", "3"},
            {"_edRelay1Control", "7"},
            {"_edRelay1Control", "0"},
            {"_edRelay1Control", "7"},
            {"_edRelay2Control", "2"},
            {"_edRelay1TempInOut", "4"},
            {"_edRelay2TempInOut", "3"},
            {"_cbRelay1Timed", "0"},
            {"_cbRelay2Timed", ""},
            {"tbMinTemp", "58"},
            {"tbMaxTemp", "-20"},
            {"tbRelay1MaxTemp", "-20"},
            {"tbRelay2MinTemp", "60"},
            {"edCID_TEMP_R", "13"},
            {"edTUserID", "12af"},
            {"edSMS11", QByteArray(300, 's')},
        };
        page->formatAllTempLabels();
        for (const auto& [name, v] : steps) {
            set(name, v);
            const auto state = snapshot();
            {
                ChangeCounter changes(page.get());
                set(name, valueOf(w(name)));
                QVERIFY2(changes.count == 0, name);
            }
            ChangeCounter changes(page.get());
            rerunRules();
            QVERIFY2(snapshot() == state, name);
            QVERIFY2(changes.count == 0, name);
        }
    }
};

QTEST_MAIN(TestSettingsPage)
#include "test_settings_page.moc"
