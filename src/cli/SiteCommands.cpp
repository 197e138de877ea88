#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "sites/DatabaseCopy.h"
#include "sites/OfflineQueue.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <initializer_list>

namespace cli {
namespace {

// --database, else KESTRUM_DATABASE; empty: the default file.
QString databaseFile(const QCommandLineParser& p) {
    return p.isSet("database") ? p.value("database") : qEnvironmentVariable("KESTRUM_DATABASE");
}

// The status value the Status page shows in the first of these labels
// (named without their "lb" or "_ed"), from the pairs of either link.
QString statusValue(const QList<QPair<QByteArray, QByteArray>>& pairs, std::initializer_list<const char*> labels) {
    std::vector<StatusDef> defs = statusParams();
    defs.insert(defs.end(), modemStatusQueries().begin(), modemStatusQueries().end());
    for (const char* label : labels)
        for (const StatusDef& d : defs)
            if (d.control.endsWith(label))
                for (const auto& [key, value] : pairs)
                    if (key == d.key && !value.isEmpty()) return text::fromCp1250(value);
    return {};
}

QString orDash(const QString& s) { return s.isEmpty() ? QStringLiteral("-") : s; }

}   // namespace

sites::Recorder* Tool::recorder() {
    if (p_.isSet("no-record")) return nullptr;
    if (!recorder_)
        recorder_ = std::make_unique<sites::Recorder>(
            sites::Recorder::Options{databaseFile(p_), p_.value("operator").trimmed(), true, false});
    return recorder_.get();
}

sites::SiteDatabase* Tool::database() {
    if (databaseTried_) return database_.get();
    databaseTried_ = true;
    auto db = std::make_unique<sites::SiteDatabase>(
        sites::SiteDatabase::Options{databaseFile(p_), p_.value("operator").trimmed()});
    if (db->open())
        database_ = std::move(db);
    else
        say("site database: %s", db->failure().text.toLocal8Bit());
    return database_.get();
}

void Tool::finishRecording() {
    if (!recorder_) return;
    recorder_->flush();
    const QString why = recorder_->failureText();
    // Said already when a command of this run could not open it either.
    if (!why.isEmpty() && !(databaseTried_ && !database_)) say("site database: %s", why.toLocal8Bit());
    if (recorder_->isTeam() && !recorder_->offlineReason().isEmpty()) {
        say("site database: %s", recorder_->offlineReason().toLocal8Bit());
        sayPending(recorder_->pending());
    }
    recorder_.reset();
}

void Tool::sayPending(int count) {
    if (count <= 0) return;
    say("%s not yet sent to the team database (kestrum-cli sync sends them)",
        (count == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(count)).toLocal8Bit());
}

// History while the team database is out of reach: what waits in the queue.
int Tool::queuedHistory(const QString& site, const QString& module) {
    sites::SiteDatabase named({databaseFile(p_), {}});
    if (!named.isTeam()) return DatabaseUnusable;
    sites::OfflineQueue queue;
    const QList<sites::HistoryRow> rows = queue.history(named.path(), site, module, p_.value("limit").toInt());
    printHistory(rows);
    say("only the records not yet sent to the team database are shown (%s); the rest is unavailable",
        QByteArray::number(rows.size()));
    return DatabaseUnusable;
}

sites::ModuleFacts Tool::moduleFacts() const {
    sites::ModuleFacts m;
    if (!session_) return m;
    if (overModem_)
        m.phone = p_.value("phone").trimmed();
    else
        m.serial = session_->moduleSerial();
    m.type = statusValue(status_, {"ViTypeValue"});
    m.hardware = statusValue(status_, {"ViHwVerValue"});
    m.firmware = statusValue(status_, {"ViFwVerValue"});
    return m;
}

sites::Values Tool::pageValues() {
    const QList<QByteArray> values = transfer().Values();
    sites::Values out;
    for (int i = 0; i < values.size(); ++i) out.append({form().bindings.At(i).key, values[i]});
    return out;
}

QString Tool::sourceOf(const QString& fileOrReference) const {
    if (isReference(fileOrReference)) return QStringLiteral("snapshot:%1").arg(openedSnapshot_);
    return QStringLiteral("file:") + QFileInfo(fileOrReference).fileName();
}

void Tool::recordEvent(const QString& action, int rc, const std::optional<sites::Values>& snapshot,
                       const QString& source, int settings) {
    recorded_ = true;
    sites::Recorder* r = recorder();
    if (!r) return;
    sites::Event e;
    e.action = action;
    e.done = rc == Ok;
    if (!e.done) e.reason = QString::fromLocal8Bit(lastSaid_);
    e.durationMs = work_.isValid() ? work_.elapsed() : 0;
    e.settings = settings >= 0 ? settings : form_ ? form_->bindings.Count() : 0;
    // What a failed transfer left in the module is not known; a verify that
    // found differences read all of it.
    if (e.done || rc == Mismatch) e.snapshot = snapshot;
    e.source = source;
    if (session_) e.link = overModem_ ? QStringLiteral("modem") : QStringLiteral("usb");
    e.module = moduleFacts();
    r->record(e);
}

void Tool::recordStatus() {
    status_.clear();
    sites::Recorder* r = recorder();
    if (!r || !session_) return;
    collectStatus(status_, true);
    sites::StatusVisit v;
    v.at = QDateTime::currentDateTimeUtc();
    v.signal = statusValue(status_, {"GsmSignalValue"});
    v.supply = statusValue(status_, {"SupplyVoltageValue"});
    v.temperature = statusValue(status_, {"ActTempModuleValue", "ActTempSensorValue"});
    v.firmware = statusValue(status_, {"ViFwVerValue"});
    v.uptime = statusValue(status_, {"StUptimeValue", "GsmUptimeValue"});
    r->recordStatus(moduleFacts(), v);
}

int Tool::openReference(const QString& reference) {
    sites::SiteDatabase* db = database();
    if (!db) return DatabaseUnusable;
    const std::optional<sites::Snapshot> snap = db->snapshot(reference);
    if (!snap) {
        const QString site = reference.mid(6);
        if (reference.startsWith(QLatin1String("@site:")) && !db->site(site)) {
            say("there is no site named %s", quoted(site));
            return UnknownSite;
        }
        say("no snapshot %s in the site database", quoted(reference));
        return UnknownReference;
    }
    // The snapshot's values go into the page as a file's would, by key.
    SettingsPage* page = form().page.get();
    page->beginLoad();
    try {
        for (const auto& [key, value] : snap->values)
            if (const ControlDesc* d = form().bindings.Find(key)) SetControlValue(d->control, value);
    } catch (...) {
        page->endLoad();
        throw;
    }
    page->endLoad();
    openedSnapshot_ = snap->id;
    return Ok;
}

int Tool::knownSite(sites::SiteDatabase& db, const QString& name) {
    if (db.site(name)) return Ok;
    if (db.failure()) {
        say("site database: %s", db.failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    say("there is no site named %s", quoted(name));
    return UnknownSite;
}

int Tool::doSites() {
    sites::SiteDatabase* db = database();
    if (!db) return DatabaseUnusable;
    const QList<sites::Site> all = db->sites();
    if (db->failure()) {
        say("site database: %s", db->failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    QJsonArray json;
    for (const sites::Site& s : all) {
        if (p_.isSet("json"))
            json.append(QJsonObject{{"name", s.name},
                                    {"address", s.address},
                                    {"customer", s.customer},
                                    {"notes", s.notes},
                                    {"serial", s.serial},
                                    {"phone", s.phone}});
        else
            printText(QStringList{s.name, orDash(s.customer), orDash(s.address),
                                  orDash(s.serial.isEmpty() ? s.phone : s.serial)}
                          .join(QLatin1String("  ")));
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
    return Ok;
}

int Tool::doSite() {
    sites::SiteDatabase* db = database();
    if (!db) return DatabaseUnusable;
    const QString name = positional_[1].trimmed();
    if (positional_[0] == "add") {
        if (db->addSite({0, name, p_.value("address"), p_.value("customer"), p_.value("notes"), {}, {}})) {
            printText(QStringLiteral("site %1 added").arg(name));
            return Ok;
        }
        say("%s", db->failure().text.toLocal8Bit());
        return db->failure().kind == ::Failure::Kind::Refused ? Usage : DatabaseUnusable;
    }
    if (const int rc = knownSite(*db, name); rc != Ok) return rc;
    // The module named, or the one attached (only listed: nothing is sent to it).
    sites::ModuleFacts module;
    if (p_.isSet("phone")) {
        module.phone = p_.value("phone").trimmed();
    } else if (p_.isSet("device")) {
        module.serial = p_.value("device");
    } else {
        std::vector<HidInterface> modules;
        if (!listModules(modules)) return NoModule;
        if (modules.empty()) {
            say("no module found");
            return NoModule;
        }
        if (modules.size() > 1) {
            say("several modules are attached: name one with --device SERIAL (see list)");
            return Usage;
        }
        module.serial = QString::fromStdString(modules.front().serial);
        if (module.serial.isEmpty()) {
            say("the module gives no serial number: name it with --device or --phone");
            return NoModule;
        }
    }
    if (!db->assign(name, module)) {
        say("site database: %s", db->failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    printText(
        QStringLiteral("module %1 installed at %2").arg(module.serial.isEmpty() ? module.phone : module.serial, name));
    return Ok;
}

int Tool::doHistory() {
    sites::SiteDatabase* db = database();
    if (!db) return queuedHistory(p_.value("site").trimmed(), p_.value("module").trimmed());
    const QString site = p_.value("site").trimmed();
    if (!site.isEmpty())
        if (const int rc = knownSite(*db, site); rc != Ok) return rc;
    const QList<sites::HistoryRow> rows = db->history(site, p_.value("module").trimmed(), p_.value("limit").toInt());
    if (db->failure()) {
        say("site database: %s", db->failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    printHistory(rows);
    return Ok;
}

void Tool::printHistory(const QList<sites::HistoryRow>& rows) {
    QJsonArray json;
    for (const sites::HistoryRow& r : rows) {
        if (p_.isSet("json")) {
            json.append(QJsonObject{{"id", r.id},
                                    {"at", r.at.toString(Qt::ISODate)},
                                    {"action", r.action},
                                    {"result", r.done ? "done" : "failed"},
                                    {"reason", r.reason},
                                    {"durationMs", r.durationMs},
                                    {"settings", r.settings},
                                    {"snapshot", r.snapshotId > 0 ? QJsonValue(r.snapshotId) : QJsonValue()},
                                    {"sent", r.id > 0},
                                    {"source", r.source},
                                    {"link", r.link},
                                    {"operator", r.operatorName},
                                    {"site", r.site},
                                    {"serial", r.serial},
                                    {"phone", r.phone}});
            continue;
        }
        QString line = QStringList{r.at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                                   r.action.leftJustified(8),
                                   QString::fromLatin1(r.done ? "done  " : "failed"),
                                   orDash(r.operatorName),
                                   orDash(r.site),
                                   orDash(r.serial.isEmpty() ? r.phone : r.serial),
                                   r.snapshotId > 0 ? QStringLiteral("@%1").arg(r.snapshotId) : QStringLiteral("-")}
                           .join(QLatin1String("  "));
        if (!r.done) line += QStringLiteral("  (%1)").arg(escaped(r.reason));
        printText(line);
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
}

int Tool::doExport() {
    if (const int rc = openSettings(positional_[0]); rc != Ok) return rc;
    transfer().Save(p_.value("out"));
    return Ok;
}

int Tool::doImport() {
    sites::SiteDatabase* db = database();
    if (!db) return DatabaseUnusable;
    const QString site = p_.value("site").trimmed();
    if (const int rc = knownSite(*db, site); rc != Ok) return rc;
    QStringList files;
    for (const QString& arg : positional_) {
        if (!QFileInfo(arg).isDir()) {
            files << arg;
            continue;
        }
        for (const QFileInfo& f : QDir(arg).entryInfoList(QDir::Files, QDir::Name)) files << f.filePath();
    }
    // Each file through a page of its own; one that is no settings file is
    // skipped with its reason, the others are stored.
    int rc = Ok;
    QList<QPair<QString, qint64>> imported;   // file, event
    for (const QString& file : files) {
        form_ = newForm();
        const int opened = openSettings(file);
        if (opened != Ok) {
            say("%s skipped", file.toLocal8Bit());
            if (rc == Ok) rc = opened;
            continue;
        }
        sites::Event e;
        e.action = QStringLiteral("import");
        e.settings = form().bindings.Count();
        e.snapshot = pageValues();
        e.source = sourceOf(file);
        e.site = site;
        e.at = QFileInfo(file).lastModified().toUTC();
        const qint64 id = db->record(e);
        if (id == 0) {
            say("site database: %s", db->failure().text.toLocal8Bit());
            return DatabaseUnusable;
        }
        imported.append({file, id});
    }
    // Each file's snapshot, as references take it.
    QHash<qint64, qint64> snapshotOf;
    if (!imported.isEmpty())
        for (const sites::HistoryRow& r : db->history(site, {}, 0)) snapshotOf.insert(r.id, r.snapshotId);
    for (const auto& [file, event] : imported)
        printText(QStringLiteral("%1: @%2").arg(QDir::toNativeSeparators(file)).arg(snapshotOf.value(event)));
    return rc;
}

int Tool::doDb() {
    const QString sub = positional_[0];
    if (sub == "copy") {
        sites::SiteDatabase from({p_.value("from"), p_.value("operator").trimmed()});
        sites::SiteDatabase to({p_.value("to"), p_.value("operator").trimmed()});
        for (sites::SiteDatabase* db : {&from, &to})
            if (!db->open()) {
                say("%s", db->failure().text.toLocal8Bit());
                return DatabaseUnusable;
            }
        sites::CopyCount n;
        const bool ok = sites::copyDatabase(from, to, &n);
        printText(QStringLiteral("%1 -> %2: added %3 sites, %4 installations, %5 events, %6 status visits "
                                 "(%7 records read)")
                      .arg(from.path(), to.path())
                      .arg(n.sites)
                      .arg(n.installations)
                      .arg(n.events)
                      .arg(n.statuses)
                      .arg(n.seen));
        if (!ok) {
            say("%s", (to.failure() ? to.failure() : from.failure()).text.toLocal8Bit());
            say("what was added stays; the same copy again goes on from there");
            return DatabaseUnusable;
        }
        return Ok;
    }
    sites::SiteDatabase db({databaseFile(p_), p_.value("operator").trimmed(), sub == "migrate"});
    const bool open = db.open();
    const QString engine = db.isTeam() ? QStringLiteral("PostgreSQL") : QStringLiteral("SQLite");
    if (!open && db.schemaVersion() < 0) {
        say("%s", db.failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    const int version = db.schemaVersion(), current = sites::SiteDatabase::kSchemaVersion;
    printText(QStringLiteral("%1 %2, schema %3 (%4)")
                  .arg(engine, db.path())
                  .arg(version)
                  .arg(version == current ? QStringLiteral("current")
                       : version < current
                           ? QStringLiteral("older than this version's %1: db migrate upgrades it").arg(current)
                           : QStringLiteral("newer than this version's %1").arg(current)));
    if (open && db.isTeam()) sayPending(sites::OfflineQueue().count(db.path()));
    if (version > current) return DatabaseUnusable;
    if (!open && version < current && sub == "check") return DatabaseOld;
    if (!open) {
        say("%s", db.failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    return Ok;
}

int Tool::doSync() {
    sites::SiteDatabase db({databaseFile(p_), p_.value("operator").trimmed()});
    if (!db.isTeam()) {
        say("%s is no team database: nothing waits to be sent to it", db.path().toLocal8Bit());
        return Ok;
    }
    sites::OfflineQueue queue;
    const int waiting = queue.count(db.path());
    if (waiting < 0) {
        say("%s", queue.failure().text.toLocal8Bit());
        return DatabaseUnusable;
    }
    if (!db.open()) {
        say("%s", db.failure().text.toLocal8Bit());
        sayPending(waiting);
        return DatabaseUnusable;
    }
    const int sent = queue.sendTo(db);
    if (sent < 0) {
        say("%s", queue.failure().text.toLocal8Bit());
        sayPending(queue.count(db.path()));
        return DatabaseUnusable;
    }
    printText(sent == 0 ? QStringLiteral("nothing to send to %1").arg(db.path())
                        : QStringLiteral("sent %1 to %2")
                              .arg(sent == 1 ? QStringLiteral("1 record") : QStringLiteral("%1 records").arg(sent),
                                   db.path()));
    return Ok;
}

}   // namespace cli
