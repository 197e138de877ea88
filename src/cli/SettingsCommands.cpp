#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/link/HID.h"
#include "core/text/Codec.h"
#include "ui/pages/SettingsReport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

namespace cli {
namespace {

// An empty value is shown as "" so that it is seen.
QByteArray shownBytes(const QByteArray& v) { return v.isEmpty() ? QByteArray("\"\"") : v; }

const char* resultText(int rc) {
    switch (rc) {
        case Ok:
            return "ok";
        case NoModule:
            return "disconnected";
        case LoginRefused:
            return "password refused";
        case ParamRefused:
            return "setting refused";
        case NoAnswer:
            return "no answer";
        case Mismatch:
            return "differs after write";
        case Interrupted:
            return "interrupted";
        default:
            return "failed";
    }
}

}   // namespace

std::unique_ptr<Tool::Form> Tool::newForm() {
    auto f = std::make_unique<Form>();
    f->page = std::make_unique<SettingsPage>();
    f->bindings = f->page->Bindings();
    f->lang = std::make_unique<LangMan>(f->page.get());
    SettingsPage* page = f->page.get();
    f->lang->formatTempLabels = [page] { page->formatAllTempLabels(); };
    f->lang->ApplyLanguage(p_.value("lang").toLatin1());
    f->transfer = makeTransfer(*f);
    return f;
}

std::unique_ptr<ConfigTransfer> Tool::makeTransfer(Form& f) {
    SettingsPage* page = f.page.get();
    return std::make_unique<ConfigTransfer>(ConfigTransfer::Needs{
        f.bindings,
        exchange(),
        [page] { page->beginLoad(); },
        [page] { page->endLoad(); },
        english,
    });
}

// Opens the settings file of `write` into the window, before the module is
// looked for: a file that is no settings file, or holds a value that cannot
// be sent, ends the command with nothing sent.
int Tool::openSettings(const QString& path) {
    if (isReference(path)) return guarded([&] { return openReference(path); });
    const QFileInfo file(path);
    if (!file.exists() || (file.isFile() && !file.isReadable())) {
        say("cannot read %s", path.toLocal8Bit());
        return FileError;
    }
    try {
        transfer().Open(file.filePath(), encoding());
    } catch (const NotSettingsFileError& e) {
        say("%s", e.what());
        return FileError;
    } catch (const EncodingUnclearError& e) {
        say("%s: say which with --encoding windows-1250 or --encoding utf-8", e.what());
        return FileError;
    } catch (const UnsendableValueError& e) {
        say("%s in %s", e.what(), path.toLocal8Bit());
        return Failure;
    } catch (const text::ConvertError& e) {
        say("'%s' is not a valid integer value (%s)", quoted(e.text), path.toLocal8Bit());
        return Failure;
    } catch (const std::exception& e) {
        say("%s", e.what());
        return FileError;
    }
    return Ok;
}

int Tool::readModule() {
    const auto r = transfer().Read(progress(form().bindings.Count()));
    if (r.linkLost) return transferFailure(Outcome::LinkLost, {}, r.answered);
    if (!r.refusedKey.isEmpty()) return exchangeFailure(r.refusedKey, Outcome::Refused);
    if (!r.silentKeys.isEmpty()) return exchangeFailure(r.silentKeys.first(), Outcome::NoAnswer);
    endProgress();
    return Ok;
}

int Tool::doRead() {
    if (const int rc = readModule(); rc != Ok) return rc;
    recordEvent(QStringLiteral("read"), Ok, pageValues());
    // Written only after a complete Read; the file itself is replaced in one step.
    transfer().Save(p_.value("out"));
    return Ok;
}

int Tool::doWrite() {
    // The file was opened before the module was looked for.
    const QString source = sourceOf(positional_.value(0));
    const auto r = transfer().Write(progress(form().bindings.Count()));
    if (!r.ok()) {
        const int rc = transferFailure(r.failure, r.failedKey, r.written);
        recordEvent(writeAction_, rc, {}, source, r.written);
        return rc;
    }
    endProgress();
    recordEvent(writeAction_, Ok, pageValues(), source);
    if (!p_.isSet("verify")) return Ok;
    // The module's values as read back: what was sent, but for the differences.
    sites::Values held = pageValues();
    const int rc = verifyWritten();
    for (auto& [key, value] : held)
        for (const SettingDifference& d : lastDifferences_)
            if (d.key == key) value = d.right;
    recordEvent(QStringLiteral("verify"), rc, held);
    return rc;
}

int Tool::verifyWritten() {
    lastDifferences_.clear();
    const auto v = transfer().Verify(progress(form().bindings.Count()));
    const auto& r = v.read;
    if (r.linkLost && !interrupted_) {
        // What was written stays written: only the check is incomplete.
        endProgress();
        verifyCut_ = true;
        const QByteArray all = QByteArray::number(form().bindings.Count());
        say("all %s written; disconnected while verifying after %s", all,
            QByteArray::number(r.answered) + " of " + all + linkReason());
        return NoModule;
    }
    if (!r.refusedKey.isEmpty()) return exchangeFailure(r.refusedKey, Outcome::Refused);
    if (!r.silentKeys.isEmpty()) return exchangeFailure(r.silentKeys.first(), Outcome::NoAnswer);
    endProgress();
    lastDifferences_ = v.differences;
    for (const SettingDifference& d : v.differences)
        print(d.key + ": sent " + shownBytes(d.left) + ", read " + shownBytes(d.right));
    if (v.differences.isEmpty()) return Ok;
    say("%s settings differ in the module from what was written", QByteArray::number(v.differences.size()));
    return Mismatch;
}

int Tool::valuesOf(const QString& file, QList<QByteArray>& values) {
    form_ = newForm();   // a page of its own: nothing of the other side stays in it
    const int rc = file.isEmpty() ? readModule() : openSettings(file);
    if (rc == Ok) values = transfer().Values();
    return rc;
}

int Tool::doDiff() {
    QList<QByteArray> left, right;
    // The file first: one that is no settings file ends the command before
    // the module is looked for.
    int rc = valuesOf(positional_.last(), right);
    if (rc == Ok && positional_.size() == 2) {
        rc = valuesOf(positional_.first(), left);
    } else if (rc == Ok) {
        work_.start();
        rc = connect();
        if (rc == Ok) recordStatus();
        if (rc == Ok) rc = valuesOf({}, left);
        if (rc == Ok) recordEvent(QStringLiteral("diff"), Ok, pageValues());
    }
    if (rc != Ok) return rc;
    const QList<SettingDifference> differences = ConfigTransfer::Compare(form().bindings, left, right);
    QJsonArray json;
    for (const SettingDifference& d : differences) {
        const QString key = QString::fromLatin1(d.key);
        const QString caption = report::caption(*form().page, form().bindings.Find(d.key)->control);
        if (p_.isSet("json"))
            json.append(QJsonObject{{"key", key},
                                    {"caption", caption},
                                    {"left", text::fromCp1250(d.left)},
                                    {"right", text::fromCp1250(d.right)}});
        else
            printText(
                QStringLiteral("%1 (%2): %3 -> %4")
                    .arg(key, caption, text::fromCp1250(shownBytes(d.left)), text::fromCp1250(shownBytes(d.right))));
    }
    if (p_.isSet("json")) printJson(QJsonDocument(json));
    return differences.isEmpty() ? Ok : Failure;
}

// One module after the other: each gets its own session, the file's values
// and, with --verify, the check. A table tells how each went.
int Tool::writeAll() {
    std::vector<HidInterface> modules;
    if (!listModules(modules)) return NoModule;
    if (modules.empty()) {
        say("no module found");
        return NoModule;
    }
    struct Row {
        QString module;
        int rc;
        qint64 ms;
        bool verifyCut;   // written, then disconnected while verifying
    };
    std::vector<Row> rows;
    for (const HidInterface& m : modules) {
        if (interrupted_) break;
        const QString name = QString::fromStdString(m.serial.empty() ? m.path : m.serial);
        moduleTag_ = name.toLocal8Bit() + ": ";
        QElapsedTimer t;
        t.start();
        work_.start();
        startSession(m.path);
        form().transfer = makeTransfer(form());
        verifyCut_ = false;
        int rc = connect();
        if (rc == Ok) recordStatus();
        if (rc == Ok) rc = guarded([this] { return doWrite(); });
        if (rc != Ok && !recorded_) recordEvent(writeAction_, rc, {}, sourceOf(positional_.value(0)));
        recorded_ = false;
        session_->Close();
        rows.push_back({name, rc, t.elapsed(), verifyCut_});
    }
    moduleTag_.clear();
    int width = 6;
    for (const Row& r : rows) width = std::max(width, int(r.module.size()));
    const auto line = [&](const QString& module, const QString& result, const QString& time) {
        printText(module.leftJustified(width + 2) + result.leftJustified(21) + time);
    };
    line("MODULE", "RESULT", "TIME");
    int rc = rows.size() < modules.size() ? int(Interrupted) : int(Ok);
    for (const Row& r : rows) {
        line(r.module, QString::fromLatin1(r.verifyCut ? "written, verify cut" : resultText(r.rc)),
             QString::number(r.ms / 1000.0, 'f', 1) + " s");
        if (rc == Ok && r.rc != Ok) rc = r.rc;
    }
    return rc;
}

}   // namespace cli
