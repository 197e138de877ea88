#include "cli/Internal.h"
#include "cli/Tool.h"

#include "core/config/ParamTable.h"
#include "core/text/Codec.h"
#include "ui/pages/SettingsReport.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>

namespace cli {

int Tool::doReport() {
    report::Facts facts;
    facts.when = QDateTime::currentDateTime();
    int rc;
    if (!positional_.isEmpty()) {
        facts.file = QDir::toNativeSeparators(positional_[0]);
        facts.fileSaved = QFileInfo(positional_[0]).lastModified();
        rc = openSettings(positional_[0]);
        // A snapshot was saved when it was stored.
        if (rc == Ok && isReference(positional_[0]))
            if (const auto snap = database()->snapshot(openedSnapshot_)) facts.fileSaved = snap->created.toLocalTime();
    } else {
        rc = connect();
        if (rc == Ok) rc = readModule();
        facts.readAt = QDateTime::currentDateTime();
        if (session_) facts.serial = session_->moduleSerial();
        QList<QPair<QByteArray, QByteArray>> pairs;
        if (rc == Ok) rc = collectStatus(pairs);
        // The module's type, versions and uptime, captioned as on the Status page.
        std::vector<StatusDef> defs = statusParams();
        defs.insert(defs.end(), modemStatusQueries().begin(), modemStatusQueries().end());
        for (const char* caption : {"lbViType", "lbViHwVer", "lbViFwVer", "lbStUptime"})
            for (const StatusDef& d : defs)
                for (const auto& [key, value] : pairs)
                    if (d.control == QByteArray(caption) + "Value" && d.key == key)
                        facts.module.append(
                            {form().lang->Text(caption).remove(QLatin1Char(':')).trimmed(), text::fromCp1250(value)});
    }
    if (rc != Ok) return rc;
    const auto messageFn = [this](lang::Msg m) { return message(m); };
    const QString html = report::html(*form().page, messageFn, facts);
    QString why;
    if (!report::writePdf(html, p_.value("pdf"), &why, {}, report::title(messageFn, facts))) {
        say("cannot write %s: %s", p_.value("pdf").toLocal8Bit(), why.toLocal8Bit());
        return FileError;
    }
    return Ok;
}

}   // namespace cli
