// The serial port over real pseudo-terminals: result codes of OpenPort, the
// exclusive open, the UUCP lock file, raw byte transfer both ways and the
// line settings applied.
#include "core/modem/Tserial.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
termios lastWritten{};   // the settings of the last tcsetattr, as the caller asked for them
}

// A pseudo-terminal keeps its own say over a few settings (Linux forces 8 data
// bits and no parity on it), so the settings the port asks for are taken on
// their way to the system.
extern "C" int tcsetattr(int fd, int actions, const struct termios* t) __THROW {
    using Real = int (*)(int, int, const struct termios*);
    static const Real real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "tcsetattr"));
    lastWritten = *t;
    return real(fd, actions, t);
}

namespace {

// A pseudo-terminal whose slave path stands in for a serial port; the test
// plays the far end on the master.
struct Pty {
    int master = -1;
    QString path;

    Pty() {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128] = {};
        if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0 ||
            ::ptsname_r(master, name, sizeof name) != 0)
            return;
        termios t{};
        ::tcgetattr(master, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(master, TCSANOW, &t);
        path = QString::fromLocal8Bit(name);
    }
    ~Pty() { closeMaster(); }
    void closeMaster() {
        if (master >= 0) ::close(master);
        master = -1;
    }
    void write(const QByteArray& b) const {
        QCOMPARE(::write(master, b.constData(), size_t(b.size())), ssize_t(b.size()));
    }
    // Everything the port sent, once n bytes have arrived (or 2 s have passed).
    QByteArray read(int n) const {
        QByteArray got;
        QDeadlineTimer deadline(2000);
        while (got.size() < n && !deadline.hasExpired()) {
            char buf[256];
            fd_set set;
            FD_ZERO(&set);
            FD_SET(master, &set);
            timeval tv{0, 20000};
            if (::select(master + 1, &set, nullptr, nullptr, &tv) > 0) {
                const ssize_t r = ::read(master, buf, sizeof buf);
                if (r > 0) got.append(buf, int(r));
            }
        }
        return got;
    }
    // The line settings of the pair; on Linux the master reports the slave's.
    termios settings() const {
        termios t{};
        ::tcgetattr(master, &t);
        return t;
    }
};

// A lock folder of the test's own; the usual folders come back afterwards.
struct LockFolder {
    QTemporaryDir dir;
    LockFolder() { Tserial::SetLockFolders({dir.path()}); }
    ~LockFolder() { Tserial::SetLockFolders({QStringLiteral("/var/lock"), QStringLiteral("/run/lock")}); }
    QString lockOf(const Pty& pty) const {
        return dir.filePath("LCK.." + QString(pty.path).remove(QStringLiteral("/dev/")).replace('/', '_'));
    }
    QStringList entries() const {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    }
};

QByteArray contents(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

void writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(data), qint64(data.size()));
}

// A lock file's line: the process ID in ten characters.
QByteArray lockLine(qint64 pid) { return QByteArray::number(pid).rightJustified(10, ' ') + '\n'; }

// OpenPort in a child process that runs as the user "nobody" (the test runs
// as root): "code refusal error".
QByteArray openAsNobody(const QString& port) {
    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(out[0]);
        QByteArray result = "setuid failed";
        if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
            Tserial s;
            const int code = s.OpenPort(port, 9600, 0);
            result = QByteArray::number(code) + ' ' + QByteArray::number(int(s.LastRefusal())) + ' ' +
                     s.LastError().toUtf8();
        }
        if (::write(out[1], result.constData(), size_t(result.size())) < 0) {}
        ::_exit(0);
    }
    ::close(out[1]);
    QByteArray result;
    char buf[512];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0) result.append(buf, int(n));
    ::close(out[0]);
    ::waitpid(child, nullptr, 0);
    return result;
}

}   // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void openResultCodes();
    void settingsThatCannotBeAppliedCloseThePort();
    void heldPortCannotBeOpenedTwice();
    void portHeldByAnotherProgramIsLeftAlone();
    void lockNameHoldingALinkIsNotFollowed();
    void staleLockIsTakenOverLiveLockRefuses();
    void portLeftExclusiveByAnEndedProgram();
    void reopeningClosesTheFirstHandle();
    void closedPortDoesNothing();
    void bytesTravelRawBothWays();
    void readWaitsForTheRequestedCount();
    void lineSettings_data();
    void lineSettings();
    void writeToHungUpPortFails();
    void failuresHaveAKindAndTheSystemsWords();
};

void TestSerial::openResultCodes() {
    Tserial s;
    QCOMPARE(s.OpenPort("/dev/no-such-port-kestrum", 9600, 0), 8);
    QVERIFY(!s.IsOpen());
    QCOMPARE(s.LastError(), "cannot open /dev/no-such-port-kestrum: " + QString::fromLocal8Bit(strerror(ENOENT)));
    QCOMPARE(s.OpenPort("", 9600, 0), 8);
    QVERIFY(!s.IsOpen());
    QCOMPARE(s.OpenPort("0", 9600, 0), 16);
    QVERIFY(!s.IsOpen());

    Pty pty;
    QVERIFY(!pty.path.isEmpty());
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    QVERIFY(s.IsOpen());
    QVERIFY(s.LastError().isEmpty());
    // The name "0" closes an open port too.
    QCOMPARE(s.OpenPort("0", 9600, 0), 16);
    QVERIFY(!s.IsOpen());
}

void TestSerial::settingsThatCannotBeAppliedCloseThePort() {
    // Not a terminal: neither time-outs nor line settings apply; the later code wins.
    Tserial s;
    QCOMPARE(s.OpenPort("/dev/null", 9600, 0), 4);
    QVERIFY(!s.IsOpen());

    // A rate the line cannot take: line settings fail and the port is let go.
    Pty pty;
    QCOMPARE(s.OpenPort(pty.path, 12345, 0), 4);
    QVERIFY(!s.IsOpen());
    Tserial other;
    QCOMPARE(other.OpenPort(pty.path, 9600, 0), 0);
}

void TestSerial::heldPortCannotBeOpenedTwice() {
    Pty pty;
    Tserial a, b;
    QCOMPARE(a.OpenPort(pty.path, 9600, 0), 0);
    QCOMPARE(b.OpenPort(pty.path, 9600, 0), 8);
    QVERIFY(!b.IsOpen());
    QVERIFY(b.LastError().endsWith(QString::fromLocal8Bit(strerror(EBUSY))));
    QVERIFY(a.IsOpen());
    a.ClosePort();
    a.ClosePort();   // closing twice is harmless
    QCOMPARE(b.OpenPort(pty.path, 9600, 0), 0);
    {
        Tserial c;
        QCOMPARE(c.OpenPort(pty.path, 9600, 0), 8);
    }
    // Destroying the holder frees the port.
    {
        Tserial held;
        b.ClosePort();
        QCOMPARE(held.OpenPort(pty.path, 9600, 0), 0);
    }
    QCOMPARE(b.OpenPort(pty.path, 9600, 0), 0);
}

// Another program holding the port, by an exclusive tty or by an advisory
// lock: the open fails with 8 and changes nothing on that port.
void TestSerial::portHeldByAnotherProgramIsLeftAlone() {
    Pty pty;
    const QByteArray path = QFile::encodeName(pty.path);
    {
        const int other = ::open(path.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(other >= 0);
        QCOMPARE(::ioctl(other, TIOCEXCL), 0);
        Tserial t;
        QCOMPARE(t.OpenPort(pty.path, 9600, 0), 8);   // also when root, who may open it all the same
        QVERIFY2(!t.LastError().contains("ended"), qPrintable(t.LastError()));   // a holder is there
        ::ioctl(other, TIOCNXCL);
        ::close(other);
    }
    {
        const int other = ::open(path.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(other >= 0);
        QCOMPARE(::flock(other, LOCK_EX | LOCK_NB), 0);
        Tserial t;
        QCOMPARE(t.OpenPort(pty.path, 9600, 0), 8);
        int exclusive = -1;
        QCOMPARE(::ioctl(other, TIOCGEXCL, &exclusive), 0);
        QCOMPARE(exclusive, 0);   // the refused open did not make the holder's tty exclusive
        ::close(other);
    }
    Tserial t;
    QCOMPARE(t.OpenPort(pty.path, 9600, 0), 0);
}

// Another user plants links at the lock name in the shared lock folder: the
// open does not write through them, neither to a file that is there nor to
// one the link would create, and tells why it gives up.
void TestSerial::lockNameHoldingALinkIsNotFollowed() {
    Pty pty;
    LockFolder locks;
    const QString lock = locks.lockOf(pty);
    const QString victim = locks.dir.filePath("victim"), created = locks.dir.filePath("created");
    writeFile(victim, "precious\n");
    for (const QString& target : {victim, created}) {
        QVERIFY(QFile::link(target, lock));
        Tserial s;
        QCOMPARE(s.OpenPort(pty.path, 9600, 0), 8);
        QVERIFY2(s.LastError().contains(lock), qPrintable(s.LastError()));
        QCOMPARE(s.LastRefusal(), Tserial::Refusal::Locked);
        QVERIFY(QFileInfo(lock).isSymLink());
        QVERIFY(QFile::remove(lock));
    }
    QCOMPARE(contents(victim), QByteArray("precious\n"));
    QCOMPARE(locks.entries(), QStringList{"victim"});   // nothing created, no temporary file left
}

// A lock naming a process that has ended is replaced by ours; one naming a
// live process (the test's parent, PID 1) keeps the port from us and is left
// as it was.
void TestSerial::staleLockIsTakenOverLiveLockRefuses() {
    Pty pty;
    LockFolder locks;
    const QString lock = locks.lockOf(pty);
    const pid_t ended = ::fork();
    if (ended == 0) ::_exit(0);
    QCOMPARE(::waitpid(ended, nullptr, 0), ended);
    writeFile(lock, lockLine(ended));
    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    QCOMPARE(contents(lock), lockLine(::getpid()));
    struct stat st {};
    QCOMPARE(::lstat(QFile::encodeName(lock).constData(), &st), 0);
    QVERIFY(S_ISREG(st.st_mode));
    QCOMPARE(int(st.st_mode & 0777), 0644);
    QCOMPARE(locks.entries().size(), 1);   // the temporary file is gone
    s.ClosePort();
    QVERIFY(!QFile::exists(lock));

    for (const pid_t live : {::getppid(), pid_t(1)}) {
        writeFile(lock, lockLine(live));
        QCOMPARE(s.OpenPort(pty.path, 9600, 0), 8);
        QVERIFY(!s.IsOpen());
        QVERIFY2(s.LastError().contains("process " + QString::number(live)) && s.LastError().contains(lock),
                 qPrintable(s.LastError()));
        QCOMPARE(s.LastRefusal(), Tserial::Refusal::Locked);
        QCOMPARE(s.RefusingLock(), lock);
        QCOMPARE(contents(lock), lockLine(live));
        QVERIFY(Tserial::FreePorts({pty.path}).isEmpty());
    }
    QVERIFY(QFile::remove(lock));
    QCOMPARE(Tserial::FreePorts({pty.path}), QStringList{pty.path});
}

// A program that made the pseudo-terminal exclusive ended without freeing it:
// the pair lives on with its far end, and the system refuses everyone but
// the administrator. A normal user is told so; the administrator takes it,
// since no process holds it, and leaves it free.
void TestSerial::portLeftExclusiveByAnEndedProgram() {
    Pty pty;
    LockFolder locks;
    const QByteArray path = QFile::encodeName(pty.path);
    {
        const int ended = ::open(path.constData(), O_RDWR | O_NOCTTY);
        QVERIFY(ended >= 0);
        QCOMPARE(::ioctl(ended, TIOCEXCL), 0);
        ::close(ended);
    }
    const QString leftExclusive = QStringLiteral("left exclusive by a program that ended");
    if (::geteuid() != 0) {
        Tserial s;
        QCOMPARE(s.OpenPort(pty.path, 9600, 0), 8);
        QVERIFY2(s.LastError().contains(leftExclusive), qPrintable(s.LastError()));
        QCOMPARE(s.LastRefusal(), Tserial::Refusal::LeftExclusive);
        return;
    }
    QCOMPARE(::chown(path.constData(), 65534, 65534), 0);
    const QByteArray asUser = openAsNobody(pty.path);
    const QByteArray refused = "8 " + QByteArray::number(int(Tserial::Refusal::LeftExclusive)) + ' ';
    QVERIFY2(asUser.startsWith(refused) && asUser.contains(leftExclusive.toUtf8()), asUser.constData());
    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    pty.write("x");
    QTRY_COMPARE(s.BytesWaiting(), 1);
    s.ClosePort();
    QCOMPARE(openAsNobody(pty.path), QByteArray("0 0 "));
}

void TestSerial::reopeningClosesTheFirstHandle() {
    Pty first, second;
    Tserial scanner, other;
    QCOMPARE(scanner.OpenPort(first.path, 9600, 0), 0);
    QCOMPARE(scanner.OpenPort(second.path, 9600, 0), 0);
    QCOMPARE(other.OpenPort(first.path, 9600, 0), 0);   // free again
    Tserial third;
    QCOMPARE(third.OpenPort(second.path, 9600, 0), 8);   // still held by the scanner
}

void TestSerial::closedPortDoesNothing() {
    Tserial s;
    QVERIFY(!s.IsOpen());
    QCOMPARE(s.BytesWaiting(), 0);
    char buf[4] = {'x', 'x', 'x', 'x'};
    QCOMPARE(s.ReadBytes(buf, 4), 0);
    QCOMPARE(buf[0], 'x');
    QCOMPARE(s.ReadByte(), '\0');
    QVERIFY(!s.WriteText("AT\r\n"));

    // Also after a close.
    Pty pty;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    pty.write("abc");
    QTRY_COMPARE(s.BytesWaiting(), 3);
    s.ClosePort();
    QCOMPARE(s.BytesWaiting(), 0);
    QCOMPARE(s.ReadBytes(buf, 3), 0);
    QVERIFY(!s.WriteText("AT\r\n"));
}

void TestSerial::bytesTravelRawBothWays() {
    Pty pty;
    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);

    // Out: no line-end translation, no stripping, XON/XOFF bytes are data.
    const QByteArray out("AT\nB\r\x00\xff\x11\x13\x03+", 11);
    QVERIFY(s.WriteText(out));
    QCOMPARE(pty.read(out.size()), out);

    // In: the same, and BytesWaiting counts exactly what arrived.
    const QByteArray in("x\r\n\x00\xff\x13\x11\x7fy", 9);
    pty.write(in);
    QTRY_COMPARE(s.BytesWaiting(), in.size());
    char buf[16] = {};
    QCOMPARE(s.ReadBytes(buf, 3), 3);
    QCOMPARE(QByteArray(buf, 3), in.left(3));
    QCOMPARE(s.BytesWaiting(), in.size() - 3);
    QCOMPARE(s.ReadByte(), '\0');
    QCOMPARE(s.ReadByte(), '\xff');
    QCOMPARE(s.ReadBytes(buf, 4), 4);
    QCOMPARE(QByteArray(buf, 4), in.mid(5));
    QCOMPARE(s.BytesWaiting(), 0);

    // A large write arrives whole.
    QByteArray big;
    for (int i = 0; i < 3000; ++i) big += char('A' + i % 26);
    QVERIFY(s.WriteText(big));
    QCOMPARE(pty.read(big.size()), big);
}

void TestSerial::readWaitsForTheRequestedCount() {
    Pty pty;
    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    pty.write("OK");
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const char rest[] = "\r\n!";
        if (::write(pty.master, rest, 3) != 3) qWarning("short write");
    });
    char buf[5] = {};
    const int n = s.ReadBytes(buf, 5);   // returns only once all five are there
    late.join();
    QCOMPARE(n, 5);
    QCOMPARE(QByteArray(buf, 5), QByteArray("OK\r\n!"));
}

void TestSerial::lineSettings_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("speed");
    QTest::addColumn<bool>("parityOn");
    QTest::addColumn<bool>("odd");
    QTest::newRow("9600 none") << 9600 << 0 << int(B9600) << false << false;
    QTest::newRow("9600 odd") << 9600 << 1 << int(B9600) << true << true;
    QTest::newRow("19200 even") << 19200 << 2 << int(B19200) << true << false;
    QTest::newRow("unknown mode 5 is none") << 9600 << 5 << int(B9600) << false << false;
}

void TestSerial::lineSettings() {
    QFETCH(int, baud);
    QFETCH(int, parity);
    QFETCH(int, speed);
    QFETCH(bool, parityOn);
    QFETCH(bool, odd);
    Pty pty;
    // Start from a cooked terminal with flow control, so every setting must be written.
    termios cooked = pty.settings();
    cooked.c_iflag |= IXON | IXOFF | ICRNL;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cooked.c_cflag |= CRTSCTS | CSTOPB | PARENB | PARODD;
    ::tcsetattr(pty.master, TCSANOW, &cooked);

    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, baud, uint8_t(parity)), 0);
    // What the pair took, then what the port asked for beyond that.
    termios t = pty.settings();
    QVERIFY(!(t.c_cflag & (CSTOPB | CRTSCTS)));
    QCOMPARE(bool(t.c_cflag & PARODD), odd);
    QVERIFY(!(t.c_iflag & (IXON | IXOFF)));
    QVERIFY(!(t.c_lflag & (ICANON | ECHO)));
    QCOMPARE(int(cfgetospeed(&t)), speed);
    t = lastWritten;
    QCOMPARE(int(t.c_cflag & CSIZE), int(CS8));
    QVERIFY(!(t.c_cflag & CSTOPB));
    QVERIFY(!(t.c_cflag & CRTSCTS));
    QVERIFY(t.c_cflag & CLOCAL);
    QVERIFY(t.c_cflag & CREAD);
    QCOMPARE(bool(t.c_cflag & PARENB), parityOn);
    QCOMPARE(bool(t.c_cflag & PARODD), odd);
    QCOMPARE(bool(t.c_iflag & INPCK), parityOn);
    QVERIFY(!(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP)));
    QVERIFY(!(t.c_oflag & OPOST));
    QVERIFY(!(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)));
    QCOMPARE(int(t.c_cc[VMIN]), 1);
    QCOMPARE(int(t.c_cc[VTIME]), 0);
    QCOMPARE(int(cfgetospeed(&t)), speed);
    QCOMPARE(int(cfgetispeed(&t)), speed);
    // While open the port is marked as ours the UUCP way, where the lock folder lets us.
    const QString lock = "/run/lock/LCK.." + QString(pty.path).remove("/dev/").replace('/', '_');
    if (QFileInfo(QStringLiteral("/run/lock")).isWritable()) QVERIFY(QFile::exists(lock));
    // Closing puts back the settings the port had before.
    s.ClosePort();
    t = pty.settings();
    QVERIFY(t.c_lflag & ICANON && t.c_lflag & ECHO);
    QVERIFY(t.c_iflag & ICRNL);
    QVERIFY(!QFile::exists(lock));
}

void TestSerial::writeToHungUpPortFails() {
    Pty pty;
    Tserial s;
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 0);
    QVERIFY(s.WriteText("AT\r\n"));
    pty.closeMaster();   // the far end goes away: the line hangs up
    QVERIFY(!s.WriteText("AT\r\n"));
    QCOMPARE(s.BytesWaiting(), 0);
    char c;
    QCOMPARE(s.ReadBytes(&c, 1), 0);   // no wait on a dead line
}

// What failed comes as a kind the code can act on, with the system's own words.
void TestSerial::failuresHaveAKindAndTheSystemsWords() {
    const auto words = [](int error) { return QString::fromLocal8Bit(strerror(error)); };
    Tserial s;
    QCOMPARE(s.OpenPort("/dev/no-such-port-kestrum", 9600, 0), 8);
    QCOMPARE(s.failure(), Failure(Failure::Kind::NotFound, words(ENOENT)));
    QCOMPARE(s.LastReason(), words(ENOENT));
    QCOMPARE(s.OpenPort("/dev/null", 9600, 0), 4);   // not a terminal
    QCOMPARE(s.failure(), Failure(Failure::Kind::Io, words(ENOTTY)));
    Pty pty;
    Tserial holder;
    QCOMPARE(holder.OpenPort(pty.path, 9600, 0), 0);
    QVERIFY(!holder.failure());
    QCOMPARE(s.OpenPort(pty.path, 9600, 0), 8);
    QCOMPARE(s.failure(), Failure(Failure::Kind::Busy, words(EBUSY)));
}

QTEST_GUILESS_MAIN(TestSerial)
#include "test_serial.moc"
