#pragma once
// Saves every timing value when made and puts them all back when it goes, so
// that a test that changes timing leaves none of it behind, also when a failed
// check returns early. Hold one first thing in a test function that changes
// timing (so that it outlives what the function starts), or as a member of a
// test class whose initTestCase or init changes it.
#include "core/text/Timing.h"

class TimingGuard {
public:
    TimingGuard() = default;
    TimingGuard(const TimingGuard&) = delete;
    TimingGuard& operator=(const TimingGuard&) = delete;
    ~TimingGuard() { restore(); }

    // Back to the saved values now; they are put back again at the end.
    void restore() const { timing::restore(saved_); }

private:
    const timing::Values saved_ = timing::save();
};
