#include "core/protocol/Session.h"

#include "core/text/Timing.h"

void Session::told(Outcome r) {
    lastResult_ = r;
    if (loginOutcomeChanged) loginOutcomeChanged();
}

Outcome Session::Login() {
    told(exchange_.PasswordCommand(currentPassword_, "0"));
    if (lastResult_ == Outcome::Accepted) return lastResult_;
    // The program is closing, or the module has gone: nobody to ask.
    if (exchange_.Aborted() || lastResult_ == Outcome::LinkLost) return lastResult_;
    if (askPassword) askPassword();
    told(exchange_.PasswordCommand(currentPassword_, "0"));
    if (lastResult_ == Outcome::Accepted) {
        bulkOperator_ = std::make_unique<CommBulkOperator>(exchange_.channel());
        loggedIn_ = true;
    }
    return lastResult_;
}

bool Session::LoginRepeatedly() {
    lastLoginOk_ = false;
    for (int i = 0; i < timing::loginCalls && !lastLoginOk_ && !exchange_.Aborted(); ++i) {
        lastLoginOk_ = Login() == Outcome::Accepted;
        if (lastResult_ == Outcome::LinkLost) break;
    }
    ++loginRuns_;
    return lastLoginOk_;
}
