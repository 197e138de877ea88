#include "ui/pages/ModemPage.h"

#include "ui/widgets/ErrorBox.h"
#include "session/HandOffSync.h"
#include "ui/window/TFormMain.h"
#include "ui/widgets/TextInput.h"
#include "core/link/Connection.h"
#include "core/link/Slot.h"
#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "ui/pages/VolumesPage.h"
#include "core/text/Codec.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>

namespace {
QLabel* caption(QWidget* parent, const char* name, const char* text) {
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    return l;
}
}  // namespace

ModemPage::ModemPage(TFormMain& window, QWidget* parent) : QWidget(parent), window_(window) {
    setObjectName("TabSheet1");
    cbModemPortSel = new QComboBox(this);
    cbModemPortSel->setObjectName("cbModemPortSel");
    cbModemPortSel->addItems({"COM1", "COM2"});
    cbModemPortSel->setCurrentIndex(0);
    cbModemPortSel->setMinimumWidth(160);
    edCSDPhnr = new QLineEdit(this);
    edCSDPhnr->setObjectName("edCSDPhnr");
    AcceptModuleTextOnly(edCSDPhnr);   // it ends up in the dial command
    btCSDConnect = new QPushButton("Connect", this);
    btCSDConnect->setObjectName("btCSDConnect");
    btCSDDisconnect = new QPushButton("Disconnect", this);
    btCSDDisconnect->setObjectName("btCSDDisconnect");
    btCSDCancel = new QPushButton("Cancel", this);
    btCSDCancel->setObjectName("btCSDCancel");
    lbModemState = caption(this, "lbModemState", "");
    edATLogWin = new QPlainTextEdit(this);
    edATLogWin->setObjectName("edATLogWin");
    edATLogWin->setReadOnly(true);
    edATLogWin->setLineWrapMode(QPlainTextEdit::NoWrap);
    edATLogWin->setMaximumBlockCount(10000);

    auto* grid = new QGridLayout(this);
    grid->addWidget(caption(this, "lbSerportSelect", "Serial port:"), 0, 0);
    grid->addWidget(cbModemPortSel, 0, 1);
    grid->addWidget(caption(this, "lbModulePhoneNumber", "Phone number:"), 1, 0);
    grid->addWidget(edCSDPhnr, 1, 1);
    auto* buttons = new QHBoxLayout;
    for (QPushButton* b : {btCSDConnect, btCSDDisconnect, btCSDCancel}) {
        b->setMinimumWidth(120);
        buttons->addWidget(b);
    }
    buttons->addWidget(lbModemState, 1);
    grid->addLayout(buttons, 2, 0, 1, 3);
    grid->addWidget(caption(this, "lbModemdetails", "Modem communication details:"), 3, 0, 1, 3);
    grid->addWidget(edATLogWin, 4, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(4, 1);

    connect(btCSDConnect, &QPushButton::clicked, this, &ModemPage::btCSDConnectClick);
    connect(btCSDDisconnect, &QPushButton::clicked, this, &ModemPage::btCSDDisconnectClick);
    connect(btCSDCancel, &QPushButton::clicked, this, &ModemPage::btCSDCancelClick);
    updateButtons();
}

QString ModemPage::text(lang::Msg m) const {
    return message ? message(m) : lang::message(lang::Language::English, m);
}

bool ModemPage::NaturalLess(const QString& a, const QString& b) {
    int i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            int ei = i, ej = j;
            while (ei < a.size() && a[ei].isDigit()) ++ei;
            while (ej < b.size() && b[ej].isDigit()) ++ej;
            // Compare the numbers by length without their leading zeros, then digit by digit.
            const QString na = a.mid(i, ei - i).remove(QRegularExpression("^0+"));
            const QString nb = b.mid(j, ej - j).remove(QRegularExpression("^0+"));
            if (na.size() != nb.size()) return na.size() < nb.size();
            if (na != nb) return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j]) return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

void ModemPage::PortScan() {
    const QString chosen = cbModemPortSel->currentText();
    QStringList found = Tserial::ListPorts();
    std::sort(found.begin(), found.end(), NaturalLess);
    QStringList ports;
    for (const QString& name : extraPorts_ + found)
        if (!ports.contains(name)) ports << name;
    ports = Tserial::FreePorts(ports);
    cbModemPortSel->clear();
    cbModemPortSel->addItems(ports);
    const int keep = cbModemPortSel->findText(chosen);
    if (cbModemPortSel->count() > 0) cbModemPortSel->setCurrentIndex(keep >= 0 ? keep : 0);
}

void ModemPage::updateButtons() {
    const bool callUp = window_.modemConnection && window_.modemConnection->IsOpen();
    btCSDConnect->setEnabled(!inProgress_ && !callUp);
    btCSDDisconnect->setEnabled(!inProgress_ && callUp);
    btCSDCancel->setEnabled(inProgress_ && window_.modem && window_.modem->CallState == TModem::State::Dialling);
}

void ModemPage::showState() {
    TModem* m = window_.modem;
    if (!m) {
        lbModemState->clear();
        return;
    }
    const QString speed = QString::fromLatin1(m->Speed);
    switch (m->CallState.load()) {
    case TModem::State::Idle: lbModemState->clear(); break;
    case TModem::State::PortFailed: lbModemState->setText(text(lang::Msg::ModemPortFailed)); break;
    case TModem::State::NoModem: lbModemState->setText(text(lang::Msg::ModemNoModem)); break;
    case TModem::State::NoSim: lbModemState->setText(text(lang::Msg::ModemNoSim)); break;
    case TModem::State::Dialling:
        lbModemState->setText(text(lang::Msg::ModemDialling).arg(text::fromCp1250(m->PhoneNumber)));
        break;
    case TModem::State::Connected: lbModemState->setText(text(lang::Msg::ModemConnected).arg(speed)); break;
    case TModem::State::WrongSpeed: lbModemState->setText(text(lang::Msg::ModemWrongSpeed).arg(speed)); break;
    case TModem::State::Busy: lbModemState->setText(text(lang::Msg::ModemBusy)); break;
    case TModem::State::NoCarrier: lbModemState->setText(text(lang::Msg::ModemNoCarrier)); break;
    case TModem::State::NoAnswer: lbModemState->setText(text(lang::Msg::ModemNoAnswer)); break;
    case TModem::State::NoDialTone: lbModemState->setText(text(lang::Msg::ModemNoDialTone)); break;
    case TModem::State::Cancelled: lbModemState->setText(text(lang::Msg::ModemCancelled)); break;
    case TModem::State::HungUp: lbModemState->setText(text(lang::Msg::ModemHungUp)); break;
    }
}

void ModemPage::retranslate() {
    btCSDCancel->setText(text(lang::Msg::CancelButton));
    showState();
}

void ModemPage::btCSDConnectClick() {
    // The dialogue keeps the window alive; a second click meanwhile is ignored,
    // and so is Connect while a call is up: its handle must not be lost.
    if (inProgress_ || (window_.modemConnection && window_.modemConnection->IsOpen())) return;
    const QByteArray phone = text::toCp1250(edCSDPhnr->text().trimmed());
    if (phone.isEmpty()) {
        ShowError(text(lang::Msg::EmptyPhoneNumber));
        return;
    }
    inProgress_ = true;
    QApplication::setOverrideCursor(Qt::BusyCursor);
    auto modem = std::make_unique<TModem>([this](const QByteArray& line) {
        QByteArray l = line;
        while (l.endsWith('\n') || l.endsWith('\r')) l.chop(1);
        edATLogWin->appendPlainText(text::fromCp1250(l));
    });
    TModem* m = modem.get();
    m->OnState = [this](TModem::State) {
        showState();
        updateButtons();
    };
    // The far end going away is seen on the modem's reader thread; the page
    // hangs up and gives the channel back on its own thread.
    m->CarrierLost = [this, m] {
        HANDOFF_RELEASE(m);
        QMetaObject::invokeMethod(
            this,
            [this, m] {
                HANDOFF_ACQUIRE(m);
                carrierLost(m);
            },
            Qt::QueuedConnection);
    };
    window_.modems_.push_back(std::move(modem));
    window_.modem = m;
    const QString portName = cbModemPortSel->currentText();
    window_.modemConnection = m->Connect(portName, phone);
    QApplication::restoreOverrideCursor();
    if (!window_.modemConnection) {
        inProgress_ = false;
        updateButtons();
        return;
    }
    Session& s = window_.session;
    s.exchange.setChannel(window_.modemConnection);
    if (window_.modemResponder) window_.retiredResponders_.push_back(std::move(window_.modemResponder));
    window_.modemResponder = std::make_unique<ResponseConnection>(
        [&s](const uint8_t* d, int32_t n) { s.exchange.AccumulateResponse(d, n); });
    window_.modemConnection->AddReceiver(window_.modemResponder.get());

    // No USB login has set a password yet: start from the device's default
    // rather than offering the device an empty one.
    if (s.currentPassword.isEmpty()) s.currentPassword = kDefaultPassword;
    const bool ok = s.LoginRepeatedly();
    for (const char* name : {"btnRead", "btnWrite"})
        if (QWidget* w = window_.control(name)) w->setEnabled(ok);
    if (!ok && !window_.closing) {   // closing has hung up already
        window_.modemConnection->Close();
        callEnded();
    }
    inProgress_ = false;
    updateButtons();
}

void ModemPage::btCSDCancelClick() {
    if (window_.modem && inProgress_) window_.modem->Cancel();
}

void ModemPage::btCSDDisconnectClick() {
    if (!window_.modemConnection || !window_.modemConnection->IsOpen() || inProgress_) return;
    inProgress_ = true;
    updateButtons();
    window_.modem->Close();
    for (const char* name : {"btnRead", "btnWrite"})
        if (QWidget* w = window_.control(name)) w->setEnabled(false);
    window_.volumesPage->btSetVols->setEnabled(false);
    window_.volumesPage->btReadVols->setEnabled(false);
    inProgress_ = false;
    callEnded();
}

void ModemPage::carrierLost(TModem* m) {
    if (window_.closing || m != window_.modem || inProgress_) return;
    inProgress_ = true;
    updateButtons();
    m->Close();   // stops the reader, and hangs up to be sure
    inProgress_ = false;
    showState();
    callEnded();
}

void ModemPage::callEnded() {
    if (window_.closing) return;
    Session& s = window_.session;
    if (window_.modemConnection && window_.modemResponder)
        window_.modemConnection->RemoveReceiver(window_.modemResponder.get());
    s.exchange.setChannel(window_.commandSlot);
    // A module on USB is logged in afresh, as on an attach; without one the
    // buttons go off.
    s.loggedIn = false;
    window_.UpdateUIState("CallEnded");
    updateButtons();
}
