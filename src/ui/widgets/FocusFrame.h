#pragma once
// A clearly visible frame around the control that has the keyboard focus in
// one window, whatever the style draws itself: a line in the palette's
// highlight colour drawn just outside the control, above its neighbours, that
// follows it as it moves and lets every mouse click through.
#include <QList>
#include <QPointer>
#include <QWidget>

class FocusFrame : public QWidget {
public:
    // Frames the focus inside window from now on; owned by window.
    static FocusFrame* install(QWidget* window);
    // The control framed now, or null.
    QWidget* framed() const { return target_; }

protected:
    void paintEvent(QPaintEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    explicit FocusFrame(QWidget* window);
    void follow(QWidget* control);
    void place();

    QWidget* window_;
    QPointer<QWidget> target_;
    QList<QPointer<QWidget>> watched_;   // the target and the widgets around it
    static constexpr int kWidth = 2;
};
