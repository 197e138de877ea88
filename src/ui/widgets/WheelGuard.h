#pragma once
// The mouse wheel scrolls the page; it never edits a value the user has not
// chosen. Spin boxes, combo boxes and sliders under a root widget take the
// focus only from a click or the Tab key, and a wheel turned over one of them
// while it has no focus scrolls the scroll area around it instead.
#include <QObject>

class QWidget;

class WheelGuard : public QObject {
public:
    // Guards every value control under root now; owned by root.
    static void install(QWidget* root);

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    using QObject::QObject;
};
