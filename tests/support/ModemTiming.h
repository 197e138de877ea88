#pragma once
// Timing over the simulated modem in tests.
//
// The tool waits modemEscapeSleepMs before and after "+++" (the device's
// wait is 200 ms). The simulated modem wants a quarter of it as silence
// (SimModem::Knobs::guardMs); the rest is the room a loaded machine has,
// where the terminal may hand the modem its input that much late without the
// escape being missed.
//
// Answer budgets over a call stay the device's own: on a loaded machine the
// pseudo-terminal can hold a call's bytes for a second or two in either
// direction (the kernel's worker that hands them over waits for a
// processor). An answered command ends its wait at once all the same.
#include "core/text/Timing.h"

namespace testTiming {

constexpr int modemEscapeSleepMs = 40;

// The device's values, as Timing.h has them before any test changes them.
inline const int deviceAnswerWaitMs = timing::answerWaitMs;
inline const int deviceLoginPollMs = timing::loginPollMs;
inline const int deviceModemCommandLineMs = timing::modemCommandLineMs;
inline const int deviceModemDialLineMs = timing::modemDialLineMs;

inline void deviceAnswerBudgets() {
    timing::answerWaitMs = deviceAnswerWaitMs;
    timing::loginPollMs = deviceLoginPollMs;
    timing::modemCommandLineMs = deviceModemCommandLineMs;
    timing::modemDialLineMs = deviceModemDialLineMs;
}

}   // namespace testTiming
