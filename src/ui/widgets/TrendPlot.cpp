#include "ui/widgets/TrendPlot.h"

#include <QElapsedTimer>
#include <QHelpEvent>
#include <QPainter>
#include <QPainterPath>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

constexpr int kGap = 6;       // between the picture and the texts beside it
constexpr int kPadding = 3;   // inside the picture, above and below the line

QFont captionFont(const QFont& f) {
    QFont c = f;
    c.setBold(false);
    c.setPointSizeF(f.pointSizeF() > 0 ? f.pointSizeF() * 0.85 : 8);
    return c;
}

QFont newestFont(const QFont& f) {
    QFont c = f;
    c.setBold(true);
    return c;
}

QFont edgeFont(const QFont& f) {
    QFont c = f;
    c.setBold(false);
    return c;
}

}   // namespace

TrendPlot::TrendPlot(QWidget* parent) : QWidget(parent) {
    now = [] {
        static QElapsedTimer clock;
        if (!clock.isValid()) clock.start();
        return clock.elapsed();
    };
    wallClock = [] { return QDateTime::currentDateTime(); };
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void TrendPlot::setFormat(const Format& f) {
    format_ = f;
    updateGeometry();
    update();
}

void TrendPlot::setTexts(const Texts& t) {
    texts_ = t;
    update();
}

void TrendPlot::addSample(double value) {
    const qint64 t = now();
    samples_.push_back({t, wallClock(), value});
    dropOld(t);
    heardAt_ = t;
    heardWhen_ = samples_.back().when;
    update();
}

void TrendPlot::markHeard() {
    heardAt_ = now();
    heardWhen_ = wallClock();
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

QString TrendPlot::valueText(double value) const {
    return QString::number(value * format_.scale, 'f', format_.decimals) + format_.unit;
}

// Stale values are drawn as they were when last heard of.
qint64 TrendPlot::endTime() const {
    if (!isEnabled() && !samples_.empty()) return heardAt_;
    return now();
}

QString TrendPlot::caption() const {
    if (!isEnabled() && !samples_.empty()) return texts_.lastUpdate.arg(heardWhen_.toString(QStringLiteral("HH:mm")));
    return texts_.window;
}

QStringList TrendPlot::edgeTexts() const {
    if (samples_.empty()) return {QString(), QString(), QString(), caption()};
    return {texts_.max.arg(valueText(highest())), valueText(samples_.back().value), texts_.min.arg(valueText(lowest())),
            caption()};
}

int TrendPlot::textColumnWidth() const {
    const QFontMetrics edge(edgeFont(font())), newest(newestFont(font()));
    // Room for a value as wide as any the picture is likely to show, the same
    // in every plot, so that plots line up and do not jump as numbers change.
    const QString wide = QStringLiteral("-88.8 ") + QChar(0x00B0) + QLatin1Char('C');
    int w = std::max(edge.horizontalAdvance(texts_.max.arg(wide)), edge.horizontalAdvance(texts_.min.arg(wide)));
    const QStringList t = edgeTexts();
    w = std::max({w, edge.horizontalAdvance(t[0]), newest.horizontalAdvance(t[1]), edge.horizontalAdvance(t[2])});
    return w;
}

QRectF TrendPlot::plotArea() const {
    const int captionHeight = QFontMetrics(captionFont(font())).height();
    return QRectF(0.5, 0.5, std::max(10, width() - textColumnWidth() - kGap) - 1.0,
                  std::max(10, height() - captionHeight - 1) - 1.0);
}

double TrendPlot::xOf(qint64 at, qint64 end, const QRectF& area) const {
    return area.right() - area.width() * double(end - at) / double(kSpanMs);
}

QSize TrendPlot::sizeHint() const {
    const QFontMetrics edge(edgeFont(font())), newest(newestFont(font()));
    const int h = 2 * edge.height() + newest.height() + QFontMetrics(captionFont(font())).height() + 2;
    return {textColumnWidth() + kGap + 200, h};
}

QSize TrendPlot::minimumSizeHint() const { return {textColumnWidth() + kGap + 60, sizeHint().height()}; }

QString TrendPlot::toolTipAt(const QPoint& pos) const {
    const QRectF area = plotArea();
    if (samples_.empty() || !area.contains(pos)) return QString();
    const qint64 end = endTime();
    const qint64 at = end - qint64((area.right() - pos.x()) / area.width() * double(kSpanMs));
    const Sample* best = &samples_.front();
    for (const Sample& s : samples_)
        if (std::llabs(s.at - at) < std::llabs(best->at - at)) best = &s;
    return best->when.toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("  ") + valueText(best->value);
}

bool TrendPlot::event(QEvent* e) {
    if (e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        const QString text = toolTipAt(help->pos());
        if (text.isEmpty()) {
            QToolTip::hideText();
            e->ignore();
        } else {
            QToolTip::showText(help->globalPos(), text, this);
        }
        return true;
    }
    return QWidget::event(e);
}

void TrendPlot::changeEvent(QEvent* e) {
    if (e->type() == QEvent::EnabledChange || e->type() == QEvent::FontChange) {
        updateGeometry();
        update();
    }
    QWidget::changeEvent(e);
}

void TrendPlot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRectF area = plotArea();
    p.setPen(palette().color(QPalette::Mid));
    p.setBrush(palette().color(QPalette::Base));
    p.drawRect(area);

    // The texts: max at the top, the newest in the middle, min at the bottom
    // of the right edge; the caption under the picture.
    const QStringList texts = edgeTexts();
    const QRectF column(area.right() + kGap, 0, width() - area.right() - kGap, area.bottom() + 1);
    p.setPen(palette().color(QPalette::WindowText));
    p.setFont(edgeFont(font()));
    p.drawText(column, Qt::AlignLeft | Qt::AlignTop, texts[0]);
    p.drawText(column, Qt::AlignLeft | Qt::AlignBottom, texts[2]);
    p.setFont(newestFont(font()));
    p.drawText(column, Qt::AlignLeft | Qt::AlignVCenter, texts[1]);
    p.setFont(captionFont(font()));
    p.drawText(QRectF(area.left(), area.bottom() + 1, area.width(), height() - area.bottom() - 1),
               Qt::AlignLeft | Qt::AlignVCenter, texts[3]);
    if (samples_.empty()) return;

    // The height spans at least the minimum range, centred on the values.
    const double lo = lowest() * format_.scale, hi = highest() * format_.scale;
    const double span = std::max(hi - lo, format_.minSpan);
    const double bottom = (lo + hi) / 2 - span / 2;
    const QRectF inner = area.adjusted(1, kPadding, -1, -kPadding);
    auto yOf = [&](double value) {
        // Whole pixels: a flat stretch is a crisp line two pixels high.
        return std::round(inner.bottom() - inner.height() * (value * format_.scale - bottom) / span);
    };

    // Each value holds until the next; the newest until now.
    const qint64 end = endTime();
    QPainterPath line;
    double y = yOf(samples_.front().value);
    line.moveTo(std::max(inner.left(), xOf(samples_.front().at, end, inner)), y);
    for (size_t i = 1; i < samples_.size(); ++i) {
        const double x = xOf(samples_[i].at, end, inner);
        line.lineTo(x, y);
        y = yOf(samples_[i].value);
        line.lineTo(x, y);
    }
    line.lineTo(inner.right(), y);
    p.setClipRect(area);
    p.setRenderHint(QPainter::Antialiasing);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(isEnabled() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid), 2, Qt::SolidLine,
                  Qt::FlatCap, Qt::MiterJoin));
    p.drawPath(line);
}

#include "moc_TrendPlot.cpp"   // its own: a program without plots carries none
