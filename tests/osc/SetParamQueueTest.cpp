// The notification ring; its order and wake-ups through a unit are the port tests' ring test.
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

TEST(SetParamQueue, HoldsSixtyThreeAndReportsEachDropOnce) {
    SetParamQueue queue;
    for (int i = 0; i < 63; ++i) {
        ASSERT_TRUE(queue.Write(i % 16, float(i))) << i;
    }
    EXPECT_EQ(queue.Pending(), 63u);
    EXPECT_FALSE(queue.Write(1, -1.0f));
    EXPECT_FALSE(queue.Write(1, -2.0f));
    UInt32 count = 0;
    EXPECT_EQ(Report(queue, count), "OSCHelper::SetParamQueue::Write() overflow\n"
                                    "OSCHelper::SetParamQueue::Write() overflow\n");
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Report(queue, count), "");
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
