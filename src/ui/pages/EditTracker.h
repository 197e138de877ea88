#pragma once
// Which settings the user changed since the values were last settled (a Read,
// Open, Write or Save that went through). Changed controls are marked in a
// colour of their own, and the window is told when the set of settings goes
// from unchanged to changed and back.
#include "ui/widgets/Bindings.h"

#include <QHash>
#include <QObject>
#include <QTimer>

#include <functional>

class QLabel;

class EditTracker : public QObject {
    Q_OBJECT
public:
    explicit EditTracker(const ControlDescList& bindings, QObject* parent = nullptr);

    // The values shown now are the reference from here on.
    void settle();
    bool modified() const { return modified_; }
    QList<QByteArray> changedKeys() const;
    // Compares at once (otherwise done once the current event has been handled).
    void recheck();

    // Burnt orange: apart from the style's blue focus and selection.
    static QColor markColour() { return QColor(176, 70, 0); }
    // The tooltip of a changed control, given its old value ("was: ALARM1").
    // Unset: no tooltip.
    std::function<QString(const QString& old)> describeOld;
    // A setting kept in a hidden control is marked on the control that shows it.
    void markOn(QWidget* hidden, QWidget* shown) { shownBy_.insert(hidden, shown); }

signals:
    void modifiedChanged(bool modified);
    // Each comparison, changed or not.
    void rechecked();

private:
    void watch(QWidget* control);
    void mark(QWidget* control, bool changed);
    void showOld(QWidget* control, bool changed, const QByteArray& old);
    // A mark that does not depend on colour or text: a diamond left of the
    // control (named after it, "…Changed"), kept beside it as it moves.
    void showMarker(QWidget* control, bool changed);
    void placeMarker(QWidget* control);
    bool eventFilter(QObject* watched, QEvent* e) override;

    const ControlDescList& bindings_;
    QHash<QByteArray, QByteArray> reference_;
    QHash<QWidget*, QWidget*> shownBy_;
    QHash<QWidget*, QLabel*> markers_;
    QTimer pending_;
    bool modified_ = false;
};
