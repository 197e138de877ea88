#pragma once
// A small synchronous serial port: fixed line settings (8 data bits, 1 stop
// bit, no flow control, DTR and RTS held off, raw bytes), no thread and no
// buffering of its own. The modem dialler polls it; the modem page lists the
// ports through it without opening any.
//
// On Windows a port name is COM1 ... COM99; on Linux a device path (/dev/ttyUSB0, /dev/ttyS0, a
// pseudo-terminal such as /dev/pts/3). Every operating-system call lives in
// Tserial.cpp, so another platform needs only another copy of that file.
#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>

class Tserial {
public:
    // Result codes of OpenPort; every non-zero code leaves the port closed.
    enum OpenResult {
        OpenOk = 0,
        EventMaskFailed = 1,   // kept for the code table; POSIX ports have no event mask
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

    // The serial ports of this machine, found without opening any of them.
    static QStringList ListPorts();
    // The names less the ports another program holds (a live UUCP lock, an
    // advisory lock, or an open descriptor in another process); nothing is
    // opened to find out.
    static QStringList FreePorts(const QStringList& names);
    // The folders of UUCP lock files (POSIX): a lock found in any of them
    // counts, ours goes into the first that lets us write. By default
    // /var/lock and /run/lock.
    static void SetLockFolders(const QStringList& folders);

    // What failed last and the system's reason, e.g. "cannot open
    // /dev/ttyUSB0: Permission denied"; empty when nothing failed since the
    // latest OpenPort began.
    QString LastError() const { return error_; }
    // The reason alone: the system's own words, e.g. "Permission denied", or
    // for a refusal told below ours, e.g. "in use by process 4711 (lock file
    // /var/lock/LCK..ttyUSB0)".
    QString LastReason() const { return reason_; }

    // Why the latest OpenPort was refused, where the system's reason (EBUSY)
    // does not say it all.
    enum class Refusal {
        None,
        Locked,          // a UUCP lock file names a live process, or the lock name holds no lock file
        LeftExclusive,   // exclusive, though no process holds it: a program that ended left it so
    };
    Refusal LastRefusal() const { return refusal_; }
    QString RefusingLock() const { return refusingLock_; }   // the lock file of a Locked refusal

private:
    using Handle = intptr_t;
    static constexpr Handle InvalidHandle = -1;

    // Keeps what failed ("open", "write to", ...) with the reason errno
    // gives, or with the reason given.
    void fail(const char* what, const QString& reason = QString());

    QString name_;
    QString error_;
    QString reason_;
    Refusal refusal_ = Refusal::None;
    QString refusingLock_;
    Handle handle_ = InvalidHandle;
    QByteArray saved_;      // the line settings the port had before we opened it
    QByteArray lockFile_;   // our UUCP lock file, if one could be made
};
