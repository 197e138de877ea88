// The USB link at rest, at attach, at detach and at close:
//  - wake-ups a second while no module is attached (context switches of all
//    threads, from /proc/self/task/*/status), for the link alone with the real
//    hidapi backend and with the simulated one, and for the whole window;
//  - plugging the simulated module in until the window has logged in, against
//    the login's link floor (1 ms per HID report each way);
//  - pulling it out until the window shows it detached;
//  - the link's stop: closing the connection idle, attached and detached;
//  - the program's end: this benchmark started again as a child process that
//    runs the window as the program does (its close ending the event loop,
//    SIGTERM closing it), timed from the close until the child is reaped,
//    while logged in and idle and during a Read;
//  - the HID reader (hidReader*): wake-ups a second with the module attached
//    and idle, and the reader's stop, over the simulated module and over the
//    real hidraw reader with a socketpair standing in for the node (no HID
//    device can be made here: no uhid), each against a bare thread blocked
//    the same way; kestrum-cli's end (SIGTERM until reaped) against a bare
//    Qt program's; a module plugged in while udev's monitor tells nothing
//    (this machine runs no udev daemon), with the node watch and without it.
#include "core/link/ConnHIDCOM.h"
#include "core/link/HID.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimHidraw.h"
#include "sim/SimModule.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"
#include "ui/window/TransferButtons.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProgressBar>
#include <QSettings>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace {

long contextSwitches() {
    long n = 0;
    for (const QString& task : QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f("/proc/self/task/" + task + "/status");
        if (!f.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                n += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return n;
}

// Wake-ups a second while `wait` lets the time pass.
double wakeUps(int seconds, const std::function<void(int ms)>& wait) {
    wait(300);   // settle
    const long before = contextSwitches();
    wait(seconds * 1000);
    return double(contextSwitches() - before) / seconds;
}

void sleepFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void runEvents(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double msSince(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e6; }

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double median() {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0 : v[v.size() / 2];
    }
    double worst() const { return v.empty() ? 0 : *std::max_element(v.begin(), v.end()); }
};

// CLOCK_MONOTONIC is the same clock in every process of the machine.
qint64 monotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void tellParent(const QByteArray& line) {
    const QByteArray l = line + '\n';
    if (::write(STDOUT_FILENO, l.constData(), size_t(l.size())) < 0) {}
}

// The child: the window as the program runs it (main.cpp), over the simulated
// module. It tells its parent "ready" once logged in (mode idle), or starts a
// Read and tells "reading" once 20 settings are in (mode read), or closes the
// window itself after 87 settings and tells when ("closed NS", mode
// read-close). Its exit code is the program's.
int windowChild(int argc, char** argv, const QByteArray& mode) {
    QApplication app(argc, argv);
    SimModule module;
    SimHidBackend sim(module);
    sim.setTickIntervalMs(0);
    sim.setReportDelayUs(1000);   // a Read of 205 settings takes about a second
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    TFormMain::Options o;
    o.backend = &sim;
    o.full = true;
    o.languageStore = &store;
    TFormMain window(o);
    window.confirmDiscard = [] { return true; };
    CloseOnSignals closeOnSignals(&window);
    window.show();
    sim.attach();
    auto* bar = window.findChild<QProgressBar*>("ProgressBarRW");
    bool told = false;
    QObject::connect(bar, &QProgressBar::valueChanged, &window, [&](int done) {
        if (mode == "read" && done >= 20 && !told) {
            told = true;
            tellParent("reading");
        } else if (mode == "read-close" && done >= 87 && !told) {
            told = true;
            tellParent("closed " + QByteArray::number(monotonicNs()));
            window.close();
        }
    });
    QTimer loggedIn;
    loggedIn.setInterval(5);
    QObject::connect(&loggedIn, &QTimer::timeout, &window, [&] {
        QWidget* read = window.findChild<QWidget*>("btnRead");
        if (!read->isEnabled()) return;
        loggedIn.stop();
        if (mode == "idle")
            tellParent("ready");
        else
            window.buttons().btnReadClick();
    });
    loggedIn.start();
    const int rc = app.exec();
    window.FormClose();
    return rc;
}

struct Child {
    pid_t pid = -1;
    int out = -1;      // its stdout
    QByteArray line;   // the line it told
};

Child spawnWindow(const char* self, const char* mode) {
    Child c;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return c;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.push_back(*e);
    char platform[] = "QT_QPA_PLATFORM=offscreen";
    env.push_back(platform);
    env.push_back(nullptr);
    char window[] = "--window";
    char* args[] = {const_cast<char*>(self), window, const_cast<char*>(mode), nullptr};
    if (::posix_spawn(&c.pid, self, &actions, nullptr, args, env.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    c.out = pipeFds[0];
    return c;
}

// The child's next line, waited for at most 30 s.
bool readLine(Child& c) {
    c.line.clear();
    char ch;
    while (true) {
        pollfd p{c.out, POLLIN, 0};
        if (::poll(&p, 1, 30000) <= 0 || ::read(c.out, &ch, 1) != 1) return false;
        if (ch == '\n') return true;
        c.line += ch;
    }
}

// Waits until the child has ended and is reaped, at most 30 s (then it is
// killed): the time it was reaped, or -1.
qint64 reap(Child& c, int* status) {
    const int pidfd = int(::syscall(SYS_pidfd_open, c.pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && ::poll(&p, 1, 30000) == 1;
    if (!ended) ::kill(c.pid, SIGKILL);
    ::waitpid(c.pid, status, 0);
    const qint64 reaped = monotonicNs();
    if (pidfd >= 0) ::close(pidfd);
    ::close(c.out);
    return ended ? reaped : -1;
}

// One end of the program in the given mode: from the close (SIGTERM sent, or
// the window's own close) until the child is reaped, in ms; -1 when it did
// not end by itself within 30 s or ended with another exit code than 0.
double programEnd(const char* self, const char* mode) {
    Child c = spawnWindow(self, mode);
    if (c.pid < 0 || !readLine(c)) {
        if (c.pid > 0) ::kill(c.pid, SIGKILL);
        int status;
        reap(c, &status);
        return -1;
    }
    qint64 closed;
    if (c.line.startsWith("closed ")) {
        closed = c.line.mid(7).toLongLong();
    } else {
        closed = monotonicNs();
        ::kill(c.pid, SIGTERM);
    }
    int status = 0;
    const qint64 reaped = reap(c, &status);
    if (reaped < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
    return double(reaped - closed) / 1e6;
}

// ---- The HID reader ----

// The real hidraw reader with its reads limited to hidReadTimeoutMs and
// never woken, as the reader was before it could wake them (and as it is
// over a backend that cannot).
class TimedHidraw : public SimHidraw {
public:
    using SimHidraw::SimHidraw;
    bool canWakeReads() override { return false; }
    void wakeRead(HidHandle) override {}
};

// When the link last told Attached and Detached.
class LinkTimes : public ChangeStateEvent {
public:
    void StateChanged(LinkEvent event) override {
        {
            std::lock_guard<std::mutex> g(m_);
            (event == LinkEvent::Attached ? attached_ : detached_) = monotonicNs();
        }
        cv_.notify_all();
    }
    // The time of the first Attached (or Detached) after `since`; -1 when
    // none came within 30 s.
    qint64 waitAttached(qint64 since) { return wait(attached_, since); }
    qint64 waitDetached(qint64 since) { return wait(detached_, since); }

private:
    qint64 wait(const qint64& when, qint64 since) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, std::chrono::seconds(30), [&] { return when >= since; }) ? when : -1;
    }
    std::mutex m_;
    std::condition_variable cv_;
    qint64 attached_ = -1, detached_ = -1;
};

// The floor of a reader: a thread blocked in poll() on an eventfd, as the
// hidraw reader blocks, woken and joined.
struct BareReader {
    BareReader()
        : fd(::eventfd(0, EFD_CLOEXEC)), thread([this] {
              pollfd p{fd, POLLIN, 0};
              while (::poll(&p, 1, -1) < 0 && errno == EINTR) {}
          }) {}
    ~BareReader() {
        if (thread.joinable()) stop();
        ::close(fd);
    }
    void stop() {
        const uint64_t one = 1;
        if (::write(fd, &one, sizeof one) < 0) {}
        thread.join();
    }
    int fd;
    std::thread thread;
};

// A connection open with its module attached, over one of the backends.
struct AttachedLink {
    explicit AttachedLink(HidBackend* backend) : conn(backend) {
        conn.StateListeners().Add(&times);
        const qint64 t = monotonicNs();
        conn.Open();
        times.waitAttached(t);
    }
    LinkTimes times;
    ConnHIDCOM conn;
};

// Wake-ups a second with the module attached and nothing arriving: the link
// alone over each backend, against this process with nothing open and with
// a bare thread blocked in poll().
void hidReaderWakeUps(int seconds) {
    const double floor = wakeUps(seconds, sleepFor);
    double bare;
    {
        BareReader r;
        bare = wakeUps(seconds, sleepFor);
    }
    SimModule module;
    SimHidBackend sim(module);
    sim.setTickIntervalMs(0);
    sim.attach();
    double simulated, node, timed;
    {
        AttachedLink l(&sim);
        simulated = wakeUps(seconds, sleepFor);
    }
    QTemporaryDir dir;
    {
        SimHidraw nodes(dir.path().toStdString());
        nodes.plugIn();
        AttachedLink l(&nodes);
        node = wakeUps(seconds, sleepFor);
    }
    {
        TimedHidraw nodes(dir.path().toStdString());
        nodes.plugIn();
        AttachedLink l(&nodes);
        timed = wakeUps(seconds, sleepFor);
    }
    std::printf(
        "attached and idle, link alone:    simulated %6.1f, hidraw reader %6.1f wake-ups/s;"
        " floor: nothing open %.1f, a bare thread in poll() %.1f; reads limited to %d ms, never"
        " woken (the reader before) %.1f\n",
        simulated, node, floor, bare, timing::hidReadTimeoutMs, timed);
}

// The stop of a reader with its module attached, from Close until it
// returned, against waking and joining a bare thread blocked in poll().
void hidReaderStop(int rounds) {
    Stats bare, simulated, node, timed;
    SimModule module;
    SimHidBackend sim(module);
    sim.setTickIntervalMs(0);
    sim.attach();
    QTemporaryDir dir;
    SimHidraw nodes(dir.path().toStdString());
    TimedHidraw timedNodes(dir.path().toStdString());
    const auto stop = [](HidBackend* backend, Stats& stats) {
        AttachedLink l(backend);
        sleepFor(20);   // into its read
        QElapsedTimer t;
        t.start();
        l.conn.Close();
        stats.add(msSince(t));
    };
    for (int i = 0; i < rounds; ++i) {
        {
            BareReader r;
            sleepFor(20);
            QElapsedTimer t;
            t.start();
            r.stop();
            bare.add(msSince(t));
        }
        stop(&sim, simulated);
        nodes.plugIn();
        stop(&nodes, node);
        timedNodes.plugIn();
        stop(&timedNodes, timed);
    }
    std::printf(
        "stop of the reader, attached:  simulated median %5.2f ms, worst %5.2f; hidraw reader median"
        " %5.2f ms, worst %5.2f; floor (a bare thread in poll()) median %5.2f ms, worst %5.2f;"
        " reads limited to %d ms, never woken: median %5.2f ms, worst %5.2f\n",
        simulated.median(), simulated.worst(), node.median(), node.worst(), bare.median(), bare.worst(),
        timing::hidReadTimeoutMs, timed.median(), timed.worst());
}

// A bare Qt program for kestrum-cli's end: SIGTERM ends its event loop.
int bareChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    static int pipeFds[2];
    if (::pipe(pipeFds) != 0) return 1;
    std::signal(SIGTERM, [](int) {
        const char b = 0;
        if (::write(pipeFds[1], &b, 1) < 0) {}
    });
    QSocketNotifier n(pipeFds[0], QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    tellParent("ready");
    return app.exec();
}

// From SIGTERM until reaped, in ms: a program started with args once it has
// told a line on its standard output; -1 when it did not tell one or end
// by itself within 30 s.
double endOnSigterm(const char* program, std::vector<const char*> args) {
    Child c;
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    args.insert(args.begin(), program);
    args.push_back(nullptr);
    if (::posix_spawn(&c.pid, program, &actions, nullptr, const_cast<char**>(args.data()), environ) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    c.out = pipeFds[0];
    if (c.pid < 0) {
        ::close(c.out);
        return -1;
    }
    int status;
    if (!readLine(c)) {
        ::kill(c.pid, SIGKILL);
        reap(c, &status);
        return -1;
    }
    const qint64 sent = monotonicNs();
    ::kill(c.pid, SIGTERM);
    const qint64 reaped = reap(c, &status);
    return reaped < 0 ? -1 : double(reaped - sent) / 1e6;
}

// kestrum-cli's end while it shows the simulated module's log (attached,
// logged in): SIGTERM until reaped, against a bare Qt program's.
void cliExit(const char* self, int rounds) {
    const QString cli = QCoreApplication::applicationDirPath() + "/kestrum-cli";
    if (!QFile::exists(cli)) {
        std::printf("kestrum-cli's end: not measured (%s not built)\n", qPrintable(cli));
        return;
    }
    const QByteArray cliPath = cli.toLocal8Bit();
    Stats bare, tool;
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        const double b = endOnSigterm(self, {"--bare"});
        const double c = endOnSigterm(cliPath.constData(), {"log", "--demo"});
        if (b < 0 || c < 0) {
            ++failed;
            continue;
        }
        bare.add(b);
        tool.add(c);
    }
    std::printf(
        "kestrum-cli log --demo, SIGTERM until reaped: median %6.1f ms, worst %6.1f; bare Qt program"
        " median %6.1f ms, worst %6.1f; %.2fx%s\n",
        tool.median(), tool.worst(), bare.median(), bare.worst(), tool.median() / bare.median(),
        failed ? " (some runs failed)" : "");
}

// A module plugged in while udev's monitor tells nothing: from the plug-in
// until Attached, with the hidraw nodes watched and without (the first found
// by the safety search, those after it by the short search it falls back
// to), against the search and open themselves.
void hidArrivalSilentUdev(int rounds) {
    QTemporaryDir dir;
    Stats watched, fallback, floor;
    double first = -1;
    for (bool nodesWatched : {true, false}) {
        SimHidraw nodes(dir.path().toStdString());
        nodes.setNodesWatched(nodesWatched);
        LinkTimes times;
        ConnHIDCOM conn(&nodes);
        conn.StateListeners().Add(&times);
        conn.Open();
        while (nodes.enumerations() < 1) sleepFor(1);
        for (int i = 0; i < rounds; ++i) {
            const qint64 t = monotonicNs();
            nodes.plugIn();
            const qint64 attached = times.waitAttached(t);
            const double ms = attached < 0 ? -1 : double(attached - t) / 1e6;
            if (nodesWatched)
                watched.add(ms);
            else if (i == 0)
                first = ms;
            else
                fallback.add(ms);
            const qint64 pulled = monotonicNs();
            nodes.pullOut();
            times.waitDetached(pulled);
            sleepFor(15);
        }
    }
    for (int i = 0; i < rounds; ++i) {
        SimHidraw nodes(dir.path().toStdString());
        nodes.plugIn();
        HID hid(nodes);
        QElapsedTimer t;
        t.start();
        hid.OpenDevice();
        floor.add(msSince(t));
    }
    std::printf(
        "plugged in, udev silent: nodes watched median %5.2f ms, worst %5.2f; not watched: first %.0f ms"
        " (the safety search), then median %5.2f ms, worst %5.2f (the short search); floor (search and"
        " open) median %5.3f ms\n",
        watched.median(), watched.worst(), first, fallback.median(), fallback.worst(), floor.median());
}

// 5. The HID reader's rows.
void hidReaderRows(const char* self, int seconds, int rounds) {
    hidReaderWakeUps(seconds);
    hidReaderStop(rounds);
    cliExit(self, rounds);
    hidArrivalSilentUdev(rounds);
}

}   // namespace

// bench_link [SECONDS [hid]]: wake-ups measured over SECONDS (default 5);
// "hid": the HID reader's rows alone.
int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--window") == 0) return windowChild(argc, argv, argv[2]);
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0) return bareChild(argc, argv);
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rounds = 20;
    if (argc > 2 && std::strcmp(argv[2], "hid") == 0) {
        hidReaderRows(argv[0], seconds, rounds);
        return 0;
    }

    // 1. At rest, no module attached.
    {
        ConnHIDCOM c(hidapiBackend());
        c.Open();
        std::printf("detached, link alone, hidapi:     %7.1f wake-ups/s\n", wakeUps(seconds, sleepFor));
    }
    SimModule module;
    SimHidBackend sim(module);
    {
        ConnHIDCOM c(&sim);
        c.Open();
        std::printf("detached, link alone, simulated:  %7.1f wake-ups/s\n", wakeUps(seconds, sleepFor));
    }
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    TFormMain::Options o;
    o.backend = &sim;
    o.languageStore = &store;
    auto w = std::make_unique<TFormMain>(o);
    w->confirmDiscard = [] { return true; };   // no question box
    w->show();
    std::printf("detached, the whole window:       %7.1f wake-ups/s\n", wakeUps(seconds, runEvents));

    // 2. Attach -> logged in, against the login's reports at 1 ms each.
    sim.setReportDelayUs(1000);
    sim.setTickIntervalMs(0);   // no status or log traffic in the way
    QWidget* button = w->findChild<QWidget*>("btReadVols");
    Stats attach, floor, detach;
    // The UI thread sleeps until an event comes, as in the program: a loop
    // that spins would take a core from the reader on this 2-core machine.
    const auto waitUntil = [](const std::function<bool()>& done) {
        while (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    };
    for (int i = 0; i < rounds; ++i) {
        const long out0 = long(sim.outputReports().size()), in0 = sim.inputReportsRead();
        QElapsedTimer t;
        t.start();
        sim.attach();
        waitUntil([&] { return button->isEnabled(); });
        attach.add(msSince(t));
        floor.add(double(long(sim.outputReports().size()) - out0 + sim.inputReportsRead() - in0));
        runEvents(50);   // the status request after the login goes by
        t.restart();
        sim.detach();
        waitUntil([&] { return !button->isEnabled() && !w->session().UsbReady(); });
        detach.add(msSince(t));
    }
    const double attachMs = attach.median(), floorMs = floor.median();
    std::printf("attach -> logged in:   median %6.1f ms, worst %6.1f ms; login floor %4.0f ms; %.2fx the floor\n",
                attachMs, attach.worst(), floorMs, attachMs / floorMs);
    std::printf("detach -> detached:    median %6.1f ms, worst %6.1f ms\n", detach.median(), detach.worst());

    // At rest with the module attached and logged in (no status or log traffic).
    sim.attach();
    while (!button->isEnabled()) QCoreApplication::processEvents();
    std::printf("attached, the whole window:       %7.1f wake-ups/s\n", wakeUps(seconds, runEvents));
    sim.detach();
    while (button->isEnabled()) QCoreApplication::processEvents();

    // 3. The link's stop.
    Stats idleDetached, idleAttached, window;
    sim.setReportDelayUs(0);
    for (int i = 0; i < rounds; ++i) {
        {
            ConnHIDCOM c(&sim);
            c.Open();
            sleepFor(30);
            QElapsedTimer t;
            t.start();
            c.Close();
            idleDetached.add(msSince(t));
        }
        sim.attach();
        {
            ConnHIDCOM c(&sim);
            c.Open();
            while (!c.IsReady()) sleepFor(1);
            sleepFor(30);
            QElapsedTimer t;
            t.start();
            c.Close();
            idleAttached.add(msSince(t));
        }
        sim.detach();
    }
    sim.attach();
    while (!button->isEnabled()) QCoreApplication::processEvents();
    QElapsedTimer t;
    t.start();
    w->FormClose();
    window.add(msSince(t));

    // 4. The program's end, from the close until the process is reaped.
    const int programRounds = rounds;
    Stats idleEnd, readEnd, readCloseEnd;
    int failed = 0;
    const std::pair<const char*, Stats*> modes[] = {
        {"idle", &idleEnd}, {"read", &readEnd}, {"read-close", &readCloseEnd}};
    for (int i = 0; i < programRounds; ++i)
        for (const auto& [mode, stats] : modes) {
            const double ms = programEnd(argv[0], mode);
            if (ms < 0)
                ++failed;
            else
                stats->add(ms);
        }
    std::printf("close, detached:       median %6.1f ms, worst %6.1f ms\n", idleDetached.median(),
                idleDetached.worst());
    std::printf("close, attached:       median %6.1f ms, worst %6.1f ms\n", idleAttached.median(),
                idleAttached.worst());
    std::printf("close the window, logged in: %6.1f ms\n", window.median());
    std::printf("program end, logged in (SIGTERM until reaped):      median %6.1f ms, worst %6.1f ms\n",
                idleEnd.median(), idleEnd.worst());
    std::printf("program end during a Read (SIGTERM until reaped):   median %6.1f ms, worst %6.1f ms\n",
                readEnd.median(), readEnd.worst());
    std::printf("program end during a Read (close until reaped):     median %6.1f ms, worst %6.1f ms\n",
                readCloseEnd.median(), readCloseEnd.worst());
    if (failed)
        std::printf("program end: %d of %d children did not end by themselves within 30 s, or failed\n", failed,
                    3 * programRounds);

    hidReaderRows(argv[0], seconds, rounds);
    return failed ? 1 : 0;
}
