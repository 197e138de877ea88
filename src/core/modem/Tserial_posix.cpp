// The serial port on POSIX systems: termios, UUCP lock files, advisory
// locks, exclusive ttys, and /proc and /sys to see who holds a port.
#include "core/modem/Tserial.h"

#include <QDir>
#include <QFile>
#include <QSet>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <optional>

namespace {

// Holds DTR and RTS off. A pseudo-terminal has no modem lines and refuses;
// errno stays as it was.
void holdLinesOff(int fd) {
    const int before = errno;
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
    errno = before;
}

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

// Another's lock that keeps a port from us: the process it names (0 when
// it names none) and the lock name.
struct ForeignLock {
    long pid = 0;
    QByteArray name;
};

// A UUCP lock of the port in one of the lock folders that keeps it from us:
// a lock file of a live process (the way modem programs on Linux mark a port
// as theirs), or something at the lock name that is no lock. *found, when
// given, tells which.
bool lockedByAnotherProgram(const QByteArray& path, ForeignLock* found = nullptr) {
    for (const QByteArray& dir : lockFolders()) {
        const QByteArray name = dir + "LCK.." + baseName(path);
        const LockFile lock = readLock(name);
        if (lock.state != LockFile::Live && lock.state != LockFile::NotALock) continue;
        if (found) *found = {lock.pid, name};
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
// once more. False (errno EBUSY, *found telling whose) when another's lock
// is there; true otherwise, with the lock made in *lockFile, or none when no
// folder lets us make one.
bool makeLockFile(const QByteArray& path, QByteArray* lockFile, ForeignLock* found) {
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
            *found = {lock.pid, name};
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

// Some process (this one included, but for its descriptor fd) has the
// device open. errno stays as it was.
bool openByAnyone(const QByteArray& path, int fd) {
    const int before = errno;
    struct stat node {};
    const bool open = ::stat(path.constData(), &node) == 0 && devicesOpen(fd).contains(node.st_rdev);
    errno = before;
    return open;
}

}   // namespace

void Tserial::SetLockFolders(const QStringList& folders) {
    QList<QByteArray>& list = lockFolders();
    list.clear();
    for (const QString& f : folders) list << QFile::encodeName(f.endsWith('/') ? f : f + '/');
}

// The system's words for why the latest call failed, e.g. "Permission denied".
Failure Tserial::systemFailure() const { return Failure::fromErrno(errno); }

// Another program holds the port: a live UUCP lock, an advisory lock or an
// open descriptor of another process. Nothing is opened to find out. The
// descriptors of other processes are looked at once for all the paths.
QList<bool> Tserial::heldElsewhere(const QList<QByteArray>& paths) {
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
QStringList Tserial::ListPorts() {
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
// were. Then the port is claimed (advisory lock, UUCP lock file, exclusive
// tty), its line settings kept in saved_ for the close, DTR and RTS dropped
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
bool Tserial::openDevice(const QByteArray& path, Obstacle* why) {
    ForeignLock lock;
    const auto refuseLocked = [&] {
        *why = {Refusal::Locked, lock.pid, lock.name};
        errno = EBUSY;
        return false;
    };
    if (lockedByAnotherProgram(path, &lock)) return refuseLocked();
    if (heldElsewhere({path}).first()) {
        errno = EBUSY;
        return false;
    }
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        struct stat node {};
        if (errno == EBUSY && ::stat(path.constData(), &node) == 0 && isPtySlave(node) && !openByAnyone(path, -1))
            why->refusal = Refusal::LeftExclusive;
        return false;
    }
    int exclusive = 0;
    const bool held = (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                      (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive && openByAnyone(path, fd));
    if (held) {
        ::close(fd);
        errno = EBUSY;
        return false;
    }
    if (!makeLockFile(path, &lockFile_, &lock)) {
        ::close(fd);
        return refuseLocked();
    }
    struct stat node {};
    if (::fstat(fd, &node) == 0 && isPtySlave(node))
        ::ioctl(fd, TIOCNXCL);   // frees one left exclusive (only the administrator gets here with one)
    else
        ::ioctl(fd, TIOCEXCL);   // not every device is a tty: failure is sorted out later
    termios before{};
    if (::tcgetattr(fd, &before) == 0) saved_ = QByteArray(reinterpret_cast<const char*>(&before), sizeof before);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    holdLinesOff(fd);
    // A freshly opened port starts empty, whatever an earlier user left behind.
    ::tcflush(fd, TCIOFLUSH);
    handle_ = fd;
    return true;
}

bool Tserial::applyTimeouts() {
    termios t{};
    if (::tcgetattr(int(handle_), &t) != 0) return false;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return ::tcsetattr(int(handle_), TCSANOW, &t) == 0;
}

// 8 data bits, 1 stop bit, no flow control, raw bytes, the given parity. A
// rate the system does not know fails with EINVAL.
bool Tserial::applyLineSettings(int baud, uint8_t parity) {
    speed_t speed;
    if (!speedFor(baud, speed)) {
        errno = EINVAL;
        return false;
    }
    const int fd = int(handle_);
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return false;
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
    const bool ok = ::tcsetattr(fd, TCSANOW, &t) == 0;
    holdLinesOff(fd);   // a speed change raises them again
    return ok;
}

void Tserial::closeDevice() {
    const int fd = int(handle_);
    if (saved_.size() == int(sizeof(termios)))
        ::tcsetattr(fd, TCSANOW, reinterpret_cast<const termios*>(saved_.constData()));
    ::ioctl(fd, TIOCNXCL);   // a pseudo-terminal keeps its tty after we close
    ::close(fd);             // also drops the advisory lock
    if (!lockFile_.isEmpty() && readLock(lockFile_).state == LockFile::Ours) ::unlink(lockFile_.constData());
}

bool Tserial::writeAll(const char* data, int len) {
    while (len > 0) {
        const ssize_t n = ::write(int(handle_), data, size_t(len));
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
int Tserial::readFull(char* buf, int count) {
    int got = 0;
    while (got < count) {
        const ssize_t n = ::read(int(handle_), buf + got, size_t(count - got));
        if (n < 0 && errno == EINTR) continue;
        if (n == 0) errno = EIO;
        if (n <= 0) break;
        got += int(n);
    }
    return got;
}

int Tserial::waiting() {
    int n = 0;
    if (::ioctl(int(handle_), FIONREAD, &n) != 0) return 0;
    return n;
}

bool Tserial::openWake() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) return false;
    wake_ = fd;
    return true;
}

void Tserial::closeWake() {
    if (wake_ == kInvalidHandle) return;
    ::close(int(wake_));
    wake_ = kInvalidHandle;
}

void Tserial::Interrupt() {
    if (wake_ == kInvalidHandle) return;
    const uint64_t one = 1;
    if (::write(int(wake_), &one, sizeof one) < 0) {
        // the counter is full: a wake is pending already
    }
}

// Input only when bytes wait: a line that hung up (a pseudo-terminal whose
// far end went away, a USB adapter pulled out) tells POLLHUP or POLLERR,
// and would tell it to every wait after.
Tserial::Wait Tserial::WaitForInput() {
    if (handle_ == kInvalidHandle) return Wait::Failed;
    pollfd fds[2] = {{int(handle_), POLLIN, 0}, {int(wake_), POLLIN, 0}};
    while (::poll(fds, 2, -1) < 0)
        if (errno != EINTR) return Wait::Failed;
    if (fds[1].revents & POLLIN) {
        uint64_t count;
        if (::read(int(wake_), &count, sizeof count) < 0) {
            // taken by nobody else: only this thread waits
        }
        return Wait::Interrupted;
    }
    if ((fds[0].revents & POLLIN) && waiting() > 0) return Wait::Input;
    return Wait::Failed;
}
