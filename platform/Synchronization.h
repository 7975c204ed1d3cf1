// Event groups, counting semaphores and recursive critical regions for tasks that
// hand work to each other.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

namespace MV {

// Time-outs are in milliseconds; this one waits as long as it takes.
constexpr long kWaitForever = -1;

// 32 flag bits that any thread may OR in and one waiting thread takes out all at once.
// Setting never blocks and never allocates, so the render thread may wake a task.
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

private:
    std::atomic<std::uint32_t> m_bits{0};
    std::atomic<std::uint32_t> m_waiters{0};
};

// A counting semaphore that refuses to count past its maximum.
class Semaphore {
public:
    Semaphore(std::uint32_t maximum, std::uint32_t initial);
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    // Any thread; real-time safe. False when the count is already at its maximum.
    bool Signal();

    // Takes one count, waiting up to timeoutMs for one to appear. Any non-real-time thread.
    bool Wait(long timeoutMs = kWaitForever);

    std::uint32_t Count() const { return m_count.load(std::memory_order_acquire); }
    std::uint32_t Maximum() const { return m_maximum; }

private:
    const std::uint32_t m_maximum;
    std::atomic<std::uint32_t> m_count;
    std::atomic<std::uint32_t> m_waiters{0};
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
    std::recursive_timed_mutex m_mutex;
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
