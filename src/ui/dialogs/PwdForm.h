#pragma once
// The password dialog: log in with another password, or change the device's
// password.
#include <QDialog>

#include "ui/lang/Messages.h"

#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class Session;

class TPwdForm : public QDialog {
    Q_OBJECT
public:
    using Lookup = std::function<QString(const QByteArray& key)>;
    TPwdForm(QWidget* owner, Session& session, Lookup lookup);

    void FormShow();
    void rbcpwClick();
    void cpasswordnChange();
    void btPasswActionClick();

    QRadioButton* rbepw;
    QLabel* lbLoginpw;
    QLineEdit* ppassword;
    QRadioButton* rbcpw;
    QGroupBox* gbnewpw;
    QLabel* lbpwcorig;
    QLabel* lbpwcnew1;
    QLabel* lbpwcnew2;
    QLineEdit* cpasswordo;
    QLineEdit* cpasswordn;
    QLineEdit* cpasswordnp;
    QPushButton* btPasswAction;
    QPushButton* btCancel;   // the module stays not logged in
    // Shown when the module refused the password last tried.
    QLabel* lbRefused;
    // The window's messages in its language; unset: English.
    std::function<QString(lang::Msg)> message;

protected:
    void showEvent(QShowEvent* e) override;

private:
    Session& session_;
    Lookup lookup_;
};
