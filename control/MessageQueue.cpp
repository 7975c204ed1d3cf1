#include "MessageQueue.h"

#include <algorithm>
#include <unistd.h>

namespace MV {

namespace {

// write(2) rather than a stream: no allocation, no lock, whatever thread overflows.
template <std::size_t N> void WriteToStandardError(const char (&text)[N]) {
    if (write(STDERR_FILENO, text, N - 1) < 0) {
        return; // nothing sensible to do when standard error is gone
    }
}

} // namespace

void MessageQueueItem::CopyFrom(const MessageQueueItem&) {}

MessageQueue::MessageQueue() {
    for (auto& item : m_items) {
        item = Factory();
    }
}

MessageQueue::~MessageQueue() = default;

std::unique_ptr<MessageQueueItem> MessageQueue::Factory() {
    return std::make_unique<MessageQueueItem>();
}

bool MessageQueue::Write(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 startFrame) {
    const SInt32 write = m_writeIndex.load(std::memory_order_relaxed);
    // Acquire: the reader is done with the slot it gave up before we may refill it.
    if (m_readIndex.load(std::memory_order_acquire) == write) {
        WriteToStandardError("MessageQueue::Write() overflow\n");
        return false;
    }
    MessageQueueItem& item = *m_items[write];
    item.m_type = MessageQueueItem::kTypeShort;
    item.m_bytes[0] = status;
    item.m_bytes[1] = channel;
    item.m_bytes[2] = data1;
    item.m_bytes[3] = data2;
    item.m_startFrame = startFrame;
    m_writeIndex.store(Next(write), std::memory_order_release);
    return true;
}

bool MessageQueue::WriteSysEx(const UInt8* data, UInt32 length) {
    const SInt32 write = m_writeIndex.load(std::memory_order_relaxed);
    if (m_readIndex.load(std::memory_order_acquire) == write) {
        WriteToStandardError("MessageQueue::WriteSysEx() overflow\n");
        return false;
    }
    MessageQueueItem& item = *m_items[write];
    item.m_type = MessageQueueItem::kTypeSysEx;
    item.m_sysExData.resize(length);
    if (length != 0) {
        std::copy(data, data + length, item.m_sysExData.begin());
    }
    item.m_startFrame = 0;
    m_writeIndex.store(Next(write), std::memory_order_release);
    return true;
}

MessageQueueItem* MessageQueue::Read() {
    const SInt32 next = Next(m_readIndex.load(std::memory_order_relaxed));
    if (next == m_writeIndex.load(std::memory_order_acquire)) {
        return nullptr;
    }
    // Release: everything we did with the previous item is finished before the producer
    // may refill it.
    m_readIndex.store(next, std::memory_order_release);
    return m_items[next].get();
}

} // namespace MV
