// OSC packet handling under arbitrary input, for the fuzzer and its replay test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MV::fuzz {

// Handles a packet (and it cut to whole words), then a "/ping": true when that is answered.
bool HandleOSCPacket(const std::uint8_t* data, std::size_t size);

// Packets that start the fuzzer (and the replay test) in every corner of the address space.
std::vector<std::vector<char>> OSCSeedPackets();

} // namespace MV::fuzz
