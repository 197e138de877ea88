#include "ui/widgets/ErrorBox.h"

#include "core/text/Codec.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

namespace {
ErrorKind kind = ErrorKind::Failure;
}   // namespace

ErrorSink& errorSink() {
    static ErrorSink sink = [](const QString& m) {
        if (shownKind() == ErrorKind::Mistake)
            QMessageBox::warning(QApplication::activeWindow(), QApplication::applicationName(), m);
        else
            QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), m);
    };
    return sink;
}

ErrorKind shownKind() { return kind; }

void ShowError(const QString& message) {
    if (errorSink()) errorSink()(message);
}

void ShowMistake(const QString& message) {
    const ErrorKind before = kind;
    kind = ErrorKind::Mistake;
    ShowError(message);
    kind = before;
}

void Guarded(const std::function<void()>& body) {
    try {
        body();
    } catch (const text::ConvertError& e) {
        ShowError(QString("'%1' is not a valid integer value").arg(text::fromCp1250(e.text)));
    } catch (const std::exception& e) {
        ShowError(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ShowError(QString());
    }
}
