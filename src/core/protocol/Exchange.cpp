#include "core/protocol/Exchange.h"

#include "core/text/Timing.h"
#include "core/text/Waiting.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <thread>

const QByteArray kNotAvailable = "\\01234---- Device Not Available ----\\0";

namespace {

constexpr char kL0[] = ":L0 >";
constexpr char kL2[] = ":L2 >";
constexpr char kL9[] = ":L9 >";
constexpr char kPass[] = "->PASS";
constexpr int kPromptSize = 5;

// Where the first prompt of the text that starts at or after `from` ends, or -1.
// The device prints a prompt at the start of a line: the same characters
// inside a line are text (a stored value may hold ":L2 >").
int promptEnd(const QByteArray& text, int from) {
    int first = -1;
    for (const char* p : {kL0, kL2, kL9}) {
        int at = int(text.indexOf(p, from));
        while (at > 0 && text[at - 1] != '\n' && text[at - 1] != '\r') at = int(text.indexOf(p, at + 1));
        if (at >= 0 && (first < 0 || at < first)) first = at;
    }
    return first < 0 ? -1 : first + kPromptSize;
}

// The key an answer names: the text between the start of the line that holds
// its first "=" and that "="; empty when it names none. *keyAt is where the
// key starts.
QByteArray namedKey(const QByteArray& answer, int* keyAt = nullptr) {
    const int eq = int(answer.indexOf('='));
    if (eq <= 0) return {};
    int from = eq;
    while (from > 0 && answer[from - 1] != '\r' && answer[from - 1] != '\n') --from;
    while (from < eq && answer[from] == ' ') ++from;
    if (keyAt) *keyAt = from;
    return answer.mid(from, eq - from);
}

}   // namespace

bool IsCommandSafe(const QByteArray& text) {
    for (const char c : text)
        if (uint8_t(c) < 0x20 || c == '\x7F') return false;
    return !text.contains("#\"");
}

Exchange::Exchange() = default;

void Exchange::Abort() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        aborted_ = true;
        ++deliveries_;
        wakeSleepers();
    }
    arrived_.notify_all();
}

// Only the sleeping thread's event dispatcher is woken (thread-safe, nothing
// handed over): the wait looks at deliveries_, under the mutex, as its loop
// is about to sleep again.
void Exchange::wakeSleepers() {
    for (QAbstractEventDispatcher* d : sleepers_) d->wakeUp();
}

void Exchange::setChannel(Connection* c) {
    std::lock_guard<std::mutex> g(mutex_);
    channel_ = c;
    forgetSends();
}

void Exchange::LinkChanged(Connection* c) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (c != channel_.load()) return;
        forgetSends();
    }
    arrived_.notify_all();
}

void Exchange::forgetSends() {
    unanswered_.clear();
    pending_.clear();
    scanned_ = 0;
    ++linkEpoch_;
    ++deliveries_;   // wakes a wait, which then sees the new link
    wakeSleepers();
}

bool Exchange::linkUp() const {
    Connection* c = channel_;
    return c && c->IsOpen() && c->IsReady();
}

void Exchange::AccumulateResponse(const uint8_t* data, int32_t len) {
    bool answered = false;
    {
        std::lock_guard<std::mutex> g(mutex_);
        pending_.append(reinterpret_cast<const char*>(data), len);
        // Only what is new is looked at, with room for a prompt cut in two.
        int from = std::max(0, scanned_ - (kPromptSize - 1));
        for (int end; (end = promptEnd(pending_, from)) >= 0; from = 0) {
            const QByteArray answer = pending_.left(end);
            pending_.remove(0, end);
            answered = takeAnswer(answer) || answered;
        }
        // Text without any prompt is kept only so far: an answer is short.
        // Half is dropped at a time, so a stream of junk costs little per byte.
        if (pending_.size() > kMaxPending) pending_.remove(0, pending_.size() - kMaxPending / 2);
        scanned_ = int(pending_.size());
        // A wait looks again only when its call got its answer: the part of
        // an answer that comes in each report changes nothing it looks at,
        // and waking it for each would cost a hand-off to its thread.
        if (!answered) return;
        ++deliveries_;
        wakeSleepers();
    }
    arrived_.notify_all();
}

bool Exchange::takeAnswer(const QByteArray& answer) {
    // An answer that names a key belongs to the oldest send of that key still
    // unanswered; sends before it were lost. Any other answer belongs to the
    // oldest send (which, if a query, does not take an answer naming another
    // key: see below).
    const QByteArray named = namedKey(answer);
    auto it = unanswered_.begin();
    if (!named.isEmpty())
        for (auto k = unanswered_.begin(); k != unanswered_.end(); ++k)
            if (k->key == named) {
                it = k;
                break;
            }
    if (it == unanswered_.end()) return false;   // nobody asked: text the device printed by itself
    const Sent sent = *it;
    unanswered_.erase(unanswered_.begin(), it + 1);

    const auto w = waiting_.find(sent.exchange);
    if (w == waiting_.end() || w->second.complete) return false;   // its caller no longer waits
    Waiter& waiter = w->second;
    // The prompt it ends with tells the verdict; the same text inside a value tells nothing.
    const bool level0 = answer.endsWith(kL0);
    const bool level2 = answer.endsWith(kL2);
    const bool pass = (level2 || answer.endsWith(kL9)) && answer.contains(kPass);
    Outcome outcome;
    if (level0)
        outcome = Outcome::Refused;
    else if (sent.kind == Kind::Password ? level2 : pass)
        outcome = Outcome::Accepted;
    else
        return false;   // an answer, but neither success nor refusal: the attempt runs on
    // A query's answer counts only when it names the key asked for.
    if (outcome == Outcome::Accepted && sent.kind == Kind::Query && named != sent.key) return false;
    waiter.complete = true;
    waiter.outcome = outcome;
    // A query's answer starts at its key: "KEY=value", two characters, "->PASS", the prompt.
    int keyAt = 0;
    if (sent.kind == Kind::Query) namedKey(answer, &keyAt);
    waiter.text = answer.mid(keyAt);
    return true;
}

QByteArray Exchange::Buffer() const {
    std::lock_guard<std::mutex> g(mutex_);
    return pending_;
}

int Exchange::Unanswered() const {
    std::lock_guard<std::mutex> g(mutex_);
    return int(unanswered_.size());
}

void Exchange::acquire() {
    for (int i = 0; i < timing::exchangeLockTries && !aborted_; ++i) {
        if (!lock_) {
            lock_ = true;
            return;
        }
        if (pump)
            pump();
        else if (waiting::onApplicationThread())
            QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(timing::exchangeLockPollMs));
    }
    // A busy exchange that never ends is not waited for any longer.
}

uint64_t Exchange::begin(Kind kind, const QByteArray& key) {
    std::lock_guard<std::mutex> g(mutex_);
    const uint64_t id = nextId_++;
    Waiter& w = waiting_[id];
    w.kind = kind;
    w.key = key;
    return id;
}

void Exchange::end(uint64_t id) {
    std::lock_guard<std::mutex> g(mutex_);
    waiting_.erase(id);
}

bool Exchange::send(uint64_t id, const QByteArray& text) {
    Connection* c = channel_;
    if (!linkUp()) return false;
    {
        // Counted before it goes: the answer may arrive before SendText returns.
        std::lock_guard<std::mutex> g(mutex_);
        // With nothing unanswered, text waiting for a prompt belongs to no
        // command: it would only spoil the start of this one's answer.
        if (unanswered_.empty()) {
            pending_.clear();
            scanned_ = 0;
        }
        Waiter& w = waiting_[id];
        w.epoch = linkEpoch_;
        unanswered_.push_back({id, w.kind, w.key});
        if (int(unanswered_.size()) > kMaxUnanswered) unanswered_.pop_front();
    }
    const unsigned failures = c->SendFailures();
    c->SendText(text);
    if (c->SendFailures() == failures) return true;
    // It did not (all) go out: no answer is waited for.
    std::lock_guard<std::mutex> g(mutex_);
    const auto sent =
        std::find_if(unanswered_.rbegin(), unanswered_.rend(), [&](const Sent& s) { return s.exchange == id; });
    if (sent != unanswered_.rend()) unanswered_.erase(std::next(sent).base());
    return false;
}

Outcome Exchange::waitFor(uint64_t id, int totalMs, QByteArray* text) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    unsigned seen = 0;   // what the latest look saw: a wake after it is not missed
    const auto result = [&](Outcome& out) {
        std::lock_guard<std::mutex> g(mutex_);
        seen = deliveries_;
        const Waiter& w = waiting_[id];
        if (w.complete) {
            out = w.outcome;
            if (text) *text = w.text;
            return true;
        }
        if (w.epoch != linkEpoch_) {
            out = Outcome::LinkLost;
            return true;
        }
        return false;
    };
    for (Outcome out;;) {
        if (result(out)) return out;
        if (!linkUp()) return Outcome::LinkLost;
        if (pump) {
            pump();
            if (result(out)) return out;
        }
        const auto now = Clock::now();
        if (now >= deadline || aborted_) return Outcome::NoAnswer;
        sleep(seen, pump ? std::min(deadline, now + std::chrono::milliseconds(1)) : deadline);
    }
}

void Exchange::sleep(unsigned seen, std::chrono::steady_clock::time_point until) {
    const auto delivered = [&] { return deliveries_ != seen; };
    if (!pump && waiting::onApplicationThread() && waiting::sleepInEventLoop(mutex_, sleepers_, delivered, until))
        return;
    std::unique_lock<std::mutex> lk(mutex_);
    arrived_.wait_until(lk, until, delivered);
}

Outcome Exchange::transact(Kind kind, const QByteArray& key, const QByteArray& command, int attempts, int waitMs,
                           QByteArray* text) {
    Outcome result = Outcome::NoAnswer;
    const uint64_t id = begin(kind, key);
    for (int attempt = 0; attempt < attempts && !aborted_; ++attempt) {
        if (!send(id, command)) {
            result = Outcome::LinkLost;
            break;
        }
        // Not answered in time: send again. The answer to this send still
        // counts if it comes during a later attempt.
        result = waitFor(id, waitMs, text);
        if (result != Outcome::NoAnswer) break;
    }
    end(id);
    if (text && result != Outcome::Accepted) text->clear();
    // The exchange lock is freed also by a password command, which does not
    // take it, even when it ran inside the wait of another exchange.
    lock_ = false;
    return result;
}

Exchange::Answer Exchange::Query(const QByteArray& key) {
    Answer a;
    if (!IsCommandSafe(key)) {
        a.outcome = Outcome::NotSent;
        return a;
    }
    acquire();
    a.outcome =
        transact(Kind::Query, key, "sc " + key + "?#\r\n", timing::commandAttempts, timing::answerWaitMs, &a.text);
    return a;
}

QByteArray Exchange::QueryParam(const QByteArray& key) {
    const Answer a = Query(key);
    if (a.outcome == Outcome::Refused) return kNotAvailable;
    return a.text;
}

Outcome Exchange::SetParam(const QByteArray& key, const QByteArray& value) {
    if (!IsCommandSafe(key) || !IsCommandSafe(value)) return Outcome::NotSent;
    acquire();
    return transact(Kind::Set, key, "sc \"" + key + "=" + value + "#\"\r\n", timing::commandAttempts,
                    timing::answerWaitMs, nullptr);
}

Outcome Exchange::PasswordCommand(const QByteArray& password, const QByteArray& second) {
    if (!IsCommandSafe(password) || !IsCommandSafe(second)) return Outcome::NotSent;
    const QByteArray command =
        second == "0" ? "set REM:UPW P," + password + "\n" : "set REM:UPW C," + password + "," + second + "\n";
    // Not under the exchange lock: a login may run inside the wait of another exchange.
    return transact(Kind::Password, {}, command, timing::loginAttempts, timing::loginPolls * timing::loginPollMs,
                    nullptr);
}

QByteArray ParseAnswerValue(const QByteArray& answer) {
    if (answer == kNotAvailable) return {};
    QByteArray key, value;
    SplitAnswer(answer, key, value);
    return value;
}

bool SplitAnswer(const QByteArray& answer, QByteArray& key, QByteArray& value) {
    key.clear();
    value.clear();
    const int eq = int(answer.indexOf('='));
    // The last "->PASS": the device's own comes after the value, which may hold the same text.
    const int pass = int(answer.lastIndexOf(kPass));
    if (eq < 0 || pass < 0) return false;
    key = answer.left(eq);
    const int len = pass - eq - 3;
    if (len > 0) value = answer.mid(eq + 1, len);
    return true;
}
