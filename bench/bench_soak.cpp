// Soak: kestrum-cli reads and writes the simulated module again and again,
// each run cut by the module going away at a random point (it comes back
// before the next run). Every run must end in bounded time with a complete
// result or a named failure ("disconnected after N of 205 settings"); a read
// that did not complete leaves the settings file as it was; no thread is left
// behind. Prints the outcome counts; exits 1 on the first broken promise.
//
//   bench_soak [READS [WRITES [SEED]]]     (default 100 100 1)
#include "cli/Cli.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <random>

namespace {

int threads() {
    return int(QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
}

QByteArray slurp(FILE* f) {
    std::fflush(f);
    std::rewind(f);
    QByteArray all;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) all.append(buf, qsizetype(n));
    return all;
}

QByteArray fileBytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool fail(const char* what, int run, const QByteArray& detail = {}) {
    std::fprintf(stderr, "run %d: %s %s\n", run, what, detail.constData());
    return false;
}

}   // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int reads = argc > 1 ? std::atoi(argv[1]) : 100;
    const int writes = argc > 2 ? std::atoi(argv[2]) : 100;
    std::mt19937 random(argc > 3 ? unsigned(std::atoi(argv[3])) : 1u);
    constexpr qint64 kBoundMs = 10000;   // a run that takes longer is stuck

    SimModule module;
    SimHidBackend backend(module);
    backend.setTickIntervalMs(0);
    QTemporaryDir dir;
    const QString file = dir.filePath("office.ini");
    int complete[2] = {0, 0}, cut[2] = {0, 0};
    qint64 longest = 0;

    auto runOnce = [&](int run, bool read) {
        // The module goes away at the k-th command after it comes (the login
        // is the first); beyond the last setting it stays.
        SimModule::Knobs k = module.knobs();
        k.detachAfterCommands = std::uniform_int_distribution<int>(1, 250)(random);
        module.setKnobs(k);
        backend.attach();
        const QByteArray before = fileBytes(file);
        FILE* out = std::tmpfile();
        FILE* err = std::tmpfile();
        cli::Env env;
        env.backend = &backend;
        env.out = out;
        env.err = err;
        QElapsedTimer t;
        t.start();
        const int rc = cli::Run(
            read ? QStringList{"read", "--out", file, "--no-record"} : QStringList{"write", file, "--no-record"}, env);
        const qint64 ms = t.elapsed();
        const QByteArray message = slurp(err);
        std::fclose(out);
        std::fclose(err);
        longest = std::max(longest, ms);
        if (ms > kBoundMs) return fail("took too long", run, QByteArray::number(ms) + " ms");
        if (rc == cli::Ok) {
            ++complete[read ? 0 : 1];
            if (read && fileBytes(file).count('=') != 205) return fail("a complete read wrote no whole file", run);
        } else if (rc == cli::NoModule &&
                   (message.contains("disconnected after") || message.contains("disconnected during the login"))) {
            ++cut[read ? 0 : 1];
            if (fileBytes(file) != before) return fail("a cut read changed the file", run);
        } else {
            return fail("ended without a named failure:", run, QByteArray::number(rc) + " " + message);
        }
        backend.detach();   // the module may still be there when the run went through
        return true;
    };

    // A first read, not cut, gives the writes their file and starts whatever
    // threads Qt keeps for itself; the threads are counted after it.
    backend.attach();
    FILE* quiet = std::tmpfile();
    cli::Env first;
    first.backend = &backend;
    first.out = first.err = quiet;
    if (cli::Run({"read", "--out", file, "--no-record"}, first) != cli::Ok) return fail("the first read failed", -1);
    std::fclose(quiet);
    backend.detach();
    const int threadsBefore = threads();

    for (int i = 0; i < reads + writes; ++i)
        if (!runOnce(i, i < reads)) return 1;

    QElapsedTimer settle;
    settle.start();
    while (threads() > threadsBefore && settle.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    const int threadsAfter = threads();
    std::printf("reads:  %d complete, %d cut with a named failure\n", complete[0], cut[0]);
    std::printf("writes: %d complete, %d cut with a named failure\n", complete[1], cut[1]);
    std::printf("longest run %lld ms; threads %d before, %d after\n", longest, threadsBefore, threadsAfter);
    if (threadsAfter > threadsBefore) {
        std::fprintf(stderr, "threads left behind\n");
        return 1;
    }
    return 0;
}
