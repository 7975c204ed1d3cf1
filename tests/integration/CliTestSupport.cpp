#include "CliTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <smf.h>
#include <sndfile.hh>
#include <sys/wait.h>
#include <unistd.h>

#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "MrvnFluxet.h"
#include "UnitHost.h"

#ifndef FLUXET_PROGRAM
#error "FLUXET_PROGRAM must name the built fluxet program"
#endif

namespace MrvnCliTest {

namespace {

// Keeps every test away from the user's preferences and scripts: the program and the
// in-process units read the same empty folders.
const TempFolder g_root;
[[maybe_unused]] const bool g_hermetic = [] {
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR", "FLUXET_SYSTEM_DATA_DIR"}) {
        std::filesystem::create_directories(g_root / name);
        setenv(name, (g_root / name).c_str(), 1);
    }
    return true;
}();

} // namespace

Channels TestSignal(UInt32 channels, UInt32 frames, double sampleRate) {
    Channels signal(channels, std::vector<Float32>(frames));
    UInt32 seed = 7;
    for (UInt32 c = 0; c < channels; ++c) {
        const double frequency = 220.0 * (c + 1) + 3.0;
        for (UInt32 i = 0; i < frames; ++i) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = double(seed >> 8) / double(1u << 24) - 0.5;
            signal[c][i] =
                Float32(0.4 * std::sin(2.0 * M_PI * frequency * i / sampleRate) + 0.1 * noise);
        }
    }
    return signal;
}

void WriteSound(const std::string& path, const Channels& channels, double sampleRate, int format) {
    SndfileHandle file(path, SFM_WRITE, format, int(channels.size()), int(sampleRate));
    std::vector<Float32> interleaved;
    for (std::size_t i = 0; i < channels[0].size(); ++i) {
        for (const auto& channel : channels) {
            interleaved.push_back(channel[i]);
        }
    }
    if (!file || file.writef(interleaved.data(), sf_count_t(channels[0].size())) < 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

Sound ReadSound(const std::string& path) {
    SndfileHandle file(path);
    if (!file) {
        throw std::runtime_error("cannot read " + path);
    }
    std::vector<Float32> interleaved(std::size_t(file.frames() * file.channels()));
    const auto frames = std::size_t(file.readf(interleaved.data(), file.frames()));
    Sound sound{Channels(std::size_t(file.channels()), std::vector<Float32>(frames)),
                double(file.samplerate()), file.format()};
    for (std::size_t i = 0; i < frames * sound.channels.size(); ++i) {
        sound.channels[i % sound.channels.size()][i / sound.channels.size()] = interleaved[i];
    }
    return sound;
}

ProgramResult RunFluxetProgram(const std::vector<std::string>& args) {
    const TempFolder capture;
    std::string command = "'" FLUXET_PROGRAM "'";
    for (const std::string& arg : args) {
        command += " '" + std::regex_replace(arg, std::regex("'"), "'\\''") + "'";
    }
    const int status = std::system(
        (command + " </dev/null >" + capture / "out" + " 2>" + capture / "err").c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status),
            ReadFile(capture / "out"), ReadFile(capture / "err")};
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

double SecondsAtPulse(int pulse) {
    return pulse <= 960 ? pulse * 0.5 / 960 : 0.5 + (pulse - 960) * 1.0 / 960;
}

void WriteMidiFile(const std::string& path, const std::vector<TimedBytes>& events) {
    const std::unique_ptr<smf_t, void (*)(smf_t*)> smf(smf_new(), smf_delete);
    if (smf_set_ppqn(smf.get(), 960) != 0) {
        throw std::runtime_error("libsmf refuses the division");
    }
    smf_track_t* track = smf_track_new();
    smf_add_track(smf.get(), track);
    UInt8 tempo[] = {0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40}; // 1,000,000 µs per quarter note
    smf_track_add_event_pulses(track, smf_event_new_from_pointer(tempo, sizeof(tempo)), 960);
    for (const TimedBytes& event : events) {
        std::vector<UInt8> bytes = event.bytes;
        smf_track_add_event_pulses(
            track, smf_event_new_from_pointer(bytes.data(), int(bytes.size())), int(event.when));
    }
    if (smf_save(smf.get(), path.c_str()) != 0) {
        throw std::runtime_error("cannot write " + path);
    }
}

Channels ReferenceRender(const Channels& input, double sampleRate, const ReferenceSetup& setup) {
    const auto check = [](OSStatus status) {
        if (status != noErr) {
            throw std::runtime_error("reference render failed: " + std::to_string(status));
        }
    };
    MV::test::UnitHost host(kFluxetComponentDescription, &MrvnFluxetEntry);
    const auto channels = UInt32(input.size());
    check(host.Configure(sampleRate, channels, setup.blockSize));
    if (setup.preset) {
        const AUPreset preset{*setup.preset, nullptr};
        check(AudioUnitSetProperty(host.Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &preset, sizeof(preset)));
    }
    for (const auto& [id, value] : setup.settings) {
        const AudioUnitParameter parameter{host.Unit(), id, kAudioUnitScope_Global, 0};
        AUParameterSet(nullptr, nullptr, &parameter, value, 0);
    }
    check(host.Initialize());
    Channels padded = input;
    for (auto& channel : padded) {
        channel.resize(channel.size() + setup.tailFrames, 0.0f);
    }
    const UInt64 total = padded[0].size();
    Channels result(channels);
    Channels block;
    std::size_t next = 0;
    for (UInt64 start = 0; start < total; start += setup.blockSize) {
        const auto frames = UInt32(std::min<UInt64>(setup.blockSize, total - start));
        const bool last = start + frames == total;
        for (; next < setup.midi.size() && (last || UInt64(setup.midi[next].when) < start + frames);
             ++next) {
            const TimedBytes& message = setup.midi[next];
            if (message.bytes[0] == 0xF0) {
                MusicDeviceSysEx(host.Unit(), message.bytes.data(), UInt32(message.bytes.size()));
                continue;
            }
            const UInt64 at = std::min<UInt64>(message.when, start + frames - 1);
            MusicDeviceMIDIEvent(host.Unit(), message.bytes[0], message.bytes[1],
                                 message.bytes.size() > 2 ? message.bytes[2] : 0,
                                 UInt32(at - start));
        }
        check(host.Render(padded, UInt32(start), frames, block));
        for (UInt32 c = 0; c < channels; ++c) {
            result[c].insert(result[c].end(), block[c].begin(), block[c].end());
        }
    }
    return result;
}

double UnitTailTime() {
    MV::test::UnitHost host(kFluxetComponentDescription, &MrvnFluxetEntry);
    Float64 seconds = 0.0;
    UInt32 size = sizeof(seconds);
    AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_TailTime, kAudioUnitScope_Global, 0,
                         &seconds, &size);
    return seconds;
}

::testing::AssertionResult SameBits(const Channels& expected, const Channels& actual) {
    for (std::size_t c = 0; c < std::max(expected.size(), actual.size()); ++c) {
        if (c >= expected.size() || c >= actual.size() || expected[c].size() != actual[c].size()) {
            return ::testing::AssertionFailure() << "channel " << c << " missing or not as long";
        }
        for (std::size_t i = 0; i < expected[c].size(); ++i) {
            if (std::memcmp(&expected[c][i], &actual[c][i], sizeof(Float32)) != 0) {
                return ::testing::AssertionFailure()
                       << "channel " << c << ", frame " << i << ": expected " << expected[c][i]
                       << ", found " << actual[c][i];
            }
        }
    }
    return ::testing::AssertionSuccess();
}

} // namespace MrvnCliTest
