#pragma once
// A setting's control can carry notes in its tooltip besides its own text:
// the value before the user's change, "not read" after a cut Read. Each note
// is set and cleared on its own; the tooltip is always the notes there are
// now, one per line, followed by the control's own text.
#include <QString>

class QWidget;

namespace tips {

enum class Note { NotRead, Was };
// Sets (or, with an empty text, clears) one note and shows the tooltip anew.
void setNote(QWidget* control, Note note, const QString& text);
QString note(const QWidget* control, Note note);

}   // namespace tips
