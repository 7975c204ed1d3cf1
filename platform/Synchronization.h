// Event groups, counting semaphores and recursive critical regions for tasks that
// hand work to each other.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace MV {

// Time-outs are in milliseconds; this one waits as long as it takes.
constexpr long kWaitForever = -1;

// 32 flag bits that any thread may OR in and one waiting thread takes out all at once.
// Setting never blocks and never allocates, so the render thread may wake a task. Set
// touches the object no more once the bits are visible, so a waiter may destroy it as soon
// as its Wait returns.
class EventGroup {
public:
    EventGroup() = default;
    EventGroup(const EventGroup&) = delete;
    EventGroup& operator=(const EventGroup&) = delete;

    // Any thread; real-time safe (one atomic OR, and a futex wake only when a thread waits).
    void Set(std::uint32_t bits);

    // Blocks until at least one bit is set, then returns every set bit and clears them.
    // Returns 0 when timeoutMs passes first (0 polls). Any non-real-time thread.
    std::uint32_t Wait(long timeoutMs = kWaitForever);
    // The same with a deadline on the steady clock, to the nanosecond.
    std::uint32_t WaitUntil(std::chrono::steady_clock::time_point deadline);

private:
    // Low half: the flag bits (the word sleepers wait on); high half: how many sleep.
    std::atomic<std::uint64_t> m_state{0};
};

// A counting semaphore that refuses to count past its maximum. As with EventGroup, a waiter
// may destroy it as soon as its Wait returns.
class Semaphore {
public:
    Semaphore(std::uint32_t maximum, std::uint32_t initial);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Any thread; real-time safe. False when the count is already at its maximum.
    bool Signal();

    // Takes one count, waiting up to timeoutMs for one to appear. Any non-real-time thread.
    bool Wait(long timeoutMs = kWaitForever);

    std::uint32_t Count() const { return std::uint32_t(m_state.load(std::memory_order_acquire)); }
    std::uint32_t Maximum() const { return m_maximum; }

private:
    const std::uint32_t m_maximum;
    // Low half: the count (the word sleepers wait on); high half: how many sleep.
    std::atomic<std::uint64_t> m_state;
};

// A lock that the thread holding it may take again; each Enter needs its own Exit.
class CriticalRegion {
public:
    CriticalRegion() = default;
    CriticalRegion(const CriticalRegion&) = delete;
    CriticalRegion& operator=(const CriticalRegion&) = delete;

    // Any non-real-time thread. False when timeoutMs passed without getting the region.
    bool Enter(long timeoutMs = kWaitForever);
    // The thread that entered.
    void Exit();

private:
    // Built from a plain mutex and an owner rather than a timed recursive mutex: the timed
    // lock calls of the latter are invisible to ThreadSanitizer.
    std::mutex m_mutex;
    std::condition_variable m_released;
    std::thread::id m_owner;
    unsigned m_depth = 0;
};

// Holds a critical region for the life of a scope.
class CriticalRegionGuard {
public:
    explicit CriticalRegionGuard(CriticalRegion& region) : m_region(region) { m_region.Enter(); }
    ~CriticalRegionGuard() { m_region.Exit(); }
    CriticalRegionGuard(const CriticalRegionGuard&) = delete;
    CriticalRegionGuard& operator=(const CriticalRegionGuard&) = delete;

private:
    CriticalRegion& m_region;
};

} // namespace MV
