#pragma once
// A small picture of one value over the last minutes: the samples as a line,
// newest on the right, with the newest value and the lowest and highest of the
// window written at the right edge in the value's unit. The height spans at
// least a minimum range, so that small noise stays a nearly flat line. Values
// older than the span leave the picture. Pointing at the line tells the time
// and value of the nearest sample.
//
// While disabled (the values are stale) the picture stops where the values
// were last heard of, and the caption says when that was.
#include <QDateTime>
#include <QString>
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
    // The time of day a sample is stamped with; tests set their own.
    std::function<QDateTime()> wallClock;

    // How values are written: shown = sample * scale, with this many decimals
    // and this unit (" V"); the height spans at least minSpan shown units.
    struct Format {
        double scale = 1;
        int decimals = 0;
        QString unit;
        double minSpan = 1;
    };
    void setFormat(const Format& f);
    const Format& format() const { return format_; }

    // The words around the numbers, in the window's language: the time caption
    // ("last 10 min"), the stale caption ("last update %1", %1 = HH:mm), and
    // "max %1" / "min %1" (%1 = the value with its unit).
    struct Texts {
        QString window = "last 10 min";
        QString lastUpdate = "last update %1";
        QString max = "max %1";
        QString min = "min %1";
    };
    void setTexts(const Texts& t);

    void addSample(double value);
    // The value was heard of again, unchanged (addSample does this too).
    void markHeard();
    void clear();
    int sampleCount() const { return int(samples_.size()); }
    double lowest() const;
    double highest() const;

    // A sample value as written, with its unit ("12.4 V").
    QString valueText(double value) const;
    // The texts at the right edge and under the picture, top to bottom:
    // max, newest, min, caption. Empty without samples (the caption stays).
    QStringList edgeTexts() const;
    // The tooltip at a point of the widget: time (HH:mm:ss) and value of the
    // sample nearest to it; empty outside the picture or without samples.
    QString toolTipAt(const QPoint& pos) const;
    // Where the line is drawn.
    QRectF plotArea() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* e) override;
    void changeEvent(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    struct Sample {
        qint64 at;
        QDateTime when;
        double value;
    };
    void dropOld(qint64 t);
    qint64 endTime() const;
    int textColumnWidth() const;
    QString caption() const;
    double xOf(qint64 at, qint64 end, const QRectF& area) const;

    std::deque<Sample> samples_;
    qint64 heardAt_ = 0;
    QDateTime heardWhen_;
    Format format_;
    Texts texts_;
};
