// The process's event-loop timers. One timer thread per process stands for the host
// application's main loop: it is started by the first AddTimer and runs every timer
// callback, one at a time, in the order they fall due.
#pragma once

#include <cstdint>
#include <thread>

namespace MV {

// Identifies one timer for the life of the process; handles are never reused.
using TimerHandle = std::uint64_t;
constexpr TimerHandle kNoTimer = 0;

// Timer thread; need not be real-time safe. A callback that runs long delays every other
// timer, as on any main loop.
using TimerCallback = void (*)(void* user, TimerHandle timer);

enum class TimerRemoval {
    // Outside the timer thread, also wait for a callback of this timer that is running.
    kWaitForCallback,
    // Return at once; a callback that is already running may still be finishing.
    kDontWait,
};

// Installs a timer that first fires firstDelaySeconds from now, then every
// repeatIntervalSeconds (a value of 0 or less makes it fire once). A periodic timer keeps
// its rhythm: a firing that comes late does not shift the later ones, and firings missed
// while the loop was busy are dropped, not made up. Any thread. Returns kNoTimer when no
// timer thread can be started.
TimerHandle AddTimer(double firstDelaySeconds, double repeatIntervalSeconds, TimerCallback callback,
                     void* user);

// Stops further firings of `timer`; true when it was still installed. Any thread,
// including the timer's own callback. With kWaitForCallback, once this returns on another
// thread the callback is not running and will not run again; do not use it while holding a
// lock that the callback takes (use kDontWait there, and wait later without the lock).
bool RemoveTimer(TimerHandle timer, TimerRemoval removal = TimerRemoval::kWaitForCallback);

// The timer thread's id; a default id before the first AddTimer.
std::thread::id TimerThreadId();

// True on the timer thread.
bool IsTimerThread();

} // namespace MV
