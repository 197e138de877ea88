#include "core/config/WholeFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace wholefile {
namespace {

#ifndef _WIN32
QString systemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QString kindOf(mode_t mode) {
    if (S_ISREG(mode)) return {};
    if (S_ISFIFO(mode)) return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode)) return QStringLiteral("a device");
    if (S_ISDIR(mode)) return QStringLiteral("a directory");
    if (S_ISSOCK(mode)) return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

// stat() of path: true when something is there.
bool statOf(const QString& path, struct stat* st) { return ::stat(QFile::encodeName(path).constData(), st) == 0; }
#endif

}   // namespace

QString notRegular(const QString& path) {
#ifdef _WIN32
    const QFileInfo info(path);
    if (!info.exists() || info.isFile()) return {};
    return info.isDir() ? QStringLiteral("a directory") : QStringLiteral("not a regular file");
#else
    struct stat st;
    return statOf(path, &st) ? kindOf(st.st_mode) : QString();
#endif
}

bool isCharacterDevice(const QString& path) {
#ifdef _WIN32
    Q_UNUSED(path);
    return false;
#else
    struct stat st;
    return statOf(path, &st) && S_ISCHR(st.st_mode);
#endif
}

ReadResult read(const QString& path, qint64 maxSize) {
    ReadResult r;
#ifdef _WIN32
    const QFileInfo info(path);
    if (!info.exists()) {
        r.status = Read::Missing;
        return r;
    }
    if (info.isDir()) {
        r.error = QStringLiteral("Is a directory");
        return r;
    }
    r.error = notRegular(path);
    if (!r.error.isEmpty()) {
        r.status = Read::NotRegular;
        return r;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        r.error = file.errorString();
        return r;
    }
    r.size = file.size();
    if (r.size > maxSize) {
        r.status = Read::TooLarge;
        return r;
    }
    r.data = file.read(maxSize + 1);
    if (file.error() != QFileDevice::NoError) {
        r.error = file.errorString();
        r.data.clear();
        return r;
    }
#else
    // Looked at before it is opened: opening a device may have effects of its own.
    struct stat st;
    if (statOf(path, &st) && S_ISDIR(st.st_mode)) {
        r.error = systemError(EISDIR);
        return r;
    }
    r.error = notRegular(path);
    if (!r.error.isEmpty()) {
        r.status = Read::NotRegular;
        return r;
    }
    // Without waiting, and looked at again once open: it may have been
    // swapped for something else in between.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            r.status = Read::Missing;
            r.error.clear();
        } else {
            r.error = systemError(errno);
        }
        return r;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    if (::fstat(fd, &st) != 0) {
        r.error = systemError(errno);
        return r;
    }
    r.error = kindOf(st.st_mode);
    if (!r.error.isEmpty()) {
        r.status = Read::NotRegular;
        return r;
    }
    r.size = st.st_size;
    if (r.size > maxSize) {
        r.status = Read::TooLarge;
        return r;
    }
    // A file that grows while it is read is read no further than the limit.
    r.data.resize(maxSize + 1);
    qint64 done = 0;
    while (done < r.data.size()) {
        const ssize_t n = ::read(fd, r.data.data() + done, size_t(r.data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r.error = systemError(errno);
            r.data.clear();
            return r;
        }
        if (n == 0) break;
        done += n;
    }
    r.data.truncate(done);
#endif
    r.size = r.data.size();
    if (r.size > maxSize) {
        r.status = Read::TooLarge;
        r.data.clear();
        return r;
    }
    r.status = Read::Ok;
    return r;
}

bool replace(const QString& path, const QByteArray& data, QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
    const QString other = notRegular(path);
    if (!other.isEmpty()) return fail(QStringLiteral("not a regular file (%1)").arg(other));

    // QSaveFile writes a temporary file in the same directory and renames it
    // over the target on commit. It refuses an existing read-only file.
    //
    // A write error must be caught here, before commit: QSaveFile renames the
    // temporary file over the target even when writing its buffered data failed
    // on the way (a full disk, a file-size limit), which would leave the target
    // cut short. So the file is written unbuffered, every write is checked, the
    // size on disk is compared, and on any failure the temporary file is
    // dropped and the target left alone.
    QSaveFile file(path);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return fail(file.errorString());
    auto cancel = [&](QString why = {}) {
        if (why.isEmpty()) why = file.errorString();
        file.cancelWriting();   // the temporary file goes when `file` does
        return fail(why);
    };
    // A write that stops short (the disk filled up part way) reports no error;
    // the next one fails and says why.
    for (qint64 done = 0; done < data.size();) {
        const qint64 n = file.write(data.constData() + done, data.size() - done);
        if (n <= 0) return cancel();
        done += n;
    }
    if (!file.flush() || file.error() != QFileDevice::NoError) return cancel();
    if (file.size() != data.size())
        return cancel(QStringLiteral("%1 of %2 bytes were written").arg(file.size()).arg(data.size()));
    if (!file.commit()) return fail(file.errorString());
    return true;
}

bool writeToDevice(const QString& path, const QByteArray& data, QString* error) {
    auto fail = [error](const QString& why) {
        if (error) *error = why;
        return false;
    };
#ifdef _WIN32
    Q_UNUSED(path);
    Q_UNUSED(data);
    return fail(QStringLiteral("not a regular file"));
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(systemError(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(systemError(errno));
    if (!S_ISCHR(st.st_mode)) return fail(QStringLiteral("not a device"));
    for (qint64 done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return fail(systemError(n < 0 ? errno : EIO));
        done += n;
    }
    return true;
#endif
}

}   // namespace wholefile
