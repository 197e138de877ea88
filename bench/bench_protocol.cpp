// Command exchanges against the simulated module with a link model of 1 ms per
// HID report in each direction: the Volumes page's Read and Set, a full Read
// and Write of the 205 settings, and the time from plugging in to logged in.
// Each figure stands next to its link floor: reports exchanged x 1 ms.
#include "cli/Cli.h"
#include "core/link/ConnHIDCOM.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/VolumesPage.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>

namespace {

struct Measure {
    SimHidBackend& sim;
    void operator()(const char* what, const std::function<void()>& body) const {
        const long out0 = long(sim.outputReports().size());
        const long in0 = sim.inputReportsRead();
        QElapsedTimer t;
        t.start();
        body();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        const long reports = long(sim.outputReports().size()) - out0 + sim.inputReportsRead() - in0;
        std::printf("%-22s %8.1f ms   link floor %6ld ms (%ld reports)   overhead %5.1f %%\n", what, ms, reports,
                    reports, reports ? 100.0 * (ms - double(reports)) / double(reports) : 0.0);
    }
};

}   // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    SimModule module;
    SimHidBackend sim(module);
    sim.setReportDelayUs(1000);
    sim.setTickIntervalMs(0);   // no status or log traffic in the way
    TFormMain::Options o;
    o.backend = &sim;
    o.full = true;
    o.languageStore = &store;
    TFormMain w(o);
    w.confirmDiscard = [] { return true; };   // no question box
    w.show();
    QCoreApplication::processEvents();
    Measure measure{sim};

    measure("attach -> logged in", [&] {
        sim.attach();
        while (!w.findChild<QWidget*>("btReadVols")->isEnabled()) QCoreApplication::processEvents();
    });
    measure("Read from module", [&] { w.volumesPage()->btReadVolsClick(); });
    measure("Set", [&] { w.volumesPage()->btSetVolsClick(); });
    measure("Read (205 settings)", [&] { w.transfer().Read(); });
    measure("Write (205 settings)", [&] { w.transfer().Write(); });
    w.FormClose();

    // The command-line tool: a whole run of "read" (the module is already plugged in).
    FILE* devnull = std::fopen("/dev/null", "w");
    cli::Env env;
    env.backend = &sim;
    env.out = devnull;
    env.err = devnull;
    const QString file = dir.filePath("bench.ini");
    sim.detach();
    sim.attach();
    int rc = 0;
    measure("kestrum-cli read", [&] { rc = cli::Run({"read", "--out", file, "--no-record"}, env); });
    std::fclose(devnull);
    return rc;
}
