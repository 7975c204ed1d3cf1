// Parameter changes on their way from whichever thread set them to the OSC notification task.
#pragma once

#include <atomic>
#include <cstdio>

#include "AUTypes.h"

namespace MV {

// A ring of 64 slots of which at most 63 wait at once. Any number of threads may write at the
// same time (the render thread, script timers, the OSC receive task); one task reads.
//
// Writers are serialised without a lock: a writer claims a slot by advancing the write
// counter with a compare-and-swap, fills it and then publishes it through the slot's own
// sequence number (release). The reader takes slots in claim order, acquires each sequence
// number, and hands the slot back by advancing it one lap. Nothing allocates and nothing
// blocks, so writing is real-time safe.
class SetParamQueue {
public:
    static constexpr UInt32 kNumSlots = 64;
    static constexpr UInt32 kCapacity = kNumSlots - 1;

    SetParamQueue();
    SetParamQueue(const SetParamQueue&) = delete;
    SetParamQueue& operator=(const SetParamQueue&) = delete;

    // Any thread; real-time safe. False when 63 changes already wait: the change is dropped
    // and counted, to be reported by the reader (printing here could block the audio thread).
    // `outReaderMaySleep` (when given) is set when every change before this one has been
    // read, so the reader may have found the ring empty and gone to sleep: the writer must
    // wake it. Otherwise the reader is still busy with earlier changes and reaches this one
    // on its own, which saves a wake-up (a system call) per change in a burst.
    bool Write(SInt32 id, Float32 value, bool* outReaderMaySleep = nullptr);

    // The reader only. The oldest published change, or false when there is none (or the
    // oldest claimed slot is still being filled; its writer wakes the reader again).
    bool Read(SInt32& id, Float32& value);

    // The reader only. Writes one overflow line per change dropped since the last call to
    // `stream` and returns how many there were.
    UInt32 ReportOverflows(std::FILE* stream);

    // Any thread. Changes written and not yet read (an estimate while writers are busy).
    UInt32 Pending() const;

private:
    struct Slot {
        std::atomic<UInt32> sequence{0};
        SInt32 id = 0;
        Float32 value = 0.0f;
    };

    Slot m_slots[kNumSlots];
    // Counters, not slot numbers: a slot is the counter modulo kNumSlots.
    alignas(64) std::atomic<UInt32> m_writeIndex{0};
    alignas(64) std::atomic<UInt32> m_readIndex{0};
    std::atomic<UInt32> m_overflows{0};
};

} // namespace MV
