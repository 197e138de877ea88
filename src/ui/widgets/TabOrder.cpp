#include "ui/widgets/TabOrder.h"

#include <QCoreApplication>
#include <QEvent>
#include <QScrollArea>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

// A scroll area that shows a page of controls is read through, not stopped at.
bool takesTab(const QWidget* w) {
    return (w->focusPolicy() & Qt::TabFocus) && !w->isWindow() && !qobject_cast<const QScrollArea*>(w);
}

// The children of one widget in reading order: by their middle from the top;
// those whose middles lie within half the smaller height of the first of a
// row share that row and go left to right.
std::vector<QWidget*> readingOrder(QWidget* parent) {
    std::vector<QWidget*> kids;
    for (QWidget* w : parent->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
        if (!w->isHidden() && !w->isWindow()) kids.push_back(w);
    std::stable_sort(kids.begin(), kids.end(), [](const QWidget* a, const QWidget* b) {
        return a->geometry().center().y() < b->geometry().center().y();
    });
    std::vector<QWidget*> ordered;
    for (size_t i = 0; i < kids.size();) {
        size_t j = i + 1;
        const QRect first = kids[i]->geometry();
        while (j < kids.size()) {
            const QRect r = kids[j]->geometry();
            if (r.center().y() - first.center().y() > std::min(first.height(), r.height()) / 2) break;
            ++j;
        }
        std::stable_sort(kids.begin() + i, kids.begin() + j,
                         [](const QWidget* a, const QWidget* b) { return a->geometry().x() < b->geometry().x(); });
        ordered.insert(ordered.end(), kids.begin() + i, kids.begin() + j);
        i = j;
    }
    return ordered;
}

void collect(QWidget* w, std::vector<QWidget*>& out) {
    for (QWidget* c : readingOrder(w)) {
        if (takesTab(c))
            out.push_back(c);   // its insides (a spin box's edit) follow it on their own
        else
            collect(c, out);
    }
}

}   // namespace

void orderTabsByPosition(QWidget* page) {
    // Positions as laid out: any layout still pending is done first.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    std::vector<QWidget*> chain;
    collect(page, chain);
    for (size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}
