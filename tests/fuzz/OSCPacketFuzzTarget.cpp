// OSC packets into a unit that renders what they set.
#include <cmath>
#include <fstream>
#include <netinet/in.h>
#include <string>

#include "FuzzSupport.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace MV::fuzz {

using MV::test::Bundle;
using MV::test::Message;

namespace {

constexpr const char kScript[] = R"(
function add(a, b) return (a or 0) + (b or 0), "sum" end
function fail() error("on purpose") end
function many(...) return ... end
function wrong() return true end
registerOSCPathForFunction("/script/echo", function(...) lastEcho = select("#", ...) end)
registerOSCPathForParameter("/script/levels", {"Dry Level", "Effect Level"})
registerOSCPathForParameterNormalized("/script/feedback", "Feedback")
)";

// The unit initialised and rendering, its server fed directly: the tasks are stopped after
// initialisation, so that no port opens and every packet is handled before the next render.
// Kept as long as the process lives.
struct Harness {
    Harness() {
        std::ofstream(HermeticFolder() + "/scripts/fuzz.lua") << kScript;
        // Every name and address a packet gives is loopback: nothing leaves this computer.
        MV::OSCHelper::SetHostResolver(
            [](const char*) -> unsigned long { return INADDR_LOOPBACK; });
        FuzzCheck(host->Configure(48000.0, 2, kFrames) == noErr && host->Initialize() == noErr,
                  "the unit initialises");
        server = &host->Object<MrvnFluxet>().OSCServer();
        server->DestroyTask();
        for (std::size_t i = 0; i < kFrames; ++i) {
            input[0][i] = 0.5f * float(std::sin(0.05 * double(i)));
            input[1][i] = -input[0][i];
        }
    }

    static constexpr UInt32 kFrames = 64;
    MV::test::UnitHost* host =
        new MV::test::UnitHost(kFluxetComponentDescription, &MrvnFluxetEntry);
    MV::OSCHelper* server = nullptr;
    MV::test::OscTestClient client;
    const MV::test::Packet ping = Message("/ping", client.Address(), "/fuzz/pong");
    std::vector<std::vector<Float32>> input{std::vector<Float32>(kFrames),
                                            std::vector<Float32>(kFrames)};
    std::vector<std::vector<Float32>> output;
};

// Handles a packet (and it cut to whole words) and renders what it set; then a "/ping" must
// still be answered.
void HandleOSCPacket(const std::uint8_t* data, std::size_t size) {
    static Harness* const harness = new Harness;
    const IpEndpointName sender(INADDR_LOOPBACK, 9);
    // The receive loop hands over at most 4098 bytes.
    const int length = int(std::min<std::size_t>(size, 4098));
    const std::vector<char> packet(data, data + length);
    harness->server->ProcessPacket(packet.data(), length, sender);
    if (length % 4 != 0 && length > 4) {
        harness->server->ProcessPacket(packet.data(), length - length % 4, sender);
    }
    FuzzCheck(harness->host->Render(harness->input, 0, Harness::kFrames, harness->output) == noErr,
              "the unit renders after a packet");
    CheckFinite(harness->output, "the output after a packet is finite");
    harness->client.Drain(); // whatever earlier packets sent here
    harness->server->ProcessPacket(harness->ping.data(), int(harness->ping.size()), sender);
    while (const std::optional<MV::test::Packet> reply = harness->client.Receive(5000)) {
        const std::optional<MV::test::OscReply> pong = MV::test::DecodeReply(*reply);
        if (pong && pong->inBundle && pong->address == "/fuzz/pong") {
            return;
        }
    }
    FuzzCheck(false, "the OSC server answers /ping after a packet");
}

std::vector<Input> OSCSeedPackets() {
    // The harness resolves every reply address to 127.0.0.1.
    const char* const reply = "127.0.0.1:9";
    return {Message("/ping", reply, "/r"),
            Message("/set", 3, 0.5f),
            Message("/set", 15, 5.0f),
            // Finite but absurd values must not make the output infinite.
            Message("/set", 1, 1e13f),
            Message("/set", 4, 3e38f),
            Message("/set", 10, -1e21f),
            Message("/set", 7, 8.0f),
            Message("/get", 2, reply, "/r"),
            Message("/getAll", reply, "/r"),
            Message("/getAllRegistered"),
            Message("/getNumParameters", reply, "/r"),
            Message("/isParameterUsed", 1, reply, "/r"),
            Message("/getInfo", 15, "osc.udp://127.0.0.1:9/", "/r"),
            Message("/registerUpdate", 4, reply, "/u"),
            Message("/unregisterUpdate", 4, reply, "/u"),
            Message("/exec", "add", 1, 2.5f, true, false, std::monostate{}, "x", 2.0),
            Message("/exec", "fail"),
            Message("/call", "add", reply, "/r", 1, 2),
            Message("/call", "many", reply, "/r", "a", "1.5", 3),
            Message("/call", "wrong", reply, "/r"),
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
            Bundle({Message("/set", 1, 2.0f), Message("/ping", reply, "/r")}),
            Bundle({Bundle({Message("/getAllRegistered")})})};
}

} // namespace

const FuzzTarget& OSCPacketTarget() {
    static const FuzzTarget target{"osc", &HandleOSCPacket, &OSCSeedPackets, 4098};
    return target;
}

} // namespace MV::fuzz
