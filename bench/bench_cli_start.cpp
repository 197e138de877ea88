// Start-up of kestrum-cli: `kestrum-cli get KEY --demo` (start, find the
// simulated module, log in, one query, exit) against minimal Qt programs
// started the same way (this program itself with --minimal-core or
// --minimal-widgets: create the application object, print a line, exit).
// Usage: bench_cli_start [RUNS] (default 20); run from the build folder.
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// Median wall time of RUNS starts of program with args, in milliseconds.
double median(const QString& program, const QStringList& args, int runs) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess p;
        QElapsedTimer t;
        t.start();
        p.start(program, args);
        if (!p.waitForFinished(30000) || p.exitCode() != 0) {
            std::fprintf(stderr, "%s failed: %s\n", qPrintable(program), p.readAllStandardError().constData());
            return -1;
        }
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

}   // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--minimal-core") == 0) {
        QCoreApplication app(argc, argv);
        std::puts("x");
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "--minimal-widgets") == 0) {
        QApplication app(argc, argv);
        std::puts("x");
        return 0;
    }
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QString self = QCoreApplication::applicationFilePath();
    const double core = median(self, {"--minimal-core"}, runs);
    const double widgets = median(self, {"--minimal-widgets"}, runs);
    const double get = median("./kestrum-cli", {"get", "CALL:USER1.PN", "--demo"}, runs);
    std::printf("median of %d starts\n", runs);
    std::printf("minimal QCoreApplication     %7.1f ms\n", core);
    std::printf("minimal QApplication         %7.1f ms\n", widgets);
    std::printf("kestrum-cli get KEY --demo   %7.1f ms   %.1fx the first, %.1fx the second\n", get, get / core,
                get / widgets);
    return core > 0 && widgets > 0 && get > 0 ? 0 : 1;
}
