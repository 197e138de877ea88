// Status pairs and log lines: the parsers, the Status page's drawing of the
// values, the three log views, delivery-independence and the memory limits.
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>

#include "core/config/ParamTable.h"
#include "core/protocol/StatusParser.h"
#include "core/text/Codec.h"
#include "ui/pages/LogPage.h"
#include "ui/pages/StatusPage.h"
#include "ui/widgets/Controls.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/TrendPlot.h"

using Pair = QPair<QByteArray, QByteArray>;

namespace {

// What the window's binding layer does with a pair: the first status binding
// with the key gets the value as its text; an unknown key is ignored.
void bind(StatusPage& page, const QByteArray& key, const QByteArray& value) {
    for (const StatusDef& s : statusParams()) {
        if (s.key != key) continue;
        QWidget* w = page.control(s.control.constData());
        if (auto* l = qobject_cast<QLabel*>(w))
            l->setText(text::fromCp1250(value));
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            e->setText(text::fromCp1250(value));
        return;
    }
}

// A status page fed through its own parser, recording every pair handed out.
struct StatusRig {
    StatusPage page;
    StatusTextParser parser;
    QList<Pair> applied;
    void feed(const QByteArray& text) {
        parser.Feed(text, [this](const QByteArray& k, const QByteArray& v) {
            applied.append({k, v});
            bind(page, k, v);
        });
    }
    QLabel* label(const char* name) { return qobject_cast<QLabel*>(page.control(name)); }
    QColor colour(const char* name) { return label(name)->palette().color(QPalette::WindowText); }
    int bar() { return qobject_cast<QProgressBar*>(page.control("pbGsmSignal"))->value(); }
    // Everything the page shows: each value label with its colour, and the bar.
    QString snapshot() {
        QString s;
        for (QLabel* l : page.findChildren<QLabel*>())
            if (l->objectName().endsWith("Value"))
                s += l->objectName() + "=" + l->text() + "/" + l->palette().color(QPalette::WindowText).name() + ";";
        return s + "bar=" + QString::number(bar());
    }
};

QStringList blocks(const QPlainTextEdit* view) {
    QStringList out;
    if (view->document()->isEmpty()) return out;
    for (QTextBlock b = view->document()->begin(); b.isValid(); b = b.next()) out << b.text();
    return out;
}

QStringList logView(const LogPage& page, int n) { return blocks(page.memo(n)); }

QList<QByteArray> splitLines(LogLineSplitter& s, const QByteArray& text) {
    QList<QByteArray> lines;
    s.Feed(text, [&](const QByteArray& l) { lines << l; });
    return lines;
}

}   // namespace

class TestStatusLog : public QObject {
    Q_OBJECT
private slots:
    void pageHasItsControls();
    void pairSplitOverDeliveriesFormatsOnce();
    void pairsAndJunk();
    void firstEqualsBeforeBraceTakesNothing();
    void emptyValueIsBlankAndShowsActive();
    void repeatedValueFormatsOnce();
    void statesUnitsAndSignal();
    void logLinesAndTags();
    void logLineEndsAndZeroByte();
    void logHeadingsClearCopyAndSave();
    void logSaveProposesADatedNameAndAddsTxt();
    void plotsKeepTheLastTenMinutes();
    void plotsDrawALineWithScaleAndTooltip();
    void stalePlotsSayWhenTheLastValueCame();
    void anyChunkingGivesTheSameResult();
    void statusBufferIsBounded();
    void logMemoryIsBounded();
};

void TestStatusLog::pageHasItsControls() {
    StatusPage page;
    QCOMPARE(page.objectName(), QString("tsStatus"));
    for (const char* name : {"gbVersionInformation",
                             "lbViType",
                             "lbViHwVer",
                             "lbViFwVer",
                             "gbSystemTimer",
                             "lbStUptime",
                             "gGsmStatus",
                             "lbGsmSignal",
                             "lbGsmUptime",
                             "lbGsmLowestSignal",
                             "gbPowerSupply",
                             "lbSupplyVoltage",
                             "lbMinVoltage",
                             "gbTemperature",
                             "lbActTempSensor",
                             "lbActTempModule",
                             "gbInputs",
                             "lbInputsIN1",
                             "lbInputsIN2",
                             "gbRelays",
                             "lbRelay1",
                             "lbRelay2",
                             "pbGsmSignal"})
        QVERIFY2(page.control(name), name);
    for (const StatusDef& s : statusParams()) {
        QWidget* w = page.control(s.control.constData());
        QVERIFY2(w, s.control.constData());
        if (s.control.startsWith('_')) {
            QVERIFY(qobject_cast<QLineEdit*>(w) && w->isHidden());
            // every hidden edit draws a visible label of the same name without the "_ed" prefix
            QVERIFY(page.control(("lb" + s.control.mid(3)).constData()));
        } else {
            QCOMPARE(qobject_cast<QLabel*>(w)->text(), QString("-"));
        }
    }
    QVERIFY(page.control("lbActTempModule")->isHidden());
    QVERIFY(page.control("lbActTempModuleValue")->isHidden());
    QVERIFY(!page.control("lbActTempSensorValue")->isHidden());
    auto* bar = qobject_cast<QProgressBar*>(page.control("pbGsmSignal"));
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 31);

    LogPage log;
    QCOMPARE(log.objectName(), QString("tsLog"));
    QCOMPARE(log.memo(1)->objectName(), QString("MemoLog1"));
    QVERIFY(log.memo(1)->isReadOnly() && log.memo(2)->isReadOnly() && log.memo(3)->isReadOnly());
    log.resize(900, 400);
    log.show();
    QVERIFY(QTest::qWaitForWindowExposed(&log));
    QCOMPARE(log.memo(2)->width(), 220);
    QCOMPARE(log.memo(3)->width(), 220);
    QVERIFY(log.memo(1)->geometry().right() < log.memo(2)->geometry().left());
    QVERIFY(log.memo(2)->geometry().right() < log.memo(3)->geometry().left());
    QCOMPARE(log.memo(3)->geometry().right(), log.width() - 1);
}

void TestStatusLog::pairSplitOverDeliveriesFormatsOnce() {
    StatusRig r;
    QSignalSpy drawn(&r.page, &StatusPage::statusDrawn);
    r.feed("{VSU=12");
    QCOMPARE(r.label("lbSupplyVoltageValue")->text(), QString("-"));
    QCOMPARE(r.parser.Buffer(), QByteArray("{VSU=12"));
    r.feed("400}");
    QCOMPARE(r.applied, (QList<Pair>{{"VSU", "12400"}}));
    QCOMPARE(r.label("lbSupplyVoltageValue")->text(), QString("12400 mV"));
    QCOMPARE(drawn.count(), 1);
    QVERIFY(r.parser.Buffer().isEmpty());
}

void TestStatusLog::pairsAndJunk() {
    StatusRig r;
    r.feed("{TPv=X}{FWv=1.2}");
    QCOMPARE(r.label("lbViTypeValue")->text(), QString("X"));
    QCOMPARE(r.label("lbViFwVerValue")->text(), QString("1.2"));

    // junk up to a "}" is dropped, in the same delivery or before a later "{"
    r.feed("junk}{HWv=B}");
    QCOMPARE(r.label("lbViHwVerValue")->text(), QString("B"));
    r.feed("more junk}");
    QCOMPARE(r.parser.Buffer(), QByteArray("more junk}"));   // no "{" yet: kept
    r.feed("{HWv=C}");
    QCOMPARE(r.label("lbViHwVerValue")->text(), QString("C"));
    QVERIFY(r.parser.Buffer().isEmpty());

    // an unknown key is handed out, changes nothing on the page and leaves the buffer
    const QString before = r.snapshot();
    r.feed("{ABC=5}");
    QCOMPARE(r.applied.last(), Pair("ABC", "5"));
    QCOMPARE(r.snapshot(), before);
    QVERIFY(r.parser.Buffer().isEmpty());

    // keys are taken as sent: no trimming, case-sensitive
    r.feed("{ TPv=Y}{tpv=Z}");
    QCOMPARE(r.applied.mid(r.applied.size() - 2), (QList<Pair>{{" TPv", "Y"}, {"tpv", "Z"}}));
    QCOMPARE(r.label("lbViTypeValue")->text(), QString("X"));
}

void TestStatusLog::firstEqualsBeforeBraceTakesNothing() {
    StatusRig r;
    r.feed("a=b{RFE=3}");
    QVERIFY(r.applied.isEmpty());
    QVERIFY(r.parser.Buffer().isEmpty());
    QCOMPARE(r.label("lbGsmLowestSignalValue")->text(), QString("-"));
    // a "}" before the "{" costs only the text up to it
    r.feed("x}{RFE=4}");
    QCOMPARE(r.applied, (QList<Pair>{{"RFE", "4"}}));
    // no "=" inside the braces: nothing taken
    r.feed("{RFE}{RFE=5}");
    QCOMPARE(r.applied.last(), Pair("RFE", "5"));
    QCOMPARE(r.applied.size(), 2);
}

void TestStatusLog::emptyValueIsBlankAndShowsActive() {
    StatusRig r;
    r.feed("{IN1V=}");
    QCOMPARE(r.applied, (QList<Pair>{{"IN1V", " "}}));
    QCOMPARE(r.label("lbInputsIN1Value")->text(), QString("Active"));
    QCOMPARE(r.colour("lbInputsIN1Value"), QColor(255, 0, 0));
}

void TestStatusLog::repeatedValueFormatsOnce() {
    StatusRig r;
    QSignalSpy drawn(&r.page, &StatusPage::statusDrawn);
    r.feed("{IN1V=1}{IN1V=1}");
    QCOMPARE(r.applied.size(), 2);
    QCOMPARE(drawn.count(), 1);
    QCOMPARE(r.label("lbInputsIN1Value")->text(), QString("Inactive"));

    // the words come from the language hook at the time of drawing; a repeated
    // value keeps the label as it was drawn
    r.page.lookupText = [](const QByteArray& key) {
        return key == "txtInactive" ? QString("Inaktív") : key == "txtActive" ? QString("Aktív") : QString();
    };
    r.feed("{IN1V=1}");
    QCOMPARE(r.label("lbInputsIN1Value")->text(), QString("Inactive"));
    r.feed("{IN1V=0}");
    QCOMPARE(r.label("lbInputsIN1Value")->text(), QString("Aktív"));
    QCOMPARE(drawn.count(), 2);
    r.feed("{RE2=1}");   // a key the hook does not know shows empty
    QCOMPARE(r.label("lbRelay2Value")->text(), QString());
    QCOMPARE(r.colour("lbRelay2Value"), QColor(0, 128, 0));
}

void TestStatusLog::statesUnitsAndSignal() {
    StatusRig r;
    r.feed("{RE1=1}{IN2V=1}{VSE=11800}{TPS=23}{TPM=31}");
    QCOMPARE(r.label("lbRelay1Value")->text(), QString("On"));
    QCOMPARE(r.colour("lbRelay1Value"), QColor(0, 128, 0));
    QCOMPARE(r.label("lbInputsIN2Value")->text(), QString("Inactive"));
    QCOMPARE(r.colour("lbInputsIN2Value"), QColor(128, 128, 128));
    QCOMPARE(r.label("lbMinVoltageValue")->text(), QString("11800 mV"));
    QCOMPARE(text::toCp1250(r.label("lbActTempSensorValue")->text()), QByteArray("23 \xB0"
                                                                                 "C"));
    QCOMPARE(text::toCp1250(r.label("lbActTempModuleValue")->text()), QByteArray("31 \xB0"
                                                                                 "C"));
    r.feed("{RE1=0}{IN2V=2}");
    QCOMPARE(r.label("lbRelay1Value")->text(), QString("Off"));
    QCOMPARE(r.colour("lbRelay1Value"), QColor(128, 128, 128));
    QCOMPARE(r.label("lbInputsIN2Value")->text(), QString("Active"));
    QCOMPARE(r.colour("lbInputsIN2Value"), QColor(255, 0, 0));

    // an empty text written by the program changes nothing
    qobject_cast<QLineEdit*>(r.page.control("_edRelay1Value"))->setText("");
    QCOMPARE(r.label("lbRelay1Value")->text(), QString("Off"));

    // GSM signal: the bar follows decimal levels, clamped to 0..31
    r.feed("{RFP=17}");
    QCOMPARE(r.bar(), 17);
    QCOMPARE(r.label("lbGsmSignalValue")->text(), QString("17"));
    r.feed("{RFP=n/a}");
    QCOMPARE(r.bar(), 17);
    QCOMPARE(r.label("lbGsmSignalValue")->text(), QString("n/a"));
    r.feed("{RFP=0x1F}{RFP=1 7}");
    QCOMPARE(r.bar(), 17);
    r.feed("{RFP=40}");
    QCOMPARE(r.bar(), 31);
    r.feed("{RFP=-3}");
    QCOMPARE(r.bar(), 0);
    r.feed("{RFP=99999999999999999999}");
    QCOMPARE(r.bar(), 31);
    r.feed("{RFP=+5}");
    QCOMPARE(r.bar(), 5);
}

void TestStatusLog::logLinesAndTags() {
    LogPage log;
    log.ReceiveLogText("12:00] <LINK> (up)\r");
    QCOMPARE(logView(log, 1), QStringList{"12:00] <LINK> (up)"});
    QCOMPARE(logView(log, 2), QStringList{"<LINK> (up)"});
    QVERIFY(logView(log, 3).isEmpty());

    log.ReceiveLogText("x] <DTMFF> (5)\r");
    QCOMPARE(logView(log, 1).last(), QString("x] <DTMFF> (5)"));
    QCOMPARE(logView(log, 2).size(), 1);
    QCOMPARE(logView(log, 3), QStringList{"<DTMFF> (5)"});

    log.ReceiveLogText("t] <SIO> (rx) ] <ATCH> (ok)\r");
    QCOMPARE(logView(log, 1).size(), 3);
    QCOMPARE(logView(log, 2).last(), QString("<SIO> (rx) ] <ATCH> (ok)"));
    QCOMPARE(logView(log, 3).last(), QString("<ATCH> (ok)"));

    log.ReceiveLogText("t] <JST> (\xB0)\r");   // 8-bit text is shown decoded
    QCOMPARE(logView(log, 3).last(), QString("<JST> (") + QChar(0x00B0) + ")");

    // the names are tried in list order, not by where the tag stands in the line
    const QByteArray both = "a] <SIO> (1) b] <PPP> (2)";
    QCOMPARE(ModuleTagCut(both, LogPage::modulesA()), QByteArray("<PPP> (2)"));
    QCOMPARE(ModuleTagCut("a] <DTMF> (1) ] <DTMFF> (2)", LogPage::modulesB()), QByteArray("<DTMFF> (2)"));
    QVERIFY(ModuleTagCut("a] <LINK>(x)", LogPage::modulesA()).isNull());
    QVERIFY(ModuleTagCut("a <LINK> (x)", LogPage::modulesA()).isNull());
    QVERIFY(ModuleTagCut("] <link> (x)", LogPage::modulesA()).isNull());
    QCOMPARE(ModuleTagCut("] <ppp> (", LogPage::modulesA()), QByteArray("<ppp> ("));
}

// Signal, supply voltage and temperature are drawn over the last ten
// minutes: numbers only, the oldest leaving as time goes on, greyed when stale.
void TestStatusLog::plotsKeepTheLastTenMinutes() {
    StatusPage page;
    auto* volts = page.findChild<TrendPlot*>("plSupplyVoltage");
    QVERIFY(volts && page.findChild<TrendPlot*>("plGsmSignal") && page.findChild<TrendPlot*>("plTemperature"));
    qint64 t = 0;
    volts->now = [&t] { return t; };
    auto* edit = page.findChild<QLineEdit*>("_edSupplyVoltageValue");
    edit->setText("12650");
    t = 4 * 60 * 1000;
    edit->setText("n/a");   // shown, not drawn
    edit->setText("11800");
    t = 8 * 60 * 1000;
    edit->setText("12100");
    QCOMPARE(volts->sampleCount(), 3);
    QCOMPARE(volts->lowest(), 11800.0);
    QCOMPARE(volts->highest(), 12650.0);
    t = 10 * 60 * 1000 + 1;   // the first is older than ten minutes now
    edit->setText("12000");
    QCOMPARE(volts->sampleCount(), 3);
    QCOMPARE(volts->highest(), 12100.0);
    QVERIFY(!volts->grab().isNull());
    page.setStale(true);
    QVERIFY(!volts->isEnabled());
}

namespace {

// The plot drawn into an image, and the rows of its picture that hold a
// stretch of line colour at least a fifth of the picture wide.
struct PlotImage {
    QImage image;
    QRect area;
    QColor line;
    explicit PlotImage(TrendPlot* plot) {
        plot->resize(320, plot->sizeHint().height());
        image = QImage(plot->size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        plot->render(&image);
        area = plot->plotArea().toAlignedRect();
        line = plot->palette().color(plot->isEnabled() ? QPalette::Highlight : QPalette::Mid);
    }
    int linePixels(int y) const {
        int n = 0;
        for (int x = area.left() + 1; x < area.right(); ++x) n += QColor(image.pixel(x, y)).rgb() == line.rgb();
        return n;
    }
    QList<int> lineRows() const {
        QList<int> rows;
        for (int y = area.top() + 1; y < area.bottom(); ++y)
            if (linePixels(y) >= area.width() / 5) rows << y;
        return rows;
    }
};

QDateTime at(int h, int m, int s = 0) { return QDateTime(QDate(2026, 3, 2), QTime(h, m, s)); }

}   // namespace

// A constant is a flat line, nothing filled under it; the newest value and the
// window's lowest and highest stand at the edge with their unit; a small
// difference does not fill the height; pointing tells time and value.
void TestStatusLog::plotsDrawALineWithScaleAndTooltip() {
    StatusPage page;
    auto* volts = page.findChild<TrendPlot*>("plSupplyVoltage");
    auto* temp = page.findChild<TrendPlot*>("plTemperature");
    qint64 t = 0;
    QDateTime wall = at(14, 0);
    for (TrendPlot* p : {volts, temp}) {
        p->now = [&t] { return t; };
        p->wallClock = [&wall] { return wall; };
    }
    auto* tempEdit = page.findChild<QLineEdit*>("_edActTempSensorValue");
    for (const char* v : {"23", "22", "23"}) {
        tempEdit->setText(v);
        t += 60 * 1000;
    }
    {
        const QString deg = QString(" ") + QChar(0x00B0) + "C";
        QCOMPARE(temp->edgeTexts().mid(0, 4), (QStringList{"max 23" + deg, "23" + deg, "min 22" + deg, "last 10 min"}));
    }

    auto* voltEdit = page.findChild<QLineEdit*>("_edSupplyVoltageValue");
    voltEdit->setText("12400");
    t += 6 * 60 * 1000;
    {
        const PlotImage img(volts);
        const QList<int> rows = img.lineRows();
        QVERIFY2(!rows.isEmpty() && rows.size() <= 2, qPrintable(QString::number(rows.size())));
        // the line runs on to the right edge, nothing is filled above or below it
        QVERIFY(img.linePixels(rows[0]) >= img.area.width() * 6 / 10 - 4);
        QCOMPARE(QColor(img.image.pixel(img.area.right() - 2, rows[0])).rgb(), img.line.rgb());
        for (int y = img.area.top() + 1; y < img.area.bottom(); ++y)
            if (!rows.contains(y)) QCOMPARE(img.linePixels(y), 0);
        QCOMPARE(volts->edgeTexts().mid(0, 3), (QStringList{"max 12.4 V", "12.4 V", "min 12.4 V"}));
    }

    // 0.05 V apart: a small step in the middle, not the whole height
    wall = at(14, 5, 30);
    voltEdit->setText("12450");
    t += 3 * 60 * 1000;
    {
        const PlotImage img(volts);
        const QList<int> rows = img.lineRows();
        QVERIFY(rows.size() >= 2);
        QVERIFY2(rows.last() - rows.first() < img.area.height() / 4,
                 qPrintable(QString("%1..%2 of %3").arg(rows.first()).arg(rows.last()).arg(img.area.height())));
        QVERIFY(rows.first() > img.area.top() + img.area.height() / 4);
        QVERIFY(rows.last() < img.area.bottom() - img.area.height() / 4);
    }
    QCOMPARE(volts->edgeTexts()[2], QString("min 12.4 V"));

    // the tooltip names the sample nearest to the pointer
    const QRectF area = volts->plotArea();
    auto pointAt = [&](qint64 sampleTime) {
        return QPoint(int(area.right() - area.width() * double(t - sampleTime) / TrendPlot::kSpanMs),
                      int(area.center().y()));
    };
    QCOMPARE(volts->toolTipAt(pointAt(3 * 60 * 1000)), QString("14:00:00  12.4 V"));
    QVERIFY(volts->toolTipAt(pointAt(t - 60 * 1000)).startsWith("14:05:30  "));
    QVERIFY(volts->toolTipAt(QPoint(volts->width() - 1, 1)).isEmpty());   // over the texts
}

// After an unplug the plots stop and say when their newest value came, in the
// window's language.
void TestStatusLog::stalePlotsSayWhenTheLastValueCame() {
    StatusPage page;
    auto* signal = page.findChild<TrendPlot*>("plGsmSignal");
    qint64 t = 0;
    signal->now = [&t] { return t; };
    QDateTime wall = at(14, 1, 50);
    signal->wallClock = [&wall] { return wall; };
    page.setStale(false);
    page.findChild<QLineEdit*>("_edGsmSignalValue")->setText("17");
    QCOMPARE(signal->edgeTexts(), (QStringList{"max 17", "17", "min 17", "last 10 min"}));
    // the same value again three minutes later: no new sample, but news
    t = 3 * 60 * 1000;
    wall = at(14, 2, 40);
    page.setStale(false);
    t = 5 * 60 * 1000;
    wall = at(14, 4, 40);
    page.setStale(true);
    QCOMPARE(signal->edgeTexts()[3], QString("last update 14:02"));
    page.message = [](lang::Msg m) { return lang::message(lang::Language::Hungarian, m); };
    page.redrawWords();
    QCOMPARE(signal->edgeTexts()[3], QString("utolsó frissítés: 14:02"));
    QCOMPARE(signal->edgeTexts()[0], QString("max. 17"));
    page.message = [](lang::Msg m) { return lang::message(lang::Language::Romanian, m); };
    page.redrawWords();
    QCOMPARE(signal->edgeTexts()[3], QString("ultima actualizare: 14:02"));
    // the stale line still shows
    QCOMPARE(PlotImage(signal).lineRows().size(), 2);
    page.setStale(false);
    QCOMPARE(signal->edgeTexts()[3], QString("ultimele 10 min"));
}

// The log's headings and buttons speak the window's language; Copy takes a
// selection or else the whole log; Save writes the whole log or names the file
// it could not write.
void TestStatusLog::logHeadingsClearCopyAndSave() {
    LogPage log;
    QCOMPARE(log.findChild<ElidedLabel*>("lbLogAll")->fullText(), QString("All lines"));
    QCOMPARE(log.findChild<ElidedLabel*>("lbLogModulesB")->fullText(), QString("ATCH, JST, DTMFF"));
    log.message = [](lang::Msg m) { return lang::message(lang::Language::Hungarian, m); };
    log.retranslate();
    QCOMPARE(log.findChild<QPushButton*>("btLogClear")->text(), QString("Törlés"));

    log.ReceiveLogText("a] <LINK> (1)\r\nb] <JST> (\xB0)\r");
    log.copy();
    const QString all = "a] <LINK> (1)\n\nb] <JST> (" + QString(QChar(0xB0)) + ")";
    QCOMPARE(QGuiApplication::clipboard()->text(), all);
    log.memo(3)->selectAll();
    log.copy();
    QCOMPARE(QGuiApplication::clipboard()->text(), "<JST> (" + QString(QChar(0xB0)) + ")");

    QTemporaryDir dir;
    QVERIFY(log.saveTo(dir.filePath("log.txt")));
    QFile saved(dir.filePath("log.txt"));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()), all);
    QStringList errors;
    errorSink() = [&errors](const QString& m) { errors << m; };
    QVERIFY(!log.saveTo(dir.filePath("no/such/folder/log.txt")));
    errorSink() = nullptr;
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].contains("log.txt"), qPrintable(errors[0]));

    log.clear();
    for (int i = 1; i <= 3; ++i) QVERIFY(log.memo(i)->toPlainText().isEmpty());
}

// Save proposes a dated name, adds ".txt" to a name typed without a suffix,
// and next time proposes the folder it saved in.
void TestStatusLog::logSaveProposesADatedNameAndAddsTxt() {
    QCOMPARE(LogPage::ProposedName(QDateTime(QDate(2026, 3, 2), QTime(14, 2))), QString("log-2026-03-02_14-02.txt"));
    LogPage log;
    log.ReceiveLogText("line\r");
    QTemporaryDir dir;
    QStringList proposed;
    QString answer = dir.filePath("site");
    log.askFileName = [&](const QString& name) {
        proposed << name;
        return answer;
    };
    const QString today = QDate::currentDate().toString("yyyy-MM-dd");
    log.findChild<QPushButton*>("btLogSave")->click();
    QVERIFY(QFile::exists(dir.filePath("site.txt")));
    QVERIFY2(QFileInfo(proposed.value(0)).fileName().startsWith("log-" + today), qPrintable(proposed.value(0)));
    answer = dir.filePath("site.log");   // a suffix of the user's own stays
    log.findChild<QPushButton*>("btLogSave")->click();
    QVERIFY(QFile::exists(dir.filePath("site.log")) && !QFile::exists(dir.filePath("site.log.txt")));
    QCOMPARE(QFileInfo(proposed.value(1)).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
    answer.clear();   // cancelled: nothing written
    log.findChild<QPushButton*>("btLogSave")->click();
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

void TestStatusLog::logLineEndsAndZeroByte() {
    LogLineSplitter s;
    QVERIFY(splitLines(s, "no end yet").isEmpty());
    QCOMPARE(splitLines(s, " - now\r"), QList<QByteArray>{"no end yet - now"});
    QCOMPARE(splitLines(s, "a\rb\r"), (QList<QByteArray>{"a", "b"}));
    QCOMPARE(splitLines(s, "\r"), QList<QByteArray>{""});

    // CR LF: only the CR ends the line, the LF starts the next one
    QCOMPARE(splitLines(s, "c\r\nd\r\n"), (QList<QByteArray>{"c", "\nd"}));
    QCOMPARE(s.Buffer(), QByteArray("\n"));

    // a delivery ends at its first zero byte
    LogLineSplitter z;
    QVERIFY(splitLines(z, QByteArray("ab\0cd\r", 6)).isEmpty());
    QCOMPARE(splitLines(z, QByteArray("ef\r\0gh\r", 7)), QList<QByteArray>{"abef"});
    QVERIFY(z.Buffer().isEmpty());

    // in the view a device line stays one line, its LF shown as a break within it
    LogPage log;
    log.ReceiveLogText("a\r\nb] <LINK> (x)\r\n");
    QCOMPARE(log.memo(1)->document()->blockCount(), 2);
    QCOMPARE(logView(log, 1)[1], QString(QChar(QChar::LineSeparator)) + "b] <LINK> (x)");
    QCOMPARE(log.memo(1)->toPlainText(), QString("a\n\nb] <LINK> (x)"));
    QCOMPARE(logView(log, 2), QStringList{"<LINK> (x)"});
}

// The same recorded streams, delivered in any pieces, give the same result.
void TestStatusLog::anyChunkingGivesTheSameResult() {
    const QByteArray status =
        "junk}{TPv=KX-2}{HWv=B}{FWv=1.2}a=b{RFE=3}{SUTM=1234}{RFP=17}{VSU=12400}{ABC=5}"
        "{VSE=11}{TPS=23}{IN1V=}{IN2V=1}{RE1=1}{RE2=0}x}{RFE=9}{GUTM=77}{RFP=n}{IN1V=1}"
        "{RFP=20}{VSU=12500}{RE1=0}{TPM=30}{IN2V=1}{VSE=";
    const QByteArray log =
        "00:01] <LINK> (up)\r\n00:02] <DTMFF> (5)\r00:03] <SIO> (rx) ] <ATCH> (ok)\r\r"
        "00:04 junk\r\n00:05] <ppp> (lcp)\r00:06] <JST> (tick)\r\n00:07] <Siadata> (\xB0)\r"
        "00:08] <DTMF> (1)\r00:09 partial";

    struct Result {
        QList<Pair> applied;
        QString page;
        QByteArray statusRest;
        QStringList views;
        QByteArray logRest;
        bool operator==(const Result& o) const {
            return applied == o.applied && page == o.page && statusRest == o.statusRest && views == o.views &&
                   logRest == o.logRest;
        }
    };
    auto run = [&](const QList<int>& statusCuts, const QList<int>& logCuts) {
        StatusRig r;
        LogPage lp;
        int from = 0;
        for (int cut : statusCuts + QList<int>{int(status.size())}) {
            r.feed(status.mid(from, cut - from));
            from = cut;
        }
        from = 0;
        for (int cut : logCuts + QList<int>{int(log.size())}) {
            lp.ReceiveLogText(log.mid(from, cut - from));
            from = cut;
        }
        Result res{r.applied, r.snapshot(), r.parser.Buffer(), {}, lp.splitter().Buffer()};
        for (int n = 1; n <= 3; ++n) res.views << lp.memo(n)->toPlainText();
        return res;
    };

    const Result whole = run({}, {});
    // the reference itself is what the streams mean
    QCOMPARE(whole.applied.size(), 22);
    QCOMPARE(whole.applied.first(), Pair("TPv", "KX-2"));
    QCOMPARE(whole.applied[13], Pair("RFE", "9"));
    QCOMPARE(whole.applied.last(), Pair("IN2V", "1"));
    QCOMPARE(whole.statusRest, QByteArray("{VSE="));
    QCOMPARE(whole.logRest, QByteArray("00:09 partial"));
    QCOMPARE(whole.views[1], QString("<LINK> (up)\n<SIO> (rx) ] <ATCH> (ok)\n<ppp> (lcp)\n<Siadata> (") +
                                 QChar(0x00B0) + ")\n<DTMF> (1)");
    QCOMPARE(whole.views[2], QString("<DTMFF> (5)\n<ATCH> (ok)\n<JST> (tick)"));
    QVERIFY(whole.page.contains("lbSupplyVoltageValue=12500 mV/"));

    const int longest = int(qMax(status.size(), log.size()));
    for (int cut = 0; cut <= longest; ++cut) {
        const Result r = run({int(qMin<qsizetype>(cut, status.size()))}, {int(qMin<qsizetype>(cut, log.size()))});
        QVERIFY2(r == whole, qPrintable(QString("cut at %1").arg(cut)));
    }

    QRandomGenerator rng(20240611);
    auto randomCuts = [&](int size) {
        QList<int> cuts;
        for (int at = rng.bounded(1, 13); at < size; at += rng.bounded(1, 13)) cuts << at;
        return cuts;
    };
    for (int round = 0; round < 200; ++round) {
        const Result r = run(randomCuts(int(status.size())), randomCuts(int(log.size())));
        QVERIFY2(r == whole, qPrintable(QString("round %1").arg(round)));
    }
}

void TestStatusLog::statusBufferIsBounded() {
    constexpr int cap = StatusTextParser::kMaxBuffer;
    // 1 MiB without "}", with "{" and "=" in it, each 4 KiB piece different
    QByteArray junk;
    for (int i = 0; junk.size() < 1024 * 1024; ++i) junk += "{k" + QByteArray::number(i) + "=v";
    junk.truncate(1024 * 1024);

    for (int piece : {4096, int(junk.size())}) {
        StatusRig r;
        for (int at = 0; at < junk.size(); at += piece) {
            r.feed(junk.mid(at, piece));
            QVERIFY(r.parser.Buffer().size() <= cap);
        }
        // the newest bytes are the ones kept
        QCOMPARE(r.parser.Buffer(), junk.right(cap));
        QVERIFY(r.applied.isEmpty());
        // the next "}" closes the junk, after which pairs parse as before
        r.feed("}{VSU=5}");
        QCOMPARE(r.applied.size(), 2);
        QCOMPARE(r.applied.last(), Pair("VSU", "5"));
        QCOMPARE(r.label("lbSupplyVoltageValue")->text(), QString("5 mV"));
        QVERIFY(r.parser.Buffer().isEmpty());
    }

    // a delivery larger than the limit loses none of its complete pairs
    StatusTextParser p;
    QByteArray many;
    for (int i = 0; i < 12000; ++i) many += "{RFP=" + QByteArray::number(i) + "}";
    QVERIFY(many.size() > cap);
    int count = 0;
    bool inOrder = true;
    p.Feed(many + "{RF", [&](const QByteArray&, const QByteArray& v) { inOrder &= v.toInt() == count++; });
    QCOMPARE(count, 12000);
    QVERIFY(inOrder);
    QCOMPARE(p.Buffer(), QByteArray("{RF"));
}

void TestStatusLog::logMemoryIsBounded() {
    constexpr int cap = LogLineSplitter::kMaxBuffer;
    QByteArray junk;
    for (int i = 0; junk.size() < 1024 * 1024; ++i) junk += "x" + QByteArray::number(i) + "\n";
    junk.truncate(1024 * 1024);
    LogLineSplitter s;
    for (int at = 0; at < junk.size(); at += 4096) {
        QVERIFY(splitLines(s, junk.mid(at, 4096)).isEmpty());
        QVERIFY(s.Buffer().size() <= cap);
    }
    QCOMPARE(s.Buffer(), junk.right(cap));
    QCOMPARE(splitLines(s, "\rok\r"), (QList<QByteArray>{junk.right(cap), "ok"}));

    // each view keeps the most recent 10,000 lines
    LogPage log;
    QByteArray lines;
    for (int i = 0; i < 10005; ++i) lines += QByteArray::number(i) + "] <LINK> (" + QByteArray::number(i) + ")\r";
    log.ReceiveLogText(lines);
    log.ReceiveLogText("last] <ATCH> (x)\r");
    QCOMPARE(log.memo(1)->document()->blockCount(), LogPage::kMaxLines);
    QCOMPARE(log.memo(2)->document()->blockCount(), LogPage::kMaxLines);
    QCOMPARE(logView(log, 1).first(), QString("6] <LINK> (6)"));
    QCOMPARE(logView(log, 1).last(), QString("last] <ATCH> (x)"));
    QCOMPARE(logView(log, 2).first(), QString("<LINK> (5)"));
    QCOMPARE(logView(log, 2).last(), QString("<LINK> (10004)"));
    QCOMPARE(logView(log, 3), QStringList{"<ATCH> (x)"});

    // and no more characters than its byte cap: long lines push out old ones
    LogPage wide;
    const QByteArray longLine(16 * 1024, 'w');
    for (int i = 0; i < 150; ++i) wide.ReceiveLogText(QByteArray::number(i) + "] " + longLine + "\r");
    QVERIFY(wide.memo(1)->document()->characterCount() <= LogPage::kMaxChars);
    QVERIFY(wide.memo(1)->document()->blockCount() >= LogPage::kMaxChars / (longLine.size() + 8));
    QVERIFY(logView(wide, 1).last().startsWith("149] www"));
}

QTEST_MAIN(TestStatusLog)
#include "test_status_log.moc"
