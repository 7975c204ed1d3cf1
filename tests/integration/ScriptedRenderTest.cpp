// The command-line program rendering a sound file with a MIDI file and a user's script: the
// script's parameter move is heard from the exact frame of its controller message.
#include <cmath>
#include <filesystem>

#include "CliTestSupport.h"

namespace MrvnCliTest {
namespace {

TEST(ScriptedRender, ControllerMovesAParameterAtItsFrame) {
    const TempFolder folder;
    constexpr double kRate = 48000.0;
    const Channels input = TestSignal(1, 24000, kRate);
    WriteSound(folder / "in.wav", input, kRate);
    std::filesystem::create_directories(folder / "scripts");
    WriteBytes(folder / "scripts/midi.lua", "requestCC(20, function(channel, controller, value)\n"
                                            "    setParameter('Dry Level', value / 127)\n"
                                            "end)\n");
    // Pulse 480 at 120 beats per minute: a quarter of a second, not on a block boundary.
    WriteMidiFile(folder / "in.mid", {{480, {0xB0, 20, 0}}});
    const auto cut = std::size_t(std::llround(SecondsAtPulse(480) * kRate));
    ASSERT_EQ(cut % 512, 224u);

    const ProgramResult run = RunFluxetProgram(
        {"render", "--set", "Dry Level=1", "--set", "Effect Level=0", "--scripts",
         folder / "scripts", "--midi", folder / "in.mid", folder / "in.wav", folder / "out.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.find("@@@"), std::string::npos) << run.out;
    const Channels output = ReadSound(folder / "out.wav").channels;
    ASSERT_EQ(output.size(), 1u);
    ASSERT_EQ(output[0].size(), input[0].size());
    // The dry path alone passes the input (near, not equal: the first block crossfades from the
    // unit's initial record) until the controller's frame, and nothing from there on.
    for (std::size_t i = 0; i < output[0].size(); ++i) {
        ASSERT_NEAR(output[0][i], i < cut ? input[0][i] : 0.0f, 1e-6) << "frame " << i;
    }
}

} // namespace
} // namespace MrvnCliTest
