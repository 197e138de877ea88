// The USB link at rest and at attach:
//  - CPU used over 10 s by the reader searching every 10 ms with no module
//    attached, with the real hidapi backend and with the simulated one;
//  - time from plugging the simulated module in to "Attached" reaching the
//    window's UI thread through the hand-off.
#include "app/ui/TFormMain.h"
#include "link/ConnHIDCOM.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"

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

}  // namespace

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
    w.show();
    QCoreApplication::processEvents();
    const int rounds = 20;
    double total = 0, worst = 0;
    for (int i = 0; i < rounds; ++i) {
        sim.detach();
        while (w.usb->IsReady() || w.findChild<QWidget*>("btReadVols")->isEnabled()) QCoreApplication::processEvents();
        QElapsedTimer t;
        t.start();
        sim.attach();
        // "Attached" has reached the window when UpdateUIState enabled the buttons
        // (the automatic login runs in between; its time is measured in bench_protocol).
        while (!w.usb->IsReady()) QCoreApplication::processEvents();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        total += ms;
        worst = std::max(worst, ms);
        while (!w.findChild<QWidget*>("btReadVols")->isEnabled()) QCoreApplication::processEvents();
    }
    std::printf("attach -> Attached seen by the UI thread: mean %.1f ms, worst %.1f ms over %d attaches\n",
                total / rounds, worst, rounds);
    return 0;
}
