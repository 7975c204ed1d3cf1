// The libFuzzer entry of one target, chosen when the program is built (FLUXET_FUZZ_TARGET).
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // Silences the per-message lines of servers and scripts; the fuzzer reports on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const MV::fuzz::FuzzTarget& target = MV::fuzz::FLUXET_FUZZ_TARGET();
    target.handle(data, std::min(size, target.maxLength));
    return 0;
}
