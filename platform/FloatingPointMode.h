// Flush-to-zero and denormals-are-zero for the duration of a render.
#pragma once

#include <cstdint>

namespace MV {

// Saves the processor's floating-point control state, switches on flush-to-zero and
// denormals-are-zero, and restores the saved state when it goes out of scope.
// Render thread; real-time safe.
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

} // namespace MV
