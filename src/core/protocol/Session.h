#pragma once
// The protocol state of the window that outlives one exchange: the current
// password, the logged-in flag, the bulk operator, and the login itself.
#include "core/protocol/Exchange.h"

#include <QByteArray>

#include <functional>
#include <memory>

constexpr char kDefaultPassword[] = "4826";

// Created after a login that needed the password dialog; lives until the link goes.
class CommBulkOperator {
public:
    explicit CommBulkOperator(Connection* link) : Link(link) {}
    Connection* Link;
};

class Session {
public:
    Exchange& exchange() { return exchange_; }
    const Exchange& exchange() const { return exchange_; }
    // The password the next login sends (empty: none set yet).
    QByteArray currentPassword() const { return currentPassword_; }
    void setCurrentPassword(const QByteArray& password) { currentPassword_ = password; }
    // Whether this link has had its login (a password change logs in too).
    bool loggedIn() const { return loggedIn_; }
    void setLoggedIn(bool on) { loggedIn_ = on; }
    // Made by a login that needed the password dialog; lives until the link goes.
    CommBulkOperator* bulkOperator() const { return bulkOperator_.get(); }
    void dropBulkOperator() { bulkOperator_.reset(); }

    // Shows the password dialog modally; it may change the current password
    // or, through a password change, log in. Without it the login just tries
    // the current password twice.
    std::function<void()> askPassword;
    // Told each time a login command has had its outcome (lastLoginResult),
    // before the user is asked.
    std::function<void()> loginOutcomeChanged;

    // Logs in with the current password; on failure asks the user once and
    // tries again. Once the link is gone nobody is asked.
    Outcome Login();
    // Up to timing::loginCalls calls of Login; true at the first success.
    // Stops as soon as the link is gone.
    bool LoginRepeatedly();
    int loginRuns() const { return loginRuns_; }              // LoginRepeatedly calls so far
    bool lastLoginOk() const { return lastLoginOk_; }         // the outcome of the latest one
    Outcome lastLoginResult() const { return lastResult_; }   // the latest login command's
    // A new link: no refusal of an earlier module is this one's.
    void forgetLastResult() { lastResult_ = Outcome::NoAnswer; }
    // For tests of what the dialog shows after a login's outcome.
    void setLastLoginResult(Outcome r) { lastResult_ = r; }

private:
    void told(Outcome r);   // keeps the login command's outcome and says so

    Exchange exchange_;
    QByteArray currentPassword_;
    bool loggedIn_ = false;
    std::unique_ptr<CommBulkOperator> bulkOperator_;
    int loginRuns_ = 0;
    bool lastLoginOk_ = false;
    Outcome lastResult_ = Outcome::NoAnswer;
};
