// The real `fluxet` program's transport: tempo changes and bar lines reach scripts at their
// frames, and the tempo-sync example runs as the README shows it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "CliTestSupport.h"

#ifndef FLUXET_SOURCE_DIR
#error "FLUXET_SOURCE_DIR must name the source tree"
#endif

namespace MrvnCliTest {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The script shows what it hears as "Dry Level" (with the effect silent, the output is the
// input times its cube): a quarter of the tempo, and a quarter more in every other bar.
TEST(ProgramTransport, TempoChangesAndBarLinesReachScriptsAtTheirFrames) {
    const TempFolder folder;
    constexpr double kRate = 48000.0;
    const Channels input = TestSignal(1, 200000, kRate);
    WriteSound(folder / "in.wav", input, kRate);
    std::filesystem::create_directories(folder / "scripts");
    WriteFile(folder / "scripts/show.lua", "local tempo, odd = 0, 0\n"
                                           "local function show()\n"
                                           "    setParameter('Dry Level', tempo / 480 + odd / 4)\n"
                                           "end\n"
                                           "requestTempoChange(function(bpm)\n"
                                           "    tempo = bpm; show()\n"
                                           "end)\n"
                                           "requestBarCallback(function(bar)\n"
                                           "    odd = bar % 2; show()\n"
                                           "end)\n");
    // The MIDI file's map: 120 beats per minute for its first beat (24000 frames), then 60,
    // so the second bar starts at beat 4, 3 × 48000 frames later. --tempo 90/3: bars of three
    // beats, 96000 frames each.
    WriteMidiFile(folder / "in.mid", {{4000, {0xB0, 30, 1}}});
    using Changes = std::vector<std::pair<std::size_t, float>>; // from a frame on, Dry Level
    const std::tuple<std::vector<std::string>, Changes> cases[] = {
        {{}, {{0, 0.25f}, {24000, 0.125f}, {168000, 0.375f}}},
        {{"--tempo", "90/3"}, {{0, 0.1875f}, {96000, 0.4375f}, {192000, 0.1875f}}},
    };
    for (const auto& [tempo, changes] : cases) {
        SCOPED_TRACE(tempo.empty() ? "the file's tempo map" : tempo[1]);
        std::vector<std::string> args{"render",           "--set",  "Effect Level=0", "--scripts",
                                      folder / "scripts", "--midi", folder / "in.mid"};
        args.insert(args.end(), tempo.begin(), tempo.end());
        args.insert(args.end(), {folder / "in.wav", folder / "out.wav"});
        const ProgramResult run = RunFluxetProgram(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_FALSE(Contains(run.out, "@@@")) << run.out;
        const Channels output = ReadSound(folder / "out.wav").channels;
        ASSERT_EQ(output[0].size(), input[0].size());
        std::size_t change = 0;
        for (std::size_t i = 0; i < input[0].size(); ++i) {
            change += change + 1 < changes.size() && i == changes[change + 1].first ? 1 : 0;
            const float dry = changes[change].second;
            // Near, not equal: a block that crossfades mixes two equal products.
            ASSERT_NEAR(output[0][i], input[0][i] * (dry * dry * dry), 1e-6) << "frame " << i;
        }
    }
}

// The example's MIDI file as its generator writes it: one track at 480 pulses per quarter
// note, 120 beats per minute in 4/4, CC 20 choosing a quarter note, then a dotted eighth from
// the second bar, an eighth from its middle and a sixteenth from the third bar.
std::string TempoSyncMidiFile() {
    const auto bytes = [](UInt32 value, int count) {
        std::string text;
        for (int i = count - 1; i >= 0; --i) {
            text += char((value >> (8 * i)) & 0xFF);
        }
        return text;
    };
    // Pulses since the previous event (each below 2^14: two bytes of 7 bits) and the message.
    const std::pair<UInt32, std::string> events[] = {
        {0, "\xFF\x51\x03" + bytes(500000, 3)},              // tempo: µs per quarter note
        {0, std::string("\xFF\x58\x04\x04\x02\x18\x08", 7)}, // 4/4
        {0, "\xB0\x14\x30"},
        {1920, "\xB0\x14\x40"},
        {960, "\xB0\x14\x50"},
        {960, "\xB0\x14\x70"},
        {1920, std::string("\xFF\x2F\x00", 3)}, // end of track
    };
    std::string track;
    for (const auto& [delta, message] : events) {
        track += (delta >= 128 ? std::string(1, char(0x80 | (delta >> 7))) : "") +
                 char(delta & 0x7F) + message;
    }
    return "MThd" + bytes(6, 4) + bytes(0, 2) + bytes(1, 2) + bytes(480, 2) + "MTrk" +
           bytes(UInt32(track.size()), 4) + track;
}

TEST(ProgramExamples, TempoSyncRunsAsTheReadmeShowsIt) {
    const std::string example = FLUXET_SOURCE_DIR "/examples/tempo-sync";
    // FLUXET_WRITE_EXAMPLES=1 writes the file anew after a change to the generator.
    if (std::getenv("FLUXET_WRITE_EXAMPLES") != nullptr) {
        WriteFile(example + "/tempo.mid", TempoSyncMidiFile());
    }
    EXPECT_EQ(ReadFile(example + "/tempo.mid"), TempoSyncMidiFile());
    const TempFolder folder;
    ASSERT_EQ(RunFluxetProgram({"demo", folder / "demo"}).status, 0);
    const ProgramResult run =
        RunFluxetProgram({"render", "--tempo", "120/4", "--midi", example + "/tempo.mid",
                          "--scripts", example, folder / "demo/dry.wav", folder / "tempo.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_TRUE(Contains(run.out, "4 MIDI events")) << run.out;
    EXPECT_FALSE(Contains(run.out, "@@@")) << run.out;
}

} // namespace
} // namespace MrvnCliTest
