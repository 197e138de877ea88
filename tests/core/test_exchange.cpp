// The command exchange and the login: the exact command bytes, when an answer
// counts as complete, retries and time-outs, answers arriving from another
// thread in pieces, the exchange lock, and one run end to end over the USB link
// against the simulated module.
#include "core/link/Slot.h"
#include "core/protocol/Exchange.h"
#include "core/protocol/Session.h"
#include "core/text/Timing.h"
#include "sim/SimModule.h"
#include "support/FakeConnection.h"
#include "support/LateAnswers.h"
#include "support/LinkRig.h"
#include "support/TimingGuard.h"

#include <QElapsedTimer>
#include <QTest>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using Bytes = QByteArray;

void deliver(Exchange& ex, const Bytes& text) {
    ex.AccumulateResponse(reinterpret_cast<const uint8_t*>(text.constData()), int32_t(text.size()));
}

// The command channel as the exchange sees it: records every text sent and
// lets the test answer it.
using FakeChannel = FakeConnection;

// Answers delivered from other threads; joined before the exchange goes.
class Deliveries {
public:
    explicit Deliveries(Exchange& ex) : ex_(ex) {}
    ~Deliveries() {
        for (auto& t : threads_) t.join();
    }
    void later(QList<Bytes> pieces, int gapMs = 1) {
        threads_.emplace_back([this, pieces, gapMs] {
            for (const Bytes& p : pieces) {
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
                deliver(ex_, p);
            }
        });
    }

private:
    Exchange& ex_;
    std::vector<std::thread> threads_;
};

const Bytes kAnswer = "CALL:USER1.PN=+36301234567\r\n->PASS\r\n:L2 >";

// The exchange's commands go on the rig's slot 2, its answers to accumulator.
void commandsOf(LinkRig& rig, Exchange& ex, ResponseConnection& accumulator) {
    Slot* commands = rig.slot(2);
    commands->AddReceiver(&accumulator);
    ex.setChannel(commands);
}

QList<Bytes> cut(const Bytes& text, QList<int> sizes) {
    QList<Bytes> pieces;
    int pos = 0;
    for (int n : sizes) {
        pieces.append(text.mid(pos, n));
        pos += n;
    }
    pieces.append(text.mid(pos));
    return pieces;
}

}   // namespace

class TestExchange : public QObject {
    Q_OBJECT
    TimingGuard deviceTiming_;   // made before any test runs

private slots:
    void init();

    void commandBytes_data();
    void commandBytes();
    void answerVerdicts_data();
    void answerVerdicts();
    void accumulatorTakesExactlyLengthBytes();
    void junkIsBoundedAndSpoilsNoAnswer();

    void queryAnsweredFromAnotherThread_data();
    void queryAnsweredFromAnotherThread();
    void passWithoutPromptKeepsWaiting();
    void refusedQueryGivesMarker_data();
    void refusedQueryGivesMarker();
    void setResults();
    void silentDevice();
    void closedChannelIsALostLink();
    void lateTextCountsForNextAttempt();
    void staleTextBetweenExchanges();
    void nestedQueryWaitsForLock();

    void parseAnswerValue_data();
    void parseAnswerValue();
    void splitAnswer();
    void valueHoldingPromptTextReadsBack();
    void controlCharactersAndDelAreNotSent();

    void loginAcceptedAtOnce();
    void loginAfterDialog();
    void loginRefusedTwice();
    void loginRepeatedly();

    void endToEndOverUsb();
    void lateDuplicateAnswersOverUsb();
    void refusedWriteEndsTheCommandAtOnce();
};

void TestExchange::init() {
    // Answered exchanges end as soon as the answer is complete, so the long
    // waits of the device cost nothing there; tests without an answer scale
    // them down themselves.
    deviceTiming_.restore();
}

void TestExchange::commandBytes_data() {
    QTest::addColumn<QString>("op");
    QTest::addColumn<Bytes>("a");
    QTest::addColumn<Bytes>("b");
    QTest::addColumn<Bytes>("expected");

    QTest::newRow("query") << "query" << Bytes("KEY") << Bytes() << Bytes("sc KEY?#\r\n");
    QTest::newRow("query volume") << "query" << Bytes("VCALL:GMIC.VOL0") << Bytes()
                                  << Bytes("sc VCALL:GMIC.VOL0?#\r\n");
    QTest::newRow("set empty value") << "set" << Bytes("CALL:USER1.PN") << Bytes()
                                     << Bytes("sc \"CALL:USER1.PN=#\"\r\n");
    QTest::newRow("set value") << "set" << Bytes("CALL:USER1.PN") << Bytes("+36301234567")
                               << Bytes("sc \"CALL:USER1.PN=+36301234567#\"\r\n");
    // 8-bit text goes out as it is, nothing escaped.
    QTest::newRow("set 8-bit") << "set" << Bytes("SMS:Z1A.SMS") << Bytes("T\xB0 a=b, \"x\"")
                               << Bytes("sc \"SMS:Z1A.SMS=T\xB0 a=b, \"x\"#\"\r\n");
    QTest::newRow("login") << "password" << Bytes("4826") << Bytes("0") << Bytes("set REM:UPW P,4826\n");
    QTest::newRow("change") << "password" << Bytes("old") << Bytes("new") << Bytes("set REM:UPW C,old,new\n");
    // "0" is the login marker, so a new password "0" makes a login with the old one.
    QTest::newRow("change to 0") << "password" << Bytes("old") << Bytes("0") << Bytes("set REM:UPW P,old\n");
}

void TestExchange::commandBytes() {
    QFETCH(QString, op);
    QFETCH(Bytes, a);
    QFETCH(Bytes, b);
    QFETCH(Bytes, expected);
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    ch.onSend = [&](const Bytes&) { deliver(ex, op == "password" ? "\r\n:L2 >" : a + "=1\r\n->PASS\r\n:L2 >"); };
    if (op == "query")
        QCOMPARE(ex.QueryParam(a), a + "=1\r\n->PASS\r\n:L2 >");
    else if (op == "set")
        QCOMPARE(ex.SetParam(a, b), Outcome::Accepted);
    else
        QCOMPARE(ex.PasswordCommand(a, b), Outcome::Accepted);
    QCOMPARE(ch.sent, QList<Bytes>{expected});
    QVERIFY(ex.Buffer().isEmpty());
    QVERIFY(!ex.Locked());
}

void TestExchange::answerVerdicts_data() {
    QTest::addColumn<QList<Bytes>>("pieces");
    QTest::addColumn<Outcome>("query");
    QTest::addColumn<Outcome>("password");

    QTest::newRow("L2") << QList<Bytes>{"K=1\r\n->PASS\r\n:L2 >"} << Outcome::Accepted << Outcome::Accepted;
    QTest::newRow("L9") << QList<Bytes>{"K=1\r\n->PASS\r\n:L9 >"} << Outcome::Accepted << Outcome::NoAnswer;
    QTest::newRow("pass with L0") << QList<Bytes>{"K=1\r\n->PASS\r\n:L0 >"} << Outcome::Refused << Outcome::Refused;
    QTest::newRow("pass alone") << QList<Bytes>{"K=1\r\n->PASS\r\n"} << Outcome::NoAnswer << Outcome::NoAnswer;
    QTest::newRow("prompt alone") << QList<Bytes>{"\r\n:L2 >"} << Outcome::NoAnswer << Outcome::Accepted;
    QTest::newRow("markers split") << QList<Bytes>{"K=1\r\n->PA", "SS\r\n:L", "9 >"} << Outcome::Accepted
                                   << Outcome::NoAnswer;
    QTest::newRow("almost") << QList<Bytes>{"->PAS :L2> L9 > :L0>"} << Outcome::NoAnswer << Outcome::NoAnswer;
    // A query's answer has to name the key asked for.
    QTest::newRow("another key") << QList<Bytes>{"J=1\r\n->PASS\r\n:L2 >"} << Outcome::NoAnswer << Outcome::Accepted;
}

void TestExchange::answerVerdicts() {
    QFETCH(QList<Bytes>, pieces);
    QFETCH(Outcome, query);
    QFETCH(Outcome, password);
    timing::answerWaitMs = 10;
    timing::loginPollMs = 1;
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    ch.onSend = [&](const Bytes&) {
        for (const Bytes& p : pieces) deliver(ex, p);
    };
    QCOMPARE(ex.Query("K").outcome, query);
    QCOMPARE(ex.PasswordCommand("4826", "0"), password);
    // Every answer is taken whole at its prompt; only text after the last one waits.
    const Bytes all = pieces.join();
    const bool prompted = all.contains(":L0 >") || all.contains(":L2 >") || all.contains(":L9 >");
    QCOMPARE(ex.Buffer().isEmpty(), prompted);
}

void TestExchange::junkIsBoundedAndSpoilsNoAnswer() {
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    const Bytes junk(16, 'x');
    for (int i = 0; i < 65536; ++i) deliver(ex, junk);   // 1 MB that holds no prompt
    QVERIFY(ex.Buffer().size() <= Exchange::kMaxPending);
    QVERIFY(ex.Buffer().size() >= Exchange::kMaxPending / 2);
    // The next answer counts, its prompt cut in two.
    ch.onSend = [&](const Bytes&) {
        deliver(ex, "K=1\r\n->PASS\r\n:L");
        deliver(ex, "2 >");
    };
    QCOMPARE(ex.QueryParam("K"), Bytes("K=1\r\n->PASS\r\n:L2 >"));
}

void TestExchange::accumulatorTakesExactlyLengthBytes() {
    Exchange ex;
    ex.AccumulateResponse(reinterpret_cast<const uint8_t*>("ABCDEF"), 3);
    QCOMPARE(ex.Buffer(), Bytes("ABC"));
    ex.AccumulateResponse(reinterpret_cast<const uint8_t*>("x\0y"), 3);
    QCOMPARE(ex.Buffer(), Bytes("ABCx\0y", 6));
}

void TestExchange::queryAnsweredFromAnotherThread_data() {
    QTest::addColumn<QList<int>>("sizes");
    QTest::newRow("whole") << QList<int>{};
    QTest::newRow("three pieces") << QList<int>{10, 20};
    QTest::newRow("prompt split off") << QList<int>{int(kAnswer.size()) - 3};
    QTest::newRow("byte by byte") << QList<int>(kAnswer.size() - 1, 1);
}

void TestExchange::queryAnsweredFromAnotherThread() {
    QFETCH(QList<int>, sizes);
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    Deliveries device(ex);
    ch.onSend = [&](const Bytes&) { device.later(cut(kAnswer, sizes), 0); };
    const Bytes answer = ex.QueryParam("CALL:USER1.PN");
    QCOMPARE(answer, kAnswer);
    QCOMPARE(ParseAnswerValue(answer), Bytes("+36301234567"));
    QCOMPARE(ch.sent.size(), 1);
    QVERIFY(ex.Buffer().isEmpty());
    QVERIFY(!ex.Locked());
}

void TestExchange::passWithoutPromptKeepsWaiting() {
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    int pumps = 0;
    bool passBeforePrompt = true;
    // The answer arrives while the exchange processes events: first without
    // the prompt, the prompt a few polls later.
    ex.pump = [&] {
        ++pumps;
        if (pumps == 1) deliver(ex, "K=5\r\n->PASS\r\n");
        if (pumps == 5) {
            passBeforePrompt = ex.Buffer().isEmpty();   // taken as an answer already?
            deliver(ex, ":L9 >");
        }
    };
    QCOMPARE(ex.QueryParam("K"), Bytes("K=5\r\n->PASS\r\n:L9 >"));
    QVERIFY(!passBeforePrompt);
    QVERIFY(pumps >= 5);
    QCOMPARE(ch.sent.size(), 1);
}

void TestExchange::refusedQueryGivesMarker_data() {
    QTest::addColumn<Bytes>("reply");
    QTest::newRow("pass with L0") << Bytes("K=5\r\n->PASS\r\n:L0 >");
    QTest::newRow("L0 only") << Bytes("\r\n:L0 >");
    QTest::newRow("error and L0") << Bytes("\r\nERR\r\n:L0 >");
}

void TestExchange::refusedQueryGivesMarker() {
    QFETCH(Bytes, reply);
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    Deliveries device(ex);
    ch.onSend = [&](const Bytes&) { device.later({reply}); };
    const Bytes answer = ex.QueryParam("K");
    QCOMPARE(answer, kNotAvailable);
    QCOMPARE(answer.size(), 38);
    QCOMPARE(ch.sent.size(), 1);   // no retry after a refusal
    QCOMPARE(ex.Unanswered(), 0);
    QVERIFY(ex.Buffer().isEmpty());
}

void TestExchange::setResults() {
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    Deliveries device(ex);

    ch.onSend = [&](const Bytes&) { device.later(cut("K=7\r\n->PASS\r\n:L2 >", {3, 9})); };
    QCOMPARE(ex.SetParam("K", "7"), Outcome::Accepted);
    QCOMPARE(ch.sent.size(), 1);
    QVERIFY(ex.Buffer().isEmpty());
    QVERIFY(!ex.Locked());

    ch.sent.clear();
    ch.onSend = [&](const Bytes&) { device.later({"\r\nERR\r\n", ":L0 >"}); };
    QCOMPARE(ex.SetParam("K", "bad"), Outcome::Refused);
    QCOMPARE(ch.sent.size(), 1);   // a refused set is not sent again
    QVERIFY(ex.Buffer().isEmpty());
    QVERIFY(!ex.Locked());
}

void TestExchange::silentDevice() {
    timing::answerWaitMs = 50;
    timing::loginPollMs = 5;
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    QElapsedTimer t;

    t.start();
    QCOMPARE(ex.QueryParam("K"), Bytes());
    QVERIFY(t.elapsed() >= 4 * timing::answerWaitMs);
    QCOMPARE(ch.sent, QList<Bytes>(4, "sc K?#\r\n"));
    QCOMPARE(ParseAnswerValue(Bytes()), Bytes());

    ch.sent.clear();
    t.restart();
    QCOMPARE(ex.SetParam("K", "1"), Outcome::NoAnswer);
    QVERIFY(t.elapsed() >= 4 * timing::answerWaitMs);
    QCOMPARE(ch.sent, QList<Bytes>(4, "sc \"K=1#\"\r\n"));

    ch.sent.clear();
    t.restart();
    QCOMPARE(ex.PasswordCommand("4826", "0"), Outcome::NoAnswer);
    QVERIFY(t.elapsed() >= 4 * timing::loginPolls * timing::loginPollMs);
    QCOMPARE(ch.sent, QList<Bytes>(4, "set REM:UPW P,4826\n"));
    QVERIFY(!ex.Locked());

    // No channel at all: nothing can be sent, and nothing is waited for.
    Exchange lone;
    QCOMPARE(lone.SetParam("K", "1"), Outcome::LinkLost);
}

void TestExchange::closedChannelIsALostLink() {
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    ch.Close();
    QCOMPARE(ex.Query("K").outcome, Outcome::LinkLost);
    QCOMPARE(ex.PasswordCommand("4826", "0"), Outcome::LinkLost);
    QVERIFY(ch.sent.isEmpty());

    // Closed while the answer is awaited: the wait ends at once, nothing is sent again.
    ch.Open();
    ch.onSend = [&](const Bytes&) { ch.Close(); };
    QElapsedTimer t;
    t.start();
    QCOMPARE(ex.SetParam("K", "1"), Outcome::LinkLost);
    QVERIFY(t.elapsed() < timing::answerWaitMs);
    QCOMPARE(ch.sent, QList<Bytes>{"sc \"K=1#\"\r\n"});
    QVERIFY(!ex.Locked());

    // Open again, the next command is answered as ever.
    ch.Open();
    ch.onSend = [&](const Bytes&) { deliver(ex, "K=1\r\n->PASS\r\n:L2 >"); };
    QCOMPARE(ex.QueryParam("K"), Bytes("K=1\r\n->PASS\r\n:L2 >"));
}

void TestExchange::lateTextCountsForNextAttempt() {
    timing::answerWaitMs = 50;
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    // The first attempt gets the answer without its prompt; the prompt only
    // comes after the command was sent again.
    ch.onSend = [&](const Bytes&) {
        if (ch.sent.size() == 1) deliver(ex, "K=7\r\n->PASS\r\n");
        if (ch.sent.size() == 2) deliver(ex, ":L2 >");
    };
    const Bytes answer = ex.QueryParam("K");
    QCOMPARE(answer, Bytes("K=7\r\n->PASS\r\n:L2 >"));
    QCOMPARE(ParseAnswerValue(answer), Bytes("7"));
    QCOMPARE(ch.sent.size(), 2);
}

void TestExchange::staleTextBetweenExchanges() {
    // A late answer that arrives after its exchange has ended must not stand
    // in for the answer to the next command.
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    Deliveries device(ex);
    const Bytes stale = "OLD=1\r\n->PASS\r\n:L2 >";

    deliver(ex, stale);
    ch.onSend = [&](const Bytes&) { device.later({"NEW=2\r\n->PASS\r\n", ":L2 >"}); };
    QCOMPARE(ex.QueryParam("NEW"), Bytes("NEW=2\r\n->PASS\r\n:L2 >"));

    deliver(ex, stale);
    ch.onSend = [&](const Bytes&) { device.later({"\r\nERR\r\n:L0 >"}); };
    QCOMPARE(ex.SetParam("NEW", "3"), Outcome::Refused);

    deliver(ex, stale);
    ch.onSend = [&](const Bytes&) { device.later({"\r\n:L0 >"}); };
    QCOMPARE(ex.PasswordCommand("9999", "0"), Outcome::Refused);
    QCOMPARE(ch.sent.size(), 3);
}

void TestExchange::nestedQueryWaitsForLock() {
    // A query started from inside the wait of another cannot get the lock: it
    // waits the lock's whole budget, then goes ahead on its own. Each answer
    // goes to the query it belongs to, so neither sends again.
    timing::exchangeLockTries = 5;
    timing::exchangeLockPollMs = 2;
    timing::answerWaitMs = 50;
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    QList<Bytes> pending;   // the device answers one command per processed event
    ch.onSend = [&](const Bytes& cmd) {
        const Bytes key = cmd.mid(3, cmd.size() - 7);
        pending.append(key + "=" + (key == "A" ? "1" : "2") + "\r\n->PASS\r\n:L2 >");
    };
    bool innerStarted = false;
    bool lockedInside = false;
    Bytes inner;
    qint64 innerMs = 0;
    ex.pump = [&] {
        if (!innerStarted) {
            innerStarted = true;
            lockedInside = ex.Locked();
            QElapsedTimer t;
            t.start();
            inner = ex.QueryParam("B");
            innerMs = t.elapsed();
            return;
        }
        if (!pending.isEmpty()) deliver(ex, pending.takeFirst());
    };
    const Bytes outer = ex.QueryParam("A");
    QVERIFY(lockedInside);
    QCOMPARE(ParseAnswerValue(inner), Bytes("2"));
    QCOMPARE(ParseAnswerValue(outer), Bytes("1"));
    QVERIFY(innerMs >= timing::exchangeLockTries * timing::exchangeLockPollMs);
    QCOMPARE(ch.sent, (QList<Bytes>{"sc A?#\r\n", "sc B?#\r\n"}));
    QVERIFY(!ex.Locked());
}

void TestExchange::parseAnswerValue_data() {
    QTest::addColumn<Bytes>("answer");
    QTest::addColumn<Bytes>("value");

    QTest::newRow("query answer") << kAnswer << Bytes("+36301234567");
    QTest::newRow("two other characters") << Bytes("K=abcXY->PASS:L2 >") << Bytes("abc");
    QTest::newRow("value holds =") << Bytes("SMS:Z1A.SMS=a=b==c\r\n->PASS\r\n:L2 >") << Bytes("a=b==c");
    QTest::newRow("empty value") << Bytes("CALL:USER1.PN=\r\n->PASS\r\n:L2 >") << Bytes();
    QTest::newRow("one character before pass") << Bytes("K=\r->PASS") << Bytes();
    QTest::newRow("pass before =") << Bytes("->PASS K=1\r\n") << Bytes();
    QTest::newRow("marker") << kNotAvailable << Bytes();
    QTest::newRow("no =") << Bytes("K 1\r\n->PASS\r\n:L2 >") << Bytes();
    QTest::newRow("no pass") << Bytes("K=1\r\n:L2 >") << Bytes();
    QTest::newRow("empty") << Bytes() << Bytes();
    QTest::newRow("8-bit") << Bytes("T=25\xB0\r\n->PASS") << Bytes("25\xB0");
}

void TestExchange::parseAnswerValue() {
    QFETCH(Bytes, answer);
    QFETCH(Bytes, value);
    QCOMPARE(ParseAnswerValue(answer), value);
}

void TestExchange::splitAnswer() {
    Bytes key = "junk", value = "junk";
    QVERIFY(SplitAnswer("SMS:Z1A.SMS=a=b\r\n->PASS\r\n:L2 >", key, value));
    QCOMPARE(key, Bytes("SMS:Z1A.SMS"));
    QCOMPARE(value, Bytes("a=b"));

    QVERIFY(SplitAnswer("CALL:USER1.PN=\r\n->PASS\r\n:L2 >", key, value));
    QCOMPARE(key, Bytes("CALL:USER1.PN"));
    QCOMPARE(value, Bytes());

    key = value = "junk";
    QVERIFY(!SplitAnswer("K=1\r\n:L2 >", key, value));
    QVERIFY(key.isEmpty() && value.isEmpty());
    key = value = "junk";
    QVERIFY(!SplitAnswer("K 1\r\n->PASS", key, value));
    QVERIFY(key.isEmpty() && value.isEmpty());
}

namespace {

// A device that knows only the login: accepts its password, refuses others.
struct LoginDevice {
    LoginDevice(Session& s, FakeChannel& ch, Bytes pw) : password(std::move(pw)) {
        s.exchange().setChannel(&ch);
        ch.onSend = [&s, this](const Bytes& cmd) {
            ++commands;
            const bool ok = cmd == "set REM:UPW P," + password + "\n" || commands > refuseFirst;
            deliver(s.exchange(), ok ? "\r\n:L2 >" : "\r\n:L0 >");
        };
    }
    Bytes password;
    int commands = 0;
    int refuseFirst = 1 << 30;   // from this many commands on, every login is accepted
};

}   // namespace

// The device prints its prompts at the start of a line; a stored text may
// hold the same characters anywhere in its line, and still reads back.
void TestExchange::valueHoldingPromptTextReadsBack() {
    SimModule module;
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    module.setOutput([&](int, const Bytes& text) { deliver(ex, text); });
    ch.onSend = [&](const Bytes& t) { module.input(SimModule::Commands, t); };
    QCOMPARE(ex.PasswordCommand("4826", "0"), Outcome::Accepted);
    for (const Bytes& value :
         {Bytes("Alarm :L2 > zone 1"), Bytes(":L0 >"), Bytes("a->PASS b :L9 >"), Bytes("x=:L2 >")}) {
        ch.sent.clear();
        QCOMPARE(ex.SetParam("SMS:Z1A.SMS", value), Outcome::Accepted);
        QCOMPARE(module.param("SMS:Z1A.SMS"), value);
        const Exchange::Answer a = ex.Query("SMS:Z1A.SMS");
        QCOMPARE(a.outcome, Outcome::Accepted);
        QCOMPARE(ParseAnswerValue(a.text), value);
        QCOMPARE(ch.sent.size(), 2);   // each answered at its first send
        QVERIFY(ex.Buffer().isEmpty());
    }
}

void TestExchange::controlCharactersAndDelAreNotSent() {
    Exchange ex;
    FakeChannel ch;
    ex.setChannel(&ch);
    for (const Bytes& bad : {Bytes("a\x7F"), Bytes("\x7F"), Bytes("a\x1F"), Bytes("a\tb")}) {
        QVERIFY2(!IsCommandSafe(bad), bad.toHex().constData());
        QCOMPARE(ex.SetParam("SMS:Z1A.SMS", bad), Outcome::NotSent);
        QCOMPARE(ex.Query(bad).outcome, Outcome::NotSent);
    }
    QVERIFY(ch.sent.isEmpty());
    QVERIFY(IsCommandSafe("~ \x80\xFF"));   // the printable neighbours of DEL are text
}

void TestExchange::loginAcceptedAtOnce() {
    Session s;
    FakeChannel ch;
    LoginDevice dev(s, ch, "4826");
    int asked = 0;
    s.askPassword = [&] { ++asked; };
    s.setCurrentPassword(kDefaultPassword);
    QCOMPARE(s.Login(), Outcome::Accepted);
    QCOMPARE(asked, 0);
    QVERIFY(!s.bulkOperator());
    QVERIFY(!s.loggedIn());   // the caller keeps the flag for a plain login
    QCOMPARE(ch.sent, QList<Bytes>{"set REM:UPW P,4826\n"});
}

void TestExchange::loginAfterDialog() {
    Session s;
    FakeChannel ch;
    LoginDevice dev(s, ch, "1111");
    int asked = 0;
    s.askPassword = [&] {
        ++asked;
        s.setCurrentPassword("1111");
    };
    s.setCurrentPassword(kDefaultPassword);
    QCOMPARE(s.Login(), Outcome::Accepted);
    QCOMPARE(asked, 1);
    QCOMPARE(ch.sent, (QList<Bytes>{"set REM:UPW P,4826\n", "set REM:UPW P,1111\n"}));
    QVERIFY(s.loggedIn());
    QVERIFY(s.bulkOperator());
    QCOMPARE(s.bulkOperator()->Link, static_cast<Connection*>(&ch));
}

void TestExchange::loginRefusedTwice() {
    Session s;
    FakeChannel ch;
    LoginDevice dev(s, ch, "1111");
    int asked = 0;
    s.askPassword = [&] { ++asked; };   // closed without its button
    s.setCurrentPassword(kDefaultPassword);
    QCOMPARE(s.Login(), Outcome::Refused);
    QCOMPARE(asked, 1);
    QCOMPARE(ch.sent, QList<Bytes>(2, "set REM:UPW P,4826\n"));   // one send each, no retries
    QVERIFY(!s.loggedIn());
    QVERIFY(!s.bulkOperator());
}

void TestExchange::loginRepeatedly() {
    {
        Session s;
        FakeChannel ch;
        LoginDevice dev(s, ch, "1111");
        dev.refuseFirst = 2;   // the first Login fails twice, the second succeeds
        int asked = 0;
        s.askPassword = [&] { ++asked; };
        s.setCurrentPassword(kDefaultPassword);
        QVERIFY(s.LoginRepeatedly());
        QCOMPARE(ch.sent.size(), 3);
        QCOMPARE(asked, 1);
    }
    {
        Session s;
        FakeChannel ch;
        LoginDevice dev(s, ch, "1111");
        int asked = 0;
        s.askPassword = [&] { ++asked; };
        s.setCurrentPassword(kDefaultPassword);
        QVERIFY(!s.LoginRepeatedly());
        QCOMPARE(asked, 5);
        QCOMPARE(ch.sent.size(), 10);
    }
}

void TestExchange::endToEndOverUsb() {
    timing::hidSearchIntervalMs = 10;
    timing::hidReadTimeoutMs = 20;
    Session s;
    QList<int> deliverySizes;   // reader thread only until the exchange is over
    std::mutex sizesMutex;
    ResponseConnection accumulator([&](const uint8_t* d, int32_t n) {
        {
            std::lock_guard<std::mutex> g(sizesMutex);
            deliverySizes.append(n);
        }
        s.exchange().AccumulateResponse(d, n);
    });
    LinkRig rig;   // stops before the receiver goes
    SimModule& module = rig.module;
    rig.backend.setReportDelayUs(300);   // reports trickle in, answers arrive in several deliveries
    commandsOf(rig, s.exchange(), accumulator);
    Slot* status = rig.slot(4);
    rig.conn.Open();

    // Before the module is there nothing is sent, and nothing waited for.
    QCOMPARE(s.exchange().Query("CALL:USER1.PN").outcome, Outcome::LinkLost);
    QVERIFY(rig.backend.outputReports().empty());

    QVERIFY(rig.plugIn());

    // Not logged in yet: the module refuses.
    QCOMPARE(s.exchange().QueryParam("CALL:USER1.PN"), kNotAvailable);

    s.setCurrentPassword(kDefaultPassword);
    s.askPassword = [] { QFAIL("the default password is accepted"); };
    QVERIFY(s.LoginRepeatedly());
    QVERIFY(module.loggedIn());

    module.setParam("CALL:USER1.PN", "+36301234567");
    status->SendText("R");   // status pairs on slot 4 come in between
    {
        std::lock_guard<std::mutex> g(sizesMutex);
        deliverySizes.clear();
    }
    const Bytes answer = s.exchange().QueryParam("CALL:USER1.PN");
    QCOMPARE(answer, Bytes("CALL:USER1.PN=+36301234567\r\n->PASS\r\n:L2 >"));
    QCOMPARE(ParseAnswerValue(answer), Bytes("+36301234567"));
    {
        std::lock_guard<std::mutex> g(sizesMutex);
        QCOMPARE(deliverySizes, (QList<int>{16, 16, 9}));   // one delivery per frame
    }

    const Bytes longValue = "A somewhat longer text, 50 characters or so ......";
    QCOMPARE(s.exchange().SetParam("SMS:Z1A.SMS", longValue), Outcome::Accepted);
    QCOMPARE(module.param("SMS:Z1A.SMS"), longValue);
    QCOMPARE(ParseAnswerValue(s.exchange().QueryParam("SMS:Z1A.SMS")), longValue);

    QCOMPARE(s.exchange().SetParam("CALL:USER1.PN", ""), Outcome::Accepted);
    QCOMPARE(module.param("CALL:USER1.PN"), Bytes());
    QCOMPARE(module.commands().last(), Bytes("sc \"CALL:USER1.PN=#\""));

    QCOMPARE(s.exchange().SetParam("NO:SUCH.KEY", "1"), Outcome::Refused);
    QCOMPARE(s.exchange().QueryParam("NO:SUCH.KEY"), kNotAvailable);
}

void TestExchange::lateDuplicateAnswersOverUsb() {
    Exchange ex;
    ResponseConnection accumulator([&](const uint8_t* d, int32_t n) { ex.AccumulateResponse(d, n); });
    LinkRig rig;
    commandsOf(rig, ex, accumulator);
    QVERIFY(rig.plugIn());
    checkLateDuplicateAnswers(ex, rig.module);
}

// The system refuses the USB write while the module stays attached: the
// command ends at once as a lost link, with no further attempt and nothing
// left waiting for an answer; the connection keeps the system's reason.
void TestExchange::refusedWriteEndsTheCommandAtOnce() {
    timing::hidSearchIntervalMs = 10;
    timing::hidReadTimeoutMs = 20;
    timing::answerWaitMs = 10000;   // waited for, one command would take 40 s
    Exchange ex;
    ResponseConnection accumulator([&](const uint8_t* d, int32_t n) { ex.AccumulateResponse(d, n); });
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    commandsOf(rig, ex, accumulator);
    QVERIFY(rig.plugIn());

    backend.setWriteRefused("Broken pipe");
    QElapsedTimer t;
    t.start();
    QCOMPARE(ex.Query("CALL:USER1.PN").outcome, Outcome::LinkLost);
    QCOMPARE(ex.SetParam("CALL:USER1.PN", "1"), Outcome::LinkLost);
    QVERIFY2(t.elapsed() < timing::answerWaitMs / 2, qPrintable(QString::number(t.elapsed()) + " ms"));
    QCOMPARE(backend.outputReports().size(), size_t(0));   // the first report of each was refused
    QCOMPARE(ex.Unanswered(), 0);
    QCOMPARE(rig.conn.LastError(), QString("Broken pipe"));
    QVERIFY(rig.conn.IsReady());

    // Writes go out again: the next command is answered as ever.
    backend.setWriteRefused({});
    QCOMPARE(ex.SetParam("CALL:USER1.PN", "1"), Outcome::Refused);   // not logged in
}

QTEST_GUILESS_MAIN(TestExchange)
#include "test_exchange.moc"
