#include "ui/pages/ConfigTransfer.h"

#include "core/config/IniFile.h"
#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "ui/widgets/TextInput.h"

#include <QSet>

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

QString settingList(const QList<QByteArray>& settings) {
    QStringList names;
    for (const QByteArray& s : settings.mid(0, 5)) names.append(QString::fromLatin1(s));
    QString list = names.join(QLatin1String(", "));
    if (settings.size() > 5) list += QStringLiteral(", … (%1)").arg(settings.size());
    return list;
}

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

ConfigTransfer::ConfigTransfer(Needs needs) : needs_(std::move(needs)) {}

QString ConfigTransfer::message(lang::Msg m) const {
    return needs_.message ? needs_.message(m) : lang::message(lang::Language::English, m);
}

// Loaded values are applied between beginLoad and endLoad, also when a
// conversion error ends the loading early.
void ConfigTransfer::apply(const std::function<void()>& body) {
    if (needs_.beginLoad) needs_.beginLoad();
    try {
        body();
    } catch (...) {
        if (needs_.endLoad) needs_.endLoad();
        throw;
    }
    if (needs_.endLoad) needs_.endLoad();
}

QList<QByteArray> ConfigTransfer::queryAll(ReadResult& r, const std::function<void(int)>& progress) {
    QList<QByteArray> answers;
    cancelRequested_ = false;
    for (int i = 0; i < needs_.bindings.Count() && goesOn(r.cancelled); ++i) {
        const QByteArray& key = needs_.bindings.At(i).key;
        const Exchange::Answer answer = needs_.exchange.Query(key);
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
            if (const ControlDesc* d = needs_.bindings.Find(key)) SetControlValue(d->control, value);
        }
    });
    return r;
}

ConfigTransfer::VerifyResult ConfigTransfer::Verify(const std::function<void(int)>& progress) {
    VerifyResult v;
    const QList<QByteArray> answers = queryAll(v.read, progress);
    for (int i = 0; i < answers.size(); ++i) {
        const ControlDesc& d = needs_.bindings.At(i);
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
        const ControlDesc* d = needs_.bindings.Find(key);
        if (!d) return;
        if (GetControlValue(d->control).size() < minLength) SetControlValue(d->control, value);
    };
    fill("DIN:Z1.POL", 2, "NO");
    fill("DIN:Z2.POL", 2, "NO");
    fill("REL1:PROPS.MO", 1, "1");
    fill("REL2:PROPS.MO", 1, "1");
}

QList<QByteArray> ConfigTransfer::Values() {
    fillHiddenCodes();
    QList<QByteArray> values;
    for (int i = 0; i < needs_.bindings.Count(); ++i) values.append(GetControlValue(needs_.bindings.At(i).control));
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
    for (int i = 0; i < needs_.bindings.Count(); ++i) {
        const ControlDesc& d = needs_.bindings.At(i);
        const QString problem = SendProblem(d.control);
        if (!problem.isEmpty()) throw UnsendableValueError(d.key, problem);
    }
    fillHiddenCodes();

    WriteResult r;
    cancelRequested_ = false;
    for (int i = 0; i < needs_.bindings.Count() && goesOn(r.cancelled); ++i) {
        const ControlDesc& d = needs_.bindings.At(i);
        const Outcome result = needs_.exchange.SetParam(d.key, GetControlValue(d.control));
        if (result != Outcome::Accepted) {
            r.failedKey = d.key;
            r.failure = result;
            break;
        }
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
        for (int i = 0; i < needs_.bindings.Count(); ++i) {
            const QByteArray name = ControlName(needs_.bindings.At(i).control);
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
    for (int i = 0; i < needs_.bindings.Count(); ++i) {
        QWidget* c = needs_.bindings.At(i).control;
        const QByteArray name = ControlName(c);
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
        if (TakesInteger(c) && !v.isEmpty() && !text::tryStrToInt(v, n)) throw text::ConvertError(v);
        values.append(v);
    }
    if (!any) throw NotSettingsFileError(path);
    apply([&] {
        for (int i = 0; i < needs_.bindings.Count(); ++i)
            if (values[i]) SetControlValue(needs_.bindings.At(i).control, *values[i]);
    });
}

void ConfigTransfer::Save(const QString& path) {
    // Every setting, the hidden codes of the input and relay modes included:
    // the file carries everything a module needs.
    IniFile ini(path);
    if (ini.Why() == IniFile::Unreadable::TooLarge) throw FileTooLargeError(path, ini.SizeOnDisk(), true);
    if (ini.Why() == IniFile::Unreadable::NotRegularFile) throw NotRegularFileError(path);
    for (int i = 0; i < needs_.bindings.Count(); ++i) {
        QWidget* c = needs_.bindings.At(i).control;
        const QByteArray value = GetControlValue(c);
        // A file that says it is UTF-8 stays so; every other is Windows-1250.
        ini.WriteString(kSection, ControlName(c), ini.HasByteOrderMark() ? text::fromCp1250(value).toUtf8() : value);
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

QString ConfigTransfer::refusedMessage(const QByteArray& key) const {
    // Without a login the module refuses every setting: the setting is not the fault.
    if (passwordRefused && passwordRefused()) return message(lang::Msg::NotLoggedIn);
    return message(lang::Msg::RefusedSetting).arg(QString::fromLatin1(key));
}

QString ConfigTransfer::FailureMessage(const ReadResult& r) const {
    if (r.linkLost) return message(lang::Msg::DisconnectedAfter).arg(r.answered).arg(needs_.bindings.Count());
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
            return message(lang::Msg::DisconnectedAfter).arg(r.written).arg(needs_.bindings.Count());
        case Outcome::NotSent:
            return message(lang::Msg::CannotSend).arg(key);
        case Outcome::NoAnswer:
            break;
    }
    return message(lang::Msg::NoAnswerFor).arg(key);
}

QString ConfigTransfer::withNextStep(const QString& failure) const {
    // Not being logged in has its own next step.
    if (failure == message(lang::Msg::NotLoggedIn)) return failure;
    return failure + QStringLiteral(". ") + message(lang::Msg::NextStepTransfer);
}
