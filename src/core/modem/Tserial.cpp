// The serial port's rules, the same on every system; the system's calls are
// in Tserial_posix.cpp and Tserial_win.cpp.
#include "core/modem/Tserial.h"

#include <QFile>

Tserial::~Tserial() { ClosePort(); }

void Tserial::fail(const char* what, const Failure& why) {
    failure_ = why;
    error_ = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(what), name_, why.text);
}

int Tserial::OpenPort(const QString& name, int baud, uint8_t parity) {
    ClosePort();
    name_ = name;
    error_.clear();
    failure_ = {};
    refusal_ = Refusal::None;
    refusingLock_.clear();
    if (name.isEmpty() || name == QLatin1String("0")) {
        failure_ = {Failure::Kind::NotFound, QStringLiteral("no port chosen")};
        error_ = failure_.text;
        return name.isEmpty() ? OpenFailed : NameIsZero;
    }
    Obstacle why;
    if (!openDevice(QFile::encodeName(name), &why)) {
        const Failure system = systemFailure();
        refusal_ = why.refusal;
        refusingLock_ = QFile::decodeName(why.lockFile);
        if (refusal_ == Refusal::LeftExclusive)
            fail("open", {Failure::Kind::NoAccess,
                          QStringLiteral("left exclusive by a program that ended; no process holds it, but only "
                                         "the administrator may open it now")});
        else if (refusal_ == Refusal::Locked && why.pid > 0)
            fail("open", {Failure::Kind::Busy,
                          QStringLiteral("in use by process %1 (lock file %2)").arg(why.pid).arg(refusingLock_)});
        else if (refusal_ == Refusal::Locked)
            fail("open",
                 {Failure::Kind::Busy,
                  QStringLiteral("%1 is not a lock file (a regular file naming a process)").arg(refusingLock_)});
        else
            fail("open", system);
        return OpenFailed;
    }
    // What wakes the reader comes with the port: an open port can always be woken.
    if (!openWake()) {
        fail("open", systemFailure());
        ClosePort();
        return OpenFailed;
    }

    // Both settings are tried; the later failure decides the code.
    int code = OpenOk;
    if (!applyTimeouts()) {
        code = TimeoutsFailed;
        fail("configure", systemFailure());
    }
    if (!applyLineSettings(baud, parity)) {
        code = LineSettingsFailed;
        fail("configure", systemFailure());
    }
    if (code != OpenOk) ClosePort();
    return code;
}

void Tserial::ClosePort() {
    if (handle_ == kInvalidHandle) return;
    closeWake();
    closeDevice();
    handle_ = kInvalidHandle;
    held_.clear();
    saved_.clear();
    lockFile_.clear();
}

QStringList Tserial::FreePorts(const QStringList& names) {
    QList<QByteArray> paths;
    for (const QString& n : names) paths << QFile::encodeName(n);
    const QList<bool> held = heldElsewhere(paths);
    QStringList free;
    for (int i = 0; i < names.size(); ++i)
        if (!held[i]) free << names[i];
    return free;
}

bool Tserial::WriteText(const QByteArray& text) {
    if (handle_ == kInvalidHandle) return false;
    if (writeAll(text.constData(), int(text.size()))) return true;
    fail("write to", systemFailure());
    return false;
}

int Tserial::ReadBytes(char* buf, int count) {
    if (handle_ == kInvalidHandle || count <= 0) return 0;
    const int got = readFull(buf, count);
    if (got < count) fail("read from", systemFailure());
    return got;
}

char Tserial::ReadByte() {
    char c = 0;
    ReadBytes(&c, 1);
    return c;
}

int Tserial::BytesWaiting() {
    if (handle_ == kInvalidHandle) return 0;
    return waiting();
}

bool Tserial::IsOpen() const { return handle_ != kInvalidHandle; }
