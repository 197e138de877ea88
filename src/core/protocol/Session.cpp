#include "core/protocol/Session.h"

#include "core/text/Timing.h"

Outcome Session::Login() {
    lastLoginResult = exchange.PasswordCommand(currentPassword, "0");
    if (loginOutcomeChanged) loginOutcomeChanged();
    if (lastLoginResult == Outcome::Accepted) return lastLoginResult;
    // The program is closing, or the module has gone: nobody to ask.
    if (exchange.Aborted() || lastLoginResult == Outcome::LinkLost) return lastLoginResult;
    if (askPassword) askPassword();
    const Outcome r = exchange.PasswordCommand(currentPassword, "0");
    lastLoginResult = r;
    if (loginOutcomeChanged) loginOutcomeChanged();
    if (r == Outcome::Accepted) {
        bulkOperator = std::make_unique<CommBulkOperator>(exchange.channel());
        loggedIn = true;
    }
    return r;
}

bool Session::LoginRepeatedly() {
    lastLoginOk = false;
    for (int i = 0; i < timing::loginCalls && !lastLoginOk && !exchange.Aborted(); ++i) {
        lastLoginOk = Login() == Outcome::Accepted;
        if (lastLoginResult == Outcome::LinkLost) break;
    }
    ++loginRuns;
    return lastLoginOk;
}
