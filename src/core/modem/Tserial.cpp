#include "core/modem/Tserial.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <optional>

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

// For reading and writing, no sharing, an existing device only, synchronous
// I/O. The line settings it had are kept in *saved for the close; DTR and
// RTS are dropped and stale input is thrown away.
Handle openDevice(const QByteArray& name, QByteArray* saved, QByteArray* /*lockFile*/) {
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
        const Handle x = openDevice(name, &saved, &unused);
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

const char* const kLockDirs[] = {"/var/lock/", "/run/lock/"};

bool processAlive(long pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

// A UUCP lock file ("LCK..ttyUSB0" holding a process ID) of a live process:
// the way modem programs on Linux mark a port as theirs.
bool lockedByAnotherProgram(const QByteArray& path) {
    for (const char* dir : kLockDirs) {
        QFile f(QString::fromLocal8Bit(dir + QByteArray("LCK..") + baseName(path)));
        if (!f.open(QIODevice::ReadOnly)) continue;
        bool ok = false;
        const long pid = f.read(64).trimmed().toLong(&ok);
        if (ok && pid != long(::getpid()) && processAlive(pid)) return true;
    }
    return false;
}

// Marks the port as ours the UUCP way (a lock file with our process ID), where
// the lock folder lets us; returns the file made, or empty.
QByteArray makeLockFile(const QByteArray& path) {
    const QByteArray line = QByteArray::number(qint64(::getpid())).rightJustified(10, ' ') + '\n';
    for (const char* dir : kLockDirs) {
        const QByteArray file = dir + QByteArray("LCK..") + baseName(path);
        const int fd = ::open(file.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
        ::close(fd);
        if (written) return file;
        ::unlink(file.constData());
    }
    return {};
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

// The devices other processes have open (seen through their descriptors in
// /proc), by device number. Only terminals are collected.
QSet<dev_t> devicesOpenElsewhere() {
    QSet<dev_t> open;
    const QDir proc(QStringLiteral("/proc"));
    const QString self = QString::number(::getpid());
    for (const QString& pid : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (pid == self || !pid.front().isDigit()) continue;
        const QByteArray fdDir = "/proc/" + pid.toLatin1() + "/fd/";
        const QDir fds(QString::fromLatin1(fdDir));
        for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot)) {
            struct stat st {};
            if (::stat((fdDir + fd.toLatin1()).constData(), &st) == 0 && S_ISCHR(st.st_mode)) open.insert(st.st_rdev);
        }
    }
    return open;
}

// A terminal device node (a serial port, a pseudo-terminal), by its numbers.
bool isTtyNode(const struct stat& node) {
    const unsigned maj = major(node.st_rdev);
    if (maj >= 136 && maj <= 143) return true;   // pseudo-terminal slaves are not in sysfs
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
            if (!open) open = devicesOpenElsewhere();
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

// Opens the device for us alone, or not at all. Every check that another
// program holds it (a UUCP lock, an advisory lock, an exclusive tty, an open
// descriptor in another process) comes before anything is changed, so a
// refused open leaves the port, its settings and its unread input as they
// were. Then the port is claimed (advisory lock, exclusive tty, UUCP lock
// file), its line settings kept in *saved for the close, DTR and RTS dropped
// and its stale input dropped. A port another program holds fails with EBUSY.
Handle openDevice(const QByteArray& path, QByteArray* saved, QByteArray* lockFile) {
    if (heldElsewhere({path}).first()) {
        errno = EBUSY;
        return -1;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int exclusive = 0;
    const bool held = (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                      (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive);
    if (held) {
        ::close(fd);
        errno = EBUSY;
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);   // not every device is a tty: failure is sorted out later
    *lockFile = makeLockFile(path);
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
    if (!lockFile.isEmpty()) ::unlink(lockFile.constData());
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

void Tserial::fail(const char* what) {
    reason_ = os::lastErrorText();
    error_ = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), name_, reason_);
}

int Tserial::OpenPort(const QString& name, int baud, uint8_t parity) {
    ClosePort();
    name_ = name;
    error_.clear();
    reason_.clear();
    if (name.isEmpty() || name == QLatin1String("0")) {
        error_ = reason_ = QStringLiteral("no port chosen");
        return name.isEmpty() ? OpenFailed : NameIsZero;
    }
    handle_ = os::openDevice(QFile::encodeName(name), &saved_, &lockFile_);
    if (handle_ == InvalidHandle) {
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
