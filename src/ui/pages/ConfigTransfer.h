#pragma once
// Read, Write, Open and Save: the whole configuration in one go, walking the
// settings binding list from its first entry to its last.
#include "core/config/IniFile.h"
#include "core/protocol/Exchange.h"
#include "ui/lang/Messages.h"
#include "ui/widgets/Bindings.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>
#include <stdexcept>

// Open found no setting in the file (empty, no [Settings] section, or none of
// the keys): nothing was changed.
class NotSettingsFileError : public std::runtime_error {
public:
    explicit NotSettingsFileError(const QString& path);
    QString path;
};

// A value that cannot go to the module (a control character, '#"', or a
// character outside its code page). setting names it: the setting key for
// Write, the entry of the file for Open.
class UnsendableValueError : public std::runtime_error {
public:
    UnsendableValueError(const QByteArray& setting, const QString& problem);
    QByteArray setting;
    QString problem;   // what stands in the way, in English
};

// A settings file larger than Open reads and Save writes (IniFile::kMaxFileSize):
// size is what the file has, or would have had after Save (saving).
class FileTooLargeError : public std::runtime_error {
public:
    FileTooLargeError(const QString& path, qint64 size, bool saving);
    QString path;
    qint64 size;
    bool saving;
};

// Something other than a regular file at the path (a FIFO, a device): it is
// neither read nor written.
class NotRegularFileError : public std::runtime_error {
public:
    explicit NotRegularFileError(const QString& path);
    QString path;
};

// How the text of a settings file is encoded. Files the program writes are
// Windows-1250; a file that starts with a UTF-8 byte-order mark is UTF-8.
enum class FileEncoding { Windows1250, Utf8 };

// A file without a byte-order mark whose 8-bit text reads as UTF-8: which
// encoding it is cannot be told. settings names the entries concerned.
class EncodingUnclearError : public std::runtime_error {
public:
    EncodingUnclearError(const QString& path, const QList<QByteArray>& settings);
    QString path;
    QList<QByteArray> settings;
};

// The settings a message names: the first few, and how many there are.
QString settingList(const QList<QByteArray>& settings);

// A setting whose value differs between two sides (sent and read back, the
// module and a file, two files).
struct SettingDifference {
    QByteArray key;
    QByteArray left, right;
};

// The configuration as one whole: Read, Write, Verify, Open and Save walk the
// settings binding list from its first entry to its last. No dialog, no
// message box, no button: the window's buttons (TransferButtons) and the
// command-line tool both use these.
class ConfigTransfer {
public:
    // What the operations work on.
    struct Needs {
        ControlDescList& bindings;
        Exchange& exchange;
        std::function<void()> beginLoad{};   // around applying loaded values
        std::function<void()> endLoad{};
        std::function<QString(lang::Msg)> message{};   // in the user's language; unset: English
    };

    struct ReadResult {
        int answered = 0;               // answers kept by the first pass
        QByteArray refusedKey;          // the key the device refused, if any
        QList<QByteArray> silentKeys;   // keys that got no answer
        bool linkLost = false;          // the link went down after `answered` answers
        bool cancelled = false;         // Cancel stopped it after `answered` answers
        bool ok() const { return refusedKey.isEmpty() && silentKeys.isEmpty() && !linkLost && !cancelled; }
    };
    struct WriteResult {
        int written = 0;
        QByteArray failedKey;                  // the first key not confirmed
        Outcome failure = Outcome::Accepted;   // how it ended
        bool cancelled = false;                // Cancel stopped it after `written` settings
        bool ok() const { return failedKey.isEmpty() && !cancelled; }
    };

    using Difference = SettingDifference;
    struct VerifyResult {
        ReadResult read;                 // how the reading back went
        QList<Difference> differences;   // value sent, value read
        bool ok() const { return read.ok() && differences.isEmpty(); }
    };

    explicit ConfigTransfer(Needs needs);

    // The operations. Read throws text::ConvertError for a text that a combo
    // box, track bar or radio group cannot take. Write throws
    // UnsendableValueError, before sending anything, for a value that cannot
    // be sent. Open checks the whole file before it changes anything: it
    // throws NotSettingsFileError, UnsendableValueError, text::ConvertError,
    // FileTooLargeError, NotRegularFileError, or EncodingUnclearError. A file
    // with a byte-order mark is UTF-8; encoding is that of a file without one
    // (none given: Windows-1250, unless its text reads as UTF-8, which throws
    // EncodingUnclearError). Save throws FileTooLargeError,
    // NotRegularFileError or std::runtime_error("Unable to write to <name>:
    // <reason>"). progress is told the number of settings done after each.
    ReadResult Read(const std::function<void(int done)>& progress = {});
    WriteResult Write(const std::function<void(int done)>& progress = {});
    void Open(const QString& path, std::optional<FileEncoding> encoding = std::nullopt);
    void Save(const QString& path);
    // Reads every setting back and compares it with what the controls hold,
    // which after a Write is what was sent; the controls stay as they are.
    VerifyResult Verify(const std::function<void(int done)>& progress = {});
    // What a Write would send now, one value per setting in binding order
    // (the hidden codes filled in as Write fills them).
    QList<QByteArray> Values();
    // The settings whose values differ, in binding order.
    static QList<Difference> Compare(const ControlDescList& bindings, const QList<QByteArray>& left,
                                     const QList<QByteArray>& right);

    // The file name Save uses for what the user chose: ".ini" appended unless
    // the name already ends with it (in any case).
    static QString SaveName(const QString& chosen);

    // The message a failed Read or Write shows; empty when it went well.
    QString FailureMessage(const ReadResult& r) const;
    QString FailureMessage(const WriteResult& r) const;
    // A failure's message with the next step to take after it.
    QString withNextStep(const QString& failure) const;
    QString message(lang::Msg m) const;
    int settingCount() const { return needs_.bindings.Count(); }
    const ControlDescList& bindings() const { return needs_.bindings; }

    // True once the window is closing: Read, Write and Verify stop before
    // the next setting. Unset: never.
    std::function<bool()> closing;
    // True while the module refuses the password: a refused setting is then
    // told as not logged in, with what to do. Unset: never.
    std::function<bool()> passwordRefused;
    // The Read, Write or Verify under way stops once the command it waits
    // for has ended, and says how far it came (the result's `cancelled`).
    void Cancel() { cancelRequested_ = true; }

    QList<QByteArray> responses;   // raw answers of the last Read, in list order
    static constexpr const char* kSection = "Settings";
    static constexpr qint64 kMaxFileSize = IniFile::kMaxFileSize;   // what Open reads and Save writes

private:
    void apply(const std::function<void()>& body);
    // Asks for every setting; the answers kept, in binding order.
    QList<QByteArray> queryAll(ReadResult& r, const std::function<void(int done)>& progress);
    void fillHiddenCodes();
    QString refusedMessage(const QByteArray& key) const;
    // Whether the loop of a transfer goes on to its next setting; false once
    // the window closes or Cancel was pressed (cancelled set then).
    bool goesOn(bool& cancelled) const;

    bool cancelRequested_ = false;
    Needs needs_;
};
