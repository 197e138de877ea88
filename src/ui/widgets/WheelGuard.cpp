#include "ui/widgets/WheelGuard.h"

#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QScrollBar>
#include <QWidget>

void WheelGuard::install(QWidget* root) {
    auto* guard = new WheelGuard(root);
    const auto guardAll = [guard](auto kind) {
        using Control = std::remove_pointer_t<decltype(kind)>;
        for (Control* c : guard->parent()->findChildren<Control*>()) {
            if (qobject_cast<QScrollBar*>(c)) continue;   // the scrolling itself
            c->setFocusPolicy(Qt::StrongFocus);
            c->installEventFilter(guard);
        }
    };
    guardAll(static_cast<QAbstractSpinBox*>(nullptr));
    guardAll(static_cast<QComboBox*>(nullptr));
    guardAll(static_cast<QAbstractSlider*>(nullptr));
}

bool WheelGuard::eventFilter(QObject* watched, QEvent* e) {
    auto* w = static_cast<QWidget*>(watched);
    if (e->type() != QEvent::Wheel || w->hasFocus()) return false;
    // The scroll area around the control scrolls; with none, nothing moves.
    for (QWidget* p = w->parentWidget(); p; p = p->parentWidget())
        if (auto* area = qobject_cast<QAbstractScrollArea*>(p)) return QCoreApplication::sendEvent(area->viewport(), e);
    return true;
}
