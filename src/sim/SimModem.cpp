#include "sim/SimModem.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace {

void makeRaw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return;
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}   // namespace

SimModem::SimModem(SimModule& module) : module_(module) {}

SimModem::~SimModem() { stop(); }

bool SimModem::start() {
    if (thread_.joinable()) return true;
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    int wakePipe[2] = {-1, -1};
    const bool ok = master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0 &&
                    ::ptsname_r(master_, name, sizeof name) == 0 && ::pipe2(wakePipe, O_NONBLOCK | O_CLOEXEC) == 0;
    wakeRead_ = wakePipe[0];
    wakeWrite_ = wakePipe[1];
    const int slave = ok ? ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) : -1;
    if (slave < 0) {
        stop();
        return false;
    }
    // Raw in both directions until the tool sets its own line settings (a tty
    // left cooked would echo the modem's answers back to it).
    makeRaw(master_);
    makeRaw(slave);
    ::close(slave);
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    slavePath_ = QFile::decodeName(name);

    echo_ = knobs().echo;
    commandLine_.clear();
    toModule_.clear();
    pluses_ = 0;
    held_ = 0;
    emptyAt_ = Clock::now();
    lastSince_ = emptyAt_ - std::chrono::hours(1);   // no byte yet: silence since long ago
    stop_ = false;
    module_.setOutput([this](int channel, const QByteArray& text) { moduleOutput(channel, text); });
    thread_ = std::thread(&SimModem::run, this);
    return true;
}

void SimModem::stop() {
    if (thread_.joinable()) {
        stop_ = true;
        wake();
        thread_.join();
        module_.setOutput({});
    }
    // Closing the master hangs the slave up: a tool still holding it sees
    // its writes fail.
    closeFd(master_);
    closeFd(wakeRead_);
    closeFd(wakeWrite_);
    inCall_ = false;
    dataMode_ = false;
    std::lock_guard<std::mutex> g(mutex_);
    outgoing_.clear();
}

QString SimModem::slavePath() const { return slavePath_; }

SimModem::Knobs SimModem::knobs() const {
    std::lock_guard<std::mutex> g(mutex_);
    return knobs_;
}

void SimModem::setKnobs(const Knobs& k) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        if (k.echo != knobs_.echo) echo_ = k.echo;
        knobs_ = k;
    }
    wake();   // a modem no longer deaf reads at once
}

QList<QByteArray> SimModem::atLog() const {
    std::lock_guard<std::mutex> g(mutex_);
    return atLog_;
}

int SimModem::escapes() const {
    std::lock_guard<std::mutex> g(mutex_);
    return escapes_;
}

void SimModem::dropCall() {
    if (!inCall_) return;
    inCall_ = false;
    dataMode_ = false;
    module_.resetSession();
    result("NO CARRIER");
}

bool SimModem::inCall() const { return inCall_; }

void SimModem::sendToTerminal(const QByteArray& bytes) { queue(bytes); }

int SimModem::waitingAtTerminal() const {
    const int slave = ::open(QFile::encodeName(slavePath_).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int n = 0;
    if (slave < 0 || ::ioctl(slave, FIONREAD, &n) != 0) n = 0;
    if (slave >= 0) ::close(slave);
    return n;
}

int SimModem::waitingAtModem() const {
    int n = 0;
    if (master_ < 0 || ::ioctl(master_, FIONREAD, &n) != 0) n = 0;
    return n;
}

void SimModem::wake() {
    if (wakeWrite_ < 0) return;
    const char c = 1;
    if (::write(wakeWrite_, &c, 1) < 0) {
        // the pipe is full: the thread is awake anyway
    }
}

// The escape and the guard time
//
// A modem takes "+++" for an escape only with the guard time of silence
// before and after it; pluses inside the data (a phone number, an SMS text)
// are data. It sees each byte as it comes off the line. Here the bytes come
// through a pseudo-terminal, which keeps no times: this thread learns of them
// when it reads, and one read may hold bytes the tool wrote far apart (this
// thread, or the kernel's hand-over of the terminal's input, was late, as on
// a loaded machine) as well as bytes written at once.
//
// So each read carries the window its bytes arrived in: after the latest
// moment the terminal was seen empty (`since`: the read before, or a poll
// that found nothing; during a call the terminal is polled every half guard
// time) and before the read (`until`). The gap between two bytes can have
// been at most the later byte's `until` minus the earlier byte's `since`.
// - Silence before: the pluses start a read, and the gap from the byte
//   before them may have been the guard time. Pluses in the middle of a read
//   are no escape: a short write arrives in one piece, so the "+++" of a
//   settings value is data however late this thread reads.
// - Silence after: no byte for the guard time after the terminal was seen
//   empty (certain), or, when the next byte is read before that could be
//   seen, the gap may have been the guard time.
// Where a gap cannot be known, the tool has the benefit of the doubt. A tool
// that waits around its escape longer than the guard time (Kestrum waits
// timing::modemEscapeSleepMs, and sends "+++" four times to hang up) is
// misjudged only when its input reached this thread late by about its whole
// wait, several times over. "+++ATH\r\n" written at once is data, as on a
// real modem, unless this thread was kept from running for the guard time
// just then.

void SimModem::run() {
    char buf[4096];
    while (!stop_) {
        guard_ = std::chrono::milliseconds(std::max(1, knobs().guardMs));
        int timeout = flushDue();
        const auto limit = [&timeout](int ms) {
            if (timeout < 0 || ms < timeout) timeout = ms;
        };
        limit(100);
        if (dataMode_ || pluses_ > 0) limit(std::max(1, int(guard_.count() / 2)));
        const int due = guardWaitMs();
        if (due >= 0) limit(due);
        const bool deaf = knobs().deaf;
        pollfd fds[2] = {{master_, short(deaf ? 0 : POLLIN), 0}, {wakeRead_, POLLIN, 0}};
        const Clock::time_point polled = Clock::now();
        const int ready = ::poll(fds, 2, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        guard_ = std::chrono::milliseconds(std::max(1, knobs().guardMs));   // changed meanwhile
        if (fds[1].revents & POLLIN)
            while (::read(wakeRead_, buf, sizeof buf) > 0) {}
        if (fds[0].revents & POLLIN) {
            const int late = knobs().lateReadMs;
            if (late > 0) std::this_thread::sleep_for(std::chrono::milliseconds(late));
            const Clock::time_point reading = Clock::now();
            const ssize_t n = ::read(master_, buf, sizeof buf);
            if (n > 0) handleInput(QByteArray(buf, int(n)), emptyAt_, Clock::now());
            // A read that did not fill the buffer took all there was.
            if (n >= 0 && n < ssize_t(sizeof buf)) silenceUntil(reading);
            continue;
        }
        if (fds[0].revents & (POLLHUP | POLLERR)) {
            // Nobody has the terminal open: reads fail until the tool opens it again.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        // Nothing to read when the poll ended: at its timeout, or, woken for
        // something else, when it began at the latest. A deaf modem cannot tell.
        if (!deaf)
            silenceUntil(ready == 0 ? std::min(Clock::now(), polled + std::chrono::milliseconds(timeout)) : polled);
    }
}

void SimModem::queue(const QByteArray& bytes, int delayMs, bool startsCall) {
    {
        std::lock_guard<std::mutex> g(mutex_);
        Clock::time_point due = Clock::now() + std::chrono::milliseconds(delayMs);
        // Keep the order of everything written.
        if (!outgoing_.empty() && outgoing_.back().due > due) due = outgoing_.back().due;
        if (!startsCall && !outgoing_.empty() && outgoing_.back().due == due && !outgoing_.back().startsCall)
            outgoing_.back().bytes += bytes;
        else
            outgoing_.push_back({due, bytes, startsCall});
    }
    wake();
}

int SimModem::flushDue() {
    bool callStarts = false;
    int next = -1;
    {
        std::lock_guard<std::mutex> g(mutex_);
        const Clock::time_point now = Clock::now();
        while (!outgoing_.empty()) {
            Outgoing& o = outgoing_.front();
            if (o.due > now) {
                next = 1 + int(std::chrono::duration_cast<std::chrono::milliseconds>(o.due - now).count());
                break;
            }
            // The call is up before its CONNECT goes out, so that whoever has
            // read the CONNECT finds the call up.
            if (o.startsCall) {
                inCall_ = true;
                dataMode_ = true;
            }
            const ssize_t n = ::write(master_, o.bytes.constData(), size_t(o.bytes.size()));
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                next = 5;   // the terminal's buffer is full: try again shortly
                break;
            }
            if (n >= 0 && n < o.bytes.size()) {
                o.bytes.remove(0, int(n));
                next = 5;
                break;
            }
            callStarts = o.startsCall;
            outgoing_.pop_front();
            if (callStarts) break;   // data mode begins before anything after it
        }
    }
    // Input is read on this thread too: the tool's first command after the
    // CONNECT meets a fresh session.
    if (callStarts) {
        module_.resetSession();
        next = 0;
    }
    return next;
}

void SimModem::handleInput(const QByteArray& bytes, Clock::time_point since, Clock::time_point until) {
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (pluses_ > 0) {
            // The same escape goes on while its pluses may have come closer
            // together than the guard time.
            if (c == '+' && pluses_ < 3 && since - plusUntil_ < guard_) {
                ++pluses_;
                plusSince_ = since;
                plusUntil_ = until;
                lastSince_ = since;
                if (dataMode_)
                    ++held_;
                else
                    commandChar(c);
                continue;
            }
            // A byte after the pluses: the gap before it may have been the
            // guard time, the pluses being as late as the silence before them allows.
            if (pluses_ == 3 && until - std::max(plusSince_, beforeSince_ + guard_) >= guard_)
                escape();
            else
                dropCandidate();
        }
        if (c == '+' && i == 0 && until - lastSince_ >= guard_) {
            pluses_ = 1;
            held_ = 0;
            beforeSince_ = lastSince_;
            plusSince_ = since;
            plusUntil_ = until;
            lastSince_ = since;
            if (dataMode_)
                ++held_;
            else
                commandChar(c);
            continue;
        }
        lastSince_ = since;
        if (dataMode_)
            toModule_ += c;
        else
            commandChar(c);
    }
    if (!toModule_.isEmpty()) module_.input(SimModule::Commands, std::exchange(toModule_, QByteArray()));
}

void SimModem::silenceUntil(Clock::time_point t) {
    emptyAt_ = std::max(emptyAt_, t);
    if (pluses_ == 0 || emptyAt_ - plusUntil_ < guard_) return;
    // The guard time has passed with nothing after the pluses.
    if (pluses_ == 3) {
        escape();
        return;
    }
    dropCandidate();
    if (!toModule_.isEmpty()) module_.input(SimModule::Commands, std::exchange(toModule_, QByteArray()));
}

int SimModem::guardWaitMs() const {
    if (pluses_ == 0) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(plusUntil_ + guard_ - Clock::now());
    return std::max(0, int(left.count()));
}

void SimModem::escape() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        ++escapes_;
    }
    pluses_ = 0;
    held_ = 0;
    // In command mode the pluses were taken as typed; they change nothing.
    if (!dataMode_) return;
    if (!toModule_.isEmpty()) module_.input(SimModule::Commands, std::exchange(toModule_, QByteArray()));
    dataMode_ = false;
    commandLine_.clear();
    if (!knobs().silent) result("OK");
}

void SimModem::dropCandidate() {
    // Pluses held back during a call were data after all.
    if (dataMode_) toModule_ += QByteArray(held_, '+');
    pluses_ = 0;
    held_ = 0;
}

void SimModem::commandChar(char c) {
    if (echo_ && c != '\n' && !knobs().silent) queue(QByteArray(1, c));
    if (c == '\r' || c == '\n') {
        const QByteArray line = commandLine_;
        commandLine_.clear();
        if (!line.isEmpty()) handleCommand(line);
    } else if (commandLine_.size() < 256) {
        commandLine_ += c;
    }
}

void SimModem::result(const QByteArray& word) {
    queue(knobs().bareLineBeforeOk ? "\r\n" + word + "\r\n" : word + "\r\n");
}

void SimModem::handleCommand(const QByteArray& line) {
    // Whatever precedes "AT" (escape pluses typed in command mode) is noise.
    const int at = line.toUpper().indexOf("AT");
    if (at < 0) return;
    const QByteArray command = line.mid(at).trimmed();
    const QByteArray upper = command.toUpper();
    const Knobs k = knobs();
    {
        std::lock_guard<std::mutex> g(mutex_);
        atLog_.append(command);
    }
    if (k.silent) return;

    if (upper == "AT" || upper == "ATZ" || upper.startsWith("AT&D") || upper.startsWith("AT+IFC")) {
        result("OK");
    } else if (upper == "ATE0" || upper == "ATE1") {
        echo_ = upper == "ATE1";
        result("OK");
    } else if (upper == "AT+CPIN?") {
        result(k.simNotReady ? "+CPIN: SIM PIN" : "+CPIN: READY");
        result(k.simNotReady ? "ERROR" : "OK");
    } else if (upper == "ATH" || upper == "ATH0") {
        inCall_ = false;
        dataMode_ = false;
        {
            // A dial still under way is abandoned.
            std::lock_guard<std::mutex> g(mutex_);
            for (auto it = outgoing_.begin(); it != outgoing_.end();)
                it = it->startsCall ? outgoing_.erase(it) : it + 1;
        }
        module_.resetSession();
        result("OK");
    } else if (upper.startsWith("ATD") && upper.size() > 3) {
        const QByteArray word = k.dialResult;
        const QByteArray text = k.bareLineBeforeOk ? "\r\n" + word + "\r\n" : word + "\r\n";
        // The result may follow other lines (a RING); its last line decides.
        queue(text, k.dialDelayMs, word.mid(word.lastIndexOf('\n') + 1).startsWith("CONNECT"));
    } else if (upper == "ATO" || upper == "ATO0") {
        if (inCall_) {
            result("CONNECT 9600");
            dataMode_ = true;
        } else {
            result("NO CARRIER");
        }
    } else {
        result("ERROR");
    }
}

void SimModem::moduleOutput(int channel, const QByteArray& text) {
    // Only the command channel travels over a data call.
    if (channel != SimModule::Commands || !dataMode_ || text.isEmpty()) return;
    const Knobs k = knobs();
    const int delay = module_.knobs().answerDelayMs;   // a slow module or a slow call
    const int pieces = std::max(1, std::min(k.answerChunks, int(text.size())));
    const int size = (int(text.size()) + pieces - 1) / pieces;
    for (int i = 0; i * size < text.size(); ++i) queue(text.mid(i * size, size), delay + i * k.chunkGapMs);
}
