#include "ui/dialogs/PwdForm.h"

#include "core/protocol/Session.h"
#include "core/text/Codec.h"
#include "ui/widgets/TextInput.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {
template <class W>
W* named(W* w, const char* name) {
    w->setObjectName(name);
    return w;
}
}   // namespace

TPwdForm::TPwdForm(QWidget* owner, Session& session, Lookup lookup)
    : QDialog(owner), session_(session), lookup_(std::move(lookup)) {
    setObjectName("PwdForm");
    setWindowTitle("Password");
    setFont(QFont("Tahoma", 9));
    resize(440, 383);

    auto* box = new QGroupBox(this);
    rbepw = named(new QRadioButton("Login", box), "rbepw");
    rbepw->setChecked(true);
    lbLoginpw = named(new QLabel("Password:", box), "lbLoginpw");
    // The password tried last (a wrong entry comes back to be corrected), else the default.
    const QByteArray tried =
        session_.currentPassword().isEmpty() ? QByteArray(kDefaultPassword) : session_.currentPassword();
    ppassword = named(new QLineEdit(text::fromCp1250(tried), box), "ppassword");
    rbcpw = named(new QRadioButton("Change password", box), "rbcpw");
    gbnewpw = named(new QGroupBox(box), "gbnewpw");
    gbnewpw->setEnabled(false);
    lbpwcorig = named(new QLabel("Original password:", gbnewpw), "lbpwcorig");
    lbpwcnew1 = named(new QLabel("New password:", gbnewpw), "lbpwcnew1");
    lbpwcnew2 = named(new QLabel("Confirm new password:", gbnewpw), "lbpwcnew2");
    cpasswordo = named(new QLineEdit(gbnewpw), "cpasswordo");
    cpasswordn = named(new QLineEdit(gbnewpw), "cpasswordn");
    cpasswordnp = named(new QLineEdit(gbnewpw), "cpasswordnp");
    for (QLineEdit* e : {cpasswordo, cpasswordn, cpasswordnp}) e->setEnabled(false);
    for (QLineEdit* e : {ppassword, cpasswordo, cpasswordn, cpasswordnp}) AcceptModuleTextOnly(e);
    lbRefused = named(new QLabel(this), "lbRefused");
    lbRefused->setWordWrap(true);
    lbRefused->setVisible(false);
    btPasswAction = named(new QPushButton("OK", this), "btPasswAction");
    btPasswAction->setDefault(true);
    btCancel = named(new QPushButton("Cancel", this), "btCancel");

    auto* login = new QFormLayout;
    login->addRow(lbLoginpw, ppassword);
    auto* change = new QFormLayout(gbnewpw);
    change->addRow(lbpwcorig, cpasswordo);
    change->addRow(lbpwcnew1, cpasswordn);
    change->addRow(lbpwcnew2, cpasswordnp);
    auto* inner = new QVBoxLayout(box);
    inner->addWidget(rbepw);
    inner->addLayout(login);
    inner->addSpacing(12);
    inner->addWidget(rbcpw);
    inner->addWidget(gbnewpw);
    inner->addStretch();
    auto* outer = new QVBoxLayout(this);
    outer->addWidget(lbRefused);
    outer->addWidget(box);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btPasswAction);
    buttons->addWidget(btCancel);
    outer->addLayout(buttons);

    connect(rbcpw, &QRadioButton::toggled, this, [this](bool on) {
        if (on) rbcpwClick();
    });
    connect(cpasswordn, &QLineEdit::textChanged, this, &TPwdForm::cpasswordnChange);
    connect(cpasswordnp, &QLineEdit::textChanged, this, &TPwdForm::cpasswordnChange);
    connect(btPasswAction, &QPushButton::clicked, this, &TPwdForm::btPasswActionClick);
    connect(btCancel, &QPushButton::clicked, this, &QDialog::reject);
}

void TPwdForm::showEvent(QShowEvent* e) {
    FormShow();
    // The dialog comes after a refusal: say so, and let the user type at once.
    const lang::Msg refused = lang::Msg::PasswordRefused;
    lbRefused->setText(message ? message(refused) : lang::message(lang::Language::English, refused));
    lbRefused->setVisible(session_.lastLoginResult() == Outcome::Refused);
    const lang::Msg cancel = lang::Msg::CancelButton;
    btCancel->setText(message ? message(cancel) : lang::message(lang::Language::English, cancel));
    QDialog::showEvent(e);
    ppassword->setFocus();
    ppassword->selectAll();
}

void TPwdForm::FormShow() {
    if (!lookup_) return;
    rbepw->setText(lookup_("rbepw"));
    rbcpw->setText(lookup_("rbcpw"));
    lbLoginpw->setText(lookup_("lbLoginpw"));
    lbpwcorig->setText(lookup_("lbpwcorig"));
    lbpwcnew1->setText(lookup_("lbpwcnew1"));
    lbpwcnew2->setText(lookup_("lbpwcnew2"));
}

void TPwdForm::rbcpwClick() {
    if (!rbcpw->isChecked()) return;
    for (QWidget* w : std::initializer_list<QWidget*>{gbnewpw, cpasswordo, cpasswordn, cpasswordnp})
        w->setEnabled(true);
    btPasswAction->setEnabled(false);
}

void TPwdForm::cpasswordnChange() {
    if (cpasswordn->text() == cpasswordnp->text()) btPasswAction->setEnabled(true);
}

void TPwdForm::btPasswActionClick() {
    if (rbepw->isChecked()) {
        session_.setCurrentPassword(text::toCp1250(ppassword->text()));
    } else {
        session_.setCurrentPassword(text::toCp1250(cpasswordn->text()));
        if (session_.exchange().PasswordCommand(text::toCp1250(cpasswordo->text()), session_.currentPassword()) ==
            Outcome::Accepted)
            session_.setLoggedIn(true);
    }
    accept();
}
