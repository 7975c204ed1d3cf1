// Changes that start inside the plug-in reach the host: a MIDI script's setParameter at the
// sample of its message, and an OSC client's "/set" on the instance's own port (127.0.0.1).
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "FluxetLV2Metadata.h"
#include "LV2TestHost.h"
#include "OscTestSupport.h"

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

TEST(FluxetLV2Osc, TheInstanceAnswersOnItsPortAndItsSetReachesTheHost) {
    const int offset = 7;
    const int port = LV2TestOSCBasePort() + offset;
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 256);
    ControlSequence control(Host());
    control.PatchSetInt(0, kParam_OSCPortOffset, offset);
    EXPECT_TRUE(instance.Run(64, &control).empty());

    // The server may still be opening its port: ask until it answers.
    const OscTestClient client;
    ASSERT_TRUE(WaitUntil([&] { return PingRoundTrip(client, port, 100); }))
        << "nothing answers on 127.0.0.1:" << port;

    // A remote "/set" (Depth (fine) to 0.625) is reported with the next block.
    client.Send(port, Message("/set", int(kParam_DepthFine), 0.625f));
    ASSERT_TRUE(PingRoundTrip(client, port));
    const auto reports = instance.Run(64);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].property, FluxetLV2ParameterURI(kParam_DepthFine));
    EXPECT_EQ(reports[0].value, 0.625f);

    // Offset 0 turns the server off: its port is free again.
    control.Clear();
    control.PatchSetInt(0, kParam_OSCPortOffset, 0);
    instance.Run(64, &control);
    EXPECT_TRUE(WaitUntil([&] { return IsUdpPortFree(port); }))
        << "the server still holds its port with offset 0";
}

} // namespace
} // namespace MV::test
