// The toolkit's lock for data shared between the main thread and a render task.
#pragma once

#include "Synchronization.h"

namespace MV {

// A recursive region: the thread holding it may enter again. Entering waits without time-out.
class CriticalSection {
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { m_region.Enter(); }
    void Exit() { m_region.Exit(); }

private:
    CriticalRegion m_region;
};

// Holds a critical section for the life of a scope.
class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& section) : m_section(section) {
        m_section.Enter();
    }
    ~CriticalSectionGuard() { m_section.Exit(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection& m_section;
};

} // namespace MV
