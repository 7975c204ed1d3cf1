#include "MessageQueue.h"

#include <gtest/gtest.h>
#include <thread>

#include "Synchronization.h"

namespace {

using namespace MV;

constexpr int kSlots = MessageQueue::kNumItems;

// Moves the reader `count` slots on round the ring.
void GoRound(MessageQueue& queue, int count) {
    for (int n = 0; n < count; ++n) {
        ASSERT_TRUE(queue.Write(0xF8, 0, 0, 0, 0));
        ASSERT_NE(queue.Read(), nullptr);
    }
}

// The parameter moves the full point round the ring.
class FullQueue : public testing::TestWithParam<int> {};

TEST_P(FullQueue, HoldsSixtyThreePendingRefusesMoreAndTakesOneMoreAfterARead) {
    MessageQueue queue;
    GoRound(queue, GetParam());
    for (int n = 0; n < kSlots - 1; ++n) {
        ASSERT_TRUE(queue.Write(0x90, 1, UInt8(n), 64, UInt32(n))) << "message " << n;
    }
    const UInt8 sysEx[] = {0xF0, 0x7E, 0xF7};
    EXPECT_FALSE(queue.Write(0x90, 1, 99, 64, 999));
    EXPECT_FALSE(queue.WriteSysEx(sysEx, sizeof sysEx));
    ASSERT_NE(queue.Read(), nullptr);
    EXPECT_TRUE(queue.Write(0x90, 1, 63, 64, 63));
    EXPECT_FALSE(queue.Write(0x90, 1, 100, 64, 100));
    // The refusals changed nothing: the rest arrive in order, then nothing.
    for (int n = 1; n < kSlots; ++n) {
        MessageQueueItem* item = queue.Read();
        ASSERT_NE(item, nullptr) << "message " << n;
        EXPECT_EQ(item->m_bytes[2], n);
    }
    EXPECT_EQ(queue.Read(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(ReaderPositions, FullQueue, testing::Values(0, 1, 40, 63, 64, 100));

// Refusals are only counted where they happen (often the audio thread, which must make no
// system call); a burst is reported by another thread with one line per kind, here by the
// queue's end before the timer thread's first look.
TEST(MessageQueue, ABurstOfRefusalsIsReportedOnce) {
    testing::internal::CaptureStderr();
    {
        MessageQueue queue;
        const UInt8 sysEx[] = {0xF0, 0x7E, 0xF7};
        for (int n = 0; n < 100; ++n) {
            queue.Write(0xB0, 0, 1, UInt8(n), 0);
            queue.WriteSysEx(sysEx, sizeof sysEx);
        }
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "MessageQueue::Write() overflow\nMessageQueue::WriteSysEx() overflow\n");
}

// A reused item keeps its byte storage: no allocation for a message that fits.
TEST(MessageQueue, AReusedItemKeepsItsStorage) {
    MessageQueue queue;
    const std::vector<UInt8> longSysEx(300, 0x11);
    ASSERT_TRUE(queue.WriteSysEx(longSysEx.data(), UInt32(longSysEx.size())));
    MessageQueueItem* item = queue.Read();
    const UInt8* storage = item->m_sysExData.data();
    for (const auto& message : {std::vector<UInt8>{0xF0, 0x42, 0xF7}, std::vector<UInt8>{}}) {
        GoRound(queue, kSlots - 1);
        ASSERT_TRUE(queue.WriteSysEx(message.data(), UInt32(message.size())));
        ASSERT_EQ(queue.Read(), item) << "slot 0 comes round again";
        EXPECT_EQ(item->m_sysExData, message) << "an empty message is still queued";
        EXPECT_EQ(item->m_sysExData.data(), storage);
    }
}

// One producer and one consumer at full speed: every message arrives once, in order and
// intact. The producer writes only with a credit, which the consumer returns per read.
TEST(MessageQueue, ProducerAndConsumerThreadsShareItWithoutLoss) {
    constexpr UInt32 kMessages = 200000;
    MessageQueue queue;
    MV::Semaphore credits(kSlots - 1, kSlots - 1);
    std::atomic<bool> producerGaveUp{false};
    auto bytes = [](UInt32 n) {
        return std::vector<UInt8>{UInt8(0x80 | ((n & 7) << 4)), UInt8(n & 15), UInt8(n & 0x7F),
                                  UInt8((n >> 7) & 0x7F)};
    };
    std::thread producer([&] {
        for (UInt32 n = 0; n < kMessages && !producerGaveUp; ++n) {
            const std::vector<UInt8> m = bytes(n);
            producerGaveUp =
                !credits.Wait(20000) || !(n % 97 == 0 ? queue.WriteSysEx(m.data(), 4)
                                                      : queue.Write(m[0], m[1], m[2], m[3], n));
        }
    });
    UInt32 received = 0;
    int mismatches = 0;
    // A producer that gave up fails the test through the count.
    while (received < kMessages && !producerGaveUp) {
        const MessageQueueItem* item = queue.Read();
        if (item == nullptr) {
            std::this_thread::yield();
            continue;
        }
        const bool sysEx = received % 97 == 0;
        const auto got = sysEx ? item->m_sysExData : std::vector(item->m_bytes, item->m_bytes + 4);
        mismatches +=
            got != bytes(received) || item->m_startFrame != (sysEx ? 0 : received) ||
            item->m_type != (sysEx ? MessageQueueItem::kTypeSysEx : MessageQueueItem::kTypeShort);
        ++received;
        credits.Signal();
    }
    producer.join();
    EXPECT_EQ(received, kMessages);
    EXPECT_EQ(mismatches, 0);
}

} // namespace
