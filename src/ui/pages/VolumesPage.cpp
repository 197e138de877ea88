#include "ui/pages/VolumesPage.h"

#include "core/protocol/Exchange.h"
#include "core/text/Codec.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/WheelGuard.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include <algorithm>

namespace {

QSlider* verticalBar(QWidget* parent, const char* name, int max, int pos) {
    auto* b = new QSlider(Qt::Vertical, parent);
    b->setObjectName(name);
    b->setRange(0, max);
    b->setInvertedAppearance(true);   // the minimum position at the top
    b->setInvertedControls(true);
    b->setValue(pos);
    b->setMinimumHeight(220);
    return b;
}

QLabel* label(QWidget* parent, const char* name, const char* caption) {
    auto* l = new QLabel(caption, parent);
    l->setObjectName(name);
    l->setAlignment(Qt::AlignCenter);
    return l;
}

}   // namespace

VolumesPage::VolumesPage(Exchange& exchange, QWidget* parent) : QWidget(parent), exchange_(exchange) {
    setObjectName("tsVolSettings");
    auto* group = new QGroupBox(this);
    group->setObjectName("GroupBox5");
    tbMicVol = verticalBar(group, "tbMicVol", 15, 11);
    tbSpkVol = verticalBar(group, "tbSpkVol", 100, 45);
    tbSpkVol->setTickPosition(QSlider::TicksBothSides);
    tbSpkVol->setTickInterval(10);
    lbMicVolVal = label(group, "lbMicVolVal", "4");
    lbSpkVolVal = label(group, "lbSpkVolVal", "55");
    btReadVols = new QPushButton("Read from module", group);
    btReadVols->setObjectName("btReadVols");
    btSetVols = new QPushButton("Set", group);
    btSetVols->setObjectName("btSetVols");
    btReadVols->setEnabled(false);
    btSetVols->setEnabled(false);

    auto* grid = new QGridLayout(group);
    // Each caption heads its slider's column.
    auto* micCaption = label(group, "lbMicVolh", "Mic:");
    auto* spkCaption = label(group, "lbSpkVolH", "Spk:");
    micCaption->setBuddy(tbMicVol);
    spkCaption->setBuddy(tbSpkVol);
    grid->addWidget(micCaption, 0, 0);
    grid->addWidget(spkCaption, 0, 1);
    grid->addWidget(tbMicVol, 1, 0, Qt::AlignHCenter);
    grid->addWidget(tbSpkVol, 1, 1, Qt::AlignHCenter);
    grid->addWidget(lbMicVolVal, 2, 0);
    grid->addWidget(lbSpkVolVal, 2, 1);
    grid->addWidget(btReadVols, 3, 0, 1, 2);
    grid->addWidget(btSetVols, 4, 0, 1, 2);
    auto* lay = new QVBoxLayout(this);
    lay->addWidget(group);

    connect(tbMicVol, &QSlider::valueChanged, this, &VolumesPage::tbMicVolChange);
    connect(tbSpkVol, &QSlider::valueChanged, this, &VolumesPage::tbSpkVolChange);
    connect(btSetVols, &QPushButton::clicked, this, &VolumesPage::btSetVolsClick);
    connect(btReadVols, &QPushButton::clicked, this, [this] { Guarded([this] { btReadVolsClick(); }); });
    WheelGuard::install(this);
}

void VolumesPage::tbMicVolChange() { lbMicVolVal->setText(QString::number(tbMicVol->maximum() - tbMicVol->value())); }

void VolumesPage::tbSpkVolChange() { lbSpkVolVal->setText(QString::number(tbSpkVol->maximum() - tbSpkVol->value())); }

void VolumesPage::btSetVolsClick() {
    // Only levels go out: a label that holds no number (after a Read that got
    // no answer) is named instead of sent.
    for (QLabel* l : {lbMicVolVal, lbSpkVolVal}) {
        int level;
        if (!text::tryStrToInt(text::toCp1250(l->text()), level)) {
            ShowError(QStringLiteral("'%1' is not a valid integer value").arg(l->text()));
            return;
        }
    }
    // Both levels are written whatever the first write gave; the first failure is told.
    const Outcome mic = exchange_.SetParam(kMicKey, text::toCp1250(lbMicVolVal->text()));
    const Outcome spk = exchange_.SetParam(kSpkKey, text::toCp1250(lbSpkVolVal->text()));
    const auto text = [this](lang::Msg m) { return message ? message(m) : lang::message(lang::Language::English, m); };
    for (const auto& [outcome, key] : {std::pair<Outcome, const char*>{mic, kMicKey}, {spk, kSpkKey}}) {
        switch (outcome) {
            case Outcome::Accepted:
                continue;
            case Outcome::Refused:
                ShowError(text(lang::Msg::RefusedSetting).arg(key));
                return;
            case Outcome::LinkLost:
                ShowError(text(lang::Msg::Disconnected));
                return;
            case Outcome::NotSent:
                ShowError(text(lang::Msg::CannotSend).arg(key));
                return;
            case Outcome::NoAnswer:
                ShowError(text(lang::Msg::NoAnswerFor).arg(key));
                return;
        }
    }
}

void VolumesPage::readLevel(const char* key, QLabel* label, QSlider* bar) {
    const QByteArray value = ParseAnswerValue(exchange_.QueryParam(key));
    label->setText(text::fromCp1250(value));
    const int level = text::strToInt(value);                        // a non-integer ends the Read here
    const long long position = (long long)bar->maximum() - level;   // no overflow for an absurd level
    bar->setValue(int(std::clamp<long long>(position, bar->minimum(), bar->maximum())));
    // A level beyond the bar's range leaves the bar at its nearest end; the label
    // keeps the device's level so that Set does not change it unasked.
    label->setText(text::fromCp1250(value));
}

void VolumesPage::btReadVolsClick() {
    readLevel(kMicKey, lbMicVolVal, tbMicVol);
    readLevel(kSpkKey, lbSpkVolVal, tbSpkVol);
}

#include "moc_VolumesPage.cpp"   // its own: a program that links one page carries no other
