// The Windows system's side, run under Wine by the Windows test script: the
// serial ports listed from the registry without opening any, and USB
// arrivals told by the configuration manager through the link's arrival
// watch. Elsewhere there is nothing here to test.
//
// The port cases want the script's ports (tools/windows/ports.sh): a port
// registered and mapped to a pseudo-terminal whose other end counts the
// opens of it, one registered with no device behind it, and one mapped but
// not registered.
#include <QTest>

#ifdef _WIN32
#include "core/link/ConnHIDCOM.h"
#include "core/link/HidArrivals_win.h"
#include "core/modem/Tserial.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/LinkRig.h"
#include "support/TimingGuard.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

constexpr GUID kHidClass = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

bool waitUntil(const std::function<bool()>& pred, int ms = 10000, int pollMs = 2) {
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
    }
    return true;
}

// The configuration manager as the tests play it: it keeps what was
// registered, refuses when told to, and calls back on a thread of its own.
struct FakeCm {
    static inline std::mutex m;
    static inline CONFIGRET answer = CR_SUCCESS;
    static inline CM_NOTIFY_FILTER filter{};
    static inline PVOID context = nullptr;
    static inline PCM_NOTIFY_CALLBACK callback = nullptr;
    static inline int registered = 0;
    static inline int unregistered = 0;
    static inline HCMNOTIFICATION handle = reinterpret_cast<HCMNOTIFICATION>(0x4711);

    static void reset(CONFIGRET a = CR_SUCCESS) {
        std::lock_guard<std::mutex> g(m);
        answer = a;
        filter = {};
        context = nullptr;
        callback = nullptr;
        registered = unregistered = 0;
    }
    static CmNotifyCalls calls() {
        CmNotifyCalls c;
        c.registerNotification = &reg;
        c.unregisterNotification = &unreg;
        return c;
    }
    static CONFIGRET WINAPI reg(PCM_NOTIFY_FILTER f, PVOID c, PCM_NOTIFY_CALLBACK cb, PHCMNOTIFICATION h) {
        std::lock_guard<std::mutex> g(m);
        filter = *f;
        if (answer != CR_SUCCESS) return answer;
        ++registered;
        context = c;
        callback = cb;
        *h = handle;
        return CR_SUCCESS;
    }
    static CONFIGRET WINAPI unreg(HCMNOTIFICATION h) {
        std::lock_guard<std::mutex> g(m);
        if (h == handle) ++unregistered;
        return CR_SUCCESS;
    }
    // As the system tells news of a device, on a thread that is not the test's.
    static void tell(CM_NOTIFY_ACTION action) {
        std::thread([action] { callback(handle, context, action, nullptr, 0); }).join();
    }
};

// The simulated module, its arrivals told through the configuration
// manager's watch over the given calls.
class CmSimBackend : public SimHidBackend {
public:
    CmSimBackend(SimModule& module, CmNotifyCalls calls) : SimHidBackend(module), calls_(calls) {}
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return watchHidInterfaces(std::move(arrived), calls_);
    }

private:
    const CmNotifyCalls calls_;
};

// Another backend, each search counted; its arrivals told by the other
// backend's watch, or by the configuration manager's watch over the given calls.
class CountingBackend : public HidBackend {
public:
    explicit CountingBackend(HidBackend& inner, const CmNotifyCalls* calls = nullptr) : inner_(inner), calls_(calls) {}
    bool enumerate(std::vector<HidInterface>& out) override {
        ++searches;
        return inner_.enumerate(out);
    }
    HidHandle open(const std::string& path, bool forWriting) override { return inner_.open(path, forWriting); }
    int read(HidHandle h, uint8_t* report, int timeoutMs) override { return inner_.read(h, report, timeoutMs); }
    bool write(HidHandle h, const uint8_t* report) override { return inner_.write(h, report); }
    void close(HidHandle h) override { inner_.close(h); }
    std::string lastError(HidHandle h) override { return inner_.lastError(h); }
    Failure::Kind lastErrorKind(HidHandle h) override { return inner_.lastErrorKind(h); }
    std::unique_ptr<ArrivalWatch> watchArrivals(std::function<void()> arrived) override {
        return calls_ ? watchHidInterfaces(std::move(arrived), *calls_) : inner_.watchArrivals(std::move(arrived));
    }
    std::atomic<int> searches{0};

private:
    HidBackend& inner_;
    const CmNotifyCalls* const calls_;
};

// The number at the end of a port's name: COM12 → 12.
int numberOf(const QString& port) { return port.mid(port.lastIndexOf(QRegularExpression("\\D")) + 1).toInt(); }

}   // namespace

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void listsRegisteredPortsWithoutOpening();
    void opensAPortNotListed();
    void arrivalStartsTheSearch();
    void withoutTheWatchTheShortSearch();
    void detachedRate();
};

// The script counts the opens of the mapped port while this runs: none.
void TestWindows::listsRegisteredPortsWithoutOpening() {
    const QString mapped = qEnvironmentVariable("KESTRUM_TEST_LISTED_COM");
    const QString bare = qEnvironmentVariable("KESTRUM_TEST_BARE_COM");
    if (mapped.isEmpty() || bare.isEmpty()) QSKIP("the ports script names no registered port");
    const QStringList ports = Tserial::ListPorts();
    const QString all = ports.join(' ');
    QVERIFY2(ports.contains(mapped) && ports.contains(bare), qPrintable(all));
    for (int i = 1; i < ports.size(); ++i) QVERIFY2(numberOf(ports[i - 1]) < numberOf(ports[i]), qPrintable(all));
    QCOMPARE(Tserial::FreePorts(ports), ports);   // as the Modem page asks next
}

// A port that is there but not registered opens by its name (the script
// sees that open, so it would have seen one while listing).
void TestWindows::opensAPortNotListed() {
    const QString port = qEnvironmentVariable("KESTRUM_TEST_UNLISTED_COM");
    if (port.isEmpty()) QSKIP("the ports script names no unregistered port");
    QVERIFY2(!Tserial::ListPorts().contains(port), qPrintable(Tserial::ListPorts().join(' ')));
    Tserial serial;
    QCOMPARE(serial.OpenPort(port, 9600, 0), int(Tserial::OpenOk));
    QVERIFY(serial.IsOpen());
}

// With the watch registered, the link searches once at the start, then only
// when the system tells that a HID interface arrived: a module plugged in
// untold stays unfound while news of something else comes.
void TestWindows::arrivalStartsTheSearch() {
    TimingGuard timing;
    timing::hidSearchIntervalMs = 10;
    timing::hidSafetySearchMs = 60000;
    FakeCm::reset();
    SimUsb sim;
    CmSimBackend backend(sim.module, FakeCm::calls());
    UsbLink link(backend);
    link.conn.Open();
    QVERIFY(waitUntil([&] { return backend.enumerations() == 1; }));
    QCOMPARE(FakeCm::registered, 1);
    QCOMPARE(FakeCm::filter.cbSize, DWORD(sizeof(CM_NOTIFY_FILTER)));
    QCOMPARE(int(FakeCm::filter.FilterType), int(CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE));
    QCOMPARE(FakeCm::filter.Flags, DWORD(0));
    QVERIFY(IsEqualGUID(FakeCm::filter.u.DeviceInterface.ClassGuid, kHidClass));

    backend.attach(false);
    FakeCm::tell(CM_NOTIFY_ACTION_DEVICEINTERFACEREMOVAL);
    FakeCm::tell(CM_NOTIFY_ACTION_DEVICEQUERYREMOVE);
    // Thirty searches' time at the short interval: none comes.
    QTest::qWait(300);
    QCOMPARE(backend.enumerations(), 1);
    QVERIFY(link.states.names().isEmpty());

    FakeCm::tell(CM_NOTIFY_ACTION_DEVICEINTERFACEARRIVAL);
    QVERIFY(link.states.waitCount(1, 10000));
    QCOMPARE(link.states.names(), QStringList{"Attached"});
    QCOMPARE(backend.enumerations(), 2);
    link.conn.Close();
    QCOMPARE(FakeCm::unregistered, 1);   // the watch ends with the reader
}

// Registration refused, or the calls missing (cfgmgr32 before Windows 8):
// no watch, the reason told, and the link searches on the short interval,
// so that a module plugged in untold is found all the same.
void TestWindows::withoutTheWatchTheShortSearch() {
    std::string why;
    QVERIFY(!watchHidInterfaces([] {}, CmNotifyCalls{}, &why));
    QCOMPARE(why, std::string("cfgmgr32.dll has no CM_Register_Notification"));
    FakeCm::reset(CR_OUT_OF_MEMORY);
    QVERIFY(!watchHidInterfaces([] {}, FakeCm::calls(), &why));
    QCOMPARE(why, std::string("CM_Register_Notification refused (CONFIGRET 0x2)"));

    TimingGuard timing;
    timing::hidSearchIntervalMs = 10;
    timing::hidSafetySearchMs = 60000;
    SimUsb sim;
    CmSimBackend backend(sim.module, FakeCm::calls());
    UsbLink link(backend);
    link.conn.Open();
    QVERIFY(waitUntil([&] { return backend.enumerations() >= 1; }));
    backend.attach(false);
    QVERIFY(link.states.waitCount(1, 10000));
    QCOMPARE(link.states.names(), QStringList{"Attached"});
    QCOMPARE(FakeCm::registered, 0);
}

// A measurement, asked for by KESTRUM_MEASURE_DETACHED_S (seconds): what the
// system's configuration manager does with the registration, then the real
// link's searches while no module is attached, each span that long: closed
// (the process's own wake-ups), open as the system has it, and open with a
// watch registered that never tells (the configuration manager's stand-in,
// where the system has none). With KESTRUM_MEASURE_DIR, a file there marks
// each edge of each span (closed-start, closed-end, system-start, ...), and
// the span goes on once the script has counted the process's wake-ups and
// answered with NAME.seen (or after 10 s).
void TestWindows::detachedRate() {
    const int seconds = qEnvironmentVariableIntValue("KESTRUM_MEASURE_DETACHED_S");
    if (seconds <= 0) QSKIP("KESTRUM_MEASURE_DETACHED_S asks for no measurement");
    const QString folder = qEnvironmentVariable("KESTRUM_MEASURE_DIR");
    const auto mark = [&](const QString& name) {
        if (folder.isEmpty()) return;
        const QDir marks(folder);
        QFile f(marks.filePath(name));
        f.open(QIODevice::WriteOnly);
        f.close();
        // Seldom: each look is a wake-up of the process being counted.
        waitUntil([&] { return marks.exists(name + ".seen"); }, 10000, 50);
    };
    std::string why;
    const bool systemWatch = watchHidInterfaces([] {}, systemCmNotifyCalls(), &why) != nullptr;
    qInfo("arrival watch: %s", systemWatch ? "CM_Register_Notification registered" : why.c_str());

    mark("closed-start");
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    mark("closed-end");

    FakeCm::reset();
    const CmNotifyCalls standIn = FakeCm::calls();
    for (const char* span : {"system", "watched"}) {
        const bool own = QByteArray(span) == "watched";
        CountingBackend backend(*hidapiBackend(), own ? &standIn : nullptr);
        ConnHIDCOM conn(&backend);
        conn.Open();
        QVERIFY(waitUntil([&] { return backend.searches >= 1; }));
        const int before = backend.searches;
        mark(QString("%1-start").arg(span));
        QElapsedTimer t;
        t.start();
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        const int searches = backend.searches - before;
        const double s = t.elapsed() / 1000.0;
        mark(QString("%1-end").arg(span));
        conn.Close();
        qInfo("%s: %d searches in %.2f s, %.1f a second (%s)", span, searches, s, searches / s,
              qPrintable(conn.LastError()));
        // With a watch only the safety search comes, once a second.
        if (own || systemWatch) QVERIFY2(searches <= 2 * seconds + 1, qPrintable(QString::number(searches)));
    }
    QCOMPARE(FakeCm::registered, 1);
    QCOMPARE(FakeCm::unregistered, 1);
}

QTEST_GUILESS_MAIN(TestWindows)

#else

class TestWindows : public QObject {
    Q_OBJECT
private slots:
    void windowsOnly() { QSKIP("the Windows system's side"); }
};

QTEST_GUILESS_MAIN(TestWindows)

#endif

#include "test_windows.moc"
