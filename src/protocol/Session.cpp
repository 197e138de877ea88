#include "protocol/Session.h"

#include "protocol/Timing.h"

int Session::Login() {
    if (exchange.PasswordCommand(currentPassword, "0") == 1) return 1;
    if (askPassword) askPassword();
    exchange.ClearLevel0AndPass();
    const int r = exchange.PasswordCommand(currentPassword, "0");
    if (r == 1) {
        bulkOperator = std::make_unique<CommBulkOperator>(exchange.channel());
        loggedIn = true;
    }
    return r;
}

bool Session::LoginRepeatedly() {
    lastLoginOk = false;
    for (int i = 0; i < timing::loginCalls && !lastLoginOk; ++i) lastLoginOk = Login() == 1;
    ++loginRuns;
    return lastLoginOk;
}
