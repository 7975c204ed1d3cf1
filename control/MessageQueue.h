// The ring that carries MIDI messages from the effect's MIDI entry points to its render
// loop, where each is handed to the scripts at its sample position.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <vector>

#include "AUTypes.h"

namespace MV {

// One queued MIDI message. Readers look only at the fields of the item's type: a reused
// item keeps the bytes of earlier messages in the others.
class MessageQueueItem {
public:
    enum : SInt32 {
        kTypeEmpty = 0, // never written since creation
        kTypeShort = 1, // channel or system message of up to three bytes
        kTypeSysEx = 2, // system-exclusive message
    };

    MessageQueueItem() = default;
    // Whichever thread destroys the queue.
    virtual ~MessageQueueItem() = default;
    // A hook for items that carry more data; this one has nothing more to copy.
    // The thread that owns the item at that moment; real-time safe.
    virtual void CopyFrom(const MessageQueueItem& other);

    SInt32 m_type = kTypeEmpty;
    // Short message: status with the channel bits cleared, channel, data 1, data 2.
    UInt8 m_bytes[4] = {};
    // System exclusive: the whole message as the host delivered it. Keeps its storage when
    // a later message reuses the item.
    std::vector<UInt8> m_sysExData;
    // Sample offset within the next render block; 0 for system exclusive.
    UInt32 m_startFrame = 0;
};

// Single producer (the MIDI entry thread), single consumer (the render thread), no lock.
// 64 slots hold at most 63 pending messages: the slot last handed to the reader stays
// the reader's until its next Read.
//
// A refused message is only counted where it is refused (often the audio thread). Every
// queue alive is looked at twice a second on the process's timer thread, which reports a
// burst of refusals there with one line per kind on standard error; a queue's destruction
// reports what is left.
class MessageQueue {
public:
    static constexpr SInt32 kNumItems = 64;
    static constexpr UInt32 kCapacity = kNumItems - 1;

    // Main thread. Joins the queues the timer thread reports on.
    MessageQueue();
    // Whichever thread owns the effect unit; neither side may be using the queue.
    virtual ~MessageQueue();
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    // A new, empty item; the constructor fills every slot with one.
    std::unique_ptr<MessageQueueItem> Factory();

    // Producer thread; real-time safe (no system call). False, and counted, when full.
    bool Write(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 startFrame);
    // Producer thread. Allocates only for a message longer than any the slot held before.
    // False, and counted, when full.
    bool WriteSysEx(const UInt8* data, UInt32 length);
    // Consumer thread; real-time safe. The next pending item, valid and unchanged until the
    // next Read, or null when none is pending.
    MessageQueueItem* Read();

    // Any thread but the producer's. For the refusals counted since the last report, one
    // overflow line of each kind on `stream`; returns how many there were.
    UInt32 ReportOverflows(std::FILE* stream);

private:
    static SInt32 Next(SInt32 index) { return index > kNumItems - 2 ? 0 : index + 1; }

    std::unique_ptr<MessageQueueItem> m_items[kNumItems];
    // Stored only by the consumer: the slot it was handed last.
    std::atomic<SInt32> m_readIndex{kNumItems - 1};
    // Stored only by the producer: the slot the next write fills.
    std::atomic<SInt32> m_writeIndex{0};
    // Refusals not reported yet, of short and of system-exclusive messages.
    std::atomic<UInt32> m_refusedShort{0};
    std::atomic<UInt32> m_refusedSysEx{0};
};

} // namespace MV
