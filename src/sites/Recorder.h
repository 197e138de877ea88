#pragma once
// Records what is done to modules into the site database without ever
// holding up the work: records go to a thread of their own, which opens the
// database as the recorder is made and writes each in its own transaction. A database
// that cannot be used (read-only, locked, full, of a newer schema, damaged)
// is told once, through failed(), and the work goes on.
//
// A team database out of reach loses nothing: its records wait in the
// offline queue and are sent, in order, when it is reached again (as the
// recorder starts, at reconnect(), or by kestrum-cli sync).
#include "sites/OfflineQueue.h"
#include "sites/SiteDatabase.h"

#include <QObject>

class QThread;

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace sites {

class Recorder : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString reference;      // empty: SiteDatabase::defaultPath()
        QString operatorName;   // empty: the system's user name
        bool enabled = true;    // false: nothing is recorded (--no-record)
        // False: each record is written at once on the caller's thread (a
        // batch tool that waits for its records anyway).
        bool ownThread = true;
        QString queuePath{};   // empty: OfflineQueue::defaultPath()
    };
    explicit Recorder(Options options, QObject* parent = nullptr);
    // Writes what was given before it returns (at most timing-wise what the
    // database's busy wait allows for each record).
    ~Recorder() override;

    bool enabled() const { return options_.enabled; }
    QString path() const { return name_; }
    bool isTeam() const { return team_; }
    QString operatorName() const { return options_.operatorName; }

    // Given to the recording thread; returns at once.
    void record(const Event& event);
    void recordStatus(const ModuleFacts& module, const StatusVisit& visit);
    // A team database out of reach is tried again (a module was connected).
    void reconnect();
    // Waits until everything given so far was written (and, on a file,
    // settled into it) or given up.
    void flush();
    // The first failure, as told by failed(); empty when none.
    QString failureText() const;
    // Records waiting in the offline queue, as last counted; and why the
    // team database was out of reach then (empty: it was reached).
    int pending() const { return pending_; }
    QString offlineReason() const;

signals:
    // Once per recorder: why recording does not work (on the recorder's thread).
    void failed(const QString& why);
    // The records waiting for the team database changed (on the recorder's thread).
    void pendingChanged(int count, const QString& why);

private:
    void run();
    void give(std::function<void()> job);
    void connect();
    void store(Event event);
    void storeStatus(const ModuleFacts& module, StatusVisit visit);
    void goOffline(const Failure& why);
    void countPending();
    void note(const Failure& f);

    Options options_;
    QString name_;
    bool team_ = false;
    // The recording thread's own (or the caller's, without a thread).
    std::unique_ptr<SiteDatabase> db_;
    std::unique_ptr<OfflineQueue> queue_;
    bool connected_ = false;   // connect() was tried
    bool unusable_ = false;    // a local file that cannot be used
    Failure unusableWhy_;

    mutable std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<std::function<void()>> jobs_;
    bool busy_ = false;
    bool stop_ = false;
    QString failure_;
    QString offline_;
    std::atomic<int> pending_{0};
    std::unique_ptr<QThread> thread_;
};

}   // namespace sites
