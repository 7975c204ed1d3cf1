#include "Timers.h"

#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

#include "Synchronization.h"
#include "SystemInfo.h"

namespace {

using MV::AddTimer;
using MV::RemoveTimer;
using MV::TimerHandle;

// What a timer's callback saw.
struct Recorder {
    MV::Semaphore fired{1000000, 0};
    std::atomic<int> firings{0};
    std::atomic<std::uint64_t> firstFiring{0};
    std::atomic<bool> allOnTimerThread{true};
    int removeOnFiring = 0; // remove its own timer on this firing (0: never)
    std::atomic<bool> removedItself{false};

    bool WaitForFirings(int count) {
        for (int n = 0; n < count; ++n) {
            if (!fired.Wait(20000)) {
                return false;
            }
        }
        return true;
    }
};

void Record(void* user, TimerHandle timer) {
    auto* recorder = static_cast<Recorder*>(user);
    if (!MV::IsTimerThread() || std::this_thread::get_id() != MV::TimerThreadId()) {
        recorder->allOnTimerThread = false;
    }
    if (++recorder->firings == 1) {
        recorder->firstFiring = MV::UpTimeNanoseconds();
    }
    if (recorder->firings == recorder->removeOnFiring) {
        recorder->removedItself = RemoveTimer(timer);
    }
    recorder->fired.Signal();
}

// Timers fire one at a time in the order they fall due, so once a later one-shot timer
// has fired, every earlier firing has happened.
void WaitForLaterFiring(double delaySeconds) {
    Recorder sentinel;
    AddTimer(delaySeconds, 0, Record, &sentinel);
    ASSERT_TRUE(sentinel.WaitForFirings(1));
}

TEST(Timers, AOneShotTimerFiresOnceAfterItsDelayOnTheTimerThread) {
    Recorder recorder;
    const std::uint64_t added = MV::UpTimeNanoseconds();
    const TimerHandle timer = AddTimer(0.02, 0, Record, &recorder);
    ASSERT_TRUE(recorder.WaitForFirings(1));
    WaitForLaterFiring(0.05);
    EXPECT_EQ(recorder.firings.load(), 1);
    EXPECT_TRUE(recorder.allOnTimerThread.load());
    EXPECT_FALSE(MV::IsTimerThread());
    EXPECT_GE(recorder.firstFiring.load() - added, 20000000u);
    EXPECT_FALSE(RemoveTimer(timer)) << "a fired one-shot timer is gone";
}

// One periodic timer is removed from outside, another removes itself on its third firing.
TEST(Timers, APeriodicTimerFiresUntilRemovedAlsoByItsOwnCallback) {
    Recorder recorder;
    Recorder selfRemoving;
    selfRemoving.removeOnFiring = 3;
    const TimerHandle timer = AddTimer(0.01, 0.005, Record, &recorder);
    AddTimer(0, 0.002, Record, &selfRemoving);
    ASSERT_TRUE(recorder.WaitForFirings(5));
    ASSERT_TRUE(selfRemoving.WaitForFirings(3));
    EXPECT_TRUE(RemoveTimer(timer));
    const int firingsAtRemoval = recorder.firings;
    WaitForLaterFiring(0.05);
    EXPECT_EQ(recorder.firings.load(), firingsAtRemoval) << "fired after its removal";
    EXPECT_TRUE(recorder.allOnTimerThread.load());
    EXPECT_TRUE(selfRemoving.removedItself.load());
    EXPECT_EQ(selfRemoving.firings.load(), 3);
}

// Once RemoveTimer returns on another thread the callback is neither running nor runs
// again; removal comes at varying moments before, during and between firings.
struct Racer {
    std::atomic<bool> inside{false};
    std::atomic<int> firings{0};
};

void SlowlyCount(void* user, TimerHandle) {
    auto* racer = static_cast<Racer*>(user);
    racer->inside = true;
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    racer->firings.fetch_add(1);
    racer->inside = false;
}

TEST(Timers, AfterRemovalFromAnotherThreadTheCallbackIsNotRunningAndNeverRunsAgain) {
    constexpr int kTimers = 60;
    std::vector<std::unique_ptr<Racer>> racers;
    std::vector<int> firingsAtRemoval;
    for (int i = 0; i < kTimers; ++i) {
        racers.push_back(std::make_unique<Racer>());
        const TimerHandle timer = AddTimer(0, 0.0005, SlowlyCount, racers.back().get());
        for (int spin = 0; spin < i * 50; ++spin) {
            std::this_thread::yield();
        }
        RemoveTimer(timer, MV::TimerRemoval::kWaitForCallback);
        EXPECT_FALSE(racers.back()->inside.load()) << "timer " << i;
        firingsAtRemoval.push_back(racers.back()->firings.load());
    }
    WaitForLaterFiring(0.02);
    for (int i = 0; i < kTimers; ++i) {
        EXPECT_EQ(racers[i]->firings.load(), firingsAtRemoval[i]) << "timer " << i;
    }
}

void BlockForever(void* user, TimerHandle) {
    static_cast<MV::Semaphore*>(user)->Signal();
    MV::Semaphore(1, 0).Wait(MV::kWaitForever);
}

TEST(TimersDeathTest, ProcessExitDoesNotHangOnACallbackThatNeverReturns) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            MV::Semaphore stuck(1, 0);
            AddTimer(0, 0, BlockForever, &stuck);
            AddTimer(
                0, 0.001, [](void*, TimerHandle) {}, nullptr);
            stuck.Wait(MV::kWaitForever);
            std::exit(4);
        },
        testing::ExitedWithCode(4), "");
}

} // namespace
