#include "sites/Recorder.h"

#include <QThread>
#include <QUuid>

namespace sites {

Recorder::Recorder(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    QString why;
    const std::optional<Reference> ref = Reference::parse(options_.reference, SiteDatabase::defaultPath(), &why);
    team_ = ref && ref->isTeam();
    name_ = ref ? ref->display() : options_.reference;
    if (!options_.enabled) return;
    // A thread of Qt's own: it uses Qt SQL, whose per-thread data Qt then
    // cleans up as it ends (a plain std::thread crashed at its end on Windows).
    if (options_.ownThread) {
        jobs_.push_back([this] { connect(); });   // at once: the first record finds it ready
        thread_.reset(QThread::create([this] { run(); }));
        thread_->start();
    }
}

Recorder::~Recorder() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_) thread_->wait();
}

void Recorder::give(std::function<void()> job) {
    if (!options_.enabled) return;
    if (!thread_) {
        job();
        return;
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_all();
}

void Recorder::record(const Event& event) {
    give([this, event] { store(event); });
}

void Recorder::recordStatus(const ModuleFacts& module, const StatusVisit& visit) {
    if (!module.known()) return;
    give([this, module, visit] { storeStatus(module, visit); });
}

void Recorder::reconnect() {
    if (!team_) return;
    give([this] {
        if (!db_) connect();
    });
}

// Opens the database; a team database reached sends what waits for it first.
void Recorder::connect() {
    connected_ = true;
    auto db = std::make_unique<SiteDatabase>(SiteDatabase::Options{options_.reference, options_.operatorName});
    if (!db->open()) {
        if (team_)
            goOffline(db->failure());
        else {
            unusable_ = true;
            unusableWhy_ = db->failure();   // told with the first record, not before
        }
        return;
    }
    db_ = std::move(db);
    if (!team_) return;
    if (!queue_) queue_ = std::make_unique<OfflineQueue>(options_.queuePath);
    if (queue_->sendTo(*db_) < 0 && db_->failure()) {
        goOffline(db_->failure());
        return;
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        offline_.clear();
    }
    countPending();
}

void Recorder::goOffline(const Failure& why) {
    db_.reset();
    if (!queue_) queue_ = std::make_unique<OfflineQueue>(options_.queuePath);
    {
        std::lock_guard<std::mutex> g(mutex_);
        offline_ = why.text;
    }
    countPending();
}

void Recorder::countPending() {
    const int n = queue_ ? queue_->count(name_) : 0;
    pending_ = std::max(n, 0);
    emit pendingChanged(pending_, offlineReason());
}

void Recorder::store(Event e) {
    if (!connected_) connect();
    // Named, timed and signed as it happens: the same record whether it is
    // stored now or sent from the queue later.
    if (e.uid.isEmpty()) e.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!e.at.isValid()) e.at = QDateTime::currentDateTimeUtc();
    if (e.operatorName.isEmpty())
        e.operatorName = options_.operatorName.isEmpty() ? SiteDatabase::userName() : options_.operatorName;
    if (unusable_) return note(unusableWhy_);
    if (db_) {
        if (db_->record(e) > 0) return;
        if (!team_) return note(db_->failure());
        goOffline(db_->failure());   // the server went away: this record waits too
    }
    if (!queue_->add(name_, e)) return note(queue_->failure());
    countPending();
}

void Recorder::storeStatus(const ModuleFacts& module, StatusVisit v) {
    if (!connected_) connect();
    if (v.uid.isEmpty()) v.uid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    if (!v.at.isValid()) v.at = QDateTime::currentDateTimeUtc();
    if (unusable_) return note(unusableWhy_);
    if (db_) {
        if (db_->recordStatus(module, v)) return;
        if (!team_) return note(db_->failure());
        goOffline(db_->failure());
    }
    if (!queue_->addStatus(name_, module, v)) return note(queue_->failure());
    countPending();
}

void Recorder::flush() {
    std::unique_lock<std::mutex> g(mutex_);
    idle_.wait(g, [this] { return jobs_.empty() && !busy_; });
}

QString Recorder::failureText() const {
    std::lock_guard<std::mutex> g(mutex_);
    return failure_;
}

QString Recorder::offlineReason() const {
    std::lock_guard<std::mutex> g(mutex_);
    return offline_;
}

void Recorder::note(const Failure& f) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (!failure_.isEmpty()) return;   // told once
        failure_ = f.text.isEmpty() ? QStringLiteral("the site database cannot be written") : f.text;
    }
    emit failed(failureText());
}

void Recorder::run() {
    // The database is this thread's own: Qt SQL connections belong to the
    // thread that opened them.
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
        wake_.wait(g, [this] { return stop_ || !jobs_.empty(); });
        if (jobs_.empty()) break;   // stopping, everything written
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        busy_ = true;
        g.unlock();
        job();
        g.lock();
        if (jobs_.empty() && !stop_ && db_) {
            // Fallen idle: what was written goes into the file itself now,
            // off the caller's thread, and not as the window closes.
            g.unlock();
            db_->settle();
            g.lock();
        }
        busy_ = false;
        if (jobs_.empty()) idle_.notify_all();
    }
    g.unlock();
    db_.reset();
    queue_.reset();
    g.lock();
    idle_.notify_all();
}

}   // namespace sites
