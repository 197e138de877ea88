#pragma once
// A minimum and a maximum temperature track bar kept at least kGap degrees
// apart, each with a label showing its position ("36°C").
#include <QString>

class QLabel;
class QSlider;

// "40°C", "-5°C", "0°C": the position followed directly by the degree sign and C.
QString formatTemp(int degrees);
void formatTempLabel(const QSlider* bar, QLabel* label);

class ThresholdPair {
public:
    static constexpr int kGap = 4;

    ThresholdPair(QSlider* minBar, QLabel* minLabel, QSlider* maxBar, QLabel* maxLabel);

    // Run on every change of a bar's position: a bar that comes closer than
    // kGap to its partner is pushed back, then its label follows.
    void minChanged();
    void maxChanged();

    // While a pair is being loaded its bars are not pulled against each other
    // (a stored 45/55 must not become 36/55 because 40 was shown before);
    // settle() then applies the gap once to both values.
    void setLoading(bool on) { loading_ = on; }
    bool loading() const { return loading_; }
    void settle();

    void formatLabels();

    QSlider* minBar() const { return min_; }
    QSlider* maxBar() const { return max_; }
    QLabel* minLabel() const { return minLabel_; }
    QLabel* maxLabel() const { return maxLabel_; }

private:
    QSlider* min_;
    QLabel* minLabel_;
    QSlider* max_;
    QLabel* maxLabel_;
    bool loading_ = false;
};
