// The real `fluxet` program end to end: its renders against the unit driven in-process with
// the same set-up, its options, its failures and what its commands print.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>
#include <regex>
#include <tuple>

#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "CliTestSupport.h"
#include "MrvnFluxet.h"
#include "PropertyListSamples.h"
#include "UnitHost.h"

namespace MrvnCliTest {
namespace {

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Presets by name in any case or by number, odd blocks, the tail, and the output formats (the
// others from a FLAC input).
TEST(ProgramRender, MatchesTheUnitDrivenInProcess) {
    constexpr int kWav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    const std::tuple<const char*, SInt32, UInt32, UInt32, double, bool, const char*, int> cases[] =
        {{"Defaults", 0, 512, 2, 48000.0, false, "out.wav", kWav},
         {"ensemble", 2, 64, 2, 44100.0, false, "out.wav", kWav},
         {"13", 13, 37, 1, 44100.0, false, "out.wav", kWav},
         {"Some Speed LFO", 7, 1, 2, 48000.0, false, "out.wav", kWav},
         {"Simple Delay", 10, 512, 2, 48000.0, true, "out.wav", kWav},
         {"Thicker", 17, 512, 2, 44100.0, false, "out.AIFF", SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
         {"Thicker", 17, 512, 2, 44100.0, false, "out.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
         {"Thicker", 17, 512, 2, 44100.0, false, "out.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS}};
    for (const auto& [preset, number, block, channels, rate, tail, name, format] : cases) {
        SCOPED_TRACE(std::string(preset) + ", block " + std::to_string(block) + ", " + name);
        const TempFolder folder;
        const std::string input = folder / (format == kWav ? "in.wav" : "in.flac");
        const auto frames = UInt32(0.25 * rate);
        WriteSound(input, TestSignal(channels, frames, rate), rate,
                   format == kWav ? kWav : SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
        std::vector<std::string> args{
            "render", "--preset", preset, "--block", std::to_string(block), input, folder / name};
        if (tail) {
            args.push_back("--tail");
        }
        const ProgramResult run = RunFluxetProgram(args);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const Sound output = ReadSound(folder / name);
        EXPECT_EQ(output.sampleRate, rate);
        EXPECT_EQ(output.format, format);
        ReferenceSetup setup;
        setup.preset = number;
        setup.blockSize = block;
        setup.tailFrames = tail ? UInt64(std::ceil(UnitTailTime() * rate)) : 0;
        ASSERT_EQ(output.channels.size(), channels);
        ASSERT_EQ(output.channels[0].size(), frames + setup.tailFrames);
        const Channels expected = ReferenceRender(ReadSound(input).channels, rate, setup);
        if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_FLOAT) {
            EXPECT_TRUE(SameBits(expected, output.channels));
        }
        for (std::size_t c = 0; (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_24 && c < channels;
             ++c) {
            for (std::size_t i = 0; i < frames; ++i) {
                ASSERT_NEAR(output.channels[c][i], std::clamp(expected[c][i], -1.0f, 1.0f),
                            1.0 / 8388607.0)
                    << "channel " << c << ", frame " << i;
            }
        }
        if (tail) { // the echo rings on past the input's end
            const auto loudest =
                std::minmax_element(output.channels[0].begin() + frames, output.channels[0].end());
            EXPECT_GT(std::max(-*loudest.first, *loudest.second), 0.01f);
        }
    }
}

// Settings by name and value name reach the unit after the preset, in their order (the other
// spellings are the parser's: CliCommandsTest). The saved state renders the same sound, shows
// its values, and a preset given with it is applied after it.
TEST(ProgramSettingsAndState, ReachTheUnitAfterThePresetAndComeBackFromTheState) {
    const TempFolder folder;
    const Channels input = TestSignal(2, 12000, 48000.0);
    WriteSound(folder / "in.wav", input, 48000.0);
    const ProgramResult run = RunFluxetProgram(
        {"render", "--preset", "Ensemble", "--set", "dry level=0.25", "--set", "Shape=rand tri",
         "--set", "Speed (fine)=0", "--set=Feedback=-40", "--save-state", folder / "saved.plist",
         folder / "in.wav", folder / "first.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    // A random shape is beyond the published range: said once, on one line.
    EXPECT_EQ(Lines(run.err),
              std::vector<std::string>{"fluxet: note: 'Shape' 7 (Rand Tri) is beyond its published "
                                       "range 0 to 4 (hosts and the editor stay within it)"});
    ReferenceSetup setup;
    setup.preset = 2;
    setup.settings = {{kParam_DryLevel, 0.25f},
                      {kParam_Shape, 7.0f},
                      {kParam_SpeedFine, 0.5f},
                      {kParam_Feedback, -40.0f}};
    const Channels output = ReadSound(folder / "first.wav").channels;
    EXPECT_TRUE(SameBits(ReferenceRender(input, 48000.0, setup), output));
    setup.settings.clear();
    EXPECT_FALSE(SameBits(ReferenceRender(input, 48000.0, setup), output));

    const ProgramResult restored =
        RunFluxetProgram({"render", "--state", folder / "saved.plist", "--save-state",
                          folder / "again.plist", folder / "in.wav", folder / "second.wav"});
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_TRUE(SameBits(output, ReadSound(folder / "second.wav").channels));
    // The state names its preset, the unit's codes and every value, with value names.
    const ProgramResult shown = RunFluxetProgram({"state", folder / "saved.plist"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    for (const char* expected : {"Ensemble", "aumf", "Flxt", "Mrvn", "Dry Level", "0.25", "Shape",
                                 "7 (Rand Tri)", "OSC Port Offset", "0 (Off)"}) {
        EXPECT_TRUE(Contains(shown.out, expected)) << expected << "\n" << shown.out;
    }
    const auto lines = Lines(shown.out);
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) { return line.rfind(' ', 0) == 0; }),
              kNumParameters);
    EXPECT_EQ(shown.out, RunFluxetProgram({"state", folder / "again.plist"}).out);

    ASSERT_EQ(RunFluxetProgram({"render", "--state", folder / "saved.plist", "--preset", "Defaults",
                                folder / "in.wav", folder / "third.wav"})
                  .status,
              0);
    setup.preset = 0;
    EXPECT_TRUE(
        SameBits(ReferenceRender(input, 48000.0, setup), ReadSound(folder / "third.wav").channels));
}

// One case per kind of bad input: one line on standard error, the exit status (2 for wrong
// usage, which alone points at help), nothing on standard output, no file touched.
TEST(ProgramFailure, SaysWhatIsWrongOnOneLineAndKeepsTheOutput) {
    using Args = std::vector<std::string>; // "@name" is that file in the test folder
    const auto render = [](Args options) {
        options.insert(options.begin(), {"render", "@in.wav", "@keep.wav"});
        return options;
    };
    const std::tuple<Args, int, const char*> cases[] = {
        {{"render", "@missing.wav", "@keep.wav"}, 1, "cannot read '"},
        {render({"--preset", "Nope"}), 2, "no factory preset named 'Nope'"},
        {render({"--set", "Loudness=1"}), 2, "no parameter 'Loudness'"},
        {render({"--set", "Bias=half"}), 2, "'half' is not a value of 'Bias'"},
        {render({"--set", "Bias=1.5"}), 2, "outside its range 0 to 1"},
        {render({"--set", "Bias"}), 2, "--set needs NAME=VALUE"},
        {render({"--louder"}), 2, "unknown option '--louder'"},
        {render({"--block"}), 2, "option '--block' needs N"},
        {render({"--block", "big"}), 2, "--block needs a whole number"},
        {{"render", "@in.wav"}, 2, "render needs INPUT and OUTPUT"},
        {{"render", "@in.wav", "@out.mp3"}, 2, "cannot tell the format of"},
        {{"render", "@in.wav", "@no/such/out.wav"}, 1, "cannot write '"},
        {render({"--state", "@in.wav"}), 1, "not a saved state"},
        // The render is done by then: its output must still not replace the old file.
        {render({"--save-state", "@no/s.plist"}), 1, "cannot save state"},
        {render({"--midi", "@in.wav"}), 1, "cannot read MIDI file"},
        // Cut inside its last event, and between two events.
        {render({"--midi", "@cut.mid"}), 1, "cut short inside track 1"},
        {render({"--midi", "@short.mid"}), 1, "cut short inside track 1"},
        {render({"--state", "@deep.plist"}), 1, "nested deeper than 128 levels"},
        {{"state", "@deep.plist"}, 1, "nested deeper than 128 levels"},
        {render({"--scripts", "@scripts"}), 1, "does not exist"},
        {{}, 2, "no command given"},
        {{"mix"}, 2, "unknown command 'mix'"},
        {{"presets", "extra"}, 2, "takes no arguments"},
        {{"state", "@none.plist"}, 1, "cannot read state"}};
    for (const auto& [args, status, message] : cases) {
        SCOPED_TRACE(message);
        const TempFolder folder;
        WriteSound(folder / "in.wav", TestSignal(2, 4800, 48000.0), 48000.0);
        WriteSound(folder / "keep.wav", TestSignal(1, 100, 48000.0), 48000.0);
        WriteMidiFile(folder / "cut.mid", {{0, {0xB0, 1, 2}}, {10, {0xB0, 1, 3}}});
        const std::string midi = ReadFile(folder / "cut.mid");
        WriteFile(folder / "cut.mid", midi.substr(0, midi.size() - 2));
        WriteFile(folder / "short.mid", midi.substr(0, midi.find("MTrk") + 12));
        WriteFile(folder / "deep.plist", MV::test::NestedBinaryList(130000));
        const std::string kept = ReadFile(folder / "keep.wav");
        const std::set<std::string> before = FolderEntries(folder.Path());
        Args resolved;
        for (const std::string& arg : args) {
            resolved.push_back(arg.rfind('@', 0) == 0 ? folder / arg.substr(1) : arg);
        }
        const ProgramResult run = RunFluxetProgram(resolved);
        EXPECT_EQ(run.status, status) << run.err;
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 1u) << run.err;
        EXPECT_EQ(lines[0].rfind("fluxet: ", 0), 0u) << lines[0];
        EXPECT_TRUE(Contains(lines[0], message)) << lines[0];
        EXPECT_EQ(Contains(lines[0], "(try 'fluxet"), status == 2) << lines[0];
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(ReadFile(folder / "keep.wav"), kept);
        EXPECT_EQ(FolderEntries(folder.Path()), before);
    }
}

TEST(ProgramMidi, EventsReachTheUnitAtTheirFrames) {
    const TempFolder folder;
    constexpr double kRate = 48000.0;
    const Channels input = TestSignal(2, 36000, kRate);
    WriteSound(folder / "in.wav", input, kRate);
    // In time order: the file's pulses include the tempo change, and the last event lies past
    // the input's end.
    const std::vector<TimedBytes> events{
        {0, {0xB0, 1, 10}},    {100, {0x90, 60, 100}}, {200, {0xF0, 0x7D, 0x01, 0xF7}},
        {1000, {0xB3, 7, 90}}, {1001, {0x80, 60, 0}},  {1500, {0xC0, 5}}};
    WriteMidiFile(folder / "in.mid", events);
    ReferenceSetup setup;
    setup.preset = 6;
    // The transport (the file's tempo map, or --tempo) changes nothing while no script listens
    // to it, bit for bit. The same events one frame later split the blocks elsewhere and so
    // sound different.
    for (const char* tempo : {"--tempo=97/5", "--block=512"}) {
        const ProgramResult run =
            RunFluxetProgram({"render", "--preset", "Some Depth LFO", "--midi", folder / "in.mid",
                              tempo, folder / "in.wav", folder / "out.wav"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "6 MIDI events")) << run.out;
        const Channels output = ReadSound(folder / "out.wav").channels;
        for (const SInt64 shift : {0, 1}) {
            setup.midi.clear();
            for (const TimedBytes& event : events) {
                setup.midi.push_back(
                    {std::llround(SecondsAtPulse(int(event.when)) * kRate) + shift, event.bytes});
            }
            EXPECT_EQ(bool(SameBits(ReferenceRender(input, kRate, setup), output)), shift == 0)
                << tempo;
        }
    }
}

// More events in a block than the unit takes in one render call. The shipped script holds
// "Feedback" at 70 % while the sustain pedal is down: its release must come amid 200 mod-wheel
// moves. And controllers no script asks for, bunched at one frame and spread, leave the render
// as it is without them, bit for bit.
TEST(ProgramMidi, EveryEventOfABlockArrivesAndTheRenderIsUnchanged) {
    const TempFolder folder;
    constexpr double kRate = 48000.0;
    WriteSound(folder / "in.wav", TestSignal(1, 4096, kRate), kRate);
    // At 120 beats per minute a pulse is 25 frames: pulses 80 to 129 span blocks 3 to 6.
    std::vector<TimedBytes> moves;
    for (int i = 0; i < 200; ++i) {
        moves.push_back({80 + i / 4, {0xB0, 1, UInt8(i % 100)}});
    }
    moves.push_back({81, {0xB0, 64, 127}});
    moves.push_back({122, {0xB0, 64, 0}});
    moves.push_back({131, {0xB0, 1, 42}}); // alone at its pulse: the last move
    std::stable_sort(moves.begin(), moves.end(),
                     [](const TimedBytes& a, const TimedBytes& b) { return a.when < b.when; });
    WriteMidiFile(folder / "moves.mid", moves);
    const ProgramResult run =
        RunFluxetProgram({"render", "--midi", folder / "moves.mid", "--save-state",
                          folder / "moves.plist", folder / "in.wav", folder / "moves.wav"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    MV::test::UnitHost saved(kFluxetComponentDescription, &MrvnFluxetEntry);
    ASSERT_EQ(AURestoreUnitStateFromFile(saved.Unit(), folder / "moves.plist"), noErr);
    EXPECT_EQ(saved.GetParameter(kParam_Feedback), 0.0f) << "the pedal's release was lost";
    EXPECT_FLOAT_EQ(saved.GetParameter(kParam_DepthFine), 42.0f / 127.0f * 10.0f);

    std::vector<TimedBytes> idle;
    for (int i = 0; i < 350; ++i) {
        idle.push_back({i < 200 ? 80 : 100 + i / 3, {0xB0, 23, UInt8(i % 128)}});
    }
    WriteMidiFile(folder / "idle.mid", idle);
    const ProgramResult plain =
        RunFluxetProgram({"render", folder / "in.wav", folder / "plain.wav"});
    const ProgramResult sliced = RunFluxetProgram(
        {"render", "--midi", folder / "idle.mid", folder / "in.wav", folder / "sliced.wav"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(sliced.status, 0) << sliced.err;
    EXPECT_TRUE(Contains(sliced.out, "350 MIDI events")) << sliced.out;
    EXPECT_TRUE(SameBits(ReadSound(folder / "plain.wav").channels,
                         ReadSound(folder / "sliced.wav").channels));
}

// presets, params and --version show the unit's own presets, parameters (with a preset's
// values) and version.
TEST(ProgramInfo, PresetsParamsAndVersionAreTheUnits) {
    MV::test::UnitHost host(kFluxetComponentDescription, &MrvnFluxetEntry);
    AUPresetList list{};
    UInt32 size = sizeof(list);
    ASSERT_EQ(AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_FactoryPresets,
                                   kAudioUnitScope_Global, 0, &list, &size),
              noErr);
    const ProgramResult presets = RunFluxetProgram({"presets"});
    ASSERT_EQ(presets.status, 0) << presets.err;
    const std::vector<std::string> lines = Lines(presets.out);
    ASSERT_EQ(lines.size(), list.count);
    for (UInt32 i = 0; i < list.count; ++i) {
        EXPECT_TRUE(Contains(lines[i], std::to_string(list.presets[i].presetNumber) + "  " +
                                           list.presets[i].presetName))
            << lines[i];
    }
    const auto version = UInt32(CallComponentVersion(host.Unit()));
    EXPECT_EQ(RunFluxetProgram({"--version"}).out, "fluxet " + std::to_string(version >> 16) + "." +
                                                       std::to_string((version >> 8) & 0xFF) + "." +
                                                       std::to_string(version & 0xFF) + "\n");

    const AUPreset flangey{9, nullptr};
    ASSERT_EQ(AudioUnitSetProperty(host.Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &flangey, sizeof(flangey)),
              noErr);
    const ProgramResult run = RunFluxetProgram({"params", "--preset", "flangey"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Preset 9: Flangey")) << run.out;
    std::size_t rows = 0;
    for (const std::string& line : Lines(run.out)) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[start])) ||
            Contains(line, ":")) {
            continue;
        }
        const auto id = AudioUnitParameterID(std::stoul(line));
        AudioUnitParameterInfo info{};
        size = sizeof(info);
        ASSERT_EQ(AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_ParameterInfo,
                                       kAudioUnitScope_Global, id, &info, &size),
                  noErr);
        EXPECT_TRUE(Contains(line, info.name)) << line;
        // The last number is the preset's value, unless a value name "(...)" follows it.
        const std::string bare = std::regex_replace(line, std::regex(R"( +\([^()]*\) *$)"), "");
        EXPECT_EQ(std::stof(bare.substr(bare.find_last_of(' ') + 1)), host.GetParameter(id))
            << line;
        ++rows;
    }
    EXPECT_EQ(rows, std::size_t(kNumParameters));
}

TEST(ProgramDemo, WritesTheDrySignalAndFourRenders) {
    const TempFolder folder;
    const std::string target = folder / "demo";
    const ProgramResult run = RunFluxetProgram({"demo", target});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> paths = Lines(run.out);
    ASSERT_EQ(paths.size(), 5u) << run.out;
    EXPECT_EQ(paths[0], target + "/dry.wav");
    const Sound dry = ReadSound(paths[0]);
    EXPECT_EQ(dry.sampleRate, 48000.0);
    ASSERT_EQ(dry.channels.size(), 2u);
    EXPECT_GE(dry.channels[0].size(), 48000u * 2);
    const auto tailFrames = std::size_t(std::ceil(UnitTailTime() * 48000.0));
    for (std::size_t i = 1; i < paths.size(); ++i) {
        EXPECT_EQ(std::filesystem::path(paths[i]).parent_path(), target);
        Sound wet = ReadSound(paths[i]);
        ASSERT_EQ(wet.channels.size(), 2u);
        ASSERT_EQ(wet.channels[0].size(), dry.channels[0].size() + tailFrames) << paths[i];
        for (auto& channel : wet.channels) {
            channel.resize(dry.channels[0].size());
        }
        EXPECT_FALSE(SameBits(dry.channels, wet.channels)) << paths[i] << " sounds dry";
    }
}

} // namespace
} // namespace MrvnCliTest
