// The serial port over real pseudo-terminals: result codes of OpenPort, the
// exclusive open, raw byte transfer both ways and the line settings applied.
#include "core/modem/Tserial.h"

#include <QFileInfo>
#include <QTest>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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

}   // namespace

class TestSerial : public QObject {
    Q_OBJECT
private slots:
    void openResultCodes();
    void settingsThatCannotBeAppliedCloseThePort();
    void heldPortCannotBeOpenedTwice();
    void portHeldByAnotherProgramIsLeftAlone();
    void reopeningClosesTheFirstHandle();
    void closedPortDoesNothing();
    void bytesTravelRawBothWays();
    void readWaitsForTheRequestedCount();
    void lineSettings_data();
    void lineSettings();
    void writeToHungUpPortFails();
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

QTEST_GUILESS_MAIN(TestSerial)
#include "test_serial.moc"
