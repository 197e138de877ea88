// The simulated module that the demo and the link tests stand on: its login
// rules, its answers in the device's forms, its knobs, and its HID transport
// (frames packed into reports, answer delay, going away after N commands).
#include "core/config/ParamTable.h"
#include "core/link/Slot.h"
#include "core/protocol/Exchange.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/FakeConnection.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <cstring>

namespace {

using Bytes = QByteArray;

struct Captured {
    explicit Captured(SimModule& m) {
        m.setOutput([this](int ch, const Bytes& t) { out.append({ch, t}); });
    }
    Bytes take(int channel) {
        Bytes all;
        for (const auto& [ch, t] : out)
            if (ch == channel) all += t;
        out.clear();
        return all;
    }
    QList<QPair<int, Bytes>> out;
};

// Writes each send of a slot as one output report through the backend.
struct ReportWriter : FakeConnection {
    ReportWriter(HidBackend& b, HidHandle h) {
        onSend = [&b, h](const Bytes& t) {
            SimHidBackend::Report r{};
            r[1] = 1;
            r[2] = uint8_t(t.size());
            std::memcpy(r.data() + 5, t.constData(), size_t(t.size()));
            b.write(h, r.data());
        };
    }
};

// Collects what arrives on one slot of the input reports.
struct SlotReader : FakeConnection {
    explicit SlotReader(int16_t n)
        : slot(n, this),
          end([this](const uint8_t* d, int32_t len) { text.append(reinterpret_cast<const char*>(d), len); }) {
        slot.AddReceiver(&end);
    }
    Slot slot;
    ResponseConnection end;
    Bytes text;
};

}   // namespace

class TestSimModule : public QObject {
    Q_OBJECT

private slots:
    void refusesBeforeLogin();
    void loginQueryAndSet();
    void passwordChange();
    void linesArriveInPieces();
    void silentAndRefusingKnobs();
    void statusRequestGivesAllPairs();
    void answerTravelsInReportsAfterDelay();
    void detachAfterCommands();
};

void TestSimModule::refusesBeforeLogin() {
    SimModule m;
    Captured c(m);
    const Bytes before = m.param("CALL:USER1.PN");
    m.input(SimModule::Commands, "sc CALL:USER1.PN?#\r\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    m.input(SimModule::Commands, "sc \"CALL:USER1.PN=+1#\"\r\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    QCOMPARE(m.param("CALL:USER1.PN"), before);
    // A wrong password keeps it refusing.
    m.input(SimModule::Commands, "set REM:UPW P,0000\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    QVERIFY(!m.loggedIn());
}

void TestSimModule::loginQueryAndSet() {
    SimModule m;
    Captured c(m);
    m.input(SimModule::Commands, "set REM:UPW P,4826\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));
    QVERIFY(m.loggedIn());

    m.setParam("CALL:USER1.PN", "+36301234567");
    m.input(SimModule::Commands, "sc CALL:USER1.PN?#\r\n");
    const Bytes answer = c.take(SimModule::Commands);
    QCOMPARE(answer, Bytes("CALL:USER1.PN=+36301234567\r\n->PASS\r\n:L2 >"));
    QCOMPARE(ParseAnswerValue(answer), Bytes("+36301234567"));

    m.input(SimModule::Commands, "sc \"SMS:Z1A.SMS=a=b #\"\r\n");
    QCOMPARE(ParseAnswerValue(c.take(SimModule::Commands)), Bytes("a=b "));
    QCOMPARE(m.param("SMS:Z1A.SMS"), Bytes("a=b "));

    // Unknown keys are refused with the level-0 prompt.
    m.input(SimModule::Commands, "sc NO:SUCH.KEY?#\r\n");
    QVERIFY(c.take(SimModule::Commands).endsWith(":L0 >"));
    m.input(SimModule::Commands, "sc \"NO:SUCH.KEY=1#\"\r\n");
    QVERIFY(c.take(SimModule::Commands).endsWith(":L0 >"));
    QVERIFY(!m.hasParam("NO:SUCH.KEY"));

    // Every binding has a value to answer with.
    for (const auto& p : settingsParams()) QVERIFY2(m.hasParam(p.key), p.key.constData());
    QCOMPARE(m.commands().size(), 5);
    QCOMPARE(m.commands().first(), Bytes("set REM:UPW P,4826"));
}

void TestSimModule::passwordChange() {
    SimModule m;
    Captured c(m);
    m.input(SimModule::Commands, "set REM:UPW C,1234,5555\n");   // wrong old password
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    QCOMPARE(m.password(), Bytes("4826"));
    QVERIFY(!m.loggedIn());

    m.input(SimModule::Commands, "set REM:UPW C,4826,5555\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));
    QCOMPARE(m.password(), Bytes("5555"));
    QVERIFY(m.loggedIn());

    m.resetSession();   // a new connection
    QVERIFY(!m.loggedIn());
    m.input(SimModule::Commands, "set REM:UPW P,4826\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    m.input(SimModule::Commands, "set REM:UPW P,5555\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));
}

void TestSimModule::linesArriveInPieces() {
    SimModule m;
    Captured c(m);
    m.input(SimModule::Commands, "set REM:UPW");
    m.input(SimModule::Commands, " P,48");
    QVERIFY(c.out.isEmpty());
    m.input(SimModule::Commands, "26\nsc VCALL:GMIC.VOL0?#\r");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));
    m.input(SimModule::Commands, "\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("VCALL:GMIC.VOL0=4\r\n->PASS\r\n:L2 >"));
    // A new connection drops a half line.
    m.input(SimModule::Commands, "sc VCALL:GM");
    m.resetSession();
    m.input(SimModule::Commands, "set REM:UPW P,4826\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));
}

void TestSimModule::silentAndRefusingKnobs() {
    SimModule m;
    Captured c(m);
    SimModule::Knobs k;
    k.silent = true;
    m.setKnobs(k);
    m.input(SimModule::Commands, "set REM:UPW P,4826\n");
    QVERIFY(c.out.isEmpty());
    QCOMPARE(m.commands(), QList<Bytes>{"set REM:UPW P,4826"});   // heard, not answered

    k.silent = false;
    k.refusing = true;
    m.setKnobs(k);
    m.input(SimModule::Commands, "set REM:UPW P,4826\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L2 >"));   // the login still works
    m.input(SimModule::Commands, "sc VCALL:GMIC.VOL0?#\r\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    m.input(SimModule::Commands, "sc \"VCALL:GMIC.VOL0=9#\"\r\n");
    QCOMPARE(c.take(SimModule::Commands), Bytes("\r\n:L0 >"));
    QCOMPARE(m.param("VCALL:GMIC.VOL0"), Bytes("4"));
}

void TestSimModule::statusRequestGivesAllPairs() {
    SimModule m;
    Captured c(m);
    m.input(SimModule::Status, "R");
    const Bytes pairs = c.take(SimModule::Status);
    const QRegularExpression pair("\\{([^=}]+)=([^}]*)\\}");
    QStringList keys;
    for (auto it = pair.globalMatch(QString::fromLatin1(pairs)); it.hasNext();) keys << it.next().captured(1);
    QStringList expected;
    for (const auto& s : statusParams()) expected << QString::fromLatin1(s.key);
    QCOMPARE(keys.size(), 15);
    QCOMPARE(keys, expected);
    QCOMPARE(pairs.count('{'), 15);
    // Nothing else answers on the status channel.
    m.input(SimModule::Status, "x");
    QVERIFY(c.out.isEmpty());
}

void TestSimModule::answerTravelsInReportsAfterDelay() {
    SimModule m;
    SimHidBackend b(m);
    b.setTickIntervalMs(0);
    SimModule::Knobs k;
    k.answerDelayMs = 60;
    m.setKnobs(k);
    b.attach();
    HidHandle r = b.open(SimHidBackend::kPath, false);
    HidHandle w = b.open(SimHidBackend::kPath, true);
    QVERIFY(r && w);
    ReportWriter writer(b, w);
    Slot out(2, &writer);
    SlotReader in(2);

    QElapsedTimer t;
    t.start();
    out.SendText("set REM:UPW P,4826\n");
    QCOMPARE(m.commands(), QList<Bytes>{"set REM:UPW P,4826"});
    uint8_t report[kReportSize];
    QCOMPARE(b.read(r, report, 2000), kReportSize);
    QVERIFY2(t.elapsed() >= 60, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(int(report[0]), 0);
    QCOMPARE(int(report[1]), 1);
    QCOMPARE(int(report[2]), 24);   // one frame of 7 bytes
    in.Receive(report + 5, report[2]);
    QCOMPARE(in.text, Bytes("\r\n:L2 >"));

    // A longer answer: 41 bytes make three frames, 72 bytes, two reports of 60 and 12.
    k.answerDelayMs = 0;
    m.setKnobs(k);
    m.setParam("CALL:USER1.PN", "+36301234567");
    in.text.clear();
    out.SendText("sc CALL:USER1.PN?#\r\n");
    QCOMPARE(b.read(r, report, 2000), kReportSize);
    QCOMPARE(int(report[2]), 60);
    in.Receive(report + 5, report[2]);
    QCOMPARE(b.read(r, report, 2000), kReportSize);
    QCOMPARE(int(report[2]), 12);
    in.Receive(report + 5, report[2]);
    QCOMPARE(in.text, Bytes("CALL:USER1.PN=+36301234567\r\n->PASS\r\n:L2 >"));
    QCOMPARE(b.read(r, report, 0), 0);   // nothing more
    b.close(r);
    b.close(w);
}

void TestSimModule::detachAfterCommands() {
    SimModule m;
    SimHidBackend b(m);
    b.setTickIntervalMs(0);
    SimModule::Knobs k;
    k.detachAfterCommands = 2;
    m.setKnobs(k);
    b.attach();
    HidHandle r = b.open(SimHidBackend::kPath, false);
    HidHandle w = b.open(SimHidBackend::kPath, true);
    ReportWriter writer(b, w);
    Slot out(2, &writer);

    out.SendText("set REM:UPW P,4826\n");
    QVERIFY(b.isAttached());
    out.SendText("sc VCALL:GMIC.VOL0?#\r\n");
    QVERIFY(!b.isAttached());
    uint8_t report[kReportSize];
    QCOMPARE(b.read(r, report, 0), -1);   // the handles are dead, queued answers gone
    std::vector<HidInterface> list;
    QVERIFY(b.enumerate(list));
    QVERIFY(list.empty());
    QVERIFY(b.open(SimHidBackend::kPath, false) == nullptr);
    b.close(r);
    b.close(w);

    // Plugged in again: a new session, logged out, counting afresh.
    b.attach();
    QVERIFY(!m.loggedIn());
    HidHandle w2 = b.open(SimHidBackend::kPath, true);
    QVERIFY(w2);
    ReportWriter writer2(b, w2);
    Slot out2(2, &writer2);
    out2.SendText("set REM:UPW P,4826\n");
    QVERIFY(b.isAttached());
    QVERIFY(m.loggedIn());
    b.close(w2);
}

QTEST_GUILESS_MAIN(TestSimModule)
#include "test_simmodule.moc"
