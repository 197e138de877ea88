// The USB link at rest and at attach:
//  - CPU used over 10 s by the reader searching every 10 ms with no module
//    attached, with the real hidapi backend and with the simulated one;
//  - time from plugging the simulated module in to "Attached" reaching the
//    window's UI thread through the hand-off.
#include "core/link/ConnHIDCOM.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void idle(const char* name, HidBackend* backend, int seconds) {
    ConnHIDCOM c(backend);
    c.Open();
    const double cpu0 = cpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double cpu = cpuSeconds() - cpu0;
    std::printf("idle %-8s %d s: CPU %.3f s (%.2f %% of one core)\n", name, seconds, cpu, 100.0 * cpu / seconds);
}

}   // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    idle("hidapi", hidapiBackend(), seconds);
    SimModule module;
    SimHidBackend sim(module);
    idle("simulated", &sim, seconds);

    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    TFormMain::Options o;
    o.backend = &sim;
    o.languageStore = &store;
    TFormMain w(o);
    w.confirmDiscard = [] { return true; };   // no question box
    w.show();
    QCoreApplication::processEvents();
    const int rounds = 20;
    double seen = 0, seenWorst = 0, ready = 0, readyWorst = 0;
    QWidget* button = w.findChild<QWidget*>("btReadVols");
    for (int i = 0; i < rounds; ++i) {
        sim.detach();
        while (w.session().UsbReady() || button->isEnabled()) QCoreApplication::processEvents();
        QElapsedTimer t;
        t.start();
        sim.attach();
        // The reader has opened the module and announced "Attached".
        while (!w.session().UsbReady()) QCoreApplication::processEvents();
        const double a = double(t.nsecsElapsed()) / 1e6;
        // The UI thread has taken "Attached", logged in and enabled the controls.
        while (!button->isEnabled()) QCoreApplication::processEvents();
        const double b = double(t.nsecsElapsed()) / 1e6;
        seen += a;
        seenWorst = std::max(seenWorst, a);
        ready += b;
        readyWorst = std::max(readyWorst, b);
    }
    std::printf("attach -> \"Attached\" announced by the reader: mean %.1f ms, worst %.1f ms\n", seen / rounds,
                seenWorst);
    std::printf("attach -> window logged in and enabled:    mean %.1f ms, worst %.1f ms (%d attaches)\n",
                ready / rounds, readyWorst, rounds);
    return 0;
}
