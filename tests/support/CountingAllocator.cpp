#include "CountingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

thread_local std::size_t t_allocations = 0;
thread_local std::size_t t_deallocations = 0;
thread_local std::size_t t_failAt = 0;
thread_local std::size_t t_seen = 0;
thread_local bool t_failed = false;
std::atomic<std::size_t> g_allocations{0};
std::atomic<std::size_t> g_deallocations{0};

// Counts one allocation; false when it is the one to fail.
bool CountAllocation() {
    ++t_allocations;
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (t_failAt != 0 && ++t_seen == t_failAt) {
        t_failed = true;
        return false;
    }
    return true;
}

void* Allocate(std::size_t size, std::size_t alignment) {
    if (!CountAllocation()) {
        return nullptr;
    }
    if (size == 0) {
        size = 1;
    }
    if (alignment <= alignof(std::max_align_t)) {
        return std::malloc(size);
    }
    void* memory = nullptr;
    return posix_memalign(&memory, alignment, size) == 0 ? memory : nullptr;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void* memory = Allocate(size, alignment);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}

void Release(void* memory) {
    if (memory == nullptr) {
        return;
    }
    ++t_deallocations;
    g_deallocations.fetch_add(1, std::memory_order_relaxed);
    std::free(memory);
}

} // namespace

namespace MV::test {

AllocationCounter::AllocationCounter(Scope scope)
    : m_scope(scope),
      m_startAllocations(scope == Scope::ThisThread ? t_allocations : g_allocations.load()),
      m_startDeallocations(scope == Scope::ThisThread ? t_deallocations : g_deallocations.load()) {}

std::size_t AllocationCounter::Allocations() const {
    return (m_scope == Scope::ThisThread ? t_allocations : g_allocations.load()) -
           m_startAllocations;
}

std::size_t AllocationCounter::Deallocations() const {
    return (m_scope == Scope::ThisThread ? t_deallocations : g_deallocations.load()) -
           m_startDeallocations;
}

AllocationFailer::AllocationFailer(std::size_t n) {
    t_failAt = n;
    t_seen = 0;
    t_failed = false;
}

AllocationFailer::~AllocationFailer() {
    t_failAt = 0;
}

bool AllocationFailer::Failed() const {
    return t_failed;
}

} // namespace MV::test

constexpr std::size_t kDefaultAlignment = __STDCPP_DEFAULT_NEW_ALIGNMENT__;

void* operator new(std::size_t size) {
    return AllocateOrThrow(size, kDefaultAlignment);
}
void* operator new[](std::size_t size) {
    return AllocateOrThrow(size, kDefaultAlignment);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return AllocateOrThrow(size, std::size_t(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return AllocateOrThrow(size, std::size_t(alignment));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, kDefaultAlignment);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, kDefaultAlignment);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return Allocate(size, std::size_t(alignment));
}

void operator delete(void* memory) noexcept {
    Release(memory);
}
void operator delete[](void* memory) noexcept {
    Release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    Release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    Release(memory);
}
void operator delete(void* memory, std::align_val_t) noexcept {
    Release(memory);
}
void operator delete[](void* memory, std::align_val_t) noexcept {
    Release(memory);
}
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept {
    Release(memory);
}
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept {
    Release(memory);
}
void operator delete(void* memory, const std::nothrow_t&) noexcept {
    Release(memory);
}
void operator delete[](void* memory, const std::nothrow_t&) noexcept {
    Release(memory);
}
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(memory);
}
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept {
    Release(memory);
}
