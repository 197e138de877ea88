#include "modem/ui/ModemPage.h"

#include "app/ui/TFormMain.h"
#include "app/ui/TextInput.h"
#include "link/Connection.h"
#include "modem/TModem.h"
#include "modem/Tserial.h"
#include "status/VolumesPage.h"
#include "text/Codec.h"

#include <QComboBox>
#include <QDir>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

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
    for (QPushButton* b : {btCSDConnect, btCSDDisconnect}) {
        b->setMinimumWidth(120);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    grid->addLayout(buttons, 2, 0, 1, 3);
    grid->addWidget(caption(this, "lbModemdetails", "Modem communication details:"), 3, 0, 1, 3);
    grid->addWidget(edATLogWin, 4, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(4, 1);

    connect(btCSDConnect, &QPushButton::clicked, this, &ModemPage::btCSDConnectClick);
    connect(btCSDDisconnect, &QPushButton::clicked, this, &ModemPage::btCSDDisconnectClick);
}

QStringList ModemPage::candidatePorts() {
    QStringList ports;
    const QDir dev("/dev");
    for (const QString& f : dev.entryList({"ttyS*", "ttyUSB*", "ttyACM*", "rfcomm*"}, QDir::System, QDir::Name))
        ports << dev.filePath(f);
    return ports;
}

void ModemPage::PortScan() {
    cbModemPortSel->clear();
    Tserial port;
    QStringList seen;
    for (const QString& name : extraPorts_ + candidatePorts()) {
        if (seen.contains(name)) continue;
        seen << name;
        if (port.OpenPort(name, 9600, 0) == 0) {
            cbModemPortSel->addItem(name);
            port.ClosePort();
        }
    }
    if (cbModemPortSel->count() > 0) cbModemPortSel->setCurrentIndex(0);
}

void ModemPage::btCSDConnectClick() {
    // The dialogue keeps the window alive; a second click meanwhile is ignored.
    if (inProgress_) return;
    inProgress_ = true;
    auto modem = std::make_unique<TModem>([this](const QByteArray& line) {
        QByteArray l = line;
        while (l.endsWith('\n') || l.endsWith('\r')) l.chop(1);
        edATLogWin->appendPlainText(text::fromCp1250(l));
    });
    TModem* m = modem.get();
    window_.modems_.push_back(std::move(modem));
    window_.modem = m;
    const QByteArray phone = text::toCp1250(edCSDPhnr->text());
    const QString portName = cbModemPortSel->currentText();
    window_.modemConnection = m->Connect(portName, phone);
    if (!window_.modemConnection) {
        inProgress_ = false;
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
    if (!ok) {
        window_.modemConnection->RemoveReceiver(window_.modemResponder.get());
        if (!window_.closing) window_.modemConnection->Close();   // closing has hung up already
    }
    inProgress_ = false;
}

void ModemPage::btCSDDisconnectClick() {
    if (!window_.modemConnection || inProgress_) return;
    inProgress_ = true;
    window_.modem->Close();
    for (const char* name : {"btnRead", "btnWrite"})
        if (QWidget* w = window_.control(name)) w->setEnabled(false);
    window_.volumesPage->btSetVols->setEnabled(false);
    window_.volumesPage->btReadVols->setEnabled(false);
    if (Connection* ch = window_.session.exchange.channel()) ch->RemoveReceiver(window_.modemResponder.get());
    inProgress_ = false;
}
