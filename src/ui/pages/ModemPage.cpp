#include "ui/pages/ModemPage.h"

#include "core/modem/TModem.h"
#include "core/modem/Tserial.h"
#include "core/text/Codec.h"
#include "session/DeviceSession.h"
#include "ui/lang/ModemStateText.h"
#include "ui/widgets/ErrorBox.h"
#include "ui/widgets/TextInput.h"
#include "ui/widgets/WheelGuard.h"

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
}   // namespace

ModemPage::ModemPage(DeviceSession& session, QWidget* parent) : QWidget(parent), session_(session) {
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
    QLabel* portCaption = caption(this, "lbSerportSelect", "Serial port:");
    portCaption->setBuddy(cbModemPortSel);
    grid->addWidget(portCaption, 0, 0);
    grid->addWidget(cbModemPortSel, 0, 1);
    QLabel* phoneCaption = caption(this, "lbModulePhoneNumber", "Phone number:");
    phoneCaption->setBuddy(edCSDPhnr);
    grid->addWidget(phoneCaption, 1, 0);
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
    connect(&session_, &DeviceSession::modemLine, this, [this](const QByteArray& line) {
        QByteArray l = line;
        while (l.endsWith('\n') || l.endsWith('\r')) l.chop(1);
        edATLogWin->appendPlainText(DetailLine(l));
    });
    connect(&session_, &DeviceSession::callChanged, this, [this] {
        showState();
        updateButtons();
        // The busy cursor is for the dial; a password dialog after it gets the ordinary one.
        const TModem* m = session_.Modem();
        if (busyCursor_ && m && m->callState() != TModem::State::Idle && m->callState() != TModem::State::Dialling) {
            busyCursor_ = false;
            QApplication::restoreOverrideCursor();
        }
    });
    updateButtons();
    WheelGuard::install(this);
}

QString ModemPage::DetailLine(const QByteArray& line) {
    // What the program sends is an AT command; the modem's replies never start
    // with AT (the echo before ATE0 repeats the command). The program's own
    // notes are framed by dashes and get no arrow.
    const QString text = text::fromCp1250(line);
    if (line.startsWith("----")) return text;
    if (line.toUpper().startsWith("AT")) return QString::fromUtf8("→ ") + text;
    return QString::fromUtf8("← ") + text;
}

QString ModemPage::text(lang::Msg m) const { return message ? message(m) : lang::message(lang::Language::English, m); }

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
    const bool busy = session_.CallBusy(), callUp = session_.CallUp();
    btCSDConnect->setEnabled(!busy && !callUp);
    btCSDDisconnect->setEnabled(!busy && callUp);
    btCSDCancel->setEnabled(busy && session_.Modem() && session_.Modem()->callState() == TModem::State::Dialling);
}

void ModemPage::showState() {
    const TModem* m = session_.Modem();
    lbModemState->setText(m ? lang::modemStateText(*m, [this](lang::Msg msg) { return text(msg); }) : QString());
}

void ModemPage::retranslate() {
    btCSDCancel->setText(text(lang::Msg::CancelButton));
    showState();
}

void ModemPage::btCSDConnectClick() {
    // The dialogue keeps the window alive; a second click meanwhile is ignored,
    // and so is Connect while a call is up: its handle must not be lost.
    if (session_.CallBusy() || session_.CallUp()) return;
    const QByteArray phone = text::toCp1250(edCSDPhnr->text().trimmed());
    if (phone.isEmpty()) {
        ShowMistake(text(lang::Msg::EmptyPhoneNumber));
        return;
    }
    QApplication::setOverrideCursor(Qt::BusyCursor);
    busyCursor_ = true;
    session_.connectModem(cbModemPortSel->currentText(), phone);
    if (busyCursor_) QApplication::restoreOverrideCursor();
    busyCursor_ = false;
    updateButtons();
}

void ModemPage::btCSDCancelClick() { session_.CancelDial(); }

void ModemPage::btCSDDisconnectClick() { session_.hangUp(); }

#include "moc_ModemPage.cpp"   // its own: a program that links one page carries no other
