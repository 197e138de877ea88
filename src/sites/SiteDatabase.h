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

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include <optional>

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
    QDateTime at;                       // invalid: now
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
};

struct Snapshot {
    qint64 id = 0;
    QDateTime created;
    Values values;
};

class SiteDatabase {
public:
    static constexpr int kSchemaVersion = 2;
    // How long a write waits for another program's write on the same file.
    static constexpr int kBusyWaitMs = 5000;

    struct Options {
        QString path;           // the SQLite file; empty: defaultPath()
        QString operatorName;   // who works; empty: the system's user name
    };
    // The file in the user's application-data folder.
    static QString defaultPath();

    explicit SiteDatabase(Options options);
    ~SiteDatabase();
    SiteDatabase(const SiteDatabase&) = delete;
    SiteDatabase& operator=(const SiteDatabase&) = delete;

    // Opens the file, creating it (readable by its owner only) or migrating
    // an older one (copied to NAME.bak first). False with failure() set: a
    // newer schema, a file that is no site database or is damaged (all left
    // untouched), or one that cannot be opened.
    bool open();
    bool isOpen() const { return open_; }
    // Why the latest call failed; Kind::None when it did not.
    Failure failure() const { return failure_; }
    QString path() const { return path_; }
    QString operatorName() const { return operator_; }

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
    // once by its content); its id, or 0 on failure.
    qint64 record(const Event& event);
    bool recordStatus(const ModuleFacts& module, const StatusVisit& visit);

    // --- Reading back ---------------------------------------------------------
    // Newest first; a site's or a module's (serial or phone), or all.
    QList<HistoryRow> history(const QString& siteName, const QString& module, int limit);
    QList<StatusVisit> statusHistory(const QString& siteName, int limit);
    // "@12", "@site:NAME" (its latest snapshot), "@module:SERIAL" (the same).
    std::optional<Snapshot> snapshot(const QString& reference);
    std::optional<Snapshot> snapshot(qint64 id);
    // The snapshot stored before this one for the same site (or module).
    std::optional<Snapshot> previousSnapshot(qint64 id);

    // The content as stored, and the hash it is found by.
    static QString content(const Values& values);
    static std::optional<Values> parseContent(const QString& content);

private:
    bool fail(Failure::Kind kind, const QString& text);
    bool exec(const QString& sql, const QVariantList& bound = {});
    bool walMode();
    bool begin();
    bool commit();
    void rollback();   // keeps failure() as it was
    bool migrate(int from);
    qint64 moduleId(const ModuleFacts& module, bool create, const QString& now);
    qint64 snapshotId(const Values& values, const QString& now);

    QString path_;
    QString operator_;
    QString connection_;   // Qt SQL's connection name, one per object
    bool open_ = false;
    Failure failure_;
};

}   // namespace sites
