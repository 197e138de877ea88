#pragma once
// Waits that sleep: on the application thread in its event loop, so that its
// events go on meanwhile, woken through its event dispatcher by whoever
// delivers what it waits for.
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

class QAbstractEventDispatcher;

namespace waiting {

using Clock = std::chrono::steady_clock;

// This is the application's own thread (a QCoreApplication exists).
bool onApplicationThread();
// Whole milliseconds until t, rounded up; 0 once it has passed.
int msUntil(Clock::time_point t);

// Sleeps in this thread's event loop until woken() holds or until passes.
// woken() is looked at under mutex, at once and whenever the loop is about
// to sleep; meanwhile this thread's dispatcher is on sleepers (under mutex)
// for the waker to wakeUp() after it changed what woken() looks at. False
// when the application is quitting (its loops end at once): the caller then
// waits without them.
bool sleepInEventLoop(std::mutex& mutex, std::vector<QAbstractEventDispatcher*>& sleepers,
                      const std::function<bool()>& woken, Clock::time_point until);

}   // namespace waiting
