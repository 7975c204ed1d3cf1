#include "FloatingPointMode.h"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace MV {

#if defined(__x86_64__) || defined(__i386__)
namespace {
// MXCSR bit 15 flushes results to zero, bit 6 treats denormal inputs as zero.
constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
} // namespace

// Writing the register costs more than reading it, and hosts usually render with the mode
// already on: it is written only when it changes.
ScopedDenormalsOff::ScopedDenormalsOff() : m_saved(_mm_getcsr()) {
    const unsigned wanted = static_cast<unsigned>(m_saved) | kFlushToZero | kDenormalsAreZero;
    m_changed = wanted != m_saved;
    if (m_changed) {
        _mm_setcsr(wanted);
    }
}

ScopedDenormalsOff::~ScopedDenormalsOff() {
    if (m_changed) {
        _mm_setcsr(static_cast<unsigned>(m_saved));
    }
}

#elif defined(__aarch64__)
namespace {
constexpr std::uint64_t kFlushToZero = 1ull << 24; // FPCR.FZ
} // namespace

ScopedDenormalsOff::ScopedDenormalsOff() {
    std::uint64_t fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    m_saved = fpcr;
    fpcr |= kFlushToZero;
    asm volatile("msr fpcr, %0" : : "r"(fpcr));
}

ScopedDenormalsOff::~ScopedDenormalsOff() {
    asm volatile("msr fpcr, %0" : : "r"(m_saved));
}

#else
ScopedDenormalsOff::ScopedDenormalsOff() : m_saved(0) {}
ScopedDenormalsOff::~ScopedDenormalsOff() = default;
#endif

} // namespace MV
