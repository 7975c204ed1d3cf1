#include "AUError.h"

#include <new>

const char* AUError::what() const noexcept {
    return m_operation != nullptr ? m_operation : "audio unit error";
}

void ThrowAUError(OSStatus status, const char* operation) {
    throw AUError(status, operation);
}

OSStatus ResultFromCurrentException() noexcept {
    try {
        throw;
    } catch (const AUError& error) {
        return error.GetStatus();
    } catch (const std::bad_alloc&) {
        return kAudio_MemFullError;
    } catch (SInt32 status) {
        return status;
    } catch (SInt16 status) {
        return status;
    } catch (...) {
        return -1;
    }
}
