#include "ui/widgets/Bindings.h"

#include "core/text/Codec.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/TextInput.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>

#include <cstring>

void ControlDescList::Add(const QByteArray& key, QWidget* control) {
    items_.append(std::make_shared<ControlDesc>(ControlDesc{key, control}));
}

const ControlDesc* ControlDescList::Find(const QByteArray& key) const {
    for (const auto& d : items_)
        if (d->key == key) return d.get();
    return nullptr;
}

namespace {

bool is(QWidget* w, const char* cls) { return std::strcmp(w->metaObject()->className(), cls) == 0; }

int indexValue(const QByteArray& v) { return v.isEmpty() ? 0 : text::strToInt(v); }

}   // namespace

void SetControlValue(QWidget* c, const QByteArray& v) {
    if (is(c, "QLabel")) {
        static_cast<QLabel*>(c)->setText(text::fromCp1250(v));
    } else if (is(c, "QLineEdit")) {
        static_cast<QLineEdit*>(c)->setText(text::fromCp1250(v));
    } else if (is(c, "SpinEdit")) {
        static_cast<SpinEdit*>(c)->setEditText(text::fromCp1250(v));
    } else if (is(c, "QCheckBox")) {
        static_cast<QCheckBox*>(c)->setChecked(v != "0");
    } else if (is(c, "QComboBox")) {
        auto* cb = static_cast<QComboBox*>(c);
        const int i = indexValue(v);
        cb->setCurrentIndex(i >= 0 && i < cb->count() ? i : -1);
    } else if (is(c, "QSlider")) {
        static_cast<QSlider*>(c)->setValue(indexValue(v));   // the bar clamps to its range
    } else if (is(c, "RadioGroup")) {
        static_cast<RadioGroup*>(c)->setItemIndex(indexValue(v));
    }
}

QByteArray GetControlValue(QWidget* c) {
    if (is(c, "QLabel")) return text::toCp1250(static_cast<QLabel*>(c)->text());
    if (is(c, "QLineEdit")) return text::toCp1250(static_cast<QLineEdit*>(c)->text());
    if (is(c, "SpinEdit")) return text::toCp1250(static_cast<SpinEdit*>(c)->editText());
    if (is(c, "QCheckBox")) return static_cast<QCheckBox*>(c)->isChecked() ? "1" : "0";
    if (is(c, "QComboBox")) return QByteArray::number(static_cast<QComboBox*>(c)->currentIndex());
    if (is(c, "QSlider")) return QByteArray::number(static_cast<QSlider*>(c)->value());
    if (is(c, "RadioGroup")) return QByteArray::number(static_cast<RadioGroup*>(c)->itemIndex());
    return {};
}

QString SendProblem(QWidget* c) {
    if (is(c, "QLabel")) return ModuleTextProblem(static_cast<QLabel*>(c)->text());
    if (is(c, "QLineEdit")) return ModuleTextProblem(static_cast<QLineEdit*>(c)->text());
    if (is(c, "SpinEdit")) return ModuleTextProblem(static_cast<SpinEdit*>(c)->editText());
    return {};   // numbers and check marks
}

QByteArray ControlName(const QWidget* control) { return control->objectName().toLatin1(); }

bool TakesInteger(const QWidget* c) {
    const char* cls = c->metaObject()->className();
    return std::strcmp(cls, "QComboBox") == 0 || std::strcmp(cls, "QSlider") == 0 ||
           std::strcmp(cls, "RadioGroup") == 0;
}
