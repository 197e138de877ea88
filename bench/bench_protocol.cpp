// Command exchanges against the simulated module over a link model of a fixed
// time per HID report in each direction (125 us, a fast link, and 1 ms), each
// figure next to its link floor: reports exchanged x the time per report.
//
// The window in this process: the Volumes page's Read and Set, a full Read
// and Write of the 205 settings, and the time from plugging in to logged in.
// The whole kestrum-cli process doing "read --demo --out FILE" (its simulated
// module told the time per report by KESTRUM_SIM_REPORT_US), against a
// minimal single-threaded client doing the same exchange (login, 205 queries)
// over the same simulated link in this process: it writes a report, reads
// until the prompt, and goes on.
//
// Every row is the median of RUNS runs (default 7), after one run to warm
// up that is not counted; the runs of the client and the tool alternate, so a
// machine that slows down for a while slows both alike.
//
// The simulated link sleeps for each report it sends. A sleep ends late by
// the thread's timer slack (50 us unless set) plus the wake-up, and at
// 125 us a report the slack alone adds about 0.4x to every figure, the
// minimal client's too, and makes them swing with the machine's load. So
// this program sets its timer slack to 1 ns, which the kestrum-cli it starts
// inherits: the link's sleeps end when the link model says. The whole-process
// rows at 125 us are also shown with the default slack.
// Usage: bench_protocol [RUNS]; run from the build folder (it starts ./kestrum-cli).
#include "core/config/ParamTable.h"
#include "core/link/Slot.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "ui/pages/ConfigTransfer.h"
#include "ui/pages/VolumesPage.h"
#include "ui/window/TFormMain.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>

#include <sys/prctl.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// --- The minimal client -----------------------------------------------------

// The HID link as the tool's own code sees it, without its reader thread:
// text cut into reports on the way out, reports' payloads on the way in.
class Wire : public Connection {
public:
    Wire(SimHidBackend& sim, HidHandle h) : sim_(sim), h_(h) {}
    bool IsOpen() override { return true; }
    void SendData(const uint8_t* data, int32_t len) override {
        for (int32_t pos = 0; pos < len; pos += kReportPayload) {
            const int n = std::min<int32_t>(kReportPayload, len - pos);
            uint8_t report[kReportSize] = {};
            report[1] = 1;
            report[2] = uint8_t(n);
            std::memcpy(report + 5, data + pos, size_t(n));
            sim_.write(h_, report);
        }
    }
    void SendText(const QByteArray& t) override { SendData(reinterpret_cast<const uint8_t*>(t.constData()), t.size()); }
    bool Open() override { return true; }
    void Close() override {}
    QByteArray GetName() override { return "wire"; }
    // Reads reports until the text received on the command channel ends in a prompt.
    bool readAnswer(const QByteArray& received) {
        uint8_t report[kReportSize];
        while (!(received.endsWith(":L2 >") || received.endsWith(":L9 >") || received.endsWith(":L0 >"))) {
            const int n = sim_.read(h_, report, 1000);
            if (n <= 0) return false;
            if (report[1] == 1 && report[2] <= kReportPayload) Receive(report + 5, report[2]);
        }
        return true;
    }

private:
    SimHidBackend& sim_;
    HidHandle h_;
};

// Login and a query of each of the 205 settings, one after the other; the
// reports exchanged, or -1 when the module did not answer.
long minimalRead(int reportUs) {
    SimModule module;
    SimHidBackend sim(module);
    sim.setTickIntervalMs(0);
    sim.setReportDelayUs(reportUs);
    sim.attach();
    HidHandle h = sim.open(sim.path(), true);
    Wire wire(sim, h);
    Slot commands(SimModule::Commands, &wire);
    QByteArray received;
    ResponseConnection end([&](const uint8_t* d, int32_t n) { received.append(reinterpret_cast<const char*>(d), n); });
    commands.AddReceiver(&end);
    bool ok = true;
    const auto ask = [&](const QByteArray& line) {
        received.clear();
        commands.SendText(line);
        ok = ok && wire.readAnswer(received);
    };
    ask("set REM:UPW P," + module.password() + "\n");
    for (const ParamDef& p : settingsParams()) ask("sc " + p.key + "?#\r\n");
    commands.RemoveReceiver(&end);
    sim.close(h);
    return ok ? long(sim.outputReports().size()) + sim.inputReportsRead() : -1;
}

// One run of kestrum-cli read --demo; its wall time in ms, or -1.
double cliRead(int reportUs, const QString& file) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KESTRUM_SIM_REPORT_US", QString::number(reportUs));
    env.remove("QT_QPA_PLATFORM");   // as a user starts it
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start("./kestrum-cli", {"read", "--demo", "--out", file, "--no-record"});
    if (!p.waitForFinished(60000) || p.exitCode() != 0) {
        std::fprintf(stderr, "kestrum-cli read failed: %s\n", p.readAllStandardError().constData());
        return -1;
    }
    return double(t.nsecsElapsed()) / 1e6;
}

void wholeProcess(int reportUs, int runs, const QString& file, const char* note = "") {
    std::vector<double> cli, minimal;
    long reports = 0;
    for (int i = 0; i <= runs; ++i) {   // run 0 warms up
        QElapsedTimer t;
        t.start();
        reports = minimalRead(reportUs);
        const double m = double(t.nsecsElapsed()) / 1e6;
        const double c = cliRead(reportUs, file);
        if (reports < 0 || c < 0) return;
        if (i == 0) continue;
        minimal.push_back(m);
        cli.push_back(c);
    }
    const double floor = double(reports) * reportUs / 1000.0;
    const double c = median(cli), m = median(minimal);
    std::printf("Read of 205, %4d us a report%s: link floor %6.1f ms (%ld reports)\n", reportUs, note, floor, reports);
    std::printf(
        "  kestrum-cli read --demo, whole process %7.1f ms  %.2fx   minimal client %7.1f ms  %.2fx"
        "   (range %.2f-%.2fx)\n",
        c, c / floor, m, m / floor, *std::min_element(cli.begin(), cli.end()) / floor,
        *std::max_element(cli.begin(), cli.end()) / floor);
}

// --- The window in this process ----------------------------------------------

struct Row {
    std::vector<double> ms;
    long reports = 0;
};

void window(int reportUs, int runs, QSettings& store) {
    SimModule module;
    SimHidBackend sim(module);
    sim.setReportDelayUs(reportUs);
    sim.setTickIntervalMs(0);   // no status or log traffic in the way
    TFormMain::Options o;
    o.backend = &sim;
    o.full = true;
    o.languageStore = &store;
    TFormMain w(o);
    w.confirmDiscard = [] { return true; };   // no question box
    w.show();
    QCoreApplication::processEvents();

    const std::vector<const char*> names = {"attach -> logged in", "Read from module", "Set", "Read (205 settings)",
                                            "Write (205 settings)"};
    std::map<std::string, Row> rows;
    const auto measure = [&](bool counted, const char* what, const std::function<void()>& body) {
        const long out0 = long(sim.outputReports().size());
        const long in0 = sim.inputReportsRead();
        QElapsedTimer t;
        t.start();
        body();
        const double ms = double(t.nsecsElapsed()) / 1e6;
        if (!counted) return;
        Row& r = rows[what];
        r.ms.push_back(ms);
        r.reports = long(sim.outputReports().size()) - out0 + sim.inputReportsRead() - in0;
    };
    for (int i = 0; i <= runs; ++i) {
        const bool counted = i > 0;
        QWidget* readVolumes = w.findChild<QWidget*>("btReadVols");
        sim.detach();
        while (readVolumes->isEnabled()) QCoreApplication::processEvents();
        measure(counted, names[0], [&] {
            sim.attach();
            while (!readVolumes->isEnabled()) QCoreApplication::processEvents();
        });
        measure(counted, names[1], [&] { w.volumesPage()->btReadVolsClick(); });
        measure(counted, names[2], [&] { w.volumesPage()->btSetVolsClick(); });
        measure(counted, names[3], [&] { w.transfer().Read(); });
        measure(counted, names[4], [&] { w.transfer().Write(); });
    }
    w.FormClose();
    std::printf("The window, %d us a report\n", reportUs);
    for (const char* name : names) {
        const Row& r = rows[name];
        const double floor = double(r.reports) * reportUs / 1000.0;
        const double ms = median(r.ms);
        std::printf("  %-22s %8.1f ms   link floor %7.1f ms (%4ld reports)  %.2fx   (range %.2f-%.2fx)\n", name, ms,
                    floor, r.reports, ms / floor, *std::min_element(r.ms.begin(), r.ms.end()) / floor,
                    *std::max_element(r.ms.begin(), r.ms.end()) / floor);
    }
}

}   // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    QTemporaryDir dir;
    QSettings store(dir.filePath("lang.ini"), QSettings::IniFormat);
    const int defaultSlack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    prctl(PR_SET_TIMERSLACK, 1, 0, 0, 0);
    std::printf("medians of %d runs, timer slack 1 ns\n", runs);
    for (int us : {125, 1000}) window(us, runs, store);
    for (int us : {125, 1000}) wholeProcess(us, runs, dir.filePath("bench.ini"));
    prctl(PR_SET_TIMERSLACK, defaultSlack, 0, 0, 0);
    wholeProcess(125, runs, dir.filePath("bench.ini"),
                 qPrintable(QStringLiteral(", timer slack %1 ns").arg(defaultSlack)));
    return 0;
}
