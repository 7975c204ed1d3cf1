// The notification ring, alone and with several writers against one reader (ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "SetParamQueue.h"
#include "Synchronization.h"

namespace {

using MV::SetParamQueue;

std::string Report(SetParamQueue& queue, UInt32& count) {
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* file = open_memstream(&text, &size);
    count = queue.ReportOverflows(file);
    std::fclose(file);
    const std::string report(text, size);
    std::free(text);
    return report;
}

// Counters past several laps are the threaded test's.
TEST(SetParamQueue, HoldsSixtyThreeInOrderReportsEachDropOnceAndHintsWhenToWakeTheReader) {
    SetParamQueue queue;
    SInt32 id = -1;
    Float32 value = -1.0f;
    bool wake = false;
    for (int i = 0; i < 63; ++i) {
        ASSERT_TRUE(queue.Write(i % 16, float(i), &wake)) << i;
        ASSERT_EQ(wake, i == 0) << "only a write to an empty ring wakes the reader";
    }
    EXPECT_EQ(queue.Pending(), 63u);
    EXPECT_FALSE(queue.Write(1, -1.0f));
    EXPECT_FALSE(queue.Write(1, -2.0f));
    UInt32 count = 0;
    EXPECT_EQ(Report(queue, count), "OSCHelper::SetParamQueue::Write() overflow\n"
                                    "OSCHelper::SetParamQueue::Write() overflow\n");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Report(queue, count), "");
    EXPECT_EQ(count, 0u);
    ASSERT_TRUE(queue.Read(id, value));
    EXPECT_TRUE(queue.Write(63 % 16, 63.0f, &wake)) << "a slot read frees one place";
    EXPECT_FALSE(wake) << "the reader still has changes to read";
    EXPECT_FALSE(queue.Write(64, 0.5f));
    for (int i = 1; i < 64; ++i) {
        ASSERT_TRUE(queue.Read(id, value));
        EXPECT_EQ(id, i % 16);
        EXPECT_EQ(value, float(i));
    }
    EXPECT_FALSE(queue.Read(id, value));
    EXPECT_TRUE(queue.Write(0, 0.0f, &wake));
    EXPECT_TRUE(wake);
}

// A reader woken only by the writers' hints gets every accepted change once, in each writer's
// order; every refused one is counted for the report.
TEST(SetParamQueue, SeveralWritersAndOneSleepingReaderLoseNothingAccepted) {
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 20000;
    SetParamQueue queue;
    MV::EventGroup wakeUp;
    std::atomic<int> accepted{0}, refused{0}, received{0};
    std::atomic<bool> ordered{true}, stop{false};
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.emplace_back([&, w] {
            for (int i = 0; i < kPerWriter; ++i) {
                bool wake = false;
                (queue.Write(w, float(i), &wake) ? accepted : refused).fetch_add(1);
                if (wake) {
                    wakeUp.Set(2);
                }
                if (i % 64 == 0) {
                    std::this_thread::yield();
                }
            }
        });
    }
    std::thread reader([&] {
        std::vector<float> last(kWriters, -1.0f);
        while (!stop.load()) {
            SInt32 id = 0;
            Float32 value = 0.0f;
            while (queue.Read(id, value)) {
                const bool known = id >= 0 && id < kWriters && value > last[std::size_t(id)];
                ordered.store(ordered.load() && known);
                if (known) {
                    last[std::size_t(id)] = value;
                }
                received.fetch_add(1);
            }
            wakeUp.Wait(MV::kWaitForever); // only a writer's wake-up or the test's end
        }
    });
    for (std::thread& writer : writers) {
        writer.join();
    }
    // A change left unread with nobody to wake the reader shows as this wait running out.
    for (int ms = 0; ms < 10000 && received.load() != accepted.load(); ++ms) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const int readByHints = received.load();
    stop.store(true);
    wakeUp.Set(1);
    reader.join();
    EXPECT_EQ(readByHints, accepted.load());
    EXPECT_TRUE(ordered.load());
    EXPECT_EQ(accepted.load() + refused.load(), kWriters * kPerWriter);
    UInt32 reported = 0;
    Report(queue, reported);
    EXPECT_EQ(int(reported), refused.load());
}

} // namespace
