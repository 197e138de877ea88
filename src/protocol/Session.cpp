#include "protocol/Session.h"

#include "protocol/Timing.h"

int Session::Login() {
    lastLoginResult = exchange.PasswordCommand(currentPassword, "0");
    if (lastLoginResult == 1) return 1;
    if (exchange.Aborted()) return 0;   // the program is closing: nobody to ask
    if (askPassword) askPassword();
    exchange.ClearLevel0AndPass();
    const int r = exchange.PasswordCommand(currentPassword, "0");
    lastLoginResult = r;
    if (r == 1) {
        bulkOperator = std::make_unique<CommBulkOperator>(exchange.channel());
        loggedIn = true;
    }
    return r;
}

bool Session::LoginRepeatedly() {
    lastLoginOk = false;
    for (int i = 0; i < timing::loginCalls && !lastLoginOk && !exchange.Aborted(); ++i) lastLoginOk = Login() == 1;
    ++loginRuns;
    return lastLoginOk;
}
