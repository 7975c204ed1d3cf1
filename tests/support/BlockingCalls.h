// Test support: counts the calls a thread makes that take a lock or may block (mutex locks,
// condition waits, futex waits, sleeps, writes, polling, sending), so that tests can prove a
// real-time path makes none. Linking any use of the class into a test program puts counting
// wrappers in front of those C library functions for the whole program; they count only on a
// thread whose counter is active and otherwise just pass the call on.
#pragma once

#include <cstddef>
#include <string>

namespace MV::test {

class BlockingCallCounter {
public:
    // Counts the calls of the creating thread while it exists (not nested).
    BlockingCallCounter();
    ~BlockingCallCounter();
    BlockingCallCounter(const BlockingCallCounter&) = delete;
    BlockingCallCounter& operator=(const BlockingCallCounter&) = delete;

    std::size_t Calls() const;
    // The names of the functions counted, in order, for a failure message.
    std::string Names() const;
};

} // namespace MV::test
