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
#include "MidiSchedule.h"
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

// The spellings the program's end-to-end settings do not cover. Every shape is reachable, with
// a note beyond the five the host is told of.
TEST(ParameterSetting, NamesTheParameterAndValue) {
    const MrvnHostedUnit unit(&MrvnFluxetEntry);
    const std::tuple<const char*, AudioUnitParameterID, Float32, bool> cases[] = {
        {"0=1", kParam_DryLevel, 1.0f, false},
        {"Speed (superfine)=0", kParam_SpeedSuperfine, 0.001f, false}, // the unit's "0"
        {"Speed (coarse)=750", kParam_SpeedCoarse, 750.0f, false},
        {"Feedback=+12.5", kParam_Feedback, 12.5f, false},
        {"Shape=2.5", kParam_Shape, 2.5f, false},
        {"Shape=SQUARE", kParam_Shape, 4.0f, false},
        {"shape=rand sqr", kParam_Shape, 5.0f, true},
        {"7=Wobble", kParam_Shape, 8.0f, true},
        {"Shape=6.25", kParam_Shape, 6.25f, true},
        {"OSC Port Offset=off", kParam_OSCPortOffset, 0.0f, false},
        {"Feedback=-1e2", kParam_Feedback, -100.0f, false}};
    for (const auto& [text, id, value, noted] : cases) {
        const MrvnParameterSetting setting = ParseParameterSetting(unit, text);
        EXPECT_EQ(setting.id, id) << text;
        EXPECT_EQ(setting.value, value) << text;
        EXPECT_EQ(setting.note.find("beyond its published range 0 to 4") != std::string::npos,
                  noted)
            << text << ": " << setting.note;
    }
    for (const char* bad :
         {"Feedback=nan", "Feedback=-inf", "Feedback=", "=1", "16=0", "Shape=8.01", "Shape=-0.5",
          "Shape=Wobbly", "Dry Level=0.5x", "Bias=0x10", "Bias=1,5", "Bias=0.5 "}) {
        EXPECT_EQ(Failure([&] { ParseParameterSetting(unit, bad); }).Status(), kExitUsage) << bad;
    }
}

// Standard MIDI File pieces: a chunk, a header, a track's events.
std::string Chunk(const char* id, const std::string& body) {
    std::string chunk(id);
    for (int shift = 24; shift >= 0; shift -= 8) {
        chunk.push_back(char(body.size() >> shift));
    }
    return chunk + body;
}

std::string MidiHeader(int format, int tracks, int division) {
    return Chunk("MThd", {'\0', char(format), '\0', char(tracks), char(division >> 8),
                          char(division & 0xFF)});
}

std::string Bytes(std::initializer_list<int> bytes) {
    std::string text;
    for (int byte : bytes) {
        text.push_back(char(byte));
    }
    return text;
}

// Timing the program's render case does not reach: frames per second instead of a tempo,
// tempo changes of the first track applied to the second, running status, chunks of other
// kinds and whatever follows the end of a track.
TEST(MidiFiles, TracksShareOneTimeLineAndOnlyWhatTheirEventsSayIsRead) {
    constexpr double kRate = 48000.0;
    const std::string smpte = MidiHeader(0, 1, 0xE728) /* 25 frames of 40 pulses */ +
                              Chunk("MTrk", Bytes({0x83, 0x74, 0x90, 60, 100, 0x64, 61, 0, 0x00,
                                                   0xFF, 0x2F, 0x00, 0x00, 0x90, 1, 1}));
    const std::string tempoMap =
        MidiHeader(1, 2, 96) + Chunk("XFIH", "other") +
        Chunk("MTrk", Bytes({0x60, 0xFF, 0x51, 3, 0x0F, 0x42, 0x40, 0x00, 0xFF, 0x2F, 0x00})) +
        Chunk("MTrk", Bytes({0x81, 0x40, 0xC2, 5, 0x00, 0xF0, 2, 0x7D, 0xF7, 0x00, 0xF7, 1, 0xF8,
                             0x00, 0xFF, 0x2F, 0x00}));
    const std::tuple<std::string, std::vector<MrvnMidiEvent>> cases[] = {
        // 500 pulses at 1000 a second; the second note by running status; nothing after the end.
        {smpte, {{UInt64(0.5 * kRate), {0x90, 60, 100}}, {UInt64(0.6 * kRate), {0x90, 61, 0}}}},
        // 96 pulses at 120 beats per minute, then 96 more at 60.
        {tempoMap, {{UInt64(1.5 * kRate), {0xC2, 5}}, {UInt64(1.5 * kRate), {0xF0, 0x7D, 0xF7}}}}};
    for (const auto& [bytes, expected] : cases) {
        const std::vector<MrvnMidiEvent> events = ParseMidiFile(bytes, kRate, "x.mid");
        ASSERT_EQ(events.size(), expected.size());
        for (std::size_t i = 0; i < events.size(); ++i) {
            EXPECT_EQ(events[i].frame, expected[i].frame) << i;
            EXPECT_EQ(events[i].bytes, expected[i].bytes) << i;
        }
    }
    // The slowest tempo at one pulse a quarter and the longest delta times: millions of years
    // away, events keep their order at frames a 64-bit count holds.
    std::string far = Bytes({0x00, 0xFF, 0x51, 3, 0xFF, 0xFF, 0xFF});
    for (int i = 0; i < 60000; ++i) {
        far += Bytes({0xFF, 0xFF, 0xFF, 0x7F, 0xA0 + i % 2, 1, 2});
    }
    const std::vector<MrvnMidiEvent> events =
        ParseMidiFile(MidiHeader(0, 1, 1) + Chunk("MTrk", far), kRate, "far.mid");
    ASSERT_EQ(events.size(), 60000u);
    EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                               [](const auto& a, const auto& b) { return a.frame < b.frame; }));
    EXPECT_EQ(events.back().frame, UInt64(1) << 62);
}

// Tempo and signature changes of all tracks make one map, one mark per pulse where either
// changes; a signature no bar can have is left out.
TEST(MidiFiles, TempoMapMarksEveryChangeOfTempoOrSignature) {
    const std::string bytes =
        MidiHeader(1, 2, 480) +
        Chunk("MTrk", Bytes({0x00, 0xFF, 0x58, 4,    6, 3,    24,   8,    // 6/8 at 0
                             0x96, 0x40, 0xFF, 0x51, 3, 0x03, 0xD0, 0x90, // 250000 µs at 2880
                             0x00, 0xFF, 0x58, 4,    0, 2,    24,   8,    0x00, 0xFF, 0x2F, 0})) +
        Chunk("MTrk", Bytes({0x9C, 0x10, 0xFF, 0x58, 4, 3, 2, 24, 8, // 3/4 at 3600
                             0x00, 0xFF, 0x2F, 0}));
    const TempFolder folder;
    WriteFile(folder / "map.mid", bytes);
    const MrvnTempoMap map = LoadMidiTempoMap(folder / "map.mid");
    EXPECT_EQ(map.pulsesPerQuarter, 480u);
    const std::tuple<UInt64, double, double, UInt32, UInt32> expected[] = {
        {0, 0.0, 500000, 6, 8}, {2880, 3.0, 250000, 6, 8}, {3600, 3.375, 250000, 3, 4}};
    ASSERT_EQ(map.marks.size(), std::size(expected));
    for (std::size_t i = 0; i < map.marks.size(); ++i) {
        const MrvnTempoMark& m = map.marks[i];
        EXPECT_EQ(std::make_tuple(m.pulse, m.seconds, m.microsecondsPerQuarter, m.numerator,
                                  m.denominator),
                  expected[i])
            << "mark " << i;
    }
}

// A damaged file is refused with what is wrong, wherever it is damaged.
TEST(MidiFiles, DamageAnywhereIsAFailureThatSaysWhat) {
    const std::string header = MidiHeader(0, 1, 96);
    const std::string track = Bytes({0x00, 0x90, 60, 100, 0x10, 0x80, 60, 0, 0x00, 0xFF, 0x2F, 0});
    const std::string good = header + Chunk("MTrk", track);
    const std::pair<std::string, const char*> cases[] = {
        {"RIFF....WAVE", "not a Standard MIDI File"},
        {good.substr(0, 12), "cut short inside its header"},
        {good.substr(0, good.size() - 5), "cut short inside track 1"},
        {header, "track 1 of 1 is missing"},
        {MidiHeader(0, 2, 96) + Chunk("MTrk", track), "track 2 of 2 is missing"},
        {header + Chunk("MTrk", track.substr(0, 6)), "byte 28: an event runs past the end"},
        {header + Chunk("MTrk", Bytes({0x00, 60, 100})), "a data byte with no status before it"},
        {header + Chunk("MTrk", Bytes({0x00, 0x90, 60, 0x90})), "a status byte where a data"},
        {header + Chunk("MTrk", Bytes({0x80, 0x80, 0x80, 0x80, 0x00})), "longer than four bytes"},
        {header + Chunk("MTrk", Bytes({0x00, 0xFF, 0x51, 2, 1, 2})), "a tempo of 2 bytes"},
        {header + Chunk("MTrk", Bytes({0x00, 0xFF, 0x51, 3, 0, 0, 0})), "a tempo of 0"},
        {header + Chunk("MTrk", Bytes({0x00, 0xF4})), "status byte 244 has no place"},
        {header + Chunk("MTrk", Bytes({0x00, 0xF0, 0x05, 0x7D})), "runs past the end"},
        {MidiHeader(0, 1, 0), "time division 0 is invalid"},
        {MidiHeader(0, 1, 0xE500), "is invalid"},
        {MidiHeader(3, 1, 96), "format 3 is none of"}};
    for (const auto& [bytes, message] : cases) {
        const MrvnCliError error = Failure([&] { ParseMidiFile(bytes, 44100.0, "x.mid"); });
        EXPECT_EQ(error.Status(), kExitFailure) << message;
        EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
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
    WriteFile(path, "old");
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
    EXPECT_EQ(FolderEntries(folder.Path()), std::set<std::string>{"out.aiff"});
}

TEST(OutputFiles, AnInterruptedRenderKeepsTheOldFile) {
    const TempFolder folder;
    WriteSound(folder / "in.wav", TestSignal(1, 5000, 44100.0), 44100.0);
    WriteFile(folder / "out.wav", "precious");
    std::ostringstream out, err;
    const std::atomic<bool> interrupted{true};
    MrvnCliContext context{out, err, &MrvnFluxetEntry};
    context.interrupted = &interrupted;
    EXPECT_EQ(RunFluxet({"render", folder / "in.wav", folder / "out.wav"}, context),
              kExitInterrupted);
    EXPECT_EQ(err.str(), "fluxet: interrupted\n");
    EXPECT_EQ(ReadFile(folder / "out.wav"), "precious");
    EXPECT_EQ(FolderEntries(folder.Path()), (std::set<std::string>{"in.wav", "out.wav"}));
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
