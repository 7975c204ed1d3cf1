#include "Synchronization.h"

#include <bit>
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

constexpr std::uint64_t kOneWaiter = std::uint64_t(1) << 32;
constexpr std::uint64_t kLowHalf = 0xFFFFFFFFu;

static_assert(std::endian::native == std::endian::little,
              "sleepers wait on the low half of a 64-bit state word");
static_assert(sizeof(std::atomic<std::uint64_t>) == sizeof(std::uint64_t));

// The low half of a state word, the 32-bit word the kernel compares and sleeps on.
std::uint32_t* FutexWord(std::atomic<std::uint64_t>& state) {
    return reinterpret_cast<std::uint32_t*>(&state);
}

// The kernel compares the word with `expected` and sleeps only while they match, so a
// change made between our last look and this call cannot be missed.
void FutexWait(std::atomic<std::uint64_t>& state, std::uint32_t expected,
               const timespec* relative) {
    syscall(SYS_futex, FutexWord(state), FUTEX_WAIT_PRIVATE, expected, relative, nullptr, 0);
}

// Touches no memory: after the waker published its change the object may already be gone,
// and a wake-up that reaches whatever lives there now is only a spurious one.
void FutexWake(std::uint32_t* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

// A time-out turned into a deadline, so that spurious wake-ups do not stretch the wait.
class Deadline {
public:
    explicit Deadline(long timeoutMs)
        : m_forever(timeoutMs < 0),
          m_end(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}
    explicit Deadline(Clock::time_point end) : m_forever(false), m_end(end) {}

    // False once the deadline has passed; otherwise points `limit` at what is left (null
    // for no limit).
    bool Remaining(timespec& remaining, const timespec*& limit) const {
        if (m_forever) {
            limit = nullptr;
            return true;
        }
        const auto left = m_end - Clock::now();
        if (left <= Clock::duration::zero()) {
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        remaining.tv_sec = static_cast<time_t>(ns / 1000000000);
        remaining.tv_nsec = static_cast<long>(ns % 1000000000);
        limit = &remaining;
        return true;
    }

private:
    bool m_forever;
    Clock::time_point m_end;
};

// Sleeps while the low half of `state` is 0, counting itself among the sleepers so that a
// waker knows to wake it. Registering and waking are changes of the same word, so either
// the waker sees the sleeper or the sleeper sees the waker's change.
void SleepWhileZero(std::atomic<std::uint64_t>& state, const timespec* limit) {
    const std::uint64_t before = state.fetch_add(kOneWaiter, std::memory_order_seq_cst);
    if ((before & kLowHalf) == 0) {
        FutexWait(state, 0, limit);
    }
    state.fetch_sub(kOneWaiter, std::memory_order_seq_cst);
}

// An event group's wait: every set bit, taken, or 0 once the deadline passed.
std::uint32_t TakeBits(std::atomic<std::uint64_t>& state, const Deadline& deadline) {
    for (;;) {
        const std::uint64_t before = state.fetch_and(~kLowHalf, std::memory_order_acq_rel);
        if ((before & kLowHalf) != 0) {
            return std::uint32_t(before);
        }
        timespec remaining{};
        const timespec* limit = nullptr;
        if (!deadline.Remaining(remaining, limit)) {
            return 0;
        }
        SleepWhileZero(state, limit);
    }
}

} // namespace

void EventGroup::Set(std::uint32_t bits) {
    if (bits == 0) {
        return;
    }
    std::uint32_t* word = FutexWord(m_state);
    const std::uint64_t before = m_state.fetch_or(bits, std::memory_order_seq_cst);
    if ((before >> 32) != 0) {
        FutexWake(word, INT_MAX);
    }
}

std::uint32_t EventGroup::Wait(long timeoutMs) {
    return TakeBits(m_state, Deadline(timeoutMs));
}

std::uint32_t EventGroup::WaitUntil(std::chrono::steady_clock::time_point end) {
    return TakeBits(m_state, Deadline(end));
}

Semaphore::Semaphore(std::uint32_t maximum, std::uint32_t initial)
    : m_maximum(maximum), m_state(initial > maximum ? maximum : initial) {}

bool Semaphore::Signal() {
    std::uint32_t* word = FutexWord(m_state);
    std::uint64_t state = m_state.load(std::memory_order_relaxed);
    do {
        if ((state & kLowHalf) >= m_maximum) {
            return false;
        }
    } while (!m_state.compare_exchange_weak(state, state + 1, std::memory_order_seq_cst,
                                            std::memory_order_relaxed));
    if ((state >> 32) != 0) {
        FutexWake(word, 1);
    }
    return true;
}

bool Semaphore::Wait(long timeoutMs) {
    const Deadline deadline(timeoutMs);
    for (;;) {
        std::uint64_t state = m_state.load(std::memory_order_acquire);
        while ((state & kLowHalf) != 0) {
            if (m_state.compare_exchange_weak(state, state - 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                return true;
            }
        }
        timespec remaining{};
        const timespec* limit = nullptr;
        if (!deadline.Remaining(remaining, limit)) {
            return false;
        }
        SleepWhileZero(m_state, limit);
    }
}

bool CriticalRegion::Enter(long timeoutMs) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock lock(m_mutex);
    if (m_owner == self) {
        ++m_depth;
        return true;
    }
    auto isFree = [this] { return m_owner == std::thread::id(); };
    if (timeoutMs < 0) {
        m_released.wait(lock, isFree);
    } else if (!m_released.wait_for(lock, std::chrono::milliseconds(timeoutMs), isFree)) {
        return false;
    }
    m_owner = self;
    m_depth = 1;
    return true;
}

void CriticalRegion::Exit() {
    std::unique_lock lock(m_mutex);
    if (m_owner != std::this_thread::get_id() || m_depth == 0) {
        return; // not ours to leave
    }
    if (--m_depth == 0) {
        m_owner = std::thread::id();
        // Notified under the lock: a thread that enters next may destroy the region.
        m_released.notify_one();
    }
}

} // namespace MV
