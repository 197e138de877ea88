// The modem dialler against the simulated GSM modem on a real pseudo-terminal:
// the AT dialogue and its failures, the log view, a login and a query over the
// call, hang-up, and the reader thread's hand-offs.
#include "core/modem/TModem.h"
#include "core/text/Timing.h"
#include "sim/SimModem.h"
#include "sim/SimModule.h"
#include "support/LateAnswers.h"
#include "support/ModemTiming.h"
#include "support/TimingGuard.h"

#include <QElapsedTimer>
#include <QTest>

#include <QTimer>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <future>
#include <thread>

Q_DECLARE_METATYPE(TModem::State)

namespace {

// The modem, its simulated far end and what the log view received.
struct Rig {
    SimModule module;
    SimModem sim{module};
    QList<QByteArray> log;
    std::function<void(const QByteArray&)> onLog;   // runs after a line is logged
    TModem modem{[this](const QByteArray& line) {
        log.append(line);
        if (onLog) onLog(line);
    }};

    Rig() { QVERIFY(sim.start()); }
    void setKnobs(const std::function<void(SimModem::Knobs&)>& change) {
        SimModem::Knobs k = sim.knobs();
        change(k);
        sim.setKnobs(k);
    }
    bool connect() { return modem.Connect(sim.slavePath(), "5551234") == &modem; }
    // Opens the port without the dialogue, to talk to the modem directly.
    void openPort() { QVERIFY(modem.openPort(sim.slavePath())); }
    bool portFree() const {
        Tserial other;
        return other.OpenPort(sim.slavePath(), 9600, 0) == 0;
    }
};

// Collects what a ResponseConnection receives, from whichever thread delivers.
struct Collector {
    mutable std::mutex mutex;
    QByteArray text;
    QList<int> sizes;
    std::thread::id thread;
    ResponseConnection conn{[this](const uint8_t* data, int32_t len) {
        std::lock_guard<std::mutex> g(mutex);
        text.append(reinterpret_cast<const char*>(data), len);
        sizes.append(len);
        thread = std::this_thread::get_id();
    }};
    QByteArray get() const {
        std::lock_guard<std::mutex> g(mutex);
        return text;
    }
    void clear() {
        std::lock_guard<std::mutex> g(mutex);
        text.clear();
        sizes.clear();
    }
};

const QList<QByteArray> kDialogueCommands = {"AT",   "AT",    "ATH",        "ATH",      "AT",        "ATE0",
                                             "ATE0", "AT&D0", "AT+IFC=0,0", "AT+CPIN?", "ATD5551234"};

}   // namespace

class TestModem : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;   // init() and the tests change timing
private slots:
    void init();
    void readLineTakesOneLineAtATime();
    void readLineHandsOutAFullBufferAsALine();
    void aPortWaitEndsOnBytesOnInterruptAndOnHangUp();
    void lineWaitsWakeOnTheLineAndOnAbort();
    void connectRunsTheDialogue();
    void dialResults_data();
    void dialResults();
    void silentModemFailsAtTheCheckingAt();
    void simNotReadyFailsAtCpin();
    void echoShowsInTheLog();
    void portThatCannotBeOpened();
    void loginAndQueryOverTheCall();
    void lateDuplicateAnswersOverTheCall();
    void closeHangsUp();
    void aHangUpWhileTheApplicationQuitsKeepsItsGuardTimes();
    void escapeIsThePlusesWithSilenceAround();
    void destructorStopsTheReader();
    void manyWaitingBytesArriveWholeInOrder();
    void writeFailureDropsThePort();
};

void TestModem::init() {
    // Short escapes and pumps; answer budgets stay long, since a modem that
    // answers ends each wait at once.
    timing::modemEscapeSleepMs = testTiming::modemEscapeSleepMs;
    timing::modemCommandLineMs = 500;
    timing::modemCommandReads = 4;
    timing::modemDialLineMs = 1000;
    timing::modemDialReads = 60;
    timing::modemClosePumps = 5;
}

void TestModem::readLineTakesOneLineAtATime() {
    Rig r;
    QCOMPARE(r.modem.ReadLine(500), QByteArray());   // no port: nothing, at once
    QVERIFY(!r.modem.SendCommand("AT\r\n"));
    QVERIFY(r.log.isEmpty());

    r.openPort();
    // A line end, OK and a line end: two lines.
    QVERIFY(r.modem.Write("AT\r\n"));
    // Budgets long enough for a loaded machine: the line ends each read.
    QCOMPARE(r.modem.ReadLine(5000), QByteArray("\r\n"));
    QCOMPARE(r.modem.ReadLine(5000), QByteArray("OK\r\n"));
    QCOMPARE(r.modem.ReadLine(50), QByteArray());   // silence

    QVERIFY(r.modem.SendCommand("AT\r\n"));
    QCOMPARE(r.log, (QList<QByteArray>{"AT\r\n", "\r\n", "OK\r\n"}));

    // Bytes after a line end wait for the next read.
    r.log.clear();
    timing::modemCommandLineMs = 500;
    QVERIFY(r.modem.SendCommand("AT+CPIN?\r\n"));
    QCOMPARE(r.log, (QList<QByteArray>{"AT+CPIN?\r\n", "\r\n", "+CPIN: READY\r\n", "\r\n", "OK\r\n"}));

    // A modem without the leading line end.
    r.setKnobs([](SimModem::Knobs& k) { k.bareLineBeforeOk = false; });
    r.log.clear();
    QVERIFY(r.modem.SendCommand("AT\r\n"));
    QCOMPARE(r.log, (QList<QByteArray>{"AT\r\n", "OK\r\n"}));

    // A command answered with ERROR fails after its reads (each long
    // enough for the answer on a loaded machine).
    timing::modemCommandLineMs = testTiming::deviceModemCommandLineMs;
    r.log.clear();
    QVERIFY(!r.modem.SendCommand("ATX9\r\n"));
    QCOMPARE(r.log, (QList<QByteArray>{"ATX9\r\n", "ERROR\r\n"}));
}

void TestModem::readLineHandsOutAFullBufferAsALine() {
    Rig r;
    r.openPort();
    const QByteArray longLine = QByteArray(1500, 'a') + "\r\n";
    // However the reader takes it in, the buffer's worth comes first.
    r.sim.sendToTerminal(longLine);
    QCOMPARE(r.modem.ReadLine(5000), QByteArray(TModem::kBufferSize, 'a'));
    QCOMPARE(r.modem.ReadLine(500), longLine.mid(TModem::kBufferSize));
}

// The reader sleeps in WaitForInput: bytes, Interrupt (a stop) and a line
// that hangs up end it; nothing else does.
void TestModem::aPortWaitEndsOnBytesOnInterruptAndOnHangUp() {
    SimModule module;
    SimModem sim(module);
    QVERIFY(sim.start());
    Tserial port;
    QCOMPARE(port.OpenPort(sim.slavePath(), 9600, 0), 0);
    using Wait = Tserial::Wait;
    // Woken before it waits: the wait ends at once, and only that one.
    port.Interrupt();
    QCOMPARE(port.WaitForInput(), Wait::Interrupted);
    const auto waitAway = [&] { return std::async(std::launch::async, [&] { return port.WaitForInput(); }); };
    const auto ended = [](std::future<Wait>& w) {
        return w.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    };

    std::future<Wait> w = waitAway();
    port.Interrupt();   // from another thread, as a stop comes
    QVERIFY(ended(w));
    QCOMPARE(w.get(), Wait::Interrupted);

    w = waitAway();
    sim.sendToTerminal("x");
    QVERIFY(ended(w));
    QCOMPARE(w.get(), Wait::Input);
    QCOMPARE(port.ReadByte(), 'x');

    // The far end goes: failed, and so is every wait after (nothing to read).
    w = waitAway();
    sim.stop();
    QVERIFY(ended(w));
    QCOMPARE(w.get(), Wait::Failed);
    QCOMPARE(port.WaitForInput(), Wait::Failed);
}

// A line wait sleeps until bytes come, however long its budget, on the main
// thread (events go on meanwhile) and on another; abort ends it at once.
void TestModem::lineWaitsWakeOnTheLineAndOnAbort() {
    const int hour = 3600 * 1000;
    Rig r;
    r.openPort();
    QTimer::singleShot(0, [&] { r.sim.sendToTerminal("RI"); });
    QTimer::singleShot(1, [&] { r.sim.sendToTerminal("NG\r\n"); });
    QCOMPARE(r.modem.ReadLine(hour), QByteArray("RING\r\n"));
    QTimer::singleShot(0, [&] { r.modem.abort(); });
    QCOMPARE(r.modem.ReadLine(hour), QByteArray());

    Rig away;
    away.openPort();
    const auto readAway = [&] { return std::async(std::launch::async, [&] { return away.modem.ReadLine(hour); }); };
    const auto ended = [](std::future<QByteArray>& f) {
        return f.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    };
    std::future<QByteArray> line = readAway();
    away.sim.sendToTerminal("OK\r\n");
    QVERIFY(ended(line));
    QCOMPARE(line.get(), QByteArray("OK\r\n"));
    line = readAway();
    away.modem.abort();
    QVERIFY(ended(line));
    QCOMPARE(line.get(), QByteArray());
}

void TestModem::connectRunsTheDialogue() {
    Rig r;
    QVERIFY(r.connect());
    QVERIFY(r.modem.IsOpen());
    QVERIFY(r.modem.IsReady());
    QVERIFY(r.modem.ReaderRunning());
    QCOMPARE(r.modem.GetName(), QByteArray());
    QCOMPARE(r.modem.portName(), r.sim.slavePath());
    QCOMPARE(r.modem.phoneNumber(), QByteArray("5551234"));
    QTRY_VERIFY(r.sim.inCall());   // the simulated modem notes the call after its CONNECT went out
    QCOMPARE(r.sim.atLog(), kDialogueCommands);

    // Every command with its line end, every line read with its own; the dial
    // command without one.
    QList<QByteArray> expected;
    for (const char* c : {"AT", "AT", "ATH", "ATH", "AT", "ATE0", "ATE0", "AT&D0", "AT+IFC=0,0"})
        expected << QByteArray(c) + "\r\n"
                 << "\r\n"
                 << "OK\r\n";
    expected << "AT+CPIN?\r\n"
             << "\r\n"
             << "+CPIN: READY\r\n"
             << "\r\n"
             << "OK\r\n";
    expected << "ATD5551234"
             << "\r\n"
             << "CONNECT 9600/RLP\r\n";
    QCOMPARE(r.log, expected);
}

void TestModem::dialResults_data() {
    QTest::addColumn<QByteArray>("result");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<TModem::State>("state");
    using S = TModem::State;
    QTest::newRow("CONNECT 9600") << QByteArray("CONNECT 9600") << 20 << S::Connected;
    QTest::newRow("CONNECT 9600/RLP") << QByteArray("CONNECT 9600/RLP") << 20 << S::Connected;
    QTest::newRow("CONNECT 14400") << QByteArray("CONNECT 14400") << 20 << S::WrongSpeed;
    QTest::newRow("BUSY") << QByteArray("BUSY") << 20 << S::Busy;
    QTest::newRow("NO ANSWER") << QByteArray("NO ANSWER") << 20 << S::NoAnswer;
    QTest::newRow("NO CARRIER") << QByteArray("NO CARRIER") << 20 << S::NoCarrier;
    QTest::newRow("NO DIALTONE") << QByteArray("NO DIALTONE") << 20 << S::NoDialTone;
    QTest::newRow("ERROR") << QByteArray("ERROR") << 20 << S::NoCarrier;
    // The far end says nothing within the dial's time; the call may still come up.
    QTest::newRow("silence") << QByteArray("CONNECT 9600") << 60000 << S::NoAnswer;
}

void TestModem::dialResults() {
    QFETCH(QByteArray, result);
    QFETCH(int, delayMs);
    QFETCH(TModem::State, state);
    // Five reads: the "silence" row waits them out (200 ms each), the others
    // are answered after 20 ms (a budget for a loaded machine, 1 s each).
    timing::modemDialLineMs = delayMs < 1000 ? testTiming::deviceModemDialLineMs : 200;
    timing::modemDialReads = 5;
    Rig r;
    // A RING before the result is passed over.
    r.setKnobs([&](SimModem::Knobs& k) {
        k.dialResult = delayMs < 1000 ? "RING\r\n\r\n" + result : result;
        k.dialDelayMs = delayMs;
    });
    int escapesAtDial = -1;
    r.onLog = [&](const QByteArray& line) {
        if (line.startsWith("ATD")) escapesAtDial = r.sim.escapes();
    };
    const bool connects = state == TModem::State::Connected;
    QCOMPARE(r.connect(), connects);
    QCOMPARE(r.modem.callState(), state);
    QCOMPARE(r.modem.IsOpen(), connects);
    QCOMPARE(r.modem.ReaderRunning(), connects);
    QCOMPARE(r.log.contains("RING\r\n"), delayMs < 1000);
    QCOMPARE(r.log.count("----Connection error----"), result == "NO CARRIER" ? 1 : 0);
    QTRY_COMPARE(r.sim.inCall(), connects);   // noted after the CONNECT went out
    if (connects) return;
    // Every failure after the dial command ends the call: escape, then ATH,
    // before the port is let go.
    QVERIFY(r.sim.escapes() > escapesAtDial);
    QCOMPARE(r.sim.atLog().last(), QByteArray("ATH"));
    QVERIFY(!r.sim.inCall());
    QVERIFY(r.modem.IsReady());
    QVERIFY(!r.modem.portOpen());
    QVERIFY(r.portFree());
    if (state == TModem::State::WrongSpeed) QCOMPARE(r.modem.speed(), QByteArray("14400"));
}

void TestModem::silentModemFailsAtTheCheckingAt() {
    // Silence needs no modem speed: the budgets can be small.
    timing::modemCommandLineMs = 30;
    Rig r;
    r.setKnobs([](SimModem::Knobs& k) { k.silent = true; });
    QElapsedTimer t;
    t.start();
    QVERIFY(!r.connect());
    // Five commands, each waiting its four reads.
    QVERIFY(t.elapsed() >= 5 * 4 * 30);
    QCOMPARE(r.sim.atLog(), (QList<QByteArray>{"AT", "AT", "ATH", "ATH", "AT"}));
    QCOMPARE(r.log, (QList<QByteArray>{"AT\r\n", "AT\r\n", "ATH\r\n", "ATH\r\n", "AT\r\n"}));
    QVERIFY(!r.modem.IsOpen());
    QVERIFY(!r.modem.ReaderRunning());
    QVERIFY(r.portFree());
}

void TestModem::simNotReadyFailsAtCpin() {
    Rig r;
    r.setKnobs([](SimModem::Knobs& k) { k.simNotReady = true; });
    QVERIFY(!r.connect());
    QCOMPARE(r.sim.atLog(), kDialogueCommands.mid(0, kDialogueCommands.size() - 1));
    QCOMPARE(r.log.mid(r.log.size() - 5),
             (QList<QByteArray>{"AT+CPIN?\r\n", "\r\n", "+CPIN: SIM PIN\r\n", "\r\n", "ERROR\r\n"}));
    QVERIFY(!r.sim.inCall());
    QVERIFY(!r.modem.IsOpen());
    QVERIFY(r.portFree());
}

void TestModem::echoShowsInTheLog() {
    Rig r;
    r.setKnobs([](SimModem::Knobs& k) { k.echo = true; });
    QVERIFY(r.connect());
    // The echoed command (after the escape pluses typed in command mode) is the
    // start of the next line read.
    QCOMPARE(r.log.at(0), QByteArray("AT\r\n"));
    QCOMPARE(r.log.at(1), QByteArray("++++++AT\r\r\n"));
    QCOMPARE(r.log.at(2), QByteArray("OK\r\n"));
    const int firstAte0 = int(r.log.indexOf("ATE0\r\n"));
    QVERIFY(firstAte0 > 0);
    QCOMPARE(r.log.at(firstAte0 + 1), QByteArray("ATE0\r\r\n"));   // still echoed
    QCOMPARE(r.log.at(firstAte0 + 2), QByteArray("OK\r\n"));
    QCOMPARE(r.log.at(firstAte0 + 3), QByteArray("ATE0\r\n"));
    QCOMPARE(r.log.at(firstAte0 + 4), QByteArray("\r\n"));   // echo is off now
}

void TestModem::portThatCannotBeOpened() {
    Rig r;
    // The page asks for the reason when it is told of the failure.
    QString reason;
    r.modem.setOnState([&](TModem::State s) {
        if (s == TModem::State::PortFailed) reason = r.modem.PortError();
    });
    QCOMPARE(r.modem.Connect("/dev/no-such-modem-kestrum", "5551234"), nullptr);
    QCOMPARE(reason, "cannot open /dev/no-such-modem-kestrum: " + QString::fromLocal8Bit(strerror(ENOENT)));
    QCOMPARE(r.modem.portFailure(), Failure(Failure::Kind::NotFound, QString::fromLocal8Bit(strerror(ENOENT))));
    QVERIFY(!r.modem.IsOpen());
    QVERIFY(r.log.isEmpty());
    QVERIFY(r.sim.atLog().isEmpty());
    // A port held by someone else cannot be opened either.
    Tserial holder;
    QCOMPARE(holder.OpenPort(r.sim.slavePath(), 9600, 0), 0);
    QCOMPARE(r.modem.Connect(r.sim.slavePath(), "5551234"), nullptr);
    QCOMPARE(r.modem.portFailure(), Failure(Failure::Kind::Busy, QString::fromLocal8Bit(strerror(EBUSY))));
    QVERIFY(r.log.isEmpty());
}

void TestModem::loginAndQueryOverTheCall() {
    Rig r;
    QVERIFY(r.connect());
    Collector c;
    r.modem.AddReceiver(&c.conn);

    r.modem.SendText("set REM:UPW P,1111\n");
    QTRY_VERIFY(c.get().contains(":L0 >"));
    QVERIFY(!r.module.loggedIn());

    c.clear();
    r.modem.SendText("set REM:UPW P,4826\n");
    QTRY_VERIFY(c.get().contains(":L2 >"));
    QVERIFY(r.module.loggedIn());
    QVERIFY(c.thread != std::this_thread::get_id());   // delivered on the reader thread

    // A query: the answer arrives in pieces and is reassembled in order.
    c.clear();
    r.modem.SendText("sc VCALL:GMIC.VOL0?#\r\n");
    QTRY_VERIFY(c.get().contains("->PASS") && c.get().contains(":L2 >"));
    QCOMPARE(c.get(), QByteArray("VCALL:GMIC.VOL0=4\r\n->PASS\r\n:L2 >"));

    c.clear();
    r.modem.SendText("sc \"VCALL:GMIC.VOL0=7#\"\r\n");
    QTRY_VERIFY(c.get().contains(":L2 >"));
    QCOMPARE(r.module.param("VCALL:GMIC.VOL0"), QByteArray("7"));
    QVERIFY(r.module.commands().contains("sc VCALL:GMIC.VOL0?#"));

    // The command text travels as it is: nothing of it reached the AT side.
    QCOMPARE(r.sim.atLog(), kDialogueCommands);
    r.modem.RemoveReceiver(&c.conn);
}

void TestModem::lateDuplicateAnswersOverTheCall() {
    Rig r;
    QVERIFY(r.connect());
    Exchange ex;
    ResponseConnection accumulator([&](const uint8_t* d, int32_t n) { ex.AccumulateResponse(d, n); });
    r.modem.AddReceiver(&accumulator);
    ex.setChannel(&r.modem);
    checkLateDuplicateAnswers(ex, r.module);
    // The reader may be delivering right now: it stops before the exchange goes.
    r.modem.Close();
    r.modem.RemoveReceiver(&accumulator);
}

void TestModem::closeHangsUp() {
    Rig r;
    QVERIFY(r.connect());
    Collector c;
    r.modem.AddReceiver(&c.conn);
    r.modem.SendText("set REM:UPW P,4826\n");
    QTRY_VERIFY(c.get().contains(":L2 >"));
    // Close while an answer is still on its way.
    r.modem.SendText("sc VCALL:GMIC.VOL0?#\r\n");
    r.log.clear();
    r.modem.Close();
    QVERIFY(!r.modem.IsOpen());
    QVERIFY(!r.modem.ReaderRunning());
    QVERIFY(!r.sim.inCall());
    QVERIFY(!r.module.loggedIn());   // the module saw the call end
    QCOMPARE(r.log.first(), QByteArray("ATH\r\n"));
    QVERIFY(r.sim.atLog().mid(kDialogueCommands.size()).contains("ATH"));
    QVERIFY(r.modem.IsReady());
    QVERIFY(!r.modem.portOpen());
    QVERIFY(r.portFree());

    // Sending after the hang-up writes nothing and keeps the port object.
    const int before = int(r.sim.atLog().size());
    r.modem.SendText("AT\r\n");
    QVERIFY(r.modem.IsReady());
    QCOMPARE(int(r.sim.atLog().size()), before);
    r.modem.RemoveReceiver(&c.conn);
}

// The window's close ends the application's event loop; from then until it
// has returned, every event loop ends at once. The waits of a hang-up on the
// main thread then go on without events: the escape still has its silence.
void TestModem::aHangUpWhileTheApplicationQuitsKeepsItsGuardTimes() {
    Rig r;
    QVERIFY(r.connect());
    QTRY_VERIFY(r.sim.inCall());
    QCoreApplication::exit(0);
    auto quitDone = qScopeGuard([] {
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        QCoreApplication::exec();   // the event loops run again
    });
    QElapsedTimer t;
    t.start();
    r.modem.Close();
    QVERIFY(!r.sim.inCall());
    QCOMPARE(r.sim.atLog().last(), QByteArray("ATH"));
    // Every wait the hang-up is made of has passed, not ended at once.
    QVERIFY(t.elapsed() >= timing::modemClosePumps * 10 + 6 * timing::modemEscapeSleepMs);
}

void TestModem::escapeIsThePlusesWithSilenceAround() {
    // The simulated modem judges "+++" by the time between the bytes, as a
    // modem does, however the terminal cuts them into reads.
    Rig r;
    r.openPort();
    const auto write = [&](const QByteArray& text) { QVERIFY(r.modem.Write(text)); };
    // The sender's silences (what is tested, not a wait for the modem).
    const auto silence = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
    write("ATD1\r\n");
    QTRY_VERIFY(r.sim.inCall());

    // Written at once after a silence: no silence after the pluses, so data.
    r.setKnobs([](SimModem::Knobs& k) { k.guardMs = 400; });
    silence(450);
    write("+++ATH\r\n");
    QTRY_VERIFY(r.module.commands().contains("+++ATH"));
    QVERIFY(r.sim.inCall());
    QCOMPARE(r.sim.escapes(), 0);

    // Pluses in pieces, with silence before and after: the modem's own clock
    // sees the silence after them. ATO resumes the call.
    r.setKnobs([](SimModem::Knobs& k) { k.guardMs = SimModem::Knobs().guardMs; });
    silence(testTiming::modemEscapeSleepMs);
    write("+");
    write("++");
    QTRY_COMPARE(r.sim.escapes(), 1);
    write("ATO\r\n");
    QTRY_VERIFY(r.sim.atLog().contains("ATO"));
    write("after\r\n");
    QTRY_VERIFY(r.module.commands().contains("after"));

    // A modem that reads late (a loaded machine) gets the escape and the
    // hang-up written after it in one read: the gap between them is not
    // known, so the sender, who kept its silence, is believed. Pluses inside
    // a line stay data however late they are read.
    r.setKnobs([](SimModem::Knobs& k) { k.lateReadMs = 150; });
    write("sc \"SMS:Z1A.SMS=+++#\"\r\n");
    QTRY_VERIFY(r.module.commands().contains("sc \"SMS:Z1A.SMS=+++#\""));
    silence(testTiming::modemEscapeSleepMs);
    write("+++");
    silence(testTiming::modemEscapeSleepMs);
    write("ATH\r\n");
    QTRY_VERIFY(!r.sim.inCall());
    QCOMPARE(r.sim.escapes(), 2);
    QCOMPARE(r.sim.atLog().last(), QByteArray("ATH"));

    // The dialler's own hang-up reaches a modem that reads late.
    Rig late;
    QVERIFY(late.connect());
    QTRY_VERIFY(late.sim.inCall());
    late.setKnobs([](SimModem::Knobs& k) { k.lateReadMs = 150; });
    late.modem.Close();
    QVERIFY(!late.sim.inCall());
    QCOMPARE(late.sim.atLog().last(), QByteArray("ATH"));
}

void TestModem::destructorStopsTheReader() {
    Collector c;
    SimModule module;
    SimModem sim(module);
    QVERIFY(sim.start());
    {
        TModem modem;
        QCOMPARE(modem.Connect(sim.slavePath(), "1"), &modem);
        QVERIFY(modem.ReaderRunning());
        modem.AddReceiver(&c.conn);
        // Gone without Close: the reader must be gone with it.
    }
    Tserial other;
    QCOMPARE(other.OpenPort(sim.slavePath(), 9600, 0), 0);
    // Nothing reaches the old subscriber any more.
    sim.sendToTerminal("late");
    QTRY_COMPARE(sim.waitingAtTerminal(), 4);
    QCOMPARE(c.get(), QByteArray());
}

void TestModem::manyWaitingBytesArriveWholeInOrder() {
    Rig r;
    QVERIFY(r.connect());

    // The first delivery holds the reader until 3000 more bytes are waiting.
    std::mutex m;
    std::condition_variable cv;
    bool held = false, release = false;
    QByteArray got;
    QList<int> sizes;
    ResponseConnection blocker([&](const uint8_t* data, int32_t len) {
        std::unique_lock<std::mutex> lk(m);
        got.append(reinterpret_cast<const char*>(data), len);
        sizes.append(len);
        if (!held) {
            held = true;
            cv.notify_all();
            cv.wait(lk, [&] { return release; });
        }
    });
    r.modem.AddReceiver(&blocker);
    r.sim.sendToTerminal("<");
    {
        std::unique_lock<std::mutex> lk(m);
        QVERIFY(cv.wait_for(lk, std::chrono::seconds(5), [&] { return held; }));
    }
    QByteArray big;
    for (int i = 0; i < 3000; ++i) big += char('0' + i % 43);
    r.sim.sendToTerminal(big);
    QTRY_COMPARE(r.sim.waitingAtTerminal(), int(big.size()));
    {
        std::lock_guard<std::mutex> lk(m);
        release = true;
    }
    cv.notify_all();
    auto total = [&] {
        std::lock_guard<std::mutex> lk(m);
        return got.size();
    };
    QTRY_COMPARE(total(), big.size() + 1);
    r.modem.RemoveReceiver(&blocker);
    std::lock_guard<std::mutex> lk(m);
    QCOMPARE(got, "<" + big);
    QCOMPARE(sizes.first(), 1);
    // 3000 waiting bytes: at most 1024 per delivery, so at least three.
    QVERIFY(sizes.size() >= 4);
    for (int s : sizes) QVERIFY(s <= TModem::kBufferSize);
    QCOMPARE(sizes.at(1), TModem::kBufferSize);
}

void TestModem::writeFailureDropsThePort() {
    Rig r;
    QVERIFY(r.connect());
    Collector c;
    r.modem.AddReceiver(&c.conn);
    r.sim.stop();   // the modem goes away: the line hangs up under the tool
    r.modem.SendText("sc VCALL:GMIC.VOL0?#\r\n");
    QVERIFY(r.modem.PortError().startsWith("cannot write to " + r.sim.slavePath() + ": "));
    QVERIFY(!r.modem.IsReady());
    QVERIFY(r.modem.IsOpen());          // the call flag stays until Close
    QVERIFY(r.modem.ReaderRunning());   // idle, not ended, not crashed
    r.modem.SendText("more");           // nothing happens
    QCOMPARE(r.modem.ReadLine(100), QByteArray());
    QVERIFY(!r.modem.SendCommand("AT\r\n"));
    r.log.clear();
    r.modem.Close();   // only stops the reader
    QVERIFY(!r.modem.IsOpen());
    QVERIFY(!r.modem.ReaderRunning());
    QVERIFY(r.log.isEmpty());
    QCOMPARE(c.get(), QByteArray());
    r.modem.RemoveReceiver(&c.conn);
}

QTEST_GUILESS_MAIN(TestModem)
#include "test_modem.moc"
