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
    Exchange exchange;
    QByteArray currentPassword;
    bool loggedIn = false;
    std::unique_ptr<CommBulkOperator> bulkOperator;

    // Shows the password dialog modally; it may change currentPassword or,
    // through a password change, set loggedIn. Without it the login just
    // tries the current password twice.
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
    int loginRuns = 0;                             // LoginRepeatedly calls so far
    bool lastLoginOk = false;                      // the outcome of the latest one
    Outcome lastLoginResult = Outcome::NoAnswer;   // the latest login command's
};
