// The host's transport as scripts see it through the real unit: what the functions answer, on
// any thread, a beat position that does not drift in an hour, and a restart of the modulation
// that sounds like an instance starting at that sample.
#include <bit>
#include <cmath>

#include "ScriptTestSupport.h"

namespace MV::test {
namespace {

using ScriptTransport = ScriptedUnitTest;

// Playing from bar 2 (without `moved`, from where the transport stands).
OSStatus SendTransport(UnitHost& host, UInt32 offset, double bpm, double perBar = 4.0,
                       bool moved = true) {
    MrvnTransportEvent event{};
    event.fields = MrvnTransportEvent::kTempo | MrvnTransportEvent::kSpeed |
                   MrvnTransportEvent::kTimeSignature |
                   (moved ? UInt32(MrvnTransportEvent::kPosition) : 0u);
    event.offsetSampleFrame = offset;
    event.beatsPerMinute = bpm;
    event.beatsPerBar = perBar;
    event.beatUnit = perBar + 1.0; // 3/4, 4/5, 6/7: a torn read shows
    event.bar = 2.0;
    event.speed = 1.0;
    return AudioUnitSetProperty(host.Unit(), kMrvnProperty_TransportEvent, kAudioUnitScope_Global,
                                0, &event, sizeof(event));
}

double GlobalNumber(LuaMIDIHelper& helper, const char* name) {
    ScriptLockGuard lock(helper.LuaLock());
    lua_getglobal(helper.LuaState(), name);
    const double value = lua_tonumber(helper.LuaState(), -1);
    lua_pop(helper.LuaState(), 1);
    return value;
}

// A timer callback reads the transport while the render thread changes it: never half of one
// change and half of another.
TEST_F(ScriptTransport, FunctionsAnswerWhatTheHostSaidOnEveryThread) {
    WriteScript("watch.lua", "reads, torn = 0, 0\n"
                             "requestPeriodicCallback(0.001, function()\n"
                             "    local perBar, unit = getTimeSignature()\n"
                             "    if perBar then reads = reads + 1 end\n"
                             "    if perBar and unit ~= perBar + 1 then torn = torn + 1 end\n"
                             "end)\n");
    auto host = OpenUnit();
    LuaMIDIHelper& lua = Helper(*host);
    const char* expression = "table.concat({tostring(getTempo()), tostring(isPlaying()), "
                             "tostring(getBeatPosition()), getTimeSignature()}, ' ')";
    EXPECT_EQ(Eval(lua, expression), "nil false nil");
    const Channels input(1, std::vector<Float32>(441));
    Channels output;
    ASSERT_EQ(SendTransport(*host, 0, 120.0, 3.0), noErr);
    ASSERT_EQ(host->Render(input, 0, 441, output), noErr);
    EXPECT_EQ(Eval(lua, expression), "120 true 6.02 3 4"); // bar 2 of 3/4, 441 frames on
    for (int block = 0; GlobalNumber(lua, "reads") < 200 && block < 1000000; ++block) {
        ASSERT_EQ(SendTransport(*host, UInt32(block % 64), 60.0 + block % 7, 3 + block % 4), noErr);
        ASSERT_EQ(host->Render(input, 0, 64, output), noErr);
    }
    EXPECT_GE(GlobalNumber(lua, "reads"), 200);
    EXPECT_EQ(GlobalNumber(lua, "torn"), 0);
    EXPECT_EQ(RunLua(lua, "resetLFOPhase(0/0)"), "phase must be a finite number");
}

// Frames are counted, not beats added up: after an hour of 48 kHz audio, and a tempo change
// half-way that says nothing of the position, a controller's callback reads the beat its frame
// says. The hour goes through real
// render calls, bypassed so that they cost only a copy.
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
    const double atChange = 8.0 + double(change) * 127.0 / (60.0 * kRate); // from bar 2 on
    const Channels silence(1, std::vector<Float32>(kBlock));
    Channels output;
    for (UInt64 start = 0; start <= heard; start += kBlock) {
        if (start == 0 || (change >= start && change < start + kBlock)) {
            ASSERT_EQ(SendTransport(*host, UInt32(start == 0 ? 0 : change - start),
                                    start == 0 ? 127.0 : 93.0, 4.0, start == 0),
                      noErr);
        }
        if (heard < start + kBlock) {
            MusicDeviceMIDIEvent(host->Unit(), 0xB0, 20, 1, UInt32(heard - start));
        }
        ASSERT_EQ(host->Render(silence, 0, kBlock, output), noErr);
    }
    const double beat = GlobalNumber(Helper(*host), "heard");
    EXPECT_DOUBLE_EQ(beat, atChange + double(heard - change) * 93.0 / (60.0 * kRate));
    EXPECT_EQ(std::llround((beat - atChange) * 60.0 * kRate / 93.0), SInt64(heard - change));
}

// After a restart at frame n = 65536 (where the delay line's write index comes round to where
// a fresh instance's starts) the output is that of an instance starting at n with the same
// values, bit for bit, whether a controller or a bar line marks n. The input is silent until
// the end of the render call after n, so both delay lines hold silence and the fresh instance's
// first crossfade (from its initial record) is one of silence.
TEST_F(ScriptTransport, RestartingTheModulationSoundsLikeAFreshInstance) {
    WriteScript("restart.lua", "requestCC(20, function() resetLFOPhase() end)\n"
                               "requestBarCallback(function() resetLFOPhase() end)\n");
    constexpr UInt32 kRestart = 65536, kBlock = 1000; // 536 frames into a render call
    constexpr UInt32 kQuiet = (kRestart / kBlock + 1) * kBlock, kEnd = kQuiet + 6000;
    // At 44.1 kHz and this tempo a beat is 16384 frames: the second bar starts at n.
    const double barTempo = 4 * 60 * 44100.0 / kRestart;
    // A random shape (its state starts afresh too) swept in speed and depth.
    const std::pair<AudioUnitParameterID, Float32> settings[] = {
        {kParam_SpeedFine, 6.0f},     {kParam_Shape, 7.0f},         {kParam_DepthCoarse, 20.0f},
        {kParam_SpeedLFODepth, 2.0f}, {kParam_DepthLFODepth, 1.0f}, {kParam_Feedback, 30.0f},
        {kParam_DryLevel, 0.3f},      {kParam_Spread, 0.5f}};
    Channels signal(2, std::vector<Float32>(kEnd, 0.0f));
    for (UInt32 i = kQuiet, seed = 1; i < kEnd; ++i) {
        for (auto& channel : signal) {
            seed = seed * 1664525u + 1013904223u;
            channel[i] = Float32(seed >> 8) / Float32(1u << 24) - 0.5f;
        }
    }
    const auto render = [&](bool fresh, bool bars) {
        auto host = OpenUnit(2);
        for (const auto& [id, value] : settings) {
            host->SetParameter(id, value);
        }
        Channels result(2);
        Channels block;
        for (UInt32 start = fresh ? kRestart : 0; start < kEnd;) {
            const UInt32 length = fresh && start == kRestart ? kQuiet - kRestart : kBlock;
            if (!fresh && bars && start == 0) {
                SendTransport(*host, 0, barTempo);
            } else if (!fresh && !bars && start <= kRestart && kRestart < start + length) {
                MusicDeviceMIDIEvent(host->Unit(), 0xB0, 20, 1, kRestart - start);
            }
            EXPECT_EQ(host->Render(signal, start, length, block), noErr);
            for (int c = 0; c < 2; ++c) {
                result[c].insert(result[c].end(), block[c].begin(), block[c].end());
            }
            start += length;
        }
        if (!fresh) {
            for (auto& channel : result) {
                channel.erase(channel.begin(), channel.begin() + kRestart);
            }
        }
        return result;
    };
    const Channels expected = render(true, false);
    for (const bool bars : {false, true}) {
        const Channels restarted = render(false, bars);
        for (int c = 0; c < 2; ++c) {
            for (std::size_t i = 0; i < expected[c].size(); ++i) {
                ASSERT_EQ(std::bit_cast<UInt32>(restarted[c][i]),
                          std::bit_cast<UInt32>(expected[c][i]))
                    << (bars ? "bar line" : "controller") << ", channel " << c << ", frame "
                    << kRestart + i;
            }
        }
    }
}

} // namespace
} // namespace MV::test
