// The Modem page over a real pseudo-terminal: the port list, Connect with the
// AT dialogue and the login, Read and Write over the data call, Disconnect.
#include "app/ui/ConfigTransfer.h"
#include "app/ui/ErrorBox.h"
#include "app/ui/TFormMain.h"
#include "link/Slot.h"
#include "modem/TModem.h"
#include "modem/Tserial.h"
#include "modem/ui/ModemPage.h"
#include "protocol/Timing.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModem.h"
#include "sim/SimModule.h"
#include "status/VolumesPage.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QElapsedTimer>

namespace {

struct Rig {
    QTemporaryDir dir;
    QSettings store{dir.filePath("lang.ini"), QSettings::IniFormat};
    SimModule usbModule;                // never attached: the USB side stays quiet
    SimHidBackend backend{usbModule};
    SimModule module;                   // the module at the far end of the call
    SimModem modem{module};
    std::unique_ptr<TFormMain> w;
    Rig() {
        if (!modem.start()) qFatal("no pseudo-terminal");
        TFormMain::Options o;
        o.backend = &backend;
        o.full = true;
        o.languageStore = &store;
        o.extraSerialPorts = {modem.slavePath()};
        w = std::make_unique<TFormMain>(o);
        w->session.askPassword = [] {};   // the dialog is tested on its own
        w->show();
    }
    ModemPage* page() const { return w->modemPage; }
    bool enabled(const char* name) const { return w->findChild<QWidget*>(name)->isEnabled(); }
    void connectCall(const char* number = "+36301234567") {
        page()->edCSDPhnr->setText(number);
        page()->btCSDConnect->click();
    }
};

}  // namespace

class ModemPageTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        timing::modemEscapeSleepMs = 5;
        timing::modemClosePumps = 5;
        timing::modemCommandLineMs = 200;
        timing::modemDialLineMs = 200;
        timing::modemDialReads = 10;
        timing::answerWaitMs = 500;
        timing::loginPollMs = 20;
        errorSink() = [](const QString& m) { qWarning("error box: %s", qPrintable(m)); };
    }

    void portScanListsTheGivenPortFirst() {
        Rig r;
        r.page()->PortScan();
        QVERIFY(r.page()->cbModemPortSel->count() >= 1);
        QCOMPARE(r.page()->cbModemPortSel->currentIndex(), 0);
        QCOMPARE(r.page()->cbModemPortSel->currentText(), r.modem.slavePath());
        // A port held by someone else is not listed.
        Tserial holder;
        QCOMPARE(holder.OpenPort(r.modem.slavePath(), 9600, 0), 0);
        r.page()->PortScan();
        for (int i = 0; i < r.page()->cbModemPortSel->count(); ++i)
            QVERIFY(r.page()->cbModemPortSel->itemText(i) != r.modem.slavePath());
        // Entering the Modem page scans again.
        holder.ClosePort();
        r.w->PageControl1->setCurrentIndex(TFormMain::PageModem);
        QCOMPARE(r.page()->cbModemPortSel->currentText(), r.modem.slavePath());
    }

    void connectLogsInReadsWritesAndDisconnects() {
        Rig r;
        r.page()->PortScan();
        QVERIFY(!r.enabled("btnRead"));
        r.connectCall();
        QVERIFY(r.w->modemConnection);
        QCOMPARE(r.w->session.exchange.channel(), r.w->modemConnection);
        QVERIFY(r.module.loggedIn());
        QVERIFY(r.enabled("btnRead"));
        QVERIFY(r.enabled("btnWrite"));
        const QString log = r.page()->edATLogWin->toPlainText();
        QVERIFY(log.contains("AT+CPIN?"));
        QVERIFY(log.contains("ATD+36301234567"));
        QVERIFY(log.contains("CONNECT 9600"));
        // The whole configuration over the call.
        r.module.setParam("CALL:USER2.PN", "+40744000222");
        r.module.setParam("REL2:PROPS.TIM", "120");
        r.w->transfer->Read();
        QCOMPARE(r.w->ProgressBarRW->value(), 205);
        QCOMPARE(r.w->findChild<QLineEdit*>("EditPhoneNumber2")->text(), QString("+40744000222"));
        r.w->findChild<QLineEdit*>("EditPhoneNumber3")->setText("+3670111");
        r.w->findChild<QLineEdit*>("edSMS1")->setText("+++");   // data, not the modem's escape
        r.w->transfer->Write();
        QCOMPARE(r.w->ProgressBarRW->value(), 205);
        QCOMPARE(r.module.param("CALL:USER3.PN"), QByteArray("+3670111"));
        QCOMPARE(r.module.param("SMS:Z1A.SMS"), QByteArray("+++"));
        // The Status page queries its values over the call.
        r.module.setParam("GSMState:RFP", "27");
        r.w->PageControl1->setCurrentIndex(TFormMain::PageStatus);
        QCOMPARE(r.w->findChild<QLabel*>("lbGsmSignalValue")->text(), QString("27"));
        // Disconnect hangs up and disables the four buttons.
        r.w->volumesPage->btSetVols->setEnabled(true);
        r.page()->btCSDDisconnect->click();
        QVERIFY(!r.w->modemConnection->IsOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!r.modem.inCall(), 3000);
        for (const char* name : {"btnRead", "btnWrite", "btSetVols", "btReadVols"}) QVERIFY2(!r.enabled(name), name);
        // A second Connect makes a new modem and dials again.
        TModem* first = r.w->modem;
        r.connectCall();
        QVERIFY(r.w->modem != first);
        QVERIFY(r.w->modemConnection && r.w->modemConnection->IsOpen());
        QVERIFY(r.enabled("btnRead"));
        r.page()->btCSDDisconnect->click();
    }

    void failedDialLeavesTheButtonsAsTheyWere() {
        Rig r;
        auto k = r.modem.knobs();
        k.dialResult = "NO CARRIER";
        r.modem.setKnobs(k);
        r.page()->PortScan();
        r.connectCall();
        QVERIFY(!r.w->modemConnection);
        QVERIFY(r.page()->edATLogWin->toPlainText().contains("----Connection error----"));
        QVERIFY(!r.enabled("btnRead"));
        QCOMPARE(r.w->session.exchange.channel(), static_cast<Connection*>(r.w->commandSlot));
        // Disconnect without a call does nothing.
        r.page()->btCSDDisconnect->click();
        QVERIFY(!r.w->modemConnection);
    }

    void refusedLoginHangsUp() {
        Rig r;
        r.module.setPassword("0000");
        int asked = 0;
        r.w->session.askPassword = [&] { ++asked; };
        timing::loginPollMs = 5;
        r.page()->PortScan();
        r.connectCall();
        timing::loginPollMs = 20;
        QCOMPARE(asked, 5);
        QVERIFY(!r.enabled("btnRead"));
        QVERIFY(!r.w->modemConnection->IsOpen());
        QTRY_VERIFY_WITH_TIMEOUT(!r.modem.inCall(), 3000);
    }

    void closingDuringTheDialGivesUpAtOnce() {
        Rig r;
        auto k = r.modem.knobs();
        k.dialDelayMs = 20000;   // the network takes its time
        r.modem.setKnobs(k);
        r.page()->PortScan();
        QElapsedTimer t;
        QTimer::singleShot(300, [&] {
            t.start();
            r.w->close();
        });
        r.connectCall();   // returns once the close has ended the dialogue
        QVERIFY(t.isValid());
        QVERIFY2(t.elapsed() < 2000, QByteArray::number(t.elapsed()));
        QVERIFY(!r.w->modemConnection);
    }

    void emptyPortListFailsWithoutACall() {
        Rig r;
        r.page()->cbModemPortSel->clear();
        r.connectCall();
        QVERIFY(!r.w->modemConnection);
        QVERIFY(r.modem.atLog().isEmpty());
    }
};

QTEST_MAIN(ModemPageTest)
#include "test_modempage.moc"
