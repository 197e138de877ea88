#pragma once
// Every wait of the link and the protocol, in one place. The values are the
// device's; tests may scale them down (never up to make a test pass).
#include <vector>

namespace timing {

// Command exchange
inline int exchangeLockTries = 1000;   // tries to take the exchange lock
inline int exchangeLockPollMs = 2;     // sleep between those tries
inline int commandAttempts = 4;        // sends of one query or set
inline int answerWaitMs = 2000;        // wait per attempt for the answer

// Login
inline int loginAttempts = 4;   // sends of one login or password command
inline int loginPolls = 20;     // polls per attempt
inline int loginPollMs = 100;   // one poll
inline int loginCalls = 5;      // calls of Login after a link comes up

// HID link
inline int hidSearchIntervalMs = 10;   // search while detached, where the system cannot tell arrivals
inline int hidSafetySearchMs = 1000;   // search while detached, where it can: for an arrival it did not tell
inline int hidReadTimeoutMs = 8;       // each read where the backend cannot wake it: a stop waits for the one under way
inline int hidWriteTimeoutMs = 1000;   // each report written (Windows): then it is cancelled and fails
inline int handOffTimeoutMs = 100;     // CallInMainThread

// Window: how long the note of a finished Read or Write stays in the progress bar
inline int transferNoteMs = 5000;

// GSM modem
inline int modemEscapeSleepMs = 200;
inline int modemCommandLineMs = 500;   // ReadLine budget per answer line of an AT command
inline int modemCommandReads = 4;
inline int modemDialLineMs = 1000;   // ReadLine budget while dialling
inline int modemDialReads = 60;
inline int modemClosePumps = 100;   // Close: waits this many times 10 ms after re-opening the port

// Every value above at once (tests only): save() takes them, restore() puts
// them back. A new value goes into the list in Timing.cpp as well.
using Values = std::vector<int>;
Values save();
void restore(const Values& saved);

}   // namespace timing
