// The unit's render notifications: changed from any thread, called on the render thread.
#pragma once

#include <array>
#include <atomic>

#include "AUTypes.h"

// Additions and removals are queued as requests on a lock-free stack and applied by the render
// thread at the start of its next render, in the order they were made. The render thread
// never frees a request: it hands applied ones to a second lock-free stack that the next
// adding or removing thread frees. So the render thread neither locks nor allocates.
class AURenderNotifyList {
public:
    // Notifications beyond this many at once are not registered.
    static constexpr UInt32 kCapacity = 32;

    AURenderNotifyList() = default;
    ~AURenderNotifyList();
    AURenderNotifyList(const AURenderNotifyList&) = delete;
    AURenderNotifyList& operator=(const AURenderNotifyList&) = delete;

    // Any thread but the render thread (allocates). A pair already registered stays once.
    void Add(AURenderCallback proc, void* refCon);
    // Any thread but the render thread (allocates).
    void Remove(AURenderCallback proc, void* refCon);

    // True once any notification was ever added. Any thread.
    bool EverRegistered() const { return m_everRegistered.load(std::memory_order_acquire); }
    // Render thread; real-time safe.
    void ApplyPending() noexcept;
    // Calls every registered notification with flags. Render thread; real-time safe as far as
    // the notifications are.
    void Notify(AudioUnitRenderActionFlags flags, const AudioTimeStamp& timeStamp, UInt32 bus,
                UInt32 nFrames, AudioBufferList* ioData) const noexcept;
    // Registered notifications after the last ApplyPending. Render thread.
    UInt32 ActiveCount() const { return m_activeCount; }

private:
    struct Request {
        bool add;
        AURenderCallback proc;
        void* refCon;
        Request* next;
    };

    void Queue(bool add, AURenderCallback proc, void* refCon);
    void FreeRetired();
    static void FreeChain(Request* request);

    std::atomic<Request*> m_pending{nullptr};
    std::atomic<Request*> m_retired{nullptr};
    std::atomic<bool> m_everRegistered{false};
    std::array<AURenderCallbackStruct, kCapacity> m_active{};
    UInt32 m_activeCount = 0;
};
