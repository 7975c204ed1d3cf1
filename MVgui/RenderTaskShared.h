// The block a render task shares with its manager (private to Manager.cpp and
// ManagerRender.cpp). It outlives the manager when the task misses its shutdown time-out and
// is let go, so that the task can still see that it was abandoned and signal its end.
#pragma once

#include <atomic>

#include "Manager.h"
#include "Synchronization.h"

namespace MV {

struct Manager::RenderTaskShared {
    explicit RenderTaskShared(Manager* owner) : manager(owner) {}

    Manager* manager;
    EventGroup events;
    Semaphore done{1, 0};
    std::atomic<bool> abandoned{false};
};

} // namespace MV
