#include "Task.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

using MV::Semaphore;
using MV::Task;

constexpr long kGenerousMs = 20000;
constexpr std::uint32_t kQuit = 1u << 1;

struct Worker {
    MV::EventGroup event;
    Semaphore release{1, 0};
    Semaphore done{1, 0};
};

int WaitForQuit(void* parameter) {
    auto* worker = static_cast<Worker*>(parameter);
    while ((worker->event.Wait(MV::kWaitForever) & kQuit) == 0) {
    }
    worker->done.Signal();
    return 42;
}

TEST(Task, RunsItsEntryWithItsParameterAndEndsWhenAsked) {
    Worker worker;
    Task task;
    ASSERT_EQ(task.Start(WaitForQuit, &worker, "test-worker"), 0);
    EXPECT_NE(task.Start(WaitForQuit, &worker), 0) << "a task starts once";
    worker.event.Set(kQuit);
    int reports = 0;
    EXPECT_TRUE(task.ShutDown(worker.done, kGenerousMs, [&] { ++reports; }));
    EXPECT_EQ(reports, 0);
    EXPECT_FALSE(task.IsAttached());
    EXPECT_EQ(task.ExitCode(), 42);
}

// Signalled by a thread-local destructor, which runs only after the thread has left its
// entry and dropped the task state it shares.
Semaphore g_stuckThreadGone(1, 0);
struct SignalAtThreadEnd {
    ~SignalAtThreadEnd() { g_stuckThreadGone.Signal(); }
};

int StayStuck(void* parameter) {
    thread_local SignalAtThreadEnd signal;
    (void)signal;
    auto worker = *static_cast<std::shared_ptr<Worker>*>(parameter);
    worker->release.Wait(MV::kWaitForever);
    worker->done.Signal();
    return 7;
}

// A task stuck past its shutdown time-out goes on after its Task object is gone.
TEST(Task, ATaskThatMissesItsTimeOutIsReportedOnceThenLetGo) {
    auto worker = std::make_shared<Worker>();
    auto parameter = std::make_unique<std::shared_ptr<Worker>>(worker);
    auto task = std::make_unique<Task>();
    ASSERT_EQ(task->Start(StayStuck, parameter.get()), 0);
    int reports = 0;
    EXPECT_FALSE(task->ShutDown(worker->done, 20, [&] {
        ++reports;
        EXPECT_TRUE(task->IsAttached()) << "the message comes before the thread is let go";
    }));
    EXPECT_EQ(reports, 1);
    EXPECT_FALSE(task->IsAttached());
    task.reset();
    worker->release.Signal();
    EXPECT_TRUE(g_stuckThreadGone.Wait(kGenerousMs));
}

} // namespace
