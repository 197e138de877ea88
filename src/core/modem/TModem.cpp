#include "core/modem/TModem.h"

#include "core/text/Timing.h"
#include "core/text/Waiting.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr char kEscape[] = "+++";
constexpr char kOk[] = "OK";
constexpr char kConnected[] = "CONNECT 9600";
constexpr char kConnect[] = "CONNECT";
constexpr char kNoCarrier[] = "NO CARRIER";

constexpr char kConnectionError[] = "----Connection error----";
constexpr int kBaud = 9600;
constexpr uint8_t kNoParity = 0;

// Close waits this many ms for each of timing::modemClosePumps.
constexpr int kClosePumpMs = 10;

}   // namespace

TModem::TModem(LogFunction logView) : logView_(std::move(logView)) {}

TModem::~TModem() { StopReaderThread(); }

void TModem::Log(const QByteArray& line) {
    if (logView_ && !quiet_) logView_(line);
}

bool TModem::Write(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    if (!port_ || portDropped_) return false;
    if (port_->WriteText(text)) return true;
    keepPortError();
    return false;
}

void TModem::keepPortError() {
    portError_ = port_->LastError();
    portFailure_ = port_->failure();
    portRefusal_ = port_->LastRefusal();
    portRefusingLock_ = port_->RefusingLock();
}

QString TModem::PortError() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return portError_;
}

Failure TModem::portFailure() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return portFailure_;
}

QString TModem::PortReason() const { return portFailure().text; }

Tserial::Refusal TModem::PortRefusal() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return portRefusal_;
}

QString TModem::PortRefusingLock() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return portRefusingLock_;
}

bool TModem::IsReady() {
    std::lock_guard<std::mutex> g(portMutex_);
    return port_ && !portDropped_;
}

bool TModem::portOpen() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return port_ && !portDropped_ && port_->IsOpen();
}

void TModem::SendText(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    if (!port_ || portDropped_ || !port_->IsOpen()) return;   // a closed port writes nothing
    if (port_->WriteText(text)) return;
    keepPortError();
    // Dropped for good. The reader, which may be waiting on it, closes it
    // and then idles; this may be the reader itself, delivering.
    portDropped_ = true;
    port_->Interrupt();
    readerIdle_.notify_all();
    wake();   // a line wait ends at once
}

bool ModemLine::push(char c) {
    buf_[pos_] = c;
    if (c == '\n') return true;
    // A full buffer without a line end is handed out as a line rather than
    // written past its end.
    return ++pos_ == kMax;
}

QByteArray ModemLine::text() const { return QByteArray(buf_, int(qstrnlen(buf_, kMax))); }

bool TModem::CarrierLostIn(const QByteArray& text) {
    const int n = int(sizeof kNoCarrier) - 1;
    for (int at = int(text.indexOf(kNoCarrier)); at >= 0; at = int(text.indexOf(kNoCarrier, at + 1))) {
        const char before = at > 0 ? text[at - 1] : 0;   // what came before is unknown
        const char after = at + n < text.size() ? text[at + n] : 0;
        if ((before == '\n' || before == '\r' || before == '>') && (after == '\r' || after == '\n')) return true;
    }
    return false;
}

TModem::DialLine TModem::ClassifyDialLine(const QByteArray& line) {
    DialLine d;
    if (line.contains(kConnected)) {
        d.kind = DialLine::Connected;
        d.state = State::Connected;
        d.speed = "9600";
        return d;
    }
    if (line.contains(kConnect)) {
        // Connected, but not at the speed the module talks at.
        d.kind = DialLine::Failed;
        d.state = State::WrongSpeed;
        d.speed = line.mid(line.indexOf(kConnect) + int(sizeof kConnect)).trimmed();
        if (d.speed.contains('/')) d.speed.truncate(d.speed.indexOf('/'));
        return d;
    }
    static const std::pair<const char*, State> kFailures[] = {
        {kNoCarrier, State::NoCarrier},      {"BUSY", State::Busy},
        {"NO ANSWER", State::NoAnswer},      {"NO DIALTONE", State::NoDialTone},
        {"NO DIAL TONE", State::NoDialTone}, {"ERROR", State::NoCarrier},
    };
    for (const auto& [word, state] : kFailures)
        if (line.contains(word)) {
            d.kind = DialLine::Failed;
            d.state = state;
            return d;
        }
    return d;
}

QByteArray TModem::ReadLine(int ms) {
    ModemLine line;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        if (!IsReady() || aborted_ || cancelled_ || leaving_) return {};
        unsigned seen;
        {
            // Bytes after the line end wait for the next read.
            std::lock_guard<std::mutex> g(inputMutex_);
            int used = 0;
            bool done = false;
            while (used < input_.size() && !done) done = line.push(input_[used++]);
            if (used > 0) {
                input_.remove(0, used);
                deadline = Clock::now() + std::chrono::milliseconds(ms);
            }
            if (done) return line.text();
            seen = wakes_;
        }
        if (Clock::now() >= deadline) return {};
        waitForWake(seen, deadline);
    }
}

void TModem::wake() {
    {
        std::lock_guard<std::mutex> g(inputMutex_);
        ++wakes_;
        // The waiting thread's dispatcher is woken (thread-safe, nothing handed
        // over); the wait looks at wakes_ as its loop is about to sleep again.
        for (QAbstractEventDispatcher* d : waiters_) d->wakeUp();
    }
    woken_.notify_all();
}

void TModem::waitForWake(unsigned seen, Clock::time_point deadline) {
    const auto woken = [&] { return wakes_ != seen; };
    if (waiting::onApplicationThread() && waiting::sleepInEventLoop(inputMutex_, waiters_, woken, deadline)) return;
    std::unique_lock<std::mutex> lk(inputMutex_);
    woken_.wait_until(lk, deadline, woken);
}

void TModem::pause(int ms) {
    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(ms);
    while (waiting::onApplicationThread() && Clock::now() < until) {
        QEventLoop loop;
        QTimer::singleShot(waiting::msUntil(until), Qt::PreciseTimer, &loop, &QEventLoop::quit);
        if (loop.exec() < 0) break;   // the application is quitting: the rest without its events
    }
    std::unique_lock<std::mutex> lk(inputMutex_);
    woken_.wait_until(lk, until, [this] { return leaving_.load(); });
}

void TModem::Cancel() {
    cancelled_ = true;
    wake();
}

void TModem::abort() {
    aborted_ = true;
    wake();
}

void TModem::leaveHangUp() {
    leaving_ = true;
    wake();
}

bool TModem::SendCommand(const QByteArray& command) {
    if (!IsReady()) return false;
    Log(command);
    Write(command);
    for (int i = 0; i < timing::modemCommandReads; ++i) {
        const QByteArray line = ReadLine(timing::modemCommandLineMs);
        if (line.isEmpty()) continue;
        Log(line);
        if (line.contains(kOk)) return true;
    }
    return false;
}

void TModem::SetState(State st) {
    callState_ = st;
    if (onState_ && !quiet_) onState_(st);
}

bool TModem::Dial(const QByteArray& phoneNumber) {
    {
        std::lock_guard<std::mutex> g(inputMutex_);
        if (callMode_) return false;   // one call per object
    }
    if (!IsReady()) return false;
    Log("ATD" + phoneNumber);
    SetState(State::Dialling);
    dialled_ = true;
    Write("ATD" + phoneNumber + "\r\n");
    for (int i = 0; i < timing::modemDialReads && !aborted_ && !cancelled_; ++i) {
        const QByteArray line = ReadLine(timing::modemDialLineMs);
        if (line.isEmpty()) continue;
        Log(line);
        if (waiting::onApplicationThread()) QCoreApplication::processEvents();   // the log shows it
        const DialLine d = ClassifyDialLine(line);
        if (d.kind == DialLine::PassOver) continue;
        speed_ = d.speed;
        if (d.kind == DialLine::Connected) {
            // The reader hands on from here, beginning with what came after
            // the CONNECT.
            {
                std::lock_guard<std::mutex> g(inputMutex_);
                callMode_ = true;
            }
            std::lock_guard<std::mutex> g(portMutex_);
            if (port_) port_->Interrupt();
            return true;
        }
        // Any other final result ends the dial at once; a CONNECT at another
        // speed has the call up and billed, so Connect hangs up.
        if (line.contains(kNoCarrier)) Log(kConnectionError);
        SetState(d.state);
        return false;
    }
    SetState(cancelled_ ? State::Cancelled : State::NoAnswer);
    return false;
}

TModem* TModem::Connect(const QString& portName, const QByteArray& phoneNumber) {
    // One call per object: a second Connect while the first call's reader runs
    // would leave two readers on one port.
    if (reader_.joinable()) return nullptr;
    phoneNumber_ = phoneNumber;
    // Told outside the port lock: the handler may ask for PortError.
    if (!openPort(portName)) {
        connected_ = false;
        SetState(State::PortFailed);
        return nullptr;
    }
    // Leave a data call that may still be in progress.
    Write(kEscape);
    pause(timing::modemEscapeSleepMs);
    Write(kEscape);
    pause(timing::modemEscapeSleepMs);

    if (!PrepareAndDial()) {
        connected_ = false;
        // Once ATD has gone out the modem may be off-hook, or connected at
        // another speed: it is hung up before the port is let go (AT&D0 makes
        // it deaf to DTR, so closing the port would leave the call up). At
        // the program's end that is HangUpAtExit's, off this thread.
        if (dialled_) {
            if (cancelled_) SetState(State::Cancelled);
            cancelled_ = false;
            if (aborted_) {
                dialLeft_ = true;
                return nullptr;
            }
            HangUpOnPort();
        }
        closePort();
        return nullptr;
    }
    connected_ = true;
    SetState(State::Connected);
    return this;
}

bool TModem::openPort(const QString& portName) {
    StopReaderThread();
    portName_ = portName;
    {
        std::lock_guard<std::mutex> g(inputMutex_);
        input_.clear();
    }
    {
        std::lock_guard<std::mutex> g(portMutex_);
        port_ = std::make_unique<Tserial>();
        portDropped_ = false;
        const int code = port_->OpenPort(portName_, kBaud, kNoParity);
        keepPortError();
        if (code != Tserial::OpenOk) return false;
    }
    startReader();
    return true;
}

bool TModem::PrepareAndDial() {
    if (aborted_) return false;
    SendCommand("AT\r\n");
    SendCommand("AT\r\n");
    SendCommand("ATH\r\n");
    SendCommand("ATH\r\n");
    if (!SendCommand("AT\r\n")) {
        if (!cancelled_ && !aborted_) SetState(State::NoModem);
        return false;
    }
    SendCommand("ATE0\r\n");
    SendCommand("ATE0\r\n");
    SendCommand("AT&D0\r\n");
    SendCommand("AT+IFC=0,0\r\n");
    if (!SendCommand("AT+CPIN?\r\n")) {
        if (!cancelled_ && !aborted_) SetState(State::NoSim);
        return false;
    }
    return Dial(phoneNumber_);
}

void TModem::HangUpOnPort() {
    for (int i = 0; i < 4 && !leaving_; ++i) {
        Write(kEscape);
        pause(timing::modemEscapeSleepMs);
    }
    for (int i = 0; i < 2 && !leaving_; ++i) {
        SendCommand("ATH\r\n");
        pause(timing::modemEscapeSleepMs);
    }
}

void TModem::startReader() {
    readerAlive_ = true;
    reader_ = std::thread(&TModem::ReaderLoop, this);
}

void TModem::deliver(const char* data, int n, QByteArray& tail) {
    Receive(reinterpret_cast<const uint8_t*>(data), n);
    // The modem's own line, not the module's text: the module's values
    // never stand alone on a line.
    tail += QByteArray(data, n);
    if (connected_ && CarrierLostIn(tail)) {
        connected_ = false;
        callState_ = State::NoCarrier;
        if (carrierLost_) carrierLost_();
    }
    tail = tail.right(int(sizeof kNoCarrier) + 1);
}

bool TModem::keepForDialogue(const char* data, int n, QByteArray* call) {
    std::lock_guard<std::mutex> g(inputMutex_);
    if (!callMode_) {
        input_.append(data, n);
        return true;
    }
    *call = std::exchange(input_, QByteArray());
    call->append(data, n);
    return false;
}

void TModem::ReaderLoop() {
    char buf[kBufferSize];
    // The end of what came before, so that a "NO CARRIER" cut in two is seen;
    // the call's first byte starts a line.
    QByteArray tail = "\n";
    bool lineFailed = false;
    const auto deliverAll = [&](const QByteArray& bytes) {
        for (int at = 0; at < bytes.size() && !stopReader_; at += kBufferSize)
            deliver(bytes.constData() + at, std::min(kBufferSize, int(bytes.size()) - at), tail);
    };
    while (!stopReader_) {
        // What the dialogue read after the CONNECT belongs to the call.
        QByteArray early;
        {
            std::lock_guard<std::mutex> g(inputMutex_);
            if (callMode_) early = std::exchange(input_, QByteArray());
        }
        deliverAll(early);
        Tserial* port;
        {
            std::unique_lock<std::mutex> g(portMutex_);
            if (portDropped_ && port_) port_.reset();   // closed here, where nobody waits on it
            if (!port_ || lineFailed) {
                readerIdle_.wait(g, [&] { return stopReader_ || (portDropped_ && port_); });
                continue;
            }
            port = port_.get();   // stays: only this thread, or one that stopped it, closes it
        }
        // Asleep until bytes arrive or the reader is woken; writes go on meanwhile.
        const Tserial::Wait w = port->WaitForInput();
        if (w == Tserial::Wait::Failed) lineFailed = true;   // a line that hung up: nothing more comes
        if (w != Tserial::Wait::Input) continue;
        // Take what is waiting in passes of at most one buffer, each delivered
        // outside the port lock so that a subscriber may send.
        for (;;) {
            int n = 0;
            {
                std::lock_guard<std::mutex> g(portMutex_);
                if (!port_ || portDropped_) break;
                n = std::min(port_->BytesWaiting(), kBufferSize);
                if (n > 0) n = port_->ReadBytes(buf, n);
            }
            if (n <= 0 || stopReader_) break;
            QByteArray call;
            if (keepForDialogue(buf, n, &call))
                wake();
            else if (call.size() == n)
                deliver(buf, n, tail);
            else
                deliverAll(call);
        }
    }
    readerAlive_ = false;
}

void TModem::StopReaderThread() {
    if (!reader_.joinable()) return;
    stopReader_ = true;
    {
        std::lock_guard<std::mutex> g(portMutex_);
        if (port_) port_->Interrupt();
    }
    readerIdle_.notify_all();
    reader_.join();
    stopReader_ = false;
    std::lock_guard<std::mutex> g(portMutex_);
    if (portDropped_) port_.reset();
}

void TModem::closePort() {
    StopReaderThread();
    {
        std::lock_guard<std::mutex> g(inputMutex_);
        callMode_ = false;
        input_.clear();
    }
    std::lock_guard<std::mutex> g(portMutex_);
    if (port_) port_->ClosePort();   // the Tserial object stays
}

void TModem::Close() {
    connected_ = false;
    // The reader is gone before the port it reads is closed.
    closePort();
    if (callState_ == State::Connected) SetState(State::HungUp);

    int code;
    {
        std::lock_guard<std::mutex> g(portMutex_);
        if (!port_) return;
        code = port_->OpenPort(portName_, kBaud, kNoParity);
        if (code != Tserial::OpenOk) keepPortError();
    }
    if (code == Tserial::OpenOk) startReader();
    pause(timing::modemClosePumps * kClosePumpMs);
    if (code != Tserial::OpenOk) return;

    HangUpOnPort();
    closePort();
}

void TModem::HangUpAtExit() {
    quiet_ = true;
    // Its own waits for the modem's answers keep their budgets; a new abort
    // ends them.
    aborted_ = false;
    if (connected_) {
        Close();
        return;
    }
    if (dialLeft_) HangUpOnPort();
    dialLeft_ = false;
    closePort();
}
