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
// N. Plain standard SQL; KEY stands for the dialect's integer key that the
// database numbers itself.
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
};
static_assert(std::size(kMigrations) == SiteDatabase::kSchemaVersion, "one migration per schema version");

QString nowUtc() { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); }
QString stamp(const QDateTime& t) { return t.isValid() ? t.toUTC().toString(Qt::ISODateWithMs) : nowUtc(); }
QDateTime fromStamp(const QString& s) {
    QDateTime t = QDateTime::fromString(s, Qt::ISODateWithMs);
    t.setTimeSpec(Qt::UTC);
    return t;
}

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

// Binds the values in order. An empty text is bound as text: only a value
// made null on purpose (QVariant of a type, without a value) is NULL.
void bind(QSqlQuery& q, const QVariantList& values) {
    for (const QVariant& v : values) {
        if (!v.isNull() && v.typeId() == QMetaType::QString && v.toString().isNull())
            q.addBindValue(QStringLiteral(""));
        else
            q.addBindValue(v);
    }
}

QString systemUser() {
    for (const char* name : {"USER", "USERNAME", "LOGNAME"})
        if (const QString u = qEnvironmentVariable(name); !u.isEmpty()) return u;
#ifndef _WIN32
    // No name in the environment (a service, a container): the account's.
    if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_name) return QString::fromLocal8Bit(pw->pw_name);
#endif
    return QStringLiteral("unknown");
}

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

QString SiteDatabase::defaultPath() {
    return QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath("sites.sqlite");
}

SiteDatabase::SiteDatabase(Options options)
    : path_(options.path.isEmpty() ? defaultPath() : options.path),
      operator_(options.operatorName.isEmpty() ? systemUser() : options.operatorName),
      connection_(QStringLiteral("kestrum-sites-") + QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

SiteDatabase::~SiteDatabase() {
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

bool SiteDatabase::exec(const QString& sql, const QVariantList& bound) {
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    if (!q.prepare(sql)) return fail(Failure::Kind::Io, q.lastError().text());
    bind(q, bound);
    if (!q.exec()) return fail(Failure::Kind::Io, q.lastError().text());
    return true;
}

bool SiteDatabase::open() {
    failure_ = {};
    open_ = false;
    const bool existed = QFileInfo::exists(path_) && QFileInfo(path_).size() > 0;
    QString why;
    if (!existed && !createPrivate(path_, &why)) return fail(Failure::Kind::NoAccess, path_ + ": " + why);
    if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE")))
        return fail(Failure::Kind::NotFound, QStringLiteral("Qt's SQLite driver (QSQLITE) is not installed"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    // Another program on the same file (the window and a batch) waits its turn.
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyWaitMs));
    if (!db.open()) return fail(Failure::Kind::Io, path_ + ": " + db.lastError().text());

    // Which schema the file has: none (a new file), ours at some version, or
    // something else (another program's database, or damage): left alone.
    int version = 0;
    {
        QSqlQuery q(db);
        if (!q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) || !q.next())
            return fail(Failure::Kind::Io, path_ + ": " + q.lastError().text());
        const int objects = q.value(0).toInt();
        if (objects > 0) {
            if (!q.exec(QStringLiteral("SELECT version FROM schema_version")) || !q.next())
                return fail(Failure::Kind::Refused, path_ + QStringLiteral(": not a Kestrum site database"));
            version = q.value(0).toInt();
        }
    }
    if (version > kSchemaVersion)
        return fail(Failure::Kind::Refused, QStringLiteral("%1 was made by a newer Kestrum (schema %2; this one "
                                                           "knows up to %3): it is left as it is")
                                                .arg(path_)
                                                .arg(version)
                                                .arg(kSchemaVersion));
    // An older file is kept as it was before anything of it changes.
    if (version > 0 && version < kSchemaVersion) {
        db.close();
        const QString backup = path_ + QStringLiteral(".bak");
        QFile::remove(backup);
        if (!QFile::copy(path_, backup))
            return fail(Failure::Kind::Io, QStringLiteral("cannot copy %1 to %2").arg(path_, backup));
        if (!db.open()) return fail(Failure::Kind::Io, path_ + ": " + db.lastError().text());
    }
    // With the write-ahead log, a commit is whole after a crash of the
    // program at any moment without waiting for the disk at each one.
    if (!walMode() || !exec(QStringLiteral("PRAGMA synchronous=NORMAL")) ||
        !exec(QStringLiteral("PRAGMA foreign_keys=ON")))
        return fail(failure_.kind, path_ + ": " + failure_.text);
    if (version < kSchemaVersion && !migrate(version)) return false;
    open_ = true;
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

// A write transaction takes the write lock at once: one that starts reading
// and then writes could find another writer's commit in between, and fail
// where waiting its turn would have done.
bool SiteDatabase::begin() { return exec(QStringLiteral("BEGIN IMMEDIATE")); }
bool SiteDatabase::commit() { return exec(QStringLiteral("COMMIT")); }
void SiteDatabase::rollback() {
    const Failure kept = failure_;
    exec(QStringLiteral("ROLLBACK"));
    failure_ = kept;
}

bool SiteDatabase::migrate(int from) {
    if (!begin()) return fail(failure_.kind, path_ + ": " + failure_.text);
    // Another program may have brought the file up to date while this one
    // waited for the write lock: the version is read again under it.
    {
        QSqlQuery q(QSqlDatabase::database(connection_, false));
        if (q.exec(QStringLiteral("SELECT version FROM schema_version")) && q.next()) from = q.value(0).toInt();
    }
    for (int v = from + 1; v <= kSchemaVersion; ++v) {
        for (QString sql : kMigrations[v - 1]) {
            sql.replace(QStringLiteral("id KEY"), QStringLiteral("id INTEGER PRIMARY KEY"));
            if (!exec(sql)) {
                rollback();
                return fail(failure_.kind, QStringLiteral("%1: migration %2: %3").arg(path_).arg(v).arg(failure_.text));
            }
        }
        if (!exec(QStringLiteral("UPDATE schema_version SET version = ?"), {v})) {
            rollback();
            return false;
        }
    }
    if (!commit()) return fail(failure_.kind, path_ + ": " + failure_.text);
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

bool SiteDatabase::addSite(const Site& s) {
    if (!open_) return false;
    if (s.name.trimmed().isEmpty()) return fail(Failure::Kind::Refused, QStringLiteral("a site needs a name"));
    if (site(s.name))
        return fail(Failure::Kind::Refused, QStringLiteral("there is a site named %1 already").arg(s.name));
    return exec(QStringLiteral("INSERT INTO site (name, address, customer, notes, created_at) VALUES (?, ?, ?, ?, ?)"),
                {s.name, s.address, s.customer, s.notes, nowUtc()});
}

namespace {
const char* kSiteColumns =
    "SELECT s.id, s.name, s.address, s.customer, s.notes, m.serial, m.phone FROM site s "
    "LEFT JOIN installation i ON i.site_id = s.id AND i.removed_at IS NULL "
    "LEFT JOIN module m ON m.id = i.module_id ";

Site siteFrom(const QSqlQuery& q) {
    return {q.value(0).toLongLong(), q.value(1).toString(), q.value(2).toString(), q.value(3).toString(),
            q.value(4).toString(),   q.value(5).toString(), q.value(6).toString()};
}
}   // namespace

QList<Site> SiteDatabase::sites(const QString& search) {
    QList<Site> out;
    if (!open_) return out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QString::fromLatin1(kSiteColumns) +
              "WHERE ? = '' OR lower(s.name) LIKE ? OR lower(s.customer) LIKE ? OR lower(s.address) LIKE ? "
              "OR lower(m.serial) LIKE ? OR m.phone LIKE ? ORDER BY s.name");
    const QString like = '%' + search.toLower() + '%';
    bind(q, QVariantList{search, like, like, like, like, like});
    if (!q.exec()) {
        fail(Failure::Kind::Io, q.lastError().text());
        return out;
    }
    while (q.next()) out.append(siteFrom(q));
    return out;
}

std::optional<Site> SiteDatabase::site(const QString& name) {
    if (!open_) return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QString::fromLatin1(kSiteColumns) + "WHERE s.name = ?");
    q.addBindValue(name);
    if (!q.exec() || !q.next()) return std::nullopt;
    return siteFrom(q);
}

std::optional<Site> SiteDatabase::siteOf(const ModuleFacts& module) {
    if (!open_ || !module.known()) return std::nullopt;
    const qint64 id = moduleId(module, false, {});
    if (id <= 0) return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QString::fromLatin1(kSiteColumns) + "WHERE m.id = ?");
    q.addBindValue(id);
    if (!q.exec() || !q.next()) return std::nullopt;
    return siteFrom(q);
}

// The module's row, found by its serial number or else its phone number;
// made (or its facts brought up to date) when create is set. 0: none; -1: a
// database failure.
qint64 SiteDatabase::moduleId(const ModuleFacts& m, bool create, const QString& now) {
    if (!m.known()) return 0;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT id FROM module WHERE serial = ? OR (serial IS NULL AND phone = ?)"));
    bind(q, {m.serial.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(m.serial), m.phone});
    if (!q.exec()) return fail(Failure::Kind::Io, q.lastError().text()), -1;
    qint64 id = q.next() ? q.value(0).toLongLong() : 0;
    if (!create) return id;
    const auto orNull = [](const QString& s) {
        return s.isEmpty() ? QVariant(QMetaType(QMetaType::QString)) : QVariant(s);
    };
    if (id == 0) {
        if (!q.prepare(QStringLiteral("INSERT INTO module (serial, phone, type, hardware, firmware, first_seen, "
                                      "last_seen) VALUES (?, ?, ?, ?, ?, ?, ?) RETURNING id")))
            return fail(Failure::Kind::Io, q.lastError().text()), -1;
        bind(q, QVariantList{orNull(m.serial), orNull(m.phone), m.type, m.hardware, m.firmware, now, now});
        if (!q.exec() || !q.next()) return fail(Failure::Kind::Io, q.lastError().text()), -1;
        return q.value(0).toLongLong();
    }
    // What is known now replaces what was known; nothing known stays.
    const bool ok = exec(QStringLiteral("UPDATE module SET last_seen = ?, "
                                        "type = CASE WHEN ? = '' THEN type ELSE ? END, "
                                        "hardware = CASE WHEN ? = '' THEN hardware ELSE ? END, "
                                        "firmware = CASE WHEN ? = '' THEN firmware ELSE ? END, "
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

// --- Recording -------------------------------------------------------------------

qint64 SiteDatabase::snapshotId(const Values& values, const QString& now) {
    const QString text = content(values);
    const QString hash =
        QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex());
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT id FROM snapshot WHERE content_hash = ?"));
    q.addBindValue(hash);
    if (!q.exec()) return fail(Failure::Kind::Io, q.lastError().text()), -1;
    if (q.next()) return q.value(0).toLongLong();   // the same content, stored once
    q.prepare(QStringLiteral("INSERT INTO snapshot (content_hash, content, created_at) VALUES (?, ?, ?) RETURNING id"));
    bind(q, QVariantList{hash, text, now});
    if (!q.exec() || !q.next()) return fail(Failure::Kind::Io, q.lastError().text()), -1;
    return q.value(0).toLongLong();
}

qint64 SiteDatabase::record(const Event& e) {
    if (!open_) return 0;
    if (!begin()) return 0;
    const QString now = stamp(e.at);
    const auto null = QVariant(QMetaType(QMetaType::LongLong));
    const auto orNull = [&](qint64 id) { return id > 0 ? QVariant(id) : null; };
    qint64 result = 0;
    const qint64 module = moduleId(e.module, true, now);
    const qint64 snap = e.snapshot ? snapshotId(*e.snapshot, now) : 0;
    qint64 siteId = 0;
    if (!e.site.isEmpty()) {
        if (const std::optional<Site> s = site(e.site)) siteId = s->id;
    } else if (module > 0) {
        if (const std::optional<Site> s = siteOf(e.module)) siteId = s->id;
    }
    if (module >= 0 && snap >= 0) {
        QSqlQuery q(QSqlDatabase::database(connection_, false));
        q.prepare(
            QStringLiteral("INSERT INTO event (at, action, done, reason, duration_ms, settings, snapshot_id, "
                           "source, link, operator, module_id, site_id) "
                           "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING id"));
        bind(q, QVariantList{now, e.action, e.done ? 1 : 0, e.reason, e.durationMs, e.settings, orNull(snap), e.source,
                             e.link, operator_, orNull(module), orNull(siteId)});
        if (q.exec() && q.next())
            result = q.value(0).toLongLong();
        else
            fail(Failure::Kind::Io, q.lastError().text());
    }
    if (result <= 0 || !commit()) {
        rollback();

        return 0;
    }
    failure_ = {};
    return result;
}

bool SiteDatabase::recordStatus(const ModuleFacts& module, const StatusVisit& v) {
    if (!open_ || !module.known()) return false;
    if (!begin()) return false;
    const QString now = stamp(v.at);
    const qint64 id = moduleId(module, true, now);
    const std::optional<Site> s = id > 0 ? siteOf(module) : std::nullopt;
    const bool ok = id > 0 && exec(QStringLiteral("INSERT INTO status (at, module_id, site_id, signal, supply, "
                                                  "temperature, firmware, uptime) VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                                   {now, id, s ? QVariant(s->id) : QVariant(QMetaType(QMetaType::LongLong)), v.signal,
                                    v.supply, v.temperature, v.firmware, v.uptime});
    if (!ok || !commit()) {
        rollback();

        return false;
    }
    return true;
}

// --- Reading back ----------------------------------------------------------------------

QList<HistoryRow> SiteDatabase::history(const QString& siteName, const QString& module, int limit) {
    QList<HistoryRow> out;
    if (!open_) return out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
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
    q.prepare(QStringLiteral("SELECT e.id, e.at, e.action, e.done, e.reason, e.duration_ms, e.settings, "
                             "e.snapshot_id, e.source, e.link, e.operator, s.name, m.serial, m.phone FROM event e "
                             "LEFT JOIN site s ON s.id = e.site_id LEFT JOIN module m ON m.id = e.module_id "
                             "WHERE 1 = 1") +
              where + QStringLiteral(" ORDER BY e.at DESC, e.id DESC LIMIT ?"));
    bind(q, bound);
    if (!q.exec()) {
        fail(Failure::Kind::Io, q.lastError().text());
        return out;
    }
    while (q.next()) {
        HistoryRow r;
        r.id = q.value(0).toLongLong();
        r.at = fromStamp(q.value(1).toString());
        r.action = q.value(2).toString();
        r.done = q.value(3).toInt() != 0;
        r.reason = q.value(4).toString();
        r.durationMs = q.value(5).toLongLong();
        r.settings = q.value(6).toInt();
        r.snapshotId = q.value(7).toLongLong();
        r.source = q.value(8).toString();
        r.link = q.value(9).toString();
        r.operatorName = q.value(10).toString();
        r.site = q.value(11).toString();
        r.serial = q.value(12).toString();
        r.phone = q.value(13).toString();
        out.append(r);
    }
    return out;
}

QList<StatusVisit> SiteDatabase::statusHistory(const QString& siteName, int limit) {
    QList<StatusVisit> out;
    if (!open_) return out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(
        QStringLiteral("SELECT t.at, t.signal, t.supply, t.temperature, t.firmware, t.uptime FROM status t "
                       "JOIN site s ON s.id = t.site_id WHERE s.name = ? ORDER BY t.at DESC LIMIT ?"));
    q.addBindValue(siteName);
    q.addBindValue(limit > 0 ? limit : std::numeric_limits<int>::max());
    if (!q.exec()) {
        fail(Failure::Kind::Io, q.lastError().text());
        return out;
    }
    while (q.next())
        out.append({fromStamp(q.value(0).toString()), q.value(1).toString(), q.value(2).toString(),
                    q.value(3).toString(), q.value(4).toString(), q.value(5).toString()});
    return out;
}

std::optional<Snapshot> SiteDatabase::snapshot(qint64 id) {
    if (!open_) return std::nullopt;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT content, created_at FROM snapshot WHERE id = ?"));
    q.addBindValue(id);
    if (!q.exec() || !q.next()) return std::nullopt;
    const std::optional<Values> values = parseContent(q.value(0).toString());
    if (!values) return std::nullopt;
    return Snapshot{id, fromStamp(q.value(1).toString()), *values};
}

std::optional<Snapshot> SiteDatabase::snapshot(const QString& reference) {
    if (!open_ || !reference.startsWith('@')) return std::nullopt;
    const QString ref = reference.mid(1);
    bool number = false;
    const qint64 id = ref.toLongLong(&number);
    if (number) return snapshot(id);
    QString where;
    if (ref.startsWith(QLatin1String("site:")))
        where = QStringLiteral("e.site_id = (SELECT id FROM site WHERE name = ?)");
    else if (ref.startsWith(QLatin1String("module:")))
        where = QStringLiteral("e.module_id = (SELECT id FROM module WHERE serial = ? OR phone = ?)");
    else
        return std::nullopt;
    const QString name = ref.mid(ref.indexOf(':') + 1);
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare("SELECT e.snapshot_id FROM event e WHERE e.snapshot_id IS NOT NULL AND " + where +
              " ORDER BY e.at DESC, e.id DESC LIMIT 1");
    q.addBindValue(name);
    if (ref.startsWith(QLatin1String("module:"))) q.addBindValue(name);
    if (!q.exec() || !q.next()) return std::nullopt;
    return snapshot(q.value(0).toLongLong());
}

std::optional<Snapshot> SiteDatabase::previousSnapshot(qint64 id) {
    if (!open_) return std::nullopt;
    // The latest event before this snapshot's first, at the same site or module, with another snapshot.
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral(
        "SELECT p.snapshot_id FROM event e JOIN event p ON (p.site_id = e.site_id OR p.module_id = e.module_id) "
        "AND p.snapshot_id IS NOT NULL AND p.snapshot_id <> e.snapshot_id AND (p.at < e.at OR (p.at = e.at AND "
        "p.id < e.id)) WHERE e.snapshot_id = ? ORDER BY e.at ASC, p.at DESC, p.id DESC LIMIT 1"));
    q.addBindValue(id);
    if (!q.exec() || !q.next()) return std::nullopt;
    return snapshot(q.value(0).toLongLong());
}

}   // namespace sites
