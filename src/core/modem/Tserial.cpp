#include "core/modem/Tserial.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <optional>

namespace {
// What kept a port from us besides the system's reason.
struct Obstacle {
    Tserial::Refusal refusal = Tserial::Refusal::None;
    long pid = 0;          // the live process a lock file names
    QByteArray lockFile;   // that lock file, or what stands at the lock name instead
};
}   // namespace

#ifdef _WIN32
// ---------------------------------------------------------------------------
// Operating-system section (Win32 communications calls). Nothing outside this
// block calls the system. A function that fails returns with GetLastError
// telling why, as the system calls do.
// ---------------------------------------------------------------------------
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstring>

namespace {
namespace os {

using Handle = intptr_t;

// The system's words for why the latest call failed, e.g. "Access is denied."
QString lastErrorText() {
    const DWORD code = ::GetLastError();
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    QString s = n ? QString::fromWCharArray(text, int(n)).trimmed() : QStringLiteral("error %1").arg(code);
    if (text) ::LocalFree(text);
    return s;
}

HANDLE h(Handle x) { return reinterpret_cast<HANDLE>(x); }

// A port another program holds cannot be opened (no sharing), and nothing
// else tells: the held ones are found by OpenPort itself.
QList<bool> heldElsewhere(const QList<QByteArray>& paths) { return QList<bool>(paths.size(), false); }

void setLockFolders(const QStringList&) {}   // no UUCP locks on Windows

// For reading and writing, no sharing, an existing device only, synchronous
// I/O. The line settings it had are kept in *saved for the close; DTR and
// RTS are dropped and stale input is thrown away.
Handle openDevice(const QByteArray& name, QByteArray* saved, QByteArray* /*lockFile*/, Obstacle* /*why*/) {
    const QByteArray path = name.startsWith("\\\\.\\") ? name : "\\\\.\\" + name;
    HANDLE port = ::CreateFileA(path.constData(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE) return -1;
    DCB before{};
    before.DCBlength = sizeof before;
    if (::GetCommState(port, &before)) *saved = QByteArray(reinterpret_cast<const char*>(&before), sizeof before);
    ::SetCommMask(port, 0);   // no events
    ::EscapeCommFunction(port, CLRDTR);
    ::EscapeCommFunction(port, CLRRTS);
    ::PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT);
    return reinterpret_cast<Handle>(port);
}

// Reads wait until the requested number of bytes has arrived.
bool applyTimeouts(Handle x) {
    COMMTIMEOUTS t{};   // all zero: no time limit on reads or writes
    return ::SetCommTimeouts(h(x), &t) != 0;
}

// 8 data bits, 1 stop bit, no flow control, binary, the given parity.
bool applyLineSettings(Handle x, int baud, uint8_t parity) {
    DCB d{};
    d.DCBlength = sizeof d;
    if (!::GetCommState(h(x), &d)) return false;
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
    return ::SetCommState(h(x), &d) != 0;
}

// Puts back the line settings the port had and closes it.
void closeDevice(Handle x, const QByteArray& saved, const QByteArray& /*lockFile*/) {
    if (saved.size() == int(sizeof(DCB))) {
        DCB d;
        std::memcpy(&d, saved.constData(), sizeof d);
        ::SetCommState(h(x), &d);
    }
    ::CloseHandle(h(x));
}

bool writeAll(Handle x, const char* data, int len) {
    while (len > 0) {
        DWORD n = 0;
        if (!::WriteFile(h(x), data, DWORD(len), &n, nullptr)) return false;
        data += n;
        len -= int(n);
    }
    return true;
}

// Fewer than count bytes only when the line fails.
int readFull(Handle x, char* buf, int count) {
    int got = 0;
    while (got < count) {
        DWORD n = 0;
        if (!::ReadFile(h(x), buf + got, DWORD(count - got), &n, nullptr) || n == 0) break;
        got += int(n);
    }
    return got;
}

// Also clears the port's error state; the error flags are not reported.
int waiting(Handle x) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(h(x), &errors, &status)) return 0;
    return int(status.cbInQue);
}

// COM1 ... COM99, each kept when it opens and takes the time-outs and the
// line settings (9600, no parity); its own settings are put back at once.
// A port another program holds does not open and is not listed.
QStringList listPorts() {
    QStringList ports;
    for (int n = 1; n <= 99; ++n) {
        const QByteArray name = "COM" + QByteArray::number(n);
        QByteArray saved, unused;
        Obstacle none;
        const Handle x = openDevice(name, &saved, &unused, &none);
        if (x == -1) continue;
        if (applyTimeouts(x) && applyLineSettings(x, 9600, 0)) ports << QString::fromLatin1(name);
        closeDevice(x, saved, unused);
    }
    return ports;
}

#else
// ---------------------------------------------------------------------------
// Operating-system section (POSIX termios). Nothing outside this block calls
// the system; a Windows port replaces only these functions. A function that
// fails returns with errno telling why, as the system calls do.
// ---------------------------------------------------------------------------
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstring>

namespace {
namespace os {

using Handle = intptr_t;

// Holds DTR and RTS off. A pseudo-terminal has no modem lines and refuses;
// errno stays as it was.
void holdLinesOff(int fd) {
    const int before = errno;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    errno = before;
}

// The system's words for why the latest call failed, e.g. "Permission denied".
QString lastErrorText() { return QString::fromLocal8Bit(std::strerror(errno)); }

bool speedFor(int baud, speed_t& out) {
    static const struct {
        int baud;
        speed_t speed;
    } kSpeeds[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    return false;
}

// The device's name in a UUCP lock file: its path below /dev, '/' as '_'
// ("ttyUSB0", "pts_3").
QByteArray baseName(const QByteArray& path) {
    QByteArray name = path.startsWith("/dev/") ? path.mid(5) : path.mid(path.lastIndexOf('/') + 1);
    return name.replace('/', '_');
}

// The folders of UUCP lock files, each name ending with '/'.
QList<QByteArray>& lockFolders() {
    static QList<QByteArray> folders{"/var/lock/", "/run/lock/"};
    return folders;
}

void setLockFolders(const QStringList& folders) {
    QList<QByteArray>& list = lockFolders();
    list.clear();
    for (const QString& f : folders) list << QFile::encodeName(f.endsWith('/') ? f : f + '/');
}

// What stands at a UUCP lock name ("LCK..ttyUSB0").
struct LockFile {
    enum State { Absent, Ours, Stale, Live, NotALock } state = Absent;
    long pid = 0;
};

// Reads the lock at name without following a link. Only a regular file with
// a process ID in it ("      4711\n", as UUCP programs write it) is a lock;
// anything else there (a link, a folder, a file naming no process) is no
// lock, and no lock we may remove. The process is taken for ended only when
// the system says there is none (ESRCH).
LockFile readLock(const QByteArray& name) {
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0) return {};
    if (!S_ISREG(st.st_mode)) return {LockFile::NotALock};
    const int fd = ::open(name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return {errno == ENOENT ? LockFile::Absent : LockFile::NotALock};
    char text[64];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    bool ok = false;
    const long pid = n > 0 ? QByteArray(text, int(n)).trimmed().toLong(&ok) : 0;
    if (!ok || pid <= 0) return {LockFile::NotALock};
    if (pid == long(::getpid())) return {LockFile::Ours, pid};
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return {LockFile::Stale, pid};
    return {LockFile::Live, pid};
}

// A UUCP lock of the port in one of the lock folders that keeps it from us:
// a lock file of a live process (the way modem programs on Linux mark a port
// as theirs), or something at the lock name that is no lock. *why, when
// given, tells which.
bool lockedByAnotherProgram(const QByteArray& path, Obstacle* why = nullptr) {
    for (const QByteArray& dir : lockFolders()) {
        const QByteArray name = dir + "LCK.." + baseName(path);
        const LockFile lock = readLock(name);
        if (lock.state != LockFile::Live && lock.state != LockFile::NotALock) continue;
        if (why) *why = {Tserial::Refusal::Locked, lock.pid, name};
        return true;
    }
    return false;
}

// A new file of our own holding text, readable by everyone; a leftover of
// an earlier process with our ID is replaced. Never written through a link.
bool writeNewFile(const QByteArray& name, const QByteArray& text) {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(name.constData(), flags, 0644);
    if (fd < 0 && errno == EEXIST && ::unlink(name.constData()) == 0) fd = ::open(name.constData(), flags, 0644);
    if (fd < 0) return false;
    const bool written = ::fchmod(fd, 0644) == 0 && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (::close(fd) == 0 && written) return true;
    ::unlink(name.constData());
    return false;
}

// Marks the port as ours the UUCP way, where a lock folder lets us: our
// process ID goes into a temporary file of our own, which is then linked to
// the lock name. The lock is thus never seen half written, and nothing that
// stands at the lock name (another's lock, a planted link) is written
// through. A lock of a process that has ended is removed and the link tried
// once more. False (errno EBUSY, *why telling whose) when another's lock is
// there; true otherwise, with the lock made in *lockFile, or none when no
// folder lets us make one.
bool makeLockFile(const QByteArray& path, QByteArray* lockFile, Obstacle* why) {
    const QByteArray pid = QByteArray::number(qint64(::getpid()));
    for (const QByteArray& dir : lockFolders()) {
        const QByteArray name = dir + "LCK.." + baseName(path);
        const QByteArray temp = dir + "LTMP." + pid;
        if (!writeNewFile(temp, pid.rightJustified(10, ' ') + '\n')) continue;
        LockFile lock;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (::link(temp.constData(), name.constData()) == 0) {
                *lockFile = name;
                break;
            }
            if (errno != EEXIST) break;
            lock = readLock(name);
            if (lock.state == LockFile::Live || lock.state == LockFile::NotALock) break;
            if (lock.state != LockFile::Absent && ::unlink(name.constData()) != 0) break;
        }
        ::unlink(temp.constData());
        if (!lockFile->isEmpty()) return true;
        if (lock.state == LockFile::Live || lock.state == LockFile::NotALock) {
            *why = {Tserial::Refusal::Locked, lock.pid, name};
            errno = EBUSY;
            return false;
        }
    }
    return true;
}

// Another process has an advisory lock on the device node (/proc/locks names
// the node by device and inode).
bool advisoryLockElsewhere(const struct stat& node) {
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return false;
    for (const QByteArray& line : locks.readAll().split('\n')) {
        // "1: FLOCK  ADVISORY  WRITE 4711 00:19:5 0 EOF"; waiters carry a "->".
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 6 || line.contains("->")) continue;
        const QList<QByteArray> id = f[5].split(':');
        if (id.size() != 3) continue;
        bool a = false, b = false, c = false;
        const unsigned maj = id[0].toUInt(&a, 16), min = id[1].toUInt(&b, 16);
        const qulonglong ino = id[2].toULongLong(&c);
        if (a && b && c && maj == major(node.st_dev) && min == minor(node.st_dev) && ino == node.st_ino &&
            f[4].toLong() != long(::getpid()))
            return true;
    }
    return false;
}

// The devices processes have open (seen through their descriptors in /proc,
// those of processes we may look into), by device number. Only character
// devices are collected. Our own descriptors count only when ownFd is not -1:
// then all of them but that one.
QSet<dev_t> devicesOpen(int ownFd = -1) {
    QSet<dev_t> open;
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(::getpid());
    const QString skip = QString::number(ownFd);
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if ((pid == self && ownFd < 0) || !pid.front().isDigit()) continue;
        const QByteArray fdDir = "/proc/" + pid.toLatin1() + "/fd/";
        const QDir fds(QString::fromLatin1(fdDir));
        for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            if (pid == self && fd == skip) continue;
            struct stat st {};
            if (::stat((fdDir + fd.toLatin1()).constData(), &st) == 0 && S_ISCHR(st.st_mode)) open.insert(st.st_rdev);
        }
    }
    return open;
}

// The far end of a pseudo-terminal pair, by its numbers.
bool isPtySlave(const struct stat& node) { return major(node.st_rdev) >= 136 && major(node.st_rdev) <= 143; }

// A terminal device node (a serial port, a pseudo-terminal), by its numbers.
bool isTtyNode(const struct stat& node) {
    const unsigned maj = major(node.st_rdev);
    if (isPtySlave(node)) return true;   // pseudo-terminal slaves are not in sysfs
    const QByteArray link =
        "/sys/dev/char/" + QByteArray::number(maj) + ':' + QByteArray::number(minor(node.st_rdev)) + "/subsystem";
    char target[512];
    const ssize_t n = ::readlink(link.constData(), target, sizeof target);
    return n > 0 && QByteArray(target, int(n)).endsWith("/tty");
}

// Another program holds the port: a live UUCP lock, an advisory lock or an
// open descriptor of another process. Nothing is opened to find out. The
// descriptors of other processes are looked at once for all the paths.
QList<bool> heldElsewhere(const QList<QByteArray>& paths) {
    QList<bool> held;
    std::optional<QSet<dev_t>> open;
    for (const QByteArray& path : paths) {
        struct stat node {};
        bool h = lockedByAnotherProgram(path);
        if (!h && ::stat(path.constData(), &node) == 0 && S_ISCHR(node.st_mode) && isTtyNode(node)) {
            if (!open) open = devicesOpen();
            h = advisoryLockElsewhere(node) || open->contains(node.st_rdev);
        }
        held << h;
    }
    return held;
}

// The serial ports of this machine, without opening any: the ttys that have
// a driver, less the legacy serial ports with no hardware behind them.
QStringList listPorts() {
    QStringList ports;
    const QDir sys(QStringLiteral("/sys/class/tty"));
    for (const QString& name : sys.entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::System)) {
        if (!QFile::exists(sys.filePath(name + "/device/driver"))) continue;
        QFile type(sys.filePath(name + "/type"));
        if (type.open(QIODevice::ReadOnly) && type.readAll().trimmed() == "0") continue;
        ports << QStringLiteral("/dev/") + name;
    }
    return ports;
}

// Some process (this one included, but for its descriptor fd) has the
// device open. errno stays as it was.
bool openByAnyone(const QByteArray& path, int fd) {
    const int before = errno;
    struct stat node {};
    const bool open = ::stat(path.constData(), &node) == 0 && devicesOpen(fd).contains(node.st_rdev);
    errno = before;
    return open;
}

// Opens the device for us alone, or not at all. Every check that another
// program holds it (a UUCP lock, an advisory lock, an exclusive tty, an open
// descriptor in another process) comes before anything is changed, so a
// refused open leaves the port, its settings and its unread input as they
// were. Then the port is claimed (advisory lock, UUCP lock file, exclusive
// tty), its line settings kept in *saved for the close, DTR and RTS dropped
// and its stale input dropped. A port another program holds fails with
// EBUSY, *why telling how when it is more than the system says.
//
// A pseudo-terminal outlives the program that opened it (its pair lives as
// long as the far end is open): made exclusive, it would stay so after a
// program that is killed, and the system then lets only the administrator
// open it. So a pseudo-terminal is not made exclusive here; the advisory
// lock, the lock file and the descriptors in /proc keep it ours. One that a
// program left exclusive, which no process holds and no lock names, is told
// as such; the administrator takes it.
Handle openDevice(const QByteArray& path, QByteArray* saved, QByteArray* lockFile, Obstacle* why) {
    if (lockedByAnotherProgram(path, why) || heldElsewhere({path}).first()) {
        errno = EBUSY;
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat node {};
        if (errno == EBUSY && ::stat(path.constData(), &node) == 0 && isPtySlave(node) && !openByAnyone(path, -1))
            why->refusal = Tserial::Refusal::LeftExclusive;
        return -1;
    }
    int exclusive = 0;
    const bool held = (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                      (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive && openByAnyone(path, fd));
    if (held || !makeLockFile(path, lockFile, why)) {
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    struct stat node {};
    if (::fstat(fd, &node) == 0 && isPtySlave(node))
        ::ioctl(fd, TIOCNXCL);   // frees one left exclusive (only the administrator gets here with one)
    else
        ::ioctl(fd, TIOCEXCL);   // not every device is a tty: failure is sorted out later
    termios before{};
    if (::tcgetattr(fd, &before) == 0) *saved = QByteArray(reinterpret_cast<const char*>(&before), sizeof before);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    holdLinesOff(fd);
    // A freshly opened port starts empty, whatever an earlier user left behind.
    ::tcflush(fd, TCIOFLUSH);
    return fd;
}

// Reads wait until the requested number of bytes has arrived.
bool applyTimeouts(Handle h) {
    termios t{};
    if (::tcgetattr(int(h), &t) != 0) return false;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(int(h), TCSANOW, &t) == 0;
}

// 8 data bits, 1 stop bit, no flow control, raw bytes, the given parity. A
// rate the system does not know fails with EINVAL.
bool applyLineSettings(Handle h, int baud, uint8_t parity) {
    speed_t speed;
    if (!speedFor(baud, speed)) {
        errno = EINVAL;
        return false;
    }
    termios t{};
    if (::tcgetattr(int(h), &t) != 0) return false;
    ::cfmakeraw(&t);
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | PARMRK | IGNPAR);
    t.c_cflag = CS8 | CREAD | CLOCAL;   // no CSTOPB, no CRTSCTS, no HUPCL
    if (parity == 1 || parity == 2) {
        t.c_cflag |= PARENB;
        if (parity == 1) t.c_cflag |= PARODD;
        t.c_iflag |= INPCK;
    }
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, speed) != 0 || ::cfsetospeed(&t, speed) != 0) return false;
    const bool ok = ::tcsetattr(int(h), TCSANOW, &t) == 0;
    holdLinesOff(int(h));   // a speed change raises them again
    return ok;
}

// Puts back the line settings the port had, frees it for others and closes it.
void closeDevice(Handle h, const QByteArray& saved, const QByteArray& lockFile) {
    if (saved.size() == int(sizeof(termios)))
        ::tcsetattr(int(h), TCSANOW, reinterpret_cast<const termios*>(saved.constData()));
    ::ioctl(int(h), TIOCNXCL);   // a pseudo-terminal keeps its tty after we close
    ::close(int(h));             // also drops the advisory lock
    if (!lockFile.isEmpty() && readLock(lockFile).state == LockFile::Ours) ::unlink(lockFile.constData());
}

bool writeAll(Handle h, const char* data, int len) {
    while (len > 0) {
        const ssize_t n = ::write(int(h), data, size_t(len));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= int(n);
    }
    return true;
}

// Fewer than count bytes only when the line fails, or hangs up (EIO, as the
// system tells it for a pseudo-terminal whose far end went away).
int readFull(Handle h, char* buf, int count) {
    int got = 0;
    while (got < count) {
        const ssize_t n = ::read(int(h), buf + got, size_t(count - got));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) break;
        got += int(n);
    }
    return got;
}

int waiting(Handle h) {
    int n = 0;
    if (::ioctl(int(h), FIONREAD, &n) != 0) return 0;
    return n;
}

#endif
}   // namespace os
}   // namespace
// ---------------------------------------------------------------------------

Tserial::~Tserial() { ClosePort(); }

void Tserial::fail(const char* what, const QString& reason) {
    reason_ = reason.isEmpty() ? os::lastErrorText() : reason;
    error_ = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), name_, reason_);
}

int Tserial::OpenPort(const QString& name, int baud, uint8_t parity) {
    ClosePort();
    name_ = name;
    error_.clear();
    reason_.clear();
    refusal_ = Refusal::None;
    refusingLock_.clear();
    if (name.isEmpty() || name == QLatin1String("0")) {
        error_ = reason_ = QStringLiteral("no port chosen");
        return name.isEmpty() ? OpenFailed : NameIsZero;
    }
    Obstacle why;
    handle_ = os::openDevice(QFile::encodeName(name), &saved_, &lockFile_, &why);
    if (handle_ == InvalidHandle) {
        refusal_ = why.refusal;
        refusingLock_ = QFile::decodeName(why.lockFile);
        if (refusal_ == Refusal::LeftExclusive)
            fail("open", QStringLiteral("left exclusive by a program that ended; no process holds it, but only "
                                        "the administrator may open it now"));
        else if (refusal_ == Refusal::Locked && why.pid > 0)
            fail("open", QStringLiteral("in use by process %1 (lock file %2)").arg(why.pid).arg(refusingLock_));
        else if (refusal_ == Refusal::Locked)
            fail("open", QStringLiteral("%1 is not a lock file (a regular file naming a process)").arg(refusingLock_));
        else
            fail("open");
        return OpenFailed;
    }

    // Both settings are tried; the later failure decides the code.
    int code = OpenOk;
    if (!os::applyTimeouts(handle_)) {
        code = TimeoutsFailed;
        fail("configure");
    }
    if (!os::applyLineSettings(handle_, baud, parity)) {
        code = LineSettingsFailed;
        fail("configure");
    }
    if (code != OpenOk) ClosePort();
    return code;
}

void Tserial::ClosePort() {
    if (handle_ == InvalidHandle) return;
    os::closeDevice(handle_, saved_, lockFile_);
    handle_ = InvalidHandle;
    saved_.clear();
    lockFile_.clear();
}

QStringList Tserial::ListPorts() { return os::listPorts(); }

void Tserial::SetLockFolders(const QStringList& folders) { os::setLockFolders(folders); }

QStringList Tserial::FreePorts(const QStringList& names) {
    QList<QByteArray> paths;
    for (const QString& n : names) paths << QFile::encodeName(n);
    const QList<bool> held = os::heldElsewhere(paths);
    QStringList free;
    for (int i = 0; i < names.size(); ++i)
        if (!held[i]) free << names[i];
    return free;
}

bool Tserial::WriteText(const QByteArray& text) {
    if (handle_ == InvalidHandle) return false;
    if (os::writeAll(handle_, text.constData(), int(text.size()))) return true;
    fail("write to");
    return false;
}

int Tserial::ReadBytes(char* buf, int count) {
    if (handle_ == InvalidHandle || count <= 0) return 0;
    const int got = os::readFull(handle_, buf, count);
    if (got < count) fail("read from");
    return got;
}

char Tserial::ReadByte() {
    char c = 0;
    ReadBytes(&c, 1);
    return c;
}

int Tserial::BytesWaiting() {
    if (handle_ == InvalidHandle) return 0;
    return os::waiting(handle_);
}

bool Tserial::IsOpen() const { return handle_ != InvalidHandle; }
