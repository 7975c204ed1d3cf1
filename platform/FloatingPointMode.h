// Flush-to-zero and denormals-are-zero for the duration of a render.
#pragma once

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace MV {

// Saves the processor's floating-point control state, switches on flush-to-zero and
// denormals-are-zero, and restores the saved state when it goes out of scope.
// Render thread; real-time safe. Inline: it brackets every render, however short.
class ScopedDenormalsOff {
public:
    ScopedDenormalsOff();
    ~ScopedDenormalsOff();
    ScopedDenormalsOff(const ScopedDenormalsOff&) = delete;
    ScopedDenormalsOff& operator=(const ScopedDenormalsOff&) = delete;

private:
    std::uint64_t m_saved;
    bool m_changed = true;
};

#if defined(__x86_64__) || defined(__i386__)
namespace denormals_detail {
// MXCSR bit 15 flushes results to zero, bit 6 treats denormal inputs as zero.
constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
} // namespace denormals_detail

// Writing the register costs more than reading it, and hosts usually render with the mode
// already on: it is written only when it changes.
inline ScopedDenormalsOff::ScopedDenormalsOff() : m_saved(_mm_getcsr()) {
    const unsigned wanted = static_cast<unsigned>(m_saved) | denormals_detail::kFlushToZero |
                            denormals_detail::kDenormalsAreZero;
    m_changed = wanted != m_saved;
    if (m_changed) {
        _mm_setcsr(wanted);
    }
}

inline ScopedDenormalsOff::~ScopedDenormalsOff() {
    if (m_changed) {
        _mm_setcsr(static_cast<unsigned>(m_saved));
    }
}

#elif defined(__aarch64__)
namespace denormals_detail {
constexpr std::uint64_t kFlushToZero = 1ull << 24; // FPCR.FZ
} // namespace denormals_detail

inline ScopedDenormalsOff::ScopedDenormalsOff() {
    std::uint64_t fpcr;
    asm volatile("mrs %0, fpcr" : "=r"(fpcr));
    m_saved = fpcr;
    fpcr |= denormals_detail::kFlushToZero;
    asm volatile("msr fpcr, %0" : : "r"(fpcr));
}

inline ScopedDenormalsOff::~ScopedDenormalsOff() {
    asm volatile("msr fpcr, %0" : : "r"(m_saved));
}

#else
inline ScopedDenormalsOff::ScopedDenormalsOff() : m_saved(0) {}
inline ScopedDenormalsOff::~ScopedDenormalsOff() = default;
#endif

} // namespace MV
