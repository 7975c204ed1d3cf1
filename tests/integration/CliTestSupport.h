// Helpers for the command-line program's tests: generated sound and MIDI files, running the
// real program, and the reference render of the same unit driven in-process.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sndfile.h>

#include "AUTypes.h"
#include "TestFolders.h"

namespace MrvnCliTest {

using Channels = std::vector<std::vector<Float32>>;

using MV::test::FolderEntries;
using MV::test::ReadFile;
using MV::test::TempFolder;
using MV::test::WriteFile;

// Sines of a different pitch per channel over a little noise: every sample differs.
Channels TestSignal(UInt32 channels, UInt32 frames, double sampleRate);
void WriteSound(const std::string& path, const Channels& channels, double sampleRate,
                int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT);
struct Sound {
    Channels channels;
    double sampleRate = 0.0;
    int format = 0;
};
Sound ReadSound(const std::string& path);
std::vector<std::string> Lines(const std::string& text);

struct ProgramResult {
    int status = -1;
    std::string out;
    std::string err;
};
// Runs the built `fluxet` program with args, its input empty, and waits for it.
ProgramResult RunFluxetProgram(const std::vector<std::string>& args);

// Raw MIDI bytes (a channel message or F0 ... F7) at a pulse of a MIDI file or at a frame.
struct TimedBytes {
    SInt64 when;
    std::vector<UInt8> bytes;
};
// A MIDI file of one track at 960 pulses per quarter note: 120 beats per minute up to pulse
// 960, then 60.
double SecondsAtPulse(int pulse);
void WriteMidiFile(const std::string& path, const std::vector<TimedBytes>& events);

// How the reference render sets up its unit, in the program's order.
struct ReferenceSetup {
    std::optional<SInt32> preset;
    std::vector<std::pair<AudioUnitParameterID, Float32>> settings;
    UInt32 blockSize = 512;
    UInt64 tailFrames = 0; // of silence appended to the input
    // Delivered before the render call whose frames contain them, at their offset in it;
    // those beyond the end on the last frame.
    std::vector<TimedBytes> midi;
};
// The unit driven directly through the host API, as the program should drive it.
Channels ReferenceRender(const Channels& input, double sampleRate, const ReferenceSetup& setup);
// The effect's tail time as the unit reports it.
double UnitTailTime();

// Compares two signals bit for bit; the first difference is the message.
::testing::AssertionResult SameBits(const Channels& expected, const Channels& actual);

} // namespace MrvnCliTest
