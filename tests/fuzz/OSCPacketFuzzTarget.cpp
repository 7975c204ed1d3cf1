#include "OSCPacketFuzzTarget.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <string>
#include <vector>

#include "FileLocations.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "Preferences.h"
#include "UnitHost.h"

namespace MV::fuzz {

namespace {

// Every name and every address a packet gives resolves to the loopback address: nothing is
// looked up and nothing leaves this computer.
unsigned long Loopback(const char* /*host*/) {
    return INADDR_LOOPBACK;
}

constexpr const char kScript[] = R"(
function add(a, b) return (a or 0) + (b or 0), "sum" end
function fail() error("on purpose") end
function many(...) return ... end
function wrong() return true end
registerOSCPathForFunction("/script/echo", function(...) lastEcho = select("#", ...) end)
registerOSCPathForParameter("/script/levels", {"Dry Level", "Effect Level"})
registerOSCPathForParameterNormalized("/script/feedback", "Feedback")
)";

class Harness {
public:
    Harness() {
        char folder[] = "/tmp/fluxet-osc-fuzz-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            std::abort();
        }
        m_folder = folder;
        setenv("XDG_CONFIG_HOME", m_folder.c_str(), 1);
        std::ofstream(m_folder + "/fuzz.lua") << kScript;
        MV::SetScriptFolderOverride(m_folder);
        MV::OSCHelper::SetHostResolver(&Loopback);

        m_host = new MV::test::UnitHost(kFluxetComponentDescription, &MrvnFluxetEntry);
        MrvnFluxet& unit = m_host->Object<MrvnFluxet>();
        // The server without its tasks: packets are handed to it directly, so no port is
        // opened, whatever offset a packet sets.
        unit.ScriptHost().Initialize();
        m_server = &unit.OSCServer();
        m_server->Initialize();

        m_ping = MV::test::Message("/ping", m_client.Address(), "/fuzz/pong");
    }

    bool Handle(const std::uint8_t* data, std::size_t size) {
        const IpEndpointName sender(INADDR_LOOPBACK, 9);
        // The receive loop hands over at most 4098 bytes.
        const int length = int(std::min<std::size_t>(size, 4098));
        const std::vector<char> packet(data, data + length);
        m_server->ProcessPacket(packet.data(), length, sender);
        if (length % 4 != 0 && length > 4) {
            m_server->ProcessPacket(packet.data(), length - length % 4, sender);
        }
        return Answers();
    }

private:
    bool Answers() {
        m_client.Drain(); // whatever earlier packets sent here
        m_server->ProcessPacket(m_ping.data(), int(m_ping.size()),
                                IpEndpointName(INADDR_LOOPBACK, 9));
        while (const std::optional<MV::test::Packet> reply = m_client.Receive(5000)) {
            const std::optional<MV::test::OscReply> pong = MV::test::DecodeReply(*reply);
            if (pong && pong->inBundle && pong->address == "/fuzz/pong") {
                return true;
            }
        }
        return false;
    }

    std::string m_folder;
    // Kept for the life of the process (the fuzzer never returns from its loop).
    MV::test::UnitHost* m_host = nullptr;
    MV::OSCHelper* m_server = nullptr;
    MV::test::OscTestClient m_client;
    MV::test::Packet m_ping;
};

Harness& TheHarness() {
    static Harness* harness = new Harness;
    return *harness;
}

} // namespace

bool HandleOSCPacket(const std::uint8_t* data, std::size_t size) {
    return TheHarness().Handle(data, size);
}

void QuietServerOutput() {
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
}

} // namespace MV::fuzz
