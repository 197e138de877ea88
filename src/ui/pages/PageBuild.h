#pragma once
// Small helpers for building the Settings page: every control gets its
// objectName at creation, so the binding table and the translation tables
// find it by name.
#include "ui/widgets/TextInput.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QString>

namespace settings_ui {

template <class W>
W* named(W* w, const QString& name) {
    w->setObjectName(name);
    return w;
}

inline QLabel* label(QWidget* parent, const QString& name, const QString& caption) {
    return named(new QLabel(caption, parent), name);
}

inline QCheckBox* checkBox(QWidget* parent, const QString& name, const QString& caption = {}) {
    return named(new QCheckBox(caption, parent), name);
}

inline QRadioButton* radio(QWidget* parent, const QString& name, const QString& caption) {
    return named(new QRadioButton(caption, parent), name);
}

inline QGroupBox* group(QWidget* parent, const QString& name, const QString& caption = {}) {
    return named(new QGroupBox(caption, parent), name);
}

// Every edit of the page holds text for the module: it takes only what can be sent.
inline QLineEdit* edit(QWidget* parent, const QString& name, int typingLimit = 0) {
    auto* e = named(new QLineEdit(parent), name);
    AcceptModuleTextOnly(e, typingLimit);
    return e;
}

// A temperature threshold bar: whole degrees -20 ... 60, a tick every 5.
inline QSlider* tempBar(QWidget* parent, const QString& name) {
    auto* bar = named(new QSlider(Qt::Horizontal, parent), name);
    bar->setRange(-20, 60);
    bar->setTickInterval(5);
    bar->setTickPosition(QSlider::TicksBelow);
    bar->setPageStep(5);
    return bar;
}

// A control that only carries a code for visible choices: never shown, kept
// out of every layout. Save skips it because its own visibility flag is clear.
template <class W>
W* hidden(W* w) {
    w->setVisible(false);
    return w;
}

}   // namespace settings_ui
