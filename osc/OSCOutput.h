// What the server's parts share for writing: diagnostics and outgoing packets.
#pragma once

#include <array>
#include <string>

#include <ip/IpEndpointName.h>
#include <osc/OscOutboundPacketStream.h>

#include "OSCHelper.h"

namespace MV {

using PacketBuffer = std::array<char, OSCHelper::kPacketBufferSize>;

// One line on standard output, written whole (several servers print from their own tasks).
void PrintLine(const std::string& text);

// An error text without the line end some library messages carry.
std::string LineText(const char* text);

// Sends a finished packet from a fresh transmit socket connected to `to`, closed again at once.
// Throws std::runtime_error when the socket cannot be opened or connected.
void SendPacket(const IpEndpointName& to, const osc::OutboundPacketStream& packet);

} // namespace MV
