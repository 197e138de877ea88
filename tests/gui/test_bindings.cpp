// The binding table and the four operations that move the whole configuration:
// Read and Write against the simulated module, Open and Save with INI files.
#include "core/config/IniFile.h"
#include "core/config/ParamTable.h"
#include "core/link/ConnHIDCOM.h"
#include "core/text/Codec.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/TimingGuard.h"
#include "support/WindowRig.h"
#include "ui/lang/LangMan.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/EditTracker.h"
#include "ui/widgets/Bindings.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

namespace {

// What a failed transfer's message ends with.
const QString kNextStep = ". Check the module and its cable or call, then press the button again.";

// The device's keys in the order Read, Write, Open and Save walk them, written out by hand.
const char* const kKeys[] = {
    "CALL:USER1.PN",   "CALL:USER2.PN",    "CALL:USER3.PN",      "CALL:USER4.PN",  "CALL:USER1.NMOD", "CALL:USER2.NMOD",
    "CALL:USER3.NMOD", "CALL:USER4.NMOD",  "CALL:FWNRS.MODE",    "CALL:SUNR1.PN",  "EVH:Z1A.CEID",    "EVH:Z1R.CEID",
    "EVH:Z2A.CEID",    "EVH:Z2R.CEID",     "EVH:TMPLA.CEID",     "EVH:TMPLR.CEID", "EVH:TMPHA.CEID",  "EVH:TMPHR.CEID",
    "EVH:BATTA.CEID",  "EVH:BATTR.CEID",   "EVH:TEST.CEID",      "EVH:TMPSA.CEID", "EVH:TMPSR.CEID",  "EVH:Z1A.T1",
    "EVH:Z1R.T1",      "EVH:Z2A.T1",       "EVH:Z2R.T1",         "EVH:TMPLA.T1",   "EVH:TMPLR.T1",    "EVH:TMPHA.T1",
    "EVH:TMPHR.T1",    "EVH:BATTA.T1",     "EVH:BATTR.T1",       "EVH:TMPSA.T1",   "EVH:TMPSR.T1",    "EVH:Z1A.T2",
    "EVH:Z1R.T2",      "EVH:Z2A.T2",       "EVH:Z2R.T2",         "EVH:TMPLA.T2",   "EVH:TMPLR.T2",    "EVH:TMPHA.T2",
    "EVH:TMPHR.T2",    "EVH:BATTA.T2",     "EVH:BATTR.T2",       "EVH:TMPSA.T2",   "EVH:TMPSR.T2",    "EVH:Z1A.T3",
    "EVH:Z1R.T3",      "EVH:Z2A.T3",       "EVH:Z2R.T3",         "EVH:TMPLA.T3",   "EVH:TMPLR.T3",    "EVH:TMPHA.T3",
    "EVH:TMPHR.T3",    "EVH:BATTA.T3",     "EVH:BATTR.T3",       "EVH:TMPSA.T3",   "EVH:TMPSR.T3",    "EVH:Z1A.T4",
    "EVH:Z1R.T4",      "EVH:Z2A.T4",       "EVH:Z2R.T4",         "EVH:TMPLA.T4",   "EVH:TMPLR.T4",    "EVH:TMPHA.T4",
    "EVH:TMPHR.T4",    "EVH:BATTA.T4",     "EVH:BATTR.T4",       "EVH:TMPSA.T4",   "EVH:TMPSR.T4",    "EVH:Z1A.S1",
    "EVH:Z1R.S1",      "EVH:Z2A.S1",       "EVH:Z2R.S1",         "EVH:TMPLA.S1",   "EVH:TMPLR.S1",    "EVH:TMPHA.S1",
    "EVH:TMPHR.S1",    "EVH:BATTA.S1",     "EVH:BATTR.S1",       "EVH:TEST.S1",    "EVH:TMPSA.S1",    "EVH:TMPSR.S1",
    "EVH:Z1A.S2",      "EVH:Z1R.S2",       "EVH:Z2A.S2",         "EVH:Z2R.S2",     "EVH:TMPLA.S2",    "EVH:TMPLR.S2",
    "EVH:TMPHA.S2",    "EVH:TMPHR.S2",     "EVH:BATTA.S2",       "EVH:BATTR.S2",   "EVH:TEST.S2",     "EVH:TMPSA.S2",
    "EVH:TMPSR.S2",    "EVH:Z1A.S3",       "EVH:Z1R.S3",         "EVH:Z2A.S3",     "EVH:Z2R.S3",      "EVH:TMPLA.S3",
    "EVH:TMPLR.S3",    "EVH:TMPHA.S3",     "EVH:TMPHR.S3",       "EVH:BATTA.S3",   "EVH:BATTR.S3",    "EVH:TEST.S3",
    "EVH:TMPSA.S3",    "EVH:TMPSR.S3",     "EVH:Z1A.S4",         "EVH:Z1R.S4",     "EVH:Z2A.S4",      "EVH:Z2R.S4",
    "EVH:TMPLA.S4",    "EVH:TMPLR.S4",     "EVH:TMPHA.S4",       "EVH:TMPHR.S4",   "EVH:BATTA.S4",    "EVH:BATTR.S4",
    "EVH:TEST.S4",     "EVH:TMPSA.S4",     "EVH:TMPSR.S4",       "EVH:Z1A.C1",     "EVH:Z1R.C1",      "EVH:Z2A.C1",
    "EVH:Z2R.C1",      "EVH:TMPLA.C1",     "EVH:TMPLR.C1",       "EVH:TMPHA.C1",   "EVH:TMPHR.C1",    "EVH:BATTA.C1",
    "EVH:BATTR.C1",    "EVH:TEST.C1",      "EVH:TMPSA.C1",       "EVH:TMPSR.C1",   "SMS:Z1A.SMS",     "SMS:Z1R.SMS",
    "SMS:Z2A.SMS",     "SMS:Z2R.SMS",      "SMS:TMPLA.SMS",      "SMS:TMPLR.SMS",  "SMS:TMPHA.SMS",   "SMS:TMPHR.SMS",
    "SMS:BATTA.SMS",   "SMS:BATTR.SMS",    "SMS:TEST.SMS",       "SMS:TMPSA.SMS",  "SMS:TMPSR.SMS",   "BATT:RANG.LOW",
    "BATT:RANG.RES",   "EVH:PROPS.MAXTIM", "EVH:PROPS.TESTFREQ", "DIN:CALA.SEC",   "DIN:Z1.SEN",      "DIN:Z2.SEN",
    "DIN:Z1.POL",      "DIN:Z2.POL",       "TEMP:PROPS.EN",      "CALL:REMNR1.PN", "UID:CIDUID.CID",  "TEMP:RANG.LOW",
    "TEMP:RANG.HIGH",  "REL1:PROPS.TEN",   "REL1:PROPS.TIM",     "REL1:PROPS.MO",  "REL1:ONM1.Z1A",   "REL1:OFM1.Z1R",
    "REL1:ONM1.Z2A",   "REL1:OFM1.Z2R",    "REL1:ONM2.T1",       "REL1:OFM2.T1",   "REL1:ONM2.T2",    "REL1:OFM2.T2",
    "REL1:ONM2.T3",    "REL1:OFM2.T3",     "REL1:ONM2.T4",       "REL1:OFM2.T4",   "REL1:ONM2.TN",    "REL1:OFM2.TN",
    "REL1:PROPS.SRP",  "REL1:TMPL.VAL",    "REL1:TMPH.VAL",      "REL1:ONM3.MTE",  "REL2:PROPS.TEN",  "REL2:PROPS.TIM",
    "REL2:PROPS.MO",   "REL2:ONM1.Z1A",    "REL2:OFM1.Z1R",      "REL2:ONM1.Z2A",  "REL2:OFM1.Z2R",   "REL2:ONM2.T1",
    "REL2:OFM2.T1",    "REL2:ONM2.T2",     "REL2:OFM2.T2",       "REL2:ONM2.T3",   "REL2:OFM2.T3",    "REL2:ONM2.T4",
    "REL2:OFM2.T4",    "REL2:ONM2.TN",     "REL2:OFM2.TN",       "REL2:PROPS.SRP", "REL2:TMPL.VAL",   "REL2:TMPH.VAL",
    "REL2:ONM3.MTE",
};

using Rig = WindowRig;

QMap<QByteArray, QByteArray> visibleState(const TFormMain& w) {
    QMap<QByteArray, QByteArray> m;
    for (int i = 0; i < w.settingsBindings().Count(); ++i) {
        QWidget* c = w.settingsBindings().At(i).control;
        if (!c->isHidden()) m[c->objectName().toLatin1()] = GetControlValue(c);
    }
    return m;
}

}   // namespace

class BindingsTest : public QObject {
    Q_OBJECT
    QStringList errors_;
    QList<ErrorKind> kinds_;
    TimingGuard savedTiming_;   // initTestCase changes timing

private slots:
    void initTestCase() {
        timing::answerWaitMs = 100;
        timing::loginPollMs = 10;
        // The note of a finished Read or Write stays until a test shortens it:
        // a check of the bar after a transfer never races its timer.
        timing::transferNoteMs = 600000;
        errorSink() = [this](const QString& m) {
            errors_ << m;
            kinds_ << shownKind();
        };
    }
    void init() {
        errors_.clear();
        kinds_.clear();
    }

    void tableOrderAndUniqueness() {
        TimingGuard saved;
        Rig r;
        const ControlDescList& b = r.w->settingsBindings();
        QCOMPARE(b.Count(), int(sizeof kKeys / sizeof *kKeys));
        QSet<QByteArray> keys;
        QSet<QWidget*> controls;
        for (int i = 0; i < b.Count(); ++i) {
            QCOMPARE(b.At(i).key, QByteArray(kKeys[i]));
            QVERIFY(b.At(i).control);
            QCOMPARE(b.At(i).control->objectName().toLatin1(), settingsParams()[size_t(i)].control);
            keys << b.At(i).key;
            controls << b.At(i).control;
        }
        QCOMPARE(keys.size(), 205);
        QCOMPARE(controls.size(), 205);
        const ControlDescList& s = r.w->statusBindings();
        QCOMPARE(s.Count(), 15);
        QCOMPARE(s.At(0).key, QByteArray("TPv"));
        QCOMPARE(s.At(14).control->objectName(), QString("_edRelay2Value"));
        // Lookup is exact and takes the first entry.
        QVERIFY(b.Find("CALL:USER1.PN"));
        QVERIFY(!b.Find("call:user1.pn"));
        QVERIFY(!b.Find("CALL:USER1.PN "));
    }

    void conversionsByClass() {
        Rig r;
        // Check boxes: only the text "0" clears.
        for (const char* t : {"", "00", "1", "false", " 0"}) {
            r.set("cbSMSfw", "0");
            r.set("cbSMSfw", t);
            QVERIFY2(r.c<QCheckBox>("cbSMSfw")->isChecked(), t);
        }
        r.set("cbSMSfw", "0");
        QCOMPARE(r.value("cbSMSfw"), QByteArray("0"));
        // Track bars clamp to their range; empty is 0.
        r.set("tbMaxTemp", "60");
        QCOMPARE(r.value("tbMaxTemp"), QByteArray("60"));
        r.set("tbMaxTemp", "75");
        QCOMPARE(r.value("tbMaxTemp"), QByteArray("60"));
        r.set("tbMinTemp", "-25");
        QCOMPARE(r.value("tbMinTemp"), QByteArray("-20"));
        r.set("tbMinTemp", "");
        QCOMPARE(r.value("tbMinTemp"), QByteArray("0"));
        // Combo boxes: an index out of range shows no selection and reads -1.
        r.set("cmbACK1", "1");
        QCOMPARE(r.c<QComboBox>("cmbACK1")->currentIndex(), 1);
        r.set("cmbACK1", "5");
        QCOMPARE(r.value("cmbACK1"), QByteArray("-1"));
        r.set("cmbACK1", "");
        QCOMPARE(r.value("cmbACK1"), QByteArray("0"));
        // Spin edits carry their text unclamped.
        r.set("seAlarmMax", "999");
        QCOMPARE(r.value("seAlarmMax"), QByteArray("999"));
        // Edits take any text whole, 8-bit included.
        const QByteArray sms(200, 'x');
        r.set("edSMS1", sms);
        QCOMPARE(r.value("edSMS1"), sms);
        r.set("EditPhoneNumber1", "\xB0\xF5");
        QCOMPARE(r.c<QLineEdit>("EditPhoneNumber1")->text(), QString::fromUtf8("\u00B0\u0151"));
        QCOMPARE(r.value("EditPhoneNumber1"), QByteArray("\xB0\xF5"));
        // Labels read back their caption.
        QCOMPARE(r.value("lbViTypeValue"), QByteArray("-"));
        // Non-integer text for index and position classes raises the conversion error.
        for (const char* name : {"cmbACK2", "tbMinTemp", "rgIN2"}) {
            bool thrown = false;
            try {
                r.set(name, "abc");
            } catch (const text::ConvertError& e) {
                thrown = QString(e.what()) == "'abc' is not a valid integer value";
            }
            QVERIFY2(thrown, name);
        }
        // A radio group: nothing selected reads -1.
        auto* rg = r.c<RadioGroup>("rgIN2");
        rg->setItemIndex(-1);
        QCOMPARE(r.value("rgIN2"), QByteArray("-1"));
        // Change notifications fire on a real change only.
        int changes = 0;
        QObject::connect(r.c<QLineEdit>("EditPhoneNumber2"), &QLineEdit::textChanged, [&] { ++changes; });
        r.set("EditPhoneNumber2", "123");
        r.set("EditPhoneNumber2", "123");
        QCOMPARE(changes, 1);
    }

    void readFillsTheControls() {
        TimingGuard saved;   // the note's time is shortened below
        Rig r;
        r.module.setParam("CALL:USER1.PN", "+36301234567");
        r.module.setParam("EVH:Z1A.T1", "1");
        r.module.setParam("CALL:USER2.NMOD", "1");
        r.module.setParam("SMS:Z2R.SMS", "");
        r.module.setParam("EVH:Z1A.CEID", "3131");
        r.module.setParam("DIN:Z1.SEN", "1230");
        QVERIFY(r.connect());
        r.set("edSMS4", "was here");
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.value("EditPhoneNumber1"), QByteArray("+36301234567"));
        QCOMPARE(r.value("cbEvent1T1"), QByteArray("1"));
        QCOMPARE(r.value("cmbACK2"), QByteArray("1"));
        QCOMPARE(r.value("edSMS4"), QByteArray(""));
        QCOMPARE(r.value("edCID1"), QByteArray("3131"));
        QCOMPARE(r.value("seIn1Sensitivity"), QByteArray("1230"));
        QCOMPARE(r.w->transfer().responses.size(), 205);
        QVERIFY(!r.w->busy());
        QVERIFY(r.w->pageControl()->isEnabled());
        QVERIFY(errors_.isEmpty());
        // A short note on the status line says so; a while later the bar is empty again.
        QVERIFY(r.c<QLabel>("lbResult")->isVisibleTo(r.w.get()));
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString("205 settings read"));
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString("205 settings written"));
        // Once the note's time is short, the next note goes by itself.
        timing::transferNoteMs = 20;
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QTRY_COMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 0);
        QVERIFY(!r.w->findChild<QProgressBar*>("ProgressBarRW")->isTextVisible());
    }

    // Read, Write and Verify count "n/205" on the bar and can be cancelled:
    // they stop after the setting under way and say how far they came, on
    // the status line; the settings a cut Read did not read are marked.
    void cancelStopsATransferAndSaysWhereItStopped() {
        Rig r;
        QVERIFY(r.connect());
        auto k = r.module.knobs();
        k.answerDelayMs = 2;   // each setting takes a while, as over a real link
        r.module.setKnobs(k);
        auto* bar = r.c<QProgressBar>("ProgressBarRW");
        QPushButton* cancel = r.button("btnCancelTransfer");
        QVERIFY(!cancel->isVisibleTo(r.w.get()));
        QString shownAt43;
        bool cancelOffered = false;
        QObject::connect(bar, &QProgressBar::valueChanged, r.w.get(), [&](int v) {
            if (v != 43) return;
            shownAt43 = bar->text();
            cancelOffered = cancel->isVisibleTo(r.w.get()) && cancel->isEnabled();
            cancel->click();
        });
        const ControlDescList& b = r.w->settingsBindings();
        const QString before = b.At(204).control->toolTip();
        r.module.clearCommands();
        r.button("btnRead")->click();
        QCOMPARE(shownAt43, QString("43/205"));
        QVERIFY(cancelOffered);
        QCOMPARE(r.module.commands().size(), 43);   // nothing asked after the one under way
        QCOMPARE(errors_, QStringList());
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(),
                 QString("Read stopped after 43 of 205 settings: the other 162 are the values shown before"));
        QVERIFY(!cancel->isVisibleTo(r.w.get()));
        QVERIFY(!r.w->busy());
        // The rest are marked as not read, until a full Read.
        QVERIFY(!b.At(42).control->property("notRead").toBool());
        QVERIFY(b.At(43).control->property("notRead").toBool());
        QVERIFY(b.At(204).control->toolTip().startsWith("not read"));
        // Changed as well: the tooltip says both, and each note goes on its own.
        QWidget* last = b.At(204).control;
        const QByteArray was = GetControlValue(last);
        SetControlValue(last, was == "1" ? "0" : "1");
        r.w->edits().recheck();
        QVERIFY2(last->toolTip().startsWith("not read") && last->toolTip().contains("\nwas: "),
                 qPrintable(last->toolTip()));
        SetControlValue(last, was);
        r.w->edits().recheck();
        QVERIFY2(last->toolTip().startsWith("not read") && !last->toolTip().contains("was: "),
                 qPrintable(last->toolTip()));
        for (const auto& [button, text] :
             {std::pair{"btnWrite",
                        "Write stopped after 43 of 205 settings: the other 162 were not sent to the module"},
              std::pair{"btnVerify", "Verify stopped after 43 of 205 settings: the other 162 were not compared"}}) {
            r.module.clearCommands();
            r.button(button)->click();
            QCOMPARE(r.module.commands().size(), 43);
            QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString(text));
        }
        QCOMPARE(errors_, QStringList());
        k.answerDelayMs = 0;
        r.module.setKnobs(k);
        QObject::disconnect(bar, nullptr, r.w.get(), nullptr);
        r.button("btnRead")->click();
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString("205 settings read"));
        r.w->langMan().SelectLanguage("hu");   // the note follows the window's language
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString::fromUtf8("205 beállítás beolvasva"));
        r.w->langMan().SelectLanguage("en");
        QVERIFY(!b.At(43).control->property("notRead").toBool());
        QCOMPARE(b.At(204).control->toolTip(), before);
    }

    void writeRefusesWhatCannotBeSent() {
        Rig r;
        QVERIFY(r.connect());
        // As a module or a file may have given it: a line feed would send a second command.
        r.set("EditPhoneNumber2", "+36\nset REM:UPW C,4826,0000");
        r.module.clearCommands();
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(errors_, QStringList{"The value of CALL:USER2.PN holds a character that cannot be sent to the "
                                      "module. Correct the value, then press Write again."});
        QVERIFY(r.module.commands().isEmpty());
        QCOMPARE(r.module.password(), QByteArray("4826"));
        // The user cannot type such characters; Romanian letters are fine.
        auto* sms = r.c<QLineEdit>("edSMS1");
        sms->clear();
        sms->setFocus();
        for (const QChar c : QString::fromUtf8("Ș日#\"x\u2713ț"))
            QTest::sendKeyEvent(QTest::Click, sms, Qt::Key_unknown, QString(c), Qt::NoModifier);
        QCOMPARE(sms->text(), QString::fromUtf8("Ș#xț"));
    }

    void refusalAtTheFirstKeyChangesNothing() {
        Rig r;
        r.module.setParam("CALL:USER1.PN", "555");
        QVERIFY(r.connect());
        auto k = r.module.knobs();
        k.refusing = true;
        r.module.setKnobs(k);
        r.w->findChild<QProgressBar*>("ProgressBarRW")->setValue(17);
        const auto before = visibleState(*r.w);
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 0);
        QCOMPARE(visibleState(*r.w), before);
        QVERIFY(r.w->transfer().responses.isEmpty());
    }

    void unansweredKeysAreSkippedAndTheReadGoesOn() {
        TimingGuard saved;
        Rig r;
        r.module.setParam("CALL:USER1.PN", "111");
        QVERIFY(r.connect());
        r.set("EditPhoneNumberSu", "before");
        // A module that stays attached but falls silent: every key gets no
        // answer, is stored empty and skipped, and the Read goes on to the end.
        auto k = r.module.knobs();
        k.silent = true;
        r.module.setKnobs(k);
        timing::answerWaitMs = 1;
        timing::commandAttempts = 1;
        const auto result = r.w->transfer().Read();
        QCOMPARE(result.answered, 205);
        QVERIFY(result.refusedKey.isEmpty() && !result.linkLost);
        QCOMPARE(result.silentKeys.size(), 205);
        QCOMPARE(result.silentKeys.last(), QByteArray(kKeys[204]));
        QCOMPARE(r.value("EditPhoneNumberSu"), QByteArray("before"));
    }

    void aModuleThatGoesAwayEndsTheTransferAtOnce() {
        // The module's command count decides where it goes away: no attempt
        // may be sent twice, however slow the machine (every exchange here is
        // answered, so the longer waits cost nothing).
        TimingGuard saved;
        timing::answerWaitMs = 2000;
        timing::loginPollMs = 100;
        Rig r;
        r.module.setParam("CALL:USER1.PN", "111");
        QVERIFY(r.connect());
        r.set("EditPhoneNumberSu", "before");
        // The module goes away during the 7th query: the Read ends there, with
        // the answers before it applied, instead of asking the rest 4 times each.
        auto k = r.module.knobs();
        k.detachAfterCommands = int(r.module.commands().size()) + 7;
        r.module.setKnobs(k);
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(errors_, QStringList{"The module was disconnected after 6 of 205 settings" + kNextStep});
        QCOMPARE(r.w->transfer().responses.size(), 6);
        QCOMPARE(r.value("EditPhoneNumber1"), QByteArray("111"));
        QCOMPARE(r.value("EditPhoneNumberSu"), QByteArray("before"));
        QVERIFY(!r.w->busy());

        // Write likewise: 9 settings confirmed, the 10th lost with the module,
        // nothing after it sent.
        errors_.clear();
        k.detachAfterCommands = -1;
        r.module.setKnobs(k);
        r.module.clearCommands();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btnWrite"), 5000);
        k.detachAfterCommands = int(r.module.commands().size()) + 10;   // the login so far
        r.module.setKnobs(k);
        r.module.clearCommands();
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(errors_, QStringList{"The module was disconnected after 9 of 205 settings" + kNextStep});
        QCOMPARE(r.module.commands().size(), 10);
    }

    void conversionErrorDuringReadRestoresTheWindow() {
        Rig r;
        r.module.setParam("CALL:USER3.NMOD", "x");
        r.module.setParam("CALL:USER1.PN", "777");
        QVERIFY(r.connect());
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(errors_, QStringList{"'x' is not a valid integer value"});
        QCOMPARE(r.value("EditPhoneNumber1"), QByteArray("777"));   // applied before the bad entry
        QVERIFY(!r.w->busy());
        QVERIFY(r.w->pageControl()->isEnabled());
        QVERIFY(r.w->findChild<QWidget*>("btnRead")->isEnabled());
    }

    void writeSendsEveryValueAndStopsAtTheFirstFailure() {
        // The module's command count is checked: no set may be sent twice,
        // however slow the machine (each is answered: the long wait costs nothing).
        TimingGuard saved;
        timing::answerWaitMs = 2000;
        Rig r;
        QVERIFY(r.connect());
        r.set("EditPhoneNumber3", "+40721000111");
        r.set("tbMinTemp", "-20");
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.module.param("CALL:USER3.PN"), QByteArray("+40721000111"));
        QCOMPARE(r.module.param("TEMP:RANG.LOW"), QByteArray("-20"));
        // The module refuses its 10th set: 9 are confirmed, then Write stops.
        r.module.clearCommands();
        auto k = r.module.knobs();
        k.refusing = true;
        int reached = 0;   // the bar is reset after the failure
        QObject::connect(r.w->findChild<QProgressBar*>("ProgressBarRW"), &QProgressBar::valueChanged, r.w.get(),
                         [&](int v) {
                             reached = qMax(reached, v);
                             if (v == 9) r.module.setKnobs(k);
                         });
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(errors_, QStringList{"The module refused " + QString(kKeys[9]) + kNextStep});
        QCOMPARE(reached, 9);
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 0);
        QCOMPARE(r.module.commands().size(), 10);   // nothing after the failing key reached it
    }

    void saveThenOpenRestoresEverySetting() {
        Rig r;
        r.set("EditPhoneNumber1", "+3612345");
        r.set("cmbACK3", "1");
        r.set("tbMinTemp", "-20");
        r.set("cbEvent5S2", "1");
        r.set("edSMS9", "Akku \xE9s h\xF5");
        r.set("_edIN2", "CA");
        r.set("_cbRelay2Timed", "0");
        const auto saved = visibleState(*r.w);
        const QString path = r.dir.filePath("conf.ini");
        r.w->transfer().Save(path);
        // Every setting, the hidden codes included, in binding order.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<QByteArray> names;
        for (const QByteArray& l : f.readAll().split('\n'))
            if (l.contains('=')) names << l.left(l.indexOf('='));
        QCOMPARE(names.size(), 205);
        for (int i = 0; i < 205; ++i)
            QCOMPARE(names[i], r.w->settingsBindings().Find(kKeys[i])->control->objectName().toLatin1());
        const IniFile ini(path);
        QCOMPARE(ini.ReadString("Settings", "tbMinTemp", "?"), QByteArray("-20"));
        QCOMPARE(ini.ReadString("Settings", "_edIN1", "?"), QByteArray("NO"));
        QCOMPARE(ini.ReadString("Settings", "_edIN2", "?"), QByteArray("CA"));
        // Change everything, then Open brings it back.
        r.set("EditPhoneNumber1", "other");
        r.set("cmbACK3", "0");
        r.set("tbMinTemp", "10");
        r.set("cbEvent5S2", "0");
        r.set("_edIN2", "NC");
        r.set("_cbRelay2Timed", "1");
        r.w->transfer().Open(path);
        QCOMPARE(visibleState(*r.w), saved);
        QCOMPARE(r.value("_edIN2"), QByteArray("CA"));
        QVERIFY(r.checked("rbRelay2Bistable"));
    }

    void saveUpdatesAnExistingFileInPlace() {
        Rig r;
        const QString path = r.dir.filePath("mixed.ini");
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[Other]\r\nkeep=me\r\n[SETTINGS]\r\nforeign=1\r\nEDITPHONENUMBER1=old\r\n");
        f.close();
        r.set("EditPhoneNumber1", "new");
        r.w->transfer().Save(path);
        const IniFile ini(path);
        QCOMPARE(ini.ReadString("Other", "keep", ""), QByteArray("me"));
        QCOMPARE(ini.ReadString("Settings", "foreign", ""), QByteArray("1"));
        QCOMPARE(ini.ReadString("Settings", "EditPhoneNumber1", ""), QByteArray("new"));
    }

    void saveFailureIsReportedAndLeavesTheFile() {
        Rig r;
        const QString path = r.dir.filePath("missing-dir/x.ini");
        QString message;
        try {
            r.w->transfer().Save(path);
        } catch (const std::exception& e) {
            message = e.what();
        }
        QVERIFY2(message.startsWith("Unable to write to " + path + ": ") && message.size() > path.size() + 21,
                 qPrintable(message));
    }

    void saveNames() {
        // The dialog adds the ending itself and asks nothing: Save only updates its own entries.
        QFileDialog dialog;
        TransferButtons::PrepareSaveDialog(dialog);
        QCOMPARE(dialog.defaultSuffix(), QString("ini"));
        QVERIFY(dialog.testOption(QFileDialog::DontConfirmOverwrite));
        QCOMPARE(dialog.acceptMode(), QFileDialog::AcceptSave);
        QCOMPARE(ConfigTransfer::SaveName("settings"), QString("settings.ini"));
        QCOMPARE(ConfigTransfer::SaveName("a.ini"), QString("a.ini"));
        QCOMPARE(ConfigTransfer::SaveName("A.INI"), QString("A.INI"));
        QCOMPARE(ConfigTransfer::SaveName("x"), QString("x.ini"));
        QCOMPARE(ConfigTransfer::SaveName("conf.txt"), QString("conf.txt.ini"));
        QCOMPARE(ConfigTransfer::SaveName(".ini"), QString(".ini"));
    }

    void openOfAnUnreadableFileChangesNothing() {
        Rig r;
        r.set("EditPhoneNumber1", "keep");
        const QString path = r.dir.filePath("folder.ini");
        QVERIFY(QDir().mkpath(path));   // there, but no file to read
        QString message;
        try {
            r.w->transfer().Open(path);
        } catch (const std::exception& e) {
            message = e.what();
        }
        QVERIFY2(message.startsWith("Unable to read " + path + ": "), qPrintable(message));
        QCOMPARE(r.value("EditPhoneNumber1"), QByteArray("keep"));
    }

    void notASettingsFileChangesNothing_data() {
        QTest::addColumn<QByteArray>("content");   // null: no file at all
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("empty") << QByteArray("");
        QTest::newRow("no Settings section") << QByteArray("[Other]\r\nEditPhoneNumber1=1\r\n");
        QTest::newRow("none of the keys") << QByteArray("[Settings]\r\nsomething=1\r\n");
        QTest::newRow("not INI at all") << QByteArray("\x89PNG\r\n\x1a\n\0\0\0\rIHDR");
        QTest::newRow("over 1 MiB") << "[Settings]\r\nEditPhoneNumber1=1\r\n;" + QByteArray(1024 * 1024, 'x');
    }

    void notASettingsFileChangesNothing() {
        QFETCH(QByteArray, content);
        Rig r;
        r.set("EditPhoneNumber1", "x");
        r.set("cbSMSfw", "0");
        r.set("tbMaxTemp", "50");
        const auto before = visibleState(*r.w);
        const QString path = r.dir.filePath("some.ini");
        if (!content.isNull()) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(content);
        }
        r.w->buttons().OpenFile(path);
        // A file past the size limit is told with the limit and its size.
        const QString expected = QTest::currentDataTag() == QByteArray("over 1 MiB")
                                     ? QString("'%1' is %2 bytes: a settings file has at most 1 MiB (1048576 bytes)")
                                           .arg(path)
                                           .arg(content.size())
                                     : "'" + path + "' is not a settings file";
        QCOMPARE(errors_, QStringList{expected});
        QCOMPARE(kinds_, QList<ErrorKind>{ErrorKind::Mistake});   // the user picked the wrong file
        QCOMPARE(visibleState(*r.w), before);
        QCOMPARE(r.value("_edIN1"), QByteArray("NO"));
    }

    void openChecksTheWholeFileBeforeChangingAnything() {
        Rig r;
        r.set("EditPhoneNumber1", "keep");
        const auto before = visibleState(*r.w);
        const QString path = r.dir.filePath("bad.ini");
        for (const QByteArray& bad :
             {QByteArray("cmbACK4=x"), QByteArray("edSMS1=a#\"b"), QByteArray("EditPhoneNumber2=1\r2")}) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write("[Settings]\r\nEditPhoneNumber1=changed\r\n" + bad + "\r\n");
            f.close();
            errors_.clear();
            r.w->buttons().OpenFile(path);
            QCOMPARE(errors_.size(), 1);
            QCOMPARE(visibleState(*r.w), before);
        }
        QCOMPARE(errors_.first(),
                 QString("The value of EditPhoneNumber2 holds a character that cannot be sent to the module"));
    }

    void testReportButtonSetsEvmNew() {
        Rig r;
        QVERIFY(r.connect());
        r.w->findChild<QPushButton*>("btTestReportNow")->click();
        QCOMPARE(r.module.param("EVM:New"), QByteArray("10"));
    }
};

QTEST_MAIN(BindingsTest)
#include "test_bindings.moc"
