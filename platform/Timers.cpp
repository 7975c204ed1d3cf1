#include "Timers.h"

#include <atomic>
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

namespace MV {

namespace {

using Clock = std::chrono::steady_clock;

// Longer delays are as good as never; the clamp keeps the time arithmetic in range.
constexpr double kLongestDelaySeconds = 1e9;
// How long process exit waits for a callback that is still running.
constexpr auto kExitGrace = std::chrono::milliseconds(1000);

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

class TimerService {
public:
    TimerService() : m_thread([this]() { Run(); }), m_threadId(m_thread.get_id()) {}

    TimerHandle Add(Clock::duration delay, Clock::duration interval, TimerCallback callback,
                    void* user) {
        std::lock_guard lock(m_mutex);
        const TimerHandle handle = m_nextHandle++;
        const Clock::time_point due = Clock::now() + delay;
        m_timers.emplace(handle, Timer{callback, user, interval, due});
        m_schedule.emplace(due, handle);
        m_wake.notify_one();
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
        if (removal == TimerRemoval::kWaitForCallback && std::this_thread::get_id() != m_threadId) {
            m_callbackDone.wait(lock, [&] { return m_running != handle || m_abandoned; });
        }
        return found;
    }

    std::thread::id ThreadId() const { return m_threadId; }

    // Process exit, from the atexit handler. Never hangs: a callback that does not come
    // back within the grace period keeps its thread, which is let go.
    void Stop() {
        std::unique_lock lock(m_mutex);
        m_stopping = true;
        m_wake.notify_all();
        if (std::this_thread::get_id() == m_threadId) {
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

    static Clock::time_point NextFiring(Clock::time_point due, Clock::duration interval,
                                        Clock::time_point now) {
        Clock::time_point next = due + interval;
        if (next <= now) {
            next = due + interval * ((now - due) / interval + 1);
        }
        return next;
    }

    void Run() {
        pthread_setname_np(pthread_self(), "fluxet-timers");
        std::unique_lock lock(m_mutex);
        while (!m_stopping) {
            if (m_schedule.empty()) {
                m_wake.wait(lock);
                continue;
            }
            const auto [due, handle] = *m_schedule.begin();
            const Clock::time_point now = Clock::now();
            if (due > now) {
                m_wake.wait_until(lock, due);
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

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_callbackDone;
    std::condition_variable m_exited;
    std::map<TimerHandle, Timer> m_timers;
    std::set<std::pair<Clock::time_point, TimerHandle>> m_schedule;
    TimerHandle m_nextHandle = 1;
    TimerHandle m_running = kNoTimer;
    bool m_stopping = false;
    bool m_threadExited = false;
    bool m_abandoned = false;
    std::thread m_thread; // started last: Run uses the members above
    const std::thread::id m_threadId;
};

// The service is never destroyed: a timer thread let go at exit may still be inside it.
std::atomic<TimerService*> g_timerService{nullptr};
std::mutex g_timerServiceCreation;

void StopTimerServiceAtExit() {
    if (TimerService* service = g_timerService.load(std::memory_order_acquire)) {
        service->Stop();
    }
}

TimerService* Service(bool create) {
    TimerService* service = g_timerService.load(std::memory_order_acquire);
    if (service != nullptr || !create) {
        return service;
    }
    std::lock_guard lock(g_timerServiceCreation);
    service = g_timerService.load(std::memory_order_relaxed);
    if (service == nullptr) {
        try {
            service = new TimerService();
        } catch (const std::system_error&) {
            return nullptr;
        }
        g_timerService.store(service, std::memory_order_release);
        std::atexit(StopTimerServiceAtExit);
    }
    return service;
}

} // namespace

TimerHandle AddTimer(double firstDelaySeconds, double repeatIntervalSeconds, TimerCallback callback,
                     void* user) {
    if (callback == nullptr) {
        return kNoTimer;
    }
    TimerService* service = Service(true);
    if (service == nullptr) {
        return kNoTimer;
    }
    return service->Add(SecondsToDuration(firstDelaySeconds),
                        SecondsToDuration(repeatIntervalSeconds), callback, user);
}

bool RemoveTimer(TimerHandle timer, TimerRemoval removal) {
    TimerService* service = Service(false);
    return service != nullptr && timer != kNoTimer && service->Remove(timer, removal);
}

std::thread::id TimerThreadId() {
    const TimerService* service = Service(false);
    return service != nullptr ? service->ThreadId() : std::thread::id();
}

bool IsTimerThread() {
    const TimerService* service = Service(false);
    return service != nullptr && service->ThreadId() == std::this_thread::get_id();
}

} // namespace MV
