#include "app/ui/ConfigTransfer.h"

#include "app/core/IniFile.h"
#include "app/ui/ErrorBox.h"
#include "protocol/Exchange.h"
#include "text/Codec.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QProgressBar>

#include <stdexcept>

ConfigTransfer::ConfigTransfer(Host host) : host_(std::move(host)) {}

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

ConfigTransfer::ReadResult ConfigTransfer::Read(const std::function<void(int)>& progress) {
    ReadResult r;
    responses.clear();
    if (host_.progress) host_.progress->setValue(0);
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        const QByteArray& key = host_.bindings.At(i).key;
        const QByteArray answer = host_.exchange.QueryParam(key);
        if (answer == kNotAvailable) {
            r.refusedKey = key;
            break;
        }
        if (answer.isEmpty()) r.silentKeys.append(key);
        responses.append(answer);
        step();
        ++r.answered;
        if (progress) progress(r.answered);
    }
    apply([&] {
        for (const QByteArray& answer : responses) {
            QByteArray key, value;
            if (!SplitAnswer(answer, key, value)) continue;
            if (const ControlDesc* d = host_.bindings.Find(key)) SetControlValue(d->control, value);
        }
    });
    return r;
}

ConfigTransfer::WriteResult ConfigTransfer::Write(const std::function<void(int)>& progress) {
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

    WriteResult r;
    if (host_.progress) host_.progress->setValue(0);
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        const ControlDesc& d = host_.bindings.At(i);
        const int result = host_.exchange.SetParam(d.key, GetControlValue(d.control));
        if (result != 1) {
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

void ConfigTransfer::Open(const QString& path) {
    const IniFile ini(path);
    // A missing file reads as empty; one that is there but unreadable must not
    // silently reset every control.
    if (!ini.Readable()) throw std::runtime_error("Unable to read " + path.toLocal8Bit().toStdString());
    apply([&] {
        for (int i = 0; i < host_.bindings.Count(); ++i) {
            QWidget* c = host_.bindings.At(i).control;
            SetControlValue(c, ini.ReadString(kSection, c->objectName().toLatin1(), ""));
        }
    });
}

void ConfigTransfer::Save(const QString& path) {
    IniFile ini(path);
    for (int i = 0; i < host_.bindings.Count(); ++i) {
        QWidget* c = host_.bindings.At(i).control;
        if (!c->isHidden()) ini.WriteString(kSection, c->objectName().toLatin1(), GetControlValue(c));
    }
    if (!ini.UpdateFile()) throw std::runtime_error("Unable to write to " + path.toLocal8Bit().toStdString());
}

QString ConfigTransfer::SaveName(const QString& chosen) {
    if (chosen.size() < 4 || chosen.right(4).toLower() != ".ini") return chosen + ".ini";
    return chosen;
}

void ConfigTransfer::btnReadClick() {
    host_.setBusy(true, "ReadStart");
    // A conversion error ends the Read at that entry; the window returns to
    // its normal state all the same.
    Guarded([this] { Read(); });
    host_.setBusy(false, "ReadEnd");
}

void ConfigTransfer::btnWriteClick() {
    host_.setBusy(true, "WriteStart");
    Guarded([this] { Write(); });
    host_.setBusy(false, "WriteEnd");
}

void ConfigTransfer::btnOpenClick() {
    const QString path = QFileDialog::getOpenFileName(host_.dialogParent, QString(), QString(), kFilter);
    if (path.isEmpty()) return;
    Guarded([&] { Open(path); });
}

void ConfigTransfer::btnSaveClick() {
    const QString chosen = QFileDialog::getSaveFileName(host_.dialogParent, QString(), QString(), kFilter);
    if (chosen.isEmpty()) return;
    Guarded([&] { Save(SaveName(chosen)); });
}
