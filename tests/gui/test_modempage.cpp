// The Modem page over a real pseudo-terminal: the port list, Connect with the
// AT dialogue and the login, Read and Write over the data call, Disconnect.
#include "core/link/ConnHIDCOM.h"
#include "core/link/Slot.h"
#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModem.h"
#include "sim/SimModule.h"
#include "support/ModemTiming.h"
#include "support/TimingGuard.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/ModemPage.h"
#include "ui/pages/VolumesPage.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>

namespace {

struct Rig {
    QTemporaryDir dir;
    QSettings store{dir.filePath("lang.ini"), QSettings::IniFormat};
    SimModule usbModule;   // never attached: the USB side stays quiet
    SimHidBackend backend{usbModule};
    SimModule module;   // the module at the far end of the call
    SimModem modem{module};
    std::unique_ptr<TFormMain> w;
    Rig() {
        if (!modem.start()) qFatal("no pseudo-terminal");
        TFormMain::Options o;
        o.backend = &backend;
        o.full = true;
        o.languageStore = &store;
        o.extraSerialPorts = {modem.slavePath()};
        w = std::make_unique<TFormMain>(o);
        w->confirmDiscard = [] { return true; };    // no question box
        w->session().login().askPassword = [] {};   // the dialog is tested on its own
        w->show();
    }
    ModemPage* page() const { return w->findChild<ModemPage*>(); }
    bool enabled(const char* name) const { return w->findChild<QWidget*>(name)->isEnabled(); }
    void connectCall(const char* number = "+36301234567") {
        page()->edCSDPhnr->setText(number);
        page()->btCSDConnect->click();
    }
    // Runs `then` on the UI thread once the modem has the dial command, however
    // long the dialogue before it takes.
    void onceDialling(QTimer& poll, const std::function<void()>& then) {
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [this, &poll, then] {
            const QList<QByteArray> at = modem.atLog();
            if (at.isEmpty() || !at.last().startsWith("ATD")) return;
            poll.stop();
            then();
        });
        poll.start();
    }
};

}   // namespace

class ModemPageTest : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;   // initTestCase changes timing
private slots:
    void initTestCase() {
        timing::modemEscapeSleepMs = testTiming::modemEscapeSleepMs;
        timing::modemClosePumps = 5;
        testTiming::deviceAnswerBudgets();
        timing::modemDialReads = 10;   // the dials here are answered, cancelled or closed at once
        errorSink() = [](const QString& m) { qWarning("error box: %s", qPrintable(m)); };
    }

    void portScanListsTheGivenPortFirst() {
        Rig r;
        r.page()->PortScan();
        QVERIFY(r.page()->cbModemPortSel->count() >= 1);
        QCOMPARE(r.page()->cbModemPortSel->currentIndex(), 0);
        QCOMPARE(r.page()->cbModemPortSel->currentText(), r.modem.slavePath());
        // Showing the window searches nothing; entering the Modem page does.
        r.page()->cbModemPortSel->clear();
        r.w->hide();
        r.w->show();
        QCOMPARE(r.page()->cbModemPortSel->count(), 0);
        r.w->pageControl()->setCurrentIndex(TFormMain::PageModem);
        QCOMPARE(r.page()->cbModemPortSel->currentText(), r.modem.slavePath());
        // Names in the order people count.
        QStringList names = {"/dev/ttyS10", "/dev/ttyUSB0", "/dev/ttyS2", "/dev/ttyS1", "/dev/ttyACM0"};
        std::sort(names.begin(), names.end(), ModemPage::NaturalLess);
        QCOMPARE(names, (QStringList{"/dev/ttyACM0", "/dev/ttyS1", "/dev/ttyS2", "/dev/ttyS10", "/dev/ttyUSB0"}));
    }

    void aPortAnotherProgramHoldsIsLeftAlone() {
        Rig r;
        // Another program has the port open, without any lock, with line
        // settings and unread input of its own.
        QProcess other;
        other.setStandardInputFile(r.modem.slavePath());
        other.start("sleep", {"30"});
        QVERIFY(other.waitForStarted());
        auto stop = qScopeGuard([&] {
            other.kill();
            other.waitForFinished();
        });
        const int fd = ::open(QFile::encodeName(r.modem.slavePath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        auto closeFd = qScopeGuard([&] { ::close(fd); });
        termios theirs{};
        QCOMPARE(::tcgetattr(fd, &theirs), 0);
        ::cfsetspeed(&theirs, B2400);
        theirs.c_cc[VMIN] = 7;
        theirs.c_cc[VTIME] = 3;
        QCOMPARE(::tcsetattr(fd, TCSANOW, &theirs), 0);
        r.modem.sendToTerminal("not yours");
        QTRY_COMPARE(r.modem.waitingAtTerminal(), 9);

        r.page()->PortScan();
        QCOMPARE(r.page()->cbModemPortSel->findText(r.modem.slavePath()), -1);
        // Chosen all the same, Connect gives up before changing anything.
        r.page()->cbModemPortSel->addItem(r.modem.slavePath());
        r.page()->cbModemPortSel->setCurrentText(r.modem.slavePath());
        r.connectCall();
        QVERIFY(!r.w->session().CallUp());
        // The words, then the system's reason.
        QCOMPARE(r.page()->lbModemState->text(),
                 QString("The serial port cannot be opened (missing, or in use by another program): "
                         "Device or resource busy"));
        termios after{};
        QCOMPARE(::tcgetattr(fd, &after), 0);
        QCOMPARE(::cfgetospeed(&after), speed_t(B2400));
        QCOMPARE(int(after.c_cc[VMIN]), 7);
        QCOMPARE(int(after.c_cc[VTIME]), 3);
        QCOMPARE(r.modem.waitingAtTerminal(), 9);
        QVERIFY(r.modem.atLog().isEmpty());
    }

    // A UUCP lock of a live process (PID 1) keeps the port from us: the page
    // names the lock file in the window's language.
    void aLockedPortNamesItsLock() {
        Rig r;
        QTemporaryDir locks;
        Tserial::SetLockFolders({locks.path()});
        auto usual = qScopeGuard([] { Tserial::SetLockFolders({"/var/lock", "/run/lock"}); });
        const QString lock = locks.filePath("LCK.." + r.modem.slavePath().remove("/dev/").replace('/', '_'));
        QFile f(lock);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("         1\n");
        f.close();
        r.page()->cbModemPortSel->addItem(r.modem.slavePath());
        r.page()->cbModemPortSel->setCurrentText(r.modem.slavePath());
        r.connectCall();
        QVERIFY(!r.w->session().CallUp());
        QCOMPARE(r.page()->lbModemState->text(),
                 "The serial port is locked by another program (lock file " + lock + ")");
        QVERIFY(r.modem.atLog().isEmpty());
    }

    void connectLogsInReadsWritesAndDisconnects() {
        Rig r;
        r.page()->PortScan();
        QVERIFY(!r.enabled("btnRead"));
        r.connectCall();
        QVERIFY(static_cast<Connection*>(r.w->session().Modem()));
        QCOMPARE(r.w->session().exchange().channel(), static_cast<Connection*>(r.w->session().Modem()));
        QVERIFY(r.module.loggedIn());
        QVERIFY(r.enabled("btnRead"));
        QVERIFY(r.enabled("btnWrite"));
        // While the call is up: no second Connect, Disconnect offered, the
        // port in use still listed and chosen when the page is shown again.
        QVERIFY(!r.enabled("btCSDConnect"));
        QVERIFY(r.enabled("btCSDDisconnect"));
        QCOMPARE(r.page()->lbModemState->text(), QString("Connected at 9600 bit/s"));
        auto* standing = r.w->findChild<ElidedLabel*>("lbStanding");
        QTRY_COMPARE(standing->fullText(), QString("Call up: +36301234567"));
        r.w->pageControl()->setCurrentIndex(TFormMain::PageModem);
        QCOMPARE(r.page()->cbModemPortSel->currentText(), r.modem.slavePath());
        const QString log = r.page()->edATLogWin->toPlainText();
        QVERIFY(log.contains("AT+CPIN?"));
        QVERIFY(log.contains("ATD+36301234567"));
        QVERIFY(log.contains("CONNECT 9600"));
        // Commands and replies told apart.
        const QStringList lines = log.split('\n');
        QVERIFY2(lines.contains(QString::fromUtf8("→ AT+CPIN?")), qPrintable(log));
        QVERIFY(lines.contains(QString::fromUtf8("→ ATD+36301234567")));
        QVERIFY(lines.contains(QString::fromUtf8("← OK")));
        QVERIFY2(log.contains(QString::fromUtf8("\n← CONNECT 9600")), qPrintable(log));
        // The whole configuration over the call.
        r.module.setParam("CALL:USER2.PN", "+40744000222");
        r.module.setParam("REL2:PROPS.TIM", "120");
        r.w->buttons().btnReadClick();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.w->findChild<QLineEdit*>("EditPhoneNumber2")->text(), QString("+40744000222"));
        r.w->findChild<QLineEdit*>("EditPhoneNumber3")->setText("+3670111");
        r.w->findChild<QLineEdit*>("edSMS1")->setText("+++");   // data, not the modem's escape
        r.w->buttons().btnWriteClick();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.module.param("CALL:USER3.PN"), QByteArray("+3670111"));
        QCOMPARE(r.module.param("SMS:Z1A.SMS"), QByteArray("+++"));
        // The Status page queries its values over the call.
        r.module.setParam("GSMState:RFP", "27");
        r.w->pageControl()->setCurrentIndex(TFormMain::PageStatus);
        QCOMPARE(r.w->findChild<QLabel*>("lbGsmSignalValue")->text(), QString("27"));
        // Disconnect hangs up and disables the four buttons.
        r.w->volumesPage()->btSetVols->setEnabled(true);
        r.page()->btCSDDisconnect->click();
        QVERIFY(!r.w->session().CallUp());
        QTRY_VERIFY_WITH_TIMEOUT(!r.modem.inCall(), 10000);
        for (const char* name : {"btnRead", "btnWrite", "btSetVols", "btReadVols"}) QVERIFY2(!r.enabled(name), name);
        QCOMPARE(r.page()->lbModemState->text(), QString("Hung up"));
        QTRY_COMPARE(standing->fullText(), QString("No module – plug it in"));
        QVERIFY(r.w->session().OnUsb());
        QVERIFY(r.enabled("btCSDConnect") && !r.enabled("btCSDDisconnect"));
        // A second Connect dials again (the first call's modem has gone; a
        // new one may be given the same address, so the dial is counted).
        const auto dials = [&] {
            const QList<QByteArray> at = r.modem.atLog();
            return std::count_if(at.begin(), at.end(), [](const QByteArray& c) { return c.startsWith("ATD"); });
        };
        const auto dialledBefore = dials();
        r.connectCall();
        QCOMPARE(dials(), dialledBefore + 1);
        QVERIFY(r.w->session().CallUp());
        QVERIFY(r.enabled("btnRead"));
        r.page()->btCSDDisconnect->click();
    }

    void afterTheCallTheUsbModuleWorksAgain() {
        Rig r;
        r.page()->PortScan();
        r.connectCall();
        QVERIFY(r.w->session().CallUp());
        // A module plugged in over USB meanwhile waits for the call to end.
        r.usbModule.setParam("CALL:USER1.PN", "+3611");
        r.backend.attach();
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().UsbReady(), 10000);
        // The far end goes away: the call ends, the channel goes back to USB,
        // and the module there is logged in and read.
        r.modem.dropCall();
        QTRY_VERIFY_WITH_TIMEOUT(!r.w->session().CallUp(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().OnUsb(), 10000);
        QCOMPARE(r.page()->lbModemState->text(), QString("No carrier"));
        QTRY_VERIFY_WITH_TIMEOUT(r.usbModule.loggedIn(), 10000);
        QVERIFY(r.enabled("btnRead"));
        r.w->findChild<QPushButton*>("btnRead")->click();
        QCOMPARE(r.w->findChild<QProgressBar*>("ProgressBarRW")->value(), 205);
        QCOMPARE(r.w->findChild<QLineEdit*>("EditPhoneNumber1")->text(), QString("+3611"));
    }

    void anEmptyNumberOrACancelDialsNothingLeftUp() {
        Rig r;
        r.page()->PortScan();
        QStringList errors;
        QList<ErrorKind> kinds;
        errorSink() = [&](const QString& m) {
            errors << m;
            kinds << shownKind();
        };
        r.connectCall("  ");
        QCOMPARE(errors, QStringList{"Type the module's phone number first"});
        // The user's own slip: a warning box, not the critical one kept for failures.
        QCOMPARE(kinds, QList<ErrorKind>{ErrorKind::Mistake});
        QCOMPARE(shownKind(), ErrorKind::Failure);
        QVERIFY(r.modem.atLog().isEmpty());
        // A dial that takes its time can be cancelled; the modem hangs up.
        auto k = r.modem.knobs();
        k.dialDelayMs = 20000;
        r.modem.setKnobs(k);
        QTimer dialling;
        r.onceDialling(dialling, [&] {
            QVERIFY(r.enabled("btCSDCancel"));
            QVERIFY(!r.enabled("btCSDConnect") && !r.enabled("btCSDDisconnect"));
            QVERIFY(r.page()->lbModemState->text().startsWith("Dialling +36301234567"));
            r.page()->btCSDCancel->click();
        });
        QElapsedTimer t;
        t.start();
        r.connectCall();
        QVERIFY2(t.elapsed() < 5000, QByteArray::number(t.elapsed()));
        QVERIFY(!r.w->session().CallUp());
        QCOMPARE(r.page()->lbModemState->text(), QString("Dialling cancelled: hung up"));
        QCOMPARE(r.modem.atLog().last(), QByteArray("ATH"));
        QVERIFY(!r.modem.inCall());
        QVERIFY(!r.enabled("btCSDCancel") && r.enabled("btCSDConnect"));
        // The state is told in the window's language.
        r.w->SpeedButtonHUClick();
        QCOMPARE(r.page()->lbModemState->text(), QString::fromUtf8("Tárcsázás megszakítva: bontva"));
        r.w->SpeedButtonENClick();
        errorSink() = [](const QString& m) { qWarning("error box: %s", qPrintable(m)); };
    }

    void aSignalToTheWindowHangsUp() {
        Rig r;
        CloseOnSignals closer(r.w.get());
        r.page()->PortScan();
        r.connectCall();
        QVERIFY(r.w->session().CallUp());
        ::raise(SIGTERM);
        QTRY_VERIFY_WITH_TIMEOUT(r.w->session().Closing(), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.modem.inCall(), 10000);
        QCOMPARE(r.modem.atLog().last(), QByteArray("ATH"));
    }

    void failedDialLeavesTheButtonsAsTheyWere() {
        Rig r;
        auto k = r.modem.knobs();
        k.dialResult = "NO CARRIER";
        r.modem.setKnobs(k);
        r.page()->PortScan();
        r.connectCall();
        QVERIFY(!r.w->session().CallUp());
        QVERIFY(r.page()->edATLogWin->toPlainText().contains("----Connection error----"));
        QVERIFY(!r.enabled("btnRead"));
        QVERIFY(r.w->session().OnUsb());
        // Disconnect without a call does nothing.
        r.page()->btCSDDisconnect->click();
        QVERIFY(!r.w->session().CallUp());
    }

    void refusedLoginHangsUp() {
        TimingGuard saved;
        Rig r;
        r.module.setPassword("0000");
        int asked = 0;
        r.w->session().login().askPassword = [&] { ++asked; };
        timing::loginPollMs = 5;
        r.page()->PortScan();
        r.connectCall();
        QCOMPARE(asked, 5);
        QVERIFY(!r.enabled("btnRead"));
        QVERIFY(!r.w->session().CallUp());
        QTRY_VERIFY_WITH_TIMEOUT(!r.modem.inCall(), 10000);
        QVERIFY(r.w->session().OnUsb());
    }

    void closingDuringTheDialGivesUpAtOnce() {
        Rig r;
        auto k = r.modem.knobs();
        k.dialDelayMs = 20000;   // the network takes its time
        r.modem.setKnobs(k);
        r.page()->PortScan();
        QElapsedTimer t;
        QTimer dialling;
        r.onceDialling(dialling, [&] {
            t.start();
            r.w->close();
        });
        r.connectCall();   // returns once the close has ended the dialogue
        QVERIFY(t.isValid());
        QVERIFY2(t.elapsed() < 2000, QByteArray::number(t.elapsed()));
        QVERIFY(!r.w->session().CallUp());
    }

    void emptyPortListFailsWithoutACall() {
        Rig r;
        r.page()->cbModemPortSel->clear();
        r.connectCall();
        QVERIFY(!r.w->session().CallUp());
        QVERIFY(r.modem.atLog().isEmpty());
    }
};

QTEST_MAIN(ModemPageTest)
#include "test_modempage.moc"
