#include "sites/Recorder.h"

#include <QMetaObject>
#include <QThread>

namespace sites {

Recorder::Recorder(Options options, QObject* parent)
    : QObject(parent),
      options_(std::move(options)),
      path_(options_.path.isEmpty() ? SiteDatabase::defaultPath() : options_.path) {
    // A thread of Qt's own: it uses Qt SQL, whose per-thread data Qt then
    // cleans up as it ends (a plain std::thread crashed at its end on Windows).
    if (options_.enabled && options_.ownThread) {
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

void Recorder::runNow(const std::function<void(SiteDatabase&)>& job) {
    if (!here_) {
        here_ = std::make_unique<SiteDatabase>(SiteDatabase::Options{path_, options_.operatorName});
        hereUnusable_ = !here_->open();
    }
    if (hereUnusable_)
        note(here_->failure());
    else
        job(*here_);
}

void Recorder::record(const Event& event) {
    if (!options_.enabled) return;
    if (!thread_) {
        runNow([this, &event](SiteDatabase& db) {
            if (db.record(event) == 0) note(db.failure());
        });
        return;
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        queue_.push_back([this, event](SiteDatabase& db) {
            if (db.record(event) == 0) note(db.failure());
        });
    }
    wake_.notify_all();
}

void Recorder::recordStatus(const ModuleFacts& module, const StatusVisit& visit) {
    if (!options_.enabled || !module.known()) return;
    if (!thread_) {
        runNow([this, &module, &visit](SiteDatabase& db) {
            if (!db.recordStatus(module, visit)) note(db.failure());
        });
        return;
    }
    {
        std::lock_guard<std::mutex> g(mutex_);
        queue_.push_back([this, module, visit](SiteDatabase& db) {
            if (!db.recordStatus(module, visit)) note(db.failure());
        });
    }
    wake_.notify_all();
}

void Recorder::flush() {
    std::unique_lock<std::mutex> g(mutex_);
    idle_.wait(g, [this] { return queue_.empty() && !busy_; });
}

QString Recorder::failureText() const {
    std::lock_guard<std::mutex> g(mutex_);
    return failure_;
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
    // The database is this thread's own (Qt SQL connections belong to the
    // thread that opened them), opened at once: the work on the module goes
    // on meanwhile, so the first record finds it ready.
    auto db = std::make_unique<SiteDatabase>(SiteDatabase::Options{path_, options_.operatorName});
    const bool unusable = !db->open();
    const Failure why = db->failure();   // told with the first record, not before
    std::unique_lock<std::mutex> g(mutex_);
    for (;;) {
        wake_.wait(g, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) break;   // stopping, everything written
        std::function<void(SiteDatabase&)> job = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        g.unlock();
        if (unusable)
            note(why);
        else
            job(*db);
        g.lock();
        busy_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
    g.unlock();
    db.reset();
    g.lock();
    idle_.notify_all();
}

}   // namespace sites
