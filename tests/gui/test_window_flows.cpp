// Whole-window flows against the simulated module: loading unusual settings
// through the editor rules, Open followed by Write, the page-change handler,
// the live Status and Log pages.
#include "core/link/ConnHIDCOM.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/TimingGuard.h"
#include "support/WindowRig.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/EditTracker.h"
#include "ui/widgets/Bindings.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using Rig = WindowRig;

class WindowFlowsTest : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;   // initTestCase changes timing
private slots:
    void initTestCase() {
        timing::answerWaitMs = 200;
        timing::loginPollMs = 10;
    }

    void readOfUnusualSettings() {
        Rig r;
        r.module.setParam("DIN:Z1.POL", "NC");
        r.module.setParam("TEMP:PROPS.EN", "1");
        r.module.setParam("DIN:Z2.POL", "nc");
        r.module.setParam("REL1:PROPS.MO", "7");
        r.module.setParam("REL2:ONM3.MTE", "4");
        r.module.setParam("REL2:PROPS.TEN", "0");
        r.module.setParam("TEMP:RANG.LOW", "45");
        r.module.setParam("TEMP:RANG.HIGH", "55");
        r.module.setParam("REL1:TMPL.VAL", "50");
        r.module.setParam("REL1:TMPH.VAL", "52");
        r.module.setParam("REL2:PROPS.MO", "2");
        QVERIFY(r.connect());
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        // The sensor, applied after the input codes, wins: IN1 back to "NO".
        QVERIFY(r.checked("cbTempSens"));
        QCOMPARE(r.value("_edIN1"), QByteArray("NO"));
        QCOMPARE(r.w->findChild<RadioGroup*>("rgIN1")->itemIndex(), 0);
        // An input code in lower case is kept, the radio group keeps its place.
        QCOMPARE(r.value("_edIN2"), QByteArray("nc"));
        QCOMPARE(r.w->findChild<RadioGroup*>("rgIN2")->itemIndex(), 0);
        // Mode text 7 with the phone mode already shown: the text stays.
        QCOMPARE(r.value("_edRelay1Control"), QByteArray("7"));
        QVERIFY(r.checked("rbRelay1ControlPhone"));
        QVERIFY(r.checked("rbRelay2ControlTemp"));
        // Temperature code 4: no choice shown, the text kept.
        QCOMPARE(r.value("_edRelay2TempInOut"), QByteArray("4"));
        for (const char* b : {"rbRelay2TempIn", "rbRelay2TempOut", "rbRelay2TempPlus", "rbRelay2TempMinus"})
            QVERIFY2(!r.checked(b), b);
        QVERIFY(r.checked("rbRelay2Bistable"));
        // Threshold pairs are applied together.
        QCOMPARE(r.value("tbMinTemp"), QByteArray("45"));
        QCOMPARE(r.value("tbMaxTemp"), QByteArray("55"));
        QCOMPARE(r.text("lbMinCelsius"), QString::fromUtf8("45\u00B0C"));
        QCOMPARE(r.value("tbRelay1MinTemp"), QByteArray("50"));
        QCOMPARE(r.value("tbRelay1MaxTemp"), QByteArray("54"));
        QCOMPARE(r.text("lbRelay1MaxCelsius"), QString::fromUtf8("54\u00B0C"));
        // Written back as they stand.
        r.w->transfer().Write();
        QCOMPARE(r.module.param("DIN:Z1.POL"), QByteArray("NO"));
        QCOMPARE(r.module.param("DIN:Z2.POL"), QByteArray("nc"));
        QCOMPARE(r.module.param("REL1:PROPS.MO"), QByteArray("7"));
        QCOMPARE(r.module.param("REL2:ONM3.MTE"), QByteArray("4"));
        QCOMPARE(r.module.param("REL1:TMPH.VAL"), QByteArray("54"));
    }

    void settingsFilesCarryTheInputAndRelayModes() {
        Rig r;
        QVERIFY(r.connect());
        // Chosen modes, and the design values to go back to.
        const QList<QPair<const char*, QByteArray>> modes = {{"_edIN1", "NC"},          {"_edIN2", "CA"},
                                                             {"_cbRelay1Timed", "0"},   {"_edRelay1Control", "2"},
                                                             {"_edRelay2Control", "0"}, {"_edRelay2TempInOut", "3"}};
        const QList<QByteArray> design = {"NO", "NO", "1", "1", "1", "0"};
        const QString path = r.dir.filePath("saved.ini");
        for (const auto& [name, value] : modes) r.set(name, value);
        r.w->transfer().Save(path);
        for (int i = 0; i < modes.size(); ++i) r.set(modes[i].first, design[i]);
        r.w->transfer().Open(path);
        for (const auto& [name, value] : modes) QCOMPARE(r.value(name), value);
        QVERIFY(r.checked("rbRelay1ControlTemp") && r.checked("rbRelay1Bistable") && r.checked("rbRelay2TempMinus"));

        // A file saved before the modes were written (197 entries): the window
        // keeps the modes it shows, and Write sends exactly those.
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QByteArray old;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (!line.startsWith('_') && !line.isEmpty()) old += line + '\n';
        f.close();
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(old);
        f.close();
        QCOMPARE(old.count('='), 197);
        r.set("_edIN1", "CA");
        r.set("_edRelay1Control", "0");
        r.w->transfer().Open(path);
        QCOMPARE(r.value("_edIN1"), QByteArray("CA"));
        QCOMPARE(r.value("_edRelay1Control"), QByteArray("0"));
        QCOMPARE(r.value("_edIN2"), QByteArray("CA"));
        r.module.clearCommands();
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.module.param("DIN:Z1.POL"), QByteArray("CA"));
        QCOMPARE(r.module.param("DIN:Z2.POL"), QByteArray("CA"));
        QCOMPARE(r.module.param("REL1:PROPS.MO"), QByteArray("0"));
        QCOMPARE(r.module.param("REL1:PROPS.TEN"), QByteArray("0"));
        QCOMPARE(r.module.param("REL2:ONM3.MTE"), QByteArray("3"));
    }

    void aSpinEditSendsWhatItShows() {
        Rig r;
        QVERIFY(r.connect());
        // Loaded values outside the range, or no number, stay as shown through a
        // page change and a focus change, and Write sends them as shown.
        r.set("seIn1Sensitivity", "5");
        r.set("edBattLow", "0100");
        r.w->pageControl()->setCurrentIndex(TFormMain::PageStatus);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageSettings);
        r.w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        r.c("seIn1Sensitivity")->setFocus();
        QTRY_VERIFY(r.c("seIn1Sensitivity")->hasFocus());
        r.c("EditPhoneNumber1")->setFocus();
        QTRY_VERIFY(r.c("EditPhoneNumber1")->hasFocus());
        QCOMPARE(r.value("seIn1Sensitivity"), QByteArray("5"));
        QCOMPARE(r.value("edBattLow"), QByteArray("0100"));
        r.w->findChild<QPushButton*>("btnWrite")->click();
        QCOMPARE(r.module.param("DIN:Z1.SEN"), QByteArray("5"));
        QCOMPARE(r.module.param("BATT:RANG.LOW"), QByteArray("0100"));
    }

    void everyPageChangeAsksForStatusAndLog() {
        Rig r;
        QVERIFY(r.connect());
        r.module.clearCommands();
        r.w->pageControl()->setCurrentIndex(TFormMain::PageStatus);
        QCOMPARE(r.count("Slots:Mainlog=1"), 1);
        QVERIFY(r.module.mainlogOn());
        // The pairs the module pushes on "R" fill the page.
        QTRY_COMPARE_WITH_TIMEOUT(r.text("lbRelay2Value"), QString("Off"), 3000);   // the last pair
        QCOMPARE(r.text("lbViTypeValue"), QString("GSM-2R"));
        QCOMPARE(r.text("lbSupplyVoltageValue"), QString("12650 mV"));
        QCOMPARE(r.text("lbActTempSensorValue"), QString::fromUtf8("23 \u00B0C"));
        QCOMPARE(r.text("lbInputsIN1Value"), QString("Inactive"));
        QCOMPARE(r.text("lbRelay1Value"), QString("Off"));
        QCOMPARE(r.w->findChild<QProgressBar*>("pbGsmSignal")->value(), 21);
        // Over USB the Status page sends no queries of its own.
        QCOMPARE(r.count("GSMState"), 0);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageVolumes);
        QCOMPARE(r.count("Slots:Mainlog=1"), 2);
        // Without a module nothing is sent.
        r.backend.detach();
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().UsbReady(), 3000);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageSettings);
        QCOMPARE(r.count("Slots:Mainlog=1"), 2);
    }

    void liveStatusAndLogKeepMoving() {
        Rig r;
        r.backend.setTickIntervalMs(5);
        QVERIFY(r.connect());
        r.w->pageControl()->setCurrentIndex(TFormMain::PageStatus);
        auto* memo = r.w->findChild<QPlainTextEdit*>("MemoLog1");
        QTRY_VERIFY_WITH_TIMEOUT(memo->blockCount() > 3, 5000);
        QVERIFY(memo->toPlainText().contains("] <"));
        const QString uptime = r.text("lbStUptimeValue");
        QTRY_VERIFY_WITH_TIMEOUT(r.text("lbStUptimeValue") != uptime, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->findChild<QPlainTextEdit*>("MemoLog2")->toPlainText().isEmpty(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->findChild<QPlainTextEdit*>("MemoLog3")->toPlainText().isEmpty(), 5000);
        // Text arriving while the window closes is dropped without harm.
        r.w->close();
        QVERIFY(r.w->session().Closing());
    }

    // The question before unsaved changes go: Save… (the default button),
    // Discard, Cancel (Escape), with the count; Save… saves in place and
    // goes on. Ctrl+S saves in place without a dialog; Save as… asks with
    // the current name filled in.
    void unsavedWorkIsSavedOrKept() {
        Rig r;
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        QVERIFY(r.connect());
        std::unique_ptr<QMessageBox> box(r.w->makeUnsavedBox(3));
        QVERIFY(box->text().startsWith("3 settings"));
        QCOMPARE(box->defaultButton()->text(), QString("Save…"));
        QCOMPARE(box->escapeButton()->text(), QString("Cancel"));
        box->show();
        QTest::keyClick(box.get(), Qt::Key_Escape);
        QCOMPARE(box->clickedButton(), box->escapeButton());
        box.reset();
        QTemporaryDir dir;
        QStringList proposed;
        r.w->buttons().chooseSaveName = [&](const QString& p) {
            proposed << p;
            return p.isEmpty() ? dir.filePath("site") : dir.filePath("other.ini");
        };
        r.w->confirmDiscard = nullptr;
        QList<TFormMain::Unsaved> answers;
        r.w->askUnsaved = [&] { return answers.takeFirst(); };
        QTest::keyClicks(r.c("EditPhoneNumber1"), "5");
        // Save… with no file open: the dialog names the file, then Read goes on.
        answers = {TFormMain::Unsaved::Save};
        r.module.clearCommands();
        r.button("btnRead")->click();
        QCOMPARE(proposed, QStringList{QString()});
        QCOMPARE(r.count("CALL:USER1.PN?"), 1);
        QVERIFY(QFile(dir.filePath("site.ini")).exists());
        // Cancel keeps the changes; Ctrl+S writes them to the open file at once.
        r.w->buttons().OpenFile(dir.filePath("site.ini"));
        QTest::keyClicks(r.c("EditPhoneNumber1"), "6");
        QTRY_VERIFY(r.w->edits().modified());
        // The changed control tells its old value.
        const QString old = r.c<QLineEdit>("EditPhoneNumber1")->text().chopped(1);
        QCOMPARE(r.c("EditPhoneNumber1")->toolTip(), "was: " + old);
        answers = {TFormMain::Unsaved::Cancel};
        r.button("btnRead")->click();
        QVERIFY(r.w->edits().modified());
        r.w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        QTest::keySequence(r.c("EditPhoneNumber1"), QKeySequence("Ctrl+S"));
        QCOMPARE(proposed.size(), 1);   // no dialog
        QVERIFY(!r.w->edits().modified());
        QSettings saved(dir.filePath("site.ini"), QSettings::IniFormat);
        QVERIFY(saved.value("Settings/EditPhoneNumber1").toString().endsWith("6"));
        // Save as…: asked, the open file's name filled in.
        QTest::keySequence(r.c("EditPhoneNumber1"), QKeySequence("Ctrl+Shift+S"));
        QCOMPARE(proposed.size(), 2);
        QCOMPARE(QFileInfo(proposed.last()).fileName(), QString("site.ini"));
        QCOMPARE(r.w->fileText(), QString("other.ini"));
        QCOMPARE(r.button("btnSaveAs")->text(), QString("Save as…"));
        // A Write leaves the file's "*": the module's state is told apart.
        QTest::keyClicks(r.c("EditPhoneNumber1"), "7");
        QTRY_VERIFY(r.w->edits().modified());
        QCOMPARE(r.w->moduleText(), QString("not written to the module"));
        r.button("btnWrite")->click();
        QTRY_COMPARE(r.w->fileText(), QString("other.ini *"));
        QVERIFY(QRegularExpression("^written \\d\\d:\\d\\d$").match(r.w->moduleText()).hasMatch());
        QVERIFY(r.c("lbModule")->isVisible());
        // Save… with a file open saves in place, then closing goes on.
        answers = {TFormMain::Unsaved::Save};
        QVERIFY(r.w->close());
        QCOMPARE(proposed.size(), 2);
        QSettings other(dir.filePath("other.ini"), QSettings::IniFormat);
        QVERIFY(other.value("Settings/EditPhoneNumber1").toString().endsWith("67"));
    }

    // A changed check box without a caption carries a mark beside it that
    // is not only a colour; it goes when the box is back.
    void captionlessChangesAreMarked() {
        Rig r;
        QCheckBox* box = nullptr;
        for (int i = 0; i < r.w->settingsBindings().Count() && !box; ++i) {
            auto* b = qobject_cast<QCheckBox*>(r.w->settingsBindings().At(i).control);
            if (b && b->text().isEmpty()) box = b;
        }
        QVERIFY(box);
        box->toggle();
        r.w->edits().recheck();
        auto* mark = r.w->findChild<QLabel*>(box->objectName() + "Changed");
        QVERIFY(mark && !mark->isHidden());
        QVERIFY(!mark->text().trimmed().isEmpty());
        box->toggle();
        r.w->edits().recheck();
        QVERIFY(mark->isHidden());
    }

    // Closing the window while a Read, Write or Verify waits for the module
    // (its close button, or SIGTERM) ends the transfer, reports nothing of
    // it, and the application's event loop ends.
    void closingDuringATransferEndsTheProgram_data() {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("bySignal");
        for (const char* b : {"btnRead", "btnWrite", "btnVerify"}) {
            QTest::addRow("%s, closed", b) << QString(b) << false;
#ifdef Q_OS_UNIX   // Windows sends a program no SIGTERM
            QTest::addRow("%s, SIGTERM", b) << QString(b) << true;
#endif
        }
    }
    void closingDuringATransferEndsTheProgram() {
        QFETCH(QString, button);
        QFETCH(bool, bySignal);
        Rig r;
        QVERIFY(r.connect());
        auto k = r.module.knobs();
        k.answerDelayMs = 5;   // the transfer is under way when the close comes
        r.module.setKnobs(k);
        QStringList shown;
        const ErrorSink before = errorSink();
        auto restore = qScopeGuard([&] { errorSink() = before; });
        errorSink() = [&](const QString& m) {
            shown << m;
            before(m);   // the message box, whose event loop the application's quit waits for
        };
        r.w->showDifferences = [&](const QString& text) { shown << text; };
        CloseOnSignals closeOnSignals(r.w.get());
        // The close comes from inside the transfer, after 87 settings.
        bool asked = false;
        connect(r.c<QProgressBar>("ProgressBarRW"), &QProgressBar::valueChanged, r.w.get(), [&](int done) {
            if (done < 87 || asked) return;
            asked = true;
            if (bySignal)
                ::raise(SIGTERM);
            else
                r.w->close();
        });
        QTimer::singleShot(0, r.w.get(), [&] { r.button(button.toLatin1())->click(); });
        QTimer watchdog;   // the application that never ends
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(60000);
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(asked);
        QVERIFY(r.w->session().Closing());
        QVERIFY(!r.w->isVisible());
        QCOMPARE(shown, QStringList());
        QVERIFY(r.c<QProgressBar>("ProgressBarRW")->value() < 205);   // cut indeed
    }

    // A signal that comes after the window has closed ends the application's
    // event loop: the program does not linger without a window.
    void aSignalAfterTheCloseEndsTheProgram() {
#ifndef Q_OS_UNIX
        QSKIP("Windows sends a program no SIGTERM");
#endif
        Rig r;
        CloseOnSignals closeOnSignals(r.w.get());
        r.w->close();   // closed while no event loop runs: nothing ended the application
        QTimer::singleShot(0, [] { ::raise(SIGTERM); });
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
        watchdog.start(60000);
        QCOMPARE(QCoreApplication::exec(), 0);
    }
};

QTEST_MAIN(WindowFlowsTest)
#include "test_window_flows.moc"
