#include "ui/window/AppIcon.h"

#include <QPainter>
#include <QPixmap>

namespace {

QPixmap paint(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);   // drawn on the SVG's 64 x 64 grid
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x4e, 0x79));
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(12, 38, 9, 14), 2, 2);
    p.drawRoundedRect(QRectF(27, 28, 9, 24), 2, 2);
    p.drawRoundedRect(QRectF(42, 18, 9, 34), 2, 2);
    p.setBrush(QColor(0xf3, 0x9c, 0x12));
    p.drawEllipse(QPointF(16.5, 18), 6, 6);
    return pm;
}

}   // namespace

QIcon kestrumIcon() {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) icon.addPixmap(paint(size));
    return icon;
}
