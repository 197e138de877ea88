// The site database: schema and migrations, files it must leave alone,
// snapshots stored once and found by reference, several writers on one file,
// and a recorder that tells a database it cannot use once.
#include "sites/Recorder.h"
#include "sites/SiteDatabase.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#ifndef _WIN32
#include <sys/stat.h>
#endif

using namespace sites;

namespace {

QByteArray bytesOf(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Runs sql on the file through a connection of its own.
QVariant scalar(const QString& path, const QString& sql) {
    QVariant v;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "probe");
        db.setDatabaseName(path);
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next()) v = q.value(0);
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

// A second process writes events into the same file (see main).
int writeEvents(const QString& path, int count) {
    SiteDatabase db({path, "writer"});
    if (!db.open()) {
        fprintf(stderr, "%s\n", qPrintable(db.failure().text));
        return 2;
    }
    for (int i = 0; i < count; ++i) {
        Event e;
        e.action = "read";
        e.module.serial = QStringLiteral("SIM%1").arg(QCoreApplication::applicationPid());
        if (db.record(e) == 0) return 3;
    }
    return 0;
}

}   // namespace

class TestSites : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

private slots:
    void newFileIsPrivateAndCurrent() {
        const QString path = dir_.filePath("new/sites.sqlite");
        SiteDatabase db({path, {}});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QCOMPARE(scalar(path, "SELECT version FROM schema_version").toInt(), SiteDatabase::kSchemaVersion);
#ifndef _WIN32
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 0777), 0600);
#endif
        // A second open finds it current and changes nothing.
        SiteDatabase again({path, {}});
        QVERIFY(again.open());
        QVERIFY(!QFile::exists(path + ".bak"));
    }

    // The file of the first schema, kept as test data: copied aside, then
    // migrated in place with everything in it.
    void olderFileIsKeptAsideAndMigrated() {
        const QString path = dir_.filePath("v1.sqlite");
        QVERIFY(QFile::copy(QFINDTESTDATA("../data/sites-v1.sqlite"), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
        const QByteArray before = bytesOf(path);
        SiteDatabase db({path, "bela"});
        QVERIFY2(db.open(), qPrintable(db.failure().text));
        QCOMPARE(bytesOf(path + ".bak"), before);
        QCOMPARE(scalar(path, "SELECT version FROM schema_version").toInt(), 2);
        const QList<HistoryRow> h = db.history("Bakery", {}, 10);
        QCOMPARE(h.size(), 1);
        QCOMPARE(h[0].operatorName, QString("anna"));
        QCOMPARE(h[0].serial, QString("SIM0001"));
        const std::optional<Snapshot> s = db.snapshot("@site:Bakery");
        QVERIFY(s);
        QCOMPARE(s->values.value(0), qMakePair(QByteArray("CALL:USER1.PN"), QByteArray("+36301112233")));
        // What the second schema adds works on it.
        QVERIFY(db.recordStatus({"SIM0001", {}, {}, {}, {}}, {{}, "18", "12610", "23", "2.14", "0d 02:13:40"}));
        QCOMPARE(db.statusHistory("Bakery", 5).value(0).supply, QString("12610"));
    }

    // A newer schema, another program's database and a damaged file are
    // refused with a reason that names them, and stay byte for byte.
    void foreignFilesAreLeftUntouched() {
        const QString newer = dir_.filePath("newer.sqlite");
        QVERIFY(QFile::copy(QFINDTESTDATA("../data/sites-v1.sqlite"), newer));
        QFile::setPermissions(newer, QFile::ReadOwner | QFile::WriteOwner);
        scalar(newer, "UPDATE schema_version SET version = 99");
        const QString other = dir_.filePath("other.sqlite");
        scalar(other, "CREATE TABLE notes (text TEXT)");
        const QString damaged = dir_.filePath("damaged.sqlite");
        QFile f(damaged);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(8192, 'x'));
        f.close();
        for (const QString& path : {newer, other, damaged}) {
            const QByteArray before = bytesOf(path);
            SiteDatabase db({path, {}});
            QVERIFY(!db.open());
            QVERIFY2(db.failure().text.contains(path), qPrintable(db.failure().text));
            QCOMPARE(db.record(readEvent(values("x"))), qint64(0));
            QCOMPARE(bytesOf(path), before);
            QVERIFY(!QFile::exists(path + ".bak"));
        }
        SiteDatabase db({newer, {}});
        db.open();
        QVERIFY(db.failure().text.contains("newer"));
    }

    void snapshotsAreStoredOnceAndFoundByReference() {
        const QString path = dir_.filePath("refs.sqlite");
        SiteDatabase db({path, "anna"});
        QVERIFY(db.open());
        QVERIFY2(db.addSite({0, "Bakery", "Main street 1", "Kovacs", {}, {}, {}}), qPrintable(db.failure().text));
        QVERIFY(!db.addSite({0, "Bakery", {}, {}, {}, {}, {}}));   // the name is taken
        QVERIFY(!db.assign("Nowhere", {"SIM0001", {}, {}, {}, {}}));
        QVERIFY(db.assign("Bakery", {"SIM0001", {}, {}, {}, {}}));
        const qint64 first = db.record(readEvent(values("")));
        const qint64 again = db.record(readEvent(values("")));
        const qint64 changed = db.record(readEvent(values("+36209876543")));
        QVERIFY(first > 0 && again > first && changed > again);
        const QList<HistoryRow> h = db.history("Bakery", {}, 10);
        QCOMPARE(h.size(), 3);
        QCOMPARE(h[2].snapshotId, h[1].snapshotId);   // the same content, stored once
        QVERIFY(h[0].snapshotId != h[1].snapshotId);
        QCOMPARE(scalar(path, "SELECT count(*) FROM snapshot").toInt(), 2);
        // The values come back as they were given, control characters and code page included.
        QCOMPARE(db.snapshot(h[0].snapshotId)->values, values("+36209876543"));
        QCOMPARE(db.snapshot("@site:Bakery")->id, h[0].snapshotId);
        QCOMPARE(db.snapshot("@module:SIM0001")->id, h[0].snapshotId);
        QCOMPARE(db.snapshot(QStringLiteral("@%1").arg(h[1].snapshotId))->values, values(""));
        QCOMPARE(db.previousSnapshot(h[0].snapshotId)->id, h[1].snapshotId);
        QVERIFY(!db.snapshot("@site:Nowhere"));
        QVERIFY(!db.snapshot("@999"));
        QVERIFY(!db.snapshot("12"));
        // A module moved to another site takes its later events there.
        QVERIFY(db.addSite({0, "Office", {}, {}, {}, {}, {}}));
        QVERIFY(db.assign("Office", {"SIM0001", {}, {}, {}, {}}));
        QCOMPARE(db.siteOf({"SIM0001", {}, {}, {}, {}})->name, QString("Office"));
        QVERIFY(db.sites("bakery").value(0).serial.isEmpty());
        QVERIFY(db.record(readEvent(values("1"))) > 0);
        QCOMPARE(db.history("Office", {}, 10).size(), 1);
        QCOMPARE(db.history({}, "SIM0001", 10).size(), 4);
        QCOMPARE(db.sites("kovacs").value(0).name, QString("Bakery"));
    }

    // Two programs on one file (the window and a batch), from its creation
    // on: nothing is lost.
    void twoWritersLoseNothing() {
        const QString path = dir_.filePath("shared.sqlite");
        QList<QProcess*> writers;
        for (int i = 0; i < 2; ++i) {
            auto* p = new QProcess(this);
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("KESTRUM_SITES_WRITER", path);
            p->setProcessEnvironment(env);
            p->start(QCoreApplication::applicationFilePath(), {});
            writers << p;
        }
        for (QProcess* p : writers) {
            QVERIFY(p->waitForFinished(240000));
            QVERIFY2(p->exitCode() == 0, p->readAllStandardError().constData());
        }
        QCOMPARE(scalar(path, "SELECT count(*) FROM event").toInt(), 1000);
        QCOMPARE(scalar(path, "SELECT count(*) FROM module").toInt(), 2);
        // A writer killed at some moment loses at most the event under way:
        // the file stays whole, and every event it made is there with its module.
        QProcess killed;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KESTRUM_SITES_WRITER", path);
        killed.setProcessEnvironment(env);
        killed.start(QCoreApplication::applicationFilePath(), {});
        QTRY_VERIFY_WITH_TIMEOUT(scalar(path, "SELECT count(*) FROM event").toInt() > 1010, 60000);
        killed.kill();
        QVERIFY(killed.waitForFinished(60000));
        QCOMPARE(scalar(path, "PRAGMA integrity_check").toString(), QString("ok"));
        QCOMPARE(scalar(path,
                        "SELECT count(*) FROM event e LEFT JOIN module m ON m.id = e.module_id "
                        "WHERE m.id IS NULL")
                     .toInt(),
                 0);
        SiteDatabase after({path, {}});
        QVERIFY(after.open());
        QVERIFY(after.record(readEvent(values("after"))) > 0);
    }

    // A database that cannot be made: recording is told once, the caller
    // never waits on it, and nothing else changes.
    void unusableDatabaseIsToldOnce() {
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
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KESTRUM_SITES_WRITER"))
        return writeEvents(qEnvironmentVariable("KESTRUM_SITES_WRITER"), 500);
    TestSites t;
    return QTest::qExec(&t, argc, argv);
}

#include "test_sites.moc"
