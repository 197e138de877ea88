// The password dialog: its controls, the change-mode rules, and both actions
// against a device that answers with its prompts.
#include "core/link/Connection.h"
#include "core/protocol/Session.h"
#include "core/text/Timing.h"
#include "support/FakeConnection.h"
#include "support/TimingGuard.h"
#include "ui/dialogs/PwdForm.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

namespace {

// A device on the command channel that knows one password.
struct FakeDevice : FakeConnection {
    explicit FakeDevice(Session& s) {
        onSend = [this, &s](const QByteArray& t) {
            QByteArray answer = ":L0 >";
            if (t == "set REM:UPW P," + password + "\n") answer = ":L2 >";
            if (t.startsWith("set REM:UPW C," + password + ",")) {
                password = t.mid(15 + password.size()).chopped(1);
                answer = ":L2 >";
            }
            s.exchange().AccumulateResponse(reinterpret_cast<const uint8_t*>(answer.constData()), answer.size());
        };
    }
    QByteArray password = "4826";
};

}   // namespace

class PwdFormTest : public QObject {
    Q_OBJECT
    TimingGuard savedTiming_;   // initTestCase changes timing
private slots:
    void initTestCase() { timing::loginPollMs = 5; }

    void initialState() {
        Session s;
        TPwdForm f(nullptr, s, {});
        QCOMPARE(f.windowTitle(), QString("Password"));
        QVERIFY(f.rbepw->isChecked());
        QVERIFY(!f.rbcpw->isChecked());
        QCOMPARE(f.ppassword->text(), QString("4826"));
        QCOMPARE(f.ppassword->echoMode(), QLineEdit::Normal);
        QVERIFY(!f.gbnewpw->isEnabled());
        for (QLineEdit* e : {f.cpasswordo, f.cpasswordn, f.cpasswordnp}) {
            QVERIFY(!e->isEnabled());
            QVERIFY(e->text().isEmpty());
        }
        QVERIFY(f.btPasswAction->isEnabled());
        QVERIFY(f.btPasswAction->isDefault());
        QCOMPARE(f.btPasswAction->text(), QString("OK"));
    }

    // After a refusal the dialog says so, in the window's language, and the
    // password is ready to be typed over.
    void refusalIsToldAndTheFocusIsInThePassword() {
        Session s;
        s.setLastLoginResult(Outcome::Refused);
        TPwdForm f(nullptr, s, {});
        f.message = [](lang::Msg m) { return lang::message(lang::Language::Romanian, m); };
        f.show();
        QVERIFY(QTest::qWaitForWindowActive(&f));
        QVERIFY(f.lbRefused->isVisible());
        QCOMPARE(f.lbRefused->text(), QString("Modulul a refuzat parola."));
        QCOMPARE(QApplication::focusWidget(), f.ppassword);
        QCOMPARE(f.ppassword->selectedText(), QString("4826"));
        f.hide();
        s.forgetLastResult();
        f.show();
        QVERIFY(!f.lbRefused->isVisible());
    }

    void captionsComeFromTheLookupWhenShown() {
        Session s;
        TPwdForm f(nullptr, s, [](const QByteArray& key) { return QString("<%1>").arg(QString(key)); });
        f.show();
        QCOMPARE(f.rbepw->text(), QString("<rbepw>"));
        QCOMPARE(f.rbcpw->text(), QString("<rbcpw>"));
        QCOMPARE(f.lbLoginpw->text(), QString("<lbLoginpw>"));
        QCOMPARE(f.lbpwcorig->text(), QString("<lbpwcorig>"));
        QCOMPARE(f.lbpwcnew1->text(), QString("<lbpwcnew1>"));
        QCOMPARE(f.lbpwcnew2->text(), QString("<lbpwcnew2>"));
        QCOMPARE(f.windowTitle(), QString("Password"));
    }

    void changeModeEnablesOkOnlyOnceTheNewPasswordsMatch() {
        Session s;
        TPwdForm f(nullptr, s, {});
        f.rbcpw->setChecked(true);
        QVERIFY(f.gbnewpw->isEnabled());
        QVERIFY(f.cpasswordo->isEnabled());
        QVERIFY(!f.btPasswAction->isEnabled());
        f.cpasswordn->setText("1234");
        QVERIFY(!f.btPasswAction->isEnabled());
        f.cpasswordnp->setText("1234");
        QVERIFY(f.btPasswAction->isEnabled());
        f.cpasswordnp->setText("12345");
        QVERIFY(f.btPasswAction->isEnabled());   // never disabled again
        // Back to login mode: the change fields stay as they are.
        f.rbepw->setChecked(true);
        QVERIFY(f.gbnewpw->isEnabled());
    }

    void loginModeStoresThePassword() {
        Session s;
        FakeDevice d(s);
        s.exchange().setChannel(&d);
        TPwdForm f(nullptr, s, {});
        f.ppassword->setText("9999");
        f.btPasswAction->click();
        QCOMPARE(s.currentPassword(), QByteArray("9999"));
        QVERIFY(d.sent.isEmpty());
        QCOMPARE(f.result(), int(QDialog::Accepted));
    }

    void changeModeChangesTheDevicePassword() {
        Session s;
        FakeDevice d(s);
        s.exchange().setChannel(&d);
        TPwdForm f(nullptr, s, {});
        f.rbcpw->setChecked(true);
        f.cpasswordo->setText("4826");
        f.cpasswordn->setText("5555");
        f.cpasswordnp->setText("5555");
        f.btPasswActionClick();
        QCOMPARE(d.sent, QList<QByteArray>{"set REM:UPW C,4826,5555\n"});
        QCOMPARE(d.password, QByteArray("5555"));
        QCOMPARE(s.currentPassword(), QByteArray("5555"));
        QVERIFY(s.loggedIn());
    }

    void refusedChangeStillStoresTheNewPassword() {
        Session s;
        FakeDevice d(s);
        s.exchange().setChannel(&d);
        TPwdForm f(nullptr, s, {});
        f.rbcpw->setChecked(true);
        f.cpasswordo->setText("0000");
        f.cpasswordn->setText("5555");
        f.cpasswordnp->setText("5555");
        f.btPasswActionClick();
        QCOMPARE(s.currentPassword(), QByteArray("5555"));
        QVERIFY(!s.loggedIn());
        QCOMPARE(d.password, QByteArray("4826"));
    }

    void loginThroughTheDialog() {
        Session s;
        FakeDevice d(s);
        d.password = "2468";
        s.exchange().setChannel(&d);
        s.setCurrentPassword("4826");
        s.askPassword = [&] {
            TPwdForm f(nullptr, s, {});
            QTimer::singleShot(0, &f, [&] {
                QCOMPARE(f.ppassword->text(), QString("4826"));
                f.ppassword->setText("2468");
                f.btPasswAction->click();
            });
            f.exec();
        };
        QCOMPARE(s.Login(), Outcome::Accepted);
        QCOMPARE(s.currentPassword(), QByteArray("2468"));
        QVERIFY(s.bulkOperator());
        QCOMPARE(s.bulkOperator()->Link, static_cast<Connection*>(&d));
        QVERIFY(s.loggedIn());
        QCOMPARE(d.sent.first(), QByteArray("set REM:UPW P,4826\n"));
        QCOMPARE(d.sent.last(), QByteArray("set REM:UPW P,2468\n"));
    }

    void closingTheDialogRetriesWithTheSamePassword() {
        Session s;
        FakeDevice d(s);
        d.password = "2468";
        s.exchange().setChannel(&d);
        s.setCurrentPassword("4826");
        s.askPassword = [&] {
            TPwdForm f(nullptr, s, {});
            QTimer::singleShot(0, &f, [&] { f.reject(); });
            f.exec();
        };
        QCOMPARE(s.Login(), Outcome::Refused);
        QCOMPARE(d.sent.size(), 2);
        QCOMPARE(d.sent[1], QByteArray("set REM:UPW P,4826\n"));
        QVERIFY(!s.bulkOperator());
    }
};

QTEST_MAIN(PwdFormTest)
#include "test_pwdform.moc"
