#include "sites/SiteDatabase.h"

#include "core/text/Codec.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QThread>
#include <QUuid>
#include <QVariant>

#include <limits>

#ifndef _WIN32
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#endif

namespace sites {
namespace {

// The migrations, in order: migration N takes the schema from version N-1 to
// N. Plain standard SQL for both engines; KEY stands for the dialect's
// integer key that the database numbers itself.
const QStringList kMigrations[] = {
    // 1: sites, modules, where they are installed, snapshots and events.
    {
        "CREATE TABLE schema_version (version INTEGER NOT NULL)",
        "INSERT INTO schema_version (version) VALUES (0)",
        "CREATE TABLE site (id KEY, name TEXT NOT NULL UNIQUE, address TEXT NOT NULL, customer TEXT NOT NULL, "
        "notes TEXT NOT NULL, created_at TEXT NOT NULL)",
        "CREATE TABLE module (id KEY, serial TEXT UNIQUE, phone TEXT UNIQUE, type TEXT NOT NULL, "
        "hardware TEXT NOT NULL, firmware TEXT NOT NULL, first_seen TEXT NOT NULL, last_seen TEXT NOT NULL)",
        "CREATE TABLE installation (id KEY, site_id INTEGER NOT NULL REFERENCES site (id), "
        "module_id INTEGER NOT NULL REFERENCES module (id), installed_at TEXT NOT NULL, removed_at TEXT)",
        "CREATE TABLE snapshot (id KEY, content_hash TEXT NOT NULL UNIQUE, content TEXT NOT NULL, "
        "created_at TEXT NOT NULL)",
        "CREATE TABLE event (id KEY, at TEXT NOT NULL, action TEXT NOT NULL, done INTEGER NOT NULL, "
        "reason TEXT NOT NULL, duration_ms INTEGER NOT NULL, settings INTEGER NOT NULL, "
        "snapshot_id INTEGER REFERENCES snapshot (id), source TEXT NOT NULL, link TEXT NOT NULL, "
        "operator TEXT NOT NULL, module_id INTEGER REFERENCES module (id), site_id INTEGER REFERENCES site (id))",
        "CREATE INDEX event_site ON event (site_id, at)",
        "CREATE INDEX event_module ON event (module_id, at)",
    },
    // 2: the status seen at each connection.
    {
        "CREATE TABLE status (id KEY, at TEXT NOT NULL, module_id INTEGER NOT NULL REFERENCES module (id), "
        "site_id INTEGER REFERENCES site (id), signal TEXT NOT NULL, supply TEXT NOT NULL, "
        "temperature TEXT NOT NULL, firmware TEXT NOT NULL, uptime TEXT NOT NULL)",
        "CREATE INDEX status_site ON status (site_id, at)",
    },
    // 3: each event and status visit named once for good, so that a copy or
    // a record sent again from the offline queue is stored once; the rows
    // of before are named by what they hold.
    {
        "ALTER TABLE event ADD COLUMN uid TEXT",
        "UPDATE event SET uid = 'v2:' || at || ':' || operator || ':' || id",
        "CREATE UNIQUE INDEX event_uid ON event (uid)",
        "ALTER TABLE status ADD COLUMN uid TEXT",
        "UPDATE status SET uid = 'v2:' || at || ':' || module_id || ':' || id",
        "CREATE UNIQUE INDEX status_uid ON status (uid)",
    },
};

// The one lock on a team server under which a schema is migrated.
constexpr qint64 kMigrationLock = 0x4b65737472756d;

QString newUid() { return QUuid::createUuid().toString(QUuid::WithoutBraces); }
static_assert(std::size(kMigrations) == SiteDatabase::kSchemaVersion, "one migration per schema version");

QString nowUtc() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }

QString escape(const QString& s) {
    QString out;
    for (QChar c : s) {
        if (c == '\\')
            out += QStringLiteral("\\\\");
        else if (c == '\n')
            out += QStringLiteral("\\n");
        else if (c == '\r')
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

std::optional<QString> unescape(const QString& s) {
    QString out;
    for (int i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (++i == s.size()) return std::nullopt;
        if (s[i] == '\\')
            out += '\\';
        else if (s[i] == 'n')
            out += '\n';
        else if (s[i] == 'r')
            out += '\r';
        else
            return std::nullopt;
    }
    return out;
}

}   // namespace

QString SiteDatabase::userName() {
    for (const char* name : {"USER", "USERNAME", "LOGNAME"})
        if (const QString u = qEnvironmentVariable(name); !u.isEmpty()) return u;
#ifndef _WIN32
    // No name in the environment (a service, a container): the account's.
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name);
#endif
    return QStringLiteral("unknown");
}

namespace {

// A new file, readable and writable by its owner only, before SQLite opens it.
bool createPrivate(const QString& path, QString* why) {
    QDir().mkpath(QFileInfo(path).absolutePath());
#ifndef _WIN32
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0) {
        if (errno == EEXIST) return true;
        *why = Failure::fromErrno(errno).text;
        return false;
    }
    ::close(fd);
    return true;
#else
    QFile f(path);
    if (f.exists()) return true;
    if (!f.open(QIODevice::WriteOnly)) {
        *why = f.errorString();
        return false;
    }
    return true;
#endif
}

}   // namespace

QString SiteDatabase::stamp(const QDateTime& t) {
    return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : nowUtc();
}

QDateTime SiteDatabase::fromStamp(const QString& s) {
    QDateTime t = QDateTime::fromString(s, Qt::ISODateWithMs);
    t.setTimeSpec(Qt::UTC);
    return t;
}

QString SiteDatabase::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath("sites.sqlite");
}

SiteDatabase::SiteDatabase(Options options)
    : operator_(options.operatorName.isEmpty() ? userName() : options.operatorName),
      upgrade_(options.upgrade),
      connection_(QStringLiteral("kestrum-sites-") + QUuid::createUuid().toString(QUuid::WithoutBraces)) {
    QString why;
    if (std::optional<Reference> r = Reference::parse(options.reference, defaultPath(), &why)) {
        ref_ = *r;
        name_ = ref_.display();
    } else {
        name_ = options.reference;
        failure_ = {Failure::Kind::Refused, why};
    }
}

SiteDatabase::~SiteDatabase() {
    prepared_.clear();
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (db.isValid()) db.close();
    }
    if (QSqlDatabase::contains(connection_)) QSqlDatabase::removeDatabase(connection_);
}

bool SiteDatabase::fail(Failure::Kind kind, const QString& text) {
    failure_ = {kind, text};
    return false;
}

bool SiteDatabase::exec(const QString& sql, const QVariantList& bound) { return run(sql, bound) != nullptr; }

QSqlQuery* SiteDatabase::run(const QString& sql, const QVariantList& bound) {
    std::unique_ptr<QSqlQuery>& q = prepared_[sql];
    if (!q) {
        q = std::make_unique<QSqlQuery>(QSqlDatabase::database(connection_, false));
        q->setForwardOnly(true);
        if (!q->prepare(sql)) {
            fail(Failure::Kind::Io, q->lastError().text());
            prepared_.erase(sql);
            return nullptr;
        }
    }
    // An empty text is bound as text: only a value made null on purpose
    // (QVariant of a type, without a value) is NULL.
    for (int i = 0; i < bound.size(); ++i) {
        const QVariant& v = bound[i];
        if (!v.isNull() && v.typeId() == QMetaType::QString && v.toString().isNull())
            q->bindValue(i, QStringLiteral(""));
        else
            q->bindValue(i, v);
    }
    if (!q->exec()) {
        fail(Failure::Kind::Io, q->lastError().text());
        q->finish();
        return nullptr;
    }
    return q.get();
}

bool SiteDatabase::open() {
    if (failure_ && !ref_.isTeam() && ref_.path.isEmpty()) return false;   // a reference not understood
    failure_ = {};
    open_ = false;
    version_ = -1;
    prepared_.clear();
    bool existed = true;
    // Only looked at: a file that is not there is not made.
    if (!upgrade_ && !ref_.isTeam() && !QFileInfo::exists(ref_.path))
        return fail(Failure::Kind::NotFound, ref_.path + QStringLiteral(": no such file"));
    if (!(ref_.isTeam() ? connectServer() : connectSqlite(&existed))) return false;
    if (!readVersion()) return false;
    if (version_ > kSchemaVersion)
        return fail(Failure::Kind::Refused, QStringLiteral("%1 was made by a newer Kestrum (schema %2; this one "
                                                           "knows up to %3): it is left as it is")
                                                .arg(name_)
                                                .arg(version_)
                                                .arg(kSchemaVersion));
    if (version_ < kSchemaVersion && !upgrade_)
        return fail(Failure::Kind::Refused,
                    QStringLiteral("%1 has schema %2; this Kestrum's is %3: kestrum-cli db migrate upgrades it")
                        .arg(name_)
                        .arg(version_)
                        .arg(kSchemaVersion));
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    if (!ref_.isTeam()) {
        // An older file is kept as it was before anything of it changes.
        if (version_ > 0 && version_ < kSchemaVersion) {
            prepared_.clear();
            db.close();
            const QString backup = ref_.path + QStringLiteral(".bak");
            QFile::remove(backup);
            if (!QFile::copy(ref_.path, backup))
                return fail(Failure::Kind::Io, QStringLiteral("cannot copy %1 to %2").arg(ref_.path, backup));
            if (!db.open()) return fail(Failure::Kind::Io, name_ + ": " + db.lastError().text());
        }
        // With the write-ahead log, a commit is whole after a crash of the
        // program at any moment without waiting for the disk at each one.
        if (!walMode() || !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
            !exec(QStringLiteral("PRAGMA foreign_keys=ON")))
            return fail(failure_.kind, name_ + ": " + failure_.text);
    }
    if (version_ < kSchemaVersion && !migrate(version_)) return false;
    open_ = true;
    return true;
}

bool SiteDatabase::connectSqlite(bool* existed) {
    const QString& path = ref_.path;
    *existed = QFileInfo::exists(path) && QFileInfo(path).size() > 0;
    QString why;
    if (!*existed && !createPrivate(path, &why)) return fail(Failure::Kind::NoAccess, path + ": " + why);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(Failure::Kind::NotFound, QStringLiteral("Qt's SQLite driver (QSQLITE) is not installed"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path);
    // Another program on the same file (the window and a batch) waits its turn.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyWaitMs));
    if (!db.open()) return fail(Failure::Kind::Io, path + ": " + db.lastError().text());
    return true;
}

bool SiteDatabase::connectServer() {
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL")))
        return fail(Failure::Kind::NotFound, QStringLiteral("Qt's PostgreSQL driver (QPSQL) is not installed"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection_);
    db.setHostName(ref_.host);
    db.setPort(ref_.port);
    db.setUserName(ref_.user);
    db.setDatabaseName(ref_.database);
    // A server out of reach is told in seconds, not after the system's
    // minutes; the user's own connect_timeout holds.
    Reference r = ref_;
    bool timeout = false;
    for (const auto& [key, value] : r.options) timeout = timeout || key == QLatin1String("connect_timeout");
    if (!timeout) r.options.append({QStringLiteral("connect_timeout"), QString::number(kConnectTimeoutSeconds)});
    r.options.append({QStringLiteral("application_name"), QStringLiteral("kestrum")});
    // The server's notices ("… does not exist, skipping") are not the user's business.
    bool own = false;
    for (const auto& [key, value] : r.options) own = own || key == QLatin1String("options");
    if (!own) r.options.append({QStringLiteral("options"), QStringLiteral("-c client_min_messages=warning")});
    db.setConnectOptions(r.connectOptions());
    if (!db.open()) {
        // libpq's own words: "connection refused", "password authentication failed", …
        const QSqlError e = db.lastError();
        const QString why = (e.databaseText().isEmpty() ? e.text() : e.databaseText()).trimmed();
        return fail(Failure::Kind::NotFound, name_ + ": " + why);
    }
    return true;
}

// Which schema the database has: none (new), ours at some version, or
// something else (another program's database, or damage): left alone.
bool SiteDatabase::readVersion() {
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    QSqlQuery q(db);
    // The usual case first, in one round trip to a server.
    if (ref_.isTeam() && q.exec(QStringLiteral("SELECT version FROM schema_version")) && q.next()) {
        version_ = q.value(0).toInt();
        return true;
    }
    // Qt reads the tables of a damaged SQLite file as none: the file's own
    // catalogue tells damage from a new file.
    const bool empty = ref_.isTeam() ? db.tables().isEmpty()
                                     : (q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) && q.next() &&
                                        q.value(0).toInt() == 0);
    if (!ref_.isTeam() && q.lastError().isValid()) return fail(Failure::Kind::Io, name_ + ": " + q.lastError().text());
    if (empty) {
        version_ = 0;
        return true;
    }
    if (!q.exec(QStringLiteral("SELECT version FROM schema_version")) || !q.next())
        return fail(Failure::Kind::Refused, name_ + QStringLiteral(": not a Kestrum site database"));
    version_ = q.value(0).toInt();
    return true;
}

// The write-ahead log, which lets readers and a writer work at once. Turning
// it on needs the file to itself, and SQLite does not wait for that: while
// another program creates the same file, it is asked again for as long as a
// busy write would wait.
bool SiteDatabase::walMode() {
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        QSqlQuery q(QSqlDatabase::database(connection_, false));
        if (q.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) return true;
        const QString code = q.lastError().nativeErrorCode();
        if ((code != QLatin1String("5") && code != QLatin1String("6")) || waited.elapsed() > kBusyWaitMs)
            return fail(Failure::Kind::Busy, q.lastError().text());
        QThread::msleep(10);
    }
}

void SiteDatabase::settle() {
    if (!open_ || ref_.isTeam()) return;
    // TRUNCATE empties the log as well (closing then removes an empty file);
    // without a busy wait it never waits for another connection either: one
    // in the way makes it copy only what it can, as PASSIVE would.
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.exec(QStringLiteral("PRAGMA busy_timeout=0"));
    q.exec(QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE)"));
    q.exec(QStringLiteral("PRAGMA busy_timeout=%1").arg(kBusyWaitMs));
}

// A write transaction on a file takes the write lock at once: one that
// starts reading and then writes could find another writer's commit in
// between, and fail where waiting its turn would have done. The server
// locks the rows a transaction writes.
bool SiteDatabase::begin() {
    if (batch_) return !batchFailed_;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(ref_.isTeam() ? QStringLiteral("BEGIN") : QStringLiteral("BEGIN IMMEDIATE")))
        return fail(Failure::Kind::Io, q.lastError().text());
    return true;
}

bool SiteDatabase::commit() {
    if (batch_) return !batchFailed_;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.exec(QStringLiteral("COMMIT"))) return fail(Failure::Kind::Io, q.lastError().text());
    return true;
}

void SiteDatabase::rollback() {
    const Failure kept = failure_;
    if (batch_) batchFailed_ = true;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.exec(QStringLiteral("ROLLBACK"));
    failure_ = kept;
}

bool SiteDatabase::beginBatch() {
    if (!open_ || batch_) return false;
    if (!begin()) return false;
    batch_ = true;
    batchFailed_ = false;
    return true;
}

bool SiteDatabase::endBatch(bool keep) {
    if (!batch_) return false;
    const bool failed = batchFailed_;
    batch_ = false;
    batchFailed_ = false;
    if (failed) return false;   // rolled back as it failed
    if (keep && commit()) return true;
    rollback();
    return false;
}

bool SiteDatabase::migrate(int from) {
    if (!begin()) return fail(failure_.kind, name_ + ": " + failure_.text);
    QSqlDatabase db = QSqlDatabase::database(connection_, false);
    // Two installers starting a new version at once: the second waits for
    // the first's migration, then finds the schema current.
    if (ref_.isTeam() && !exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kMigrationLock))) {
        rollback();
        return fail(failure_.kind, name_ + ": " + failure_.text);
    }
    // Another program may have brought it up to date while this one waited
    // for the lock: the version is read again under it.
    if (db.tables().contains(QStringLiteral("schema_version"))) {
        QSqlQuery q(db);
        if (q.exec(QStringLiteral("SELECT version FROM schema_version")) && q.next()) from = q.value(0).toInt();
    }
    const QString key = ref_.isTeam() ? QStringLiteral("id INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY")
                                      : QStringLiteral("id INTEGER PRIMARY KEY");
    for (int v = from + 1; v <= kSchemaVersion; ++v) {
        for (QString sql : kMigrations[v - 1]) {
            sql.replace(QStringLiteral("id KEY"), key);
            QSqlQuery q(db);
            if (!q.exec(sql)) {
                const QString why = q.lastError().text();
                rollback();
                return fail(Failure::Kind::Io, QStringLiteral("%1: migration %2: %3").arg(name_).arg(v).arg(why));
            }
        }
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("UPDATE schema_version SET version = %1").arg(v))) {
            const QString why = q.lastError().text();
            rollback();
            return fail(Failure::Kind::Io, QStringLiteral("%1: migration %2: %3").arg(name_).arg(v).arg(why));
        }
    }
    if (!commit()) return fail(failure_.kind, name_ + ": " + failure_.text);
    version_ = kSchemaVersion;
    return true;
}

// --- Snapshots' content ------------------------------------------------------

QString SiteDatabase::content(const Values& values) {
    QString text;
    for (const auto& [key, value] : values)
        text += QString::fromLatin1(key) + '=' + escape(text::fromCp1250(value)) + '\n';
    return text;
}

std::optional<Values> SiteDatabase::parseContent(const QString& content) {
    Values values;
    const QStringList lines = content.split('\n', Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const int eq = line.indexOf('=');
        if (eq <= 0) return std::nullopt;
        const std::optional<QString> value = unescape(line.mid(eq + 1));
        if (!value) return std::nullopt;
        values.append({line.left(eq).toLatin1(), text::toCp1250(*value)});
    }
    return values;
}

// --- Sites ---------------------------------------------------------------------

namespace {
// A statement's rows are let go of at the end of the scope: an unfinished
// read would keep the file's state of its start for every later read.
struct Finish {
    QSqlQuery* q;
    ~Finish() {
        if (q) q->finish();
    }
};

const QVariant kNullText = QVariant(QMetaType(QMetaType::QString));
const QVariant kNullId = QVariant(QMetaType(QMetaType::LongLong));
QVariant orNull(const QString& s) { return s.isEmpty() ? kNullText : QVariant(s); }
QVariant orNull(qint64 id) { return id > 0 ? QVariant(id) : kNullId; }

const char* kSiteColumns =
    "SELECT s.id, s.name, s.address, s.customer, s.notes, m.serial, m.phone FROM site s "
    "LEFT JOIN installation i ON i.site_id = s.id AND i.removed_at IS NULL "
    "LEFT JOIN module m ON m.id = i.module_id ";

Site siteFrom(const QSqlQuery& q) {
    return {q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
            q.value(4).toString(),   q.value(5).toString(), q.value(6).toString()};
}
}   // namespace

bool SiteDatabase::addSite(const Site& s) {
    if (!open_) return false;
    if (s.name.trimmed().isEmpty()) return fail(Failure::Kind::Refused, QStringLiteral("a site needs a name"));
    if (site(s.name))
        return fail(Failure::Kind::Refused, QStringLiteral("there is a site named %1 already").arg(s.name));
    return exec(QStringLiteral("INSERT INTO site (name, address, customer, notes, created_at) VALUES (?, ?, ?, ?, ?)"),
                {s.name, s.address, s.customer, s.notes, nowUtc()});
}

QList<Site> SiteDatabase::sites(const QString& search) {
    QList<Site> out;
    if (!open_) return out;
    const QString like = '%' + search.toLower() + '%';
    QSqlQuery* q = run(QString::fromLatin1(kSiteColumns) +
                           "WHERE CAST(? AS TEXT) = '' OR lower(s.name) LIKE ? OR lower(s.customer) LIKE ? OR "
                           "lower(s.address) LIKE ? OR lower(m.serial) LIKE ? OR m.phone LIKE ? ORDER BY s.name",
                       {search, like, like, like, like, like});
    Finish done{q};
    while (q && q->next()) out.append(siteFrom(*q));
    return out;
}

std::optional<Site> SiteDatabase::site(const QString& name) {
    if (!open_) return std::nullopt;
    QSqlQuery* q = run(QString::fromLatin1(kSiteColumns) + "WHERE s.name = ?", {name});
    Finish done{q};
    if (!q || !q->next()) return std::nullopt;
    return siteFrom(*q);
}

std::optional<Site> SiteDatabase::siteOf(const ModuleFacts& module) {
    if (!open_ || !module.known()) return std::nullopt;
    const qint64 id = moduleId(module, false, {});
    if (id <= 0) return std::nullopt;
    QSqlQuery* q = run(QString::fromLatin1(kSiteColumns) + "WHERE m.id = ?", {id});
    Finish done{q};
    if (!q || !q->next()) return std::nullopt;
    return siteFrom(*q);
}

// The site the module is installed at now; 0: none.
qint64 SiteDatabase::siteOfModule(qint64 moduleId) {
    QSqlQuery* q =
        run(QStringLiteral("SELECT site_id FROM installation WHERE module_id = ? AND removed_at IS NULL"), {moduleId});
    Finish done{q};
    return q && q->next() ? q->value(0).toLongLong() : 0;
}

// The module's row, found by its serial number or else its phone number;
// made (or its facts brought up to date) when create is set. 0: none; -1: a
// database failure.
qint64 SiteDatabase::moduleId(const ModuleFacts& m, bool create, const QString& now) {
    if (!m.known()) return 0;
    const auto find = [&]() -> qint64 {
        QSqlQuery* q = run(QStringLiteral("SELECT id FROM module WHERE serial = ? OR (serial IS NULL AND phone = ?)"),
                           {orNull(m.serial), m.phone});
        Finish done{q};
        if (!q) return -1;
        return q->next() ? q->value(0).toLongLong() : 0;
    };
    qint64 id = find();
    if (id < 0 || !create) return id;
    if (id == 0) {
        // Another program may make the same module at the same moment: the
        // one made first is the one.
        QSqlQuery* q =
            run(QStringLiteral("INSERT INTO module (serial, phone, type, hardware, firmware, first_seen, "
                               "last_seen) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT DO NOTHING RETURNING id"),
                {orNull(m.serial), orNull(m.phone), m.type, m.hardware, m.firmware, now, now});
        Finish done{q};
        if (!q) return -1;
        if (q->next()) return q->value(0).toLongLong();
        id = find();
        if (id <= 0) return fail(Failure::Kind::Io, QStringLiteral("the module could not be stored")), -1;
    }
    // What is known now replaces what was known; nothing known stays.
    const bool ok = exec(QStringLiteral("UPDATE module SET last_seen = ?, "
                                        "type = CASE WHEN CAST(? AS TEXT) = '' THEN type ELSE ? END, "
                                        "hardware = CASE WHEN CAST(? AS TEXT) = '' THEN hardware ELSE ? END, "
                                        "firmware = CASE WHEN CAST(? AS TEXT) = '' THEN firmware ELSE ? END, "
                                        "phone = COALESCE(phone, ?) WHERE id = ?"),
                         {now, m.type, m.type, m.hardware, m.hardware, m.firmware, m.firmware, orNull(m.phone), id});
    return ok ? id : -1;
}

bool SiteDatabase::assign(const QString& siteName, const ModuleFacts& module) {
    if (!open_) return false;
    if (!module.known()) return fail(Failure::Kind::NotFound, QStringLiteral("no module to assign"));
    const std::optional<Site> s = site(siteName);
    if (!s) return fail(Failure::Kind::NotFound, QStringLiteral("there is no site named %1").arg(siteName));
    if (!begin()) return false;
    const QString now = nowUtc();
    const qint64 id = moduleId(module, true, now);
    // The module leaves where it was, and the site's module before it leaves the site.
    const bool ok = id > 0 &&
                    exec(QStringLiteral("UPDATE installation SET removed_at = ? WHERE removed_at IS NULL AND "
                                        "(module_id = ? OR site_id = ?)"),
                         {now, id, s->id}) &&
                    exec(QStringLiteral("INSERT INTO installation (site_id, module_id, installed_at) VALUES (?, ?, ?)"),
                         {s->id, id, now});
    if (!ok || !commit()) {
        rollback();
        return false;
    }
    return true;
}

bool SiteDatabase::addInstallation(const Installation& in, bool* added) {
    if (added) *added = false;
    if (!open_ || !in.module.known()) return false;
    const std::optional<Site> s = site(in.site);
    if (!s) return fail(Failure::Kind::NotFound, QStringLiteral("there is no site named %1").arg(in.site));
    if (!begin()) return false;
    const QString at = stamp(in.installedAt);
    const qint64 id = moduleId(in.module, true, at);
    bool ok = id > 0;
    bool there = false;
    if (ok) {
        QSqlQuery* q = run(QStringLiteral("SELECT count(*) FROM installation WHERE site_id = ? AND module_id = ? AND "
                                          "installed_at = ?"),
                           {s->id, id, at});
        Finish done{q};
        ok = q && q->next();
        there = ok && q->value(0).toInt() > 0;
    }
    if (ok && !there)
        ok = exec(QStringLiteral("INSERT INTO installation (site_id, module_id, installed_at, removed_at) "
                                 "VALUES (?, ?, ?, ?)"),
                  {s->id, id, at, in.removedAt.isValid() ? QVariant(stamp(in.removedAt)) : kNullText});
    if (!ok || !commit()) {
        rollback();
        return false;
    }
    if (added) *added = !there;
    return true;
}

// --- Recording -------------------------------------------------------------------

// The snapshot of this content: the one stored already, or a new one. Two
// programs storing the same content at once store it once.
qint64 SiteDatabase::snapshotId(const Values& values, const QString& now) {
    const QString text = content(values);
    const QString hash =
        QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
    const auto find = [&]() -> qint64 {
        QSqlQuery* q = run(QStringLiteral("SELECT id FROM snapshot WHERE content_hash = ?"), {hash});
        Finish done{q};
        if (!q) return -1;
        return q->next() ? q->value(0).toLongLong() : 0;
    };
    if (const qint64 id = find(); id != 0) return id;
    QSqlQuery* q = run(QStringLiteral("INSERT INTO snapshot (content_hash, content, created_at) VALUES (?, ?, ?) "
                                      "ON CONFLICT (content_hash) DO NOTHING RETURNING id"),
                       {hash, text, now});
    Finish done{q};
    if (!q) return -1;
    if (q->next()) return q->value(0).toLongLong();
    const qint64 id = find();
    return id > 0 ? id : (fail(Failure::Kind::Io, QStringLiteral("the snapshot could not be stored")), -1);
}

qint64 SiteDatabase::record(const Event& e, bool* added) {
    if (added) *added = false;
    if (!open_) return 0;
    if (!begin()) return 0;
    const QString now = stamp(e.at);
    const QString uid = e.uid.isEmpty() ? newUid() : e.uid;
    qint64 result = 0;
    const qint64 module = moduleId(e.module, true, now);
    const qint64 snap = module >= 0 && e.snapshot ? snapshotId(*e.snapshot, now) : 0;
    qint64 siteId = 0;
    if (!e.site.isEmpty()) {
        if (const std::optional<Site> s = site(e.site)) siteId = s->id;
    } else if (module > 0 && !e.siteAsGiven) {
        siteId = siteOfModule(module);
    }
    if (module >= 0 && snap >= 0) {
        QSqlQuery* q =
            run(QStringLiteral("INSERT INTO event (at, action, done, reason, duration_ms, settings, "
                               "snapshot_id, source, link, operator, module_id, site_id, uid) "
                               "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
                               "ON CONFLICT (uid) DO NOTHING RETURNING id"),
                {now, e.action, e.done ? 1 : 0, e.reason, e.durationMs, e.settings, orNull(snap), e.source, e.link,
                 e.operatorName.isEmpty() ? operator_ : e.operatorName, orNull(module), orNull(siteId), uid});
        Finish done{q};
        if (q && q->next()) {
            result = q->value(0).toLongLong();
            if (added) *added = true;
        } else if (q) {
            // Stored before (a record sent again): that one.
            QSqlQuery* there = run(QStringLiteral("SELECT id FROM event WHERE uid = ?"), {uid});
            Finish done2{there};
            if (there && there->next()) result = there->value(0).toLongLong();
        }
    }
    if (result <= 0 || !commit()) {
        rollback();
        if (added) *added = false;
        return 0;
    }
    failure_ = {};
    return result;
}

bool SiteDatabase::recordStatus(const ModuleFacts& module, const StatusVisit& v, const QString* siteName, bool* added) {
    if (added) *added = false;
    if (!open_ || !module.known()) return false;
    if (!begin()) return false;
    const QString now = stamp(v.at);
    const qint64 id = moduleId(module, true, now);
    qint64 siteId = 0;
    if (siteName) {
        if (const std::optional<Site> s = siteName->isEmpty() ? std::nullopt : site(*siteName)) siteId = s->id;
    } else if (id > 0) {
        siteId = siteOfModule(id);
    }
    bool ok = false;
    if (id > 0) {
        QSqlQuery* q = run(QStringLiteral("INSERT INTO status (at, module_id, site_id, signal, supply, temperature, "
                                          "firmware, uptime, uid) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
                                          "ON CONFLICT (uid) DO NOTHING RETURNING id"),
                           {now, id, orNull(siteId), v.signal, v.supply, v.temperature, v.firmware, v.uptime,
                            v.uid.isEmpty() ? newUid() : v.uid});
        Finish done{q};
        ok = q != nullptr;
        if (added) *added = q && q->next();
    }
    if (!ok || !commit()) {
        rollback();
        if (added) *added = false;
        return false;
    }
    return true;
}

// --- Reading back ----------------------------------------------------------------------

QList<HistoryRow> SiteDatabase::history(const QString& siteName, const QString& module, int limit) {
    QList<HistoryRow> out;
    if (!open_) return out;
    // One condition per filter given, so that the indexes on the site and
    // the module serve it.
    QString where;
    QVariantList bound;
    if (!siteName.isEmpty()) {
        where += QStringLiteral(" AND e.site_id = (SELECT id FROM site WHERE name = ?)");
        bound << siteName;
    }
    if (!module.isEmpty()) {
        where += QStringLiteral(" AND e.module_id IN (SELECT id FROM module WHERE serial = ? OR phone = ?)");
        bound << module << module;
    }
    bound << (limit > 0 ? limit : std::numeric_limits<int>::max());
    QSqlQuery* q = run(QStringLiteral("SELECT e.id, e.at, e.action, e.done, e.reason, e.duration_ms, e.settings, "
                                      "e.snapshot_id, e.source, e.link, e.operator, s.name, m.serial, m.phone "
                                      "FROM event e LEFT JOIN site s ON s.id = e.site_id "
                                      "LEFT JOIN module m ON m.id = e.module_id WHERE 1 = 1") +
                           where + QStringLiteral(" ORDER BY e.at DESC, e.id DESC LIMIT ?"),
                       bound);
    Finish done{q};
    while (q && q->next()) {
        HistoryRow r;
        r.id = q->value(0).toLongLong();
        r.at = fromStamp(q->value(1).toString());
        r.action = q->value(2).toString();
        r.done = q->value(3).toInt() != 0;
        r.reason = q->value(4).toString();
        r.durationMs = q->value(5).toLongLong();
        r.settings = q->value(6).toInt();
        r.snapshotId = q->value(7).toLongLong();
        r.source = q->value(8).toString();
        r.link = q->value(9).toString();
        r.operatorName = q->value(10).toString();
        r.site = q->value(11).toString();
        r.serial = q->value(12).toString();
        r.phone = q->value(13).toString();
        out.append(r);
    }
    return out;
}

QList<StatusVisit> SiteDatabase::statusHistory(const QString& siteName, int limit) {
    QList<StatusVisit> out;
    if (!open_) return out;
    QSqlQuery* q =
        run(QStringLiteral("SELECT t.at, t.signal, t.supply, t.temperature, t.firmware, t.uptime, t.uid FROM status t "
                           "JOIN site s ON s.id = t.site_id WHERE s.name = ? ORDER BY t.at DESC LIMIT ?"),
            {siteName, limit > 0 ? limit : std::numeric_limits<int>::max()});
    Finish done{q};
    while (q && q->next())
        out.append({fromStamp(q->value(0).toString()), q->value(1).toString(), q->value(2).toString(),
                    q->value(3).toString(), q->value(4).toString(), q->value(5).toString(), q->value(6).toString()});
    return out;
}

std::optional<Snapshot> SiteDatabase::snapshot(qint64 id) {
    if (!open_) return std::nullopt;
    QSqlQuery* q = run(QStringLiteral("SELECT content, created_at FROM snapshot WHERE id = ?"), {id});
    Finish done{q};
    if (!q || !q->next()) return std::nullopt;
    const std::optional<Values> values = parseContent(q->value(0).toString());
    if (!values) return std::nullopt;
    return Snapshot{id, fromStamp(q->value(1).toString()), *values};
}

std::optional<Snapshot> SiteDatabase::snapshot(const QString& reference) {
    if (!open_ || !reference.startsWith('@')) return std::nullopt;
    const QString ref = reference.mid(1);
    bool number = false;
    const qint64 id = ref.toLongLong(&number);
    if (number) return snapshot(id);
    QString where;
    QVariantList bound;
    const QString name = ref.mid(ref.indexOf(':') + 1);
    if (ref.startsWith(QLatin1String("site:"))) {
        where = QStringLiteral("e.site_id = (SELECT id FROM site WHERE name = ?)");
        bound << name;
    } else if (ref.startsWith(QLatin1String("module:"))) {
        where = QStringLiteral("e.module_id = (SELECT id FROM module WHERE serial = ? OR phone = ?)");
        bound << name << name;
    } else {
        return std::nullopt;
    }
    qint64 found = 0;
    {
        QSqlQuery* q = run("SELECT e.snapshot_id FROM event e WHERE e.snapshot_id IS NOT NULL AND " + where +
                               " ORDER BY e.at DESC, e.id DESC LIMIT 1",
                           bound);
        Finish done{q};
        if (!q || !q->next()) return std::nullopt;
        found = q->value(0).toLongLong();
    }
    return snapshot(found);
}

std::optional<Snapshot> SiteDatabase::previousSnapshot(qint64 id) {
    if (!open_) return std::nullopt;
    // The latest event before this snapshot's first, at the same site or module, with another snapshot.
    qint64 found = 0;
    {
        QSqlQuery* q = run(
            QStringLiteral(
                "SELECT p.snapshot_id FROM event e JOIN event p ON (p.site_id = e.site_id OR p.module_id = "
                "e.module_id) "
                "AND p.snapshot_id IS NOT NULL AND p.snapshot_id <> e.snapshot_id AND (p.at < e.at OR (p.at = e.at AND "
                "p.id < e.id)) WHERE e.snapshot_id = ? ORDER BY e.at ASC, p.at DESC, p.id DESC LIMIT 1"),
            {id});
        Finish done{q};
        if (!q || !q->next()) return std::nullopt;
        found = q->value(0).toLongLong();
    }
    return snapshot(found);
}

// --- Everything, for a copy -------------------------------------------------------------

QList<Event> SiteDatabase::events(qint64* last, int limit) {
    QList<Event> out;
    if (!open_) return out;
    struct Row {
        qint64 id, snapshot;
        Event event;
    };
    QList<Row> rows;
    {
        QSqlQuery* q =
            run(QStringLiteral("SELECT e.id, e.at, e.action, e.done, e.reason, e.duration_ms, e.settings, "
                               "e.snapshot_id, e.source, e.link, e.operator, e.uid, s.name, m.serial, "
                               "m.phone, m.type, m.hardware, m.firmware FROM event e "
                               "LEFT JOIN site s ON s.id = e.site_id LEFT JOIN module m ON m.id = e.module_id "
                               "WHERE e.id > ? ORDER BY e.id LIMIT ?"),
                {*last, limit});
        Finish done{q};
        while (q && q->next()) {
            Event e;
            e.at = fromStamp(q->value(1).toString());
            e.action = q->value(2).toString();
            e.done = q->value(3).toInt() != 0;
            e.reason = q->value(4).toString();
            e.durationMs = q->value(5).toLongLong();
            e.settings = q->value(6).toInt();
            e.source = q->value(8).toString();
            e.link = q->value(9).toString();
            e.operatorName = q->value(10).toString();
            e.uid = q->value(11).toString();
            e.site = q->value(12).toString();
            e.siteAsGiven = true;
            e.module = {q->value(13).toString(), q->value(14).toString(), q->value(15).toString(),
                        q->value(16).toString(), q->value(17).toString()};
            rows.append({q->value(0).toLongLong(), q->value(7).toLongLong(), e});
        }
    }
    for (Row& r : rows) {
        if (r.snapshot > 0) {
            const std::optional<Snapshot> s = snapshot(r.snapshot);
            if (!s) {
                fail(Failure::Kind::Io,
                     QStringLiteral("%1: the snapshot of event %2 cannot be read").arg(name_).arg(r.id));
                return {};
            }
            r.event.snapshot = s->values;
        }
        *last = r.id;
        out.append(r.event);
    }
    return out;
}

QList<Installation> SiteDatabase::installations() {
    QList<Installation> out;
    if (!open_) return out;
    QSqlQuery* q =
        run(QStringLiteral("SELECT s.name, m.serial, m.phone, m.type, m.hardware, m.firmware, "
                           "i.installed_at, i.removed_at FROM installation i JOIN site s ON s.id = i.site_id "
                           "JOIN module m ON m.id = i.module_id ORDER BY i.installed_at, i.id"));
    Finish done{q};
    while (q && q->next()) {
        Installation in;
        in.site = q->value(0).toString();
        in.module = {q->value(1).toString(), q->value(2).toString(), q->value(3).toString(), q->value(4).toString(),
                     q->value(5).toString()};
        in.installedAt = fromStamp(q->value(6).toString());
        if (!q->value(7).isNull()) in.removedAt = fromStamp(q->value(7).toString());
        out.append(in);
    }
    return out;
}

QList<SiteDatabase::StatusRow> SiteDatabase::statuses(qint64* last, int limit) {
    QList<StatusRow> out;
    if (!open_) return out;
    QSqlQuery* q = run(QStringLiteral("SELECT t.id, t.at, t.signal, t.supply, t.temperature, t.firmware, t.uptime, "
                                      "t.uid, s.name, m.serial, m.phone, m.type, m.hardware, m.firmware FROM status t "
                                      "JOIN module m ON m.id = t.module_id LEFT JOIN site s ON s.id = t.site_id "
                                      "WHERE t.id > ? ORDER BY t.id LIMIT ?"),
                       {*last, limit});
    Finish done{q};
    while (q && q->next()) {
        StatusRow r;
        *last = q->value(0).toLongLong();
        r.visit = {fromStamp(q->value(1).toString()),
                   q->value(2).toString(),
                   q->value(3).toString(),
                   q->value(4).toString(),
                   q->value(5).toString(),
                   q->value(6).toString(),
                   q->value(7).toString()};
        r.site = q->value(8).toString();
        r.module = {q->value(9).toString(), q->value(10).toString(), q->value(11).toString(), q->value(12).toString(),
                    q->value(13).toString()};
        out.append(r);
    }
    return out;
}

}   // namespace sites
