// The program's pieces in-process: option parsing, names and values, the output file's
// replacement rule, the progress bar and the command dispatcher.
#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <tuple>

#include <sys/stat.h>

#include "AudioFiles.h"
#include "CliTestSupport.h"
#include "Commands.h"
#include "HostedUnit.h"
#include "MrvnFluxet.h"
#include "Progress.h"
#include "Render.h"
#include "RenderOptions.h"
#include "TransportEvents.h"

namespace MrvnCliTest {
namespace {

using namespace MrvnCli;

// Runs body and returns the usage or runtime error it throws.
template <class Body> MrvnCliError Failure(Body body) {
    try {
        body();
    } catch (const MrvnCliError& error) {
        return error;
    }
    ADD_FAILURE() << "no error";
    return MrvnCliError(0, "");
}

TEST(RenderOptionParsing, OptionsGoAnywhereDoubleDashEndsThemHelpWinsAndBadValuesAreRefused) {
    MrvnRenderOptions options;
    const MrvnParsedArguments parsed = ParseRenderOptions(
        {"in.wav", "--block", "64", "--tail", "-", "--set=Feedback=-5", "--set", "Bias=1", "-q",
         "--preset=Thicker", "--tempo=96.5/7", "--", "--not-an-option"},
        options);
    EXPECT_FALSE(parsed.help);
    EXPECT_EQ(parsed.positionals, (std::vector<std::string>{"in.wav", "-", "--not-an-option"}));
    EXPECT_EQ(options.blockSize, 64u);
    EXPECT_TRUE(options.tail);
    EXPECT_TRUE(options.quiet);
    EXPECT_EQ(options.preset, "Thicker");
    EXPECT_EQ(options.settings, (std::vector<std::string>{"Feedback=-5", "Bias=1"}));
    ASSERT_TRUE(options.tempo);
    EXPECT_EQ(options.tempo->beatsPerMinute, 96.5);
    EXPECT_EQ(options.tempo->beatsPerBar, 7u);
    EXPECT_EQ(ParseTempo("60").beatsPerBar, 4u);
    // Help wins over anything else, unless it comes after "--".
    EXPECT_TRUE(ParseRenderOptions({"--bogus", "-h"}, options).help);
    EXPECT_EQ(ParseRenderOptions({"--", "--help"}, options).positionals,
              std::vector<std::string>{"--help"});
    // Values the program's own failure cases do not try.
    const std::vector<std::string> bad[] = {
        {"--block", "0"},    {"--block", "1048577"}, {"--tail=yes"},        {"--state="},
        {"--preset", ""},    {"--tempo", "fast"},    {"--tempo", "0"},      {"--tempo", "1001"},
        {"--tempo", "90/0"}, {"--tempo", "90/65"},   {"--tempo", "90/3.5"}, {"--tempo", "90/"}};
    for (const auto& args : bad) {
        EXPECT_EQ(Failure([&] { ParseRenderOptions(args, options); }).Status(), kExitUsage)
            << args[0] << " " << args.back();
    }
}

// A MIDI file's tempo map as the transport plays it, at 480 pulses per quarter note: 6/8 from
// the start (a beat is an eighth), the tempo doubled after two bars, 3/4 three eighths into the
// third bar (a new bar), then only a tempo restated two quarters later.
TEST(TempoMap, BecomesChangesOfTempoBarAndBeatAtTheirFrames) {
    const MrvnTempoMap map{480,
                           {{0, 0.0, 500000, 6, 8},
                            {2880, 1.5, 250000, 6, 8},
                            {3600, 1.875, 250000, 3, 4},
                            {4560, 2.375, 250000, 3, 4}}};
    // frame, beats per minute, beats per bar, beat unit, bar, beat in the bar, beat
    const std::tuple<UInt64, double, double, double, double, double, double> expected[] = {
        {0, 240, 6, 8, 0, 0, 0},
        {72000, 480, 6, 8, 2, 0, 12},
        {90000, 240, 3, 4, 3, 0, 15},
        {114000, 240, 3, 4, 3, 2, 17},
    };
    const std::vector<MrvnMidiEvent> changes = TransportFromTempoMap(map, 48000.0);
    ASSERT_EQ(changes.size(), std::size(expected));
    for (std::size_t i = 0; i < changes.size(); ++i) {
        ASSERT_TRUE(changes[i].transport) << i;
        const MrvnTransportEvent& e = *changes[i].transport;
        EXPECT_EQ(std::make_tuple(changes[i].frame, e.beatsPerMinute, e.beatsPerBar, e.beatUnit,
                                  e.bar, e.barBeat, e.beat),
                  expected[i])
            << "mark " << i;
        EXPECT_EQ(e.speed, 1.0);
    }
}

// The spellings the program's end-to-end settings do not cover.
TEST(ParameterSetting, NamesTheParameterAndValue) {
    const MrvnHostedUnit unit(&MrvnFluxetEntry);
    const std::tuple<const char*, AudioUnitParameterID, Float32> cases[] = {
        {"0=1", kParam_DryLevel, 1.0f},
        {"Speed (superfine)=0", kParam_SpeedSuperfine, 0.001f}, // the minimum is the unit's "0"
        {"Speed (coarse)=750", kParam_SpeedCoarse, 750.0f},
        {"Feedback=+12.5", kParam_Feedback, 12.5f},
        {"Shape=2.5", kParam_Shape, 2.5f},
        {"OSC Port Offset=off", kParam_OSCPortOffset, 0.0f},
        {"Feedback=-1e2", kParam_Feedback, -100.0f}};
    for (const auto& [text, id, value] : cases) {
        const MrvnParameterSetting setting = ParseParameterSetting(unit, text);
        EXPECT_EQ(setting.id, id) << text;
        EXPECT_EQ(setting.value, value) << text;
    }
    for (const char* bad :
         {"Feedback=nan", "Feedback=-inf", "Feedback=", "=1", "16=0", "Shape=Wobble", "Shape=8",
          "Dry Level=0.5x", "Bias=0x10", "Bias=1,5", "Bias=0.5 "}) {
        EXPECT_EQ(Failure([&] { ParseParameterSetting(unit, bad); }).Status(), kExitUsage) << bad;
    }
}

// Good names in any case and numbers are the program's render cases.
TEST(FactoryPresetNames, OnlyWholeNamesAndNumbersOfTheListMatch) {
    const MrvnHostedUnit unit(&MrvnFluxetEntry);
    EXPECT_EQ(FindFactoryPreset(unit, "17").presetNumber, 17);
    for (const char* bad : {"-1", "18", "Thicker ", "Flange"}) {
        EXPECT_EQ(Failure([&] { FindFactoryPreset(unit, bad); }).Status(), kExitUsage) << bad;
    }
}

TEST(OutputFiles, CommitReplacesTheFileAndKeepsItsPermissions) {
    const TempFolder folder;
    const std::string path = folder / "out.aiff";
    WriteBytes(path, "old");
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    const Channels signal = TestSignal(1, 300, 44100.0);
    const Float32* pointers[] = {signal[0].data()};
    MrvnSoundFileWriter writer(path, *OutputFormatForPath(path), 44100.0, 1);
    writer.Write(pointers, 300);
    writer.Commit();
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_TRUE(SameBits(signal, ReadSound(path).channels));
    EXPECT_EQ(FolderEntries(folder.Path()), std::vector<std::string>{"out.aiff"});
}

TEST(OutputFiles, AnInterruptedRenderKeepsTheOldFile) {
    const TempFolder folder;
    WriteSound(folder / "in.wav", TestSignal(1, 5000, 44100.0), 44100.0);
    WriteBytes(folder / "out.wav", "precious");
    std::ostringstream out, err;
    const std::atomic<bool> interrupted{true};
    MrvnCliContext context{out, err, &MrvnFluxetEntry};
    context.interrupted = &interrupted;
    EXPECT_EQ(RunFluxet({"render", folder / "in.wav", folder / "out.wav"}, context),
              kExitInterrupted);
    EXPECT_EQ(err.str(), "fluxet: interrupted\n");
    EXPECT_EQ(ReadBytes(folder / "out.wav"), "precious");
    EXPECT_EQ(FolderEntries(folder.Path()), (std::vector<std::string>{"in.wav", "out.wav"}));
}

TEST(ProgressBar, AppearsAfterASecondRedrawsOnlyOnChangeAndClearsItsLine) {
    double now = 100.0;
    std::ostringstream stream, silent;
    {
        MrvnProgressBar bar(stream, true, [&] { return now; });
        MrvnProgressBar disabled(silent, false, [&] { return now; });
        bar.Update(10, 100);
        now += 0.99;
        bar.Update(20, 100);
        EXPECT_EQ(stream.str(), "");
        now += 0.02;
        bar.Update(50, 100);
        disabled.Update(50, 100);
        const std::string first = stream.str();
        EXPECT_NE(first.find(" 50%"), std::string::npos) << first;
        now += 0.05; // too soon
        bar.Update(60, 100);
        now += 0.2; // same percentage
        bar.Update(50, 100);
        EXPECT_EQ(stream.str(), first);
        bar.Update(100, 100);
        EXPECT_NE(stream.str().find("100%"), std::string::npos);
    }
    EXPECT_EQ(stream.str().substr(stream.str().size() - 4), "\r\033[K");
    EXPECT_EQ(silent.str(), "");
}

TEST(Dispatcher, EveryCommandAnswersHelpAndTheOverviewListsThem) {
    std::ostringstream overview, err;
    MrvnCliContext context{overview, err, &MrvnFluxetEntry};
    ASSERT_EQ(RunFluxet({"--help"}, context), kExitSuccess);
    for (const MrvnCommand& command : CommandTable()) {
        EXPECT_NE(overview.str().find(std::string("  ") + command.name + " "), std::string::npos)
            << command.name;
        std::ostringstream out;
        MrvnCliContext own{out, err, &MrvnFluxetEntry};
        EXPECT_EQ(RunFluxet({command.name, "--help"}, own), kExitSuccess) << command.name;
        EXPECT_EQ(out.str().rfind(std::string("usage: fluxet ") + command.name, 0), 0u)
            << out.str();
    }
    EXPECT_EQ(err.str(), "");
}

} // namespace
} // namespace MrvnCliTest
