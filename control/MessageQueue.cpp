#include "MessageQueue.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "Timers.h"

namespace MV {

namespace {

// How often the timer thread looks for refusals: a burst is reported within this.
constexpr double kReportIntervalSeconds = 0.5;

// The queues alive, for the timer thread. Never destroyed: the timer thread may still look
// while the process exits.
struct OverflowReports {
    std::mutex mutex;
    std::vector<MessageQueue*> queues;
    TimerHandle timer = kNoTimer;
};

OverflowReports& Reports() {
    static auto* const reports = new OverflowReports;
    return *reports;
}

void ReportEveryQueue(void* /*user*/, TimerHandle /*timer*/) {
    OverflowReports& reports = Reports();
    std::lock_guard lock(reports.mutex);
    for (MessageQueue* queue : reports.queues) {
        queue->ReportOverflows(stderr);
    }
}

} // namespace

void MessageQueueItem::CopyFrom(const MessageQueueItem&) {}

MessageQueue::MessageQueue() {
    for (auto& item : m_items) {
        item = Factory();
    }
    OverflowReports& reports = Reports();
    std::lock_guard lock(reports.mutex);
    reports.queues.push_back(this);
    if (reports.timer == kNoTimer) {
        reports.timer =
            AddTimer(kReportIntervalSeconds, kReportIntervalSeconds, &ReportEveryQueue, nullptr);
    }
}

MessageQueue::~MessageQueue() {
    OverflowReports& reports = Reports();
    TimerHandle last = kNoTimer;
    {
        std::lock_guard lock(reports.mutex);
        std::erase(reports.queues, this);
        if (reports.queues.empty()) {
            last = std::exchange(reports.timer, kNoTimer);
        }
    }
    // Without waiting: a report still running looks only at the queues still listed.
    if (last != kNoTimer) {
        RemoveTimer(last, TimerRemoval::kDontWait);
    }
    ReportOverflows(stderr);
}

std::unique_ptr<MessageQueueItem> MessageQueue::Factory() {
    return std::make_unique<MessageQueueItem>();
}

bool MessageQueue::Write(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 startFrame) {
    const SInt32 write = m_writeIndex.load(std::memory_order_relaxed);
    // Acquire: the reader is done with the slot it gave up before we may refill it.
    if (m_readIndex.load(std::memory_order_acquire) == write) {
        m_refusedShort.fetch_add(1, std::memory_order_relaxed);
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
        m_refusedSysEx.fetch_add(1, std::memory_order_relaxed);
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

UInt32 MessageQueue::ReportOverflows(std::FILE* stream) {
    const UInt32 shortOnes = m_refusedShort.exchange(0, std::memory_order_relaxed);
    const UInt32 sysExOnes = m_refusedSysEx.exchange(0, std::memory_order_relaxed);
    if (shortOnes != 0) {
        std::fputs("MessageQueue::Write() overflow\n", stream);
    }
    if (sysExOnes != 0) {
        std::fputs("MessageQueue::WriteSysEx() overflow\n", stream);
    }
    if (shortOnes + sysExOnes != 0) {
        std::fflush(stream);
    }
    return shortOnes + sysExOnes;
}

} // namespace MV
