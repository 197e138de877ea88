// The modem dialogue through a real Win32 COM port (Windows only): the test
// script maps KESTRUM_TEST_COM (e.g. COM5) to a pseudo-terminal where the
// simulated GSM modem answers. The port scan finds the port, the session
// dials, logs in, asks for a setting and hangs up.
#include "core/modem/Tserial.h"
#include "session/DeviceSession.h"
#include "sim/SimHidBackend.h"
#include "sim/SimModule.h"
#include "support/TimingGuard.h"

#include <QTest>

class TestComPort : public QObject {
    Q_OBJECT
private slots:
    void dialLogInQueryHangUp() {
        const QString port = qEnvironmentVariable("KESTRUM_TEST_COM");
        if (port.isEmpty()) QSKIP("KESTRUM_TEST_COM names no port");
        QVERIFY2(Tserial::ListPorts().contains(port), qPrintable(Tserial::ListPorts().join(' ')));

        SimModule usbModule;   // never plugged in: the call is the only link
        SimHidBackend usb(usbModule);
        DeviceSession session({&usb, "4826"});
        session.login().askPassword = [] {};
        QVERIFY(session.connectModem(port, "+36301234567"));
        QVERIFY(session.CallUp());
        QCOMPARE(session.Modem()->speed(), QByteArray("9600"));
        const Exchange::Answer a = session.exchange().Query("CALL:USER1.PN");
        QCOMPARE(a.outcome, Outcome::Accepted);
        QVERIFY(a.text.startsWith("CALL:USER1.PN="));
        session.hangUp();
        QVERIFY(!session.CallUp());
        QVERIFY(session.OnUsb());
    }
};

QTEST_GUILESS_MAIN(TestComPort)
#include "test_comport.moc"
