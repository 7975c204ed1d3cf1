// Event groups, semaphores, critical regions, tasks and timers (what script timers do with
// them is the scripting tests').
#include "Synchronization.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <ranges>

#include "Task.h"
#include "Timers.h"

namespace {

using namespace MV;

// Long enough that only a lost wake-up runs into it.
constexpr long kGenerousMs = 20000;

TEST(EventGroup, BitsAccumulateAndAreTakenAllAtOnceAndTimeOutsGiveNothing) {
    EventGroup event;
    for (const std::uint32_t bit : {0x1u, 0x80000000u, 0x1u}) {
        event.Set(bit);
    }
    EXPECT_EQ(event.Wait(kGenerousMs), 0x80000001u);
    EXPECT_EQ(event.Wait(0), 0u);
    // A time-out waits at least its time (a unit mistake would return at once).
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(event.Wait(30), 0u);
    // A semaphore counts no further than its maximum (braced lists run left to right).
    Semaphore semaphore(2, 0);
    EXPECT_EQ((std::array{semaphore.Signal(), semaphore.Signal(), semaphore.Signal()}),
              (std::array{true, true, false}));
    EXPECT_EQ((std::array{semaphore.Wait(0), semaphore.Wait(0), semaphore.Wait(30)}),
              (std::array{true, true, false}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));
}

// Each hand-over between the two threads needs a wake-up; a lost one stalls the exchange.
TEST(EventGroup, AndSemaphoreWakeEverySleeperInAFastExchange) {
    constexpr int kRounds = 5000;
    EventGroup event;
    Semaphore acknowledged(1, 0);
    int received = 0;
    std::thread waiter([&] {
        while (received < kRounds && event.Wait(kGenerousMs) == 1u << (received % 32)) {
            ++received;
            acknowledged.Signal();
        }
    });
    int sent = 0;
    while (sent < kRounds && (event.Set(1u << (sent % 32)), acknowledged.Wait(kGenerousMs))) {
        ++sent;
    }
    waiter.join();
    EXPECT_EQ(received, kRounds);
}

TEST(CriticalRegion, TheHolderMayEnterAgainAndOthersWaitForItsLastExit) {
    CriticalRegion region;
    // Whether another thread gets in (after trying to leave the region for its holder).
    auto enterElsewhere = [&](bool exitFirst) {
        bool entered = false;
        std::thread([&] {
            exitFirst ? region.Exit() : void();
            entered = region.Enter(10) && (region.Exit(), true);
        }).join();
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

struct Worker {
    EventGroup event;
    Semaphore release{1, 0}, done{1, 0};
};

// Signalled once the stuck thread has left its entry and dropped the task state it shares.
Semaphore g_stuckThreadGone(1, 0);
struct SignalAtThreadEnd {
    ~SignalAtThreadEnd() { g_stuckThreadGone.Signal(); }
};

int StayStuck(void* parameter) {
    thread_local SignalAtThreadEnd signal;
    (void)signal;
    auto worker = *static_cast<std::shared_ptr<Worker>*>(parameter);
    worker->release.Wait(kWaitForever);
    worker->done.Signal();
    return 7;
}

// A task stuck past its shutdown time-out is reported once, let go, and goes on alone.
TEST(Task, EndsWhenAskedOrIsReportedOnceAndLetGo) {
    Worker worker;
    Task task;
    const Task::Entry waitForQuit = [](void* parameter) {
        auto* worker = static_cast<Worker*>(parameter);
        worker->event.Wait(kWaitForever);
        worker->done.Signal();
        return 42;
    };
    ASSERT_EQ(task.Start(waitForQuit, &worker, "test-worker"), 0);
    EXPECT_NE(task.Start(waitForQuit, &worker), 0) << "a task starts once";
    worker.event.Set(1);
    int reports = 0;
    EXPECT_TRUE(task.ShutDown(worker.done, kGenerousMs, [&] { ++reports; }));
    EXPECT_EQ(reports, 0);
    EXPECT_FALSE(task.IsAttached());
    EXPECT_EQ(task.ExitCode(), 42);

    auto stuckWorker = std::make_shared<Worker>();
    auto stuck = std::make_unique<Task>();
    ASSERT_EQ(stuck->Start(StayStuck, &stuckWorker), 0);
    EXPECT_FALSE(stuck->ShutDown(stuckWorker->done, 20, [&] {
        ++reports;
        EXPECT_TRUE(stuck->IsAttached()) << "the message comes before the thread is let go";
    }));
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(stuck->IsAttached());
    stuck.reset();
    stuckWorker->release.Signal();
    EXPECT_TRUE(g_stuckThreadGone.Wait(kGenerousMs));
}

// What a timer's callback saw.
struct Recorder {
    Semaphore fired{1000000, 0};
    std::atomic<int> firings{0};
    std::atomic<bool> inside{false};
    std::chrono::microseconds busyFor{0};

    bool WaitForFirings(int count) {
        return std::ranges::all_of(std::views::iota(0, count),
                                   [&](int) { return fired.Wait(20000); });
    }
};

void Record(void* user, TimerHandle) {
    auto* recorder = static_cast<Recorder*>(user);
    recorder->inside = true;
    ++recorder->firings;
    std::this_thread::sleep_for(recorder->busyFor);
    recorder->inside = false;
    recorder->fired.Signal();
}

// Timers fire one at a time in the order they fall due: this waits for every earlier firing.
void WaitForLaterFiring(double delaySeconds) {
    Recorder sentinel;
    AddTimer(delaySeconds, 0, Record, &sentinel);
    ASSERT_TRUE(sentinel.WaitForFirings(1));
}

// Removal from another thread comes before, during and between firings; once it returns the
// callback is neither running nor runs again.
TEST(Timers, AfterRemovalFromAnotherThreadTheCallbackIsNotRunningAndNeverRunsAgain) {
    constexpr int kTimers = 60;
    std::array<Recorder, kTimers> racers;
    std::array<int, kTimers> firingsAtRemoval{};
    for (int i = 0; i < kTimers; ++i) {
        racers[i].busyFor = std::chrono::microseconds(300);
        const TimerHandle timer = AddTimer(0, 0.0005, Record, &racers[i]);
        for (int spin = 0; spin < i * 50; ++spin) {
            std::this_thread::yield();
        }
        RemoveTimer(timer, TimerRemoval::kWaitForCallback);
        EXPECT_FALSE(racers[i].inside.load()) << "timer " << i;
        firingsAtRemoval[i] = racers[i].firings.load();
    }
    WaitForLaterFiring(0.02);
    for (int i = 0; i < kTimers; ++i) {
        EXPECT_EQ(racers[i].firings.load(), firingsAtRemoval[i]) << "timer " << i;
    }
}

void BlockForever(void* user, TimerHandle) {
    static_cast<Semaphore*>(user)->Signal();
    Semaphore(1, 0).Wait(kWaitForever);
}

TEST(TimersDeathTest, ProcessExitDoesNotHangOnACallbackThatNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Semaphore stuck(1, 0);
            AddTimer(0, 0, BlockForever, &stuck);
            AddTimer(0, 0.001, BlockForever, &stuck); // the one that fires first sticks
            stuck.Wait(kWaitForever);
            std::exit(4);
        },
        testing::ExitedWithCode(4), "");
}

} // namespace
