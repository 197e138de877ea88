#include "modem/TModem.h"

#include "protocol/Timing.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace {

constexpr char kEscape[] = "+++";
constexpr char kOk[] = "OK";
constexpr char kConnected[] = "CONNECT 9600";
constexpr char kNoCarrier[] = "NO CARRIER";
constexpr char kConnectionError[] = "----Connection error----";
constexpr int kBaud = 9600;
constexpr uint8_t kNoParity = 0;

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void pumpEvents() { QCoreApplication::processEvents(); }

}  // namespace

TModem::TModem(LogFunction logView) : LogView(std::move(logView)) {}

TModem::~TModem() { StopReaderThread(); }

void TModem::Log(const QByteArray& line) {
    if (LogView) LogView(line);
}

bool TModem::Write(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    return Port && Port->WriteText(text);
}

bool TModem::IsReady() {
    std::lock_guard<std::mutex> g(portMutex_);
    return Port != nullptr;
}

void TModem::SendText(const QByteArray& text) {
    std::lock_guard<std::mutex> g(portMutex_);
    if (!Port || !Port->IsOpen()) return;       // a closed port writes nothing
    if (!Port->WriteText(text)) Port.reset();   // closes the port; the reader then idles
}

QByteArray TModem::ReadLine(int ms) {
    char line[kBufferSize];
    std::memset(line, 0, sizeof line);
    int pos = 0;
    int polls = 0;
    const int maxPolls = ms / std::max(1, timing::modemLinePollMs);
    bool done = false;
    QByteArray result;
    while (polls < maxPolls && IsReady() && !Aborted) {
        {
            std::lock_guard<std::mutex> g(portMutex_);
            const int n = Port ? Port->BytesWaiting() : 0;
            if (n > 0) {
                polls = 0;
                for (int i = 0; i < n && !done; ++i) {
                    const char c = Port->ReadByte();
                    line[pos] = c;
                    if (c == '\n') {
                        done = true;
                    } else {
                        ++pos;
                        ++polls;
                        // A full buffer without a line end is handed out as a line
                        // rather than written past its end.
                        if (pos == kBufferSize) done = true;
                    }
                }
            }
        }
        if (done) {
            // The line ends at its first zero byte, if it holds one.
            result = QByteArray(line, int(qstrnlen(line, kBufferSize)));
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

bool TModem::Dial(const QByteArray& phoneNumber) {
    if (!IsReady() || readerAlive_) return false;   // one call per object
    Log("ATD" + phoneNumber);
    Write("ATD" + phoneNumber + "\r\n");
    for (int i = 0; i < timing::modemDialReads && !Aborted; ++i) {
        const QByteArray line = ReadLine(timing::modemDialLineMs);
        if (line.isEmpty()) continue;
        Log(line);
        pumpEvents();
        if (line.contains(kConnected)) {
            readerAlive_ = true;
            reader_ = std::thread(&TModem::ReaderLoop, this);
            return true;
        }
        if (line.contains(kNoCarrier)) {
            Log(kConnectionError);
            return false;
        }
        // A bare line end, RING, BUSY, a slower CONNECT: passed over.
    }
    return false;
}

TModem* TModem::Connect(const QString& portName, const QByteArray& phoneNumber) {
    // One call per object: a second Connect while the first call's reader runs
    // would leave two readers on one port.
    if (reader_.joinable()) return nullptr;
    PortName = portName;
    PhoneNumber = phoneNumber;
    {
        std::lock_guard<std::mutex> g(portMutex_);
        Port = std::make_unique<Tserial>();
        if (Port->OpenPort(PortName, kBaud, kNoParity) != Tserial::OpenOk) {
            Connected = false;
            return nullptr;
        }
    }
    // Leave a data call that may still be up.
    Write(kEscape);
    sleepMs(timing::modemEscapeSleepMs);
    Write(kEscape);
    sleepMs(timing::modemEscapeSleepMs);

    if (!PrepareAndDial()) {
        Connected = false;
        std::lock_guard<std::mutex> g(portMutex_);
        if (Port) Port->ClosePort();   // the Tserial object stays
        return nullptr;
    }
    Connected = true;
    return this;
}

bool TModem::PrepareAndDial() {
    SendCommand("AT\r\n");
    SendCommand("AT\r\n");
    SendCommand("ATH\r\n");
    SendCommand("ATH\r\n");
    if (!SendCommand("AT\r\n")) return false;
    SendCommand("ATE0\r\n");
    SendCommand("ATE0\r\n");
    SendCommand("AT&D0\r\n");
    SendCommand("AT+IFC=0,0\r\n");
    if (!SendCommand("AT+CPIN?\r\n")) return false;
    return Dial(PhoneNumber);
}

void TModem::ReaderLoop() {
    char buf[kBufferSize];
    while (!StopReader) {
        // Take what is waiting in passes of at most one buffer, each delivered
        // outside the port lock so that a subscriber may send.
        for (;;) {
            int n = 0;
            {
                std::lock_guard<std::mutex> g(portMutex_);
                if (!Port) break;   // the port was dropped: nothing to read
                n = std::min(Port->BytesWaiting(), kBufferSize);
                if (n > 0) n = Port->ReadBytes(buf, n);
            }
            if (n <= 0 || StopReader) break;
            Receive(reinterpret_cast<const uint8_t*>(buf), n);
        }
        sleepMs(timing::modemReaderPollMs);
    }
    readerAlive_ = false;
}

void TModem::StopReaderThread() {
    StopReader = true;
    if (reader_.joinable()) reader_.join();
}

void TModem::Close() {
    Connected = false;
    // The reader is gone before the port it reads is closed.
    StopReaderThread();
    if (!IsReady()) return;

    int code;
    {
        std::lock_guard<std::mutex> g(portMutex_);
        Port->ClosePort();
        code = Port->OpenPort(PortName, kBaud, kNoParity);
    }
    for (int i = 0; i < timing::modemClosePumps; ++i) {
        pumpEvents();
        sleepMs(timing::modemLinePollMs);
    }
    if (code != Tserial::OpenOk) return;

    for (int i = 0; i < 4; ++i) {
        Write(kEscape);
        sleepMs(timing::modemEscapeSleepMs);
    }
    SendCommand("ATH\r\n");
    sleepMs(timing::modemEscapeSleepMs);
    SendCommand("ATH\r\n");
    sleepMs(timing::modemEscapeSleepMs);

    std::lock_guard<std::mutex> g(portMutex_);
    if (Port) Port->ClosePort();
}
