#include "core/modem/TModem.h"

#include "core/text/Timing.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr char kEscape[] = "+++";
constexpr char kOk[] = "OK";
constexpr char kConnected[] = "CONNECT 9600";
constexpr char kConnect[] = "CONNECT";
constexpr char kNoCarrier[] = "NO CARRIER";

constexpr char kConnectionError[] = "----Connection error----";
constexpr int kBaud = 9600;
constexpr uint8_t kNoParity = 0;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void pumpEvents() { QCoreApplication::processEvents(); }

}   // namespace

TModem::TModem(LogFunction logView) : logView_(std::move(logView)) {}

TModem::~TModem() { StopReaderThread(); }

void TModem::Log(const QByteArray& line) {
    if (logView_) logView_(line);
}

bool TModem::Write(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    if (!port_) return false;
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
    return port_ != nullptr;
}

bool TModem::portOpen() const {
    std::lock_guard<std::mutex> g(portMutex_);
    return port_ && port_->IsOpen();
}

void TModem::SendText(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    if (!port_ || !port_->IsOpen()) return;   // a closed port writes nothing
    if (port_->WriteText(text)) return;
    keepPortError();
    port_.reset();   // closes the port; the reader then idles
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
    int polls = 0;
    const int maxPolls = ms / std::max(1, timing::modemLinePollMs);
    bool done = false;
    QByteArray result;
    while (polls < maxPolls && IsReady() && !aborted_ && !cancelled_) {
        {
            std::lock_guard<std::mutex> g(portMutex_);
            const int n = port_ ? port_->BytesWaiting() : 0;
            if (n > 0) {
                polls = 0;
                for (int i = 0; i < n && !done; ++i) {
                    const char c = port_->ReadByte();
                    done = line.push(c);
                    if (c != '\n') ++polls;
                }
            }
        }
        if (done) {
            result = line.text();
            break;
        }
        sleepMs(timing::modemLinePollMs);
        pumpEvents();
        ++polls;
    }
    return result;
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
    if (onState_) onState_(st);
}

bool TModem::Dial(const QByteArray& phoneNumber) {
    if (!IsReady() || readerAlive_) return false;   // one call per object
    Log("ATD" + phoneNumber);
    SetState(State::Dialling);
    dialled_ = true;
    Write("ATD" + phoneNumber + "\r\n");
    for (int i = 0; i < timing::modemDialReads && !aborted_ && !cancelled_; ++i) {
        const QByteArray line = ReadLine(timing::modemDialLineMs);
        if (line.isEmpty()) continue;
        Log(line);
        pumpEvents();
        const DialLine d = ClassifyDialLine(line);
        if (d.kind == DialLine::PassOver) continue;
        speed_ = d.speed;
        if (d.kind == DialLine::Connected) {
            readerAlive_ = true;
            reader_ = std::thread(&TModem::ReaderLoop, this);
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
    sleepMs(timing::modemEscapeSleepMs);
    Write(kEscape);
    sleepMs(timing::modemEscapeSleepMs);

    if (!PrepareAndDial()) {
        connected_ = false;
        // Once ATD has gone out the modem may be off-hook, or connected at
        // another speed: it is hung up before the port is let go (AT&D0 makes
        // it deaf to DTR, so closing the port would leave the call up).
        if (dialled_) {
            if (cancelled_) SetState(State::Cancelled);
            cancelled_ = false;
            HangUpOnPort();
        }
        std::lock_guard<std::mutex> g(portMutex_);
        if (port_) port_->ClosePort();   // the Tserial object stays
        return nullptr;
    }
    connected_ = true;
    SetState(State::Connected);
    return this;
}

bool TModem::openPort(const QString& portName) {
    portName_ = portName;
    std::lock_guard<std::mutex> g(portMutex_);
    port_ = std::make_unique<Tserial>();
    const int code = port_->OpenPort(portName_, kBaud, kNoParity);
    keepPortError();
    return code == Tserial::OpenOk;
}

bool TModem::PrepareAndDial() {
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
    for (int i = 0; i < 4; ++i) {
        Write(kEscape);
        sleepMs(timing::modemEscapeSleepMs);
    }
    SendCommand("ATH\r\n");
    sleepMs(timing::modemEscapeSleepMs);
    SendCommand("ATH\r\n");
    sleepMs(timing::modemEscapeSleepMs);
}

void TModem::ReaderLoop() {
    char buf[kBufferSize];
    // The end of what came before, so that a "NO CARRIER" cut in two is seen;
    // the call's first byte starts a line.
    QByteArray tail = "\n";
    const int keep = int(sizeof kNoCarrier) + 1;
    while (!stopReader_) {
        // Take what is waiting in passes of at most one buffer, each delivered
        // outside the port lock so that a subscriber may send.
        for (;;) {
            int n = 0;
            {
                std::lock_guard<std::mutex> g(portMutex_);
                if (!port_) break;   // the port was dropped: nothing to read
                n = std::min(port_->BytesWaiting(), kBufferSize);
                if (n > 0) n = port_->ReadBytes(buf, n);
            }
            if (n <= 0 || stopReader_) break;
            Receive(reinterpret_cast<const uint8_t*>(buf), n);
            // The modem's own line, not the module's text: the module's values
            // never stand alone on a line.
            tail += QByteArray(buf, n);
            if (connected_ && CarrierLostIn(tail)) {
                connected_ = false;
                callState_ = State::NoCarrier;
                if (carrierLost_) carrierLost_();
            }
            tail = tail.right(keep);
        }
        sleepMs(timing::modemReaderPollMs);
    }
    readerAlive_ = false;
}

void TModem::StopReaderThread() {
    stopReader_ = true;
    if (reader_.joinable()) reader_.join();
}

void TModem::Close() {
    connected_ = false;
    // The reader is gone before the port it reads is closed.
    StopReaderThread();
    if (callState_ == State::Connected) SetState(State::HungUp);

    int code;
    {
        std::lock_guard<std::mutex> g(portMutex_);
        if (!port_) return;
        port_->ClosePort();
        code = port_->OpenPort(portName_, kBaud, kNoParity);
        if (code != Tserial::OpenOk) keepPortError();
    }
    for (int i = 0; i < timing::modemClosePumps; ++i) {
        pumpEvents();
        sleepMs(timing::modemLinePollMs);
    }
    if (code != Tserial::OpenOk) return;

    HangUpOnPort();

    std::lock_guard<std::mutex> g(portMutex_);
    if (port_) port_->ClosePort();
}
