#include "ui/pages/ConfigTransfer.h"

#include "core/config/IniFile.h"
#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/TextInput.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QSlider>

#include <cstring>
#include <optional>

namespace {

// The controls that carry a code for radio buttons.
bool isHiddenCode(const QByteArray& control) {
    static const QSet<QByteArray> names = [] {
        QSet<QByteArray> s;
        for (const ParamDef& p : settingsParams())
            if (p.hidden) s.insert(p.control);
        return s;
    }();
    return names.contains(control);
}

// Controls whose value is an index or position: their text must be an integer.
bool takesInteger(const QWidget* c) {
    const char* cls = c->metaObject()->className();
    return std::strcmp(cls, "QComboBox") == 0 || std::strcmp(cls, "QSlider") == 0 ||
           std::strcmp(cls, "RadioGroup") == 0;
}

}   // namespace

NotSettingsFileError::NotSettingsFileError(const QString& p)
    : std::runtime_error(QStringLiteral("'%1' is not a settings file").arg(p).toLocal8Bit().toStdString()), path(p) {}

FileTooLargeError::FileTooLargeError(const QString& p, qint64 n, bool s)
    : std::runtime_error(lang::message(lang::Language::English, s ? lang::Msg::SaveTooLarge : lang::Msg::FileTooLarge)
                             .arg(p)
                             .arg(n)
                             .arg(IniFile::kMaxFileSize)
                             .toLocal8Bit()
                             .toStdString()),
      path(p),
      size(n),
      saving(s) {}

NotRegularFileError::NotRegularFileError(const QString& p)
    : std::runtime_error(
          lang::message(lang::Language::English, lang::Msg::NotRegularFile).arg(p).toLocal8Bit().toStdString()),
      path(p) {}

namespace {
// The settings a message names: the first few, and how many there are.
QString settingList(const QList<QByteArray>& settings) {
    QStringList names;
    for (const QByteArray& s : settings.mid(0, 5)) names.append(QString::fromLatin1(s));
    QString list = names.join(QLatin1String(", "));
    if (settings.size() > 5) list += QStringLiteral(", … (%1)").arg(settings.size());
    return list;
}
}   // namespace

EncodingUnclearError::EncodingUnclearError(const QString& p, const QList<QByteArray>& s)
    : std::runtime_error(QStringLiteral("'%1' has no byte-order mark, but the text of %2 reads as UTF-8")
                             .arg(p, settingList(s))
                             .toLocal8Bit()
                             .toStdString()),
      path(p),
      settings(s) {}

UnsendableValueError::UnsendableValueError(const QByteArray& s, const QString& p)
    : std::runtime_error(QStringLiteral("the value of %1 cannot be sent to the module: it holds %2")
                             .arg(QString::fromLatin1(s), p)
                             .toLocal8Bit()
                             .toStdString()),
      setting(s),
      problem(p) {}

ConfigTransfer::ConfigTransfer(Host host) : host_(std::move(host)) {}

QString ConfigTransfer::message(lang::Msg m) const {
    return host_.message ? host_.message(m) : lang::message(lang::Language::English, m);
}

void ConfigTransfer::step() {
    if (host_.progress) host_.progress->setValue(host_.progress->value() + 1);
}

// Loaded values are applied between beginLoad and endLoad, also when a
// conversion error ends the loading early.
void ConfigTransfer::apply(const std::function<void()>& body) {
    if (host_.beginLoad) host_.beginLoad();
    try {
        body();
    } catch (...) {
        if (host_.endLoad) host_.endLoad();
        throw;
    }
    if (host_.endLoad) host_.endLoad();
}

QList<QByteArray> ConfigTransfer::queryAll(ReadResult& r, const std::function<void(int)>& progress) {
    QList<QByteArray> answers;
    if (host_.progress) host_.progress->setValue(0);
    cancelRequested_ = false;
    for (int i = 0; i < host_.bindings.Count() && goesOn(r.cancelled); ++i) {
        const QByteArray& key = host_.bindings.At(i).key;
        const Exchange::Answer answer = host_.exchange.Query(key);
        if (answer.outcome == Outcome::Refused) {
            r.refusedKey = key;
            break;
        }
        // The module has gone: asking the rest would only wait out every attempt.
        if (answer.outcome == Outcome::LinkLost) {
            r.linkLost = true;
            break;
        }
        if (answer.text.isEmpty()) r.silentKeys.append(key);
        answers.append(answer.text);
        step();
        ++r.answered;
        if (progress) progress(r.answered);
    }
    return answers;
}

bool ConfigTransfer::goesOn(bool& cancelled) const {
    if (closing && closing()) return false;
    if (cancelRequested_) cancelled = true;
    return !cancelled;
}

ConfigTransfer::ReadResult ConfigTransfer::Read(const std::function<void(int)>& progress) {
    ReadResult r;
    responses = queryAll(r, progress);
    apply([&] {
        for (const QByteArray& answer : responses) {
            QByteArray key, value;
            if (!SplitAnswer(answer, key, value)) continue;
            if (const ControlDesc* d = host_.bindings.Find(key)) SetControlValue(d->control, value);
        }
    });
    return r;
}

ConfigTransfer::VerifyResult ConfigTransfer::Verify(const std::function<void(int)>& progress) {
    VerifyResult v;
    const QList<QByteArray> answers = queryAll(v.read, progress);
    for (int i = 0; i < answers.size(); ++i) {
        const ControlDesc& d = host_.bindings.At(i);
        QByteArray key, value;
        // An answer for another key, or none, is no value of this setting.
        if (!SplitAnswer(answers[i], key, value) || key != d.key) continue;
        const QByteArray sent = GetControlValue(d.control);
        if (sent != value) v.differences.append({d.key, sent, value});
    }
    return v;
}

void ConfigTransfer::fillHiddenCodes() {
    // Hidden codes the device must never get empty.
    const auto fill = [this](const char* key, int minLength, const char* value) {
        const ControlDesc* d = host_.bindings.Find(key);
        if (!d) return;
        auto* e = qobject_cast<QLineEdit*>(d->control);
        if (e && e->text().size() < minLength) e->setText(value);
    };
    fill("DIN:Z1.POL", 2, "NO");
    fill("DIN:Z2.POL", 2, "NO");
    fill("REL1:PROPS.MO", 1, "1");
    fill("REL2:PROPS.MO", 1, "1");
}

QList<QByteArray> ConfigTransfer::Values() {
    fillHiddenCodes();
    QList<QByteArray> values;
    for (int i = 0; i < host_.bindings.Count(); ++i) values.append(GetControlValue(host_.bindings.At(i).control));
    return values;
}

QList<ConfigTransfer::Difference> ConfigTransfer::Compare(const ControlDescList& bindings,
                                                          const QList<QByteArray>& left,
                                                          const QList<QByteArray>& right) {
    QList<Difference> d;
    for (int i = 0; i < bindings.Count() && i < left.size() && i < right.size(); ++i)
        if (left[i] != right[i]) d.append({bindings.At(i).key, left[i], right[i]});
    return d;
}

ConfigTransfer::WriteResult ConfigTransfer::Write(const std::function<void(int)>& progress) {
    // Nothing goes out unless everything can: a value that would end or split
    // a command, or that the module's code page cannot hold, stops the Write
    // before its first command.
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        const ControlDesc& d = host_.bindings.At(i);
        const QString problem = SendProblem(d.control);
        if (!problem.isEmpty()) throw UnsendableValueError(d.key, problem);
    }
    fillHiddenCodes();

    WriteResult r;
    if (host_.progress) host_.progress->setValue(0);
    cancelRequested_ = false;
    for (int i = 0; i < host_.bindings.Count() && goesOn(r.cancelled); ++i) {
        const ControlDesc& d = host_.bindings.At(i);
        const Outcome result = host_.exchange.SetParam(d.key, GetControlValue(d.control));
        if (result != Outcome::Accepted) {
            r.failedKey = d.key;
            r.failure = result;
            break;
        }
        step();
        ++r.written;
        if (progress) progress(r.written);
    }
    return r;
}

void ConfigTransfer::Open(const QString& path, std::optional<FileEncoding> encoding) {
    // A settings file is a few kilobytes: a large file is something else, and
    // is not read whole into memory; a FIFO or a device is not read at all.
    const IniFile ini(path);
    if (ini.Why() == IniFile::Unreadable::TooLarge) throw FileTooLargeError(path, ini.SizeOnDisk(), false);
    if (ini.Why() == IniFile::Unreadable::NotRegularFile) throw NotRegularFileError(path);
    // A file that is there but unreadable must not reset every control.
    if (!ini.Readable())
        throw std::runtime_error(
            QStringLiteral("Unable to read %1: %2").arg(path, ini.Error()).toLocal8Bit().toStdString());
    // A byte-order mark says UTF-8. Without one the file is Windows-1250,
    // unless its 8-bit text reads as UTF-8: then the caller says which.
    if (ini.HasByteOrderMark()) encoding = FileEncoding::Utf8;
    if (!encoding) {
        QList<QByteArray> unclear;
        for (int i = 0; i < host_.bindings.Count(); ++i) {
            const QByteArray name = host_.bindings.At(i).control->objectName().toLatin1();
            if (text::isMultiByteUtf8(ini.ReadString(kSection, name, {}))) unclear.append(name);
        }
        if (!unclear.isEmpty()) throw EncodingUnclearError(path, unclear);
        encoding = FileEncoding::Windows1250;
    }
    // What the file holds for each control; a missing entry empties its
    // control, except a hidden code, which keeps what it shows (files saved
    // before they were written lack them).
    QList<std::optional<QByteArray>> values;
    bool any = false;
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        QWidget* c = host_.bindings.At(i).control;
        const QByteArray name = c->objectName().toLatin1();
        if (!ini.HasKey(kSection, name)) {
            values.append(isHiddenCode(name) ? std::nullopt : std::optional<QByteArray>(QByteArray()));
            continue;
        }
        any = true;
        QByteArray v = ini.ReadString(kSection, name, {});
        if (*encoding == FileEncoding::Utf8) {
            const QString decoded = QString::fromUtf8(v);
            const QString problem = ModuleTextProblem(decoded);
            if (!problem.isEmpty()) throw UnsendableValueError(name, problem);
            v = text::toCp1250(decoded);
        }
        // Checked before anything changes: a value that cannot go to the
        // module, or that its control cannot take, leaves the window as it was.
        if (!IsCommandSafe(v)) throw UnsendableValueError(name, ModuleTextProblem(text::fromCp1250(v)));
        int n;
        if (takesInteger(c) && !v.isEmpty() && !text::tryStrToInt(v, n)) throw text::ConvertError(v);
        values.append(v);
    }
    if (!any) throw NotSettingsFileError(path);
    apply([&] {
        for (int i = 0; i < host_.bindings.Count(); ++i)
            if (values[i]) SetControlValue(host_.bindings.At(i).control, *values[i]);
    });
}

void ConfigTransfer::Save(const QString& path) {
    // Every setting, the hidden codes of the input and relay modes included:
    // the file carries everything a module needs.
    IniFile ini(path);
    if (ini.Why() == IniFile::Unreadable::TooLarge) throw FileTooLargeError(path, ini.SizeOnDisk(), true);
    if (ini.Why() == IniFile::Unreadable::NotRegularFile) throw NotRegularFileError(path);
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        QWidget* c = host_.bindings.At(i).control;
        const QByteArray value = GetControlValue(c);
        // A file that says it is UTF-8 stays so; every other is Windows-1250.
        ini.WriteString(kSection, c->objectName().toLatin1(),
                        ini.HasByteOrderMark() ? text::fromCp1250(value).toUtf8() : value);
    }
    // Open takes back whatever Save writes: nothing larger than it reads.
    if (ini.Readable() && ini.Data().size() > IniFile::kMaxFileSize)
        throw FileTooLargeError(path, ini.Data().size(), true);
    // The reason (a full disk, no permission) follows the file's name.
    QString why;
    if (!ini.UpdateFile(&why))
        throw std::runtime_error(
            QStringLiteral("Unable to write to %1: %2").arg(path, why).toLocal8Bit().toStdString());
}

QString ConfigTransfer::SaveName(const QString& chosen) {
    if (chosen.size() < 4 || chosen.right(4).toLower() != ".ini") return chosen + ".ini";
    return chosen;
}

void ConfigTransfer::PrepareSaveDialog(QFileDialog& dialog) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix("ini");
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
}

QString ConfigTransfer::refusedMessage(const QByteArray& key) const {
    // Without a login the module refuses every setting: the setting is not the fault.
    if (passwordRefused && passwordRefused()) return message(lang::Msg::NotLoggedIn);
    return message(lang::Msg::RefusedSetting).arg(QString::fromLatin1(key));
}

QString ConfigTransfer::FailureMessage(const ReadResult& r) const {
    if (r.linkLost) return message(lang::Msg::DisconnectedAfter).arg(r.answered).arg(host_.bindings.Count());
    if (!r.refusedKey.isEmpty()) return refusedMessage(r.refusedKey);
    if (!r.silentKeys.isEmpty()) return message(lang::Msg::NoAnswerFor).arg(QString::fromLatin1(r.silentKeys.first()));
    return {};
}

QString ConfigTransfer::FailureMessage(const WriteResult& r) const {
    const QString key = QString::fromLatin1(r.failedKey);
    switch (r.failure) {
        case Outcome::Accepted:
            return {};
        case Outcome::Refused:
            return refusedMessage(r.failedKey);
        case Outcome::LinkLost:
            return message(lang::Msg::DisconnectedAfter).arg(r.written).arg(host_.bindings.Count());
        case Outcome::NotSent:
            return message(lang::Msg::CannotSend).arg(key);
        case Outcome::NoAnswer:
            break;
    }
    return message(lang::Msg::NoAnswerFor).arg(key);
}

ConfigTransfer::Note ConfigTransfer::stopped(lang::Msg m, int done) const {
    const int all = host_.bindings.Count();
    return [this, m, done, all] { return message(m).arg(done).arg(all).arg(all - done); };
}

ConfigTransfer::Note ConfigTransfer::counted(lang::Msg m, int count) const {
    return [this, m, count] { return message(m).arg(count); };
}

void ConfigTransfer::finish(const Note& note) {
    note_ = note;
    if (host_.finished) host_.finished(lastNote());
}

QString ConfigTransfer::lastNote() const { return note_ ? note_() : QString(); }

QString ConfigTransfer::withNextStep(const QString& failure) const {
    // Not being logged in has its own next step.
    if (failure == message(lang::Msg::NotLoggedIn)) return failure;
    return failure + QStringLiteral(". ") + message(lang::Msg::NextStepTransfer);
}

// Runs an operation and shows its failure; the messages of the errors that
// name a file or a setting are in the window's language. All of them are
// the user's to put right (another file, another value): warnings.
void ConfigTransfer::showFailure(const std::function<void()>& body) {
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
}

// Read and Write end with a message box naming what failed, or with a short
// note when everything went through; one that the window's close cut short
// ends silently, as the program is ending.
void ConfigTransfer::btnReadClick() {
    if (host_.mayReplace && !host_.mayReplace()) return;
    host_.setBusy(true, "ReadStart");
    // A conversion error ends the Read at that entry; the window returns to
    // its normal state all the same.
    ReadResult r;
    bool ran = false;
    showFailure([&] {
        r = Read();
        ran = true;
    });
    host_.setBusy(false, "ReadEnd");
    if (closing && closing()) return;
    // The settings after the last answer keep what they showed before.
    if (ran && notRead) {
        QList<QByteArray> rest;
        for (int i = responses.size(); i < host_.bindings.Count(); ++i) rest.append(host_.bindings.At(i).key);
        notRead(rest);
    }
    if (ran && r.cancelled) {
        finish(stopped(lang::Msg::ReadStopped, r.answered));
        return;
    }
    const QString failure = ran ? FailureMessage(r) : QString();
    if (!failure.isEmpty()) ShowError(withNextStep(failure));
    if (ran && failure.isEmpty() && host_.settled) host_.settled("Read", QString());
    finish(ran && failure.isEmpty() ? counted(lang::Msg::SettingsRead, r.answered) : Note());
}

void ConfigTransfer::btnWriteClick() {
    host_.setBusy(true, "WriteStart");
    WriteResult r;
    bool ran = false;
    QByteArray unsendable;
    showFailure([&] {
        try {
            r = Write();
            ran = true;
        } catch (const UnsendableValueError& e) {
            unsendable = e.setting;
        }
    });
    host_.setBusy(false, "WriteEnd");
    if (closing && closing()) return;
    if (!unsendable.isEmpty())
        ShowMistake(message(lang::Msg::CannotSend).arg(QString::fromLatin1(unsendable)) + QStringLiteral(". ") +
                  message(lang::Msg::NextStepValue));
    if (ran && r.cancelled) {
        finish(stopped(lang::Msg::WriteStopped, r.written));
        return;
    }
    const QString failure = ran ? FailureMessage(r) : QString();
    if (!failure.isEmpty()) ShowError(withNextStep(failure));
    if (ran && failure.isEmpty() && host_.settled) host_.settled("Write", QString());
    finish(ran && failure.isEmpty() ? counted(lang::Msg::SettingsWritten, r.written) : Note());
}

void ConfigTransfer::btnVerifyClick() {
    host_.setBusy(true, "VerifyStart");
    VerifyResult v;
    bool ran = false;
    showFailure([&] {
        v = Verify();
        ran = true;
    });
    host_.setBusy(false, "VerifyEnd");
    if (closing && closing()) return;
    if (!ran) {
        finish(Note());
        return;
    }
    if (v.read.cancelled) {
        finish(stopped(lang::Msg::VerifyStopped, v.read.answered));
        if (!v.differences.isEmpty() && host_.showDifferences) host_.showDifferences(v.differences);
        return;
    }
    const QString failure = FailureMessage(v.read);
    if (!failure.isEmpty()) {
        ShowError(withNextStep(failure));
        finish(Note());
        return;
    }
    if (v.differences.isEmpty()) finish(counted(lang::Msg::VerifyMatch, v.read.answered));
    if (!v.differences.isEmpty() && host_.showDifferences) host_.showDifferences(v.differences);
}

void ConfigTransfer::btnOpenClick() {
    if (host_.mayReplace && !host_.mayReplace()) return;
    const QString path = QFileDialog::getOpenFileName(host_.dialogParent, QString(), lastFolder_,
                                                      iniFilesFilter() + QStringLiteral(";;") + allFilesFilter());
    if (!path.isEmpty()) OpenFile(path);
}

void ConfigTransfer::OpenFile(const QString& path) {
    lastFolder_ = QFileInfo(path).absolutePath();
    bool ok = false;
    showFailure([&] {
        try {
            Open(path);
        } catch (const EncodingUnclearError& e) {
            const std::optional<FileEncoding> chosen = askEncoding(e);
            if (!chosen) return;   // cancelled: nothing changes
            Open(path, chosen);
        }
        ok = true;
    });
    if (ok && host_.settled) host_.settled("Open", path);
}

std::optional<FileEncoding> ConfigTransfer::askEncoding(const EncodingUnclearError& e) {
    if (chooseEncoding) return chooseEncoding(e.path, e.settings);
    QMessageBox box(QMessageBox::Question, QStringLiteral("Kestrum"),
                    message(lang::Msg::EncodingQuestion).arg(e.path, settingList(e.settings)), QMessageBox::NoButton,
                    host_.dialogParent);
    QPushButton* cp1250 = box.addButton(QStringLiteral("Windows-1250"), QMessageBox::AcceptRole);
    QPushButton* utf8 = box.addButton(QStringLiteral("UTF-8"), QMessageBox::AcceptRole);
    box.addButton(message(lang::Msg::CancelButton), QMessageBox::RejectRole);
    box.exec();
    if (box.clickedButton() == cp1250) return FileEncoding::Windows1250;
    if (box.clickedButton() == utf8) return FileEncoding::Utf8;
    return std::nullopt;
}

void ConfigTransfer::btnSaveClick() { btnSaveAsClick(QString()); }

void ConfigTransfer::btnSaveAsClick(const QString& proposed) {
    if (chooseSaveName) {
        const QString chosen = chooseSaveName(proposed);
        if (!chosen.isEmpty()) SaveFile(chosen);
        return;
    }
    QFileDialog dialog(host_.dialogParent);
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

void ConfigTransfer::SaveFile(const QString& chosen, bool asIs) {
    const QString path = asIs ? chosen : SaveName(chosen);
    lastFolder_ = QFileInfo(path).absolutePath();
    bool ok = false;
    showFailure([&] {
        Save(path);
        ok = true;
    });
    if (ok && host_.settled) host_.settled("Save", path);
}

QString ConfigTransfer::allFilesFilter() const { return message(lang::Msg::AllFilesFilter) + QStringLiteral(" (*)"); }

QString ConfigTransfer::iniFilesFilter() const { return message(lang::Msg::IniFilesFilter) + QStringLiteral(" (*.ini)"); }
