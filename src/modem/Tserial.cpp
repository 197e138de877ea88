#include "modem/Tserial.h"

#include <QFile>

// ---------------------------------------------------------------------------
// Operating-system section (POSIX termios). Nothing outside this block calls
// the system; a Windows port replaces only these functions.
// ---------------------------------------------------------------------------
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {
namespace os {

using Handle = intptr_t;

// Holds DTR and RTS off. A pseudo-terminal has no modem lines and refuses.
void holdLinesOff(int fd) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIC, &lines);
}

bool speedFor(int baud, speed_t& out) {
    static const struct { int baud; speed_t speed; } kSpeeds[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
        {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800},
        {921600, B921600},
    };
    for (const auto& s : kSpeeds)
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    return false;
}

// A UUCP lock file ("LCK..ttyUSB0" holding a process ID) of a live process:
// the way modem programs on Linux mark a port as theirs.
bool lockedByAnotherProgram(const QByteArray& path) {
    const QByteArray base = path.mid(path.lastIndexOf('/') + 1);
    for (const char* dir : {"/var/lock/", "/run/lock/"}) {
        QFile f(QString::fromLocal8Bit(dir + QByteArray("LCK..") + base));
        if (!f.open(QIODevice::ReadOnly)) continue;
        bool ok = false;
        const long pid = f.read(64).trimmed().toLong(&ok);
        if (ok && pid > 0 && pid != long(::getpid()) && (::kill(pid_t(pid), 0) == 0 || errno == EPERM)) return true;
    }
    return false;
}

// Opens the device exclusively. The advisory lock keeps out every other
// Tserial, a UUCP lock file or an exclusive tty marks a port another program
// holds; only then is the tty made exclusive, so that a refused open changes
// nothing on a port someone else uses. Fails when the port is missing,
// inaccessible or held.
Handle openDevice(const QByteArray& path) {
    if (lockedByAnotherProgram(path)) return -1;
    const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    int exclusive = 0;
    const bool held = (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) ||
                      (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive);
    if (held) {
        ::close(fd);
        return -1;
    }
    ::ioctl(fd, TIOCEXCL);   // not every device is a tty: failure is sorted out later
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

// 8 data bits, 1 stop bit, no flow control, raw bytes, the given parity.
bool applyLineSettings(Handle h, int baud, uint8_t parity) {
    speed_t speed;
    if (!speedFor(baud, speed)) return false;
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

void closeDevice(Handle h) {
    ::ioctl(int(h), TIOCNXCL);   // a pseudo-terminal keeps its tty after we close
    ::close(int(h));             // also drops the advisory lock
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

int readFull(Handle h, char* buf, int count) {
    int got = 0;
    while (got < count) {
        const ssize_t n = ::read(int(h), buf + got, size_t(count - got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;   // line failure or hang-up
        got += int(n);
    }
    return got;
}

int waiting(Handle h) {
    int n = 0;
    if (::ioctl(int(h), FIONREAD, &n) != 0) return 0;
    return n;
}

}  // namespace os
}  // namespace
// ---------------------------------------------------------------------------

Tserial::~Tserial() { ClosePort(); }

int Tserial::OpenPort(const QString& name, int baud, uint8_t parity) {
    ClosePort();
    if (name == QLatin1String("0")) return NameIsZero;
    baud_ = baud;
    parity_ = parity;
    if (name.isEmpty()) return OpenFailed;
    handle_ = os::openDevice(QFile::encodeName(name));
    if (handle_ == InvalidHandle) return OpenFailed;

    // Both settings are tried; the later failure decides the code.
    int code = OpenOk;
    if (!os::applyTimeouts(handle_)) code = TimeoutsFailed;
    if (!os::applyLineSettings(handle_, baud, parity)) code = LineSettingsFailed;
    if (code != OpenOk) ClosePort();
    return code;
}

void Tserial::ClosePort() {
    if (handle_ == InvalidHandle) return;
    os::closeDevice(handle_);
    handle_ = InvalidHandle;
}

bool Tserial::WriteText(const QByteArray& text) {
    if (handle_ == InvalidHandle) return false;
    return os::writeAll(handle_, text.constData(), int(text.size()));
}

int Tserial::ReadBytes(char* buf, int count) {
    if (handle_ == InvalidHandle || count <= 0) return 0;
    return os::readFull(handle_, buf, count);
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
