#pragma once
// Errors that reach the user: a conversion error, a file that cannot be
// written, a setting that cannot be stored. Handlers catch at their edge and
// show the message here; tests replace the sink to read what was shown.
#include <QString>

#include <functional>

class QWidget;

using ErrorSink = std::function<void(const QString& message)>;
// The current sink; by default a critical message box for a failure and a
// warning box for the user's own mistake (see shownKind()).
ErrorSink& errorSink();
void ShowError(const QString& message);

// What the message being shown reports: something that failed, or a step the
// user got wrong (an empty field, a wrong file) and can put right.
enum class ErrorKind { Failure, Mistake };
// The kind of the message the sink is showing now; Failure outside a sink call.
ErrorKind shownKind();
void ShowMistake(const QString& message);

// Runs a handler body and shows any exception it throws, so the event loop goes on.
void Guarded(const std::function<void()>& body);
