// Packet handling under arbitrary input: one unit's OSC server (with a small script) fed any
// bytes, and asked for a "/ping" after each packet, which must be answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace MV::fuzz {

// Handles one packet (as received, and cut to whole words when it is not), then a "/ping".
// True when the ping was answered. Sends only to 127.0.0.1.
bool HandleOSCPacket(const std::uint8_t* data, std::size_t size);

// Packets that start the fuzzer (and the replay test) in every corner of the address space.
std::vector<std::vector<char>> OSCSeedPackets();

} // namespace MV::fuzz
