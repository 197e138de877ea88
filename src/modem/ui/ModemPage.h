#pragma once
// The Modem page: pick the modem's serial port, type the device's number,
// dial, and the command channel becomes the data call.
#include <QStringList>
#include <QWidget>

class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class TFormMain;

class ModemPage : public QWidget {
    Q_OBJECT
public:
    ModemPage(TFormMain& window, QWidget* parent = nullptr);

    // Lists the serial ports that open, the extra ones first; selects the first.
    void PortScan();
    void btCSDConnectClick();
    void btCSDDisconnectClick();

    void setExtraPorts(const QStringList& ports) { extraPorts_ = ports; }
    // The serial devices of this machine worth trying.
    static QStringList candidatePorts();

    QComboBox* cbModemPortSel;
    QLineEdit* edCSDPhnr;
    QPushButton* btCSDConnect;
    QPushButton* btCSDDisconnect;
    QPlainTextEdit* edATLogWin;

private:
    TFormMain& window_;
    QStringList extraPorts_;
    bool inProgress_ = false;   // a dial or a hang-up is under way
};
