#include "Synchronization.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace MV {

namespace {

using Clock = std::chrono::steady_clock;

// The kernel compares the word with `expected` and sleeps only while they match, so a
// change made between our last look and this call cannot be missed.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected, const timespec* relative) {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected,
            relative, nullptr, 0);
}

void FutexWake(std::atomic<std::uint32_t>& word, int count) {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
            nullptr, 0);
}

// A time-out turned into a deadline, so that spurious wake-ups do not stretch the wait.
class Deadline {
public:
    explicit Deadline(long timeoutMs)
        : m_forever(timeoutMs < 0),
          m_end(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}

    // False once the deadline has passed; otherwise fills `remaining` (null for no limit).
    bool Remaining(timespec& remaining, const timespec*& pointer) const {
        if (m_forever) {
            pointer = nullptr;
            return true;
        }
        const auto left = m_end - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
        remaining.tv_nsec = static_cast<long>(ns % 1000000000);
        pointer = &remaining;
        return true;
    }

private:
    bool m_forever;
    Clock::time_point m_end;
};

} // namespace

void EventGroup::Set(std::uint32_t bits) {
    if (bits == 0) {
        return;
    }
    m_bits.fetch_or(bits, std::memory_order_seq_cst);
    if (m_waiters.load(std::memory_order_seq_cst) != 0) {
        FutexWake(m_bits, INT_MAX);
    }
}

std::uint32_t EventGroup::Wait(long timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        const std::uint32_t bits = m_bits.exchange(0, std::memory_order_acq_rel);
        if (bits != 0) {
            return bits;
        }
        timespec remaining{};
        const timespec* limit = nullptr;
        if (!deadline.Remaining(remaining, limit)) {
            return 0;
        }
        // Announce the wait before the last look, so that a Set either sees a waiter and
        // wakes it or has already stored bits that the kernel's comparison will see.
        m_waiters.fetch_add(1, std::memory_order_seq_cst);
        if (m_bits.load(std::memory_order_seq_cst) == 0) {
            FutexWait(m_bits, 0, limit);
        }
        m_waiters.fetch_sub(1, std::memory_order_seq_cst);
    }
}

Semaphore::Semaphore(std::uint32_t maximum, std::uint32_t initial)
    : m_maximum(maximum), m_count(initial > maximum ? maximum : initial) {}

bool Semaphore::Signal() {
    std::uint32_t count = m_count.load(std::memory_order_relaxed);
    do {
        if (count >= m_maximum) {
            return false;
        }
    } while (!m_count.compare_exchange_weak(count, count + 1, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
    if (m_waiters.load(std::memory_order_seq_cst) != 0) {
        FutexWake(m_count, 1);
    }
    return true;
}

bool Semaphore::Wait(long timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        std::uint32_t count = m_count.load(std::memory_order_acquire);
        while (count != 0) {
            if (m_count.compare_exchange_weak(count, count - 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                return true;
            }
        }
        timespec remaining{};
        const timespec* limit = nullptr;
        if (!deadline.Remaining(remaining, limit)) {
            return false;
        }
        m_waiters.fetch_add(1, std::memory_order_seq_cst);
        if (m_count.load(std::memory_order_seq_cst) == 0) {
            FutexWait(m_count, 0, limit);
        }
        m_waiters.fetch_sub(1, std::memory_order_seq_cst);
    }
}

bool CriticalRegion::Enter(long timeoutMs) {
    if (timeoutMs < 0) {
        m_mutex.lock();
        return true;
    }
    return m_mutex.try_lock_for(std::chrono::milliseconds(timeoutMs));
}

void CriticalRegion::Exit() {
    m_mutex.unlock();
}

} // namespace MV
