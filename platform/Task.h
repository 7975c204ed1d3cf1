// A preemptive task: a thread that runs one entry function with one parameter.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "Synchronization.h"

namespace MV {

class Task {
public:
    // Runs on the task's own thread; the result is kept for ExitCode().
    using Entry = int (*)(void* parameter);

    Task() = default;
    // A task still running here is let go (detached) rather than waited for: a destructor
    // must not hang. Owners end their tasks first (WaitForEnd or ShutDown).
    ~Task();
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Starts the thread. Returns 0, or the system's error number when no thread could be
    // created (the task then stays unstarted). A task is started at most once; a second
    // Start returns EBUSY. `name` (at most 15 bytes are kept) shows in debuggers.
    int Start(Entry entry, void* parameter, const char* name = nullptr);

    // Waits at most timeoutMs for the task to signal `done`, then joins its thread.
    // False when the time-out passed first; the thread is then still attached.
    bool WaitForEnd(Semaphore& done, long timeoutMs);

    // Lets a task that did not end in time go on alone: its thread is detached, and the
    // state it touches stays alive until it returns.
    void Terminate();

    // WaitForEnd, and on a time-out `reportTimeout` (which prints the owner's message)
    // followed by Terminate. True when the task ended in time.
    bool ShutDown(Semaphore& done, long timeoutMs, const std::function<void()>& reportTimeout);

    // True from a successful Start until the thread was joined or let go.
    bool IsAttached() const { return m_thread.joinable(); }
    // True once the entry function has returned.
    bool HasFinished() const;
    // The entry function's result, 0 until it returned.
    int ExitCode() const;

private:
    struct Shared {
        std::atomic<bool> finished{false};
        std::atomic<int> exitCode{0};
    };

    std::thread m_thread;
    std::shared_ptr<Shared> m_shared;
};

} // namespace MV
