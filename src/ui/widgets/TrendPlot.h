#pragma once
// A small picture of one value over the last minutes: the samples as a line,
// scaled between their own lowest and highest, newest on the right. Values
// older than the span leave the picture.
#include <QWidget>

#include <deque>
#include <functional>

class TrendPlot : public QWidget {
    Q_OBJECT
public:
    explicit TrendPlot(QWidget* parent = nullptr);

    static constexpr qint64 kSpanMs = 10 * 60 * 1000;   // ten minutes

    // Milliseconds of a steady clock; tests set their own.
    std::function<qint64()> now;

    void addSample(double value);
    void clear();
    int sampleCount() const { return int(samples_.size()); }
    double lowest() const;
    double highest() const;

    QSize sizeHint() const override { return {160, 36}; }
    QSize minimumSizeHint() const override { return {60, 24}; }

protected:
    void paintEvent(QPaintEvent* e) override;

private:
    struct Sample {
        qint64 at;
        double value;
    };
    void dropOld(qint64 t);
    std::deque<Sample> samples_;
};
