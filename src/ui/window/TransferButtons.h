#pragma once
// The Settings page's Read, Write, Verify, Open, Save and Save as… buttons:
// the file dialogs, the question boxes, the progress bar, the busy state and
// the messages around the operations of ConfigTransfer.
#include "ui/pages/ConfigTransfer.h"
#include "ui/widgets/ErrorBox.h"

#include <QString>

#include <functional>
#include <optional>

class QFileDialog;
class QProgressBar;
class QWidget;

// Keeps the text of the last failure shown while it lives (the reason the
// site database records), passing each on to the sink as before.
class FailureWatch {
public:
    FailureWatch();
    ~FailureWatch();
    FailureWatch(const FailureWatch&) = delete;
    FailureWatch& operator=(const FailureWatch&) = delete;
    QString text() const { return text_; }

private:
    ErrorSink before_;
    QString text_;
};

class TransferButtons {
public:
    using Difference = ConfigTransfer::Difference;

    TransferButtons(ConfigTransfer& transfer, QWidget* dialogParent, QProgressBar* progress);

    // The handlers (with their dialogs; failures shown in a message box).
    // Read, Write and Verify end with a message box naming what failed, or
    // with a short note when everything went through; one that the window's
    // close cut short ends silently, as the program is ending.
    void btnReadClick();
    void btnWriteClick();
    void btnOpenClick();
    void btnSaveClick();
    // Save as…: the save dialog with proposed (the open file) filled in.
    void btnSaveAsClick(const QString& proposed);
    // Reads every setting back and lists those that differ from what is shown.
    void btnVerifyClick();
    // What Open and Save do once the dialog has given a name, failures shown.
    void OpenFile(const QString& path);
    // asIs: the name as it is, without SaveName's ".ini" (saving in place).
    void SaveFile(const QString& chosen, bool asIs = false);

    // The note of the last Read, Write or Verify in the current language
    // (empty when it failed).
    QString lastNote() const;
    void setLastFolder(const QString& folder) { lastFolder_ = folder; }
    QString lastFolder() const { return lastFolder_; }

    // The save dialog: "ini" added by the dialog itself, and no question
    // before an existing file is updated (Save changes only its own entries).
    static void PrepareSaveDialog(QFileDialog& dialog);

    // What the window is told. Each may stay unset.
    // The busy flag, then a state update.
    std::function<void(bool busy, const char* reason)> setBusy;
    // Read, Write or Verify has ended: a short note when it went well, empty
    // after a failure (which a message box has shown).
    std::function<void(const QString& note)> finished;
    // Read, Open, Write or Save went through: the values shown are the
    // module's or the file's now (the file's name for Open and Save).
    std::function<void(const char* what, const QString& file)> settled;
    // Asked before Read and Open replace what is shown; false: they do nothing.
    std::function<bool()> mayReplace;
    // Verify found settings that differ from what is shown: lists them.
    std::function<void(const QList<Difference>&)> showDifferences;
    // After Read: the settings it did not read (a Read cut by Cancel), none
    // after a full Read.
    std::function<void(const QList<QByteArray>& keys)> notRead;
    // The save dialogs ask through this when set: the name chosen, empty when
    // cancelled; proposed is the name filled in (empty for none).
    std::function<QString(const QString& proposed)> chooseSaveName;
    // OpenFile asks which encoding a file uses when it cannot be told (see
    // EncodingUnclearError); none: Open is cancelled. Unset: a question box.
    std::function<std::optional<FileEncoding>(const QString& path, const QList<QByteArray>& settings)> chooseEncoding;
    // A Read, Write or Verify has ended, unless the window's close cut it
    // short: what the site database keeps of it.
    struct Ended {
        const char* action;   // "read", "write", "verify"
        bool done = false;
        QString reason;   // the failure as the user saw it; empty when done
        qint64 durationMs = 0;
        int settings = 0;   // the settings read, written or compared
    };
    std::function<void(const Ended&)> recorded;

private:
    // The note a finished transfer leaves, made anew in the current language
    // each time it is asked for; null: none.
    using Note = std::function<QString()>;
    // What a Read, Write or Verify that Cancel stopped tells: how far it came.
    Note stopped(lang::Msg m, int done) const;
    Note counted(lang::Msg m, int count) const;   // "205 settings read"
    void finish(const Note& note);                // keeps it and tells the window
    // The end of a Read or Write that the window's close did not cut short: how
    // far a cancelled one came, or the failure with its next step, or the note
    // of one that went through (then settled).
    void ended(const char* what, bool ran, bool cancelled, int done, const QString& failure, lang::Msg stoppedNote,
               lang::Msg doneNote);
    void busy(bool on, const char* reason);
    // The bar counts the settings done from 0.
    std::function<void(int done)> progress();
    QString message(lang::Msg m) const { return transfer_.message(m); }
    QString allFilesFilter() const;
    QString iniFilesFilter() const;
    std::optional<FileEncoding> askEncoding(const EncodingUnclearError& e);
    // Runs body, showing what it throws; the text shown is kept in failureShown_.
    void showFailure(const std::function<void()>& body);
    void record(const Ended& e) const {
        if (recorded) recorded(e);
    }
    bool closing() const { return transfer_.closing && transfer_.closing(); }

    ConfigTransfer& transfer_;
    QWidget* dialogParent_;
    QProgressBar* progress_;   // may be null
    Note note_;
    QString failureShown_;   // the last failure showFailure showed
    QString lastFolder_;     // where the latest Open or Save went; the dialogs start there
};
