// Closing the window while the modem dials or a call carries a Read (its
// close button, or SIGTERM): the modem hangs up within its bounded waits,
// nothing is told, and the application's event loop ends.
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
#include "sim/SimModem.h"

#include <csignal>
#endif

class ClosingTest : public QObject {
    Q_OBJECT
private slots:
#ifdef Q_OS_UNIX
    void closingDuringADialOrACallEndsTheProgram_data();
    void closingDuringADialOrACallEndsTheProgram();
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
    QTRY_VERIFY_WITH_TIMEOUT(!modem.inCall(), 10000);   // the modem takes the ATH in its own time
    QCOMPARE(modem.atLog().last(), QByteArray("ATH"));
}
#endif

QTEST_MAIN(ClosingTest)
#include "test_closing.moc"
