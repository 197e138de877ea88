#include "ui/widgets/Buddies.h"

#include <QGridLayout>
#include <QLabel>
#include <QWidget>

namespace {

QWidget* rightOf(QGridLayout* grid, int row, int column) {
    for (int c = column + 1; c < grid->columnCount(); ++c) {
        QLayoutItem* item = grid->itemAtPosition(row, c);
        QWidget* w = item ? item->widget() : nullptr;
        if (!w || w == grid->itemAtPosition(row, column)->widget()) continue;   // empty, or the label spans here
        if (qobject_cast<QLabel*>(w)) return nullptr;
        if (w->focusPolicy() != Qt::NoFocus) return w;
        // A container (a group of radio buttons): its first control that takes the focus.
        for (QWidget* child : w->findChildren<QWidget*>())
            if (child->focusPolicy() != Qt::NoFocus) return child;
    }
    return nullptr;
}

}   // namespace

void linkCaptions(QWidget* root) {
    for (QGridLayout* grid : root->findChildren<QGridLayout*>()) {
        for (int i = 0; i < grid->count(); ++i) {
            auto* caption = qobject_cast<QLabel*>(grid->itemAt(i)->widget());
            if (!caption || caption->buddy() || caption->objectName().startsWith('_')) continue;
            int row, column, rowSpan, columnSpan;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            if (QWidget* control = rightOf(grid, row, column + columnSpan - 1)) caption->setBuddy(control);
        }
    }
}
