// Sleeping and ending, each beside its floor or a bare program in the same run:
//  - wake-ups a second (context switches of all threads, from
//    /proc/PID/task/*/status) during an idle data call to the simulated GSM
//    modem on a pseudo-terminal (the modem runs in a process of its own): the
//    modem link alone in this process, against this process at rest, and the
//    whole window with the call up, against a bare Qt window;
//  - wake-ups a second while kestrum-cli waits for a module (--wait, none
//    plugged in) and for an answer (over a call, the module silent after the
//    login), against a bare Qt program asleep in its event loop;
//  - window close -> process exit, idle and logged in, against a bare Qt
//    window started the same way (this program again, as a child, ended by
//    SIGTERM through CloseOnSignals), with where the time goes;
//  - window close during a modem call -> window gone, and -> process exit
//    (which waits for the hang-up), against the hang-up's own named waits.
// Usage: bench_sleep [SECONDS [ROUNDS]] (default 5 s a rate, 10 rounds), on
// the offscreen platform, with kestrum-cli built beside it.
#include "core/modem/TModem.h"
#include "core/text/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModem.h"
#include "sim/SimModule.h"
#include "ui/window/CloseOnSignals.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <thread>
#include <vector>

extern char** environ;

namespace {

// Voluntary and involuntary context switches of every thread of a process.
long contextSwitches(pid_t pid) {
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    long n = 0;
    for (const QString& task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile f(tasks + "/" + task + "/status");
        if (!f.open(QIODevice::ReadOnly)) continue;
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("voluntary_ctxt_switches:") || line.startsWith("nonvoluntary_ctxt_switches:"))
                n += line.mid(line.indexOf(':') + 1).trimmed().toLong();
    }
    return n;
}

void sleepFor(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Wake-ups a second of a process while this one lets the time pass (its own
// wake-ups then count only when pid is this process, which sleeps).
double wakeUps(pid_t pid, int seconds) {
    sleepFor(300);   // settle
    const long before = contextSwitches(pid);
    sleepFor(seconds * 1000);
    return double(contextSwitches(pid) - before) / seconds;
}

// CLOCK_MONOTONIC is the same clock in every process of the machine.
qint64 monotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
}

double msBetween(qint64 from, qint64 to) { return double(to - from) / 1e6; }

void tellParent(const QByteArray& line) {
    const QByteArray l = line + '\n';
    if (::write(STDOUT_FILENO, l.constData(), size_t(l.size())) < 0) {}
}

void tellTime(const char* what) { tellParent(QByteArray(what) + ' ' + QByteArray::number(monotonicNs())); }

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double median() {
        std::sort(v.begin(), v.end());
        return v.empty() ? -1 : v[v.size() / 2];
    }
    double worst() const { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }
};

// --- Children ---------------------------------------------------------------

// The simulated GSM modem with the module behind it, in a process of its own:
// it tells its terminal's path, then "asked" once the module has been asked
// for a setting; it ends when its stdin closes. silentAfter: the module
// answers this many commands, then nothing (-1: all).
int simModemChild(int silentAfter) {
    SimModule module;
    auto k = module.knobs();
    k.silentAfterCommands = silentAfter;
    module.setKnobs(k);
    SimModem modem(module);
    if (!modem.start()) return 1;
    tellParent("pty " + QFile::encodeName(modem.slavePath()));
    bool told = false;
    for (;;) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (::poll(&p, 1, 20) != 0) break;   // stdin closed (or something came): the end
        if (told) continue;
        for (const QByteArray& c : module.commands())
            if (c.startsWith("sc ")) {
                told = true;
                tellParent("asked");
            }
    }
    modem.stop();
    return 0;
}

// Tells the parent when the window is hidden.
class HideWatch : public QObject {
public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Hide) tellTime("hidden");
        return false;
    }
};

// A bare Qt window, ended the same way as the program's.
int bareWindowChild(int argc, char** argv) {
    QApplication app(argc, argv);
    QWidget window;
    HideWatch watch;
    window.installEventFilter(&watch);
    CloseOnSignals closeOnSignals(&window);
    window.show();
    QTimer::singleShot(0, [] { tellParent("ready"); });
    const int rc = app.exec();
    tellTime("exec");
    return rc;
}

// A bare Qt program asleep in its event loop.
int bareCoreChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTimer::singleShot(0, [] { tellParent("ready"); });
    return app.exec();
}

// The window as the program runs it (main.cpp), with a site database. Mode
// "idle": over the simulated module (its status and log as the demo sends
// them), told "ready" once logged in and the status recorded. Mode "call": the module is
// never plugged in; a data call to the modem on pty, told "ready" once logged
// in over it. It tells when the window is hidden, when the event loop has
// ended and when the window is gone. Its files are in folder (the parent's,
// removed after the child has ended: the program never deletes its database).
int windowChild(int argc, char** argv, const QByteArray& mode, const QByteArray& pty, const QByteArray& folder) {
    QApplication app(argc, argv);
    SimModule module;
    SimHidBackend sim(module);
    QDir dir(QFile::decodeName(folder));
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    TFormMain::Options o;
    o.backend = &sim;
    o.full = true;
    o.languageStore = &store;
    o.database = dir.filePath("sites.sqlite");   // as the program has one
    int rc;
    {
        TFormMain window(o);
        window.confirmDiscard = [] { return true; };
        HideWatch watch;
        window.installEventFilter(&watch);
        CloseOnSignals closeOnSignals(&window);
        window.show();
        QTimer loggedIn;
        if (mode == "idle") {
            sim.attach();
            loggedIn.setInterval(5);
            QObject::connect(&loggedIn, &QTimer::timeout, &window, [&] {
                if (!window.findChild<QWidget*>("btnRead")->isEnabled()) return;
                loggedIn.stop();
                QTimer::singleShot(500, [] { tellParent("ready"); });   // the status comes and is recorded
            });
            loggedIn.start();
        } else {
            QTimer::singleShot(0, &window, [&] {
                const bool up = window.session().connectModem(QFile::decodeName(pty), "+36301234567");
                tellParent(up ? "ready" : "failed");
            });
        }
        rc = app.exec();
        tellTime("exec");
        window.FormClose();
    }
    tellTime("destroyed");
    return rc;
}

// --- The parent's side --------------------------------------------------------

struct Child {
    pid_t pid = -1;
    int in = -1;    // its stdin
    int out = -1;   // its stdout
    QByteArray line;
};

// Spawns program with args (program first), on the offscreen platform.
Child spawn(const std::vector<QByteArray>& args) {
    Child c;
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) return c;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    std::vector<char*> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "QT_QPA_PLATFORM=", 16) != 0) env.push_back(*e);
    char platform[] = "QT_QPA_PLATFORM=offscreen";
    env.push_back(platform);
    env.push_back(nullptr);
    std::vector<char*> argv;
    for (const QByteArray& a : args) argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    if (::posix_spawn(&c.pid, argv[0], &actions, nullptr, argv.data(), env.data()) != 0) c.pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    c.in = toChild[1];
    c.out = fromChild[0];
    return c;
}

// The child's next line, waited for at most 60 s.
bool readLine(Child& c) {
    c.line.clear();
    char ch;
    while (true) {
        pollfd p{c.out, POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0 || ::read(c.out, &ch, 1) != 1) return false;
        if (ch == '\n') return true;
        c.line += ch;
    }
}

// Reads lines until one starts with word; its time (the number after the
// word) or the line itself is in c.line.
bool waitFor(Child& c, const QByteArray& word) {
    while (readLine(c))
        if (c.line.startsWith(word)) return true;
    return false;
}

qint64 timeOf(const QByteArray& line) { return line.mid(line.indexOf(' ') + 1).toLongLong(); }

// A signal to the child (never to -1, which would be every process).
void signal(const Child& c, int sig) {
    if (c.pid > 0) ::kill(c.pid, sig);
}

// Waits until the child has ended and is reaped, at most 60 s (then it is
// killed): the time it was reaped, or -1.
qint64 reap(Child& c) {
    if (c.in >= 0) ::close(c.in);
    c.in = -1;
    if (c.pid <= 0) return -1;
    const int pidfd = int(::syscall(SYS_pidfd_open, c.pid, 0));
    pollfd p{pidfd, POLLIN, 0};
    const bool ended = pidfd >= 0 && ::poll(&p, 1, 60000) == 1;
    if (!ended) signal(c, SIGKILL);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    const qint64 reaped = monotonicNs();
    if (pidfd >= 0) ::close(pidfd);
    ::close(c.out);
    return ended && WIFEXITED(status) ? reaped : -1;
}

// The simulated modem in a process of its own.
struct ModemProcess {
    Child c;
    QByteArray pty;
    ModemProcess(const QByteArray& self, int silentAfter) {
        c = spawn({self, "--child", "simmodem", QByteArray::number(silentAfter)});
        if (c.pid > 0 && waitFor(c, "pty ")) pty = c.line.mid(4);
    }
    ~ModemProcess() {
        if (c.pid > 0) reap(c);
    }
};

// One window's end by SIGTERM: from the signal until hidden, until the event
// loop ended, until the window was gone and until the process was reaped.
struct End {
    double hidden = -1, exec = -1, destroyed = -1, reaped = -1;
};

End endBySignal(Child& c) {
    End e;
    const qint64 sent = monotonicNs();
    signal(c, SIGTERM);
    while (readLine(c)) {
        if (c.line.startsWith("hidden ") && e.hidden < 0) e.hidden = msBetween(sent, timeOf(c.line));
        if (c.line.startsWith("exec ")) e.exec = msBetween(sent, timeOf(c.line));
        if (c.line.startsWith("destroyed ")) e.destroyed = msBetween(sent, timeOf(c.line));
    }
    const qint64 reaped = reap(c);
    if (reaped > 0) e.reaped = msBetween(sent, reaped);
    return e;
}

struct Ends {
    Stats hidden, exec, destroyed, reaped;
    void add(const End& e) {
        hidden.add(e.hidden);
        exec.add(e.exec);
        if (e.destroyed >= 0) destroyed.add(e.destroyed);
        reaped.add(e.reaped);
    }
};

}   // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--child") == 0) {
        const QByteArray mode = argv[2];
        if (mode == "simmodem") return simModemChild(argc > 3 ? std::atoi(argv[3]) : -1);
        if (mode == "bare-window") return bareWindowChild(argc, argv);
        if (mode == "bare-core") return bareCoreChild(argc, argv);
        return windowChild(argc, argv, mode, argc > 3 ? argv[3] : "", argc > 4 ? argv[4] : "");
    }
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 10;
    const QByteArray self = QFileInfo(QString::fromLocal8Bit(argv[0])).absoluteFilePath().toLocal8Bit();
    const QByteArray cli = QFileInfo(QString::fromLocal8Bit(argv[0])).absolutePath().toLocal8Bit() + "/kestrum-cli";
    int failed = 0;

    // 1. An idle data call, the modem link alone, against this process at rest.
    {
        const double rest = wakeUps(::getpid(), seconds);
        ModemProcess far(self, -1);
        TModem modem;
        const bool up = !far.pty.isEmpty() && modem.Connect(QFile::decodeName(far.pty), "+36301234567") == &modem;
        const double call = up ? wakeUps(::getpid(), seconds) : -1;
        if (!up) ++failed;
        std::printf("idle modem call, the link alone:   %7.1f wake-ups/s   (this process at rest: %.1f)\n", call, rest);
        modem.Close();
    }

    // The same in the whole window, against a bare Qt window.
    {
        Child bare = spawn({self, "--child", "bare-window"});
        const double bareRate = waitFor(bare, "ready") ? wakeUps(bare.pid, seconds) : -1;
        endBySignal(bare);
        ModemProcess far(self, -1);
        QTemporaryDir files;
        Child w = spawn({self, "--child", "call", far.pty, QFile::encodeName(files.path())});
        const bool up = waitFor(w, "ready") && w.line == "ready";
        const double rate = up ? wakeUps(w.pid, seconds) : -1;
        if (!up) ++failed;
        endBySignal(w);
        std::printf("idle modem call, the whole window: %7.1f wake-ups/s   (a bare Qt window: %.1f)\n", rate, bareRate);
    }

    // 2. kestrum-cli waiting for a module and for an answer, against a bare Qt program.
    {
        Child bare = spawn({self, "--child", "bare-core"});
        const double bareRate = waitFor(bare, "ready") ? wakeUps(bare.pid, seconds) : -1;
        signal(bare, SIGTERM);
        reap(bare);

        if (!QFileInfo::exists(QFile::decodeName(cli))) {
            std::printf("%s: not built\n", cli.constData());
            return 1;
        }
        Child module = spawn({cli, "get", "CALL:USER1.PN", "--wait", QByteArray::number(seconds + 30), "--no-record"});
        const double moduleRate = module.pid > 0 ? wakeUps(module.pid, seconds) : -1;
        signal(module, SIGTERM);
        reap(module);

        // Over a call, the module answering the login and then nothing: each
        // query waits its four attempts.
        ModemProcess far(self, 1);
        Child answer =
            spawn({cli, "get", "CALL:USER1.PN", "--serial-port", far.pty, "--phone", "+36301234567", "--no-record"});
        const bool asked = waitFor(far.c, "asked");
        const double answerRate = asked ? wakeUps(answer.pid, std::min(seconds, 5)) : -1;
        if (!asked) ++failed;
        signal(answer, SIGTERM);
        reap(answer);
        std::printf("kestrum-cli waits for a module:    %7.1f wake-ups/s   (a bare Qt program: %.1f)\n", moduleRate,
                    bareRate);
        std::printf("kestrum-cli waits for an answer:   %7.1f wake-ups/s   (the same)\n", answerRate);
    }

    // 3. Window close -> process exit, idle and logged in, against a bare Qt window.
    {
        Ends bare, kestrum;
        for (int i = 0; i < rounds; ++i) {
            Child b = spawn({self, "--child", "bare-window"});
            if (waitFor(b, "ready"))
                bare.add(endBySignal(b));
            else
                ++failed, reap(b);
            QTemporaryDir files;
            Child w = spawn({self, "--child", "idle", "", QFile::encodeName(files.path())});
            if (waitFor(w, "ready"))
                kestrum.add(endBySignal(w));
            else
                ++failed, reap(w);
        }
        std::printf("close -> exit, idle:   median %6.1f ms, worst %6.1f ms; a bare Qt window %5.1f ms; %.2fx\n",
                    kestrum.reaped.median(), kestrum.reaped.worst(), bare.reaped.median(),
                    kestrum.reaped.median() / bare.reaped.median());
        std::printf(
            "   where it goes (median from SIGTERM): hidden %.1f, event loop ended %.1f, window gone %.1f, "
            "reaped %.1f ms\n",
            kestrum.hidden.median(), kestrum.exec.median(), kestrum.destroyed.median(), kestrum.reaped.median());
        std::printf(
            "   a bare Qt window:                    hidden %.1f, event loop ended %.1f,                 "
            "reaped %.1f ms\n",
            bare.hidden.median(), bare.exec.median(), bare.reaped.median());
    }

    // 4. Window close during a modem call: the window goes at once, the
    // process when the hang-up is done; the hang-up's floor is its named waits.
    {
        Ends call;
        const int callRounds = std::max(1, rounds / 3);
        for (int i = 0; i < callRounds; ++i) {
            ModemProcess far(self, -1);
            QTemporaryDir files;
            Child w = spawn({self, "--child", "call", far.pty, QFile::encodeName(files.path())});
            if (waitFor(w, "ready") && w.line == "ready")
                call.add(endBySignal(w));
            else
                ++failed, reap(w);
        }
        const int waits = timing::modemClosePumps * 10 + 6 * timing::modemEscapeSleepMs;
        std::printf("close during a call -> window gone:  median %6.1f ms, worst %6.1f ms\n", call.hidden.median(),
                    call.hidden.worst());
        std::printf(
            "close during a call -> process exit: median %6.1f ms, worst %6.1f ms (the hang-up's waits: "
            "%d ms)\n",
            call.reaped.median(), call.reaped.worst(), waits);
    }
    if (failed) std::printf("%d runs failed\n", failed);
    return failed ? 1 : 0;
}
