#include "Timers.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <mutex>
#include <pthread.h>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include "Synchronization.h"

namespace MV {

namespace {

using Clock = std::chrono::steady_clock;

// Longer delays are as good as never; the clamp keeps the time arithmetic in range.
constexpr double kLongestDelaySeconds = 1e9;
// How long process exit, or the last use going, waits for a callback that is still running.
constexpr auto kExitGrace = std::chrono::milliseconds(1000);
// Wake-up reasons of the timer thread.
constexpr std::uint32_t kScheduleChanged = 1;
constexpr std::uint32_t kCallPosted = 2;

Clock::duration SecondsToDuration(double seconds) {
    if (!(seconds > 0.0)) { // also NaN
        return Clock::duration::zero();
    }
    if (seconds > kLongestDelaySeconds) {
        seconds = kLongestDelaySeconds;
    }
    const auto duration =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return duration > Clock::duration::zero() ? duration : Clock::duration(1);
}

} // namespace

// The one service of the process. The object lives for the whole process (a thread let go
// at exit may still be inside it); its thread comes and goes.
class TimerService {
public:
    static TimerService& Instance() {
        static auto* const service = new TimerService;
        return *service;
    }

    TimerHandle Add(Clock::duration delay, Clock::duration interval, TimerCallback callback,
                    void* user) {
        const std::lock_guard life(m_lifecycle);
        if (!StartThread()) {
            return kNoTimer;
        }
        std::lock_guard lock(m_mutex);
        const TimerHandle handle = m_nextHandle++;
        const Clock::time_point due = Clock::now() + delay;
        m_timers.emplace(handle, Timer{callback, user, interval, due});
        m_schedule.emplace(due, handle);
        m_wake.Set(kScheduleChanged);
        return handle;
    }

    bool Remove(TimerHandle handle, TimerRemoval removal) {
        std::unique_lock lock(m_mutex);
        bool found = false;
        if (auto it = m_timers.find(handle); it != m_timers.end()) {
            m_schedule.erase({it->second.due, handle});
            m_timers.erase(it);
            found = true;
        }
        if (removal == TimerRemoval::kWaitForCallback && !OnTimerThread()) {
            m_callbackDone.wait(lock, [&] { return m_running != handle || m_abandoned; });
        }
        return found;
    }

    void Retain() {
        const std::lock_guard life(m_lifecycle);
        ++m_uses;
        StartThread();
    }

    void Release() {
        const std::lock_guard life(m_lifecycle);
        --m_uses;
        StopThreadIfIdle();
    }

    void Register(DeferredCall* call) {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(call);
    }

    void Unregister(DeferredCall* call) {
        std::unique_lock lock(m_mutex);
        std::erase(m_calls, call);
        WaitUntilNotRunning(lock, call);
    }

    void Cancel(DeferredCall* call) {
        std::unique_lock lock(m_mutex);
        call->m_pending.store(false, std::memory_order_relaxed);
        WaitUntilNotRunning(lock, call);
    }

    void Post(DeferredCall* call) {
        call->m_pending.store(true, std::memory_order_release);
        m_wake.Set(kCallPosted);
    }

    std::thread::id ThreadId() const { return m_threadId.load(std::memory_order_acquire); }

    bool OnTimerThread() const { return ThreadId() == std::this_thread::get_id(); }

    // Process exit, from the atexit handler. Never hangs: a callback that does not come
    // back within the grace period keeps its thread, which is let go.
    void StopAtExit() {
        const std::lock_guard life(m_lifecycle);
        if (!m_thread.joinable()) {
            return;
        }
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        m_wake.Set(kScheduleChanged);
        if (OnTimerThread()) {
            m_thread.detach(); // a callback called exit(); the loop ends when it returns
            return;
        }
        if (!m_exited.wait_for(lock, kExitGrace, [this] { return m_threadExited; })) {
            m_abandoned = true;
            m_callbackDone.notify_all();
            lock.unlock();
            m_thread.detach();
            return;
        }
        lock.unlock();
        m_thread.join();
    }

private:
    struct Timer {
        TimerCallback callback;
        void* user;
        Clock::duration interval; // zero: fires once
        Clock::time_point due;
    };

    TimerService() = default;

    static Clock::time_point NextFiring(Clock::time_point due, Clock::duration interval,
                                        Clock::time_point now) {
        Clock::time_point next = due + interval;
        if (next <= now) {
            next = due + interval * ((now - due) / interval + 1);
        }
        return next;
    }

    static void StopAtProcessExit() { Instance().StopAtExit(); }

    // Under m_lifecycle. False when no thread could be started.
    bool StartThread() {
        if (m_thread.joinable()) {
            return true;
        }
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = false;
            m_threadExited = false;
        }
        try {
            m_thread = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            return false;
        }
        m_threadId.store(m_thread.get_id(), std::memory_order_release);
        if (!m_exitHandlerInstalled) {
            m_exitHandlerInstalled = true;
            std::atexit(StopAtProcessExit);
        }
        return true;
    }

    // Under m_lifecycle. A callback that does not come back within the grace period keeps
    // the thread running, as does a call from the timer thread itself.
    void StopThreadIfIdle() {
        if (m_uses != 0 || !m_thread.joinable() || OnTimerThread()) {
            return;
        }
        std::unique_lock lock(m_mutex);
        if (!m_timers.empty()) {
            return;
        }
        m_stopping = true;
        m_wake.Set(kScheduleChanged);
        if (!m_exited.wait_for(lock, kExitGrace, [this] { return m_threadExited; })) {
            m_stopping = false;
            return;
        }
        lock.unlock();
        m_thread.join();
        m_threadId.store(std::thread::id(), std::memory_order_release);
    }

    void WaitUntilNotRunning(std::unique_lock<std::mutex>& lock, const DeferredCall* call) {
        if (!OnTimerThread()) {
            m_callbackDone.wait(lock, [&] { return m_runningCall != call || m_abandoned; });
        }
    }

    // Under m_mutex: the posted calls, each without the lock.
    void RunPostedCalls(std::unique_lock<std::mutex>& lock) {
        for (std::size_t i = 0; i < m_calls.size(); ++i) {
            DeferredCall* call = m_calls[i];
            if (!call->m_pending.exchange(false, std::memory_order_acquire)) {
                continue;
            }
            m_runningCall = call;
            lock.unlock();
            try {
                call->m_function(call->m_user);
            } catch (...) {
                std::fputs("Deferred call ended with an exception\n", stderr);
            }
            lock.lock();
            m_runningCall = nullptr;
            m_callbackDone.notify_all();
        }
    }

    void Run() {
        pthread_setname_np(pthread_self(), "fluxet-timers");
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            RunPostedCalls(lock);
            if (m_stopping) {
                break;
            }
            if (m_schedule.empty()) {
                lock.unlock();
                m_wake.Wait(kWaitForever);
                lock.lock();
                continue;
            }
            const auto [due, handle] = *m_schedule.begin();
            const Clock::time_point now = Clock::now();
            if (due > now) {
                lock.unlock();
                m_wake.WaitUntil(due);
                lock.lock();
                continue;
            }
            m_schedule.erase(m_schedule.begin());
            auto it = m_timers.find(handle);
            const Timer timer = it->second;
            // Rescheduled before the call, so that a callback removing its own timer
            // finds it installed and takes it out.
            if (timer.interval == Clock::duration::zero()) {
                m_timers.erase(it);
            } else {
                it->second.due = NextFiring(due, timer.interval, now);
                m_schedule.emplace(it->second.due, handle);
            }
            m_running = handle;
            lock.unlock();
            try {
                timer.callback(timer.user, handle);
            } catch (...) {
                std::fputs("Timer callback ended with an exception\n", stderr);
            }
            lock.lock();
            m_running = kNoTimer;
            m_callbackDone.notify_all();
        }
        m_threadExited = true;
        m_exited.notify_all();
    }

    // Starting and stopping the thread, and the uses that decide them.
    std::mutex m_lifecycle;
    std::thread m_thread;
    std::atomic<std::thread::id> m_threadId;
    int m_uses = 0;
    bool m_exitHandlerInstalled = false;

    // Everything else; the thread holds it except while it waits or calls out.
    std::mutex m_mutex;
    EventGroup m_wake;
    std::condition_variable m_callbackDone;
    std::condition_variable m_exited;
    std::map<TimerHandle, Timer> m_timers;
    std::set<std::pair<Clock::time_point, TimerHandle>> m_schedule;
    std::vector<DeferredCall*> m_calls;
    TimerHandle m_nextHandle = 1;
    TimerHandle m_running = kNoTimer;
    const DeferredCall* m_runningCall = nullptr;
    bool m_stopping = false;
    bool m_threadExited = false;
    bool m_abandoned = false;
};

TimerHandle AddTimer(double firstDelaySeconds, double repeatIntervalSeconds, TimerCallback callback,
                     void* user) {
    if (callback == nullptr) {
        return kNoTimer;
    }
    return TimerService::Instance().Add(SecondsToDuration(firstDelaySeconds),
                                        SecondsToDuration(repeatIntervalSeconds), callback, user);
}

bool RemoveTimer(TimerHandle timer, TimerRemoval removal) {
    return timer != kNoTimer && TimerService::Instance().Remove(timer, removal);
}

std::thread::id TimerThreadId() {
    return TimerService::Instance().ThreadId();
}

bool IsTimerThread() {
    return TimerService::Instance().OnTimerThread();
}

TimerThreadUse::TimerThreadUse() {
    TimerService::Instance().Retain();
}

TimerThreadUse::~TimerThreadUse() {
    TimerService::Instance().Release();
}

DeferredCall::DeferredCall(Function function, void* user) : m_function(function), m_user(user) {
    TimerService::Instance().Register(this);
}

DeferredCall::~DeferredCall() {
    TimerService::Instance().Unregister(this);
}

void DeferredCall::Post() {
    TimerService::Instance().Post(this);
}

void DeferredCall::Cancel() {
    TimerService::Instance().Cancel(this);
}

} // namespace MV
