#pragma once
// Records what is done to modules into the site database without ever
// holding up the work: records go to a thread of their own, which opens the
// database as the recorder is made and writes each in its own transaction. A database
// that cannot be used (read-only, locked, full, of a newer schema, damaged)
// is told once, through failed(), and the work goes on.
#include "sites/SiteDatabase.h"

#include <QObject>

class QThread;

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
        QString path;           // empty: SiteDatabase::defaultPath()
        QString operatorName;   // empty: the system's user name
        bool enabled = true;    // false: nothing is recorded (--no-record)
        // False: each record is written at once on the caller's thread (a
        // batch tool that waits for its records anyway).
        bool ownThread = true;
    };
    explicit Recorder(Options options, QObject* parent = nullptr);
    // Writes what was given before it returns (at most timing-wise what the
    // database's busy wait allows for each record).
    ~Recorder() override;

    bool enabled() const { return options_.enabled; }
    QString path() const { return path_; }
    QString operatorName() const { return options_.operatorName; }

    // Given to the recording thread; returns at once.
    void record(const Event& event);
    void recordStatus(const ModuleFacts& module, const StatusVisit& visit);
    // Waits until everything given so far was written or given up.
    void flush();
    // The first failure, as told by failed(); empty when none.
    QString failureText() const;

signals:
    // Once per recorder: why recording does not work (on the recorder's thread).
    void failed(const QString& why);

private:
    void run();
    void note(const Failure& f);
    void runNow(const std::function<void(SiteDatabase&)>& job);
    std::unique_ptr<SiteDatabase> here_;   // without a thread of its own
    bool hereUnusable_ = false;

    Options options_;
    QString path_;
    mutable std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<std::function<void(SiteDatabase&)>> queue_;
    bool busy_ = false;
    bool stop_ = false;
    QString failure_;
    std::unique_ptr<QThread> thread_;
};

}   // namespace sites
