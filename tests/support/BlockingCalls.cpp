#include "BlockingCalls.h"

#include <array>
#include <cstdarg>
#include <dlfcn.h>
#include <linux/futex.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// Static TLS in the program itself: reachable from the wrappers at any time without a call.
__attribute__((tls_model("initial-exec"))) thread_local bool t_counting = false;
__attribute__((tls_model("initial-exec"))) thread_local std::size_t t_calls = 0;
__attribute__((tls_model("initial-exec"))) thread_local std::array<const char*, 32> t_names{};

void Count(const char* name) {
    if (t_counting) {
        if (t_calls < t_names.size()) {
            t_names[t_calls] = name;
        }
        ++t_calls;
    }
}

// The next definition of a function after this program's: the C library's, or a sanitizer's
// wrapper in front of it.
template <class Function> Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

namespace MV::test {

BlockingCallCounter::BlockingCallCounter() {
    t_calls = 0;
    t_counting = true;
}

BlockingCallCounter::~BlockingCallCounter() {
    t_counting = false;
}

std::size_t BlockingCallCounter::Calls() const {
    return t_calls;
}

std::string BlockingCallCounter::Names() const {
    std::string names;
    for (std::size_t i = 0; i < t_calls && i < t_names.size(); ++i) {
        names += std::string(names.empty() ? "" : " ") + t_names[i];
    }
    return names;
}

} // namespace MV::test

// Each wrapper counts, then calls the next definition, looked up once.
#define FLUXET_FORWARD(name, ...)                                                                  \
    Count(#name);                                                                                  \
    static const auto next = Next<decltype(&::name)>(#name);                                       \
    return next(__VA_ARGS__)

extern "C" {

int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
    FLUXET_FORWARD(pthread_mutex_lock, mutex);
}

int pthread_mutex_trylock(pthread_mutex_t* mutex) noexcept {
    FLUXET_FORWARD(pthread_mutex_trylock, mutex);
}

int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    FLUXET_FORWARD(pthread_cond_wait, condition, mutex);
}

int pthread_cond_timedwait(pthread_cond_t* condition, pthread_mutex_t* mutex,
                           const timespec* time) {
    FLUXET_FORWARD(pthread_cond_timedwait, condition, mutex, time);
}

int pthread_cond_clockwait(pthread_cond_t* condition, pthread_mutex_t* mutex, clockid_t clock,
                           const timespec* time) {
    FLUXET_FORWARD(pthread_cond_clockwait, condition, mutex, clock, time);
}

ssize_t write(int descriptor, const void* data, size_t size) {
    FLUXET_FORWARD(write, descriptor, data, size);
}

int poll(pollfd* descriptors, nfds_t count, int timeout) {
    FLUXET_FORWARD(poll, descriptors, count, timeout);
}

int nanosleep(const timespec* duration, timespec* remaining) {
    FLUXET_FORWARD(nanosleep, duration, remaining);
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* time, timespec* remaining) {
    FLUXET_FORWARD(clock_nanosleep, clock, flags, time, remaining);
}

ssize_t sendto(int descriptor, const void* data, size_t size, int flags, const sockaddr* to,
               socklen_t length) {
    FLUXET_FORWARD(sendto, descriptor, data, size, flags, to, length);
}

// Only the futex operations that wait; waking another thread is a non-blocking signal.
long syscall(long number, ...) {
    std::va_list list;
    va_start(list, number);
    long args[6];
    for (long& arg : args) {
        arg = va_arg(list, long);
    }
    va_end(list);
    const int operation = int(args[1]) & FUTEX_CMD_MASK;
    if (number == SYS_futex && operation != FUTEX_WAKE && operation != FUTEX_WAKE_OP &&
        operation != FUTEX_WAKE_BITSET) {
        Count("futex wait");
    }
    static const auto next = Next<long (*)(long, ...)>("syscall");
    return next(number, args[0], args[1], args[2], args[3], args[4], args[5]);
}

} // extern "C"
