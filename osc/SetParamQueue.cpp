#include "SetParamQueue.h"

namespace MV {

namespace {
constexpr UInt32 kSlotMask = SetParamQueue::kNumSlots - 1;
static_assert((SetParamQueue::kNumSlots & kSlotMask) == 0, "the slot count is a power of two");
} // namespace

SetParamQueue::SetParamQueue() {
    // A slot is free for the writer whose counter equals its sequence number.
    for (UInt32 i = 0; i < kNumSlots; ++i) {
        m_slots[i].sequence.store(i, std::memory_order_relaxed);
    }
}

bool SetParamQueue::Write(SInt32 id, Float32 value, bool* outReaderMaySleep) {
    UInt32 position = m_writeIndex.load(std::memory_order_relaxed);
    Slot* slot = nullptr;
    for (;;) {
        if (position - m_readIndex.load(std::memory_order_acquire) >= kCapacity) {
            m_overflows.fetch_add(1, std::memory_order_relaxed);
            return false;
        }
        slot = &m_slots[position & kSlotMask];
        const UInt32 sequence = slot->sequence.load(std::memory_order_acquire);
        const auto lag = static_cast<SInt32>(sequence - position);
        if (lag == 0) {
            if (m_writeIndex.compare_exchange_weak(position, position + 1,
                                                   std::memory_order_relaxed)) {
                break;
            }
        } else if (lag < 0) {
            // The reader has not handed this slot back yet: the ring is full.
            m_overflows.fetch_add(1, std::memory_order_relaxed);
            return false;
        } else {
            position = m_writeIndex.load(std::memory_order_relaxed);
        }
    }
    slot->id = id;
    slot->value = value;
    // Sequentially consistent with the reader's store of its index and load of the slot: either
    // this writer sees that the reader has come to its slot, or the reader sees the slot
    // published.
    slot->sequence.store(position + 1, std::memory_order_seq_cst);
    if (outReaderMaySleep != nullptr) {
        *outReaderMaySleep = m_readIndex.load(std::memory_order_seq_cst) == position;
    }
    return true;
}

bool SetParamQueue::Read(SInt32& id, Float32& value) {
    const UInt32 position = m_readIndex.load(std::memory_order_relaxed);
    Slot& slot = m_slots[position & kSlotMask];
    if (slot.sequence.load(std::memory_order_seq_cst) != position + 1) {
        return false;
    }
    id = slot.id;
    value = slot.value;
    slot.sequence.store(position + kNumSlots, std::memory_order_release);
    m_readIndex.store(position + 1, std::memory_order_seq_cst);
    return true;
}

UInt32 SetParamQueue::ReportOverflows(std::FILE* stream) {
    const UInt32 count = m_overflows.exchange(0, std::memory_order_relaxed);
    for (UInt32 i = 0; i < count; ++i) {
        std::fputs("OSCHelper::SetParamQueue::Write() overflow\n", stream);
    }
    if (count != 0) {
        std::fflush(stream);
    }
    return count;
}

UInt32 SetParamQueue::Pending() const {
    return m_writeIndex.load(std::memory_order_acquire) -
           m_readIndex.load(std::memory_order_acquire);
}

} // namespace MV
