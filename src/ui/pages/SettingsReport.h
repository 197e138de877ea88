#pragma once
// The settings as a person reads them: each setting's caption and value as
// the Settings page shows them, in the page's language, and the commissioning
// report built from them (an HTML text for QTextDocument, printed or written
// as PDF by Qt).
#include "ui/lang/Messages.h"

#include <QDateTime>
#include <QPageLayout>
#include <QString>

#include <functional>

class QWidget;
class SettingsPage;

namespace report {

using MessageFn = std::function<QString(lang::Msg)>;

// The caption of the setting shown by control: the titles of the boxes around
// it and the headings of its row and column, joined by " › ".
QString caption(const SettingsPage& page, QWidget* control);
// Its value as the page shows it: Yes/No for a check box, the chosen item's
// text for a choice, the degrees of a threshold.
QString shownValue(const SettingsPage& page, QWidget* control, const MessageFn& message);

struct Facts {
    QDateTime when;   // the report's date
    // The module's own values, empty when none was connected; each with its
    // caption as the Status page shows it.
    QList<QPair<QString, QString>> module;
    QString serial;   // the USB module's serial number; empty: not known
    // Where the values came from, each only where it holds for every value
    // shown: read from the module, written to it, or the settings file as
    // saved. None of them: the window's values, not saved.
    QDateTime readAt;
    QDateTime writtenAt;
    QString file;
    QDateTime fileSaved;
};

// The whole report: title, date, source, the module, every setting grouped as
// on the page (the events and each relay's events as their matrix), and room
// for a signature.
QString html(const SettingsPage& page, const MessageFn& message, const Facts& facts);
// The PDF's title: the report's, with the settings file's name or the date.
QString title(const MessageFn& message, const Facts& facts);
// The report's file name: the settings file's with ".pdf", else one with the
// date, in the settings file's folder (else in folder).
QString proposedName(const QString& settingsFile, const QString& folder, const QDate& date);
// Writes it as a PDF file (A4, or the layout given); false with the system's
// reason on failure. The file is replaced only once the whole PDF is written
// and checked: a full disk leaves the old file as it was. A device (such as
// /dev/stdout) is written directly; anything else that is no regular file is
// refused.
bool writePdf(const QString& html, const QString& path, QString* why, const QPageLayout& layout = {},
              const QString& title = QStringLiteral("Kestrum"));
// The data is a whole PDF: its header, and the end-of-file trailer.
bool isCompletePdf(const QByteArray& data);

}   // namespace report
