#pragma once
// One scenario run over USB and over a modem call: the simulated module
// answers every command 1.5 attempts late, so every command goes out twice and
// both sends are answered, the second answer arriving while the next command
// waits. Each command must still end with its own answer.
#include "core/protocol/Exchange.h"
#include "core/text/Timing.h"
#include "sim/SimModule.h"
#include "support/TimingGuard.h"

#include <QTest>

// Call with the exchange's channel reaching `module`, the module logged out.
inline void checkLateDuplicateAnswers(Exchange& ex, SimModule& module) {
    TimingGuard savedTiming;
    timing::answerWaitMs = 100;
    // Room for a loaded machine, where an answer can come seconds later still:
    // each command goes out at least twice whatever happens, but none runs
    // out of sends before its answer.
    timing::commandAttempts = 40;
    timing::loginAttempts = 40;
    timing::loginPolls = 10;
    timing::loginPollMs = 10;
    auto k = module.knobs();
    k.answerDelayMs = 150;
    module.setKnobs(k);
    module.setParam("VCALL:GMIC.VOL0", "4");
    module.setParam("VCALL:GSPK.VOL0", "55");
    module.clearCommands();

    QCOMPARE(ex.PasswordCommand("4826", "0"), Outcome::Accepted);
    QCOMPARE(ParseAnswerValue(ex.QueryParam("VCALL:GMIC.VOL0")), QByteArray("4"));
    QCOMPARE(ParseAnswerValue(ex.QueryParam("VCALL:GSPK.VOL0")), QByteArray("55"));
    QCOMPARE(ex.SetParam("VCALL:GMIC.VOL0", "9"), Outcome::Accepted);
    // The set before it was confirmed twice; this one is refused.
    QCOMPARE(ex.SetParam("NO:SUCH.KEY", "1"), Outcome::Refused);
    QCOMPARE(ParseAnswerValue(ex.QueryParam("VCALL:GMIC.VOL0")), QByteArray("9"));
    // The query before it passed at level 2 twice; a wrong password is refused.
    QCOMPARE(ex.PasswordCommand("0000", "0"), Outcome::Refused);
    // The commands really went out again before their answers came.
    QVERIFY(module.commands().count("sc VCALL:GSPK.VOL0?#") >= 2);
    QVERIFY(module.commands().count("sc \"NO:SUCH.KEY=1#\"") >= 2);
    QTRY_COMPARE(ex.Unanswered(), 0);   // every late answer arrived and was set aside
    k.answerDelayMs = 0;
    module.setKnobs(k);
}
