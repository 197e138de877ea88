#include "protocol/Exchange.h"

#include "protocol/Timing.h"

#include <QCoreApplication>

#include <chrono>
#include <thread>

const QByteArray kNotAvailable = "\\01234---- Device Not Available ----\\0";

namespace {
constexpr char kL0[] = ":L0 >";
constexpr char kL2[] = ":L2 >";
constexpr char kL9[] = ":L9 >";
constexpr char kPass[] = "->PASS";
}  // namespace

Exchange::Exchange() : pump([] { QCoreApplication::processEvents(); }) {}

void Exchange::AccumulateResponse(const uint8_t* data, int32_t len) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        buffer_.append(reinterpret_cast<const char*>(data), len);
        level0Seen_ = buffer_.contains(kL0);
        level2Seen_ = buffer_.contains(kL2);
        passSeen_ = (level2Seen_ || buffer_.contains(kL9)) && buffer_.contains(kPass);
        ++deliveries_;
    }
    arrived_.notify_all();
}

bool Exchange::PassSeen() const {
    std::lock_guard<std::mutex> g(mutex_);
    return passSeen_;
}

bool Exchange::Level2Seen() const {
    std::lock_guard<std::mutex> g(mutex_);
    return level2Seen_;
}

bool Exchange::Level0Seen() const {
    std::lock_guard<std::mutex> g(mutex_);
    return level0Seen_;
}

void Exchange::ClearLevel0AndPass() {
    std::lock_guard<std::mutex> g(mutex_);
    level0Seen_ = false;
    passSeen_ = false;
}

QByteArray Exchange::Buffer() const {
    std::lock_guard<std::mutex> g(mutex_);
    return buffer_;
}

void Exchange::clearBuffer() {
    std::lock_guard<std::mutex> g(mutex_);
    buffer_.clear();
}

void Exchange::acquire() {
    for (int i = 0; i < timing::exchangeLockTries && !aborted_; ++i) {
        if (!lock_) {
            lock_ = true;
            return;
        }
        if (pump) pump();
        std::this_thread::sleep_for(std::chrono::milliseconds(timing::exchangeLockPollMs));
    }
    // A busy exchange that never ends is not waited for any longer.
}

void Exchange::send(const QByteArray& text) {
    if (channel_) channel_->SendText(text);
}

int Exchange::waitFor(int totalMs, const std::function<int()>& check) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(totalMs);
    for (;;) {
        if (int r = check()) return r;
        if (pump) pump();
        if (int r = check()) return r;
        const auto now = Clock::now();
        if (now >= deadline || aborted_) return 0;
        // Wake at once when text arrives, else after a millisecond to pump events again.
        std::unique_lock<std::mutex> lk(mutex_);
        const unsigned seen = deliveries_;
        arrived_.wait_until(lk, std::min(deadline, now + std::chrono::milliseconds(1)),
                            [&] { return deliveries_ != seen; });
    }
}

QByteArray Exchange::QueryParam(const QByteArray& key) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        level0Seen_ = false;
    }
    acquire();
    clearBuffer();
    QByteArray result;
    for (int attempt = 0; attempt < timing::commandAttempts && !aborted_; ++attempt) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            passSeen_ = false;
        }
        send("sc " + key + "?#\r\n");
        const int r = waitFor(timing::answerWaitMs, [&] {
            std::lock_guard<std::mutex> g(mutex_);
            if (passSeen_) {
                result = buffer_;
                return 1;
            }
            return level0Seen_ ? -1 : 0;
        });
        std::lock_guard<std::mutex> g(mutex_);
        if (r == 1) {
            passSeen_ = false;
            break;
        }
        if (r == -1) {
            passSeen_ = false;
            level0Seen_ = false;
            result = kNotAvailable;
            break;
        }
        // No answer: send again; late text still counts for the next attempt.
    }
    clearBuffer();
    lock_ = false;
    return result;
}

int Exchange::SetParam(const QByteArray& key, const QByteArray& value) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        level0Seen_ = false;
    }
    int result = 0;
    acquire();
    // Text left over from an earlier exchange (a late answer) must not count
    // as the answer to this command.
    clearBuffer();
    for (int attempt = 0; attempt < timing::commandAttempts && !aborted_; ++attempt) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            passSeen_ = false;
        }
        send("sc \"" + key + "=" + value + "#\"\r\n");
        result = waitFor(timing::answerWaitMs, [&] {
            std::lock_guard<std::mutex> g(mutex_);
            if (passSeen_) return 1;
            return level0Seen_ ? -1 : 0;
        });
        if (result != 0) {
            std::lock_guard<std::mutex> g(mutex_);
            passSeen_ = false;
            break;
        }
    }
    clearBuffer();
    lock_ = false;
    return result;
}

int Exchange::PasswordCommand(const QByteArray& password, const QByteArray& second) {
    int result = 0;
    const QByteArray command = second == "0" ? "set REM:UPW P," + password + "\n"
                                             : "set REM:UPW C," + password + "," + second + "\n";
    // A prompt left over from an earlier answer would pass for the device's
    // verdict on this command.
    clearBuffer();
    for (int attempt = 0; attempt < timing::loginAttempts && !aborted_; ++attempt) {
        {
            std::lock_guard<std::mutex> g(mutex_);
            level0Seen_ = false;
            level2Seen_ = false;
        }
        send(command);
        result = waitFor(timing::loginPolls * timing::loginPollMs, [&] {
            std::lock_guard<std::mutex> g(mutex_);
            if (level2Seen_) return 1;
            return level0Seen_ ? -1 : 0;
        });
        if (result != 0) {
            std::lock_guard<std::mutex> g(mutex_);
            level2Seen_ = false;
            break;
        }
    }
    clearBuffer();
    lock_ = false;
    return result;
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
    const int pass = int(answer.indexOf(kPass));
    if (eq < 0 || pass < 0) return false;
    key = answer.left(eq);
    const int len = pass - eq - 3;
    if (len > 0) value = answer.mid(eq + 1, len);
    return true;
}
