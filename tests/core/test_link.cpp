// The USB link: CRC and slot frames pinned to bytes written out by hand, frame
// detection in the incoming stream, the HID report layout, the device search
// and the reader thread with its stop sequence, run against the simulated module.
#include "core/link/ConnHIDCOM.h"
#include "core/link/HID.h"
#include "core/link/Slot.h"
#include "core/text/Timing.h"
#include "session/DeviceSession.h"
#include "sim/SimHidBackend.h"
#include "sim/SimHidBus.h"
#include "sim/SimModule.h"
#include "support/FakeConnection.h"
#include "support/LinkRig.h"
#include "support/TimingGuard.h"

#ifdef _WIN32
#include "sim/SimHidPipe.h"
#else
#include "sim/SimHidraw.h"

#include <csignal>
#endif

#include <QRegularExpression>
#include <QTemporaryDir>

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

using Bytes = QByteArray;

Bytes bytes(std::initializer_list<int> list) {
    Bytes b;
    for (int v : list) b.append(char(v));
    return b;
}

const uint8_t* u8(const Bytes& b) { return reinterpret_cast<const uint8_t*>(b.constData()); }

// Frames computed by hand (CRC-16/XMODEM over bytes 0..21, low byte first).
// Slot 2, sequence 0, payload "sc A?#\r\n".
const Bytes kFrameQuery = bytes({0x55, 0xAA, 0x00, 0x08, 0x02, 0x00, 0x73, 0x63, 0x20, 0x41, 0x3F, 0x23,
                                 0x0D, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B, 0xA5});
// Slot 4, sequence 7, payload "{RFP=21}".
const Bytes kFrameStatus = bytes({0x55, 0xAA, 0x07, 0x08, 0x04, 0x00, 0x7B, 0x52, 0x46, 0x50, 0x3D, 0x32,
                                  0x31, 0x7D, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xCA, 0x74});
// Slot 2, sequence 0, no payload.
const Bytes kFrameEmpty = bytes({0x55, 0xAA, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x2A, 0x1D});
// "0123456789ABCDEFG" on slot 2: 16 bytes with sequence 0, then "G" with sequence 1.
const Bytes kFrameLong1 = bytes({0x55, 0xAA, 0x00, 0x10, 0x02, 0x00, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35,
                                 0x36, 0x37, 0x38, 0x39, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x62, 0x6B});
const Bytes kFrameLong2 = bytes({0x55, 0xAA, 0x01, 0x01, 0x02, 0x00, 0x47, 0x00, 0x00, 0x00, 0x00, 0x00,
                                 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x31, 0x12});

// A lower connection that records every send as one piece.
using Recorder = FakeConnection;

bool waitUntil(const std::function<bool()>& pred, int ms = 3000) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

SimHidBackend::Report report(int kind, int len, const Bytes& payload) {
    SimHidBackend::Report r{};
    r[1] = uint8_t(kind);
    r[2] = uint8_t(len);
    std::memcpy(r.data() + 5, payload.constData(), size_t(std::min<int>(int(payload.size()), kReportPayload)));
    return r;
}

Bytes payloadOf(const SimHidBackend::Report& r) { return Bytes(reinterpret_cast<const char*>(r.data()) + 5, r[2]); }

// A platform that gives no device list, with or without a reason.
class NoDeviceList : public HidBackend {
public:
    explicit NoDeviceList(std::string reason) : reason_(std::move(reason)) {}
    bool enumerate(std::vector<HidInterface>&) override { return false; }
    HidHandle open(const std::string&, bool) override { return nullptr; }
    int read(HidHandle, uint8_t*, int) override { return -1; }
    bool write(HidHandle, const uint8_t*) override { return false; }
    void close(HidHandle) override {}
    std::string lastError(HidHandle) override { return reason_; }

private:
    std::string reason_;
};

// Three simulated modules on one bus, each with its own module behind it.
struct ThreeModules {
    ThreeModules() {
        for (auto* b : {&b0, &b1, &b2}) b->setTickIntervalMs(0);
    }
    SimModule m0, m1, m2;
    SimHidBackend b0{m0, 0}, b1{m1, 1}, b2{m2, 2};
    SimHidBus bus{{&b0, &b1, &b2}};
};

QStringList pathsOf(const std::vector<HidInterface>& list) {
    QStringList paths;
    for (const auto& i : list) paths << QString::fromStdString(i.path);
    return paths;
}

}   // namespace

class TestLink : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;   // init() changes timing

private slots:
    void init();

    // CRC and frames
    void crcCheckValue();
    void slotSendsGoldenFrame();
    void deviceFramerMatchesGoldenFrames();
    void seventeenBytesMakeTwoFrames();
    void nothingToSendSendsNothing();
    void sequenceRunsAndWrapsPerSlot();
    void names();

    // Frame detection
    void frameFoundInPieces_data();
    void frameFoundInPieces();
    void corruptedFrameDropped();
    void lengthAboveSixteenNeverAccepted();
    void emptyPayloadDelivered();
    void slotsSeeOnlyTheirFrames();
    void slotLeavesItsLowerWhenDestroyed();
    void removalWaitsForTheDeliveryUnderWay();
    void removalFromInsideADelivery();

    // HID object
    void writeReportLayout();
    void writeWhileDetachedSendsNothing();
    void refusedWriteReachesTheSender();
    void findDevice();
    void matchThatCannotBeOpenedStaysDetached();
    void failureReasonsReachTheConnection();
    void failureKinds();

    // Reader thread
    void inputReportsFiltered();
    void attachAndDetachAnnouncedOnce();
    void slotFrameIsThreeReports();
    void stopWhileAttached();
    void stopWhileDetached();
    void destructorStopsAndReopenWorks();
    void arrivalsStartTheSearch();
    void closeDropsAWaitingHandOff();
    void aQuickReplugIsLoggedInAgain();
    void aMissedArrivalIsFoundBySafetySearch();
    void silentArrivalsFallBackToTheShortSearch();

    // The module's interface read and written directly (a hidraw node on
    // Linux, overlapped I/O on Windows) over its stand-in
    void nodeReportsBothWays();
    void nodeReadEndsOnlyByTheStop();
    void nodeDetachAndFailuresKeepTheirReason();
    void hidrawNodesToldWithoutUdev();

    // Several modules
    void listModules();
    void noDeviceListKeepsTheReason();
    void listFailureReachesTheConnection();
    void wantedModuleGetsTheCommands_data();
    void wantedModuleGetsTheCommands();
    void wantedModuleThroughTheSession();
    void wantedModuleAbsentIsNotFound();
    void busMemberDetachesAlone();
};

void TestLink::init() {
    // Searches every 10 ms whether an arrival was told or not: the tests
    // below count searches that find nothing.
    timing::hidSearchIntervalMs = 10;
    timing::hidSafetySearchMs = 10;
    timing::hidReadTimeoutMs = 20;
}

void TestLink::crcCheckValue() {
    const Bytes check = "123456789";
    QCOMPARE(Crc16Xmodem(u8(check), 9), uint16_t(0x31C3));
    // Continued over two pieces it gives the same value.
    QCOMPARE(Crc16Xmodem(u8(check) + 4, 5, Crc16Xmodem(u8(check), 4)), uint16_t(0x31C3));
    QCOMPARE(Crc16Xmodem(u8(check), 0), uint16_t(0));
}

void TestLink::slotSendsGoldenFrame() {
    Recorder lower;
    Slot slot(2, &lower);
    slot.SendText("sc A?#\r\n");
    QCOMPARE(lower.sent.size(), 3);
    QCOMPARE(lower.sent[0].size(), 6);
    QCOMPARE(lower.sent[1].size(), 16);
    QCOMPARE(lower.sent[2].size(), 2);
    QCOMPARE(lower.sent.join(), kFrameQuery);
}

void TestLink::deviceFramerMatchesGoldenFrames() {
    const Bytes q = "sc A?#\r\n";
    const auto f1 = BuildFrame(2, 0, u8(q), int(q.size()));
    QCOMPARE(Bytes(reinterpret_cast<const char*>(f1.data()), kFrameSize), kFrameQuery);
    const Bytes s = "{RFP=21}";
    const auto f2 = BuildFrame(4, 7, u8(s), int(s.size()));
    QCOMPARE(Bytes(reinterpret_cast<const char*>(f2.data()), kFrameSize), kFrameStatus);
    const auto f3 = BuildFrame(2, 0, nullptr, 0);
    QCOMPARE(Bytes(reinterpret_cast<const char*>(f3.data()), kFrameSize), kFrameEmpty);
}

void TestLink::seventeenBytesMakeTwoFrames() {
    Recorder lower;
    Slot slot(2, &lower);
    slot.SendText("0123456789ABCDEF");   // exactly one frame
    QCOMPARE(lower.sent.size(), 3);
    QCOMPARE(lower.sent.join(), kFrameLong1);

    Recorder lower2;
    Slot slot2(2, &lower2);
    slot2.SendText("0123456789ABCDEFG");
    QCOMPARE(lower2.sent.size(), 6);
    const QList<int> sizes = {6, 16, 2, 6, 16, 2};
    for (int i = 0; i < 6; ++i) QCOMPARE(lower2.sent[i].size(), sizes[i]);
    QCOMPARE(uint8_t(lower2.sent[0][3]), uint8_t(16));
    QCOMPARE(uint8_t(lower2.sent[3][3]), uint8_t(1));
    QCOMPARE(lower2.sent[4], Bytes("G") + Bytes(15, '\0'));
    QCOMPARE(lower2.sent.mid(0, 3).join(), kFrameLong1);
    QCOMPARE(lower2.sent.mid(3, 3).join(), kFrameLong2);
}

void TestLink::nothingToSendSendsNothing() {
    Recorder lower;
    Slot slot(2, &lower);
    const uint8_t b = 'x';
    slot.SendData(&b, 0);
    slot.SendData(&b, -5);
    slot.SendText(Bytes());
    QVERIFY(lower.sent.isEmpty());
    QCOMPARE(slot.TxSequence(), uint8_t(0));
}

void TestLink::sequenceRunsAndWrapsPerSlot() {
    Recorder lower;
    Slot s2(2, &lower);
    Slot s4(4, &lower);
    const uint8_t b = 'x';
    for (int i = 0; i < 300; ++i) {
        s2.SendData(&b, 1);
        if (i % 3 == 0) s4.SendData(&b, 1);
    }
    QList<int> seq2, seq4;
    for (int i = 0; i < lower.sent.size(); i += 3) {
        const Bytes& h = lower.sent[i];
        QCOMPARE(h.size(), 6);
        (h[4] == 2 ? seq2 : seq4).append(uint8_t(h[2]));
    }
    QCOMPARE(seq2.size(), 300);
    QCOMPARE(seq4.size(), 100);
    for (int i = 0; i < 300; ++i) QCOMPARE(seq2[i], i % 256);
    for (int i = 0; i < 100; ++i) QCOMPARE(seq4[i], i);
    // A two-frame send counts twice.
    Slot s3(3, &lower);
    s3.SendText(Bytes(17, 'y'));
    QCOMPARE(s3.TxSequence(), uint8_t(2));
}

void TestLink::names() {
    Recorder lower;
    QCOMPARE(Slot(3, &lower).GetName(), Bytes("Slot[3]"));
    QCOMPARE(Slot(2, &lower).GetName(), Bytes("Slot[2]"));
    LinkRig rig;
    QCOMPARE(rig.conn.GetName(), Bytes("HID"));
}

void TestLink::frameFoundInPieces_data() {
    QTest::addColumn<Bytes>("stream");
    QTest::addColumn<QList<int>>("cuts");   // sizes of the deliveries; the rest comes last

    QTest::newRow("whole") << kFrameQuery << QList<int>{};
    QTest::newRow("byte by byte") << kFrameQuery << QList<int>(23, 1);
    QTest::newRow("6/16/2") << kFrameQuery << QList<int>{6, 16};
    QTest::newRow("odd pieces") << kFrameQuery << QList<int>{5, 10};
    // Stray bytes that look like the start of a frame come first.
    QTest::newRow("stray bytes") << bytes({0x00, 0x55, 0xAA, 0x00, 0x55, 0x55, 0xAA, 0x03, 0x08, 0x02}) + kFrameQuery
                                 << QList<int>{3, 9, 4};
    QTest::newRow("after another slot's frame") << kFrameStatus + kFrameQuery << QList<int>{30};
}

void TestLink::frameFoundInPieces() {
    QFETCH(Bytes, stream);
    QFETCH(QList<int>, cuts);
    Recorder lower;
    Slot slot(2, &lower);
    Collector c;
    slot.AddReceiver(&c.end);
    int pos = 0;
    for (int n : cuts) {
        lower.feed(stream.mid(pos, n));
        pos += n;
    }
    lower.feed(stream.mid(pos));
    QCOMPARE(c.got(), QList<Bytes>{"sc A?#\r\n"});
}

void TestLink::corruptedFrameDropped() {
    for (int i = 0; i < kFrameSize; ++i) {
        Recorder lower;
        Slot slot(2, &lower);
        Collector c;
        slot.AddReceiver(&c.end);
        Bytes bad = kFrameQuery;
        bad[i] = char(bad[i] ^ 0x10);
        lower.feed(bad);
        QVERIFY2(c.got().isEmpty(), qPrintable(QString("corrupted byte %1 accepted").arg(i)));
        // The next good frame still gets through.
        lower.feed(kFrameQuery);
        QCOMPARE(c.got(), QList<Bytes>{"sc A?#\r\n"});
    }
    // A frame cut short at any point, then a good one: the good one arrives.
    for (int cut = 1; cut < kFrameSize; ++cut) {
        Recorder lower;
        Slot slot(2, &lower);
        Collector c;
        slot.AddReceiver(&c.end);
        lower.feed(kFrameQuery.left(cut) + kFrameQuery);
        QVERIFY2(c.got() == QList<Bytes>{"sc A?#\r\n"}, qPrintable(QString("cut after %1 bytes").arg(cut)));
    }
    {
        // A payload that holds a header of this slot does not hide the frame after it.
        Recorder lower;
        Slot slot(2, &lower);
        Collector c;
        slot.AddReceiver(&c.end);
        const Bytes inner = bytes({0x55, 0xAA, 0x00, 0x05, 0x02, 0x00, 'x'});
        const auto f = BuildFrame(2, 7, u8(inner), int(inner.size()));
        const Bytes tricky(reinterpret_cast<const char*>(f.data()), kFrameSize);
        lower.feed(tricky + kFrameQuery);
        QCOMPARE(c.got(), (QList<Bytes>{bytes({0x55, 0xAA, 0x00, 0x05, 0x02, 0x00, 'x'}), "sc A?#\r\n"}));
    }
    // Two good frames back to back arrive in order.
    Recorder lower;
    Slot slot(2, &lower);
    Collector c;
    slot.AddReceiver(&c.end);
    lower.feed(kFrameLong1 + kFrameLong2);
    QCOMPARE(c.got(), (QList<Bytes>{"0123456789ABCDEF", "G"}));
}

void TestLink::lengthAboveSixteenNeverAccepted() {
    Recorder lower;
    Slot slot(2, &lower);
    Collector c;
    slot.AddReceiver(&c.end);
    for (int n = 17; n <= 255; ++n) {
        Bytes f = kFrameQuery;
        f[3] = char(n);
        const uint16_t crc = Crc16Xmodem(u8(f), 22);
        f[22] = char(crc & 0xFF);
        f[23] = char(crc >> 8);
        lower.feed(f);
    }
    QVERIFY(c.got().isEmpty());
}

void TestLink::emptyPayloadDelivered() {
    Recorder lower;
    Slot slot(2, &lower);
    Collector c;
    slot.AddReceiver(&c.end);
    lower.feed(kFrameEmpty);
    QCOMPARE(c.got(), QList<Bytes>{Bytes()});
}

void TestLink::slotsSeeOnlyTheirFrames() {
    Recorder lower;
    Slot s2(2, &lower), s4(4, &lower);
    Collector c2, c4;
    s2.AddReceiver(&c2.end);
    s4.AddReceiver(&c4.end);
    lower.feed(kFrameStatus + kFrameQuery + kFrameStatus);
    QCOMPARE(c2.got(), QList<Bytes>{"sc A?#\r\n"});
    QCOMPARE(c4.got(), (QList<Bytes>{"{RFP=21}", "{RFP=21}"}));

    // The high byte of the slot number counts too: slot 0x0202 is not slot 2.
    Recorder lower2;
    Slot s514(0x0202, &lower2);
    Collector c514;
    s514.AddReceiver(&c514.end);
    lower2.feed(kFrameQuery);
    QVERIFY(c514.got().isEmpty());
    const auto f = BuildFrame(0x0202, 0, u8(Bytes("hi")), 2);
    lower2.feed(Bytes(reinterpret_cast<const char*>(f.data()), kFrameSize));
    QCOMPARE(c514.got(), QList<Bytes>{"hi"});
}

void TestLink::slotLeavesItsLowerWhenDestroyed() {
    Recorder lower;
    auto slot = lower.CreateSlot(2);
    QCOMPARE(lower.Receivers().size(), size_t(1));
    QCOMPARE(slot->Lower(), &lower);
    slot.reset();
    QVERIFY(lower.Receivers().empty());
    lower.feed(kFrameQuery);   // nobody left to feed
}

// A subscriber is removed on one thread while a delivery on another is inside
// it: the removal returns only once the delivery has left, so what was
// removed may go at once. Here the slot goes, whose receive loop runs on
// after its subscriber returns (bytes follow the frame).
void TestLink::removalWaitsForTheDeliveryUnderWay() {
    Recorder lower;
    std::unique_ptr<Slot> slot = lower.CreateSlot(4);
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, released = false;
    ResponseConnection slow([&](const uint8_t*, int32_t) {
        std::unique_lock<std::mutex> lk(m);
        inside = true;
        cv.notify_all();
        cv.wait(lk, [&] { return released; });
    });
    slot->AddReceiver(&slow);
    std::atomic<bool> removing{false}, removed{false};
    std::thread reader, remover;
    // However the test ends (a failed check returns at once), the threads end first.
    const auto release = qScopeGuard([&] {
        {
            std::lock_guard<std::mutex> g(m);
            released = true;
        }
        cv.notify_all();
        for (std::thread* t : {&reader, &remover})
            if (t->joinable()) t->join();
    });
    reader = std::thread([&] { lower.feed(kFrameStatus + Bytes(30, 'x')); });
    {
        std::unique_lock<std::mutex> lk(m);
        QVERIFY(cv.wait_for(lk, std::chrono::seconds(5), [&] { return inside; }));
    }
    remover = std::thread([&] {
        removing = true;
        slot.reset();
        removed = true;
    });
    QVERIFY(waitUntil([&] { return removing.load(); }));
    QVERIFY2(!waitUntil([&] { return removed.load(); }, 200), "the removal did not wait for the delivery");
    {
        std::lock_guard<std::mutex> g(m);
        released = true;
    }
    cv.notify_all();
    QVERIFY(waitUntil([&] { return removed.load(); }, 5000));
    QVERIFY(lower.Receivers().empty());
}

// A subscriber that removes itself, and one after it, from inside its own
// delivery: nothing waits for that delivery, and the one removed after it
// gets nothing more, not even the rest of this delivery.
void TestLink::removalFromInsideADelivery() {
    Recorder lower;
    Collector after;
    ResponseConnection* self = nullptr;
    int calls = 0;
    ResponseConnection leaving([&](const uint8_t*, int32_t) {
        ++calls;
        lower.RemoveReceiver(self);
        lower.RemoveReceiver(&after.end);
    });
    self = &leaving;
    lower.AddReceiver(&leaving);
    lower.AddReceiver(&after.end);
    lower.feed("a");
    lower.feed("b");
    QCOMPARE(calls, 1);
    QVERIFY(after.got().isEmpty());
    QVERIFY(lower.Receivers().empty());
}

void TestLink::writeReportLayout() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    backend.attach();
    HID hid(backend);
    StateRecorder states;
    hid.StateListeners().Add(&states);
    hid.OpenDevice();
    QVERIFY(hid.Attached());
    QCOMPARE(states.names(), QStringList{"Attached"});

    Bytes data;
    for (int i = 0; i < 61; ++i) data.append(char(0xA0 + i % 50));

    QVERIFY(hid.Write(u8(data), 60));
    auto reports = backend.outputReports();
    QCOMPARE(reports.size(), size_t(1));
    SimHidBackend::Report expect{};
    expect[1] = 1;
    expect[2] = 60;
    std::memcpy(expect.data() + 5, data.constData(), 60);
    QVERIFY(reports[0] == expect);

    backend.clearOutputReports();
    QVERIFY(hid.Write(u8(data), 61));
    reports = backend.outputReports();
    QCOMPARE(reports.size(), size_t(2));
    QVERIFY(reports[0] == expect);
    SimHidBackend::Report second{};
    second[1] = 1;
    second[2] = 1;
    second[5] = uint8_t(data[60]);
    QVERIFY(reports[1] == second);   // rest zero

    backend.clearOutputReports();
    QVERIFY(hid.Write(u8(data), 0));
    QVERIFY(hid.Write(u8(data), -1));
    QVERIFY(backend.outputReports().empty());
}

void TestLink::writeWhileDetachedSendsNothing() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    HID hid(backend);
    const Bytes data = "sc A?#\r\n";
    // Never found.
    QVERIFY(!hid.Write(u8(data), int32_t(data.size())));
    QVERIFY(backend.outputReports().empty());
    // Opened, then pulled out: the write handle fails, and the write says so
    // with the system's reason.
    backend.attach();
    hid.OpenDevice();
    QVERIFY(hid.Attached());
    backend.detach();
    QVERIFY(!hid.Write(u8(data), int32_t(data.size())));
    QVERIFY(backend.outputReports().empty());
    QCOMPARE(hid.LastFailure().text, QString("the module was detached"));
}

// A write the system refuses while the module stays attached: the first
// report that fails ends the send, the sender learns it through the slot,
// and the connection keeps the reason.
void TestLink::refusedWriteReachesTheSender() {
    LinkRig rig;
    Slot* slot = rig.slot(2);
    QVERIFY(rig.plugIn());
    slot->SendText("sc A?#\r\n");
    QCOMPARE(slot->SendFailures(), 0u);
    rig.backend.setWriteRefused("Broken pipe");
    slot->SendText("sc A?#\r\n");
    QVERIFY(slot->SendFailures() > 0);
    QCOMPARE(rig.conn.SendFailures(), slot->SendFailures());
    QCOMPARE(rig.conn.LastError(), QString("Broken pipe"));
    QVERIFY(rig.conn.IsReady());   // the reader reads on
    rig.backend.setWriteRefused({});
    const unsigned failures = slot->SendFailures();
    slot->SendText("sc B?#\r\n");
    QCOMPARE(slot->SendFailures(), failures);
    QCOMPARE(rig.module.commands(), (QList<Bytes>{"sc A?#", "sc B?#"}));
}

void TestLink::findDevice() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    HID hid(backend);
    backend.setOtherInterfaces({{"USB\\VID_1234&PID_0001", "other"},
                                {"HID\\VID_04D8&PID_0055", "wrong-product"},
                                {"HID\\PID_0054&VID_04D8", "swapped"}});
    QVERIFY(!hid.FindDevice());
    QVERIFY(hid.DevicePath().empty());

    backend.setOtherInterfaces({{"USB\\VID_1234&PID_0001", "other"},
                                {"HID\\VID_04D8&PID_0054&MI_00", "upper"},
                                {"hid\\vid_04d8&pid_0054", "lower"}});
    QVERIFY(hid.FindDevice());
    QCOMPARE(hid.DevicePath(), std::string("upper"));

    backend.setOtherInterfaces({{"hid\\vid_04d8&pid_0054&col02", "first"}});
    backend.attach();   // the module's own interface comes after
    QVERIFY(hid.FindDevice());
    QCOMPARE(hid.DevicePath(), std::string("first"));
}

void TestLink::matchThatCannotBeOpenedStaysDetached() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    backend.attach();
    backend.setOtherInterfaces({{"HID\\VID_04D8&PID_0054", "cannot-open"}});
    HID hid(backend);
    StateRecorder states;
    hid.StateListeners().Add(&states);
    hid.OpenDevice();
    QVERIFY(!hid.Attached());
    QVERIFY(hid.ReadHandle() == nullptr);
    QVERIFY(hid.WriteHandle() == nullptr);
    QVERIFY(states.names().isEmpty());
}

void TestLink::failureReasonsReachTheConnection() {
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    ConnHIDCOM& conn = rig.conn;
    backend.attach();
    backend.setOtherInterfaces({{"HID\\VID_04D8&PID_0054", "cannot-open"}});
    conn.Open();
    // A matching device that cannot be opened: seen, with the backend's reason.
    QVERIFY(waitUntil([&] { return conn.FoundButNotOpened(); }));
    QCOMPARE(conn.LastError(), QString("No such device: cannot-open"));

    // The module opens: nothing failed any more.
    backend.setOtherInterfaces({});
    QVERIFY(rig.states.waitCount(1));
    QVERIFY(!conn.FoundButNotOpened());
    QVERIFY(conn.LastError().isEmpty());

    // Pulled out: the read that ended the link keeps its reason while the
    // module is searched for again.
    backend.detach();
    QVERIFY(rig.states.waitCount(2));
    const int n = backend.enumerations();
    QVERIFY(waitUntil([&] { return backend.enumerations() >= n + 2; }));
    QCOMPARE(conn.LastError(), QString("the module was detached"));
    QVERIFY(!conn.FoundButNotOpened());
}

// Each failure has the kind the code acts on, as the system tells it where
// it does: a module held by another program is busy, one it may not open
// (or whose cause it does not tell) is no access, a failed write is I/O
// unless the device went, a failed read is the device gone, and no module
// is not found. The words stay the system's.
void TestLink::failureKinds() {
    using Kind = Failure::Kind;
    // The simulated module, its system telling the kind of the latest failure.
    class Telling : public SimHidBackend {
    public:
        using SimHidBackend::SimHidBackend;
        Kind lastErrorKind(HidHandle) override { return told; }
        std::atomic<Kind> told{Kind::None};
    };
    SimModule module;
    Telling backend(module);
    backend.setTickIntervalMs(0);
    backend.attach();
    HID hid(backend);

    backend.setOpenRefused("Device or resource busy");
    backend.told = Kind::Busy;
    hid.OpenDevice();
    QCOMPARE(hid.LastFailure(), Failure(Kind::Busy, "Device or resource busy"));
    backend.setOpenRefused("Permission denied");
    backend.told = Kind::None;
    hid.OpenDevice();
    QCOMPARE(hid.LastFailure(), Failure(Kind::NoAccess, "Permission denied"));

    backend.setOpenRefused({});
    hid.OpenDevice();
    QVERIFY(hid.Attached());
    QCOMPARE(hid.LastFailure(), Failure());
    backend.setWriteRefused("Broken pipe");
    QVERIFY(!hid.Write(u8("x"), 1));
    QCOMPARE(hid.LastFailure(), Failure(Kind::Io, "Broken pipe"));
    backend.told = Kind::Gone;
    QVERIFY(!hid.Write(u8("x"), 1));
    QCOMPARE(hid.LastFailure(), Failure(Kind::Gone, "Broken pipe"));
    backend.told = Kind::None;
    backend.detach();
    uint8_t report[kReportSize];
    QCOMPARE(hid.Read(report, 0), -1);
    hid.ReadFailed(false);
    QCOMPARE(hid.LastFailure(), Failure(Kind::Gone, "the module was detached"));
    // Searched for again and not there: the words of why it went stay.
    QVERIFY(!hid.FindDevice());
    QCOMPARE(hid.LastFailure(), Failure(Kind::NotFound, "the module was detached"));

    // No device list: the system's kind, or I/O where it tells none.
    backend.setListRefused("Permission denied");
    std::vector<HidInterface> list;
    Failure why;
    backend.told = Kind::NoAccess;
    QVERIFY(!ListModules(backend, list, &why));
    QCOMPARE(why, Failure(Kind::NoAccess, "Permission denied"));
    backend.told = Kind::None;
    QVERIFY(!ListModules(backend, list, &why));
    QCOMPARE(why, Failure(Kind::Io, "Permission denied"));
#ifdef __linux__
    // hidapi keeps words only: the system's number of a failed open is kept
    // beside them.
    QVERIFY(hidapiBackend()->open("/dev/kestrum-no-such-device", false) == nullptr);
    QCOMPARE(hidapiBackend()->lastErrorKind(nullptr), Kind::NotFound);
#endif
}

void TestLink::inputReportsFiltered() {
    Collector c;
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    rig.conn.AddReceiver(&c.end);
    QVERIFY(rig.plugIn());

    const Bytes sixty(60, 'z');
    backend.injectInputReport(report(0, 3, "BAD"));             // wrong kind
    backend.injectInputReport(report(2, 3, "BAD"));             // wrong kind
    backend.injectInputReport(report(1, 61, Bytes(60, 'L')));   // longer than a report holds
    backend.injectInputReport(report(1, 255, Bytes(60, 'L')));
    backend.injectInputReport(report(1, 0, "IGNORED"));   // empty payload
    backend.injectInputReport(report(1, 60, sixty));
    backend.injectInputReport(report(1, 3, "END"));
    QVERIFY(c.waitCount(3));
    QCOMPARE(c.got(), (QList<Bytes>{Bytes(), sixty, "END"}));
}

void TestLink::attachAndDetachAnnouncedOnce() {
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    ConnHIDCOM& conn = rig.conn;
    StateRecorder& states = rig.states;
    QVERIFY(!conn.IsOpen());
    QVERIFY(!conn.IsReady());
    conn.Open();
    QVERIFY(conn.IsOpen());
    // Searching, nothing found, nothing announced.
    QVERIFY(waitUntil([&] { return backend.enumerations() >= 3; }));
    QVERIFY(states.names().isEmpty());
    QVERIFY(!conn.IsReady());

    backend.attach();
    QVERIFY(states.waitCount(1));
    QCOMPARE(states.names(), QStringList{"Attached"});
    QVERIFY(conn.IsReady());

    backend.detach();
    QVERIFY(states.waitCount(2));
    QVERIFY(!conn.IsReady());
    QVERIFY(conn.IsOpen());
    // Several further searches announce nothing more.
    const int n = backend.enumerations();
    QVERIFY(waitUntil([&] { return backend.enumerations() >= n + 3; }));
    QCOMPARE(states.names(), (QStringList{"Attached", "Detached"}));

    backend.attach();
    QVERIFY(states.waitCount(3));
    QVERIFY(conn.IsReady());
    // Reads time out regularly while nothing arrives; none of that is announced.
    QVERIFY(!states.waitCount(4, 3 * timing::hidReadTimeoutMs));
    QCOMPARE(states.names(), (QStringList{"Attached", "Detached", "Attached"}));
}

void TestLink::slotFrameIsThreeReports() {
    LinkRig rig;
    Slot* slot = rig.slot(2);
    QVERIFY(!slot->IsOpen());
    rig.conn.Open();
    QVERIFY(slot->IsOpen());
    QVERIFY(rig.plugIn());
    slot->SendText("sc A?#\r\n");
    const auto reports = rig.backend.outputReports();
    QCOMPARE(reports.size(), size_t(3));
    QCOMPARE(int(reports[0][2]), 6);
    QCOMPARE(int(reports[1][2]), 16);
    QCOMPARE(int(reports[2][2]), 2);
    QCOMPARE(payloadOf(reports[0]) + payloadOf(reports[1]) + payloadOf(reports[2]), kFrameQuery);
    // The device took it as a command line.
    QCOMPARE(rig.module.commands(), QList<Bytes>{"sc A?#"});
}

void TestLink::stopWhileAttached() {
    // Repeated, because the reader must not find the device again while it stops.
    for (int round = 0; round < 10; ++round) {
        LinkRig rig;
        rig.backend.attach();
        QVERIFY(rig.openAttached());
        QElapsedTimer t;
        t.start();
        rig.conn.Close();
        QVERIFY2(t.elapsed() < 1000, qPrintable(QString("stop took %1 ms").arg(t.elapsed())));
        QCOMPARE(rig.states.names(), (QStringList{"Attached", "Detached", "Detached"}));
        QVERIFY(!rig.conn.IsOpen());
        QVERIFY(!rig.conn.IsReady());
        // Nothing is sent once stopped.
        rig.conn.SendText("x");
        QVERIFY(rig.backend.outputReports().empty());
    }
}

void TestLink::stopWhileDetached() {
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    ConnHIDCOM& conn = rig.conn;
    StateRecorder& states = rig.states;
    conn.Open();
    QVERIFY(waitUntil([&] { return backend.enumerations() >= 2; }));
    QElapsedTimer t;
    t.start();
    conn.Close();
    QVERIFY2(t.elapsed() < 1000, qPrintable(QString("stop took %1 ms").arg(t.elapsed())));
    QCOMPARE(states.names(), QStringList{"Detached"});
    QVERIFY(!conn.IsOpen());
    conn.Close();   // a second stop does nothing
    QCOMPARE(states.names(), QStringList{"Detached"});
}

// The system tells arrivals through the backend: with the safety search a
// minute away, the module is found when it is plugged in, with one search
// then and one at the start, none in between.
void TestLink::arrivalsStartTheSearch() {
    timing::hidSafetySearchMs = 60000;
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    ConnHIDCOM& conn = rig.conn;
    StateRecorder& states = rig.states;
    conn.Open();
    QVERIFY(waitUntil([&] { return backend.enumerations() == 1; }));
    QCOMPARE(backend.arrivalWatches(), 1);
    backend.attach();
    QVERIFY(states.waitCount(1));
    QCOMPARE(backend.enumerations(), 2);
    backend.detach();
    QVERIFY(states.waitCount(2));
    backend.attach();
    QVERIFY(states.waitCount(3));
    QCOMPARE(backend.enumerations(), 3);
    QCOMPARE(states.names(), (QStringList{"Attached", "Detached", "Attached"}));
    conn.Close();
    QCOMPARE(backend.arrivalWatches(), 0);   // the watch ends with the reader
}

// The UI thread that closes the session takes no hand-off any more: a
// reader waiting to hand "Attached" over goes on at once, instead of after
// the hand-off's time limit.
void TestLink::closeDropsAWaitingHandOff() {
    timing::handOffTimeoutMs = 10000;
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    DeviceSession::Options o;
    o.backend = &backend;
    DeviceSession session(o);
    backend.attach();
    // No events are processed here, so the reader waits on this thread.
    QVERIFY(waitUntil([&] { return session.UsbReady(); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));   // into its wait
    QElapsedTimer t;
    t.start();
    session.Close();
    QVERIFY2(t.elapsed() < 5000, qPrintable(QString("the close took %1 ms").arg(t.elapsed())));
}

// The module unplugged and plugged straight back in, and the UI thread
// looks at the link for the detach only once the module is back (a loaded
// machine): the new module is logged out, and gets its login all the same.
void TestLink::aQuickReplugIsLoggedInAgain() {
    SimUsb sim;
    SimModule& module = sim.module;
    SimHidBackend& backend = sim.backend;
    DeviceSession::Options o;
    o.backend = &backend;
    DeviceSession session(o);
    backend.attach();
    QTRY_VERIFY_WITH_TIMEOUT(module.loggedIn(), 20000);
    bool held = false;
    QObject::connect(&session, &DeviceSession::linkChanged, [&](LinkEvent event) {
        if (event != LinkEvent::Detached || held) return;
        held = true;
        backend.attach();   // back before the UI thread looks at the link
        QVERIFY(waitUntil([&] { return session.UsbReady(); }, 20000));
    });
    backend.detach();
    QTRY_VERIFY_WITH_TIMEOUT(held, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(module.loggedIn(), 20000);
}

void TestLink::aMissedArrivalIsFoundBySafetySearch() {
    timing::hidSafetySearchMs = 30;
    LinkRig rig;
    rig.conn.Open();
    QVERIFY(waitUntil([&] { return rig.backend.enumerations() >= 1; }));
    rig.backend.attach(false);   // plugged in, but the system said nothing
    QVERIFY(rig.states.waitCount(1));
    QCOMPARE(rig.states.names(), QStringList{"Attached"});
}

// The system's watch that never tells (udev without its daemon): once a
// search on the interval has found a module it did not tell of, the link
// searches on the short interval, so the next one is found at once; once the
// watch tells something, the safety interval serves again.
void TestLink::silentArrivalsFallBackToTheShortSearch() {
    timing::hidSafetySearchMs = 30;
    LinkRig rig;
    rig.conn.Open();
    QVERIFY(waitUntil([&] { return rig.backend.enumerations() >= 1; }));
    rig.backend.attach(false);
    QVERIFY(rig.states.waitCount(1));   // by the safety search
    timing::hidSafetySearchMs = 60000;
    rig.backend.detach();
    QVERIFY(rig.states.waitCount(2));
    rig.backend.attach(false);
    QVERIFY(rig.states.waitCount(3, 20000));   // the safety search is a minute away
    rig.backend.detach();
    QVERIFY(rig.states.waitCount(4));
    rig.backend.attach();   // told
    QVERIFY(rig.states.waitCount(5));
    rig.backend.detach();
    QVERIFY(rig.states.waitCount(6));
    rig.backend.attach(false);
    QVERIFY(!rig.states.waitCount(7, 200));
    QCOMPARE(rig.states.names(), (QStringList{"Attached", "Detached", "Attached", "Detached", "Attached", "Detached"}));
}

namespace {
// The interface's stand-in: a socketpair for a hidraw node, a named pipe for
// a Windows interface.
#ifdef _WIN32
using NodeStandIn = SimHidPipe;
#else
using NodeStandIn = SimHidraw;
#endif

// A device report without its ID byte: kind, length, three bytes unused, payload.
std::array<uint8_t, kReportSize - 1> nodeReport(const Bytes& payload) {
    std::array<uint8_t, kReportSize - 1> r{};
    r[0] = 1;
    r[1] = uint8_t(payload.size());
    std::memcpy(r.data() + 4, payload.constData(), size_t(payload.size()));
    return r;
}
}   // namespace

// Reports reach the subscribers whole (a hidraw node gives them without
// their ID byte, Windows with it), and what goes out is the 65-byte report,
// ID 0 first, as hidapi wrote it.
void TestLink::nodeReportsBothWays() {
    QTemporaryDir dir;
    NodeStandIn nodes(dir.path().toStdString());
    QVERIFY(nodes.plugIn());
    UsbLink link(nodes);
    Collector c;
    link.conn.AddReceiver(&c.end);
    QVERIFY(link.openAttached());
    QCOMPARE(link.conn.DevicePath(), nodes.path());
    QVERIFY(nodes.sendReport(nodeReport("ok").data()));
    QVERIFY(nodes.sendReport(nodeReport(Bytes(60, 'z')).data()));
    QVERIFY(c.waitCount(2));
    QCOMPARE(c.got(), (QList<Bytes>{"ok", Bytes(60, 'z')}));

    link.conn.SendText("sc A?#");
    const std::string out = nodes.receiveReport();
    QCOMPARE(out.size(), size_t(kReportSize));
    Bytes expect = bytes({0, 1, 6, 0, 0}) + "sc A?#";
    expect.append(Bytes(kReportSize - expect.size(), '\0'));
    QCOMPARE(Bytes(out.data(), int(out.size())), expect);
}

// With the module attached and nothing arriving, the reader sleeps in one
// read with no time limit; the stop wakes it, and that read ends with
// nothing read, not as a failure.
void TestLink::nodeReadEndsOnlyByTheStop() {
    QTemporaryDir dir;
    NodeStandIn nodes(dir.path().toStdString());
    QVERIFY(nodes.plugIn());
    UsbLink link(nodes);
    QVERIFY(link.openAttached());
    QVERIFY(waitUntil([&] { return nodes.readsBegun() >= 1; }));
    // Five of the old reads' time limits: still the one read.
    QVERIFY(!waitUntil([&] { return nodes.readsBegun() > 1 || nodes.readsEnded() > 0; }, 5 * timing::hidReadTimeoutMs));
    link.conn.Close();
    QVERIFY(!link.conn.IsOpen());
    QCOMPARE(nodes.readsBegun(), 1);
    QCOMPARE(nodes.readsEnded(), 1);
    QCOMPARE(nodes.lastRead(), 0);
    QCOMPARE(link.states.names(), (QStringList{"Attached", "Detached", "Detached"}));
    QVERIFY(link.conn.LastError().isEmpty());   // a stop is no failure

    // Opened again, the interface is read again and stops again the same way.
    QVERIFY(nodes.plugIn());
    link.conn.Open();
    QVERIFY(link.states.waitCount(4));
    QVERIFY(waitUntil([&] { return nodes.readsBegun() >= 2; }));
    link.conn.Close();
    QCOMPARE(nodes.readsEnded(), 2);
    QCOMPARE(nodes.lastRead(), 0);
}

// Pulled out, the interface fails the read under way: Detached, with the
// reason the user sees; a write the system refuses keeps the system's words.
void TestLink::nodeDetachAndFailuresKeepTheirReason() {
    QTemporaryDir dir;
    NodeStandIn nodes(dir.path().toStdString());
    QVERIFY(nodes.plugIn());
    UsbLink link(nodes);
    QVERIFY(link.openAttached());
    QVERIFY(waitUntil([&] { return nodes.readsBegun() >= 1; }));
    nodes.pullOut();
    QVERIFY(link.states.waitCount(2));
    QCOMPARE(link.states.names(), (QStringList{"Attached", "Detached"}));
#ifdef _WIN32
    // Windows's words for the broken pipe, with the call that met them.
    QVERIFY2(QRegularExpression(R"(^(ReadFile|hid_read_timeout/GetOverlappedResult): \(0x[0-9A-F]{8}\) \S)")
                 .match(link.conn.LastError())
                 .hasMatch(),
             qPrintable(link.conn.LastError()));
#else
    QCOMPARE(link.conn.LastError(), QString("device disconnected"));
#endif
    QCOMPARE(link.conn.LastFailure().kind, Failure::Kind::Gone);
    QVERIFY(!link.conn.IsReady());

    // Opened, then the device's end gone before anything is read: the write
    // fails with the system's reason (a socket's or a pipe's here, where a
    // hidraw node says "No such device").
#ifndef _WIN32
    const auto pipeSignal = std::signal(SIGPIPE, SIG_IGN);
    const auto restore = qScopeGuard([&] { std::signal(SIGPIPE, pipeSignal); });
#endif
    QVERIFY(nodes.plugIn());
    HID hid(nodes);
    hid.OpenDevice();
    QVERIFY(hid.Attached());
    nodes.pullOut();
    QVERIFY(!hid.Write(u8("x"), 1));
#ifdef _WIN32
    QVERIFY2(QRegularExpression(R"(^(WriteFile|hid_write/GetOverlappedResult): \(0x[0-9A-F]{8}\) \S)")
                 .match(hid.LastFailure().text)
                 .hasMatch(),
             qPrintable(hid.LastFailure().text));
#else
    QCOMPARE(hid.LastFailure().text, QString::fromLocal8Bit(std::strerror(EPIPE)));
#endif
    QCOMPARE(hid.LastFailure().kind, Failure::Kind::Io);
    // Opening an interface that is not there says which and why.
    const std::string absent = dir.filePath("hidraw9").toStdString();
    QVERIFY(nodes.open(absent, false) == nullptr);
#ifdef _WIN32
    QVERIFY2(QString::fromStdString(nodes.lastError(nullptr)).startsWith("open_device: (0x00000002) "),
             nodes.lastError(nullptr).c_str());
#else
    QCOMPARE(nodes.lastError(nullptr), "Failed to open a device with path '" + absent + "': " + std::strerror(ENOENT));
    QCOMPARE(nodes.lastErrorKind(nullptr), Failure::Kind::NotFound);
#endif
}

// Where no udev daemon runs, the kernel's own hidraw node is the news: the
// watch tells a node named hidraw* appearing, nothing else; over the link a
// module plugged in is found although the safety search is a minute away.
void TestLink::hidrawNodesToldWithoutUdev() {
#ifndef __linux__
    QSKIP("hidraw is Linux's");
#else
    QTemporaryDir dir;
    std::atomic<int> told{0};
    HidrawNodes where;
    where.dir = dir.path().toStdString();
    where.udevDaemon = false;
    auto watch = watchHidraw([&] { ++told; }, where);
    QVERIFY(watch);
    for (const char* name : {"tty5", "hidraw3"}) {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    QVERIFY(waitUntil([&] { return told > 0; }));
    QCOMPARE(told.load(), 1);   // the names come in order: tty5 was passed over
    watch.reset();

    timing::hidSafetySearchMs = 60000;
    SimHidraw nodes(dir.path().toStdString());
    UsbLink link(nodes);
    link.conn.Open();
    QVERIFY(waitUntil([&] { return nodes.enumerations() >= 1; }));
    QVERIFY(nodes.plugIn());
    QVERIFY(link.states.waitCount(1, 20000));
    QCOMPARE(link.states.names(), QStringList{"Attached"});
#endif
}

void TestLink::destructorStopsAndReopenWorks() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    backend.attach();
    StateRecorder states;
    {
        Collector c;
        ConnHIDCOM conn(&backend);
        conn.StateListeners().Add(&states);
        conn.Open();
        QVERIFY(states.waitCount(1));
        // After a stop the connection can be opened again and reads once more.
        conn.Close();
        QCOMPARE(states.names().size(), 3);
        conn.AddReceiver(&c.end);
        conn.Open();
        QVERIFY(states.waitCount(4));
        QCOMPARE(states.names().at(3), QString("Attached"));
        backend.injectInputReport(report(1, 2, "ok"));
        QVERIFY(c.waitCount(1));
        QCOMPARE(c.got(), QList<Bytes>{"ok"});
    }   // the destructor stops the reader
    QCOMPARE(states.names(), (QStringList{"Attached", "Detached", "Detached", "Attached", "Detached", "Detached"}));
}

void TestLink::listModules() {
    SimUsb sim;
    SimHidBackend& backend = sim.backend;
    backend.setOtherInterfaces({{"USB\\VID_1234&PID_0001", "other", "X1", "Mouse"},
                                {"HID\\VID_04D8&PID_0054&MI_00", "twice", "", "Col 1"},
                                {"HID\\VID_04D8&PID_0055", "wrong-product"},
                                {"HID\\VID_04D8&PID_0054&MI_01", "twice", "", "Col 2"}});
    backend.attach();
    std::vector<HidInterface> list{{"stale", "stale"}};
    QVERIFY(ListModules(backend, list));
    QCOMPARE(pathsOf(list), (QStringList{"twice", "sim:brisal-0"}));
    QCOMPARE(list[0].product, std::string("Col 1"));   // the first of a path is kept
    QCOMPARE(list[1].hardwareId, std::string(SimHidBackend::kHardwareId));
    QCOMPARE(list[1].serial, std::string("SIM0001"));
    QCOMPARE(list[1].product, std::string("Brisal GSM module (simulated)"));

    // On a bus: every attached member, in order, each with its serial number.
    ThreeModules t;
    t.b1.setOtherInterfaces({{"USB\\VID_1234&PID_0001", "other"}});
    t.b0.attach();
    t.b1.attach();
    t.b2.attach();
    QVERIFY(ListModules(t.bus, list));
    QCOMPARE(pathsOf(list), (QStringList{"sim:brisal-0", "sim:brisal-1", "sim:brisal-2"}));
    QCOMPARE(list[1].serial, std::string("SIM0002"));
    QCOMPARE(list[2].serial, std::string("SIM0003"));
    QCOMPARE(t.b1.path(), list[1].path);
    QCOMPARE(t.b1.serial(), list[1].serial);
    t.b1.detach();
    QVERIFY(ListModules(t.bus, list));
    QCOMPARE(pathsOf(list), (QStringList{"sim:brisal-0", "sim:brisal-2"}));
}

void TestLink::noDeviceListKeepsTheReason() {
    std::vector<HidInterface> list{{"stale", "stale"}};
    Failure why;
    NoDeviceList denied("Permission denied");
    QVERIFY(!ListModules(denied, list, &why));
    QVERIFY(list.empty());
    QCOMPARE(why.text, QString("Permission denied"));
    HID hid(denied);
    QVERIFY(!hid.FindDevice());
    QCOMPARE(hid.LastFailure().text, QString("Permission denied"));

    NoDeviceList silent("");
    QVERIFY(!ListModules(silent, list, &why));
    QCOMPARE(why.text, QString("cannot list the HID devices"));
    QVERIFY(!ListModules(silent, list));   // no reason asked for
}

// The platform lists no devices at all (hidapi that cannot start): the
// reader keeps the system's reason, as the user is to see it. An empty list
// is no failure.
void TestLink::listFailureReachesTheConnection() {
    LinkRig rig;
    SimHidBackend& backend = rig.backend;
    ConnHIDCOM& conn = rig.conn;
    backend.attach();
    backend.setListRefused("resolve DLL functions: the function was not found");
    std::vector<HidInterface> list;
    Failure why;
    QVERIFY(!ListModules(backend, list, &why));
    QCOMPARE(why.text, QString("resolve DLL functions: the function was not found"));
    conn.Open();
    QVERIFY(waitUntil([&] { return !conn.LastError().isEmpty(); }));
    QCOMPARE(conn.LastError(), QString("resolve DLL functions: the function was not found"));
    QVERIFY(!conn.IsReady());

    backend.setListRefused({});
    QVERIFY(waitUntil([&] { return conn.IsReady(); }));
    QVERIFY(conn.LastError().isEmpty());
#ifdef __linux__
    // hidapi on this machine: whatever is plugged in, listing works (no
    // device at all is an empty list, which hidapi tells in words).
    QVERIFY(hidapiBackend()->enumerate(list));
#endif
}

void TestLink::wantedModuleGetsTheCommands_data() {
    QTest::addColumn<QString>("wanted");
    QTest::newRow("serial number") << "SIM0002";
    QTest::newRow("path") << "sim:brisal-1";
}

void TestLink::wantedModuleGetsTheCommands() {
    QFETCH(QString, wanted);
    ThreeModules t;
    t.b0.attach();
    t.b1.attach();
    t.b2.attach();
    UsbLink link(t.bus, wanted.toStdString());
    Slot* slot = link.slot(2);
    QVERIFY(link.openAttached());
    QCOMPARE(link.conn.DevicePath(), std::string("sim:brisal-1"));
    slot->SendText("sc A?#\r\n");
    QCOMPARE(t.m1.commands(), QList<Bytes>{"sc A?#"});
    QVERIFY(t.m0.commands().isEmpty());
    QVERIFY(t.m2.commands().isEmpty());
    QVERIFY(t.b0.outputReports().empty());
    QVERIFY(t.b2.outputReports().empty());
}

void TestLink::wantedModuleThroughTheSession() {
    ThreeModules t;
    t.b0.attach();
    t.b1.attach();
    DeviceSession::Options o;
    o.backend = &t.bus;
    o.device = "SIM0002";
    DeviceSession session(o);
    // On attaching the session logs in: to the second module only.
    QTRY_VERIFY_WITH_TIMEOUT(t.m1.loggedIn(), 3000);
    QVERIFY(session.UsbReady());
    QVERIFY(t.m0.commands().isEmpty());
    QVERIFY(t.b0.outputReports().empty());
}

void TestLink::wantedModuleAbsentIsNotFound() {
    ThreeModules t;
    t.b0.setOpenRefused("Permission denied");   // the first module, were it taken instead
    t.b0.attach();
    t.b1.attach();
    UsbLink link(t.bus, "SIM0003");
    ConnHIDCOM& conn = link.conn;
    conn.Open();
    QVERIFY(waitUntil([&] { return t.b1.enumerations() >= 3; }));
    QVERIFY(link.states.names().isEmpty());
    QVERIFY(!conn.IsReady());
    QVERIFY(!conn.FoundButNotOpened());
    QVERIFY(conn.LastError().isEmpty());

    // It arrives, but cannot be opened: the bus keeps the member's reason.
    t.b2.setOpenRefused("Device or resource busy");
    t.b2.attach();
    QVERIFY(waitUntil([&] { return conn.FoundButNotOpened(); }));
    QCOMPARE(conn.LastError(), QString("Device or resource busy"));
    QVERIFY(link.states.names().isEmpty());

    t.b2.setOpenRefused({});
    QVERIFY(link.states.waitCount(1));
    QCOMPARE(conn.DevicePath(), std::string("sim:brisal-2"));
    QVERIFY(!conn.FoundButNotOpened());
}

void TestLink::busMemberDetachesAlone() {
    ThreeModules t;
    t.b0.attach();
    t.b1.attach();
    UsbLink link0(t.bus, "SIM0001"), link1(t.bus, "SIM0002");
    StateRecorder &states0 = link0.states, &states1 = link1.states;
    ConnHIDCOM &conn0 = link0.conn, &conn1 = link1.conn;
    Slot* slot1 = link1.slot(2);
    conn0.Open();
    conn1.Open();
    QVERIFY(states0.waitCount(1));
    QVERIFY(states1.waitCount(1));

    t.b0.detach();
    QVERIFY(states0.waitCount(2));
    QCOMPARE(states0.names(), (QStringList{"Attached", "Detached"}));
    QCOMPARE(conn0.LastError(), QString("the module was detached"));
    // The other one reads on and takes commands.
    const int n = t.b1.enumerations();
    QVERIFY(waitUntil([&] { return t.b1.enumerations() >= n + 2; }));   // the first searches again
    QCOMPARE(states1.names(), QStringList{"Attached"});
    QVERIFY(conn1.IsReady());
    slot1->SendText("sc A?#\r\n");
    QCOMPARE(t.m1.commands(), QList<Bytes>{"sc A?#"});
    QVERIFY(t.m0.commands().isEmpty());

    t.b0.attach();
    QVERIFY(states0.waitCount(3));
    QCOMPARE(conn0.DevicePath(), std::string("sim:brisal-0"));
}

QTEST_GUILESS_MAIN(TestLink)
#include "test_link.moc"
