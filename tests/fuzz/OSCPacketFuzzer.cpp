// libFuzzer entry for OSC packet handling.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "OSCPacketFuzzTarget.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    MV::fuzz::QuietServerOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (!MV::fuzz::HandleOSCPacket(data, size)) {
        std::fputs("the OSC server no longer answers /ping\n", stderr);
        std::abort();
    }
    return 0;
}
