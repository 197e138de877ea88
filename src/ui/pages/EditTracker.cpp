#include "ui/pages/EditTracker.h"

#include "ui/widgets/ControlTips.h"

#include "core/text/Codec.h"
#include "ui/widgets/Controls.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QEvent>
#include <QLabel>
#include <QLineEdit>
#include <QSlider>

EditTracker::EditTracker(const ControlDescList& bindings, QObject* parent) : QObject(parent), bindings_(bindings) {
    // Many controls change at once during a load: one comparison afterwards.
    pending_.setSingleShot(true);
    pending_.setInterval(0);
    connect(&pending_, &QTimer::timeout, this, &EditTracker::recheck);
    for (int i = 0; i < bindings_.Count(); ++i) watch(bindings_.At(i).control);
    settle();
}

void EditTracker::watch(QWidget* c) {
    auto later = [this] { pending_.start(); };
    if (auto* s = qobject_cast<SpinEdit*>(c))
        connect(s, &SpinEdit::editTextChanged, this, later);
    else if (auto* e = qobject_cast<QLineEdit*>(c))
        connect(e, &QLineEdit::textChanged, this, later);
    else if (auto* b = qobject_cast<QAbstractButton*>(c))
        connect(b, &QAbstractButton::toggled, this, later);
    else if (auto* cb = qobject_cast<QComboBox*>(c))
        connect(cb, &QComboBox::currentIndexChanged, this, later);
    else if (auto* sl = qobject_cast<QSlider*>(c))
        connect(sl, &QSlider::valueChanged, this, later);
    else if (auto* g = qobject_cast<RadioGroup*>(c))
        connect(g, &RadioGroup::itemIndexChanged, this, later);
}

void EditTracker::settle() {
    pending_.stop();
    reference_.clear();
    for (int i = 0; i < bindings_.Count(); ++i) {
        const ControlDesc& d = bindings_.At(i);
        reference_.insert(d.key, GetControlValue(d.control));
    }
    recheck();
}

QList<QByteArray> EditTracker::changedKeys() const {
    QList<QByteArray> keys;
    for (int i = 0; i < bindings_.Count(); ++i) {
        const ControlDesc& d = bindings_.At(i);
        if (GetControlValue(d.control) != reference_.value(d.key)) keys << d.key;
    }
    return keys;
}

void EditTracker::recheck() {
    pending_.stop();
    bool any = false;
    for (int i = 0; i < bindings_.Count(); ++i) {
        const ControlDesc& d = bindings_.At(i);
        const bool changed = GetControlValue(d.control) != reference_.value(d.key);
        mark(d.control, changed);
        if (describeOld) showOld(shownBy_.value(d.control, d.control), changed, reference_.value(d.key));
        any = any || changed;
    }
    if (any != modified_) {
        modified_ = any;
        emit modifiedChanged(any);
    }
    emit rechecked();
}

void EditTracker::showOld(QWidget* c, bool changed, const QByteArray& old) {
    tips::setNote(c, tips::Note::Was, changed && describeOld ? describeOld(text::fromCp1250(old)) : QString());
}

void EditTracker::mark(QWidget* c, bool changed) {
    c = shownBy_.value(c, c);
    if (c->property("kestrumChanged").toBool() == changed) return;
    c->setProperty("kestrumChanged", changed);
    showMarker(c, changed);
    // A radio group's own style sheet stops its palette reaching the buttons.
    QList<QWidget*> painted{c};
    if (auto* g = qobject_cast<RadioGroup*>(c))
        for (int i = 0; i < g->count(); ++i) painted << g->button(i);
    for (QWidget* w : painted) {
        if (!changed) {
            w->setPalette(QPalette());   // back to what it inherits
            continue;
        }
        QPalette p = w->palette();
        for (auto role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText})
            for (auto group : {QPalette::Active, QPalette::Inactive}) p.setColor(group, role, markColour());
        w->setPalette(p);
    }
}

void EditTracker::showMarker(QWidget* c, bool changed) {
    QLabel* m = markers_.value(c);
    if (!changed) {
        if (m) m->hide();
        return;
    }
    if (!m) {
        if (!c->parentWidget()) return;
        m = new QLabel(QStringLiteral("\u25C6"), c->parentWidget());
        m->setObjectName(c->objectName() + QStringLiteral("Changed"));
        m->setAttribute(Qt::WA_TransparentForMouseEvents);
        QFont f = m->font();
        f.setPointSize(7);
        m->setFont(f);
        QPalette p = m->palette();
        p.setColor(QPalette::WindowText, markColour());
        m->setPalette(p);
        m->adjustSize();
        markers_.insert(c, m);
        c->installEventFilter(this);
    }
    placeMarker(c);
    m->show();
}

void EditTracker::placeMarker(QWidget* c) {
    QLabel* m = markers_.value(c);
    m->move(qMax(0, c->x() - m->width()), c->y() + (c->height() - m->height()) / 2);
    m->raise();
}

bool EditTracker::eventFilter(QObject* watched, QEvent* e) {
    if ((e->type() == QEvent::Move || e->type() == QEvent::Resize) && watched->isWidgetType())
        if (markers_.contains(static_cast<QWidget*>(watched))) placeMarker(static_cast<QWidget*>(watched));
    return QObject::eventFilter(watched, e);
}

#include "moc_EditTracker.cpp"   // its own: a program that links one page carries no other
