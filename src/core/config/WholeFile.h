#pragma once
// Files read and written whole: the settings files and the commissioning
// report. Only regular files are read or replaced. Anything else at the path
// (a FIFO, a device, a directory) is looked at without opening it and
// refused: opening a FIFO waits for a writer for ever, and a device such as
// /dev/zero never ends. So nothing here can block or fill memory.
#include <QByteArray>
#include <QString>

namespace wholefile {

enum class Read { Ok, Missing, NotRegular, TooLarge, Failed };

struct ReadResult {
    Read status = Read::Failed;
    QByteArray data;   // Ok: the whole file
    qint64 size = 0;   // Ok and TooLarge: the file's size
    QString error;     // NotRegular: what is there; Failed: the system's reason
};

// Reads the regular file at path when it holds at most maxSize bytes. A
// directory fails as reading it would ("Is a directory").
ReadResult read(const QString& path, qint64 maxSize);

// Empty when nothing is at path or a regular file is; otherwise what is
// there, for a message ("a FIFO", "a device", "a directory").
QString notRegular(const QString& path);
bool isCharacterDevice(const QString& path);

// Replaces the file at path with data in one step: a temporary file beside
// it, every write checked, its size checked, then renamed over the target.
// A target that exists and is not a regular file is refused. On failure false
// with the reason in *error (the system's words where it gave any); the target
// is left exactly as it was and no temporary file stays behind.
bool replace(const QString& path, const QByteArray& data, QString* error);

// Writes data to the character device at path (such as /dev/stdout) without
// ever waiting for it: a device that cannot take it at once fails. Every
// write is checked (/dev/full: "No space left on device").
bool writeToDevice(const QString& path, const QByteArray& data, QString* error);

}   // namespace wholefile
