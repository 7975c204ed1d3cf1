// The engine as the effect unit drives it, what the parameters mean for the sound; presets, value
// names, parameter information and the OSC port rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>

#include "EngineHarness.h"

namespace {

using Engine = MrvnFluxetEngine;

class FluxetSimpleDelay : public ::testing::TestWithParam<Float32> {};

TEST_P(FluxetSimpleDelay, RepeatsAFixedDelayWithDecayingEchoes) {
    const Float32 sampleRate = GetParam();
    EngineHarness h(1, sampleRate, 65536);
    CompleteFactoryPresets();
    std::copy_n(astPresets[10].values, kNumParameters, h.params); // "Simple Delay"
    h.RenderSignal(std::vector<Float32>(4096, 0.0f)); // the fade-in from the empty record
    // Depth 278 + 1 per cent at 5 Hz, bias 1: a fixed delay 2A = 2 * 0.0025 * 279 / 5 s.
    const double delay = 2.0 * 0.0025 * 279.0 / 5.0 * sampleRate;
    std::vector<Float32> in(std::size_t(3.5 * delay), 0.0f);
    in[0] = 1.0f;
    const std::vector<Float32> out = h.RenderSignal(in)[0];
    EXPECT_EQ(out[0], 1.0f); // dry level 1, nothing delayed yet
    double previous = 1.0;
    for (int echo = 1; echo <= 3; ++echo) {
        const auto centre = std::size_t(echo * delay);
        double sum = 0, moment = 0;
        for (std::size_t n = centre - 3; n <= centre + 3; ++n) {
            sum += out[n];
            moment += double(n) * out[n];
        }
        EXPECT_NEAR(moment / sum, echo * delay, 0.02) << echo;
        // Interpolation weights come from positions near 2^13..2^15, good to about 2^-10.
        EXPECT_NEAR(sum / previous, echo == 1 ? 1.0 : 0.71, 3e-3) << echo;
        previous = sum;
    }
    for (std::size_t n = 1; n < out.size(); ++n) { // silence between the echoes
        if (std::fabs(double(n) - std::round(double(n) / delay) * delay) > 3) {
            ASSERT_LT(std::fabs(out[n]), 1e-6) << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(SampleRates, FluxetSimpleDelay, ::testing::Values(44100.0f, 48000.0f));

TEST(FluxetEngine, NegativeTotalDepthPassesTheInputThrough) {
    const Float32 sampleRate = 48000.0f;
    EngineHarness h(1, sampleRate, 512);
    // Depth 1 per cent plus 5 * S(phase); the first call moves the depth LFO to phase 0.75,
    // where S = -1 and the depth is -4.
    h.Set({{kParam_DepthLFODepth, 5.0f}, {kParam_DepthLFOSpeed, 0.75f * sampleRate / 480.0f}});
    h.RenderSignal(Noise(480, 1));
    EXPECT_EQ(h.Engine().CurrentRecord().sweepAmplitude, 0.0f);
    // Second call: a whole LFO cycle, the same record, so no crossfade: the input itself.
    h.params[kParam_DepthLFOSpeed] = sampleRate / 480.0f;
    const auto in = Noise(480, 2);
    const auto out = h.RenderSignal(in);
    EXPECT_FALSE(h.Engine().RecordChanged());
    EXPECT_TRUE(SameBits(out[0], in));
}

TEST(FluxetEngine, ShapeFourStaysDeterministicAndAboveTakesTheRandomPath) {
    for (const Float32 shape : {4.0f, 4.001f}) {
        EngineHarness h(1, 44100.0f, 4096);
        h.Set({{kParam_Shape, shape}});
        for (UInt32 block = 0; block < 5; ++block) { // two LFO cycles at 5 Hz
            h.RenderSignal(Noise(4096, block));
        }
        const Engine::KernelState& s = h.Core(0).State();
        const Engine::PreComp& rec = h.Engine().CurrentRecord();
        if (shape == 4.0f) {
            EXPECT_EQ(rec.shapeWeights[4], 1.0f);
            EXPECT_EQ(s.seed, 0u);
            EXPECT_EQ(s.wobbleAmplitude, 0.0f);
        } else {
            EXPECT_NEAR(rec.shapeWeights[4], 0.999f, 1e-6);
            EXPECT_NEAR(rec.shapeWeights[5], 0.001f, 1e-6);
            EXPECT_NE(s.seed, 0u);
            EXPECT_NE(s.lineSlope, 0.0f);
        }
    }
}

// With a ramp as input and only the effect path, the output is the ramp read at the delayed
// position, so the input minus the output is each channel's delay in frames.
TEST(FluxetEngine, SpreadOffsetsTheSecondChannelsPhase) {
    for (const Float32 spread : {0.5f, 0.25f, 1.0f}) {
        EngineHarness h(2, 44100.0f, 512);
        h.Set({{kParam_DepthFine, 10.0f}, {kParam_Spread, spread}});
        std::vector<double> d0, d1;
        for (UInt32 at = 0; at < 24576; at += 512) {
            std::vector<Float32> ramp(512);
            std::iota(ramp.begin(), ramp.end(), Float32(at));
            const auto out = h.RenderSignal(ramp);
            for (UInt32 n = 0; n < 512 && at >= 1024; ++n) {
                d0.push_back(double(ramp[n]) - out[0][n]);
                d1.push_back(double(ramp[n]) - out[1][n]);
            }
        }
        const double a = h.Engine().CurrentRecord().sweepAmplitude;
        EXPECT_NEAR(a, 0.0025 * 10 * 44100 / 5, 1e-3);
        const auto [lo, hi] = std::minmax_element(d0.begin(), d0.end());
        EXPECT_NEAR(*hi - *lo, 2 * a, 0.1); // the sine sweeps the delay from 0 to 2A
        for (std::size_t n = 0; n < d0.size(); ++n) {
            // Half a cycle apart; a quarter (cosine and sine); in step again.
            const double off = spread == 0.5f    ? d0[n] + d1[n] - 2 * a
                               : spread == 0.25f ? std::hypot(d0[n] - a, d1[n] - a) - a
                                                 : d0[n] - d1[n];
            ASSERT_NEAR(off, 0.0, 0.02) << spread << " frame " << n;
        }
    }
}

struct SplitCase {
    Float32 shape;
    std::vector<UInt32> splits;
};

class FluxetSpreadZero : public ::testing::TestWithParam<SplitCase> {};

// With "Spread" 0 every channel sweeps its delay exactly as a mono instance does: through
// crossfades, single passes, sub-blocks, random updates, a shape change, and a ring reset of
// one channel (whose write index then differs from the others').
TEST_P(FluxetSpreadZero, ChannelsSoundLikeMonoInstances) {
    EngineHarness multi(3, 44100.0f, 1024), m0(1, 44100.0f, 1024), m1(1, 44100.0f, 1024),
        m2(1, 44100.0f, 1024);
    EngineHarness* mono[] = {&m0, &m1, &m2};
    for (UInt32 call = 0; call < 6; ++call) { // calls 3 and 5 keep the record: one pass
        // Several cycles per call (random updates); in call 1 a new record per sub-block.
        for (EngineHarness* h : {&multi, &m0, &m1, &m2}) {
            h->Set({{kParam_Shape, GetParam().shape + (call >= 4 ? 1.0f : 0.0f)},
                    {kParam_DepthCoarse, 5.0f},
                    {kParam_SpeedCoarse, 40.0f},
                    {kParam_Feedback, call < 2 ? 50.0f : -20.0f},
                    {kParam_DepthLFODepth, call == 1 ? 1.0f : 0.0f}});
        }
        // Random updates follow channel 0's numbers, so a lone reset only before they begin.
        if (call == 2 && GetParam().shape <= 4.0f) {
            multi.Core(1).Reset();
            m1.Core(0).Reset();
        }
        EngineHarness::Buffers in, out, alone;
        for (UInt32 c = 0; c < 3; ++c) {
            in.push_back(Noise(1000, 3 * call + c));
        }
        multi.Render(in, out, GetParam().splits);
        for (std::size_t c = 0; c < 3; ++c) {
            mono[c]->Render({in[c]}, alone, GetParam().splits);
            ASSERT_TRUE(SameBits(out[c], alone[0])) << "call " << call << " ch " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ShapesAndSplits, FluxetSpreadZero,
                         ::testing::Values(SplitCase{0.5f, {}}, SplitCase{2.3f, {100, 37, 1, 200}},
                                           SplitCase{4.0f, {512}},
                                           SplitCase{6.5f, {100, 37, 1, 200}},
                                           SplitCase{8.0f, {7, 300, 64}},
                                           SplitCase{5.0f, {1, 1, 1, 1}}));

TEST(FluxetEngine, SplitCallSoundsLikeAnUnsplitOneWhenNothingChanges) {
    EngineHarness whole(2, 44100.0f, 1024), split(2, 44100.0f, 1024);
    for (EngineHarness* h : {&whole, &split}) {
        h->Set({{kParam_Shape, 1.5f}, {kParam_DepthCoarse, 4.0f}, {kParam_Spread, 0.5f}})
            .Set({{kParam_Feedback, 60.0f}})
            .RenderSignal(Noise(700, 9)); // the fade-in from the empty record
    }
    for (UInt32 call = 0; call < 3; ++call) {
        std::vector<Float32> in(1000);
        for (std::size_t n = 0; n < in.size(); ++n) {
            in[n] = std::sin(0.01f * Float32(n + call * 1000));
        }
        const auto a = whole.RenderSignal(in);
        const auto b = split.RenderSignal(in, {100, 1, 250, 64});
        EXPECT_TRUE(SameBits(a[0], b[0])) << "call " << call;
        for (std::size_t n = 0; n < in.size(); ++n) {
            // Its phase is re-derived from channel 0's at each sub-block: rounding apart.
            ASSERT_NEAR(a[1][n], b[1][n], 1e-3) << n;
        }
    }
    EXPECT_EQ(whole.Engine().SharedLFOPhase(), split.Engine().SharedLFOPhase());
    EXPECT_TRUE(SameBits(whole.Ring(0), split.Ring(0)));
}

// A render call with an unchanged record is one pass of the sample loop per channel. With
// "Spread" 1 the second channel's phase differs from the first's by rounding only: it must
// still not be given the first channel's read positions.
TEST(FluxetEngine, ChannelKeepsItsOwnReadPositions) {
    EngineHarness h(2, 44100.0f, 512);
    h.Set({{kParam_Spread, 1.0f}, {kParam_DepthCoarse, 4.0f}, {kParam_SpeedFine, 3.3f}})
        .RenderSignal(Noise(512, 1));
    h.RenderSignal(Noise(300, 2)); // the record settles
    for (UInt32 call = 0; call < 6; ++call) {
        const auto in = Noise(512, 3 + call);
        std::vector<Float32> ring = h.Ring(1);
        const auto expected = h.Pass(1, h.Engine().CurrentRecord(), in, ring, h.Core(1).State());
        const auto out = h.RenderSignal(in);
        ASSERT_FALSE(h.Engine().RecordChanged());
        ASSERT_TRUE(SameBits(out[1], expected)) << "call " << call;
    }
}

struct Change {
    Float32 speedFine, bias;          // before and after
    Float32 biasAfter, feedbackAfter; // the depth moves too
};

class FluxetCrossfade : public ::testing::TestWithParam<Change> {};

TEST_P(FluxetCrossfade, RunsFromThePreviousToTheCurrentRecord) {
    const UInt32 frames = 300;
    EngineHarness h(1, 44100.0f, frames);
    h.Set({{kParam_SpeedFine, GetParam().speedFine}, {kParam_Bias, GetParam().bias}})
        .Set({{kParam_DepthCoarse, 3.0f}, {kParam_Feedback, 30.0f}})
        .RenderSignal(Noise(frames, 4));
    h.RenderSignal(Noise(frames, 5)); // settled: previous record == current
    // The two passes, each from the ring as it stands now.
    const auto in = Noise(frames, 6);
    std::vector<Float32> ringP = h.Ring(0), ringC = ringP;
    const auto outP = h.Pass(0, h.Engine().CurrentRecord(), in, ringP, {});
    h.Set({{kParam_DepthCoarse, 7.0f}, {kParam_Bias, GetParam().biasAfter}})
        .Set({{kParam_Feedback, GetParam().feedbackAfter}});
    Engine scratch;
    scratch.DoPrecomps(frames, h.params, 44100.0f, {});
    const auto outC = h.Pass(0, scratch.CurrentRecord(), in, ringC, {});
    const UInt32 w = h.Core(0).WriteIndex();
    const auto out = h.RenderSignal(in);
    ASSERT_TRUE(h.Engine().RecordChanged());
    for (UInt32 j = 0; j < frames; ++j) {
        const Float32 t = Float32(j) * (1.0f / frames);
        ASSERT_EQ(out[0][j], outC[j] * t + outP[j] * (1.0f - t)) << j;
        const UInt32 slot = (w + j) & 65535;
        ASSERT_EQ(h.Core(0).DelayLine()[slot], ringC[slot] * t + ringP[slot] * (1.0f - t)) << j;
    }
}

// A chorus; and the LFO standing still with bias 1, where the delay is the whole ring and
// the current pass reads the slots that the previous pass has just written.
INSTANTIATE_TEST_SUITE_P(Settings, FluxetCrossfade,
                         ::testing::Values(Change{5.0f, 0.0f, 0.05f, 30.0f},
                                           Change{0.5f, 1.0f, 1.0f, -50.0f}));

// Speeds up to a rounding threshold above their minimum stand the LFO still; the delay then
// sweeps the whole ring.
TEST(FluxetEngine, PrecomputationFollowsTheSpeedControls) {
    EngineHarness h(1, 44100.0f);
    auto speed = [&](Float32 fine, Float32 coarse, Float32 superfine, Float32 lfoDepth) {
        h.Set({{kParam_SpeedFine, fine}, {kParam_SpeedCoarse, coarse}})
            .Set({{kParam_SpeedSuperfine, superfine}, {kParam_SpeedLFODepth, lfoDepth}});
        h.Engine().DoPrecomps(441, h.params, 44100.0f, {});
        return h.Engine().CurrentRecord().speed;
    };
    EXPECT_EQ(speed(0.5005f, 10.01f, 0.001001f, 0.0f), 0.0f);
    EXPECT_EQ(h.Engine().CurrentRecord().sweepAmplitude, 32767.5f);
    EXPECT_NEAR(speed(0.51f, 10.02f, 0.002f, 0.0f), 10.532f, 1e-5);
    // The speed LFO sweeps 0 to 4 Hz; 441 frames at 0.2 Hz is 0.002 cycle. Values no control
    // can give count as the defaults.
    h.Set({{kParam_Shape, NAN}, {kParam_DepthFine, INFINITY}});
    EXPECT_NEAR(speed(0.51f, 10.02f, 0.002f, 2.0f), 10.532 + 2 * (std::sin(2 * M_PI * 0.002) + 1),
                1e-4);
    EXPECT_NEAR(h.Engine().SpeedLFOPhase(), 0.002f, 1e-7);
    EXPECT_EQ(h.Engine().CurrentRecord().shape, 0.0f);
    EXPECT_TRUE(std::isfinite(h.Engine().CurrentRecord().sweepAmplitude));
}

// A render call crossfades when its record differs from the previous call's. Unchanged
// parameters give an unchanged record only while both sweep LFOs are off.
TEST(FluxetEngine, RecordChangeIsJudgedAgainstThePreviousRenderCall) {
    EngineHarness h(1, 44100.0f, 256);
    h.Set({{kParam_DryLevel, 0.5f}, {kParam_DepthCoarse, 30.0f}});
    const auto in = Noise(256, 1);
    // The first call fades in from the empty record, which delays by nothing.
    EXPECT_EQ(h.RenderSignal(in)[0][0], in[0] * 0.125f + in[0] * 1.0f);
    EXPECT_TRUE(h.Engine().RecordChanged());
    h.RenderSignal(Noise(256, 2), {100});
    EXPECT_FALSE(h.Engine().RecordChanged());
    // Both sub-blocks crossfade from the last call.
    h.Set({{kParam_Feedback, 10.0f}}).RenderSignal(Noise(256, 3), {100});
    EXPECT_TRUE(h.Engine().RecordChanged());
    EXPECT_FLOAT_EQ(h.Engine().PreviousRecord().feedbackGain, 0.1f);
    for (const AudioUnitParameterID lfo : {kParam_DepthLFODepth, kParam_SpeedLFODepth}) {
        h.Set({{kParam_DepthLFODepth, 0.0f}, {kParam_SpeedLFODepth, 0.0f}})
            .RenderSignal(Noise(256, 4));
        const Engine::PreComp still = h.Engine().CurrentRecord();
        h.RenderSignal(Noise(256, 5));
        EXPECT_FALSE(h.Engine().RecordChanged());
        EXPECT_EQ(std::memcmp(&still, &h.Engine().CurrentRecord(), sizeof still), 0);
        h.params[lfo] = 2.0f;
        for (int call = 0; call < 3; ++call) {
            const Float32 amplitude = h.Engine().CurrentRecord().sweepAmplitude;
            h.RenderSignal(Noise(256, 6));
            EXPECT_TRUE(h.Engine().RecordChanged()) << lfo << " " << call;
            EXPECT_NE(h.Engine().CurrentRecord().sweepAmplitude, amplitude) << lfo << " " << call;
        }
    }
}

TEST(FluxetEngine, ResetsAndANonFiniteLevel) {
    EngineHarness h(2, 44100.0f, 256);
    h.Set({{kParam_Shape, 7.0f}, {kParam_SpeedCoarse, 400.0f}}).RenderSignal(Noise(256, 1));
    ASSERT_NE(h.Engine().SharedLFOPhase(), 0.0f);
    const Engine::PreComp record = h.Engine().CurrentRecord();
    h.Engine().ResetEngine();
    EXPECT_EQ(h.Engine().SharedLFOPhase(), 0.0f);
    EXPECT_EQ(std::memcmp(&record, &h.Engine().CurrentRecord(), sizeof record), 0);
    ASSERT_NE(h.Core(1).State().seed, 0u);
    h.Core(1).Reset();
    EXPECT_EQ(h.Core(1).WriteIndex(), 0u);
    EXPECT_EQ(h.Core(1).State().seed, 0u);
    EXPECT_TRUE(SameBits(h.Ring(1), std::vector<Float32>(65536, 0.0f)));
    h.params[kParam_DryLevel] = NAN;
    const auto out = h.RenderSignal(Noise(256, 2))[0];
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](Float32 v) { return std::isfinite(v); }));
}

// Finite but absurd values, as a script, an OSC client or a saved state may store them, one
// parameter at a time and together, over a stereo signal below 1 in magnitude: the output stays
// finite and the delay lines hold no more than the input can build up in a loop of gain 1 (a
// frame's worth per frame). Back at the defaults (dry 0, effect 1, no feedback), everything is
// the input again within the ring's length.
TEST(FluxetEngine, AbsurdValuesKeepTheOutputFiniteAndPassWithinTheRingsLength) {
    using Values = std::vector<std::pair<AudioUnitParameterID, Float32>>;
    std::vector<Values> cases = {
        {{kParam_DryLevel, 1e13f}, {kParam_EffectLevel, -1e13f}},
        {{kParam_SpeedCoarse, 1e38f}, {kParam_SpeedFine, 1e38f}, {kParam_SpeedLFODepth, 1e38f}},
        {{kParam_Feedback, -1e21f}, {kParam_DepthCoarse, 30.0f}},
        {{kParam_Feedback, 1e21f}, {kParam_Bias, 1.0f}, {kParam_SpeedFine, 0.5f}},
        {{kParam_Bias, 1e38f}, {kParam_DepthCoarse, 3e38f}, {kParam_DepthFine, 3e38f}},
        {{kParam_Shape, 7.5f}, {kParam_Spread, 1e30f}, {kParam_Feedback, 90.0f}},
        {{kParam_Shape, 1e30f}, {kParam_Spread, -3e38f}, {kParam_SpeedCoarse, 3e38f}},
        {{kParam_SpeedLFOSpeed, 3e38f},
         {kParam_SpeedLFODepth, 5.0f},
         {kParam_DepthLFOSpeed, -3e38f},
         {kParam_DepthLFODepth, 3e38f}}};
    for (UInt32 id = 0; id < kParam_OSCPortOffset; ++id) {
        for (const Float32 value : {3e38f, -3e38f, 1e13f}) {
            cases.push_back({{id, value}});
        }
    }
    const auto peak = [](const std::vector<Float32>& v) {
        Float32 peak = 0.0f;
        for (const Float32 x : v) {
            peak = std::isfinite(x) ? std::max(peak, std::fabs(x)) : INFINITY;
        }
        return peak;
    };
    constexpr UInt32 kBlock = 4096;
    for (const Values& values : cases) {
        SCOPED_TRACE(testing::PrintToString(values));
        EngineHarness h(2, 48000.0f, kBlock);
        h.Set({{kParam_Feedback, 50.0f}, {kParam_DepthCoarse, 100.0f}})
            .RenderSignal(Noise(kBlock, 1));
        for (const auto& [id, value] : values) {
            h.params[id] = value;
        }
        EngineHarness::Buffers out;
        for (UInt32 block = 1; block <= 4; ++block) {
            h.Render({Noise(kBlock, 2 + block), Noise(kBlock, 9 + block)}, out);
            for (int c = 0; c < 2; ++c) {
                ASSERT_TRUE(std::isfinite(peak(out[c]))) << "block " << block << " ch " << c;
                ASSERT_LE(peak(h.Ring(c)), Float32((block + 1) * kBlock)) << "block " << block;
            }
        }
        for (UInt32 p = 0; p < kNumParameters; ++p) {
            h.params[p] = astParamInfos[p].defaultValue;
        }
        for (UInt32 block = 0; block * kBlock < 65536 + 2 * kBlock; ++block) {
            h.Render({Noise(kBlock, 20 + block), Noise(kBlock, 40 + block)}, out);
        }
        for (int c = 0; c < 2; ++c) {
            EXPECT_LE(peak(out[c]), 1.0f) << "ch " << c;
            EXPECT_LE(peak(h.Ring(c)), 1.0f) << "ch " << c;
        }
    }
}

TEST(FluxetParameters, PresetCompletionFillsTheDefaultsOnceAndKeepsListedValues) {
    // "Defaults" lists no values of its own: before the first completion they are unset.
    EXPECT_EQ(astPresets[0].numValues, 0);
    CompleteFactoryPresets();
    MrvnFactoryPreset once[kNumFactoryPresets];
    std::memcpy(once, astPresets, sizeof once);
    CompleteFactoryPresets();
    EXPECT_EQ(std::memcmp(once, astPresets, sizeof once), 0);
    for (UInt32 p = 0; p < kNumParameters; ++p) {
        EXPECT_EQ(astPresets[0].values[p], astParamInfos[p].defaultValue) << p;
    }
    EXPECT_EQ(astPresets[10].values[kParam_DepthCoarse], 278.0f); // "Simple Delay"
    EXPECT_EQ(astPresets[13].values[kParam_Feedback], -93.0f);
}

// Fields the table does not set keep what the caller had; refusals change nothing.
TEST(FluxetParameters, ParameterInformation) {
    AudioUnitParameterInfo info;
    std::memset(&info, 0xAB, sizeof info);
    const char* const presetUnitName = "kept";
    info.unitName = presetUnitName;
    info.clumpID = 77;
    ASSERT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, kParam_SpeedFine, info), noErr);
    EXPECT_STREQ(info.name, "Speed (fine)");
    EXPECT_STREQ(info.cfNameString, "Speed (fine)");
    EXPECT_EQ(info.maxValue, 20.0f);
    EXPECT_EQ(info.flags, 0xC8200001u); // writable, readable, name string, values named, global
    EXPECT_EQ(info.unitName, presetUnitName);
    EXPECT_EQ(info.clumpID, 77u);
    ASSERT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, kParam_Bias, info), noErr);
    EXPECT_EQ(info.flags, 0xC8000001u);
    const AudioUnitParameterInfo before = info;
    EXPECT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, 16, info), -10878);
    EXPECT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Input, kParam_Bias, info), -10878);
    EXPECT_EQ(std::memcmp(&before, &info, sizeof info), 0);
}

TEST(FluxetParameters, ValueNamesFollowTheRoundingRules) {
    struct Case {
        AudioUnitParameterID id;
        Float32 value;
        const char* text; // null: no name
        OSStatus status;
    };
    const Case cases[] = {
        {kParam_Shape, 2.004f, "Saw Down", 0},    {kParam_Shape, 2.006f, nullptr, 0},
        {kParam_Shape, 2.5f, nullptr, 0},         {kParam_Shape, 8.0f, "Wobble", 0},
        {kParam_Shape, -0.003f, "Sine", 0},       {kParam_Shape, -0.006f, nullptr, 0},
        {kParam_Shape, 8.005f, nullptr, 0},       {kParam_Shape, 1e30f, nullptr, 0},
        {kParam_Shape, NAN, nullptr, 0},          {kParam_Shape, 3.999f, "Square", 0},
        {kParam_SpeedFine, 0.5f, "0", 0},         {kParam_SpeedFine, 0.51f, nullptr, 0},
        {kParam_OSCPortOffset, 0.0f, "Off", 0},   {kParam_OSCPortOffset, 0.5f, nullptr, 0},
        {kParam_Bias, 0.0f, "untouched", -10878}, {16, 0.0f, "untouched", -10878},
    };
    for (const Case& c : cases) {
        const char* text = "untouched";
        ASSERT_EQ(GetFluxetValueName(c.id, c.value, &text), c.status) << c.id << " " << c.value;
        EXPECT_STREQ(text, c.text) << c.id << " " << c.value;
    }
}

TEST(FluxetParameters, OSCPortRule) {
    EXPECT_EQ(g_OSCBasePort.load(), 7000);
    EXPECT_EQ(OSCPortForOffset(3.0f), std::optional<SInt32>(7003));
    EXPECT_EQ(OSCPortForOffset(3.9f, 8000), std::optional<SInt32>(8003));
    EXPECT_EQ(OSCPortForOffset(-2.7f, 8000), std::optional<SInt32>(7998));
    EXPECT_EQ(OSCPortForOffset(0.0f, 8000), std::nullopt);
    EXPECT_EQ(OSCPortForOffset(0.5f, 8000), std::nullopt);
    EXPECT_EQ(OSCPortForOffset(-0.9f, 8000), std::nullopt);
    EXPECT_EQ(TruncatedOSCPortOffset(5.99f), 5);
    EXPECT_EQ(TruncatedOSCPortOffset(NAN), 0);
    EXPECT_EQ(TruncatedOSCPortOffset(1e30f), INT32_MAX);
    EXPECT_EQ(TruncatedOSCPortOffset(-1e30f), INT32_MIN);
}

} // namespace
