#include "ui/pages/SettingsReport.h"

#include "core/config/ParamTable.h"
#include "core/config/WholeFile.h"
#include "core/text/Codec.h"
#include "ui/pages/SettingsPage.h"
#include "ui/pages/ThresholdPair.h"
#include "ui/widgets/Controls.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPdfWriter>
#include <QRadioButton>
#include <QSlider>
#include <QTextDocument>

#include <algorithm>
#include <utility>

namespace report {
namespace {

const QString kJoin = QStringLiteral(" \u203a ");

// A caption as a heading of its own: one line, no trailing colon.
QString clean(QString s) {
    s = s.simplified();
    while (s.endsWith(':')) s.chop(1);
    return s.trimmed();
}

QString textOf(const QWidget* w) {
    if (auto* l = qobject_cast<const QLabel*>(w)) return clean(l->text());
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return clean(b->text());
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return clean(g->title());
    return {};
}

QGridLayout* gridHolding(QLayout* layout, QWidget* w) {
    if (!layout) return nullptr;
    if (auto* g = qobject_cast<QGridLayout*>(layout); g && g->indexOf(w) >= 0) return g;
    for (int i = 0; i < layout->count(); ++i)
        if (QGridLayout* g = gridHolding(layout->itemAt(i)->layout(), w)) return g;
    return nullptr;
}

// A control in a grid is named by the caption at the start of its row and by
// the one-column headings above it (the event matrix: "01. IN1 Alarm › T1").
QString gridCaption(QWidget* w) {
    QGridLayout* grid = w->parentWidget() ? gridHolding(w->parentWidget()->layout(), w) : nullptr;
    if (!grid) return {};
    int row, col, rowSpan, colSpan;
    grid->getItemPosition(grid->indexOf(w), &row, &col, &rowSpan, &colSpan);
    QStringList parts;
    if (QLayoutItem* first = grid->itemAtPosition(row, 0); first && first->widget() != w && col > 0)
        parts << textOf(first->widget());
    QStringList headings;
    for (int r = 0; r < row; ++r) {
        QLayoutItem* item = grid->itemAtPosition(r, col);
        auto* heading = item ? qobject_cast<QLabel*>(item->widget()) : nullptr;
        if (!heading) continue;
        int hr, hc, hrs, hcs;
        grid->getItemPosition(grid->indexOf(heading), &hr, &hc, &hrs, &hcs);
        if (hcs == 1 && hr == r && !textOf(heading).isEmpty()) headings << textOf(heading);
    }
    if (!headings.isEmpty()) parts << headings.join(' ');
    parts.removeAll(QString());
    return parts.join(kJoin);
}

// Settings whose control has no caption of its own (hidden codes, the
// sensor box over an input's radio column) are named by another widget.
QWidget* namedBy(const SettingsPage& page, const QString& name) {
    if (name == QLatin1String("_edIN1")) return page.control("lbIN1");
    if (name == QLatin1String("_edIN2")) return page.control("lbIN2");
    if (name == QLatin1String("cbTempSens")) return page.control("lbTempSens");
    for (const char* r : {"1", "2"}) {
        const QString relay = QStringLiteral("Relay") + r;
        if (name == "_cb" + relay + "Timed") return page.control(qPrintable("gb" + relay));
        if (name == "_ed" + relay + "Control") return page.control(qPrintable("gb" + relay + "Control"));
        if (name == "_ed" + relay + "TempInOut")
            return page.control(qPrintable("rb" + relay + "TempIn"))->parentWidget();
    }
    return nullptr;
}

// The widget whose radio buttons show a hidden code's value.
QWidget* choicesOf(const SettingsPage& page, const QString& name) {
    for (const char* r : {"1", "2"}) {
        const QString relay = QStringLiteral("Relay") + r;
        if (name == "_cb" + relay + "Timed") return page.control(qPrintable("rb" + relay + "Timed"))->parentWidget();
        if (name == "_ed" + relay + "Control") return page.control(qPrintable("gb" + relay + "Control"));
        if (name == "_ed" + relay + "TempInOut")
            return page.control(qPrintable("rb" + relay + "TempIn"))->parentWidget();
    }
    return nullptr;
}

QString checkedChoice(const QWidget* container) {
    for (auto* b : container->findChildren<QRadioButton*>())
        if (b->isChecked()) return clean(b->text());
    return {};
}

QString cell(const QString& text) { return text.toHtmlEscaped(); }

}   // namespace

QString caption(const SettingsPage& page, QWidget* control) {
    QWidget* shown = namedBy(page, control->objectName());
    QWidget* w = shown ? shown : control;
    QString own = qobject_cast<QLabel*>(w) || qobject_cast<QGroupBox*>(w) ? textOf(w) : QString();
    if (own.isEmpty()) {
        if (auto* b = qobject_cast<QAbstractButton*>(w)) own = textOf(b);
        if (own.isEmpty()) own = gridCaption(w);
    }
    QStringList parts;
    if (!own.isEmpty()) parts << own;
    for (QWidget* p = w->parentWidget(); p && p != &page; p = p->parentWidget())
        if (auto* g = qobject_cast<QGroupBox*>(p); g && !textOf(g).isEmpty() && textOf(g) != own)
            parts.prepend(textOf(g));
    return parts.join(kJoin);
}

QString shownValue(const SettingsPage& page, QWidget* control, const MessageFn& message) {
    const QString name = control->objectName();
    if (name == QLatin1String("_edIN1")) return clean(page.inputModeText(1));
    if (name == QLatin1String("_edIN2")) return clean(page.inputModeText(2));
    if (QWidget* choices = choicesOf(page, name)) return checkedChoice(choices);
    if (auto* b = qobject_cast<QAbstractButton*>(control))
        return message(b->isChecked() ? lang::Msg::Yes : lang::Msg::No);
    if (auto* c = qobject_cast<QComboBox*>(control)) return c->currentText();
    if (auto* s = qobject_cast<QSlider*>(control)) return formatTemp(s->value());
    return text::fromCp1250(GetControlValue(control));
}

namespace {

// The settings of one box of the page, as rows of caption and value.
struct Section {
    const char* box;       // the section's box on the page
    const char* heading;   // the label that heads it
};
const Section kSections[] = {
    {"gbUserPhNumbers", "lbUserPhones"},
    {"GroupBox1", "lbEvents"},
    {"GroupBox2", "lnInputs"},
    {"GroupBox4", "lbRelayOutputs"},
    {"gbMonitoringPhNumbers", "lbTCentr"},
};

bool inside(const QWidget* w, const QWidget* box) {
    for (; w; w = w->parentWidget())
        if (w == box) return true;
    return false;
}

QString eventMatrix(const SettingsPage& page, const MessageFn& message) {
    const auto text = [&](const char* name) { return cell(textOf(page.control(name))); };
    const auto ticked = [&](const QByteArray& name) {
        auto* b = qobject_cast<QAbstractButton*>(page.control(name.constData()));
        return b && b->isChecked() ? QStringLiteral("X") : QString();
    };
    QString h = QStringLiteral("<table border='1' cellspacing='0' cellpadding='2' width='100%'><tr><th></th><th>") +
                text("lbSMStext") + "</th>";
    const QString narrow = QStringLiteral("<th style='white-space:nowrap'>");
    for (int t = 1; t <= 4; ++t) h += narrow + text(qPrintable(QStringLiteral("lbT%1").arg(t))) + "</th>";
    for (int t = 1; t <= 4; ++t) h += narrow + text(qPrintable(QStringLiteral("lbS%1").arg(t))) + "</th>";
    h += "<th>" + text("lbCent1") + " " + text("lbCent2") + "</th><th>" + text("lbContactID") + " " + text("lbCode") +
         "</th></tr>";
    std::vector<const EventDef*> rows;
    for (const auto& e : eventTable()) rows.push_back(&e);
    std::sort(rows.begin(), rows.end(), [](const EventDef* a, const EventDef* b) { return a->listedAs < b->listedAs; });
    for (const EventDef* e : rows) {
        const QByteArray label = "lbEvent" + (e->editStem.startsWith('_') ? e->editStem.mid(1) : e->editStem);
        h += "<tr><td>" + text(label.constData()) + "</td><td>" +
             cell(shownValue(page, page.control(eventSmsEdit(*e).constData()), message)) + "</td>";
        for (int t = 1; t <= 4; ++t)
            h += "<td align='center'>" + (e->hasCalls ? ticked(eventCallBox(*e, t)) : QString()) + "</td>";
        for (int t = 1; t <= 4; ++t) h += "<td align='center'>" + ticked(eventSmsBox(*e, t)) + "</td>";
        h += "<td align='center'>" + ticked(eventCidBox(*e)) + "</td><td>" +
             cell(shownValue(page, page.control(eventCodeEdit(*e).constData()), message)) + "</td></tr>";
    }
    return h + "</table>";
}

// One relay's events as its panel shows them: the activation events beside
// the deactivation events, the alarm mode's above the phone mode's.
QString relayMatrix(const SettingsPage& page, int relay) {
    const auto name = [relay](const char* pattern) { return QString::fromLatin1(pattern).arg(relay); };
    const auto boxes = [&](const char* pattern) {
        auto* group = page.control(qPrintable(name(pattern)));
        return group ? group->findChildren<QAbstractButton*>() : QList<QAbstractButton*>();
    };
    const auto heading = [&](const char* pattern) {
        return "<th colspan='2' align='left'>" + cell(textOf(page.control(qPrintable(name(pattern))))) + "</th>";
    };
    const auto half = [](const QList<QAbstractButton*>& list, int i) {
        if (i >= list.size()) return QStringLiteral("<td></td><td></td>");
        return "<td align='center' width='5%'>" + QString(list[i]->isChecked() ? QStringLiteral("X") : QString()) +
               "</td><td>" + cell(textOf(list[i])) + "</td>";
    };
    QString h = "<table border='1' cellspacing='0' cellpadding='2' width='100%'><tr><th colspan='4' align='left'>" +
                cell(textOf(page.control(qPrintable(name("gbRelay%1"))))) + "</th></tr>";
    for (const auto& [start, stop] : {std::pair{"gbRelay%1AlarmStartEvent", "gbRelay%1AlarmStopEvent"},
                                      std::pair{"gbRelay%1PhoneStartEvent", "gbRelay%1PhoneStopEvent"}}) {
        h += "<tr>" + heading(start) + heading(stop) + "</tr>";
        const auto on = boxes(start), off = boxes(stop);
        for (int i = 0; i < std::max(on.size(), off.size()); ++i) h += "<tr>" + half(on, i) + half(off, i) + "</tr>";
    }
    return h + "</table>";
}

bool inMatrix(const QByteArray& key) {
    if (key.startsWith("REL") && (key.contains(":ONM") || key.contains(":OFM"))) return true;
    return key.startsWith("SMS:") || (key.startsWith("EVH:") && !key.startsWith("EVH:PROPS"));
}

QString stamp(const QDateTime& t) { return t.toString(QStringLiteral("yyyy-MM-dd HH:mm")); }

}   // namespace

QString html(const SettingsPage& page, const MessageFn& message, const Facts& facts) {
    // Full width: captions in the left half, values in the right.
    const QString kRows = QStringLiteral("<table cellpadding='2' width='100%'>");
    const auto row = [](const QString& caption, const QString& value) {
        return "<tr><td width='50%'>" + cell(caption) + "</td><td><b>" +
               cell(value.isEmpty() ? QStringLiteral("\u2013") : value) + "</b></td></tr>";
    };
    QString h = "<html><body><h1>" + cell(message(lang::Msg::ReportTitle)) + "</h1>" + kRows;
    h += row(message(lang::Msg::ReportDate), stamp(facts.when));
    // Only what holds for every value shown: else the window's values, unsaved.
    QStringList sources;
    if (facts.readAt.isValid()) sources << message(lang::Msg::ReportReadAt).arg(stamp(facts.readAt));
    if (facts.writtenAt.isValid()) sources << message(lang::Msg::ReportWrittenAt).arg(stamp(facts.writtenAt));
    if (!facts.file.isEmpty()) sources << message(lang::Msg::ReportFileSaved).arg(facts.file, stamp(facts.fileSaved));
    if (sources.isEmpty()) sources << message(lang::Msg::ReportUnsaved);
    for (const QString& source : sources) h += row(message(lang::Msg::ReportSource), source);
    if (!facts.serial.isEmpty()) h += row(message(lang::Msg::ReportSerial), facts.serial);
    for (const auto& [caption, value] : facts.module) h += row(caption, value);
    h += "</table>";
    const ControlDescList bindings = page.Bindings();
    for (const Section& s : kSections) {
        const QWidget* box = page.control(s.box);
        h += "<h2>" + cell(textOf(page.control(s.heading))) + "</h2>";
        if (qstrcmp(s.box, "GroupBox1") == 0) h += eventMatrix(page, message);
        if (qstrcmp(s.box, "GroupBox4") == 0)
            for (int relay = 1; relay <= 2; ++relay) h += relayMatrix(page, relay);
        QString rows;
        for (int i = 0; i < bindings.Count(); ++i) {
            const ControlDesc& d = bindings.At(i);
            if (!inside(d.control, box) || inMatrix(d.key)) continue;
            rows += row(caption(page, d.control), shownValue(page, d.control, message));
        }
        if (!rows.isEmpty()) h += kRows + rows + "</table>";
    }
    const QString line = QStringLiteral("______________________________");
    h += "<p>&nbsp;</p><table cellpadding='6' width='100%'>" + row(message(lang::Msg::ReportInstaller), line) +
         row(message(lang::Msg::ReportSignature), line) + row(message(lang::Msg::ReportDate), line) + "</table>";
    return h + "</body></html>";
}

QString title(const MessageFn& message, const Facts& facts) {
    const QString what =
        facts.file.isEmpty() ? facts.when.date().toString(Qt::ISODate) : QFileInfo(facts.file).fileName();
    return message(lang::Msg::ReportTitle) + QStringLiteral(" \u2013 ") + what;
}

QString proposedName(const QString& settingsFile, const QString& folder, const QDate& date) {
    if (!settingsFile.isEmpty()) {
        const QFileInfo file(settingsFile);
        return file.absoluteDir().filePath(file.completeBaseName() + QStringLiteral(".pdf"));
    }
    const QString name = QStringLiteral("kestrum-report-%1.pdf").arg(date.toString(Qt::ISODate));
    return folder.isEmpty() ? name : QDir(folder).filePath(name);
}

bool writePdf(const QString& html, const QString& path, QString* why, const QPageLayout& layout, const QString& title) {
    const auto fail = [why](const QString& reason) {
        if (why) *why = reason;
        return false;
    };
    // The whole PDF is made in memory and checked before any file is touched.
    QByteArray data;
    {
        QBuffer buffer(&data);
        buffer.open(QIODevice::WriteOnly);
        QPdfWriter pdf(&buffer);
        if (layout.isValid())
            pdf.setPageLayout(layout);
        else
            pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setTitle(title);
        pdf.setCreator(QStringLiteral("Kestrum"));
        QTextDocument doc;
        doc.setHtml(html);
        doc.print(&pdf);
    }
    if (!isCompletePdf(data)) return fail(QStringLiteral("the PDF could not be made"));
    // A device (/dev/stdout) takes it as it is; a file is replaced only once
    // its new content is all on disk.
    if (wholefile::isCharacterDevice(path)) return wholefile::writeToDevice(path, data, why);
    return wholefile::replace(path, data, why);
}

bool isCompletePdf(const QByteArray& data) { return data.startsWith("%PDF-") && data.trimmed().endsWith("%%EOF"); }

}   // namespace report
