#include "OSCPacketFuzzTarget.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>

#include "FileLocations.h"
#include "MrvnFluxet.h"
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

        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::abort();
        }
        m_replyAddress = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

        char buffer[256];
        osc::OutboundPacketStream ping(buffer, sizeof buffer);
        ping << osc::BeginMessage("/ping") << m_replyAddress.c_str() << "/fuzz/pong"
             << osc::EndMessage;
        m_ping.assign(ping.Data(), ping.Data() + ping.Size());
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
        // Whatever earlier packets sent here is dropped first.
        char reply[4096];
        while (recv(m_socket, reply, sizeof reply, MSG_DONTWAIT) > 0) {
        }
        m_server->ProcessPacket(m_ping.data(), int(m_ping.size()),
                                IpEndpointName(INADDR_LOOPBACK, 9));
        for (;;) {
            pollfd ready{m_socket, POLLIN, 0};
            if (poll(&ready, 1, 5000) <= 0) {
                return false;
            }
            const ssize_t got = recv(m_socket, reply, sizeof reply, 0);
            if (got > 0 && IsPong(reply, std::size_t(got))) {
                return true;
            }
        }
    }

    static bool IsPong(const char* data, std::size_t size) {
        try {
            const osc::ReceivedPacket packet(data, osc::osc_bundle_element_size_t(size));
            if (!packet.IsBundle()) {
                return false;
            }
            const osc::ReceivedBundle bundle(packet);
            return bundle.ElementCount() == 1 && !bundle.ElementsBegin()->IsBundle() &&
                   std::string(osc::ReceivedMessage(*bundle.ElementsBegin()).AddressPattern()) ==
                       "/fuzz/pong";
        } catch (const osc::Exception&) {
            return false;
        }
    }

    std::string m_folder;
    // Kept for the life of the process (the fuzzer never returns from its loop).
    MV::test::UnitHost* m_host = nullptr;
    MV::OSCHelper* m_server = nullptr;
    int m_socket = -1;
    std::string m_replyAddress;
    std::vector<char> m_ping;
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
