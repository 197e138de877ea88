#pragma once
// Errors that reach the user: a conversion error, a file that cannot be
// written, a setting that cannot be stored. Handlers catch at their edge and
// show the message here; tests replace the sink to read what was shown.
#include <QString>

#include <functional>

class QWidget;

using ErrorSink = std::function<void(const QString& message)>;
// The current sink; by default a critical message box.
ErrorSink& errorSink();
void ShowError(const QString& message);

// Runs a handler body and shows any exception it throws, so the event loop goes on.
void Guarded(const std::function<void()>& body);
