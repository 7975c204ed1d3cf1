// Packets that start the fuzzer (and the replay test) in every corner of the address space.
#pragma once

#include <vector>

namespace MV::fuzz {

std::vector<std::vector<char>> OSCSeedPackets();

} // namespace MV::fuzz
