// Closing the window while the modem dials or a call carries a Read (its
// close button, or SIGTERM): the modem hangs up within its bounded waits,
// nothing is told, and the application's event loop ends. The window goes
// at once; the hang-up goes on off the UI thread, and the program's end
// waits for it.
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/pages/ModemPage.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#ifdef Q_OS_UNIX
#include "core/modem/Tserial.h"
#include "sim/SimModem.h"
#include "support/ModemTiming.h"
#include "support/TimingGuard.h"

#include <csignal>
#include <memory>
#endif

class ClosingTest : public QObject {
    Q_OBJECT
private slots:
#ifdef Q_OS_UNIX
    void closingDuringADialOrACallEndsTheProgram_data();
    void closingDuringADialOrACallEndsTheProgram();
    void theWindowGoesAtOnceAndTheProgramsEndWaitsForTheHangUp();
#endif
};

#ifdef Q_OS_UNIX
void ClosingTest::closingDuringADialOrACallEndsTheProgram_data() {
    QTest::addColumn<bool>("call");
    QTest::addColumn<bool>("bySignal");
    QTest::newRow("dial, closed") << false << false;
    QTest::newRow("dial, SIGTERM") << false << true;
    QTest::newRow("Read over a call, closed") << true << false;
    QTest::newRow("Read over a call, SIGTERM") << true << true;
}

void ClosingTest::closingDuringADialOrACallEndsTheProgram() {
    QFETCH(bool, call);
    QFETCH(bool, bySignal);
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    SimModule usbModule;   // never attached
    SimHidBackend backend(usbModule);
    SimModule module;   // at the far end of the call
    SimModem modem(module);
    QVERIFY(modem.start());
    TFormMain::Options o;
    o.backend = &backend;
    o.full = true;
    o.languageStore = &store;
    o.extraSerialPorts = {modem.slavePath()};
    TFormMain w(o);
    w.confirmDiscard = [] { return true; };
    w.session().login().askPassword = [] {};
    QStringList shown;
    const ErrorSink before = errorSink();
    auto restore = qScopeGuard([&] { errorSink() = before; });
    errorSink() = [&](const QString& m) {
        shown << m;
        before(m);   // the message box, whose event loop the application's quit waits for
    };
    w.show();
    CloseOnSignals closeOnSignals(&w);
    auto* page = w.findChild<ModemPage*>();
    page->PortScan();
    page->edCSDPhnr->setText("+36301234567");

    QElapsedTimer sinceClose;
    const auto close = [&] {
        if (sinceClose.isValid()) return;
        sinceClose.start();
        if (bySignal)
            ::raise(SIGTERM);
        else
            w.close();
    };
    QTimer poll;   // the close comes once the dial, or the Read, is under way
    poll.setInterval(5);
    if (call) {
        page->btCSDConnect->click();
        QVERIFY(w.session().CallUp());
        auto k = module.knobs();
        k.answerDelayMs = 5;
        module.setKnobs(k);
        auto* bar = w.findChild<QProgressBar*>("ProgressBarRW");
        connect(&poll, &QTimer::timeout, [bar, &close] {
            if (bar->value() >= 20) close();
        });
        QTimer::singleShot(0, &w, [&] { w.findChild<QPushButton*>("btnRead")->click(); });
    } else {
        auto k = modem.knobs();
        k.dialDelayMs = 60000;   // the network takes its time
        modem.setKnobs(k);
        connect(&poll, &QTimer::timeout, [&modem, &close] {
            const QList<QByteArray> at = modem.atLog();
            if (!at.isEmpty() && at.last().startsWith("ATD")) close();
        });
        QTimer::singleShot(0, &w, [&] { page->btCSDConnect->click(); });
    }
    poll.start();
    QTimer watchdog;   // the application that never ends
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(60000);
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(sinceClose.isValid());
    // The hang-up is bounded by the modem's own waits (about 2 s here).
    QVERIFY2(sinceClose.elapsed() < 20000, QByteArray::number(sinceClose.elapsed()));
    QVERIFY(w.session().Closing());
    QVERIFY(!w.isVisible());
    QCOMPARE(shown, QStringList());
    // The hang-up goes on after the window, and the modem takes the ATH in its own time.
    QTRY_VERIFY_WITH_TIMEOUT(!modem.inCall(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(modem.atLog().last(), QByteArray("ATH"), 10000);
}

void ClosingTest::theWindowGoesAtOnceAndTheProgramsEndWaitsForTheHangUp() {
    TimingGuard saved;
    timing::modemEscapeSleepMs = testTiming::modemEscapeSleepMs;
    timing::modemClosePumps = 5;
    timing::modemCommandLineMs = 600000;   // the hang-up waits for the modem's answer as long as it takes here
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    SimModule usbModule;   // never attached
    SimHidBackend backend(usbModule);
    SimModule module;
    SimModem modem(module);
    QVERIFY(modem.start());
    const auto portFree = [&] { return Tserial().OpenPort(modem.slavePath(), 9600, 0) == Tserial::OpenOk; };
    TFormMain::Options o;
    o.backend = &backend;
    o.full = true;
    o.languageStore = &store;
    o.extraSerialPorts = {modem.slavePath()};
    auto w = std::make_unique<TFormMain>(o);
    w->confirmDiscard = [] { return true; };
    w->show();
    auto* page = w->findChild<ModemPage*>();
    page->PortScan();
    page->edCSDPhnr->setText("+36301234567");
    page->btCSDConnect->click();
    QVERIFY(w->session().CallUp());

    // The modem hears nothing from here on until the test lets it.
    auto k = modem.knobs();
    k.deaf = true;
    modem.setKnobs(k);
    w->close();
    QVERIFY(!w->isVisible());
    // The hang-up goes on: its escape and ATH are out, and it waits for the
    // modem's answer with the port still its own.
    const int hangUp = int(QByteArray("+++").size() * 4 + QByteArray("ATH\r\n").size());
    QTRY_VERIFY_WITH_TIMEOUT(modem.waitingAtModem() >= hangUp, 30000);
    QVERIFY(!portFree());
    QVERIFY(modem.inCall());

    k.deaf = false;
    modem.setKnobs(k);
    w.reset();   // the program's end
    QVERIFY(!modem.inCall());
    QCOMPARE(modem.atLog().last(), QByteArray("ATH"));
    QVERIFY(portFree());
}
#endif

QTEST_MAIN(ClosingTest)
#include "test_closing.moc"
