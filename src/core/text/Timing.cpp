#include "core/text/Timing.h"

#include <algorithm>

namespace timing {

void scaleAll(int num, int den) {
    auto s = [&](int& v) { v = std::max(1, v * num / den); };
    s(answerWaitMs);
    s(loginPollMs);
    s(modemEscapeSleepMs);
    s(modemCommandLineMs);
    s(modemDialLineMs);
}

}  // namespace timing
