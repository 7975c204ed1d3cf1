// The engine as the effect unit drives it: precomputation, channels, crossfades, the
// shared LFO phase, and what the parameters mean for the sound.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <numeric>
#include <vector>

#include "EngineHarness.h"

namespace {

using Engine = MrvnFluxetEngine;

std::vector<Float32> Noise(std::size_t frames, UInt32 seed) {
    std::vector<Float32> v(frames);
    for (Float32& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = float(SInt32(seed >> 8) - (1 << 23)) * 0x1p-23f;
    }
    return v;
}

bool SameBits(const std::vector<Float32>& a, const std::vector<Float32>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

void Defaults(Float32 (&p)[kNumParameters]) {
    for (UInt32 i = 0; i < kNumParameters; ++i) {
        p[i] = astParamInfos[i].defaultValue;
    }
}

class FluxetSimpleDelay : public ::testing::TestWithParam<Float32> {};

TEST_P(FluxetSimpleDelay, RepeatsAFixedDelayWithDecayingEchoes) {
    const Float32 sampleRate = GetParam();
    EngineHarness h(1, sampleRate, 65536);
    h.ApplyPreset(10); // "Simple Delay"
    // The first render call fades in from the empty record; let it pass on silence.
    h.RenderSignal(std::vector<Float32>(4096, 0.0f));

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
        SCOPED_TRACE(echo);
        EXPECT_NEAR(moment / sum, echo * delay, 0.02);
        // Interpolation weights come from positions near 2^13..2^15, good to about 2^-10.
        EXPECT_NEAR(sum / previous, echo == 1 ? 1.0 : 0.71, 3e-3);
        previous = sum;
    }
    double elsewhere = 0;
    for (std::size_t n = 1; n < out.size(); ++n) {
        const double k = std::round(double(n) / delay);
        if (std::fabs(double(n) - k * delay) > 3) {
            elsewhere = std::max(elsewhere, double(std::fabs(out[n])));
        }
    }
    EXPECT_LT(elsewhere, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(SampleRates, FluxetSimpleDelay, ::testing::Values(44100.0f, 48000.0f));

TEST(FluxetEngine, NegativeTotalDepthPassesTheInputThrough) {
    const Float32 sampleRate = 48000.0f;
    EngineHarness h(1, sampleRate, 512);
    h.params[kParam_DepthLFODepth] = 5.0f; // depth 1 per cent plus 5 * S(phase)
    // First call: the depth LFO moves to phase 0.75, where S = -1 and the depth is -4.
    h.params[kParam_DepthLFOSpeed] = 0.75f * sampleRate / 480.0f;
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
        h.params[kParam_Shape] = shape;
        for (int block = 0; block < 5; ++block) { // two LFO cycles at 5 Hz
            h.RenderSignal(Noise(4096, UInt32(block)));
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

// With a ramp as input and only the effect path, the output is the ramp read at the
// delayed position, so the input minus the output is each channel's delay in frames.
std::vector<std::vector<double>> DelaysOfStereo(Float32 spread, Float32& amplitude) {
    EngineHarness h(2, 44100.0f, 512);
    h.params[kParam_DepthFine] = 10.0f;
    h.params[kParam_Spread] = spread;
    std::vector<std::vector<double>> delays(2);
    for (UInt32 at = 0; at < 24576; at += 512) {
        std::vector<Float32> ramp(512);
        std::iota(ramp.begin(), ramp.end(), Float32(at));
        const auto out = h.RenderSignal(ramp);
        for (int c = 0; c < 2 && at >= 1024; ++c) {
            for (UInt32 n = 0; n < 512; ++n) {
                delays[c].push_back(double(ramp[n]) - out[c][n]);
            }
        }
    }
    amplitude = h.Engine().CurrentRecord().sweepAmplitude;
    return delays;
}

TEST(FluxetEngine, SpreadOffsetsTheSecondChannelsPhase) {
    Float32 a = 0;
    auto d = DelaysOfStereo(0.5f, a);
    EXPECT_NEAR(a, 0.0025f * 10 * 44100 / 5, 1e-3);
    const auto [lo, hi] = std::minmax_element(d[0].begin(), d[0].end());
    EXPECT_NEAR(*hi - *lo, 2 * a, 0.1); // the sine sweeps the delay from 0 to 2A
    for (std::size_t n = 0; n < d[0].size(); ++n) {
        ASSERT_NEAR(d[0][n] + d[1][n], 2 * a, 0.02) << n; // half a cycle apart
    }
    d = DelaysOfStereo(0.25f, a);
    for (std::size_t n = 0; n < d[0].size(); ++n) { // a quarter cycle: cosine and sine
        ASSERT_NEAR(std::hypot(d[0][n] - a, d[1][n] - a), a, 0.02) << n;
    }
    d = DelaysOfStereo(1.0f, a);
    for (std::size_t n = 0; n < d[0].size(); ++n) {
        ASSERT_NEAR(d[0][n], d[1][n], 0.02) << n; // in step again
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
        for (EngineHarness* h : {&multi, &m0, &m1, &m2}) {
            h->params[kParam_Shape] = GetParam().shape + (call >= 4 ? 1.0f : 0.0f);
            h->params[kParam_DepthCoarse] = 5.0f;
            h->params[kParam_SpeedCoarse] = 40.0f; // several cycles per call: random updates
            h->params[kParam_Feedback] = call < 2 ? 50.0f : -20.0f;
            h->params[kParam_DepthLFODepth] = call == 1 ? 1.0f : 0.0f; // a new record per sub-block
        }
        // Random updates follow channel 0's numbers, so a lone reset only before they begin.
        if (call == 2 && GetParam().shape <= 4.0f) {
            multi.Core(1).Reset();
            m1.Core(0).Reset();
        }
        const EngineHarness::Buffers in = {Noise(1000, 3 * call), Noise(1000, 3 * call + 1),
                                           Noise(1000, 3 * call + 2)};
        EngineHarness::Buffers out, alone;
        multi.Render(in, out, GetParam().splits);
        for (int c = 0; c < 3; ++c) {
            mono[c]->Render({in[std::size_t(c)]}, alone, GetParam().splits);
            ASSERT_TRUE(SameBits(out[std::size_t(c)], alone[0])) << "call " << call << " ch " << c;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ShapesAndSplits, FluxetSpreadZero,
                         ::testing::Values(SplitCase{0.5f, {}}, SplitCase{0.5f, {64, 64, 64, 64}},
                                           SplitCase{2.3f, {100, 37, 1, 200}},
                                           SplitCase{4.0f, {512}}, SplitCase{6.5f, {}},
                                           SplitCase{6.5f, {100, 37, 1, 200}},
                                           SplitCase{8.0f, {7, 300, 64}},
                                           SplitCase{5.0f, {1, 1, 1, 1}}));

TEST(FluxetEngine, SplitCallSoundsLikeAnUnsplitOneWhenNothingChanges) {
    EngineHarness whole(2, 44100.0f, 1024), split(2, 44100.0f, 1024);
    for (EngineHarness* h : {&whole, &split}) {
        h->params[kParam_Shape] = 1.5f;
        h->params[kParam_DepthCoarse] = 4.0f;
        h->params[kParam_Spread] = 0.5f;
        h->params[kParam_Feedback] = 60.0f;
        h->RenderSignal(Noise(700, 9)); // the fade-in from the empty record
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
    EXPECT_EQ(std::memcmp(whole.Core(0).DelayLine(), split.Core(0).DelayLine(), 65536 * 4), 0);
}

// A render call with an unchanged record is one pass of the sample loop per channel. With
// "Spread" 1 the second channel's phase differs from the first's by rounding only: it must
// still not be given the first channel's read positions.
TEST(FluxetEngine, ChannelKeepsItsOwnReadPositions) {
    EngineHarness h(2, 44100.0f, 512);
    h.params[kParam_Spread] = 1.0f;
    h.params[kParam_DepthCoarse] = 4.0f;
    h.params[kParam_SpeedFine] = 3.3f;
    h.RenderSignal(Noise(512, 1));
    h.RenderSignal(Noise(300, 2)); // the record settles
    for (UInt32 call = 0; call < 6; ++call) {
        const auto in = Noise(512, 3 + call);
        std::vector<Float32> ring(h.Core(1).DelayLine(), h.Core(1).DelayLine() + 65536);
        std::vector<Float32> expected(in.size());
        Engine::KernelState state = h.Core(1).State();
        Engine::ChannelCore::ProcessCore(in.data(), expected.data(), UInt32(in.size()), ring.data(),
                                         h.Core(1).WriteIndex(), h.Engine().CurrentRecord(), 0, 1,
                                         44100.0f, h.Engine().SharedLFOPhase(), 1, state, state);
        const auto out = h.RenderSignal(in);
        ASSERT_FALSE(h.Engine().RecordChanged());
        ASSERT_TRUE(SameBits(out[1], expected)) << "call " << call;
    }
}

TEST(FluxetEngine, FirstCallAfterInitialisationFadesInFromThePlainInput) {
    EngineHarness h(1, 44100.0f, 512);
    h.params[kParam_DryLevel] = 0.5f;
    h.params[kParam_DepthCoarse] = 30.0f;
    const auto in = Noise(512, 3);
    const auto out = h.RenderSignal(in);
    // The empty record delays by nothing: dry plus effect of the current input.
    EXPECT_EQ(out[0][0], in[0] * 0.125f + in[0] * 1.0f);
    EXPECT_TRUE(h.Engine().RecordChanged());
}

struct Change {
    Float32 speedFine, bias;          // before and after
    Float32 biasAfter, feedbackAfter; // the depth moves too
};

class FluxetCrossfade : public ::testing::TestWithParam<Change> {};

TEST_P(FluxetCrossfade, RunsFromThePreviousToTheCurrentRecord) {
    const UInt32 frames = 300;
    EngineHarness h(1, 44100.0f, frames);
    h.params[kParam_SpeedFine] = GetParam().speedFine;
    h.params[kParam_Bias] = GetParam().bias;
    h.params[kParam_DepthCoarse] = 3.0f;
    h.params[kParam_Feedback] = 30.0f;
    h.RenderSignal(Noise(frames, 4));
    h.RenderSignal(Noise(frames, 5)); // settled: previous record == current
    const Engine::PreComp previous = h.Engine().CurrentRecord();

    // The two passes, each from the ring as it stands now.
    std::vector<Float32> ringP(h.Core(0).DelayLine(), h.Core(0).DelayLine() + 65536);
    std::vector<Float32> ringC = ringP, outP(frames), outC(frames);
    const UInt32 w = h.Core(0).WriteIndex();
    const Float32 phase = h.Engine().SharedLFOPhase();
    const auto in = Noise(frames, 6);
    h.params[kParam_DepthCoarse] = 7.0f;
    h.params[kParam_Bias] = GetParam().biasAfter;
    h.params[kParam_Feedback] = GetParam().feedbackAfter;
    Engine scratch;
    scratch.DoPrecomps(frames, h.params, 44100.0f, {});
    Engine::KernelState s{};
    Engine::ChannelCore::ProcessCore(in.data(), outP.data(), frames, ringP.data(), w, previous, 0,
                                     1, 44100.0f, phase, 0, s, s);
    Engine::ChannelCore::ProcessCore(in.data(), outC.data(), frames, ringC.data(), w,
                                     scratch.CurrentRecord(), 0, 1, 44100.0f, phase, 0, s, s);

    const auto out = h.RenderSignal(in);
    ASSERT_TRUE(h.Engine().RecordChanged());
    EXPECT_EQ(out[0][0], outP[0]); // the first frame is all previous record
    const Float32 step = 1.0f / frames;
    for (UInt32 j = 0; j < frames; ++j) {
        const Float32 t = Float32(j) * step;
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

TEST(FluxetEngine, PrecomputationFollowsTheSpeedAndDepthControls) {
    const Float32 sr = 44100.0f;
    Engine e;
    Float32 p[kNumParameters];
    Defaults(p);
    e.DoPrecomps(441, p, sr, {});
    EXPECT_EQ(e.CurrentRecord().speed, 5.0f); // only "Speed (fine)" is above its minimum
    EXPECT_NEAR(e.LiveValues().swingMs.load(), 2000.0 * 0.0025 / 5, 1e-6);
    EXPECT_EQ(e.LiveValues().speedHz.load(), 5.0f);

    p[kParam_SpeedFine] = 0.5f; // every speed at its minimum: the LFO stands still
    e.DoPrecomps(441, p, sr, {});
    EXPECT_EQ(e.CurrentRecord().speed, 0.0f);
    EXPECT_EQ(e.CurrentRecord().sweepAmplitude, 32767.5f);

    p[kParam_SpeedFine] = 0.5005f; // at the thresholds: still nothing
    p[kParam_SpeedCoarse] = 10.01f;
    p[kParam_SpeedSuperfine] = 0.001001f;
    e.DoPrecomps(441, p, sr, {});
    EXPECT_EQ(e.CurrentRecord().speed, 0.0f);

    p[kParam_SpeedFine] = 0.51f;
    p[kParam_SpeedCoarse] = 10.02f;
    p[kParam_SpeedSuperfine] = 0.002f;
    e.DoPrecomps(441, p, sr, {});
    EXPECT_NEAR(e.CurrentRecord().speed, 10.532f, 1e-5);

    p[kParam_SpeedLFODepth] = 2.0f; // sweeps 0 to 4 Hz; 441 frames at 0.2 Hz is 0.002 cycle
    e.DoPrecomps(441, p, sr, {});
    EXPECT_NEAR(e.SpeedLFOPhase(), 0.002f, 1e-7);
    EXPECT_NEAR(e.CurrentRecord().speed, 10.532 + 2 * (std::sin(2 * M_PI * 0.002) + 1), 1e-4);

    p[kParam_Shape] = NAN; // a value no control can give counts as the default
    p[kParam_DepthFine] = INFINITY;
    e.DoPrecomps(441, p, sr, {});
    EXPECT_EQ(e.CurrentRecord().shape, 0.0f);
    EXPECT_TRUE(std::isfinite(e.CurrentRecord().sweepAmplitude));
}

TEST(FluxetEngine, RecordChangeIsJudgedAgainstThePreviousRenderCall) {
    EngineHarness h(1, 44100.0f, 256);
    h.RenderSignal(Noise(256, 1));
    h.RenderSignal(Noise(256, 2), {100});
    EXPECT_FALSE(h.Engine().RecordChanged());
    h.params[kParam_Feedback] = 10.0f;
    h.RenderSignal(Noise(256, 3), {100}); // both sub-blocks crossfade from the last call
    EXPECT_TRUE(h.Engine().RecordChanged());
    EXPECT_FLOAT_EQ(h.Engine().PreviousRecord().feedbackGain, 0.1f);
}

// Unchanged parameters give an unchanged record only while both sweep LFOs are off: with one
// on, every precomputation moves its phase and so the amplitude or the speed.
TEST(FluxetEngine, SweepLFOsMoveTheRecordWithUnchangedParameters) {
    for (const AudioUnitParameterID lfo : {kParam_DepthLFODepth, kParam_SpeedLFODepth}) {
        Engine e;
        Float32 p[kNumParameters];
        Defaults(p);
        e.DoPrecomps(256, p, 44100.0f, {});
        const Engine::PreComp still = e.CurrentRecord();
        e.EndRenderCall();
        e.DoPrecomps(256, p, 44100.0f, {});
        EXPECT_FALSE(e.RecordChanged());
        EXPECT_EQ(std::memcmp(&still, &e.CurrentRecord(), sizeof still), 0);

        p[lfo] = 2.0f;
        float amplitude = e.CurrentRecord().sweepAmplitude;
        for (int call = 0; call < 3; ++call) {
            e.EndRenderCall();
            e.DoPrecomps(256, p, 44100.0f, {});
            EXPECT_TRUE(e.RecordChanged()) << call;
            EXPECT_NE(e.CurrentRecord().sweepAmplitude, amplitude) << call;
            amplitude = e.CurrentRecord().sweepAmplitude;
        }
    }
}

TEST(FluxetEngine, ResetsAndLimits) {
    EngineHarness h(2, 44100.0f, 256);
    h.params[kParam_Shape] = 7.0f;
    h.params[kParam_SpeedCoarse] = 400.0f;
    h.RenderSignal(Noise(256, 1));
    ASSERT_NE(h.Engine().SharedLFOPhase(), 0.0f);
    const Engine::PreComp record = h.Engine().CurrentRecord();
    h.Engine().ResetEngine();
    EXPECT_EQ(h.Engine().SharedLFOPhase(), 0.0f);
    EXPECT_EQ(std::memcmp(&record, &h.Engine().CurrentRecord(), sizeof record), 0);

    ASSERT_NE(h.Core(1).State().seed, 0u);
    h.Core(1).Reset();
    EXPECT_EQ(h.Core(1).WriteIndex(), 0u);
    EXPECT_EQ(h.Core(1).State().seed, 0u);
    const Float32* ring = h.Core(1).DelayLine();
    EXPECT_TRUE(std::all_of(ring, ring + 65536, [](Float32 v) { return v == 0.0f; }));

    std::vector<Float32> in(257), out(257);
    EXPECT_EQ(h.Core(0).Process(in.data(), out.data(), 257, 0, 1), -10874);
    EXPECT_EQ(Engine::ChannelCore::CheckChannelCount(2), -10868);
    EXPECT_EQ(Engine::ChannelCore::CheckChannelCount(1), noErr);

    h.params[kParam_DryLevel] = NAN;
    const auto rendered = h.RenderSignal(Noise(256, 2))[0];
    EXPECT_TRUE(
        std::all_of(rendered.begin(), rendered.end(), [](Float32 v) { return std::isfinite(v); }));
}

} // namespace
