#include "MessageQueue.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

#include "Synchronization.h"

namespace {

using MV::MessageQueue;
using MV::MessageQueueItem;

constexpr int kSlots = MessageQueue::kNumItems;

// Writes and reads `count` messages, so that the next write fills the slot after the one
// the reader holds.
void GoRound(MessageQueue& queue, int count) {
    for (int n = 0; n < count; ++n) {
        ASSERT_TRUE(queue.Write(0xF8, 0, 0, 0, 0));
        ASSERT_NE(queue.Read(), nullptr);
    }
}

TEST(MessageQueue, MessagesComeOutOnceAsWrittenSlotBySlotRoundTheRing) {
    MessageQueue queue;
    EXPECT_EQ(queue.Read(), nullptr);
    std::vector<MessageQueueItem*> handedOut;
    for (int n = 0; n < kSlots + 1; ++n) {
        ASSERT_TRUE(queue.Write(0xB0, UInt8(n & 15), UInt8(n & 0x7F), 100, UInt32(n * 3)));
        MessageQueueItem* item = queue.Read();
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(item->m_type, MessageQueueItem::kTypeShort);
        const UInt8 expected[4] = {0xB0, UInt8(n & 15), UInt8(n & 0x7F), 100};
        EXPECT_TRUE(std::equal(expected, expected + 4, item->m_bytes)) << "message " << n;
        EXPECT_EQ(item->m_startFrame, UInt32(n * 3));
        EXPECT_EQ(queue.Read(), nullptr);
        handedOut.push_back(item);
    }
    EXPECT_EQ(std::set(handedOut.begin(), handedOut.end() - 1).size(), std::size_t(kSlots));
    EXPECT_EQ(handedOut.back(), handedOut.front()) << "slot 0 comes round again";
}

// The parameter is how many messages went through first, so that the full point lies
// anywhere in the array.
class FullQueue : public testing::TestWithParam<int> {};

TEST_P(FullQueue, HoldsSixtyThreePendingRefusesMoreAndTakesOneMoreAfterARead) {
    MessageQueue queue;
    GoRound(queue, GetParam());
    for (int n = 0; n < kSlots - 1; ++n) {
        ASSERT_TRUE(queue.Write(0x90, 1, UInt8(n), 64, UInt32(n))) << "message " << n;
    }
    const UInt8 sysEx[] = {0xF0, 0x7E, 0xF7};
    testing::internal::CaptureStderr();
    EXPECT_FALSE(queue.Write(0x90, 1, 99, 64, 999));
    EXPECT_FALSE(queue.WriteSysEx(sysEx, sizeof sysEx));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MessageQueue::Write() overflow\nMessageQueue::WriteSysEx() overflow\n");

    ASSERT_NE(queue.Read(), nullptr);
    EXPECT_TRUE(queue.Write(0x90, 1, 63, 64, 63));
    testing::internal::CaptureStderr();
    EXPECT_FALSE(queue.Write(0x90, 1, 100, 64, 100));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MessageQueue::Write() overflow\n");

    // The refusals changed nothing: the rest arrive in order, then nothing.
    for (int n = 1; n < kSlots; ++n) {
        MessageQueueItem* item = queue.Read();
        ASSERT_NE(item, nullptr) << "message " << n;
        EXPECT_EQ(item->m_bytes[2], n);
        EXPECT_EQ(item->m_startFrame, UInt32(n));
    }
    EXPECT_EQ(queue.Read(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(ReaderPositions, FullQueue, testing::Values(0, 1, 40, 63, 64, 100));

// A reused item keeps its byte storage and the fields its new type does not use.
TEST(MessageQueue, AReusedItemKeepsItsStorageAndTheOtherTypesFields) {
    MessageQueue queue;
    const std::vector<UInt8> longSysEx(300, 0x11);
    const std::vector<UInt8> shortSysEx = {0xF0, 0x42, 0xF7};
    ASSERT_TRUE(queue.WriteSysEx(longSysEx.data(), UInt32(longSysEx.size())));
    MessageQueueItem* item = queue.Read();
    const UInt8* storage = item->m_sysExData.data();
    GoRound(queue, kSlots - 1);

    ASSERT_TRUE(queue.Write(0xE0, 15, 0x12, 0x34, 500));
    ASSERT_EQ(queue.Read(), item);
    EXPECT_EQ(item->m_sysExData, longSysEx);
    GoRound(queue, kSlots - 1);

    ASSERT_TRUE(queue.WriteSysEx(shortSysEx.data(), UInt32(shortSysEx.size())));
    ASSERT_EQ(queue.Read(), item);
    EXPECT_EQ(item->m_type, MessageQueueItem::kTypeSysEx);
    EXPECT_EQ(item->m_sysExData, shortSysEx);
    EXPECT_EQ(item->m_sysExData.data(), storage) << "no new allocation for a shorter message";
    EXPECT_EQ(item->m_startFrame, 0u);
    EXPECT_EQ(item->m_bytes[0], 0xE0);
    EXPECT_EQ(item->m_bytes[3], 0x34);

    GoRound(queue, kSlots - 1);
    ASSERT_TRUE(queue.WriteSysEx(nullptr, 0));
    ASSERT_EQ(queue.Read(), item);
    EXPECT_EQ(item->m_type, MessageQueueItem::kTypeSysEx);
    EXPECT_TRUE(item->m_sysExData.empty()) << "an empty message is still queued";
}

// One producer and one consumer at full speed: every message arrives once, in order and
// intact. The producer writes only with a credit, which the consumer returns per read.
TEST(MessageQueue, ProducerAndConsumerThreadsShareItWithoutLoss) {
    constexpr UInt32 kMessages = 200000;
    MessageQueue queue;
    MV::Semaphore credits(kSlots - 1, kSlots - 1);
    std::atomic<bool> producerGaveUp{false};
    auto isSysEx = [](UInt32 n) { return n % 97 == 0; };

    std::thread producer([&] {
        for (UInt32 n = 0; n < kMessages && !producerGaveUp; ++n) {
            const UInt8 data[] = {0xF0, UInt8(n), UInt8(n >> 8), UInt8(n >> 16), 0xF7};
            producerGaveUp =
                !credits.Wait(20000) ||
                !(isSysEx(n) ? queue.WriteSysEx(data, 5)
                             : queue.Write(UInt8(0x80 | ((n & 7) << 4)), UInt8(n & 15),
                                           UInt8(n & 0x7F), UInt8((n >> 7) & 0x7F), n));
        }
    });
    UInt32 received = 0;
    int mismatches = 0;
    while (received < kMessages) {
        const MessageQueueItem* item = queue.Read();
        if (item == nullptr) {
            if (producerGaveUp) {
                break;
            }
            std::this_thread::yield();
            continue;
        }
        const UInt32 n = received++;
        const bool ok =
            isSysEx(n)
                ? item->m_type == MessageQueueItem::kTypeSysEx && item->m_sysExData.size() == 5 &&
                      item->m_sysExData[1] == UInt8(n) && item->m_sysExData[2] == UInt8(n >> 8)
                : item->m_type == MessageQueueItem::kTypeShort &&
                      item->m_bytes[0] == UInt8(0x80 | ((n & 7) << 4)) &&
                      item->m_bytes[1] == UInt8(n & 15) && item->m_bytes[2] == UInt8(n & 0x7F) &&
                      item->m_bytes[3] == UInt8((n >> 7) & 0x7F) && item->m_startFrame == n;
        mismatches += ok ? 0 : 1;
        credits.Signal();
    }
    producer.join();
    EXPECT_EQ(received, kMessages);
    EXPECT_EQ(mismatches, 0);
}

} // namespace
