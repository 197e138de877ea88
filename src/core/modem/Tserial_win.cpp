// The serial port on Windows: the Win32 communications calls. A COM port is
// opened without sharing, so a port another program holds does not open,
// and nothing else tells that it is held.
#include "core/modem/Tserial.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace {

HANDLE h(intptr_t x) { return reinterpret_cast<HANDLE>(x); }

// The kind of a system error code, as a COM port means it. A port that
// another program holds does not open, and says access is denied; an open
// port whose device went away (a USB adapter pulled out) says the same.
Failure::Kind kindOf(DWORD code, bool open) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return Failure::Kind::NotFound;
        case ERROR_ACCESS_DENIED:
            return open ? Failure::Kind::Gone : Failure::Kind::Busy;
        case ERROR_SEM_TIMEOUT:
            return Failure::Kind::TimedOut;
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_GEN_FAILURE:
        case ERROR_OPERATION_ABORTED:
            return Failure::Kind::Gone;
        default:
            return Failure::Kind::Io;
    }
}

// "COM10" as ("COM", 10): names that differ only in their number go by the
// number (COM2 before COM10).
bool portNameLess(const QString& a, const QString& b) {
    const auto split = [](const QString& s) {
        int i = int(s.size());
        while (i > 0 && s[i - 1].isDigit()) --i;
        return std::make_pair(s.left(i).toUpper(), s.mid(i).toULongLong());
    };
    return split(a) < split(b);
}

}   // namespace

void Tserial::SetLockFolders(const QStringList&) {}   // no UUCP locks on Windows

// The system's words for why the latest call failed, e.g. "Access is denied."
Failure Tserial::systemFailure() const {
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    const DWORD n =
        ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = n ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("error %1").arg(code);
    if (text) ::LocalFree(text);
    return {kindOf(code, handle_ != kInvalidHandle), s};
}

// A port another program holds cannot be opened (no sharing), and nothing
// else tells: the held ones are found by OpenPort itself.
QList<bool> Tserial::heldElsewhere(const QList<QByteArray>& paths) { return QList<bool>(paths.size(), false); }

// The ports the serial drivers registered: each names its port (the value's
// data, "COM3") under its device's name ("\Device\Serial0") in
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Nothing is opened, so a Bluetooth
// port that takes seconds to open, or one another program holds, costs
// nothing and is left alone. A port that is there but not registered is not
// listed; it opens all the same when named.
QStringList Tserial::ListPorts() {
    QStringList ports;
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return ports;
    DWORD longestName = 0, longestData = 0;
    if (::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longestName,
                           &longestData, nullptr, nullptr) == ERROR_SUCCESS) {
        std::vector<wchar_t> name(longestName + 1);
        std::vector<wchar_t> data(longestData / sizeof(wchar_t) + 1);
        for (DWORD i = 0;; ++i) {
            DWORD nameSize = DWORD(name.size()), dataBytes = DWORD(data.size() * sizeof(wchar_t)), type = 0;
            const LONG r = ::RegEnumValueW(key, i, name.data(), &nameSize, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &dataBytes);
            if (r == ERROR_NO_MORE_ITEMS) break;
            if (r != ERROR_SUCCESS || type != REG_SZ) continue;   // grown since the sizes were read, or not text
            // The data need not end with its terminating zero.
            const QString port = QString::fromWCharArray(data.data(), int(dataBytes / sizeof(wchar_t)))
                                     .section(QChar(0), 0, 0)
                                     .trimmed();
            if (!port.isEmpty() && !ports.contains(port)) ports << port;
        }
    }
    ::RegCloseKey(key);
    std::sort(ports.begin(), ports.end(), portNameLess);
    return ports;
}

// For reading and writing, no sharing, an existing device only, overlapped
// I/O (the reader's wait can then be ended by Interrupt; reads and writes
// still wait for their end). The line settings it had are kept in saved_ for
// the close; no events, DTR and RTS are dropped and stale input is thrown
// away.
bool Tserial::openDevice(const QByteArray& name, Obstacle* /*why*/) {
    const QByteArray path = name.startsWith("\\\\.\\") ? name : "\\\\.\\" + name;
    HANDLE port = ::CreateFileA(path.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return false;
    DCB before{};
    before.DCBlength = sizeof before;
    if (::GetCommState(port, &before)) saved_ = QByteArray(reinterpret_cast<const char*>(&before), sizeof before);
    ::SetCommMask(port, 0);   // no events
    ::EscapeCommFunction(port, CLRDTR);
    ::EscapeCommFunction(port, CLRRTS);
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    handle_ = reinterpret_cast<intptr_t>(port);
    return true;
}

bool Tserial::applyTimeouts() {
    COMMTIMEOUTS t{};   // all zero: no time limit on reads or writes
    return ::SetCommTimeouts(h(handle_), &t) != 0;
}

// 8 data bits, 1 stop bit, no flow control, binary, the given parity.
bool Tserial::applyLineSettings(int baud, uint8_t parity) {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(h(handle_), &d)) return false;
    d.BaudRate = DWORD(baud);
    d.ByteSize = 8;
    d.StopBits = ONESTOPBIT;
    d.fBinary = TRUE;
    d.fParity = parity == 1 || parity == 2 ? TRUE : FALSE;
    d.Parity = parity == 1 ? ODDPARITY : parity == 2 ? EVENPARITY : NOPARITY;
    d.fOutxCtsFlow = FALSE;
    d.fOutxDsrFlow = FALSE;
    d.fDtrControl = DTR_CONTROL_DISABLE;
    d.fRtsControl = RTS_CONTROL_DISABLE;
    d.fDsrSensitivity = FALSE;
    d.fOutX = FALSE;
    d.fInX = FALSE;
    d.fNull = FALSE;
    d.fAbortOnError = FALSE;
    return ::SetCommState(h(handle_), &d) != 0;
}

void Tserial::closeDevice() {
    if (saved_.size() == int(sizeof(DCB))) {
        DCB d;
        std::memcpy(&d, saved_.constData(), sizeof d);
        ::SetCommState(h(handle_), &d);
    }
    ::CloseHandle(h(handle_));
}

namespace {

// One overlapped read or write, waited for to its end: the bytes it moved,
// or -1 with the system's reason kept for GetLastError.
int transfer(HANDLE port, char* data, DWORD len, bool write) {
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return -1;
    DWORD n = 0;
    BOOL ok = write ? ::WriteFile(port, data, len, nullptr, &ov) : ::ReadFile(port, data, len, nullptr, &ov);
    if (ok || ::GetLastError() == ERROR_IO_PENDING) ok = ::GetOverlappedResult(port, &ov, &n, TRUE);
    const DWORD error = ::GetLastError();
    ::CloseHandle(ov.hEvent);
    ::SetLastError(error);
    return ok ? int(n) : -1;
}

}   // namespace

bool Tserial::writeAll(const char* data, int len) {
    while (len > 0) {
        const int n = transfer(h(handle_), const_cast<char*>(data), DWORD(len), true);
        if (n < 0) return false;
        data += n;
        len -= n;
    }
    return true;
}

// Fewer than count bytes only when the line fails. A byte WaitForInput
// took comes first.
int Tserial::readFull(char* buf, int count) {
    int got = std::min(count, int(held_.size()));
    std::memcpy(buf, held_.constData(), size_t(got));
    held_.remove(0, got);
    while (got < count) {
        const int n = transfer(h(handle_), buf + got, DWORD(count - got), false);
        if (n <= 0) break;
        got += n;
    }
    return got;
}

// Also clears the port's error state; the error flags are not reported. A
// byte WaitForInput took counts.
int Tserial::waiting() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(h(handle_), &errors, &status)) return int(held_.size());
    return int(held_.size()) + int(status.cbInQue);
}

bool Tserial::openWake() {
    HANDLE e = ::CreateEventW(nullptr, FALSE, FALSE, nullptr);   // auto-reset: a wait takes it
    if (!e) return false;
    wake_ = reinterpret_cast<intptr_t>(e);
    return true;
}

void Tserial::closeWake() {
    if (wake_ == kInvalidHandle) return;
    ::CloseHandle(h(wake_));
    wake_ = kInvalidHandle;
}

void Tserial::Interrupt() {
    if (wake_ != kInvalidHandle) ::SetEvent(h(wake_));
}

// An overlapped read of one byte, which ends when a byte arrives (reads
// have no time limit), and the wake event. The byte is held for the next
// read. A read the wake event ended is cancelled and waited for, so that
// nothing is left pending on the OVERLAPPED when it goes; a byte it took
// meanwhile is held all the same. (WaitCommEvent would tell of the byte
// without taking it, but Wine ends it at once on a pseudo-terminal, and
// not every driver of a USB adapter keeps its events.)
Tserial::Wait Tserial::WaitForInput() {
    if (handle_ == kInvalidHandle) return Wait::Failed;
    if (waiting() > 0) return Wait::Input;
    HANDLE port = h(handle_);
    OVERLAPPED ov{};
    ov.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) return Wait::Failed;
    char byte = 0;
    DWORD n = 0;
    Wait result = Wait::Input;
    if (!::ReadFile(port, &byte, 1, nullptr, &ov) && ::GetLastError() != ERROR_IO_PENDING) {
        result = Wait::Failed;
    } else {
        HANDLE both[2] = {ov.hEvent, h(wake_)};
        const DWORD woke = ::WaitForMultipleObjects(2, both, FALSE, INFINITE);
        if (woke != WAIT_OBJECT_0) {
            result = woke == WAIT_OBJECT_0 + 1 ? Wait::Interrupted : Wait::Failed;
            ::CancelIoEx(port, &ov);
        }
        if (!::GetOverlappedResult(port, &ov, &n, TRUE) && ::GetLastError() != ERROR_OPERATION_ABORTED)
            result = Wait::Failed;
    }
    const DWORD error = ::GetLastError();
    ::CloseHandle(ov.hEvent);
    ::SetLastError(error);
    if (n == 1) held_ += byte;
    if (result == Wait::Input && n != 1) result = Wait::Interrupted;   // ended without a byte: wait again
    return result;
}
