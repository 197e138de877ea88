#include "ui/widgets/FocusFrame.h"

#include <QApplication>
#include <QEvent>
#include <QPainter>

FocusFrame* FocusFrame::install(QWidget* window) { return new FocusFrame(window); }

FocusFrame::FocusFrame(QWidget* window) : QWidget(window), window_(window) {
    setObjectName("focusFrame");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    hide();
    connect(qApp, &QApplication::focusChanged, this,
            [this](QWidget*, QWidget* now) { follow(now && window_->isAncestorOf(now) ? now : nullptr); });
}

void FocusFrame::follow(QWidget* control) {
    for (QWidget* w : watched_)
        if (w) w->removeEventFilter(this);
    watched_.clear();
    target_ = control;
    // The control and every widget around it: a scrolled page moves the
    // control without the control itself moving inside its parent.
    for (QWidget* w = control; w && w != window_; w = w->parentWidget()) {
        w->installEventFilter(this);
        watched_.append(w);
    }
    place();
}

void FocusFrame::place() {
    if (!target_ || !target_->isVisible()) {
        hide();
        return;
    }
    // Just outside the control, cut where a widget around it (the page's
    // scroll area) cuts the control.
    QRect r(target_->mapTo(window_, QPoint()), target_->size());
    r.adjust(-kWidth, -kWidth, kWidth, kWidth);
    for (QWidget* p = target_->parentWidget(); p && p != window_; p = p->parentWidget())
        r &= QRect(p->mapTo(window_, QPoint()), p->size());
    if (r.isEmpty()) {
        hide();
        return;
    }
    setGeometry(r);
    raise();
    show();
    update();
}

bool FocusFrame::eventFilter(QObject*, QEvent* e) {
    switch (e->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::Hide:
            place();
            break;
        default:
            break;
    }
    return false;
}

void FocusFrame::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QPen pen(window_->palette().color(QPalette::Highlight), kWidth);
    pen.setJoinStyle(Qt::MiterJoin);
    p.setPen(pen);
    p.drawRect(QRectF(rect()).adjusted(kWidth / 2.0, kWidth / 2.0, -kWidth / 2.0, -kWidth / 2.0));
}
