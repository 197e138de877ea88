#pragma once
// The site database: every module Kestrum has touched, the sites they are
// installed at, the settings they were given (snapshots, each content stored
// once) and what was done to them (events), with the status seen at each
// visit. Qt SQL over SQLite by default; one schema in plain standard SQL and
// one set of numbered migrations.
//
// Nothing here ever stands in the way of the work on a module: a database
// that cannot be opened or written makes every call return false (or
// nothing) with failure() saying why; the caller tells the user once.
#include "core/text/Failure.h"
#include "sites/Reference.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <map>
#include <memory>
#include <optional>

class QSqlQuery;

namespace sites {

// The values of every setting, in binding order, as diff and Write see them:
// key and the module's text (Windows-1250).
using Values = QList<QPair<QByteArray, QByteArray>>;

// What is known of a module when it is seen: its USB serial number and/or
// the phone number a call reached it at, and what the Status page shows.
struct ModuleFacts {
    QString serial;
    QString phone;
    QString type, hardware, firmware;
    bool known() const { return !serial.isEmpty() || !phone.isEmpty(); }
};

struct Site {
    qint64 id = 0;
    QString name, address, customer, notes;
    QString serial, phone;   // the module installed there now; empty: none
};

// One thing done to a module, as the history lists it.
struct Event {
    QString action;   // "read", "write", "verify", "diff", "restore", "import", "volumes", "password"
    bool done = true;
    QString reason;   // the failure as the user saw it; empty when done
    qint64 durationMs = 0;
    int settings = 0;                   // how many settings it concerned
    std::optional<Values> snapshot{};   // the settings it read, wrote, compared or imported
    QString source;                     // where they came from: "module", "file:NAME", "snapshot:ID"
    QString link;                       // "usb", "modem", or empty (no module)
    ModuleFacts module;                 // none known: the event belongs to no module
    QString site;                       // an import's site; otherwise the module's site
    bool siteAsGiven = false;           // site is the event's, also when empty (a copy)
    QDateTime at;                       // invalid: now
    QString uid{};                      // the event's own name everywhere; empty: a new one
    QString operatorName{};             // empty: the database's operator
};

struct HistoryRow {
    qint64 id = 0;
    QDateTime at;   // UTC
    QString action;
    bool done = true;
    QString reason;
    qint64 durationMs = 0;
    int settings = 0;
    qint64 snapshotId = 0;   // 0: none
    QString source, link, operatorName, site, serial, phone;
};

// The Status page's values at one connection.
struct StatusVisit {
    QDateTime at;   // UTC
    QString signal, supply, temperature, firmware, uptime;
    QString uid{};   // empty: a new one
};

// A module at a site, from when until when (removedAt invalid: still there).
struct Installation {
    QString site;
    ModuleFacts module;
    QDateTime installedAt, removedAt;
};

struct Snapshot {
    qint64 id = 0;
    QDateTime created;
    Values values;
};

class SiteDatabase {
public:
    static constexpr int kSchemaVersion = 3;
    // How long a write waits for another program's write on the same file.
    static constexpr int kBusyWaitMs = 5000;
    // How long a team server is tried before it counts as out of reach.
    static constexpr int kConnectTimeoutSeconds = 10;

    struct Options {
        QString reference;      // a file, sqlite:FILE or postgresql://…; empty: defaultPath()
        QString operatorName;   // who works; empty: the system's user name
        bool upgrade = true;    // false: an older schema (or none) is told, not made or migrated
    };
    // The file in the user's application-data folder.
    static QString defaultPath();
    // Who works, as the system names the user.
    static QString userName();

    explicit SiteDatabase(Options options);
    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    // Opens the file, creating it (readable by its owner only) or migrating
    // an older one (a file is copied to NAME.bak first), or connects to the
    // team server and migrates its schema under a lock of the server's. False
    // with failure() set: a newer schema, a database that is no site
    // database or is damaged (all left untouched), one that cannot be opened
    // or reached (with libpq's reason), or an older one without upgrade.
    bool open();
    bool isOpen() const { return open_; }
    // Why the latest call failed; Kind::None when it did not.
    Failure failure() const { return failure_; }
    // The file, or the server as postgresql://USER@HOST:PORT/DBNAME.
    QString path() const { return name_; }
    const Reference& reference() const { return ref_; }
    bool isTeam() const { return ref_.isTeam(); }
    // The schema found at open() (after migrating: the current one); 0: an
    // empty database; -1: not reached, or not a site database.
    int schemaVersion() const { return version_; }
    QString operatorName() const { return operator_; }
    // A file's write-ahead log copied into the file itself and made durable
    // (two syncs when there is something to copy, nothing otherwise), so
    // that the file alone holds every record and closing has nothing left to
    // do. Done by the recorder when it falls idle; nothing on the server.
    void settle();

    // --- Sites ------------------------------------------------------------
    // False when the name is taken (failure says so) or on a database failure.
    bool addSite(const Site& site);
    // Installs the module at the named site (it leaves the site it was at).
    bool assign(const QString& siteName, const ModuleFacts& module);
    // The sites whose name, customer, address, module serial or phone holds
    // search (all when empty), by name.
    QList<Site> sites(const QString& search = {});
    std::optional<Site> site(const QString& name);
    // The site the module is installed at now.
    std::optional<Site> siteOf(const ModuleFacts& module);

    // --- Recording ----------------------------------------------------------
    // One event in one transaction (the module seen, the snapshot stored
    // once by its content); its id, or 0 on failure. An event whose uid is
    // there already is not stored again (added false).
    qint64 record(const Event& event, bool* added = nullptr);
    // site: the visit's site as given (a copy); null: the module's now.
    bool recordStatus(const ModuleFacts& module, const StatusVisit& visit, const QString* site = nullptr,
                      bool* added = nullptr);
    bool addInstallation(const Installation& installation, bool* added = nullptr);
    // Many records in one transaction: each call above then commits nothing
    // itself; endBatch(false) or a failure inside drops them all.
    bool beginBatch();
    bool endBatch(bool keep = true);

    // --- Reading back ---------------------------------------------------------
    // Newest first; a site's or a module's (serial or phone), or all.
    QList<HistoryRow> history(const QString& siteName, const QString& module, int limit);
    QList<StatusVisit> statusHistory(const QString& siteName, int limit);
    // "@12", "@site:NAME" (its latest snapshot), "@module:SERIAL" (the same).
    std::optional<Snapshot> snapshot(const QString& reference);
    std::optional<Snapshot> snapshot(qint64 id);
    // The snapshot stored before this one for the same site (or module).
    std::optional<Snapshot> previousSnapshot(qint64 id);

    // Everything, oldest first, as the calls above take it back (a copy):
    // at most limit, after the row *last (which becomes the last one given).
    QList<Event> events(qint64* last, int limit);
    QList<Installation> installations();
    struct StatusRow {
        ModuleFacts module;
        StatusVisit visit;
        QString site;
    };
    QList<StatusRow> statuses(qint64* last, int limit);

    // A time as it is stored (UTC, milliseconds; invalid: now), and back.
    static QString stamp(const QDateTime& t);
    static QDateTime fromStamp(const QString& s);

    // The content as stored, and the hash it is found by.
    static QString content(const Values& values);
    static std::optional<Values> parseContent(const QString& content);

private:
    bool fail(Failure::Kind kind, const QString& text);
    bool exec(const QString& sql, const QVariantList& bound = {});
    // The statement, prepared once per connection, run with these values;
    // null on failure (failure() says why).
    QSqlQuery* run(const QString& sql, const QVariantList& bound = {});
    bool connectSqlite(bool* existed);
    bool connectServer();
    bool readVersion();
    bool walMode();
    bool begin();
    bool commit();
    void rollback();   // keeps failure() as it was
    bool migrate(int from);
    qint64 moduleId(const ModuleFacts& module, bool create, const QString& now);
    qint64 snapshotId(const Values& values, const QString& now);
    qint64 siteOfModule(qint64 moduleId);

    Reference ref_;
    QString name_;
    QString operator_;
    bool upgrade_ = true;
    QString connection_;   // Qt SQL's connection name, one per object
    std::map<QString, std::unique_ptr<QSqlQuery>> prepared_;
    bool open_ = false;
    bool batch_ = false;
    bool batchFailed_ = false;
    int version_ = -1;
    Failure failure_;
};

}   // namespace sites
