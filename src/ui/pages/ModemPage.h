#pragma once
// The Modem page: pick the modem's serial port, type the device's number,
// dial, and the command channel becomes the data call. When the call ends the
// channel goes back to the USB module.
#include "ui/lang/Messages.h"

#include <QStringList>
#include <QWidget>

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class DeviceSession;
class TModem;

class ModemPage : public QWidget {
    Q_OBJECT
public:
    ModemPage(DeviceSession& session, QWidget* parent = nullptr);

    // Lists the serial ports, the extra ones first, without opening any; a
    // port another program holds is left out. The port chosen before stays
    // chosen while it is listed.
    void PortScan();
    void btCSDConnectClick();
    void btCSDDisconnectClick();
    void btCSDCancelClick();   // ends a dial under way; the modem hangs up

    void setExtraPorts(const QStringList& ports) { extraPorts_ = ports; }
    // Orders port names as people count: ttyS2 before ttyS10.
    static bool NaturalLess(const QString& a, const QString& b);
    // The page's own texts in the window's language (the call state, Cancel).
    void retranslate();
    std::function<QString(lang::Msg)> message;
    // A line of the AT dialogue for the details: "→ AT" for a command, "← OK" for a reply.
    static QString DetailLine(const QByteArray& line);

    QComboBox* cbModemPortSel;
    QLineEdit* edCSDPhnr;
    QPushButton* btCSDConnect;
    QPushButton* btCSDDisconnect;
    QPushButton* btCSDCancel;
    QLabel* lbModemState;   // the call's state in words
    QPlainTextEdit* edATLogWin;

private:
    void updateButtons();
    void showState();
    QString text(lang::Msg m) const;

    DeviceSession& session_;
    QStringList extraPorts_;
    bool busyCursor_ = false;
};
