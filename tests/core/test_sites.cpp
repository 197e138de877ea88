// The site database, once on a SQLite file and once on a PostgreSQL server
// (KESTRUM_TEST_POSTGRES names the test server's superuser connection):
// schema and migrations, databases it must leave alone, snapshots stored
// once and found by reference, several writers at once, copies, the
// offline queue, and a recorder that tells a database it cannot use once.
#include "sites/DatabaseCopy.h"
#include "sites/OfflineQueue.h"
#include "sites/Recorder.h"
#include "sites/SiteDatabase.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace sites;

namespace {

// The test server, and whether this pass is on it.
QString server() { return qEnvironmentVariable("KESTRUM_TEST_POSTGRES"); }
bool team = false;

// The server's reference with another database name.
QString onServer(const QString& database) {
    QString why;
    Reference r = *Reference::parse(server(), {}, &why);
    r.database = database;
    return r.display();
}

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs sql on the database (a file or on the server) through a connection
// of its own.
QVariant scalar(const QString& reference, const QString& sql) {
    QVariant v;
    {
        QString why;
        const Reference r = *Reference::parse(reference, {}, &why);
        QSqlDatabase db = QSqlDatabase::addDatabase(r.isTeam() ? "QPSQL" : "QSQLITE", "probe");
        db.setDatabaseName(r.isTeam() ? r.database : r.path);
        db.setHostName(r.host);
        db.setPort(r.port);
        db.setUserName(r.user);
        if (db.open()) {
            QSqlQuery q(db);
            if (!q.exec(sql)) qWarning("%s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
            if (q.next()) v = q.value(0);
        }
    }
    QSqlDatabase::removeDatabase("probe");
    return v;
}

Values values(const QByteArray& phone2) {
    return {{"CALL:USER1.PN", "+36301112233"}, {"CALL:USER2.PN", phone2}, {"SMS:Z1A.SMS", "Riaszt\xE1s 40\xB0\\\n"}};
}

Event readEvent(const Values& v, const QString& serial = "SIM0001") {
    Event e;
    e.action = "read";
    e.settings = v.size();
    e.snapshot = v;
    e.source = "module";
    e.link = "usb";
    e.module.serial = serial;
    e.module.type = "GSM-2R";
    return e;
}

// Another process records events into the same database, all of one
// module, with snapshots of ten contents that every writer stores (see main).
int writeEvents(const QString& reference, int count) {
    SiteDatabase db({reference, "writer"});
    if (!db.open()) {
        fprintf(stderr, "%s\n", qPrintable(db.failure().text));
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        Event e = readEvent(values(QByteArray::number(i % 10)), "SIM-SHARED");
        if (db.record(e) == 0) {
            fprintf(stderr, "%s\n", qPrintable(db.failure().text));
            return 3;
        }
    }
    return 0;
}

}   // namespace

class TestSites : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    int made_ = 0;

    // A new, empty database of this pass's engine.
    QString fresh(const QString& name) {
        if (!team) return dir_.filePath(name);
        const QString database = QStringLiteral("t%1_%2").arg(QCoreApplication::applicationPid()).arg(++made_);
        scalar(server(), "DROP DATABASE IF EXISTS " + database);
        scalar(server(), "CREATE DATABASE " + database);
        return onServer(database);
    }

    QList<QProcess*> startWriters(const QString& reference, int n) {
        QList<QProcess*> writers;
        for (int i = 0; i < n; ++i) {
            auto* p = new QProcess(this);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTRUM_SITES_WRITER", reference);
            p->setProcessEnvironment(env);
            p->start(QCoreApplication::applicationFilePath(), {});
            writers << p;
        }
        return writers;
    }

private slots:
    void referencesAreParsed() {
        if (team) QSKIP("the same on either engine");
        QString why;
        QCOMPARE(Reference::parse("", "/home/anna/sites.sqlite", &why)->path, QString("/home/anna/sites.sqlite"));
        QCOMPARE(Reference::parse("sqlite:/tmp/a b.sqlite", {}, &why)->path, QString("/tmp/a b.sqlite"));
        QVERIFY(!Reference::parse("C:\\sites\\x.sqlite", {}, &why)->isTeam());
        const Reference tcp = *Reference::parse("postgresql://anna@db.example:6543/team?sslmode=require", {}, &why);
        QVERIFY(tcp.isTeam());
        QCOMPARE(tcp.user, QString("anna"));
        QCOMPARE(tcp.host, QString("db.example"));
        QCOMPARE(tcp.port, 6543);
        QCOMPARE(tcp.database, QString("team"));
        QCOMPARE(tcp.connectOptions(), QString("sslmode='require'"));
        QCOMPARE(tcp.display(), QString("postgresql://anna@db.example:6543/team"));
        const Reference sock = *Reference::parse("postgres://bela@/team?host=/run/postgresql", {}, &why);
        QCOMPARE(sock.host, QString("/run/postgresql"));
        QCOMPARE(Reference::parse(sock.display(), {}, &why)->host, QString("/run/postgresql"));
        QCOMPARE(Reference::parse("postgresql://[::1]:5433/x", {}, &why)->host, QString("::1"));
        // A password is never taken, and never repeated in the reason.
        for (const char* text : {"postgresql://anna:secret@db/team", "postgresql://anna@db/team?password=secret"}) {
            QVERIFY(!Reference::parse(text, {}, &why));
            QVERIFY2(why.contains("PGPASSFILE") && !why.contains("secret"), qPrintable(why));
        }
        QVERIFY(!Reference::parse("mysql://db/team", {}, &why));
        QVERIFY(!Reference::parse("postgresql://db:99999/team", {}, &why));
    }

    void newDatabaseIsPrivateAndCurrent() {
        const QString ref = fresh("new/sites.sqlite");
        SiteDatabase db({ref, {}});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QCOMPARE(scalar(ref, "SELECT version FROM schema_version").toInt(), SiteDatabase::kSchemaVersion);
        QCOMPARE(db.schemaVersion(), SiteDatabase::kSchemaVersion);
#ifndef _WIN32
        if (!team) {
            struct stat st {};
            QCOMPARE(::stat(QFile::encodeName(ref).constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 0777), 0600);
        }
#endif
        // A second open finds it current and changes nothing.
        SiteDatabase again({ref, {}});
        QVERIFY(again.open());
        QVERIFY(!QFile::exists(ref + ".bak"));
    }

    // The file of the first schema, kept as test data: copied aside, then
    // migrated in place with everything in it; an older one is only told
    // when upgrading is not asked for.
    void olderFileIsKeptAsideAndMigrated() {
        if (team) QSKIP("a file of the first schema: SQLite's");
        const QString path = dir_.filePath("v1.sqlite");
        QVERIFY(QFile::copy(QFINDTESTDATA("../data/sites-v1.sqlite"), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray before = bytesOf(path);
        SiteDatabase check({path, {}, false});
        QVERIFY(!check.open());
        QVERIFY2(check.failure().text.contains("db migrate"), qPrintable(check.failure().text));
        QCOMPARE(check.schemaVersion(), 1);
        QCOMPARE(bytesOf(path), before);
        SiteDatabase db({path, "bela"});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QCOMPARE(bytesOf(path + ".bak"), before);
        QCOMPARE(scalar(path, "SELECT version FROM schema_version").toInt(), SiteDatabase::kSchemaVersion);
        const QList<HistoryRow> h = db.history("Bakery", {}, 10);
        QCOMPARE(h.size(), 1);
        QCOMPARE(h[0].operatorName, QString("anna"));
        QCOMPARE(h[0].serial, QString("SIM0001"));
        const std::optional<Snapshot> s = db.snapshot("@site:Bakery");
        QVERIFY(s);
        QCOMPARE(s->values.value(0), qMakePair(QByteArray("CALL:USER1.PN"), QByteArray("+36301112233")));
        // What the later schemas add works on it.
        QVERIFY(db.recordStatus({"SIM0001", {}, {}, {}, {}}, {{}, "18", "12610", "23", "2.14", "0d 02:13:40"}));
        QCOMPARE(db.statusHistory("Bakery", 5).value(0).supply, QString("12610"));
        QVERIFY(!scalar(path, "SELECT uid FROM event").toString().isEmpty());
    }

    // A newer schema, another program's database and a damaged file are
    // refused with a reason that names them, and stay as they were.
    void foreignDatabasesAreLeftUntouched() {
        const QString newer = fresh("newer.sqlite");
        {
            SiteDatabase db({newer, {}});
            QVERIFY(db.open());
        }
        scalar(newer, "UPDATE schema_version SET version = 99");
        const QString other = fresh("other.sqlite");
        scalar(other, "CREATE TABLE notes (text TEXT)");
        QStringList refused{newer, other};
        if (!team) {
            const QString damaged = dir_.filePath("damaged.sqlite");
            QFile f(damaged);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(QByteArray(8192, 'x'));
            f.close();
            refused << damaged;
        }
        for (const QString& ref : refused) {
            const QByteArray before = team ? QByteArray() : bytesOf(ref);
            SiteDatabase db({ref, {}});
            QVERIFY(!db.open());
            QVERIFY2(db.failure().text.contains(db.path()), qPrintable(db.failure().text));
            QCOMPARE(db.record(readEvent(values("x"))), qint64(0));
            if (!team) QCOMPARE(bytesOf(ref), before);
            QVERIFY(!QFile::exists(ref + ".bak"));
        }
        QCOMPARE(scalar(other, "SELECT count(*) FROM notes").toInt(), 0);
        QVERIFY(!scalar(other, "SELECT count(*) FROM schema_version").isValid());
        SiteDatabase db({newer, {}});
        db.open();
        QVERIFY(db.failure().text.contains("newer"));
        QCOMPARE(scalar(newer, "SELECT version FROM schema_version").toInt(), 99);
    }

    void snapshotsAreStoredOnceAndFoundByReference() {
        const QString ref = fresh("refs.sqlite");
        SiteDatabase db({ref, "anna"});
        QVERIFY(db.open());
        QVERIFY2(db.addSite({0, "Bakery", "Main street 1", "Kovacs", {}, {}, {}}), qPrintable(db.failure().text));
        QVERIFY(!db.addSite({0, "Bakery", {}, {}, {}, {}, {}}));   // the name is taken
        QVERIFY(!db.assign("Nowhere", {"SIM0001", {}, {}, {}, {}}));
        QVERIFY(db.assign("Bakery", {"SIM0001", {}, {}, {}, {}}));
        const qint64 first = db.record(readEvent(values("")));
        const qint64 again = db.record(readEvent(values("")));
        const qint64 changed = db.record(readEvent(values("+36209876543")));
        QVERIFY2(first > 0 && again > first && changed > again, qPrintable(db.failure().text));
        const QList<HistoryRow> h = db.history("Bakery", {}, 10);
        QCOMPARE(h.size(), 3);
        QCOMPARE(h[2].snapshotId, h[1].snapshotId);   // the same content, stored once
        QVERIFY(h[0].snapshotId != h[1].snapshotId);
        QCOMPARE(scalar(ref, "SELECT count(*) FROM snapshot").toInt(), 2);
        // The values come back as they were given, control characters and code page included.
        QCOMPARE(db.snapshot(h[0].snapshotId)->values, values("+36209876543"));
        QCOMPARE(db.snapshot("@site:Bakery")->id, h[0].snapshotId);
        QCOMPARE(db.snapshot("@module:SIM0001")->id, h[0].snapshotId);
        QCOMPARE(db.snapshot(QStringLiteral("@%1").arg(h[1].snapshotId))->values, values(""));
        QCOMPARE(db.previousSnapshot(h[0].snapshotId)->id, h[1].snapshotId);
        QVERIFY(!db.snapshot("@site:Nowhere"));
        QVERIFY(!db.snapshot("@999"));
        QVERIFY(!db.snapshot("12"));
        // An event given again by its uid is stored once.
        Event e = readEvent(values("1"));
        e.uid = "same-event";
        bool added = false;
        const qint64 id = db.record(e, &added);
        QVERIFY(id > 0 && added);
        QCOMPARE(db.record(e, &added), id);
        QVERIFY(!added);
        // A module moved to another site takes its later events there.
        QVERIFY(db.addSite({0, "Office", {}, {}, {}, {}, {}}));
        QVERIFY(db.assign("Office", {"SIM0001", {}, {}, {}, {}}));
        QCOMPARE(db.siteOf({"SIM0001", {}, {}, {}, {}})->name, QString("Office"));
        QVERIFY(db.sites("bakery").value(0).serial.isEmpty());
        QVERIFY(db.record(readEvent(values("1"))) > 0);
        QCOMPARE(db.history("Office", {}, 10).size(), 1);
        QCOMPARE(db.history({}, "SIM0001", 10).size(), 5);
        QCOMPARE(db.sites("kovacs").value(0).name, QString("Bakery"));
    }

    // Four programs recording for one site and module at once, from the
    // database's creation on (on the server: all four migrate it at once):
    // nothing lost, no snapshot stored twice, one order for all.
    void fourWritersLoseNothing() {
        const QString ref = fresh("shared.sqlite");
        const QList<QProcess*> writers = startWriters(ref, 4);
        for (QProcess* p : writers) {
            QVERIFY(p->waitForFinished(600000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        }
        SiteDatabase db({ref, {}});
        QVERIFY(db.open());
        QCOMPARE(scalar(ref, "SELECT count(*) FROM event").toInt(), 4000);
        QCOMPARE(scalar(ref, "SELECT count(*) FROM module").toInt(), 1);
        QCOMPARE(scalar(ref, "SELECT count(*) FROM snapshot").toInt(), 10);
        const QList<HistoryRow> h = db.history({}, "SIM-SHARED", 0);
        QCOMPARE(h.size(), 4000);
        for (int i = 1; i < h.size(); ++i)
            QVERIFY(h[i - 1].at > h[i].at || (h[i - 1].at == h[i].at && h[i - 1].id > h[i].id));
        QCOMPARE(db.history({}, "SIM-SHARED", 0).first().id, h.first().id);   // the same order again
        // A writer killed at some moment loses at most the event under way:
        // the database stays whole, and every event it made is there with its module.
        QProcess* killed = startWriters(ref, 1).first();
        QTRY_VERIFY_WITH_TIMEOUT(scalar(ref, "SELECT count(*) FROM event").toInt() > 4010, 120000);
        killed->kill();
        QVERIFY(killed->waitForFinished(60000));
        if (!team) QCOMPARE(scalar(ref, "PRAGMA integrity_check").toString(), QString("ok"));
        QCOMPARE(scalar(ref,
                        "SELECT count(*) FROM event e LEFT JOIN module m ON m.id = e.module_id "
                        "WHERE m.id IS NULL")
                     .toInt(),
                 0);
        SiteDatabase after({ref, {}});
        QVERIFY(after.open());
        QVERIFY(after.record(readEvent(values("after"))) > 0);
    }

    // A one-person file to this pass's engine and back: everything arrives
    // once, with its operator, site and snapshot, and a second copy adds nothing.
    void copyGoesOverOnce() {
        const QString own = dir_.filePath(QStringLiteral("own-%1.sqlite").arg(team));
        {
            SiteDatabase db({own, "anna"});
            QVERIFY(db.open());
            QVERIFY(db.addSite({0, "Bakery", "Main street 1", {}, {}, {}, {}}));
            QVERIFY(db.assign("Bakery", {"SIM0001", {}, {}, {}, {}}));
            for (int i = 0; i < 3; ++i) QVERIFY(db.record(readEvent(values(QByteArray::number(i)))) > 0);
            Event none = readEvent(values("x"), "SIM0002");   // a module at no site
            QVERIFY(db.record(none) > 0);
            QVERIFY(db.recordStatus({"SIM0001", {}, {}, {}, {}}, {{}, "18", "12610", "23", "2.14", "1d"}));
        }
        const QString target = fresh("target.sqlite");
        const QString back = dir_.filePath(QStringLiteral("back-%1.sqlite").arg(team));
        SiteDatabase from({own, {}}), to({target, "bela"}), home({back, {}});
        QVERIFY(from.open() && to.open() && home.open());
        CopyCount n;
        QVERIFY2(copyDatabase(from, to, &n), qPrintable(to.failure().text));
        QCOMPARE(n.sites, 1);
        QCOMPARE(n.installations, 1);
        QCOMPARE(n.events, 4);
        QCOMPARE(n.statuses, 1);
        QVERIFY(copyDatabase(from, to, &n));
        QCOMPARE(n.sites + n.installations + n.events + n.statuses, 0);
        QVERIFY(copyDatabase(to, home, &n));
        QCOMPARE(n.events, 4);
        for (SiteDatabase* db : {&to, &home}) {
            const QList<HistoryRow> h = db->history("Bakery", {}, 0);
            QCOMPARE(h.size(), 3);
            QCOMPARE(h[0].operatorName, QString("anna"));
            QCOMPARE(db->snapshot(h[0].snapshotId)->values, values("2"));
            QCOMPARE(db->history({}, "SIM0002", 0).value(0).site, QString());
            QCOMPARE(db->siteOf({"SIM0001", {}, {}, {}, {}})->name, QString("Bakery"));
            QCOMPARE(db->statusHistory("Bakery", 0).size(), 1);
        }
        QCOMPARE(scalar(target, "SELECT count(*) FROM snapshot").toInt(), 4);
    }

    // A database that cannot be made: recording is told once, the caller
    // never waits on it, and nothing else changes.
    void unusableDatabaseIsToldOnce() {
        if (team) QSKIP("a file's own (a server out of reach queues its records)");
        const QString notAFolder = dir_.filePath("plain-file");
        QFile f(notAFolder);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.close();
        Recorder r({notAFolder + "/sites.sqlite", {}, true});
        QSignalSpy told(&r, &Recorder::failed);
        for (int i = 0; i < 3; ++i) r.record(readEvent(values("")));
        r.flush();
        QTRY_COMPARE(told.size(), 1);
        QVERIFY2(r.failureText().contains(notAFolder), qPrintable(r.failureText()));
        // Turned off, it writes nothing at all.
        const QString off = dir_.filePath("off.sqlite");
        Recorder none({off, {}, false});
        none.record(readEvent(values("")));
        none.flush();
        QVERIFY(!QFile::exists(off));
    }

    // Fallen idle, the recorder leaves every record in the file itself: a
    // copy of the file alone, as a backup takes it while the program runs,
    // holds them.
    void idleRecorderLeavesTheFileWhole() {
        if (team) QSKIP("a file's own");
        const QString path = fresh("idle.sqlite");
        Recorder r({path, "anna", true});
        for (const char* phone : {"1", "2"}) r.record(readEvent(values(phone)));
        r.flush();
        const QString copy = dir_.filePath("idle-copy.sqlite");
        QVERIFY(QFile::copy(path, copy));
        SiteDatabase db({copy, {}});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QCOMPARE(db.history({}, "SIM0001", 10).size(), 2);
    }

    // The server out of reach: the records wait in the queue, in order, and
    // history shows them; reached again, they are sent once, and the queue
    // of another server is not touched.
    void offlineRecordsAreSentOnce() {
        if (!team) QSKIP("a team database's");
        const QString ref = fresh("unused");
        const QString queue = dir_.filePath("queue.sqlite");
        {
            SiteDatabase db({ref, {}});
            QVERIFY(db.open());
            QVERIFY(db.addSite({0, "Bakery", {}, {}, {}, {}, {}}));
            QVERIFY(db.assign("Bakery", {"SIM0001", {}, {}, {}, {}}));
        }
        // The same database through a socket folder that is not there yet:
        // the server out of reach, then back when the folder appears.
        QString why;
        Reference gone = *Reference::parse(ref, {}, &why);
        if (!gone.host.startsWith('/')) QSKIP("needs the server on a socket folder");
        const QString folder = gone.host;
        gone.host = dir_.filePath("server");
        QVERIFY(OfflineQueue(queue).open());
        {
            OfflineQueue other(queue);
            Event e = readEvent(values("other"));
            e.uid = "other-server";
            e.at = QDateTime::currentDateTimeUtc();
            QVERIFY(other.add("postgresql://x@elsewhere/db", e));
        }
        {
            Recorder r({gone.display(), "anna", true, true, queue});
            for (int i = 0; i < 3; ++i) r.record(readEvent(values(QByteArray::number(i))));
            r.recordStatus({"SIM0001", {}, {}, {}, {}}, {{}, "18", "12610", "23", "2.14", "1d"});
            r.flush();
            QCOMPARE(r.pending(), 4);
            QVERIFY2(r.offlineReason().contains(gone.host), qPrintable(r.offlineReason()));
            QVERIFY(r.failureText().isEmpty());   // nothing lost: no failure
            OfflineQueue q(queue);
            const QList<HistoryRow> h = q.history(gone.display(), {}, "SIM0001", 0);
            QCOMPARE(h.size(), 3);
            QCOMPARE(h[0].operatorName, QString("anna"));
        }
        // Reached: sent at once, oldest first, each once.
        QVERIFY(QFile::link(folder, gone.host));
        OfflineQueue q(queue);
        {
            Recorder r({gone.display(), "anna", true, true, queue});
            r.flush();
            QCOMPARE(r.pending(), 0);
            QVERIFY(r.offlineReason().isEmpty());
        }
        SiteDatabase db({gone.display(), {}});
        QVERIFY(db.open());
        const QList<HistoryRow> h = db.history("Bakery", {}, 0);
        QCOMPARE(h.size(), 3);
        QCOMPARE(db.snapshot(h[0].snapshotId)->values, values("2"));
        QCOMPARE(db.snapshot(h[2].snapshotId)->values, values("0"));
        QCOMPARE(db.statusHistory("Bakery", 0).size(), 1);
        QCOMPARE(q.count(db.path()), 0);
        QCOMPARE(q.sendTo(db), 0);   // nothing more to send
        QCOMPARE(q.count("postgresql://x@elsewhere/db"), 1);
        // Sent again after a stop between storing and forgetting: stored once.
        Event e = readEvent(values("again"));
        e.uid = "sent-twice";
        e.at = QDateTime::currentDateTimeUtc();
        QVERIFY(q.add(db.path(), e));
        QVERIFY(db.record(e) > 0);
        QCOMPARE(q.sendTo(db), 1);
        QCOMPARE(scalar(ref, "SELECT count(*) FROM event WHERE uid = 'sent-twice'").toInt(), 1);
    }

    // The role an installer gets on the team server: records and reads, and
    // cannot delete what was recorded.
    void installerRoleRecordsButCannotDelete() {
        if (!team) QSKIP("a team database's");
        const QString ref = fresh("unused");
        {
            SiteDatabase db({ref, {}});
            QVERIFY(db.open());
            QVERIFY(db.addSite({0, "Bakery", {}, {}, {}, {}, {}}));
        }
        QString why;
        Reference r = *Reference::parse(ref, {}, &why);
        scalar(ref, "DROP ROLE IF EXISTS installer_" + r.database);
        // As the README gives it.
        for (const QString& sql :
             {QString("CREATE ROLE installer_%1 LOGIN").arg(r.database),
              QString("GRANT SELECT, INSERT ON ALL TABLES IN SCHEMA public TO installer_%1").arg(r.database),
              QString("GRANT UPDATE (last_seen, type, hardware, firmware, phone) ON module TO installer_%1")
                  .arg(r.database),
              QString("GRANT UPDATE (removed_at) ON installation TO installer_%1").arg(r.database)})
            scalar(ref, sql);
        r.user = "installer_" + r.database;
        SiteDatabase db({r.display(), "bela"});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QVERIFY(db.assign("Bakery", {"SIM0001", {}, {}, {}, {}}));
        QVERIFY2(db.record(readEvent(values("1"))) > 0, qPrintable(db.failure().text));
        QVERIFY(db.record(readEvent(values("1"), "SIM0002")) > 0);
        QVERIFY(db.recordStatus({"SIM0001", {}, {}, {}, {}}, {{}, "18", "12610", "23", "2.14", "1d"}));
        QVERIFY(db.assign("Bakery", {"SIM0002", {}, {}, {}, {}}));
        QCOMPARE(db.history("Bakery", {}, 0).size(), 1);
        scalar(r.display(), "DELETE FROM event");   // refused: permission denied
        QCOMPARE(scalar(ref, "SELECT count(*) FROM event").toInt(), 2);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KESTRUM_SITES_WRITER"))
        return writeEvents(qEnvironmentVariable("KESTRUM_SITES_WRITER"), 1000);
    int failed = 0;
    {
        TestSites file;
        failed += QTest::qExec(&file, argc, argv);
    }
    if (server().isEmpty()) {
        qWarning("KESTRUM_TEST_POSTGRES is not set: the site database was not tested on PostgreSQL");
        return failed;
    }
    team = true;
    TestSites onServer;
    failed += QTest::qExec(&onServer, argc, argv);
    return failed;
}

#include "test_sites.moc"
