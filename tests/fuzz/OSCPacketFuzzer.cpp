// libFuzzer entry for OSC packet handling.
#include <cstdio>
#include <cstdlib>

#include "OSCPacketFuzzTarget.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Silences the server's per-message error lines; the fuzzer's own output is on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!MV::fuzz::HandleOSCPacket(data, size)) {
        std::fputs("the OSC server no longer answers /ping\n", stderr);
        std::abort();
    }
    return 0;
}
