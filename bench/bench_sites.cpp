// The site database's costs: the answer time of a site's history over
// 10,000 events and of the site list over 5,000 sites, the space a snapshot
// takes over 1,000 that differ in a few values each, and what recording adds
// to a whole `kestrum-cli --demo read` (side by side with --no-record).
// Usage: bench_sites [RUNS] (default 11); run from the build folder.
#include "core/config/ParamTable.h"
#include "sites/SiteDatabase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace sites;

namespace {

double medianMs(int runs, const std::function<bool()>& body) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        if (!body()) return -1;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The module's 205 settings at their first values, the phone numbers and
// one message changed by variant: what installers' snapshots look like.
Values settings(int variant) {
    Values v;
    for (const ParamDef& p : settingsParams()) v.append({p.key, p.designValue});
    v[0].second = "+3630" + QByteArray::number(1000000 + variant);
    v[1].second = "+3620" + QByteArray::number(2000000 + variant * 3);
    v[10].second = "ALARM " + QByteArray::number(variant);
    return v;
}

}   // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 11;
    QTemporaryDir dir;
    SiteDatabase db({dir.filePath("bench.sqlite"), "bench"});
    if (!db.open()) {
        std::fprintf(stderr, "%s\n", qPrintable(db.failure().text));
        return 1;
    }
    // 5,000 sites, each with a module; one of them with 10,000 events and
    // 1,000 snapshots that differ in a few values each.
    for (int i = 0; i < 5000; ++i) {
        const QString name = QStringLiteral("Site %1").arg(i, 4, 10, QLatin1Char('0'));
        db.addSite(
            {0, name, QStringLiteral("Street %1").arg(i), QStringLiteral("Customer %1").arg(i % 97), {}, {}, {}});
        db.assign(name, {QStringLiteral("SN%1").arg(i, 5, 10, QLatin1Char('0')), {}, {}, {}, {}});
    }
    const qint64 before =
        QFileInfo(dir.filePath("bench.sqlite")).size() + QFileInfo(dir.filePath("bench.sqlite-wal")).size();
    Event e;
    e.action = "read";
    e.module.serial = "SN00042";
    for (int i = 0; i < 10000; ++i) {
        if (i < 1000)
            e.snapshot = settings(i);
        else
            e.snapshot.reset();
        db.record(e);
    }
    const double history = medianMs(runs, [&] { return db.history("Site 0042", {}, 10000).size() == 10000; });
    const double list = medianMs(runs, [&] { return db.sites().size() == 5000; });
    const double search = medianMs(runs, [&] { return db.sites("customer 42").size() > 0; });
    // Written through: the space the snapshots and their events take.
    SiteDatabase({dir.filePath("bench.sqlite"), {}}).open();
    const qint64 after =
        QFileInfo(dir.filePath("bench.sqlite")).size() + QFileInfo(dir.filePath("bench.sqlite-wal")).size();
    std::printf("history of a site, 10,000 events: %.1f ms (goal <= 100)\n", history);
    std::printf("site list, 5,000 sites: %.1f ms; search: %.1f ms (goal <= 100)\n", list, search);
    std::printf("a stored snapshot (with its event): %.1f KB on average over 1,000 (goal <= 8)\n",
                double(after - before) / 1000.0 / 1024.0);

    // Recording's share of a whole Read with the simulated module.
    const QString cli = QCoreApplication::applicationDirPath() + "/kestrum-cli";
    const auto read = [&](bool record) {
        QProcess p;
        QStringList args{"--demo", "read", "--out", dir.filePath("read.ini"), "--database", dir.filePath("cli.sqlite")};
        if (!record) args << "--no-record";
        p.start(cli, args);
        return p.waitForFinished(60000) && p.exitCode() == 0;
    };
    const double off = medianMs(runs, [&] { return read(false); });
    const double on = medianMs(runs, [&] { return read(true); });
    if (off > 0 && on > 0)
        std::printf("kestrum-cli --demo read: %.0f ms recording, %.0f ms not: +%.1f %% (goal <= 3 %%)\n", on, off,
                    (on - off) / off * 100.0);
    else
        std::printf("kestrum-cli --demo read could not be timed (--database/--no-record)\n");
    return 0;
}
