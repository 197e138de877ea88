#pragma once
// A small synchronous serial port: fixed line settings (8 data bits, 1 stop
// bit, no flow control, DTR and RTS held off, raw bytes), no thread and no
// buffering of its own. The modem's reader thread sleeps in WaitForInput
// until bytes arrive or it is woken; the modem page lists the ports through
// it without opening any.
//
// A port name is COM1 ... COM99 on Windows, a device path elsewhere
// (/dev/ttyUSB0, /dev/ttyS0, a pseudo-terminal such as /dev/pts/3). What is
// the same everywhere lives in Tserial.cpp; the system's calls live in
// Tserial_posix.cpp (termios) and Tserial_win.cpp (Win32 communications
// calls), one of which is built.
#include "core/text/Failure.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

class Tserial {
public:
    // Result codes of OpenPort; every non-zero code leaves the port closed.
    enum OpenResult {
        OpenOk = 0,
        EventMaskFailed = 1,   // kept for the code table; never returned (an event mask that fails is let be)
        TimeoutsFailed = 2,
        LineSettingsFailed = 4,
        OpenFailed = 8,    // missing or empty name, no access, or held by someone else
        NameIsZero = 16,   // the port name is the text "0"
    };

    Tserial() = default;
    ~Tserial();
    Tserial(const Tserial&) = delete;
    Tserial& operator=(const Tserial&) = delete;

    // Opens the port for reading and writing, exclusively. parity: 1 odd,
    // 2 even, anything else none (and no parity checking). An open port is
    // closed first. A port another program holds is refused before anything
    // of it is changed.
    int OpenPort(const QString& name, int baud, uint8_t parity);
    void ClosePort();   // puts back the port's own settings; safe when closed
    // All bytes of the text in one write (partial writes are continued).
    // False when the port is closed or the write fails.
    bool WriteText(const QByteArray& text);
    // Waits until count bytes have arrived; returns how many were read
    // (fewer only when the line fails or hangs up), 0 when closed. Callers
    // read only what BytesWaiting reported.
    int ReadBytes(char* buf, int count);
    char ReadByte();      // one byte through ReadBytes
    int BytesWaiting();   // received bytes waiting; 0 when closed
    bool IsOpen() const;

    // Sleeps until received bytes wait, Interrupt is called, or the line
    // fails (it hung up, or the device went away). One thread waits at a
    // time, and the port stays open while it waits; other threads may write
    // meanwhile. Failed at once when the port is closed.
    enum class Wait { Input, Interrupted, Failed };
    Wait WaitForInput();
    // Ends the wait under way, or else the next one, at once. Any thread,
    // while the port is open.
    void Interrupt();

    // The serial ports of this machine; none of them is opened to find them
    // (on Windows: the ports the serial drivers registered, COM2 before
    // COM10). A port that is not listed can still be opened by its name.
    static QStringList ListPorts();
    // The names less the ports another program holds (a live UUCP lock, an
    // advisory lock, or an open descriptor in another process); nothing is
    // opened to find out. On Windows only an open tells, so all are kept.
    static QStringList FreePorts(const QStringList& names);
    // The folders of UUCP lock files: a lock found in any of them counts,
    // ours goes into the first that lets us write. By default /var/lock and
    // /run/lock. Windows has no such locks.
    static void SetLockFolders(const QStringList& folders);

    // Why the latest failure happened: its kind and the system's own words
    // (e.g. NotFound, "No such file or directory"; Busy, "Access is
    // denied."). Kind::None when nothing failed since the latest OpenPort
    // began.
    Failure failure() const { return failure_; }
    // What failed and why, e.g. "cannot open /dev/ttyUSB0: Permission
    // denied"; empty when nothing failed since the latest OpenPort began.
    QString LastError() const { return error_; }
    // The reason alone, the failure's text: the system's own words, e.g.
    // "Permission denied", or for a refusal told below ours, e.g. "in use by
    // process 4711 (lock file /var/lock/LCK..ttyUSB0)".
    QString LastReason() const { return failure_.text; }

    // Why the latest OpenPort was refused, where the system's reason (EBUSY)
    // does not say it all. Never other than None on Windows.
    enum class Refusal {
        None,
        Locked,          // a UUCP lock file names a live process, or the lock name holds no lock file
        LeftExclusive,   // exclusive, though no process holds it: a program that ended left it so
    };
    Refusal LastRefusal() const { return refusal_; }
    QString RefusingLock() const { return refusingLock_; }   // the lock file of a Locked refusal

private:
    // What kept a port from us besides the system's reason.
    struct Obstacle {
        Refusal refusal = Refusal::None;
        long pid = 0;          // the live process a lock file names
        QByteArray lockFile;   // that lock file, or what stands at the lock name instead
    };

    // Keeps what failed ("open", "write to", ...) and why.
    void fail(const char* what, const Failure& why);

    // The system's side, written once for each system. A call that fails
    // returns with the system's reason for systemFailure to tell (errno,
    // GetLastError), as the system's own calls do; what a reason means may
    // depend on whether the port is open.
    Failure systemFailure() const;
    // Opens the device into handle_, keeping its line settings in saved_ (and
    // its lock file in lockFile_), DTR and RTS dropped, stale input thrown
    // away. False when it cannot be had; *why tells more where there is more.
    bool openDevice(const QByteArray& name, Obstacle* why);
    bool applyTimeouts();   // reads wait until the requested count has arrived
    bool applyLineSettings(int baud, uint8_t parity);
    void closeDevice();   // puts back saved_, frees the port, closes handle_
    bool writeAll(const char* data, int len);
    int readFull(char* buf, int count);   // fewer than count only when the line fails
    int waiting();
    bool openWake();   // wake_, for Interrupt; false with the system's reason
    void closeWake();
    // For each path: does another program hold it? Nothing is opened to find out.
    static QList<bool> heldElsewhere(const QList<QByteArray>& paths);

    static constexpr intptr_t kInvalidHandle = -1;

    QString name_;
    QString error_;
    Failure failure_;
    Refusal refusal_ = Refusal::None;
    QString refusingLock_;
    // The system's state of the open port.
    intptr_t handle_ = kInvalidHandle;   // a file descriptor, or a Win32 HANDLE
    intptr_t wake_ = kInvalidHandle;     // what Interrupt signals: an eventfd, or a Win32 event
    QByteArray held_;                    // Windows: a byte WaitForInput read, for the next read
    QByteArray saved_;                   // the line settings it had before we opened it (termios, DCB)
    QByteArray lockFile_;                // our UUCP lock file, if one could be made (not on Windows)
};
