// The USB link at rest, at attach, at detach and at close:
//  - wake-ups a second while no module is attached (context switches of all
//    threads, from /proc/self/task/*/status), for the link alone with the real
//    hidapi backend and with the simulated one, and for the whole window;
//  - plugging the simulated module in until the window has logged in, against
//    the login's link floor (1 ms per HID report each way);
//  - pulling it out until the window shows it detached;
//  - the link's stop: closing the connection idle, attached and detached.
#include "core/link/ConnHIDCOM.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

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

}   // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    const int rounds = 20;

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
    // A second window, closed while its Read waits for answers.
    sim.detach();
    sim.setReportDelayUs(1000);
    auto w2 = std::make_unique<TFormMain>(o);
    w2->confirmDiscard = [] { return true; };
    w2->show();
    sim.attach();
    while (!w2->findChild<QWidget*>("btReadVols")->isEnabled()) QCoreApplication::processEvents();
    double duringRead = -1;
    QTimer::singleShot(300, [&] {
        QElapsedTimer c;
        c.start();
        w2->FormClose();
        duringRead = msSince(c);
    });
    const auto read = w2->transfer().Read();
    std::printf("close, detached:       median %6.1f ms, worst %6.1f ms\n", idleDetached.median(),
                idleDetached.worst());
    std::printf("close, attached:       median %6.1f ms, worst %6.1f ms\n", idleAttached.median(),
                idleAttached.worst());
    std::printf("close the window, logged in: %6.1f ms\n", window.median());
    std::printf("close the window during a Read: %6.1f ms (the Read ended after %d of 205 settings)\n", duringRead,
                read.answered);
    return 0;
}
