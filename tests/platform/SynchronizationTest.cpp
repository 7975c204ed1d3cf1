#include "Synchronization.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

using MV::CriticalRegion;
using MV::EventGroup;
using MV::Semaphore;

// Long enough that only a lost wake-up runs into it.
constexpr long kGenerousMs = 20000;

TEST(EventGroup, BitsAccumulateAndAreTakenAllAtOnceAndTimeOutsGiveNothing) {
    EventGroup event;
    for (const std::uint32_t bit : {0x1u, 0x80000000u, 0x1u}) {
        event.Set(bit);
    }
    EXPECT_EQ(event.Wait(kGenerousMs), 0x80000001u);
    EXPECT_EQ(event.Wait(0), 0u);
    // A time-out waits the time out; it never returns early.
    Semaphore semaphore(1, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.Wait(30), 0u);
    EXPECT_FALSE(semaphore.Wait(30));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

// Each hand-over between the two threads needs a wake-up; a lost one stalls the exchange.
TEST(EventGroup, AndSemaphoreWakeEverySleeperInAFastExchange) {
    constexpr int kRounds = 5000;
    EventGroup event;
    Semaphore acknowledged(1, 0);
    int received = 0;
    std::thread waiter([&] {
        for (int round = 0; round < kRounds && event.Wait(kGenerousMs) == 1u << (round % 32);
             ++round) {
            ++received;
            acknowledged.Signal();
        }
    });
    for (int round = 0; round < kRounds; ++round) {
        event.Set(1u << (round % 32));
        if (!acknowledged.Wait(kGenerousMs)) {
            break;
        }
    }
    waiter.join();
    EXPECT_EQ(received, kRounds);
}

TEST(Semaphore, CountsNoFurtherThanItsMaximum) {
    Semaphore semaphore(2, 0);
    for (const bool expected : {true, true, false}) {
        EXPECT_EQ(semaphore.Signal(), expected);
    }
    for (const bool expected : {true, true, false}) {
        EXPECT_EQ(semaphore.Wait(0), expected);
    }
}

TEST(CriticalRegion, TheHolderMayEnterAgainAndOthersWaitForItsLastExit) {
    CriticalRegion region;
    auto enterElsewhere = [&](bool exitFirst) {
        bool entered = false;
        std::thread other([&] {
            if (exitFirst) {
                region.Exit();
            }
            entered = region.Enter(10);
            if (entered) {
                region.Exit();
            }
        });
        other.join();
        return entered;
    };
    ASSERT_TRUE(region.Enter());
    ASSERT_TRUE(region.Enter(0));
    EXPECT_FALSE(enterElsewhere(true)) << "only the holder's Exit counts";
    region.Exit();
    EXPECT_FALSE(enterElsewhere(false)) << "one Exit for two Enters keeps the region";
    region.Exit();
    EXPECT_TRUE(enterElsewhere(false));
}

} // namespace
