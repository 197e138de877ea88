#include "core/text/Timing.h"

#include <iterator>

namespace timing {

namespace {

// Every value, once; save() and restore() walk it in this order.
int* const kAll[] = {
    &exchangeLockTries, &exchangeLockPollMs, &commandAttempts, &answerWaitMs,        &loginAttempts,
    &loginPolls,        &loginPollMs,        &loginCalls,      &hidSearchIntervalMs, &hidSafetySearchMs,
    &hidReadTimeoutMs,  &handOffTimeoutMs,   &transferNoteMs,  &modemEscapeSleepMs,  &modemCommandLineMs,
    &modemCommandReads, &modemDialLineMs,    &modemDialReads,  &modemClosePumps,     &hidWriteTimeoutMs,
};

}   // namespace

Values save() {
    Values v;
    v.reserve(std::size(kAll));
    for (const int* p : kAll) v.push_back(*p);
    return v;
}

void restore(const Values& saved) {
    // Only what differs is written: a reader thread may still be reading the rest.
    for (size_t i = 0; i < std::size(kAll) && i < saved.size(); ++i)
        if (*kAll[i] != saved[i]) *kAll[i] = saved[i];
}

}   // namespace timing
