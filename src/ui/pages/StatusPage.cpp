#include "ui/pages/StatusPage.h"

#include "core/config/ParamTable.h"
#include "ui/widgets/TrendPlot.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QProgressBar>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <vector>

namespace {

struct Row {
    const char* caption;       // caption label
    const char* captionText;   // its English text
    const char* value;         // value label
};

struct Group {
    const char* name;
    const char* title;
    std::vector<Row> rows;
    std::vector<const char*> hiddenEdits;
};

const std::vector<Group>& groups() {
    static const std::vector<Group> g = {
        {"gbVersionInformation",
         " Version information ",
         {{"lbViType", "Type:", "lbViTypeValue"},
          {"lbViHwVer", "Hardware version:", "lbViHwVerValue"},
          {"lbViFwVer", "Firmware version:", "lbViFwVerValue"}},
         {}},
        {"gbSystemTimer", " System timer ", {{"lbStUptime", "Uptime:", "lbStUptimeValue"}}, {}},
        {"gGsmStatus",
         " GSM status ",
         {{"lbGsmSignal", "GSM signal:", "lbGsmSignalValue"},
          {"lbGsmLowestSignal", "Lowest GSM signal:", "lbGsmLowestSignalValue"},
          {"lbGsmUptime", "GSM uptime:", "lbGsmUptimeValue"}},
         {"_edGsmSignalValue"}},
        {"gbPowerSupply",
         " Power supply ",
         {{"lbSupplyVoltage", "Supply voltage:", "lbSupplyVoltageValue"},
          {"lbMinVoltage", "Minimum voltage:", "lbMinVoltageValue"}},
         {"_edSupplyVoltageValue", "_edMinVoltageValue"}},
        {"gbTemperature",
         " Temperature ",
         {{"lbActTempSensor", "Sensor temperature:", "lbActTempSensorValue"},
          {"lbActTempModule", "Module temperature:", "lbActTempModuleValue"}},
         {"_edActTempSensorValue", "_edActTempModuleValue"}},
        {"gbInputs",
         " Inputs ",
         {{"lbInputsIN1", "IN1:", "lbInputsIN1Value"}, {"lbInputsIN2", "IN2:", "lbInputsIN2Value"}},
         {"_edInputsIN1Value", "_edInputsIN2Value"}},
        {"gbRelays",
         " Relays ",
         {{"lbRelay1", "Relay 1:", "lbRelay1Value"}, {"lbRelay2", "Relay 2:", "lbRelay2Value"}},
         {"_edRelay1Value", "_edRelay2Value"}},
    };
    return g;
}

struct Handler {
    const char* edit;
    void (StatusPage::*run)();
};

const Handler kHandlers[] = {
    {"_edGsmSignalValue", &StatusPage::_edGsmSignalValueChange},
    {"_edSupplyVoltageValue", &StatusPage::_edSupplyVoltageValueChange},
    {"_edMinVoltageValue", &StatusPage::_edMinVoltageValueChange},
    {"_edActTempSensorValue", &StatusPage::_edActTempSensorValueChange},
    {"_edActTempModuleValue", &StatusPage::_edActTempModuleValueChange},
    {"_edInputsIN1Value", &StatusPage::_edInputsIN1ValueChange},
    {"_edInputsIN2Value", &StatusPage::_edInputsIN2ValueChange},
    {"_edRelay1Value", &StatusPage::_edRelay1ValueChange},
    {"_edRelay2Value", &StatusPage::_edRelay2ValueChange},
};

// Decimal digits with an optional sign, nothing else. Very long numbers
// saturate; the bar clamps them anyway.
bool readDecimal(const QString& s, long long& out) {
    int i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    if (i >= s.size()) return false;
    long long v = 0;
    for (; i < s.size(); ++i) {
        const QChar c = s[i];
        if (c < '0' || c > '9') return false;
        if (v < 1000000000LL) v = v * 10 + (c.unicode() - '0');
    }
    out = negative ? -v : v;
    return true;
}

}   // namespace

StatusPage::StatusPage(QWidget* parent) : QWidget(parent) {
    setObjectName("tsStatus");
    // The groups scroll rather than being cut when the window is small.
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("sbStatus");
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget(scroll);
    content->setObjectName("sbStatusContent");
    scroll->setWidget(content);
    outer->addWidget(scroll);
    auto* page = new QVBoxLayout(content);

    for (const Group& g : groups()) {
        auto* box = new QGroupBox(QString::fromLatin1(g.title), content);
        box->setObjectName(g.name);
        auto* grid = new QGridLayout(box);
        grid->setColumnStretch(1, 1);
        int r = 0;
        for (const Row& row : g.rows) {
            auto* caption = new QLabel(QString::fromLatin1(row.captionText), box);
            caption->setObjectName(row.caption);
            auto* value = new QLabel("-", box);
            value->setObjectName(row.value);
            grid->addWidget(caption, r, 0);
            grid->addWidget(value, r, 1);
            ++r;
        }
        for (const char* name : g.hiddenEdits) {
            auto* e = new QLineEdit(box);
            e->setObjectName(name);
            e->setVisible(false);
        }
        page->addWidget(box);
    }
    page->addStretch(1);

    pbGsmSignal_ = new QProgressBar(findChild<QGroupBox*>("gGsmStatus"));
    pbGsmSignal_->setObjectName("pbGsmSignal");
    pbGsmSignal_->setRange(0, 31);
    pbGsmSignal_->setValue(0);
    pbGsmSignal_->setTextVisible(false);
    static_cast<QGridLayout*>(pbGsmSignal_->parentWidget()->layout())->addWidget(pbGsmSignal_, 0, 2);

    // The last ten minutes of signal, supply voltage and sensor temperature,
    // beside their numbers.
    auto plot = [this](const char* group, const char* name, int row, int rows) {
        auto* box = findChild<QGroupBox*>(group);
        auto* p = new TrendPlot(box);
        p->setObjectName(name);
        static_cast<QGridLayout*>(box->layout())->addWidget(p, row, 2, rows, 1);
        return p;
    };
    plGsmSignal_ = plot("gGsmStatus", "plGsmSignal", 1, 2);
    plSupplyVoltage_ = plot("gbPowerSupply", "plSupplyVoltage", 0, 2);
    plTemperature_ = plot("gbTemperature", "plTemperature", 0, 1);
    // Signal in the module's own steps (0..31), supply in volts (sent in mV),
    // temperature in degrees; a few steps, one volt, five degrees fill the
    // height at least, so that noise stays a nearly flat line.
    plGsmSignal_->setFormat({1, 0, QString(), 5});
    plSupplyVoltage_->setFormat({0.001, 1, QStringLiteral(" V"), 1.0});
    plTemperature_->setFormat({1, 0, QString(" ") + QChar(0x00B0) + "C", 5});
    showPlotTexts();

    // The module temperature row is not shown.
    label("lbActTempModule")->setVisible(false);
    label("lbActTempModuleValue")->setVisible(false);

    for (const Handler& h : kHandlers) connect(edit(h.edit), &QLineEdit::textChanged, this, h.run);
}

QWidget* StatusPage::control(const char* name) const {
    const QString n = QString::fromLatin1(name);
    if (objectName() == n) return const_cast<StatusPage*>(this);
    return findChild<QWidget*>(n);
}

QLabel* StatusPage::label(const char* name) const { return findChild<QLabel*>(QString::fromLatin1(name)); }

QLineEdit* StatusPage::edit(const char* name) const { return findChild<QLineEdit*>(QString::fromLatin1(name)); }

QString StatusPage::word(const char* key) const {
    if (lookupText) return lookupText(QByteArray(key));
    static const struct {
        const char* key;
        const char* text;
    } english[] = {{"txtActive", "Active"}, {"txtInactive", "Inactive"}, {"txtOn", "On"}, {"txtOff", "Off"}};
    for (const auto& w : english)
        if (qstrcmp(w.key, key) == 0) return QString::fromLatin1(w.text);
    return QString();
}

QString StatusPage::text(lang::Msg m) const { return message ? message(m) : lang::message(lang::Language::English, m); }

void StatusPage::showPlotTexts() {
    TrendPlot::Texts t;
    t.window = text(lang::Msg::PlotWindow);
    t.lastUpdate = text(lang::Msg::PlotLastUpdate);
    t.max = text(lang::Msg::PlotMax);
    t.min = text(lang::Msg::PlotMin);
    for (TrendPlot* p : {plGsmSignal_, plSupplyVoltage_, plTemperature_}) p->setTexts(t);
}

void StatusPage::showText(const char* labelName, const QString& text) {
    label(labelName)->setText(text);
    emit statusDrawn(QString::fromLatin1(labelName));
}

void StatusPage::showState(const char* labelName, const QString& text, const QColor& colour) {
    QLabel* l = label(labelName);
    // The colour of a live value; a stale one is drawn in the disabled grey.
    QPalette p = l->palette();
    p.setColor(QPalette::Active, QPalette::WindowText, colour);
    p.setColor(QPalette::Inactive, QPalette::WindowText, colour);
    l->setPalette(p);
    showText(labelName, text);
}

void StatusPage::showWithUnit(const char* editName, const char* labelName) {
    showText(labelName, edit(editName)->text() + " " + QString::fromUtf8(statusUnit(labelName)));
}

// Inputs and relays are shown as words: an active input in red, a relay
// switched on in green, the rest grey.
void StatusPage::showInput(const char* editName, const char* labelName) {
    const char* key = statusWord(labelName, edit(editName)->text().toLatin1());
    if (key) showState(labelName, word(key), qstrcmp(key, "txtActive") == 0 ? redColor() : greyColor());
}

void StatusPage::showRelay(const char* editName, const char* labelName) {
    const char* key = statusWord(labelName, edit(editName)->text().toLatin1());
    if (key) showState(labelName, word(key), qstrcmp(key, "txtOn") == 0 ? greenColor() : greyColor());
}

// The bar follows a decimal signal level, clamped to its 0..31 range; any
// other text leaves the bar where it is. The label shows the text as sent.
void StatusPage::_edGsmSignalValueChange() {
    const QString t = edit("_edGsmSignalValue")->text();
    long long level = 0;
    if (readDecimal(t, level)) {
        pbGsmSignal_->setValue(int(std::clamp<long long>(level, pbGsmSignal_->minimum(), pbGsmSignal_->maximum())));
        plGsmSignal_->addSample(double(level));
    }
    showText("lbGsmSignalValue", t);
}

void StatusPage::_edSupplyVoltageValueChange() {
    long long mv = 0;
    if (readDecimal(edit("_edSupplyVoltageValue")->text(), mv)) plSupplyVoltage_->addSample(double(mv));
    showWithUnit("_edSupplyVoltageValue", "lbSupplyVoltageValue");
}

void StatusPage::_edMinVoltageValueChange() { showWithUnit("_edMinVoltageValue", "lbMinVoltageValue"); }

void StatusPage::_edActTempSensorValueChange() {
    long long degrees = 0;
    if (readDecimal(edit("_edActTempSensorValue")->text(), degrees)) plTemperature_->addSample(double(degrees));
    showWithUnit("_edActTempSensorValue", "lbActTempSensorValue");
}

void StatusPage::_edActTempModuleValueChange() { showWithUnit("_edActTempModuleValue", "lbActTempModuleValue"); }

void StatusPage::_edInputsIN1ValueChange() { showInput("_edInputsIN1Value", "lbInputsIN1Value"); }
void StatusPage::_edInputsIN2ValueChange() { showInput("_edInputsIN2Value", "lbInputsIN2Value"); }
void StatusPage::_edRelay1ValueChange() { showRelay("_edRelay1Value", "lbRelay1Value"); }
void StatusPage::_edRelay2ValueChange() { showRelay("_edRelay2Value", "lbRelay2Value"); }

void StatusPage::redrawWords() {
    showInput("_edInputsIN1Value", "lbInputsIN1Value");
    showInput("_edInputsIN2Value", "lbInputsIN2Value");
    showRelay("_edRelay1Value", "lbRelay1Value");
    showRelay("_edRelay2Value", "lbRelay2Value");
    showPlotTexts();
}

void StatusPage::setStale(bool stale) {
    // Fresh status: the plotted values still hold, even where none changed.
    if (!stale)
        for (TrendPlot* p : {plGsmSignal_, plSupplyVoltage_, plTemperature_}) p->markHeard();
    if (stale == stale_) return;
    stale_ = stale;
    for (QGroupBox* box : findChildren<QGroupBox*>())
        for (QWidget* w : box->findChildren<QWidget*>())
            if ((qobject_cast<QLabel*>(w) && w->objectName().endsWith("Value")) || w == pbGsmSignal_ ||
                qobject_cast<TrendPlot*>(w))
                w->setEnabled(!stale);
}

#include "moc_StatusPage.cpp"   // its own: a program that links one page carries no other
