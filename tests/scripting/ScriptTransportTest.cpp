// The host's transport as scripts see it through the real unit: what the functions answer, a
// beat position that does not drift in an hour, and a restart of the modulation that sounds
// like an instance starting at that sample.
#include <bit>
#include <cmath>
#include <functional>
#include <tuple>

#include "ScriptTestSupport.h"

namespace MV::test {
namespace {

using ScriptTransport = ScriptedUnitTest;

OSStatus SendTransport(UnitHost& host, const MrvnTransportEvent& event) {
    return AudioUnitSetProperty(host.Unit(), kMrvnProperty_TransportEvent, kAudioUnitScope_Global,
                                0, &event, sizeof(event));
}

MrvnTransportEvent Playing(UInt32 offset, double bpm = 0.0) {
    MrvnTransportEvent event{};
    event.fields = MrvnTransportEvent::kPosition | MrvnTransportEvent::kSpeed |
                   (bpm > 0.0 ? MrvnTransportEvent::kTempo : 0u);
    event.offsetSampleFrame = offset;
    event.beatsPerMinute = bpm;
    event.speed = 1.0;
    return event;
}

double GlobalNumber(LuaMIDIHelper& helper, const char* name) {
    ScriptLockGuard lock(helper.LuaLock());
    lua_getglobal(helper.LuaState(), name);
    const double value = lua_tonumber(helper.LuaState(), -1);
    lua_pop(helper.LuaState(), 1);
    return value;
}

TEST_F(ScriptTransport, FunctionsAnswerWhatTheHostSaidAndRefuseBadArguments) {
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    // 7/8 at 120 eighths per minute, bar 2 and three beats into it: beat 17.
    MrvnTransportEvent event = Playing(0, 120.0);
    event.fields |= MrvnTransportEvent::kTimeSignature;
    event.beatsPerBar = 7.0;
    event.beatUnit = 8.0;
    event.bar = 2.0;
    event.barBeat = 3.0;
    const std::tuple<const char*, const char*, const char*> answers[] = {
        {"getTempo()", "nil", "120"},
        {"table.concat({getTimeSignature()}, '/')", "", "7/8"},
        {"getBeatPosition()", "nil", "17.02"}, // 441 frames later: 0.02 beat
        {"isPlaying()", "false", "true"},
    };
    for (const auto& [expression, before, after] : answers) {
        EXPECT_EQ(Eval(lua, expression), before) << expression;
    }
    ASSERT_EQ(SendTransport(*host, event), noErr);
    Channels output;
    ASSERT_EQ(host->Render(Channels(1, std::vector<Float32>(441)), 0, 441, output), noErr);
    for (const auto& [expression, before, after] : answers) {
        EXPECT_EQ(Eval(lua, expression), after) << expression;
    }
    const std::pair<const char*, const char*> errors[] = {
        {"requestTempoChange(1)", "first argument to requestTempoChange() is not a function"},
        {"requestBarCallback()", "first argument to requestBarCallback() is not a function"},
        {"resetLFOPhase(0/0)", "phase must be a finite number"},
        {"resetLFOPhase('now')",
         "bad argument #1 to 'resetLFOPhase' (number expected, got string)"},
    };
    for (const auto& [code, message] : errors) {
        EXPECT_EQ(RunLua(lua, code), message) << code;
    }
    EXPECT_EQ(RunLua(lua, "resetLFOPhase(); resetLFOPhase(-2.75)"), "");
}

// A timer callback reads the transport while the render thread changes it: never half of one
// change and half of another.
TEST_F(ScriptTransport, OtherThreadsReadWholeChanges) {
    WriteScript("watch.lua", "reads, torn = 0, 0\n"
                             "requestPeriodicCallback(0.001, function()\n"
                             "    local perBar, unit = getTimeSignature()\n"
                             "    if perBar ~= nil then\n"
                             "        reads = reads + 1\n"
                             "        if perBar * 2 ~= unit + 2 then torn = torn + 1 end\n"
                             "    end\n"
                             "end)\n");
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    const Channels input(1, std::vector<Float32>(64));
    Channels output;
    for (int block = 0; GlobalNumber(lua, "reads") < 200 && block < 1000000; ++block) {
        MrvnTransportEvent event = Playing(UInt32(block % 64), 60.0 + block % 7);
        event.fields |= MrvnTransportEvent::kTimeSignature;
        event.beatsPerBar = block % 2 == 0 ? 3.0 : 6.0; // 3/4 and 6/10
        event.beatUnit = block % 2 == 0 ? 4.0 : 10.0;
        ASSERT_EQ(SendTransport(*host, event), noErr);
        ASSERT_EQ(host->Render(input, 0, 64, output), noErr);
    }
    EXPECT_GE(GlobalNumber(lua, "reads"), 200);
    EXPECT_EQ(GlobalNumber(lua, "torn"), 0);
}

// Frames are counted, not beats added up: after an hour of 48 kHz audio, and a tempo change
// half-way that gives no position, a controller's callback reads the beat its frame says. The
// hour goes through real render calls, bypassed so that they cost only a copy.
TEST_F(ScriptTransport, BeatPositionAfterAnHourIsExactToTheFrame) {
    WriteScript("beat.lua", "requestCC(20, function() heard = getBeatPosition() end)\n");
    constexpr double kRate = 48000.0;
    constexpr UInt32 kBlock = 65536;
    auto host = OpenUnit(1, -1, kRate, kBlock);
    const UInt32 bypass = 1;
    ASSERT_EQ(AudioUnitSetProperty(host->Unit(), kAudioUnitProperty_BypassEffect,
                                   kAudioUnitScope_Global, 0, &bypass, sizeof(bypass)),
              noErr);
    // Tempos whose beat is no whole number of frames, nor a binary fraction of one.
    const UInt64 change = 1800 * 48000 + 777;
    const UInt64 heard = 3600 * 48000 + 1234;
    const double beatAtChange = double(change) * 127.0 / (60.0 * kRate);
    const double expected = beatAtChange + double(heard - change) * 93.0 / (60.0 * kRate);
    ASSERT_EQ(SendTransport(*host, Playing(0, 127.0)), noErr);
    const Channels silence(1, std::vector<Float32>(kBlock));
    Channels output;
    for (UInt64 start = 0; start <= heard; start += kBlock) {
        if (change >= start && change < start + kBlock) {
            MrvnTransportEvent faster{};
            faster.fields = MrvnTransportEvent::kTempo;
            faster.beatsPerMinute = 93.0;
            faster.offsetSampleFrame = UInt32(change - start);
            ASSERT_EQ(SendTransport(*host, faster), noErr);
        }
        if (heard < start + kBlock) {
            MusicDeviceMIDIEvent(host->Unit(), 0xB0, 20, 1, UInt32(heard - start));
        }
        ASSERT_EQ(host->Render(silence, 0, kBlock, output), noErr);
    }
    const double beat = GlobalNumber(Helper(*host), "heard");
    EXPECT_DOUBLE_EQ(beat, expected);
    EXPECT_EQ(std::llround((beat - beatAtChange) * 60.0 * kRate / 93.0), SInt64(heard - change));
}

// After a restart at frame n (here 65536, where the delay line's write index comes round to
// where a fresh instance's starts) the output is an instance's that starts at n with the same
// values, bit for bit, for each way a script hears the moment: a controller, the transport
// starting, a bar line. The input is silent until the end of the render call after n, so that
// both delay lines hold silence and the fresh instance's first crossfade (from its initial
// record) is a crossfade of silence.
TEST_F(ScriptTransport, RestartingTheModulationSoundsLikeAFreshInstance) {
    WriteScript("restart.lua",
                "requestCC(20, function() resetLFOPhase() end)\n"
                "requestTransportChange(function(playing) if playing then resetLFOPhase() end "
                "end)\n"
                "requestBarCallback(function() resetLFOPhase() end)\n");
    constexpr UInt32 kRestart = 65536;
    constexpr UInt32 kBlock = 1000; // the restart lands 536 frames into a render call
    constexpr UInt32 kQuiet = (kRestart / kBlock + 1) * kBlock;
    constexpr UInt32 kEnd = kQuiet + 6000;
    using Settings = std::vector<std::pair<AudioUnitParameterID, Float32>>;
    const Settings sounds[] = {
        {{kParam_SpeedFine, 3.7f}, {kParam_DepthCoarse, 50.0f}, {kParam_Feedback, 30.0f}},
        {{kParam_SpeedFine, 1.3f},
         {kParam_Shape, 3.0f},
         {kParam_SpeedLFODepth, 2.0f},
         {kParam_DepthLFODepth, 1.0f}},
        {{kParam_SpeedFine, 6.0f}, {kParam_Shape, 7.0f}, {kParam_DepthCoarse, 20.0f}},
    };
    // What the host hands on before the render call from `start`. At 44.1 kHz and this tempo a
    // beat is 16384 frames, so the second bar starts at the restart.
    const double barTempo = 4 * 60 * 44100.0 / kRestart;
    const auto inCall = [](UInt32 start) { return kRestart >= start && kRestart < start + kBlock; };
    const std::pair<const char*, std::function<void(UnitHost&, UInt32)>> triggers[] = {
        {"controller",
         [&](UnitHost& host, UInt32 start) {
             if (inCall(start)) {
                 MusicDeviceMIDIEvent(host.Unit(), 0xB0, 20, 1, kRestart - start);
             }
         }},
        {"transport start",
         [&](UnitHost& host, UInt32 start) {
             if (inCall(start)) {
                 SendTransport(host, Playing(kRestart - start));
             }
         }},
        {"bar line",
         [&](UnitHost& host, UInt32 start) {
             if (start == 0) {
                 SendTransport(host, Playing(0, barTempo));
             }
         }},
    };
    Channels signal(2, std::vector<Float32>(kEnd, 0.0f));
    UInt32 seed = 1;
    for (auto& channel : signal) {
        for (UInt32 i = kQuiet; i < kEnd; ++i) {
            seed = seed * 1664525u + 1013904223u;
            channel[i] = Float32(seed >> 8) / Float32(1u << 24) - 0.5f;
        }
    }
    const auto open = [&](const Settings& settings) {
        auto host = OpenUnit(2);
        for (const auto& [id, value] : settings) {
            host->SetParameter(id, value);
        }
        host->SetParameter(kParam_DryLevel, 0.3f);
        host->SetParameter(kParam_Spread, 0.5f);
        return host;
    };
    for (const Settings& settings : sounds) {
        auto fresh = open(settings);
        Channels expected(2);
        Channels block;
        const Channels later{std::vector<Float32>(signal[0].begin() + kRestart, signal[0].end()),
                             std::vector<Float32>(signal[1].begin() + kRestart, signal[1].end())};
        for (UInt32 start = 0; start < kEnd - kRestart;) {
            const UInt32 frames =
                std::min(start == 0 ? kQuiet - kRestart : kBlock, kEnd - kRestart - start);
            ASSERT_EQ(fresh->Render(later, start, frames, block), noErr);
            for (int c = 0; c < 2; ++c) {
                expected[c].insert(expected[c].end(), block[c].begin(), block[c].end());
            }
            start += frames;
        }
        for (const auto& [name, mark] : triggers) {
            SCOPED_TRACE(name);
            auto restarted = open(settings);
            for (UInt32 start = 0; start < kEnd; start += kBlock) {
                mark(*restarted, start);
                ASSERT_EQ(restarted->Render(signal, start, kBlock, block), noErr);
                for (int c = 0; c < 2; ++c) {
                    for (UInt32 i = 0; i < kBlock; ++i) {
                        if (start + i >= kRestart) {
                            ASSERT_EQ(std::bit_cast<UInt32>(block[c][i]),
                                      std::bit_cast<UInt32>(expected[c][start + i - kRestart]))
                                << "channel " << c << ", frame " << start + i;
                        }
                    }
                }
            }
        }
    }
}

} // namespace
} // namespace MV::test
