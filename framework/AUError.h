// The framework's error exception and the rule that turns any exception into a request result.
#pragma once

#include <exception>

#include "AUTypes.h"

// An error raised inside the framework, carrying the host error number that the request
// that caught it answers with.
class AUError : public std::exception {
public:
    explicit AUError(OSStatus status, const char* operation = nullptr) noexcept
        : m_status(status), m_operation(operation) {}

    OSStatus GetStatus() const noexcept { return m_status; }
    // What failed, a static text, or null.
    const char* GetOperation() const noexcept { return m_operation; }
    const char* what() const noexcept override;

private:
    OSStatus m_status;
    const char* m_operation;
};

[[noreturn]] void ThrowAUError(OSStatus status, const char* operation = nullptr);

inline void ThrowIfAUError(OSStatus status, const char* operation = nullptr) {
    if (status != noErr) {
        ThrowAUError(status, operation);
    }
}

// The result for the exception being handled; call only inside a catch block. An AUError
// gives its own number, std::bad_alloc -108, a thrown SInt32 or SInt16 that number, anything
// else -1.
OSStatus ResultFromCurrentException() noexcept;
