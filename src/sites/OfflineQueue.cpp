#include "sites/OfflineQueue.h"

#include "core/text/Codec.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace sites {
namespace {

constexpr int kSendBatch = 200;   // records sent in one transaction of the server's

QJsonObject factsJson(const ModuleFacts& m) {
    return {
        {"serial", m.serial}, {"phone", m.phone}, {"type", m.type}, {"hardware", m.hardware}, {"firmware", m.firmware}};
}

ModuleFacts factsFrom(const QJsonObject& o) {
    return {o["serial"].toString(), o["phone"].toString(), o["type"].toString(), o["hardware"].toString(),
            o["firmware"].toString()};
}

QByteArray eventJson(const Event& e) {
    QJsonObject o{{"action", e.action},     {"done", e.done},
                  {"reason", e.reason},     {"duration", double(e.durationMs)},
                  {"settings", e.settings}, {"source", e.source},
                  {"link", e.link},         {"module", factsJson(e.module)},
                  {"site", e.site},         {"at", SiteDatabase::stamp(e.at)},
                  {"uid", e.uid},           {"operator", e.operatorName}};
    if (e.snapshot) {
        // Keys are ASCII; values the module's Windows-1250 text, kept as Unicode.
        QJsonArray pairs;
        for (const auto& [key, value] : *e.snapshot)
            pairs.append(QJsonArray{QString::fromLatin1(key), text::fromCp1250(value)});
        o["snapshot"] = pairs;
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

std::optional<Event> eventFrom(const QByteArray& json) {
    const QJsonObject o = QJsonDocument::fromJson(json).object();
    if (o.isEmpty()) return std::nullopt;
    Event e;
    e.action = o["action"].toString();
    e.done = o["done"].toBool();
    e.reason = o["reason"].toString();
    e.durationMs = qint64(o["duration"].toDouble());
    e.settings = o["settings"].toInt();
    e.source = o["source"].toString();
    e.link = o["link"].toString();
    e.module = factsFrom(o["module"].toObject());
    e.site = o["site"].toString();
    e.at = SiteDatabase::fromStamp(o["at"].toString());
    e.uid = o["uid"].toString();
    e.operatorName = o["operator"].toString();
    if (o.contains("snapshot")) {
        Values values;
        for (const QJsonValue& pair : o["snapshot"].toArray())
            values.append({pair[0].toString().toLatin1(), text::toCp1250(pair[1].toString())});
        e.snapshot = values;
    }
    return e;
}

}   // namespace

QString OfflineQueue::defaultPath() {
    return QFileInfo(SiteDatabase::defaultPath()).dir().filePath(QStringLiteral("team-queue.sqlite"));
}

OfflineQueue::OfflineQueue(QString path)
    : path_(path.isEmpty() ? defaultPath() : std::move(path)),
      connection_(QStringLiteral("kestrum-queue-") + QUuid::createUuid().toString(QUuid::WithoutBraces)) {}

OfflineQueue::~OfflineQueue() {
    {
        QSqlDatabase db = QSqlDatabase::database(connection_, false);
        if (db.isValid()) db.close();
    }
    if (QSqlDatabase::contains(connection_)) QSqlDatabase::removeDatabase(connection_);
}

bool OfflineQueue::fail(const QString& text) {
    failure_ = {Failure::Kind::Io, path_ + ": " + text};
    return false;
}

bool OfflineQueue::open() {
    if (open_) return true;
    failure_ = {};
    QDir().mkpath(QFileInfo(path_).absolutePath());
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    db.setDatabaseName(path_);
    db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(SiteDatabase::kBusyWaitMs));
    if (!db.open()) return fail(db.lastError().text());
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("CREATE TABLE IF NOT EXISTS pending (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                               "target TEXT NOT NULL, kind TEXT NOT NULL, at TEXT NOT NULL, payload TEXT NOT NULL)")))
        return fail(q.lastError().text());
    QFile::setPermissions(path_, QFile::ReadOwner | QFile::WriteOwner);
    open_ = true;
    return true;
}

bool OfflineQueue::put(const QString& target, const QString& kind, const QString& at, const QByteArray& payload) {
    if (!open()) return false;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("INSERT INTO pending (target, kind, at, payload) VALUES (?, ?, ?, ?)"));
    q.addBindValue(target);
    q.addBindValue(kind);
    q.addBindValue(at);
    q.addBindValue(QString::fromUtf8(payload));
    return q.exec() || fail(q.lastError().text());
}

bool OfflineQueue::add(const QString& target, const Event& event) {
    return put(target, QStringLiteral("event"), SiteDatabase::stamp(event.at), eventJson(event));
}

bool OfflineQueue::addStatus(const QString& target, const ModuleFacts& module, const StatusVisit& v) {
    const QJsonObject o{
        {"module", factsJson(module)},  {"at", SiteDatabase::stamp(v.at)}, {"signal", v.signal}, {"supply", v.supply},
        {"temperature", v.temperature}, {"firmware", v.firmware},          {"uptime", v.uptime}, {"uid", v.uid}};
    return put(target, QStringLiteral("status"), SiteDatabase::stamp(v.at),
               QJsonDocument(o).toJson(QJsonDocument::Compact));
}

int OfflineQueue::count(const QString& target) {
    if (!open()) return -1;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT count(*) FROM pending WHERE target = ?"));
    q.addBindValue(target);
    if (!q.exec() || !q.next()) return fail(q.lastError().text()), -1;
    return q.value(0).toInt();
}

QList<HistoryRow> OfflineQueue::history(const QString& target, const QString& siteName, const QString& module,
                                        int limit) {
    QList<HistoryRow> out;
    if (!open()) return out;
    QSqlQuery q(QSqlDatabase::database(connection_, false));
    q.prepare(QStringLiteral("SELECT payload FROM pending WHERE target = ? AND kind = 'event' ORDER BY seq DESC"));
    q.addBindValue(target);
    if (!q.exec()) {
        fail(q.lastError().text());
        return out;
    }
    while (q.next() && (limit <= 0 || out.size() < limit)) {
        const std::optional<Event> e = eventFrom(q.value(0).toString().toUtf8());
        if (!e) continue;
        if (!siteName.isEmpty() && e->site != siteName) continue;
        if (!module.isEmpty() && e->module.serial != module && e->module.phone != module) continue;
        HistoryRow r;
        r.at = e->at;
        r.action = e->action;
        r.done = e->done;
        r.reason = e->reason;
        r.durationMs = e->durationMs;
        r.settings = e->settings;
        r.source = e->source;
        r.link = e->link;
        r.operatorName = e->operatorName;
        r.site = e->site;
        r.serial = e->module.serial;
        r.phone = e->module.phone;
        out.append(r);
    }
    return out;
}

int OfflineQueue::sendTo(SiteDatabase& db) {
    if (!open()) return -1;
    const QString target = db.path();
    int sent = 0;
    for (;;) {
        QList<QPair<qint64, QByteArray>> rows;
        QStringList kinds;
        {
            QSqlQuery q(QSqlDatabase::database(connection_, false));
            q.prepare(QStringLiteral("SELECT seq, kind, payload FROM pending WHERE target = ? ORDER BY seq LIMIT ?"));
            q.addBindValue(target);
            q.addBindValue(kSendBatch);
            if (!q.exec()) return fail(q.lastError().text()), -1;
            while (q.next()) {
                rows.append({q.value(0).toLongLong(), q.value(2).toString().toUtf8()});
                kinds << q.value(1).toString();
            }
        }
        if (rows.isEmpty()) return sent;
        // A batch is stored whole or not at all; then forgotten here. Should
        // the program stop in between, the batch is sent again next time and
        // the server keeps each record once.
        if (!db.beginBatch()) return failure_ = db.failure(), -1;
        for (int i = 0; i < rows.size(); ++i) {
            bool ok = false;
            if (kinds[i] == QLatin1String("status")) {
                const QJsonObject o = QJsonDocument::fromJson(rows[i].second).object();
                const StatusVisit v{SiteDatabase::fromStamp(o["at"].toString()),
                                    o["signal"].toString(),
                                    o["supply"].toString(),
                                    o["temperature"].toString(),
                                    o["firmware"].toString(),
                                    o["uptime"].toString(),
                                    o["uid"].toString()};
                ok = db.recordStatus(factsFrom(o["module"].toObject()), v);
            } else if (const std::optional<Event> e = eventFrom(rows[i].second)) {
                ok = db.record(*e) > 0;
            } else {
                ok = true;   // damaged in the file: nothing of it can be sent
            }
            if (!ok) {
                failure_ = db.failure();
                db.endBatch(false);
                return -1;
            }
        }
        if (!db.endBatch()) return failure_ = db.failure(), -1;
        QSqlQuery del(QSqlDatabase::database(connection_, false));
        del.prepare(QStringLiteral("DELETE FROM pending WHERE seq <= ? AND target = ?"));
        del.addBindValue(rows.last().first);
        del.addBindValue(target);
        if (!del.exec()) return fail(del.lastError().text()), -1;
        sent += rows.size();
    }
}

}   // namespace sites
