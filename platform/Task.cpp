#include "Task.h"

#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <system_error>

namespace MV {

Task::~Task() {
    if (m_thread.joinable()) {
        if (HasFinished()) {
            m_thread.join();
        } else {
            m_thread.detach();
        }
    }
}

int Task::Start(Entry entry, void* parameter, const char* name) {
    if (m_shared) {
        return EBUSY;
    }
    if (entry == nullptr) {
        return EINVAL;
    }
    auto shared = std::make_shared<Shared>();
    char threadName[16] = {};
    if (name != nullptr) {
        std::strncpy(threadName, name, sizeof threadName - 1);
    }
    try {
        // The thread keeps its own reference, so a detached task never touches freed state.
        m_thread = std::thread([shared, entry, parameter, threadName]() {
            if (threadName[0] != '\0') {
                pthread_setname_np(pthread_self(), threadName);
            }
            shared->exitCode.store(entry(parameter), std::memory_order_relaxed);
            shared->finished.store(true, std::memory_order_release);
        });
    } catch (const std::system_error& error) {
        return error.code().value() != 0 ? error.code().value() : EAGAIN;
    }
    m_shared = std::move(shared);
    return 0;
}

bool Task::WaitForEnd(Semaphore& done, long timeoutMs) {
    if (!m_thread.joinable()) {
        return true;
    }
    if (!done.Wait(timeoutMs)) {
        return false;
    }
    // The task signals just before it returns, so this join is short.
    m_thread.join();
    return true;
}

void Task::Terminate() {
    if (m_thread.joinable()) {
        m_thread.detach();
    }
}

bool Task::ShutDown(Semaphore& done, long timeoutMs, const std::function<void()>& reportTimeout) {
    if (WaitForEnd(done, timeoutMs)) {
        return true;
    }
    if (reportTimeout) {
        reportTimeout();
    }
    Terminate();
    return false;
}

bool Task::HasFinished() const {
    return m_shared && m_shared->finished.load(std::memory_order_acquire);
}

int Task::ExitCode() const {
    return HasFinished() ? m_shared->exitCode.load(std::memory_order_relaxed) : 0;
}

} // namespace MV
