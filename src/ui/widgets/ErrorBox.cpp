#include "ui/widgets/ErrorBox.h"

#include "core/text/Codec.h"

#include <QApplication>
#include <QMessageBox>

#include <exception>

ErrorSink& errorSink() {
    static ErrorSink sink = [](const QString& m) {
        QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(), m);
    };
    return sink;
}

void ShowError(const QString& message) {
    if (errorSink()) errorSink()(message);
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
