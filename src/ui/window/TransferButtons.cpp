#include "ui/window/TransferButtons.h"

#include "ui/widgets/ErrorBox.h"

#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>

FailureWatch::FailureWatch() : before_(errorSink()) {
    errorSink() = [this](const QString& m) {
        text_ = m;
        if (before_) before_(m);
    };
}

FailureWatch::~FailureWatch() { errorSink() = before_; }

TransferButtons::TransferButtons(ConfigTransfer& transfer, QWidget* dialogParent, QProgressBar* progress)
    : transfer_(transfer), dialogParent_(dialogParent), progress_(progress) {}

void TransferButtons::busy(bool on, const char* reason) {
    if (setBusy) setBusy(on, reason);
}

std::function<void(int)> TransferButtons::progress() {
    if (!progress_) return {};
    progress_->setValue(0);
    return [bar = progress_](int done) { bar->setValue(done); };
}

void TransferButtons::PrepareSaveDialog(QFileDialog& dialog) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("ini");
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
}

TransferButtons::Note TransferButtons::stopped(lang::Msg m, int done) const {
    const int all = transfer_.settingCount();
    return [this, m, done, all] { return message(m).arg(done).arg(all).arg(all - done); };
}

TransferButtons::Note TransferButtons::counted(lang::Msg m, int count) const {
    return [this, m, count] { return message(m).arg(count); };
}

void TransferButtons::finish(const Note& note) {
    note_ = note;
    if (finished) finished(lastNote());
}

QString TransferButtons::lastNote() const { return note_ ? note_() : QString(); }

// Runs an operation and shows its failure; the messages of the errors that
// name a file or a setting are in the window's language. All of them are
// the user's to put right (another file, another value): warnings.
void TransferButtons::showFailure(const std::function<void()>& body) {
    // The text shown is kept: the site database records it as the reason.
    const FailureWatch watch;
    Guarded([&] {
        try {
            body();
        } catch (const NotSettingsFileError& e) {
            ShowMistake(message(lang::Msg::NotSettingsFile).arg(e.path));
        } catch (const UnsendableValueError& e) {
            ShowMistake(message(lang::Msg::CannotSend).arg(QString::fromLatin1(e.setting)));
        } catch (const FileTooLargeError& e) {
            ShowMistake(message(e.saving ? lang::Msg::SaveTooLarge : lang::Msg::FileTooLarge)
                            .arg(e.path)
                            .arg(e.size)
                            .arg(IniFile::kMaxFileSize));
        } catch (const NotRegularFileError& e) {
            ShowMistake(message(lang::Msg::NotRegularFile).arg(e.path));
        }
    });
    failureShown_ = watch.text();
}

// Read and Write end with a message box naming what failed, or with a short
// note when everything went through; one that the window's close cut short
// ends silently, as the program is ending.
void TransferButtons::btnReadClick() {
    if (mayReplace && !mayReplace()) return;
    busy(true, "ReadStart");
    QElapsedTimer clock;
    clock.start();
    // A conversion error ends the Read at that entry; the window returns to
    // its normal state all the same.
    ConfigTransfer::ReadResult r;
    bool ran = false;
    showFailure([&] {
        r = transfer_.Read(progress());
        ran = true;
    });
    busy(false, "ReadEnd");
    if (closing()) return;
    // The settings after the last answer keep what they showed before.
    if (ran && notRead) {
        QList<QByteArray> rest;
        for (int i = transfer_.responses.size(); i < transfer_.settingCount(); ++i)
            rest.append(transfer_.bindings().At(i).key);
        notRead(rest);
    }
    const QString failure = ran ? transfer_.FailureMessage(r) : failureShown_;
    ended("Read", ran, r.cancelled, r.answered, ran ? failure : QString(), lang::Msg::ReadStopped,
          lang::Msg::SettingsRead);
    record({"read", ran && r.ok(), r.cancelled ? lastNote() : failure, clock.elapsed(), r.answered});
}

void TransferButtons::ended(const char* what, bool ran, bool cancelled, int done, const QString& failure,
                            lang::Msg stoppedNote, lang::Msg doneNote) {
    if (ran && cancelled) {
        finish(stopped(stoppedNote, done));
        return;
    }
    if (!failure.isEmpty()) ShowError(transfer_.withNextStep(failure));
    const bool ok = ran && failure.isEmpty();
    if (ok && settled) settled(what, QString());
    finish(ok ? counted(doneNote, done) : Note());
}

void TransferButtons::btnWriteClick() {
    busy(true, "WriteStart");
    QElapsedTimer clock;
    clock.start();
    ConfigTransfer::WriteResult r;
    bool ran = false;
    QByteArray unsendable;
    showFailure([&] {
        try {
            r = transfer_.Write(progress());
            ran = true;
        } catch (const UnsendableValueError& e) {
            unsendable = e.setting;
        }
    });
    busy(false, "WriteEnd");
    if (closing()) return;
    if (!unsendable.isEmpty())
        ShowMistake(message(lang::Msg::CannotSend).arg(QString::fromLatin1(unsendable)) + QStringLiteral(". ") +
                    message(lang::Msg::NextStepValue));
    const QString failure = ran ? transfer_.FailureMessage(r)
                            : unsendable.isEmpty()
                                ? failureShown_
                                : message(lang::Msg::CannotSend).arg(QString::fromLatin1(unsendable));
    ended("Write", ran, r.cancelled, r.written, ran ? failure : QString(), lang::Msg::WriteStopped,
          lang::Msg::SettingsWritten);
    record({"write", ran && r.ok(), r.cancelled ? lastNote() : failure, clock.elapsed(), r.written});
}

void TransferButtons::btnVerifyClick() {
    busy(true, "VerifyStart");
    QElapsedTimer clock;
    clock.start();
    ConfigTransfer::VerifyResult v;
    bool ran = false;
    showFailure([&] {
        v = transfer_.Verify(progress());
        ran = true;
    });
    busy(false, "VerifyEnd");
    if (closing()) return;
    const auto verified = [&](bool done, const QString& reason) {
        record({"verify", done, reason, clock.elapsed(), v.read.answered});
    };
    if (!ran) {
        finish(Note());
        verified(false, failureShown_);
        return;
    }
    if (v.read.cancelled) {
        finish(stopped(lang::Msg::VerifyStopped, v.read.answered));
        if (!v.differences.isEmpty() && showDifferences) showDifferences(v.differences);
        verified(false, lastNote());
        return;
    }
    const QString failure = transfer_.FailureMessage(v.read);
    if (!failure.isEmpty()) {
        ShowError(transfer_.withNextStep(failure));
        finish(Note());
        verified(false, failure);
        return;
    }
    QStringList differing;
    for (const Difference& d : std::as_const(v.differences)) differing << QString::fromLatin1(d.key);
    verified(v.differences.isEmpty(), differing.isEmpty() ? QString()
                                                          : message(lang::Msg::VerifyDiffers) + QLatin1Char(' ') +
                                                                differing.join(QStringLiteral(", ")));
    if (v.differences.isEmpty()) finish(counted(lang::Msg::VerifyMatch, v.read.answered));
    if (!v.differences.isEmpty() && showDifferences) showDifferences(v.differences);
}

void TransferButtons::btnOpenClick() {
    if (mayReplace && !mayReplace()) return;
    const QString path = QFileDialog::getOpenFileName(dialogParent_, QString(), lastFolder_,
                                                      iniFilesFilter() + QStringLiteral(";;") + allFilesFilter());
    if (!path.isEmpty()) OpenFile(path);
}

void TransferButtons::OpenFile(const QString& path) {
    lastFolder_ = QFileInfo(path).absolutePath();
    bool ok = false;
    showFailure([&] {
        try {
            transfer_.Open(path);
        } catch (const EncodingUnclearError& e) {
            const std::optional<FileEncoding> chosen = askEncoding(e);
            if (!chosen) return;   // cancelled: nothing changes
            transfer_.Open(path, chosen);
        }
        ok = true;
    });
    if (ok && settled) settled("Open", path);
}

std::optional<FileEncoding> TransferButtons::askEncoding(const EncodingUnclearError& e) {
    if (chooseEncoding) return chooseEncoding(e.path, e.settings);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kestrum"),
                    message(lang::Msg::EncodingQuestion).arg(e.path, settingList(e.settings)), QMessageBox::NoButton,
                    dialogParent_);
    QPushButton* cp1250 = box.addButton(QStringLiteral("Windows-1250"), QMessageBox::AcceptRole);
    QPushButton* utf8 = box.addButton(QStringLiteral("UTF-8"), QMessageBox::AcceptRole);
    box.addButton(message(lang::Msg::CancelButton), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() == cp1250) return FileEncoding::Windows1250;
    if (box.clickedButton() == utf8) return FileEncoding::Utf8;
    return std::nullopt;
}

void TransferButtons::btnSaveClick() { btnSaveAsClick(QString()); }

void TransferButtons::btnSaveAsClick(const QString& proposed) {
    if (chooseSaveName) {
        const QString chosen = chooseSaveName(proposed);
        if (!chosen.isEmpty()) SaveFile(chosen);
        return;
    }
    QFileDialog dialog(dialogParent_);
    PrepareSaveDialog(dialog);
    dialog.setNameFilters({iniFilesFilter(), allFilesFilter()});
    if (!proposed.isEmpty())
        dialog.selectFile(proposed);
    else if (!lastFolder_.isEmpty())
        dialog.setDirectory(lastFolder_);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString chosen = dialog.selectedFiles().first();
    if (!chosen.isEmpty()) SaveFile(chosen);
}

void TransferButtons::SaveFile(const QString& chosen, bool asIs) {
    const QString path = asIs ? chosen : ConfigTransfer::SaveName(chosen);
    lastFolder_ = QFileInfo(path).absolutePath();
    bool ok = false;
    showFailure([&] {
        transfer_.Save(path);
        ok = true;
    });
    if (ok && settled) settled("Save", path);
}

QString TransferButtons::allFilesFilter() const { return message(lang::Msg::AllFilesFilter) + QStringLiteral(" (*)"); }

QString TransferButtons::iniFilesFilter() const {
    return message(lang::Msg::IniFilesFilter) + QStringLiteral(" (*.ini)");
}
