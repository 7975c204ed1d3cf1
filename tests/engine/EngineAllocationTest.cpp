// The render path allocates nothing: a counting global allocator around rendering.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "EngineHarness.h"

// GCC sees malloc in the replaced operator new and free in the replaced delete, and takes
// the pair for a mismatch; here they are the same allocator on purpose.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> g_counting{false};
std::atomic<int> g_allocations{0};
} // namespace

void* operator new(std::size_t size) {
    if (g_counting.load()) {
        g_allocations.fetch_add(1);
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

TEST(FluxetEngineAllocation, RenderingAllocatesNothing) {
    EngineHarness h(2, 44100.0f, 1024);
    EngineHarness::Buffers in(2, std::vector<Float32>(1024, 0.25f)), out(2);
    out[0].reserve(1024);
    out[1].reserve(1024);
    const std::vector<UInt32> splits{100, 1, 300};
    const Float32 shapes[] = {0.5f, 3.5f, 5.5f, 8.0f};
    g_counting = true;
    for (int call = 0; call < 40; ++call) {
        h.params[kParam_Shape] = shapes[call % 4];
        h.params[kParam_DepthLFODepth] = (call % 3) == 0 ? 1.0f : 0.0f;
        h.Render(in, out, splits);
    }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_EQ(h.lastStatus, noErr);
}

} // namespace
