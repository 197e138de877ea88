// The main window: start-up presentation, link state and automatic login,
// the hand-off from the reader thread, the Log shortcut and the Volumes page.
#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/TimingGuard.h"
#include "support/WindowRig.h"
#include "ui/dialogs/PwdForm.h"
#include "ui/lang/LangMan.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/EditTracker.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/StatusPage.h"
#include "ui/pages/VolumesPage.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/FocusFrame.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QSlider>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolButton>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// An input report that holds one slot frame with the text.
SimHidBackend::Report frameReport(int16_t slot, const QByteArray& text) {
    const auto f = BuildFrame(slot, 0, reinterpret_cast<const uint8_t*>(text.constData()), int(text.size()));
    SimHidBackend::Report r{};
    r[1] = 1;
    r[2] = kFrameSize;
    std::memcpy(r.data() + 5, f.data(), kFrameSize);
    return r;
}

}   // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
    QStringList errors_;
    TimingGuard savedTiming_;   // initTestCase changes timing

private slots:
    void initTestCase() {
        timing::answerWaitMs = 150;
        timing::loginPollMs = 10;
        errorSink() = [this](const QString& m) { errors_ << m; };
    }
    void init() { errors_.clear(); }

    void startupPresentation() {
        WindowRig r(false);
        r.w->show();
        QCOMPARE(r.w->windowTitle(), QString("Orvik Device Volumes"));
        QCOMPARE(r.w->size(), QSize(300, 480));
        auto* pc = r.w->pageControl();
        QCOMPARE(pc->count(), 5);
        const char* names[] = {"tsSettings", "tsStatus", "tsLog", "TabSheet1", "tsVolSettings"};
        for (int i = 0; i < 5; ++i) QCOMPARE(pc->widget(i)->objectName(), QString(names[i]));
        for (int i = 0; i < 4; ++i) QVERIFY(!pc->isTabVisible(i));
        QVERIFY(pc->isTabVisible(4));
        QCOMPARE(pc->currentIndex(), 4);
        QVERIFY(r.w->findChild<QWidget*>("Panel3")->isHidden());
        QVERIFY(r.w->findChild<QWidget*>("Panel4")->isHidden());
        QVERIFY(!r.w->findChild<QWidget*>("Panel1")->isHidden());
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->maximum(), 205);
        QVERIFY(!r.enabled("btSetVols"));
        QVERIFY(!r.enabled("btReadVols"));
        // The language can be changed here too: three compact buttons beside the tab.
        auto* hu = r.w->findChild<QToolButton*>("VolumeLangHU");
        QVERIFY(hu && hu->isVisible() && hu->width() <= 24);
        hu->click();
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString::fromUtf8("Mégse"));
        r.w->findChild<QToolButton*>("VolumeLangEN")->click();
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("Cancel"));
    }

    void fullPresentation() {
        WindowRig r(true);
        r.w->show();
        QCOMPARE(r.w->windowTitle(), QString("Brisal Kestrum v1.00"));
        for (int i : {0, 1, 3, 4}) QVERIFY(r.w->pageControl()->isTabVisible(i));
        QVERIFY(!r.w->pageControl()->isTabVisible(2));
        QCOMPARE(r.w->pageControl()->currentIndex(), 0);   // it opens on the Settings page
        QVERIFY(!r.w->findChild<QWidget*>("Panel3")->isHidden());
        QVERIFY(!r.w->findChild<QWidget*>("Panel4")->isHidden());
        // No larger than the screen's free area; the pages scroll instead.
        const QSize room = r.w->screen()->availableGeometry().size();
        QVERIFY(r.w->width() <= room.width() && r.w->height() <= room.height());
        QVERIFY(r.w->findChild<QScrollArea*>("sbStatus"));
        // The icon, and the About box's version and licences in the window's language.
        QVERIFY(!r.w->windowIcon().pixmap(32, 32).isNull());
        QVERIFY(r.w->findChild<QWidget*>("btAbout")->isVisible());
        const QString about = r.w->aboutText();
        QVERIFY2(about.startsWith("Kestrum " KESTRUM_VERSION) && about.contains(qVersion()) && about.contains("LGPL") &&
                     about.contains("hidapi"),
                 qPrintable(about));
        // Caption-less boxes are named by their row and column, in the window's language; "?" is About.
        auto* t1 = r.w->findChild<QWidget*>("cbEvent1T1");
        auto* event1 = r.w->findChild<QLabel*>("lbEvent1");
        QCOMPARE(t1->accessibleName(), QString::fromUtf8("01.  IN1 Alarm – T1"));
        QCOMPARE(r.w->findChild<QWidget*>("cbEvent1IsCID")->accessibleName(),
                 QString::fromUtf8("01.  IN1 Alarm – Mon. stat."));
        QCOMPARE(event1->buddy(), r.w->findChild<QWidget*>("edSMS1"));
        QCOMPARE(r.w->findChild<QWidget*>("btAbout")->accessibleName(), QString("About"));
        // Captions are their controls' buddies, wherever the control sits in the row; headings are nobody's.
        for (const auto& [caption, control] :
             {std::pair{"lbTPhone1", "EditPhoneNumber1"}, std::pair{"lbIN1Sensitivity", "seIn1Sensitivity"},
              std::pair{"lbMinTemp", "tbMinTemp"}, std::pair{"lbRelay2MaxTemp", "tbRelay2MaxTemp"},
              std::pair{"lbTUserID", "edTUserID"}})
            QVERIFY2(r.c<QLabel>(caption)->buddy() == r.c(control), caption);
        QVERIFY(!r.c<QLabel>("lbT1")->buddy());
        r.w->SpeedButtonROClick();
        QCOMPARE(r.w->findChild<QWidget*>("btAbout")->accessibleName(), QString("Despre"));
        QVERIFY(r.w->aboutText().contains("Realizat cu Qt"));
        QCOMPARE(t1->accessibleName(), event1->text() + QString::fromUtf8(" – T1"));
        QVERIFY(event1->text() != QString("01.  IN1 Alarm"));
    }

    // The focus is framed where it is, and the frame follows it as the page scrolls.
    void focusIsFramed() {
        WindowRig r(true);
        r.w->show();
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        auto* frame = r.w->findChild<FocusFrame*>("focusFrame");
        auto* scroll = r.c<QScrollArea>("sbSettings");
        auto* far = r.c("edTCentrPhone1");   // at the page's end
        const auto framedRect = [&] { return QRect(far->mapTo(r.w.get(), QPoint()), far->size()); };
        r.c<QLineEdit>("EditPhoneNumber1")->setFocus();
        QTRY_VERIFY(frame->framed() == r.c("EditPhoneNumber1") && frame->isVisible());
        // Scrolled out of sight: no frame drawn over the rest of the window.
        far->setFocus();
        QTRY_VERIFY(frame->framed() == far);
        QVERIFY(!frame->isVisible());
        scroll->ensureWidgetVisible(far, 0, 40);
        QTRY_VERIFY(frame->isVisible() && frame->geometry().contains(framedRect()));
        scroll->verticalScrollBar()->setValue(scroll->verticalScrollBar()->value() - 20);
        QTRY_VERIFY(frame->geometry().contains(framedRect()));
    }

    void logShortcutFollowsFocus() {
        WindowRig r(true);
        r.w->show();
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()) || true);
        auto* pc = r.w->pageControl();
        QWidget* btnRead = r.w->findChild<QWidget*>("btnRead");
        QWidget* btnOpen = r.w->findChild<QWidget*>("btnOpen");
        QTest::keyClick(btnOpen, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(pc->isTabVisible(2));
        QTest::keyClick(btnOpen, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
        QVERIFY(!pc->isTabVisible(2));
        QTest::keyClick(btnRead, Qt::Key_D, Qt::ControlModifier);
        QTest::keyClick(btnRead, Qt::Key_D, Qt::AltModifier);
        QVERIFY(!pc->isTabVisible(2));
        // An edit box on the Settings page with the focus: the shortcut works there too.
        auto* edit = r.w->findChild<QLineEdit*>("EditPhoneNumber1");
        edit->setFocus();
        QTest::keyClick(edit, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(pc->isTabVisible(2));
        QCOMPARE(edit->text(), QString());
        QTest::keyClick(edit, Qt::Key_D, Qt::ControlModifier | Qt::AltModifier);
        QVERIFY(!pc->isTabVisible(2));
    }

    void attachLogsInOnceAndEnables() {
        WindowRig r(false);
        r.w->show();
        QVERIFY(!r.enabled("btReadVols"));
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btReadVols"), 5000);
        QVERIFY(r.enabled("btSetVols"));
        QVERIFY(r.enabled("btnRead"));
        QVERIFY(r.enabled("btnWrite"));
        QTRY_COMPARE_WITH_TIMEOUT(r.logins().size(), 1, 2000);
        QCOMPARE(r.logins().first(), QByteArray("set REM:UPW P,4826"));
        QVERIFY(r.module.loggedIn());
        // A second "Attached" while the link stays up logs in no more.
        r.w->UpdateUIState("Attached");
        QCOMPARE(r.logins().size(), 1);
        // Busy: everything off; leaving busy restores.
        r.w->setBusy(true, "ReadStart");
        QVERIFY(!r.w->pageControl()->isEnabled());
        QVERIFY(!r.enabled("btReadVols"));
        r.w->setBusy(false, "ReadEnd");
        QVERIFY(r.w->pageControl()->isEnabled());
        QVERIFY(r.enabled("btReadVols"));
        // Detached: buttons off, page control on.
        r.backend.detach();
        QTRY_VERIFY_WITH_TIMEOUT(!r.enabled("btReadVols"), 3000);
        QVERIFY(r.w->pageControl()->isEnabled());
        QVERIFY(!r.enabled("btnRead"));
    }

    // The bottom bar says where the user stands, in the volume tool as well;
    // the Status page fills as soon as the module is up, greys when it goes,
    // and redraws its words in a new language at once.
    void standingStatusAndLanguage() {
        WindowRig r(false);
        auto* standing = r.c<ElidedLabel>("lbStanding");
        QVERIFY(standing->isVisible());
        QCOMPARE(standing->fullText(), QString("No module – plug it in"));
        // The words come with a picture: waiting, a problem, ready.
        auto* icon = r.c<QLabel>("lbStandingIcon");
        const auto picture = [icon] { return icon->property("standing").toString(); };
        QCOMPARE(picture(), QString("waiting"));
        QVERIFY(!icon->pixmap().isNull());
        QVERIFY(r.w->statusPage()->stale());
        r.backend.setOpenRefused("Permission denied");
        r.backend.attach();
        QTRY_COMPARE(standing->fullText(),
                     QString("Module found but not accessible – see README, Access to the USB module"));
        QCOMPARE(picture(), QString("problem"));
        QCOMPARE(icon->accessibleName(), standing->fullText());
        QCOMPARE(r.w->session().usbFailure(), Failure(Failure::Kind::NoAccess, "Permission denied"));
        r.backend.setOpenRefused("");
        QTRY_COMPARE_WITH_TIMEOUT(standing->fullText(), QString("Logged in"), 5000);
        QCOMPARE(picture(), QString("ready"));
        // No page was changed and the module sends status only when asked.
        QTRY_VERIFY(r.text("lbViTypeValue") != "-");
        QVERIFY(!r.w->statusPage()->stale());
        QVERIFY(r.c("lbViTypeValue")->isEnabled());
        r.set("_edInputsIN1Value", "1");
        QCOMPARE(r.text("lbInputsIN1Value"), QString("Inactive"));
        r.w->SpeedButtonHUClick();
        QCOMPARE(standing->fullText(), QString("Bejelentkezve"));
        QCOMPARE(r.text("lbInputsIN1Value"), QString("Inaktív"));
        r.w->SpeedButtonENClick();
        r.backend.detach();
        QTRY_COMPARE(standing->fullText(), QString("No module – plug it in"));
        QVERIFY(r.w->statusPage()->stale());
        QVERIFY(!r.c("lbViTypeValue")->isEnabled());
        QVERIFY(r.text("lbViTypeValue") != "-");   // kept, greyed
        // A refused password: connected, not logged in.
        r.module.setPassword("1111");
        r.w->session().login().askPassword = [] {};
        r.backend.attach();
        QTRY_COMPARE_WITH_TIMEOUT(standing->fullText(), QString("Connected – password refused"), 5000);
    }

    // Ctrl+O and Ctrl+S open the file dialogs, F5 reads, wherever the focus
    // is; not in the volume tool, whose Settings page is not offered.
    void shortcutsPressOpenSaveAndRead() {
        // The Read's query is counted: it must not go out twice, however slow
        // the machine (it is answered: the long wait costs nothing).
        TimingGuard saved;
        timing::answerWaitMs = 2000;
        auto dialogAfter = [](const QKeySequence& keys, QWidget* target) {
            target->window()->activateWindow();   // back from the dialog before
            if (!QTest::qWaitForWindowActive(target->window())) return -2;
            QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
            bool seen = false;
            // Looks for the dialog from inside its own event loop, however
            // long it takes to come up.
            QTimer poll;
            poll.setInterval(5);
            QObject::connect(&poll, &QTimer::timeout, [&] {
                if (auto* d = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
                    poll.stop();
                    seen = true;
                    mode = d->acceptMode();
                    d->reject();
                }
            });
            poll.start();
            QTest::keySequence(target, keys);
            QCoreApplication::processEvents();
            return seen ? int(mode) : -1;
        };
        {
            WindowRig r(true);
            QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
            QWidget* edit = r.c("EditPhoneNumber1");
            edit->setFocus();
            QCOMPARE(dialogAfter(QKeySequence("Ctrl+O"), edit), int(QFileDialog::AcceptOpen));
            QCOMPARE(dialogAfter(QKeySequence("Ctrl+S"), edit), int(QFileDialog::AcceptSave));
            QVERIFY(r.connect());
            r.module.clearCommands();
            r.w->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
            QTest::keyClick(edit, Qt::Key_F5);
            QTRY_VERIFY_WITH_TIMEOUT(r.count("CALL:USER1.PN?") == 1, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(!r.w->busy(), 10000);
        }
        WindowRig r(false);
        QVERIFY(r.connect());
        r.module.clearCommands();
        QTest::keyClick(r.w.get(), Qt::Key_F5);
        QCOMPARE(dialogAfter(QKeySequence("Ctrl+O"), r.w.get()), -1);
        QTest::qWait(50);
        QCOMPARE(r.count("CALL:USER1.PN?"), 0);
    }

    // Changes since the last Read, Open, Write or Save are marked, the bar
    // shows the file and "*", and Read and closing ask before losing them.
    void unsavedChangesAreMarkedAndAsked() {
        WindowRig r(true);
        QVERIFY(r.connect());
        auto* phone = r.c<QLineEdit>("EditPhoneNumber1");
        QCOMPARE(r.w->fileText(), QString());
        QTest::keyClicks(phone, "5");
        QTRY_VERIFY(r.w->edits().modified());
        QCOMPARE(r.w->fileText(), QString("*"));
        QCOMPARE(r.w->edits().changedKeys(), QList<QByteArray>{"CALL:USER1.PN"});
        QCOMPARE(phone->palette().color(QPalette::Text), EditTracker::markColour());
        // An input's mode is kept in a hidden edit: its radio group carries the mark.
        auto* in1 = r.c<RadioGroup>("rgIN1");
        in1->button(in1->itemIndex() == 1 ? 2 : 1)->click();
        QVERIFY(r.w->edits().changedKeys().contains("DIN:Z1.POL"));
        QTRY_COMPARE(in1->button(0)->palette().color(QPalette::WindowText), EditTracker::markColour());
        QTemporaryDir dir;
        r.w->buttons().SaveFile(dir.filePath("office"));
        QVERIFY(!r.w->edits().modified());
        QCOMPARE(r.w->fileText(), QString("office.ini"));
        QVERIFY(phone->palette().color(QPalette::Text) != EditTracker::markColour());
        QVERIFY(in1->button(0)->palette().color(QPalette::WindowText) != EditTracker::markColour());
        // Typed back to what was settled: no change any more.
        QTest::keyClicks(phone, "7");
        QTRY_COMPARE(r.w->fileText(), QString("office.ini *"));
        QTest::keyClick(phone, Qt::Key_Backspace);
        QTRY_COMPARE(r.w->fileText(), QString("office.ini"));
        QTest::keyClicks(phone, "7");
        QTRY_VERIFY(r.w->edits().modified());
        // "Keep them": Read sends nothing, the window stays open.
        r.discardAnswer = false;
        r.module.clearCommands();
        r.button("btnRead")->click();
        QCOMPARE(r.discardQuestions, 1);
        QCOMPARE(r.count("CALL:USER1.PN?"), 0);
        QVERIFY(!r.w->close());
        QCOMPARE(r.discardQuestions, 2);
        QVERIFY(r.w->isVisible());
        // "Discard": Read goes ahead, and the values are the module's now.
        r.discardAnswer = true;
        r.button("btnRead")->click();
        QCOMPARE(r.discardQuestions, 3);
        QCOMPARE(r.count("CALL:USER1.PN?"), 1);
        QVERIFY(!r.w->edits().modified());
        QCOMPARE(r.w->fileText(), QString());
        QVERIFY(r.w->close());
        QCOMPARE(r.discardQuestions, 3);   // nothing to lose: no question
    }

    // After a Write, Verify reads every setting back: one the module did not
    // keep is listed with its caption; the report holds the page's captions
    // and values, in the window's language, and the module's own values.
    void verifyListsDifferencesAndTheReportHoldsThePage() {
        WindowRig r(true);
        QStringList listed;
        r.w->showDifferences = [&](const QString& t) { listed << t; };
        QVERIFY(r.connect());
        QTRY_COMPARE(r.text("lbViTypeValue"), QString("GSM-2R"));
        QVERIFY(r.enabled("btnVerify"));
        r.set("EditPhoneNumber2", "+36201112222");
        auto knobs = r.module.knobs();
        knobs.ignoresSetOf = "CALL:USER2.PN";
        r.module.setKnobs(knobs);
        r.button("btnWrite")->click();
        r.button("btnVerify")->click();
        QCOMPARE(listed.size(), 1);
        const QStringList lines = listed[0].split('\n');
        QCOMPARE(lines.size(), 2);
        QCOMPARE(lines[1], QString("CALL:USER2.PN (T2 phone number): +36201112222 -> \"\""));
        // A module that kept everything: a note, no list.
        knobs.ignoresSetOf.clear();
        r.module.setKnobs(knobs);
        r.button("btnWrite")->click();
        r.button("btnVerify")->click();
        QCOMPARE(listed.size(), 1);
        QCOMPARE(r.c<ElidedLabel>("lbResult")->fullText(), QString("205 settings match the module"));

        r.w->langMan().SelectLanguage("hu");
        QString report, proposed, title;
        r.w->printDocument = [&](QTextDocument& doc, const QString& name) {
            report = doc.toPlainText();
            proposed = name;
            title = doc.metaInformation(QTextDocument::DocumentTitle);
        };
        // Just written: the values are the module's, and the report says so.
        r.button("btnReport")->click();
        QVERIFY2(report.contains(QString::fromUtf8("A modulba kiírva: ")), qPrintable(report));
        QVERIFY(report.contains("SIM0001"));
        QVERIFY(QRegularExpression("kestrum-report-\\d{4}-\\d\\d-\\d\\d\\.pdf$").match(proposed).hasMatch());
        QVERIFY2(title.startsWith(QString::fromUtf8("Üzembe helyezési jegyzőkönyv \u2013 ")), qPrintable(title));
        // Edited since: neither the module's nor a file's.
        r.c<QLineEdit>("edCID1")->setText("1234");
        r.c<QCheckBox>("cbRelay1T2Start")->setChecked(true);
        r.button("btnReport")->click();
        for (const char* expected :
             {"Üzembe helyezési jegyzőkönyv", "T2 telefonszám", "+36201112222", "01. IN1 Riasztás", "1234", "Típus",
              "GSM-2R", "1. relé", "Aláírás", "Az ablakban látható, nincs mentve"})
            QVERIFY2(report.contains(QString::fromUtf8(expected)), expected);
        QVERIFY(!report.contains(QString::fromUtf8("kiírva")));
        // The relay's events as its panel's matrix: the ticked one marked beside its caption.
        const QString html = r.w->reportHtml();
        const auto marked = [&](const char* box, const char* mark) {
            return html.contains(QString("<td align='center' width='5%'>%1</td><td>%2</td>")
                                     .arg(mark, r.c<QCheckBox>(box)->text().trimmed().toHtmlEscaped()));
        };
        QVERIFY(marked("cbRelay1T2Start", "X"));
        QVERIFY(marked("cbRelay1T2Stop", ""));
        QVERIFY(marked("cbRelay2T2Start", ""));
        // A report of a settings file is named after it, beside it.
        const QDir site(QDir::tempPath()), elsewhere(QDir::homePath());
        QCOMPARE(report::proposedName(site.filePath("office.ini"), elsewhere.path(), QDate(2026, 12, 8)),
                 site.filePath("office.pdf"));
        QCOMPARE(report::proposedName(QString(), elsewhere.path(), QDate(2026, 12, 8)),
                 elsewhere.filePath("kestrum-report-2026-12-08.pdf"));
    }

    // Files opened or saved are offered again, newest first, from the next
    // start on too; the dialogs start in the folder of the last one.
    void recentFilesAreKeptAndOpen() {
        QTemporaryDir dir;
        WindowRig r(true);
        auto* recent = r.w->settingsPage()->recentButton();
        QVERIFY(!recent->isEnabled());
        r.w->buttons().SaveFile(dir.filePath("a"));
        r.w->buttons().SaveFile(dir.filePath("b"));
        r.w->buttons().SaveFile(dir.filePath("a.ini"));
        const QStringList expected = {dir.filePath("a.ini"), dir.filePath("b.ini")};
        QCOMPARE(r.w->recentFiles(), expected);
        QVERIFY(recent->isEnabled());
        QCOMPARE(recent->menu()->actions().size(), 2);
        QCOMPARE(r.store.value(TFormMain::kLastFolderKey).toString(), dir.path());
        // Opening from the list: the bar names the file.
        recent->menu()->actions().at(1)->trigger();
        QCOMPARE(r.w->fileText(), QString("b.ini"));
        QCOMPARE(r.w->recentFiles().first(), dir.filePath("b.ini"));
        // The next window over the same store offers them as well.
        TFormMain::Options o;
        o.backend = &r.backend;
        o.full = true;
        o.languageStore = &r.store;
        TFormMain next(o);
        QCOMPARE(next.recentFiles().size(), 2);
        QCOMPARE(next.settingsPage()->recentButton()->menu()->actions().size(), 2);
    }

    // Tab goes as the eye reads: T1 number, its acknowledgement, T2 number...
    void tabFollowsWhatTheEyeSees() {
        WindowRig r(true);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageStatus);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageSettings);
        QVERIFY(QTest::qWaitForWindowActive(r.w.get()));
        QCoreApplication::processEvents();
        QWidget* w = r.c("EditPhoneNumber1");
        w->setFocus();
        const QStringList expected = {"cmbACK1", "EditPhoneNumber2", "cmbACK2", "EditPhoneNumber3"};
        for (const QString& next : expected) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget()->objectName(), next);
        }
    }

    void reattachLogsInAgainFromDefaultPassword() {
        WindowRig r(false);
        r.w->show();
        r.backend.attach();
        QTRY_COMPARE_WITH_TIMEOUT(r.logins().size(), 1, 5000);
        r.w->session().login().setCurrentPassword("1111");
        r.backend.detach();
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().UsbReady(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.enabled("btReadVols"), 3000);
        r.backend.attach();
        QTRY_COMPARE_WITH_TIMEOUT(r.logins().size(), 2, 5000);
        QCOMPARE(r.logins().last(), QByteArray("set REM:UPW P,4826"));
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btReadVols"), 3000);
    }

    void moduleAttachedBeforeStartEndsConnected() {
        QTemporaryDir dir;
        QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
        SimModule module;
        SimHidBackend backend(module);
        backend.attach();
        TFormMain::Options o;
        o.backend = &backend;
        o.languageStore = &store;
        TFormMain w(o);
        w.confirmDiscard = [] { return true; };   // no question box
        // The window is not processing events yet: the reader's early
        // "Attached" hand-off is dropped after 100 ms.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        w.show();
        QTRY_VERIFY_WITH_TIMEOUT(w.findChild<QWidget*>("btReadVols")->isEnabled(), 5000);
        QVERIFY(module.loggedIn());
        // One login, although both the show and the dropped hand-off asked for a look.
        QTest::qWait(100);
        int logins = 0;
        for (const QByteArray& c : module.commands()) logins += c.startsWith("set REM:UPW P,");
        QCOMPARE(logins, 1);
    }

    void refusedPasswordUsesTheDialog() {
        WindowRig r(false);
        r.module.setPassword("7777");
        int asked = 0;
        r.w->session().login().askPassword = [&] {
            ++asked;
            r.w->session().login().setCurrentPassword("7777");   // what the user types into the dialog
        };
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btReadVols"), 5000);
        QCOMPARE(asked, 1);
        QVERIFY(r.w->session().login().bulkOperator() != nullptr);
        QVERIFY(r.module.loggedIn());
        // The link going away deletes the bulk operator.
        r.backend.detach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().login().bulkOperator() == nullptr, 3000);
    }

    // A refused password is told on the bar, under the dialog as well; a
    // wrong entry comes back selected; Cancel ends the asking until the
    // module is plugged in again or the user presses Log in…; a Read
    // meanwhile says that nobody is logged in.
    void refusedPasswordSaysSoOnce() {
        WindowRig r;
        r.module.setPassword("1111");
        auto* standing = r.c<ElidedLabel>("lbStanding");
        auto* logIn = r.button("btLogIn");
        QVERIFY(logIn && !logIn->isVisible());
        // Each password dialog (it has its own event loop) is answered by the
        // next of these; one more than expected is cancelled.
        QList<std::function<void(TPwdForm&)>> answers;
        QStringList seen;   // per dialog: the bar under it, then what the field offered selected
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* f = qobject_cast<TPwdForm*>(QApplication::activeModalWidget());
            if (!f || !f->isVisible() || f->property("answered").toBool()) return;
            f->setProperty("answered", true);
            seen << standing->fullText() << f->ppassword->selectedText();
            if (answers.isEmpty())
                f->reject();
            else
                answers.takeFirst()(*f);
        });
        poll.start(10);
        auto type = [](const QString& pw) {
            return [pw](TPwdForm& f) {
                f.ppassword->setText(pw);
                f.btPasswAction->click();
            };
        };
        auto cancel = [](TPwdForm& f) { f.btCancel->click(); };
        answers = {type("2222"), cancel};
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().login().loginRuns() == 1, 5000);
        // The login's later attempts asked nobody.
        QCOMPARE(seen, QStringList({"Connected – password refused", "4826", "Connected – password refused", "2222"}));
        QCOMPARE(standing->fullText(), QString("Connected – password refused"));
        QVERIFY(logIn->isVisible());
        QCOMPARE(logIn->text(), QString("Log in…"));
        r.button("btnRead")->click();
        QCOMPARE(errors_, QStringList({"Not logged in: the module refused the password. Press Log in… and type the "
                                       "module's password."}));
        // Plugged in again: asked again.
        r.backend.detach();
        QTRY_COMPARE(standing->fullText(), QString("No module – plug it in"));
        QVERIFY(!logIn->isVisible());
        answers = {cancel};
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().login().loginRuns() == 2, 5000);
        QCOMPARE(seen.size(), 6);
        // Log in… brings the dialog back, and the right password logs in.
        answers = {type("1111")};
        logIn->click();
        QCOMPARE(seen.size(), 8);
        QCOMPARE(standing->fullText(), QString("Logged in"));
        QVERIFY(!logIn->isVisible());
        QVERIFY(r.enabled("btnRead"));
    }

    void noPasswordDialogOnceTheModuleIsGone() {
        WindowRig r(false);
        r.module.setPassword("7777");
        int asked = 0;
        // The user is asked, and meanwhile pulls the module out.
        r.w->session().login().askPassword = [&] {
            ++asked;
            r.backend.detach();
            QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().UsbReady(), 3000);
        };
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().login().loginRuns() > 0, 5000);
        QCOMPARE(asked, 1);
        QCOMPARE(r.w->session().login().lastLoginResult(), Outcome::LinkLost);
        QCOMPARE(r.logins().size(), 1);   // nothing sent after the module went
    }

    // The hand-off that waits (a link state change, which has its resync
    // when it is not taken): taken in time or dropped, and nothing after
    // closing. Data does not wait, and is not dropped for being late (see
    // busyWindowLosesNoText): only a closing session drops it.
    void handOffAfterCloseAndWhenNotTaken() {
        WindowRig r(false);
        r.w->show();
        // A failed check returns at once: a thread still joinable then would
        // end the whole program.
        std::thread t, t2, t3;
        const auto joinAll = qScopeGuard([&] {
            for (std::thread* th : {&t, &t2, &t3})
                if (th->joinable()) th->join();
        });
        // Not taken within 100 ms: dropped, and the function never runs later.
        std::atomic<bool> ran{false};
        int result = -1;
        t = std::thread([&] { result = r.w->session().CallInMainThread([&] { ran = true; }); });
        t.join();   // the UI thread is blocked in join: nobody takes the hand-off
        QCOMPARE(result, 0);
        QCoreApplication::processEvents();
        QVERIFY(!ran);
        // Taken in time: it runs on the UI thread.
        std::atomic<bool> ranHere{false};
        t2 = std::thread([&] {
            result = r.w->session().CallInMainThread([&] { ranHere = QThread::currentThread() == r.w->thread(); });
        });
        QTRY_VERIFY_WITH_TIMEOUT(ranHere.load(), 2000);
        t2.join();
        QCOMPARE(result, 1);
        // After closing nothing is delivered, waited for or queued.
        r.w->close();
        bool queued = true;
        t3 = std::thread([&] {
            result = r.w->session().CallInMainThread([&] { ran = true; });
            queued = r.w->session().QueueInMainThread([&] { ran = true; });
        });
        t3.join();
        QCOMPARE(result, 0);
        QVERIFY(!queued);
        QCoreApplication::processEvents();
        QVERIFY(!ran);
    }

    // Status and log text that the reader hands over while the window is
    // busy (here far longer than a waiting hand-off waits) is all shown
    // once the window is free again, in order.
    void busyWindowLosesNoText() {
        WindowRig r(false);
        QVERIFY(r.connect());
        QList<QByteArray> logs, statuses;
        int dropped = 0;
        connect(&r.w->session(), &DeviceSession::dataDropped, this, [&](int count) { dropped += count; });
        connect(&r.w->session(), &DeviceSession::logText, this, [&](const QByteArray& t) {
            if (t.startsWith("busy")) logs << t;
        });
        connect(&r.w->session(), &DeviceSession::statusText, this, [&](const QByteArray& t) {
            if (t.startsWith("{BUSY")) statuses << t;
        });
        QList<QByteArray> wantLogs, wantStatuses;
        const int n = 5;
        for (int i = 0; i < n; ++i) {
            wantLogs << "busy " + QByteArray::number(i) + "\r\n";
            wantStatuses << "{BUSY=" + QByteArray::number(i) + "}";
            r.backend.injectInputReport(frameReport(3, wantLogs.last()));
            r.backend.injectInputReport(frameReport(4, wantStatuses.last()));
        }
        // Text on the command slot, which goes to the exchange on the reader
        // thread: once it is there, the reader has handed over all the rest.
        r.backend.injectInputReport(frameReport(2, "the end"));
        const auto handedOver = [&] { return r.w->session().exchange().Buffer().contains("the end"); };
        // The UI thread takes no event meanwhile.
        QElapsedTimer busy;
        busy.start();
        while (!handedOver() && busy.elapsed() < 20000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        QVERIFY(handedOver());
        QTRY_COMPARE_WITH_TIMEOUT(logs.size(), n, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(statuses.size(), n, 5000);
        QCOMPARE(logs, wantLogs);
        QCOMPARE(statuses, wantStatuses);
        QCOMPARE(dropped, 0);
    }

    // More data than the queue holds while the window is busy: what does
    // not fit is dropped, counted, and the Log page says how much.
    void overflowingTextIsCounted() {
        WindowRig r(false);
        int shown = 0;
        connect(&r.w->session(), &DeviceSession::logText, this, [&](const QByteArray&) { ++shown; });
        const int extra = 3;
        int queued = 0;
        std::thread reader;
        const auto join = qScopeGuard([&] {
            if (reader.joinable()) reader.join();
        });
        reader = std::thread([&] {
            DeviceSession& s = r.w->session();
            for (int i = 0; i < DeviceSession::kMaxQueuedData + extra; ++i)
                queued += s.QueueInMainThread([&s] { emit s.logText("x"); }) ? 1 : 0;
        });
        reader.join();   // the UI thread takes nothing meanwhile
        QCOMPARE(queued, DeviceSession::kMaxQueuedData);
        QTRY_COMPARE_WITH_TIMEOUT(shown, DeviceSession::kMaxQueuedData, 10000);
        const QString said = r.w->langMan().Message(lang::Msg::LogTextDropped).arg(extra);
        QTRY_VERIFY_WITH_TIMEOUT(r.c<QPlainTextEdit>("MemoLog1")->toPlainText().contains(said), 5000);
        // Told once: the next hand-off says nothing more.
        std::atomic<bool> ran{false};
        std::thread more([&] { r.w->session().QueueInMainThread([&] { ran = true; }); });
        more.join();
        QTRY_VERIFY_WITH_TIMEOUT(ran.load(), 5000);
        QCOMPARE(r.c<QPlainTextEdit>("MemoLog1")->toPlainText().count(said), 1);
    }

    void closingDuringTrafficDoesNotHang() {
        WindowRig r(true);
        r.backend.setTickIntervalMs(1);
        r.module.setParam("Slots:Mainlog", "1");
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btnRead"), 5000);
        QTest::qWait(100);   // let status and log text stream for a while
        QElapsedTimer t;
        t.start();
        r.w->close();
        QVERIFY2(t.elapsed() < 2000, qPrintable(QString::number(t.elapsed()) + " ms"));
        QVERIFY(r.w->session().Closing());
    }

    void detachDuringLoginIsNotForgotten() {
        TimingGuard saved;
        WindowRig r(false);
        r.w->session().login().askPassword = [] {};   // no dialog when the device falls silent
        auto k = r.module.knobs();
        k.answerDelayMs = 300;   // the login answer is slow ...
        r.module.setKnobs(k);
        timing::loginPollMs = 20;   // 400 ms an attempt: long enough for that answer
        timing::loginAttempts = 1;
        timing::loginCalls = 1;
        // ... and the module goes away while the login waits for it.
        QTimer::singleShot(100, [&] { r.backend.detach(); });
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.logins().size() >= 1, 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().UsbReady(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().login().loggedIn(), 8000);
        k.answerDelayMs = 0;
        r.module.setKnobs(k);
        saved.restore();   // logins as usual from here on
        const int before = int(r.logins().size());
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.logins().size() > before, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(r.module.loggedIn(), 5000);
    }

    void closingDuringTheLoginAsksNobody() {
        WindowRig r(false);
        auto k = r.module.knobs();
        k.silent = true;
        r.module.setKnobs(k);
        int askedWhileClosing = 0;
        r.w->session().login().askPassword = [&] { askedWhileClosing += r.w->session().Closing() ? 1 : 0; };
        QTimer::singleShot(300, [&] { r.w->close(); });
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().Closing(), 3000);
        QTest::qWait(200);
        QCOMPARE(askedWhileClosing, 0);
        QVERIFY(!r.w->session().login().lastLoginOk());
    }

    void closingDuringAReadEndsItAtOnce() {
        TimingGuard saved;
        WindowRig r;
        QVERIFY(r.connect());
        auto k = r.module.knobs();
        k.silent = true;   // every query would wait out all its attempts
        r.module.setKnobs(k);
        timing::answerWaitMs = 2000;
        QElapsedTimer t;
        QTimer::singleShot(200, [&] {
            t.start();
            r.w->close();
        });
        r.button("btnRead")->click();   // returns once the close has ended the Read
        QVERIFY(t.isValid());
        QVERIFY2(t.elapsed() < 3000, QByteArray::number(t.elapsed()));
        QVERIFY(!r.w->busy());
    }

    void volumesReadAndSet() {
        WindowRig r(false);
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btReadVols"), 5000);
        VolumesPage* v = r.w->volumesPage();
        // Initial positions show 4 and 55; Set writes exactly those.
        QCOMPARE(v->lbMicVolVal->text(), QString("4"));
        QCOMPARE(v->lbSpkVolVal->text(), QString("55"));
        r.button("btSetVols")->click();
        QCOMPARE(r.module.param("VCALL:GMIC.VOL0"), QByteArray("4"));
        QCOMPARE(r.module.param("VCALL:GSPK.VOL0"), QByteArray("55"));
        // A Read of 7 and 80 puts the bars at 8 and 20.
        r.module.setParam("VCALL:GMIC.VOL0", "7");
        r.module.setParam("VCALL:GSPK.VOL0", "80");
        r.button("btReadVols")->click();
        QCOMPARE(v->tbMicVol->value(), 8);
        QCOMPARE(v->tbSpkVol->value(), 20);
        QCOMPARE(v->lbMicVolVal->text(), QString("7"));
        QCOMPARE(v->lbSpkVolVal->text(), QString("80"));
        // The bar: top is the highest level.
        v->tbMicVol->setValue(0);
        QCOMPARE(v->lbMicVolVal->text(), QString("15"));
        v->tbMicVol->setValue(15);
        QCOMPARE(v->lbMicVolVal->text(), QString("0"));
        // A level beyond the bar's range: bar at the nearest end, label keeps the level.
        r.module.setParam("VCALL:GMIC.VOL0", "20");
        r.button("btReadVols")->click();
        QCOMPARE(v->tbMicVol->value(), 0);
        QCOMPARE(v->lbMicVolVal->text(), QString("20"));
        QVERIFY(errors_.isEmpty());
    }

    void volumesSetSendsOnlyLevelsAndTellsFailures() {
        WindowRig r(false);
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btSetVols"), 5000);
        VolumesPage* v = r.w->volumesPage();
        r.module.clearCommands();
        // After a Read that got no answer the label holds no level: nothing is sent.
        v->lbMicVolVal->setText("");
        r.button("btSetVols")->click();
        QCOMPARE(errors_, QStringList{"'' is not a valid integer value"});
        QVERIFY(r.module.commands().isEmpty());
        // A refused level is told, naming it.
        errors_.clear();
        v->tbMicVolChange();
        auto k = r.module.knobs();
        k.refusing = true;
        r.module.setKnobs(k);
        r.button("btSetVols")->click();
        QCOMPARE(errors_, QStringList{"The module refused VCALL:GMIC.VOL0"});
        QCOMPARE(r.count("VCALL:GSPK.VOL0"), 1);   // both levels are still written
    }

    void volumesNonIntegerAnswerStopsTheRead() {
        WindowRig r(false);
        r.w->show();
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.enabled("btReadVols"), 5000);
        r.module.setParam("VCALL:GMIC.VOL0", "loud");
        r.module.clearCommands();
        const int spkBefore = r.w->volumesPage()->tbSpkVol->value();
        r.button("btReadVols")->click();
        QCOMPARE(errors_, QStringList{"'loud' is not a valid integer value"});
        QCOMPARE(r.w->volumesPage()->lbMicVolVal->text(), QString("loud"));
        QCOMPARE(r.w->volumesPage()->tbSpkVol->value(), spkBefore);
        for (const QByteArray& c : r.module.commands()) QVERIFY(!c.contains("GSPK"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_mainwindow.moc"
