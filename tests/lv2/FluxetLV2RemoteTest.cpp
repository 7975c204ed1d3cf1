// Changes that start inside the plug-in reach the host: a MIDI script's setParameter at the
// sample of its message, and an OSC client's "/set" on the instance's own port (127.0.0.1).
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <ip/UdpSocket.h>
#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>

#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "LV2TestEnvironment.h"
#include "LV2TestHost.h"

namespace {

using MV::test::ControlSequence;
using MV::test::LV2TestHost;
using MV::test::LV2TestInstance;
using MV::test::ReportedValue;
using MV::test::TestSignal;
using Buffers = std::vector<std::vector<float>>;

LV2TestHost& Host() {
    static LV2TestHost host(FLUXET_LV2_BUNDLE_DIR);
    return host;
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// A script in the user's script folder for the instances created while it exists.
class UserScript {
public:
    UserScript(const char* name, const std::string& text) {
        const char* data = std::getenv("XDG_DATA_HOME");
        m_path = std::filesystem::path(data != nullptr ? data : "/nonexistent") / "Morvane" /
                 "Fluxet" / "Scripts" / name;
        std::filesystem::create_directories(m_path.parent_path());
        std::ofstream(m_path) << text;
    }
    ~UserScript() {
        std::error_code ignored;
        std::filesystem::remove(m_path, ignored);
    }

private:
    std::filesystem::path m_path;
};

TEST(FluxetLV2Scripts, AScriptsChangeIsHeardAtItsFrameAndReportedToTheHost) {
    std::unique_ptr<LV2TestInstance> scripted;
    {
        const UserScript script("lv2-test.lua", R"(
requestCC(21, function(channel, controller, value)
    setParameter("Dry Level", value / 127)
end)
)");
        scripted = std::make_unique<LV2TestInstance>(Host(), kFluxetLV2StereoURI, 1024);
    }
    LV2TestInstance plain(Host(), kFluxetLV2StereoURI, 1024);
    // Both get a controller at frame 300, so both renders are split there; only the script's
    // controller moves a parameter.
    ControlSequence moving(Host());
    moving.MIDI(300, {0xB0, 21, 127});
    ControlSequence still(Host());
    still.MIDI(300, {0xB0, 22, 127});
    const Buffers input = TestSignal(2, 1024, 11);
    Buffers expected;
    Buffers actual;
    const auto none = plain.Run(1024, input, 0, expected, &still);
    const auto reports = scripted->Run(1024, input, 0, actual, &moving);
    EXPECT_TRUE(none.empty());
    for (int ch = 0; ch < 2; ++ch) {
        for (uint32_t i = 0; i < 1024; ++i) {
            ASSERT_EQ(SameBits(actual[ch][i], expected[ch][i]), i < 300) << "frame " << i;
        }
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].property, FluxetLV2ParameterURI(kParam_DryLevel));
    EXPECT_EQ(reports[0].value, 1.0f);
    EXPECT_EQ(reports[0].frame, 1023);
}

// ---------------------------------------------------------------------------------------------
// OSC

// Receives on 127.0.0.1 at a port the system picks; sends with oscpack to 127.0.0.1 only.
class OscClient {
public:
    OscClient() {
        m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~OscClient() { close(m_socket); }

    std::string ReplyAddress() const { return "127.0.0.1:" + std::to_string(m_port); }

    template <class... Args> void Send(int port, const char* path, Args... args) {
        char buffer[1024];
        osc::OutboundPacketStream packet(buffer, sizeof(buffer));
        packet << osc::BeginMessage(path);
        (packet << ... << args);
        packet << osc::EndMessage;
        UdpTransmitSocket(IpEndpointName("127.0.0.1", port)).Send(packet.Data(), packet.Size());
    }

    // The address of the next message (bare or the first of a bundle) within the time-out.
    std::optional<std::string> Receive(int timeoutMs) {
        pollfd wait{m_socket, POLLIN, 0};
        if (poll(&wait, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t size = recv(m_socket, buffer, sizeof(buffer), 0);
        if (size <= 0) {
            return std::nullopt;
        }
        const osc::ReceivedPacket packet(buffer, osc::osc_bundle_element_size_t(size));
        if (packet.IsMessage()) {
            return osc::ReceivedMessage(packet).AddressPattern();
        }
        const osc::ReceivedBundle bundle(packet);
        for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
            if (element->IsMessage()) {
                return osc::ReceivedMessage(*element).AddressPattern();
            }
        }
        return std::string();
    }

    // A "/ping" answered: the server listens, and has handled every packet sent before it.
    bool PingRoundTrip(int port) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            Send(port, "/ping", ReplyAddress().c_str(), "/pong");
            for (std::optional<std::string> reply; (reply = Receive(100));) {
                if (*reply == "/pong") {
                    return true;
                }
            }
        }
        return false;
    }

private:
    int m_socket = -1;
    int m_port = 0;
};

bool IsLoopbackPortFree(int port) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(uint16_t(port));
    const bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(probe);
    return free;
}

TEST(FluxetLV2Osc, TheInstanceAnswersOnItsPortAndItsSetReachesTheHost) {
    const int offset = 7;
    const int port = MV::test::LV2TestOSCBasePort() + offset;
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 256);
    ControlSequence control(Host());
    const int32_t value = offset;
    control.PatchSetAtom(0, FluxetLV2ParameterURI(kParam_OSCPortOffset), Host().Map(LV2_ATOM__Int),
                         &value, sizeof(value));
    Buffers output;
    EXPECT_TRUE(instance.Run(64, TestSignal(1, 64), 0, output, &control).empty());

    OscClient client;
    ASSERT_TRUE(client.PingRoundTrip(port)) << "nothing answers on 127.0.0.1:" << port;

    // A remote "/set" (Depth (fine) to 0.625) is reported with the next block.
    client.Send(port, "/set", osc::int32(kParam_DepthFine), 0.625f);
    ASSERT_TRUE(client.PingRoundTrip(port));
    const auto reports = instance.Run(64, TestSignal(1, 64), 0, output);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].property, FluxetLV2ParameterURI(kParam_DepthFine));
    EXPECT_EQ(reports[0].value, 0.625f);

    // Offset 0 turns the server off: its port is free again.
    control.Clear();
    const int32_t off = 0;
    control.PatchSetAtom(0, FluxetLV2ParameterURI(kParam_OSCPortOffset), Host().Map(LV2_ATOM__Int),
                         &off, sizeof(off));
    instance.Run(64, TestSignal(1, 64), 0, output, &control);
    bool released = false;
    for (int attempt = 0; attempt < 1000 && !released; ++attempt) {
        released = IsLoopbackPortFree(port);
        if (!released) {
            usleep(10000);
        }
    }
    EXPECT_TRUE(released) << "the server still holds its port with offset 0";
}

} // namespace
