#include "ui/pages/ThresholdPair.h"

#include "core/text/Codec.h"

#include <QLabel>
#include <QSlider>

QString formatTemp(int degrees) {
    static const QString unit = text::fromCp1250(QByteArray(1, text::kDegree) + "C");
    return QString::number(degrees) + unit;
}

void formatTempLabel(const QSlider* bar, QLabel* label) { label->setText(formatTemp(bar->value())); }

ThresholdPair::ThresholdPair(QSlider* minBar, QLabel* minLabel, QSlider* maxBar, QLabel* maxLabel)
    : min_(minBar), minLabel_(minLabel), max_(maxBar), maxLabel_(maxLabel) {}

void ThresholdPair::minChanged() {
    // setValue runs this rule again for the new position; at the end of the
    // bar's range the value cannot move and no further change is signalled.
    if (!loading_ && min_->value() > max_->value() - kGap) min_->setValue(max_->value() - kGap);
    formatTempLabel(min_, minLabel_);
}

void ThresholdPair::maxChanged() {
    if (!loading_ && max_->value() < min_->value() + kGap) max_->setValue(min_->value() + kGap);
    formatTempLabel(max_, maxLabel_);
}

void ThresholdPair::settle() {
    loading_ = false;
    maxChanged();   // the maximum is raised to keep the gap ...
    minChanged();   // ... and where the range stops it (minimum above 56) the minimum gives way
}

void ThresholdPair::formatLabels() {
    formatTempLabel(min_, minLabel_);
    formatTempLabel(max_, maxLabel_);
}
