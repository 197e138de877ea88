#pragma once
// Records for a team database that could not be reached, kept in a SQLite
// file of the user's own beside the default site database until they are
// sent: in the order they were made, each once (the server keeps an event
// or a visit by its uid, so one sent again is not stored twice).
#include "sites/SiteDatabase.h"

namespace sites {

class OfflineQueue {
public:
    // team-queue.sqlite in the folder of SiteDatabase::defaultPath().
    static QString defaultPath();

    explicit OfflineQueue(QString path = {});
    ~OfflineQueue();
    OfflineQueue(const OfflineQueue&) = delete;
    OfflineQueue& operator=(const OfflineQueue&) = delete;

    bool open();
    Failure failure() const { return failure_; }
    QString path() const { return path_; }

    // Kept for the team database named target (its display name); the
    // event's uid, time and operator must be set.
    bool add(const QString& target, const Event& event);
    bool addStatus(const QString& target, const ModuleFacts& module, const StatusVisit& visit);
    // How many records wait for target; -1 when the file cannot be read.
    int count(const QString& target);
    // The events waiting for target as history rows, newest first (site and
    // module as they were known when made).
    QList<HistoryRow> history(const QString& target, const QString& siteName, const QString& module, int limit);
    // Sends what waits for db, oldest first, and forgets each once stored;
    // how many were sent, or -1 with failure() (the rest waits).
    int sendTo(SiteDatabase& db);

private:
    bool fail(const QString& text);
    bool put(const QString& target, const QString& kind, const QString& at, const QByteArray& payload);

    QString path_;
    QString connection_;
    bool open_ = false;
    Failure failure_;
};

}   // namespace sites
