// Changes that start inside the plug-in reach the host: a MIDI script's setParameter at the
// sample of its message, and an OSC client's "/set" on the instance's own port (127.0.0.1).
#include <arpa/inet.h>
#include <cstdlib>
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
#include "LV2TestHost.h"

namespace MV::test {
namespace {

TEST(FluxetLV2Scripts, AScriptsChangeIsHeardAtItsFrameAndReportedToTheHost) {
    // A script in the user's script folder, for the instance created while it exists.
    const std::filesystem::path script =
        std::filesystem::path(std::getenv("XDG_DATA_HOME")) / "Morvane/Fluxet/Scripts/lv2.lua";
    std::filesystem::create_directories(script.parent_path());
    std::ofstream(script) << "requestCC(21, function(channel, controller, value)\n"
                             "    setParameter('Dry Level', value / 127)\n"
                             "end)\n";
    auto scripted = std::make_unique<LV2TestInstance>(Host(), kFluxetLV2StereoURI, 1024);
    std::filesystem::remove(script);
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
    EXPECT_TRUE(plain.Run(1024, input, 0, expected, &still).empty());
    const auto reports = scripted->Run(1024, input, 0, actual, &moving);
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
        char buffer[4096];
        const ssize_t size =
            poll(&wait, 1, timeoutMs) == 1 ? recv(m_socket, buffer, sizeof(buffer), 0) : 0;
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
        const std::string replyTo = "127.0.0.1:" + std::to_string(m_port);
        for (int attempt = 0; attempt < 100; ++attempt) {
            Send(port, "/ping", replyTo.c_str(), "/pong");
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

TEST(FluxetLV2Osc, TheInstanceAnswersOnItsPortAndItsSetReachesTheHost) {
    const int offset = 7;
    const int port = LV2TestOSCBasePort() + offset;
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 256);
    ControlSequence control(Host());
    control.PatchSetInt(0, kParam_OSCPortOffset, offset);
    EXPECT_TRUE(instance.Run(64, &control).empty());

    OscClient client;
    ASSERT_TRUE(client.PingRoundTrip(port)) << "nothing answers on 127.0.0.1:" << port;

    // A remote "/set" (Depth (fine) to 0.625) is reported with the next block.
    client.Send(port, "/set", osc::int32(kParam_DepthFine), 0.625f);
    ASSERT_TRUE(client.PingRoundTrip(port));
    const auto reports = instance.Run(64);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].property, FluxetLV2ParameterURI(kParam_DepthFine));
    EXPECT_EQ(reports[0].value, 0.625f);

    // Offset 0 turns the server off: its port is free again.
    control.Clear();
    control.PatchSetInt(0, kParam_OSCPortOffset, 0);
    instance.Run(64, &control);
    bool released = false;
    for (int attempt = 0; attempt < 1000 && !(released = IsUdpPortFree(port)); ++attempt) {
        usleep(10000);
    }
    EXPECT_TRUE(released) << "the server still holds its port with offset 0";
}

} // namespace
} // namespace MV::test
