#include "OSCSeeds.h"

#include <osc/OscOutboundPacketStream.h>

#include "OscTestSupport.h"

namespace MV::fuzz {

using MV::test::Bundle;
using MV::test::Message;

// Reply addresses in the seeds are ignored by the harness (everything resolves to
// 127.0.0.1), but keep their form.
constexpr const char* kReply = "127.0.0.1:9";

std::vector<std::vector<char>> OSCSeedPackets() {
    return {
        Message("/ping", kReply, "/r"),
        Message("/set", 3, 0.5f),
        Message("/set", 15, 5.0f),
        Message("/get", 2, kReply, "/r"),
        Message("/getAll", kReply, "/r"),
        Message("/getAllRegistered"),
        Message("/getNumParameters", kReply, "/r"),
        Message("/isParameterUsed", 1, kReply, "/r"),
        Message("/getInfo", 15, "osc.udp://127.0.0.1:9/", "/r"),
        Message("/registerUpdate", 4, kReply, "/u"),
        Message("/unregisterUpdate", 4, kReply, "/u"),
        Message("/exec", "add", 1, 2.5f, true, false, std::monostate{}, "x", 2.0),
        Message("/exec", "fail"),
        Message("/call", "add", kReply, "/r", 1, 2),
        Message("/call", "many", kReply, "/r", "a", "1.5", 3),
        Message("/call", "wrong", kReply, "/r"),
        Message("/startNote", 60, 0.5f),
        Message("/stopNote", 60, 0.0f),
        Message("/script/echo", 1, "two", 3.0f),
        Message("/script/levels", 0.5f, 1.0f),
        Message("/script/feedback", 0.25f),
        Message("/mrvn/Fluxet/2/Feedback", 0.5f),
        Message("/mrvn/+multi1/Fluxet/*/Bias/2", 1.0f),
        Message("/mrvn/3/10/4/0", 0.25f, 0.75f),
        Message("/exec", "add", osc::Blob("blob", 4), 1),
        // Found by the fuzzer: a blob whose size runs far past the packet.
        {'/', 'm',  'r',    'v',    'n',  '/',  '1',    '\0',   ',',  'b',
         'f', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'},
        // And one whose address, as the library reads it, ends only at a word's last byte.
        {'/', 'a',  '\0',   'x',    'y',  'z',  'w',    '\0',   ',',  'f',
         'b', '\0', '\x3e', '\x80', '\0', '\0', '\x3f', '\x40', '\0', '\0'},
        Bundle({Message("/t3d/frm", 1), Message("/t3d/tch3", 0.1f, 0.2f, 0.3f, 60.0f)}),
        Bundle({Message("/set", 1, 2.0f), Message("/ping", kReply, "/r")}),
        Bundle({Bundle({Message("/getAllRegistered")})}),
    };
}

} // namespace MV::fuzz
