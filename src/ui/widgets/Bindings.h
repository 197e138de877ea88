#pragma once
// One parameter key bound to one control of the main window, the two ordered
// lists of them, and the single conversion between a parameter's text and a
// control's state.
#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>

class QWidget;

struct ControlDesc {
    QByteArray key;     // as sent on the wire; compared case-sensitively
    QWidget* control;   // not owned
};

// Ordered, append-only; owns its records.
class ControlDescList {
public:
    void Add(const QByteArray& key, QWidget* control);
    int Count() const { return int(items_.size()); }
    const ControlDesc& At(int i) const { return *items_[i]; }
    // The first entry whose key equals the text exactly, or null.
    const ControlDesc* Find(const QByteArray& key) const;

private:
    QList<std::shared_ptr<ControlDesc>> items_;
};

// Applies protocol text to a control, by the control's exact class. A text
// that is not an integer, given to a combo box, track bar or radio group,
// throws text::ConvertError.
void SetControlValue(QWidget* control, const QByteArray& value);
// The control's state as protocol text; empty for a class it does not know.
QByteArray GetControlValue(QWidget* control);
// The control's name, as the settings file and the translations key on it.
QByteArray ControlName(const QWidget* control);
// Whether the control's value is an index or a position (a combo box, a
// track bar, a radio group): its text must then be an integer.
bool TakesInteger(const QWidget* control);
// Empty when GetControlValue of the control can go to the module as it is;
// otherwise what stands in the way (a control character, '#"', a character
// outside the module's code page).
QString SendProblem(QWidget* control);
