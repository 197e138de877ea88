#include "ui/widgets/TrendPlot.h"

#include <QElapsedTimer>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

TrendPlot::TrendPlot(QWidget* parent) : QWidget(parent) {
    now = [] {
        static QElapsedTimer clock;
        if (!clock.isValid()) clock.start();
        return clock.elapsed();
    };
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void TrendPlot::addSample(double value) {
    const qint64 t = now();
    samples_.push_back({t, value});
    dropOld(t);
    update();
}

void TrendPlot::clear() {
    samples_.clear();
    update();
}

void TrendPlot::dropOld(qint64 t) {
    while (!samples_.empty() && t - samples_.front().at > kSpanMs) samples_.pop_front();
}

double TrendPlot::lowest() const {
    double v = samples_.empty() ? 0 : samples_.front().value;
    for (const Sample& s : samples_) v = std::min(v, s.value);
    return v;
}

double TrendPlot::highest() const {
    double v = samples_.empty() ? 0 : samples_.front().value;
    for (const Sample& s : samples_) v = std::max(v, s.value);
    return v;
}

void TrendPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRectF area = QRectF(rect()).adjusted(1, 2, -2, -2);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(area);
    if (samples_.size() < 2) return;
    const qint64 end = now();
    const double lo = lowest(), hi = highest();
    const double range = hi > lo ? hi - lo : 1;
    QPainterPath line;
    for (size_t i = 0; i < samples_.size(); ++i) {
        const Sample& s = samples_[i];
        const double x = area.right() - area.width() * double(end - s.at) / double(kSpanMs);
        const double y = area.bottom() - area.height() * (hi > lo ? (s.value - lo) / range : 0.5);
        if (i == 0)
            line.moveTo(x, y);
        else
            line.lineTo(x, y);
    }
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(isEnabled() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid), 1.5));
    p.drawPath(line);
}
