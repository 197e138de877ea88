#include "ui/widgets/ControlTips.h"

#include <QVariant>
#include <QWidget>

namespace tips {
namespace {

constexpr const char* kOwn = "kestrumOwnTip";
constexpr const char* kNotes[] = {"kestrumNoteNotRead", "kestrumNoteWas"};   // in the order shown

}   // namespace

QString note(const QWidget* control, Note which) { return control->property(kNotes[int(which)]).toString(); }

void setNote(QWidget* control, Note which, const QString& text) {
    if (note(control, which) == text) return;
    // The control's own tooltip is taken once, before the first note.
    if (!control->property(kOwn).isValid()) control->setProperty(kOwn, control->toolTip());
    control->setProperty(kNotes[int(which)], text.isEmpty() ? QVariant() : QVariant(text));
    QStringList lines;
    for (const char* n : kNotes)
        if (const QString t = control->property(n).toString(); !t.isEmpty()) lines << t;
    if (const QString own = control->property(kOwn).toString(); !own.isEmpty()) lines << own;
    control->setToolTip(lines.join('\n'));
}

}   // namespace tips
