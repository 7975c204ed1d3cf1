// The process's event-loop timers. One timer thread per process stands for the host
// application's main loop: it runs every timer callback and every deferred call, one at a
// time, in the order they fall due. It starts with the first timer or user and, once the last
// user has gone with no timer left, stops again, so that a process whose effects are all
// closed keeps no thread of ours.
#pragma once

#include <atomic>
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

// The timer thread's id; a default id while no timer thread runs.
std::thread::id TimerThreadId();

// True on the timer thread.
bool IsTimerThread();

// Keeps the timer thread running for its own life, for an owner that will add timers or
// post calls. When the last use goes and no timer is left, the thread ends (the destructor
// waits for it, except on the timer thread itself, which then keeps running). Main thread.
class TimerThreadUse {
public:
    TimerThreadUse();
    ~TimerThreadUse();
    TimerThreadUse(const TimerThreadUse&) = delete;
    TimerThreadUse& operator=(const TimerThreadUse&) = delete;
};

// A function the timer thread calls soon after each Post, once however many Posts came
// before the call: how the render thread hands work that may block or allocate to the
// main loop. Holds a use of the timer thread while it exists.
class DeferredCall {
public:
    using Function = void (*)(void* user);

    // Main thread. Allocates.
    DeferredCall(Function function, void* user);
    // Main thread. Drops a pending call and waits for one in progress (unless on the timer
    // thread), so the function is not running once this returns.
    ~DeferredCall();
    DeferredCall(const DeferredCall&) = delete;
    DeferredCall& operator=(const DeferredCall&) = delete;

    // Any thread; real-time safe (atomic stores and a non-blocking wake-up).
    void Post();
    // Any thread but the timer thread: drops a pending call and waits for one in progress.
    void Cancel();

private:
    friend class TimerService;
    const TimerThreadUse m_use;
    const Function m_function;
    void* const m_user;
    std::atomic<bool> m_pending{false};
};

} // namespace MV
