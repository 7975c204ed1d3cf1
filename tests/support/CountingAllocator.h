// Test support: a replacement of the global allocation operators that counts allocations and
// can make one fail, so that tests can prove a path allocates nothing and that out-of-memory
// paths are clean. Linking any use of these classes into a test program installs the
// replacement for the whole program.
#pragma once

#include <cstddef>

namespace MV::test {

// Counts the allocations and deallocations made while it exists: those of the thread that
// created it, or those of every thread.
class AllocationCounter {
public:
    enum class Scope { ThisThread, AllThreads };

    explicit AllocationCounter(Scope scope = Scope::ThisThread);
    AllocationCounter(const AllocationCounter&) = delete;
    AllocationCounter& operator=(const AllocationCounter&) = delete;

    std::size_t Allocations() const;
    std::size_t Deallocations() const;

private:
    Scope m_scope;
    std::size_t m_startAllocations;
    std::size_t m_startDeallocations;
};

// While it exists, the n-th allocation (counting from 1) on the thread that created it throws
// std::bad_alloc (or returns null for the non-throwing forms).
class AllocationFailer {
public:
    explicit AllocationFailer(std::size_t n);
    ~AllocationFailer();
    AllocationFailer(const AllocationFailer&) = delete;
    AllocationFailer& operator=(const AllocationFailer&) = delete;

    // Whether the chosen allocation has been reached and failed.
    bool Failed() const;
};

} // namespace MV::test
