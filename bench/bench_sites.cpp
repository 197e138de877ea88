// The site database's costs: the answer time of a site's history over
// 10,000 events and of the site list over 5,000 sites, the space a snapshot
// takes over 1,000 that differ in a few values each, and what recording adds
// to a whole `kestrum-cli --demo read` (side by side with --no-record).
//
// Then the same on a team server: a throw-away PostgreSQL started with
// ../tools/pgtest.sh (beside the build folder) and removed at the end, reached
// over its Unix socket: what recording adds to a Read there (and where that
// time goes, in one process), a site's history among 100,000 events (with
// the plan the server chose), and sending 1,000 queued records.
// Usage: bench_sites [RUNS] (default 11); run from the build folder.
#include "core/config/ParamTable.h"
#include "sites/OfflineQueue.h"
#include "sites/SiteDatabase.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

using namespace sites;

namespace {

double median(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

double medianMs(int runs, const std::function<bool()>& body) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        if (!body()) return -1;
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    return median(ms);
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

// A connection of the bench's own to one of the server's databases.
QSqlDatabase connectTo(const QString& reference, const QString& name) {
    QString why;
    const std::optional<Reference> ref = Reference::parse(reference, {}, &why);
    QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", name);
    if (!ref || !ref->isTeam()) return db;
    db.setHostName(ref->host);
    db.setPort(ref->port);
    db.setUserName(ref->user);
    db.setDatabaseName(ref->database);
    db.open();
    return db;
}

// A throw-away PostgreSQL of tools/pgtest.sh, stopped and removed when this
// goes out of scope (a run killed midway leaves it to the next start, which
// removes what is left under the same name).
class Server {
public:
    Server() {
        script_ = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath("../tools/pgtest.sh");
        // One server per build folder: two folders' benchmarks may run at once.
        name_ = "bench" + QString::number(qHash(QCoreApplication::applicationDirPath()), 16);
    }
    ~Server() {
        admin_.close();
        admin_ = {};
        QSqlDatabase::removeDatabase("bench-admin");
        if (!started_) return;
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start("sh", {script_, "stop", name_});
        p.waitForFinished(60000);
    }
    bool start() {
        if (!QFileInfo::exists(script_)) return fail(script_ + ": not found (the build folder is beside tools/)");
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start("sh", {script_, "start", name_});
        started_ = true;
        if (!p.waitForFinished(120000) || p.exitCode() != 0) return fail(script_ + " start " + name_ + " failed");
        reference_ = QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
        // The first use of Qt's PostgreSQL driver in this process loads it.
        QElapsedTimer t;
        t.start();
        QSqlDatabase::addDatabase("QPSQL", "bench-load");
        driverMs_ = double(t.nsecsElapsed()) / 1e6;
        QSqlDatabase::removeDatabase("bench-load");
        admin_ = connectTo(reference_, "bench-admin");
        if (!admin_.isOpen()) return fail(reference_ + ": " + admin_.lastError().text());
        return sql("SET client_min_messages = warning");   // no notices of DROP … IF EXISTS
    }
    // A new, empty database of that name on the server; its reference (the
    // script's, postgresql://kestrum@/kestrum?host=…, naming that database).
    QString fresh(const QString& database) {
        if (!sql("DROP DATABASE IF EXISTS " + database) || !sql("CREATE DATABASE " + database)) return {};
        QString ref = reference_;
        return ref.replace("@/kestrum?", "@/" + database + "?");
    }
    bool sql(const QString& statement) {
        QSqlQuery q(admin_);
        return q.exec(statement) || fail(statement + ": " + q.lastError().text());
    }
    QString failure() const { return failure_; }
    // How long loading Qt's PostgreSQL driver (and libpq) took: once per process.
    double driverMs() const { return driverMs_; }

private:
    bool fail(const QString& why) {
        failure_ = why;
        return false;
    }
    QString script_, name_, reference_, failure_;
    bool started_ = false;
    double driverMs_ = 0;
    QSqlDatabase admin_;
};

// The statement SiteDatabase::history() runs for a site, prepared as Qt's
// driver prepares it ($1 the site, $2 the limit).
const char* kHistorySql =
    "SELECT e.id, e.at, e.action, e.done, e.reason, e.duration_ms, e.settings, "
    "e.snapshot_id, e.source, e.link, e.operator, s.name, m.serial, m.phone "
    "FROM event e LEFT JOIN site s ON s.id = e.site_id "
    "LEFT JOIN module m ON m.id = e.module_id WHERE 1 = 1 AND e.site_id = (SELECT id FROM site WHERE name = $1) "
    "ORDER BY e.at DESC, e.id DESC LIMIT $2";

// The plan's scans and the server's own time for the history with this
// limit, after as many runs as the benchmark made (the server may have
// turned to its generic plan by then).
void printPlan(QSqlDatabase& db, const QString& site, int limit, int runs) {
    QSqlQuery q(db);
    q.exec("DEALLOCATE ALL");
    if (!q.exec(QStringLiteral("PREPARE bench_history AS ") + kHistorySql)) {
        std::printf("  EXPLAIN: %s\n", qPrintable(q.lastError().text()));
        return;
    }
    const QString execute = QStringLiteral("EXECUTE bench_history ('%1', %2)").arg(site).arg(limit);
    for (int i = 0; i < runs; ++i) q.exec(execute);
    q.exec("EXPLAIN (ANALYZE) " + execute);
    while (q.next()) {
        const QString line = q.value(0).toString();
        if (line.contains(" on event ") || line.contains("Sort  (") || line.contains("Execution Time"))
            std::printf("  plan: %s\n", qPrintable(line.trimmed()));
    }
}

// Recording as kestrum-cli does it on a team database, in this process (the
// driver loaded already): connect and check the schema, store the status,
// store the Read's event with its snapshot, look at the offline queue, close
// (Qt lets go of each prepared statement there). Then the same two records on
// a connection kept open, as the window's recorder keeps it. Medians, in ms.
void recordingInProcess(const QString& reference, const QString& queuePath, int runs, double driverMs) {
    const ModuleFacts module{"SIM0001", {}, "T", "1.0", "2.0"};
    const StatusVisit visit{QDateTime::currentDateTimeUtc(), "-61", "13.8", "25", "2.0", "3600"};
    std::vector<double> open, status, event, queue, close, whole;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        double lap = 0;
        const auto next = [&](std::vector<double>& into) {
            const double now = double(t.nsecsElapsed()) / 1e6;
            into.push_back(now - lap);
            lap = now;
        };
        {
            SiteDatabase db({reference, "bench"});
            if (!db.open()) {
                std::printf("  %s\n", qPrintable(db.failure().text));
                return;
            }
            next(open);
            db.recordStatus(module, visit);
            next(status);
            Event e;
            e.action = "read";
            e.module = module;
            e.snapshot = settings(100000 + i);
            db.record(e);
            next(event);
            {
                OfflineQueue q(queuePath);
                q.sendTo(db);
                q.count(db.path());
            }
            next(queue);
        }
        next(close);
        whole.push_back(lap);
    }
    std::printf(
        "  in one process: %.1f ms = connect and schema check %.1f, status %.1f, event with snapshot %.1f, "
        "offline queue %.1f, close %.1f; Qt's driver with libpq loaded once: %.1f\n",
        median(whole), median(open), median(status), median(event), median(queue), median(close), driverMs);
    std::vector<double> kept;
    SiteDatabase db({reference, "bench"});
    db.open();
    for (int i = 0; i <= runs; ++i) {
        QElapsedTimer t;
        t.start();
        db.recordStatus(module, visit);
        Event e;
        e.action = "read";
        e.module = module;
        e.snapshot = settings(200000 + i);
        db.record(e);
        if (i > 0) kept.push_back(double(t.nsecsElapsed()) / 1e6);   // the first prepares the statements
    }
    std::printf("  on a connection kept open (the window): status and event with snapshot %.1f ms\n", median(kept));
}

}   // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 11;
    QTemporaryDir dir;
    {
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
    }

    Server server;
    if (!server.start()) {
        std::printf("no team server (%s): the PostgreSQL figures are left out\n", qPrintable(server.failure()));
        return 1;
    }
    const QString readRef = server.fresh("bench_read");
    if (readRef.isEmpty()) {
        std::printf("%s\n", qPrintable(server.failure()));
        return 1;
    }

    // Recording's share of a whole Read with the simulated module, on SQLite
    // and on the team server, taken in turns so that the machine's load
    // weighs on all three alike. The team server's offline queue goes to a
    // folder of the benchmark's own.
    const QString cli = QCoreApplication::applicationDirPath() + "/kestrum-cli";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_DATA_HOME", dir.filePath("data"));
    const auto read = [&](const QString& database) {
        QProcess p;
        p.setProcessEnvironment(env);
        QStringList args{"--demo", "read", "--out", dir.filePath("read.ini")};
        if (database.isEmpty())
            args << "--no-record";
        else
            args << "--database" << database;
        QElapsedTimer t;
        t.start();
        p.start(cli, args);
        if (!p.waitForFinished(60000) || p.exitCode() != 0) return -1.0;
        return double(t.nsecsElapsed()) / 1e6;
    };
    const QString sqlite = dir.filePath("cli.sqlite");
    std::vector<double> off, onSqlite, onTeam;
    // Once each first: the schemas made, the program and the libraries read.
    bool ok = read({}) > 0 && read(sqlite) > 0 && read(readRef) > 0;
    for (int i = 0; ok && i < runs; ++i) {
        off.push_back(read({}));
        onSqlite.push_back(read(sqlite));
        onTeam.push_back(read(readRef));
        ok = off.back() > 0 && onSqlite.back() > 0 && onTeam.back() > 0;
    }
    // Each recorded Read reached the server (none waits in the queue).
    ok = ok && [&] {
        SiteDatabase db({readRef, {}});
        return db.open() && db.history({}, {}, 0).size() == runs + 1;
    }();
    if (ok) {
        const double base = median(off), lite = median(onSqlite), team = median(onTeam);
        std::printf(
            "kestrum-cli --demo read on SQLite: %.0f ms recording, %.0f ms not: +%.0f ms, +%.1f %% (goal <= "
            "3 %%)\n",
            lite, base, lite - base, (lite - base) / base * 100.0);
        std::printf(
            "kestrum-cli --demo read on PostgreSQL (Unix socket): %.0f ms recording, %.0f ms not: +%.0f ms, "
            "+%.1f %% (goal <= 5 %%)\n",
            team, base, team - base, (team - base) / base * 100.0);
    } else {
        std::printf("kestrum-cli --demo read could not be timed (--database/--no-record)\n");
    }
    recordingInProcess(readRef, dir.filePath("inprocess-queue.sqlite"), runs, server.driverMs());

    // A site's history among 100,000 events of five sites (20,000 each, in
    // turns over time), the way the window (its newest 500) and kestrum-cli
    // history (all) ask for it. Filled by the server itself; the five
    // modules' first reads stored through SiteDatabase.
    {
        const QString ref = server.fresh("bench_history");
        if (ref.isEmpty()) {
            std::printf("%s\n", qPrintable(server.failure()));
            return 1;
        }
        SiteDatabase db({ref, "bench"});
        if (!db.open()) {
            std::printf("%s\n", qPrintable(db.failure().text));
            return 1;
        }
        for (int i = 1; i <= 5; ++i) {
            const QString name = QStringLiteral("Team %1").arg(i);
            const ModuleFacts module{QStringLiteral("TM%1").arg(i), {}, {}, {}, {}};
            db.addSite({0, name, "Street", "Customer", {}, {}, {}});
            db.assign(name, module);
            Event e;
            e.action = "read";
            e.module = module;
            e.snapshot = settings(i);
            db.record(e);
        }
        QSqlDatabase own = connectTo(ref, "bench-history");
        QSqlQuery fill(own);
        QElapsedTimer filled;
        filled.start();
        if (!fill.exec("INSERT INTO event (at, action, done, reason, duration_ms, settings, snapshot_id, source, "
                       "link, operator, module_id, site_id, uid) "
                       "SELECT to_char(timestamp '2025-01-01' + g * interval '1 minute', "
                       "'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), CASE WHEN g % 10 = 0 THEN 'write' ELSE 'read' END, 1, "
                       "'', 30000, 205, CASE WHEN g % 10 = 0 THEN (SELECT min(x.snapshot_id) FROM event x "
                       "WHERE x.site_id = s.id) END, 'module', 'usb', "
                       "'installer ' || (g % 7), i.module_id, s.id, 'bench-' || g "
                       "FROM generate_series(1, 100000) g JOIN site s ON s.name = 'Team ' || (g % 5 + 1) "
                       "JOIN installation i ON i.site_id = s.id AND i.removed_at IS NULL") ||
            !fill.exec("ANALYZE")) {
            std::printf("filling the history: %s\n", qPrintable(fill.lastError().text()));
            return 1;
        }
        fill.exec("SELECT count(*) FROM event e JOIN site s ON s.id = e.site_id WHERE s.name = 'Team 3'");
        const int expected = fill.next() ? fill.value(0).toInt() : -1;
        const double fillMs = double(filled.nsecsElapsed()) / 1e6;
        const double window = medianMs(runs, [&] { return db.history("Team 3", {}, 500).size() == 500; });
        const double all = medianMs(runs, [&] { return db.history("Team 3", {}, 0).size() == expected; });
        std::printf(
            "history of a site on PostgreSQL, 100,000 events (%d of that site; filled and analysed in %.0f "
            "ms):\n",
            expected, fillMs);
        std::printf("  the newest 500 (the window): %.1f ms (goal <= 100)\n", window);
        printPlan(own, "Team 3", 500, runs);
        std::printf("  all %d (kestrum-cli history --site): %.1f ms (goal <= 100)\n", expected, all);
        printPlan(own, "Team 3", 0x7fffffff, runs);
        own.close();
    }
    QSqlDatabase::removeDatabase("bench-history");

    // kestrum-cli sync: 1,000 queued reads with their snapshots (each
    // different, of twenty modules at twenty sites) sent into a fresh
    // database; the queue filled once and copied for each run.
    {
        const int syncRuns = std::min(runs, 5);
        const QString target = SiteDatabase({server.fresh("bench_sync"), {}}).path();
        const QString filledQueue = dir.filePath("queue-filled.sqlite");
        {
            OfflineQueue q(filledQueue);
            const QDateTime start = QDateTime::currentDateTimeUtc().addDays(-1);
            for (int i = 0; i < 1000; ++i) {
                Event e;
                e.action = "read";
                e.durationMs = 30000;
                e.settings = 205;
                e.snapshot = settings(i);
                e.source = "module";
                e.link = "usb";
                e.module = {QStringLiteral("SY%1").arg(i % 20), {}, "T", "1.0", "2.0"};
                e.at = start.addSecs(i * 60);
                e.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
                e.operatorName = "installer";
                if (!q.add(target, e)) {
                    std::printf("%s\n", qPrintable(q.failure().text));
                    return 1;
                }
            }
        }
        std::vector<double> ms;
        int stored = 0;
        for (int run = 0; run < syncRuns; ++run) {
            const QString ref = server.fresh("bench_sync");
            const QString queue = dir.filePath("queue-run.sqlite");
            QFile::remove(queue);
            if (ref.isEmpty() || !QFile::copy(filledQueue, queue)) {
                std::printf("sync: %s\n", qPrintable(server.failure()));
                return 1;
            }
            SiteDatabase db({ref, "office"});
            if (!db.open()) {
                std::printf("%s\n", qPrintable(db.failure().text));
                return 1;
            }
            for (int i = 0; i < 20; ++i) {
                const QString name = QStringLiteral("Sync %1").arg(i);
                db.addSite({0, name, "Street", "Customer", {}, {}, {}});
                db.assign(name, {QStringLiteral("SY%1").arg(i), {}, {}, {}, {}});
            }
            OfflineQueue q(queue);
            QElapsedTimer t;
            t.start();
            const int sent = q.sendTo(db);
            ms.push_back(double(t.nsecsElapsed()) / 1e6);
            stored = db.history({}, {}, 0).size();
            if (sent != 1000 || stored != 1000) {
                std::printf("sync: %d sent, %d stored of 1,000 (%s)\n", sent, stored, qPrintable(q.failure().text));
                return 1;
            }
        }
        std::printf(
            "sync of 1,000 queued reads with their snapshots into PostgreSQL: %.0f ms, best %.0f of %d "
            "(goal <= 2000)\n",
            median(ms), *std::min_element(ms.begin(), ms.end()), syncRuns);
    }
    return 0;
}
