// The sample loop against a literal one-frame-at-a-time transcription of its formulas,
// bit for bit, in every vector variant the processor runs; ring edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "EngineHarness.h"

namespace {

using Engine = MrvnFluxetEngine;
using Record = Engine::PreComp;
using State = Engine::KernelState;

float RefSine(float f) {
    const float x = std::max(std::min(f - 0.5f, 1.0f - f), -f);
    const float x2 = x * x, x3 = x2 * x, x5 = x3 * x2, x7 = x5 * x2, x9 = x7 * x2;
    return -6.2831855f * x + 41.341679f * x3 - 81.602234f * x5 + 76.574974f * x7 - 39.710674f * x9;
}

float RefFrac(float x) {
    return x - std::floor(x);
}

float RefProcessCore(const float* in, float* out, UInt32 frames, float* delay, UInt32 w,
                     const Record& rec, float dryGain, float wetGain, float sampleRate,
                     float startPhase, SInt32 channelIndex, State& state, const State& common) {
    const float inc = rec.speed / sampleRate;
    const float k = float(channelIndex) * rec.spread;
    float phi = RefFrac(startPhase + k);
    const float c = rec.warpPivot;
    const float lowSlope = c <= 0 ? 0.0f : 0.5f / c;
    const float highSlope = c >= 1 ? 0.0f : 0.5f / (1.0f - c);
    const bool random = !(rec.shape <= 4.0f);
    const float lag = std::exp(-5.2f * rec.speed / sampleRate);
    const float* wt = rec.shapeWeights;
    const float a = rec.sweepAmplitude, b = rec.biasAmount;
    State s = state;
    UInt32 commonSeed = common.seed;
    float p = startPhase;
    for (UInt32 n = 0; n < frames; ++n) {
        const float x = std::isfinite(in[n]) ? in[n] : 0.0f;
        delay[w] = x;
        const float u = phi < c ? phi * lowSlope : phi * highSlope + 1.0f - highSlope;
        float v;
        if (!random) {
            v = wt[0] * RefSine(RefFrac(u + 0.25f)) + wt[1] * (1 - 8 * u + 8 * (u * u)) +
                wt[2] * std::max(1 - 8 * (u * u), 16 * u - 7 - 8 * (u * u)) +
                wt[3] * std::max(16 * u - 7 - 8 * (u * u), 1 - 8 * u + 8 * (u * u)) +
                wt[4] * std::max(4 * u - 3, 1 - 4 * u);
        } else {
            const float q = wt[4] * std::max(4 * u - 3, 1 - 4 * u);
            const float line = s.lineStart + s.lineSlope * p;
            const float curve = s.curveValue + s.curveSlope * p + s.curveBend * (p * p);
            s.lag = line + (s.lag - line) * lag;
            v = q + wt[5] * line + wt[6] * s.lag + wt[7] * curve +
                wt[8] * s.wobbleAmplitude * (RefSine(RefFrac(p + 0.25f)) - 1);
        }
        const float r = float(w) - a + a * v - b * v - b;
        const float fl = std::floor(r);
        const auto i = UInt32(std::int64_t(fl) & 0xFFFF);
        const float f = r - fl;
        const float y = delay[i] * (1 - f) + delay[(i + 1) & 0xFFFF] * f;
        const float back = x + rec.feedbackGain * y;
        delay[w] = std::isfinite(back) ? back : 0.0f;
        out[n] = x * dryGain + y * wetGain;
        phi = RefFrac(phi + inc);
        if (random) {
            p = p + inc;
            if (p >= 1) {
                s.seed = s.seed * 15486277u + 15485867u;
                commonSeed = commonSeed * 49979693u + 15485867u;
                const float ca = float(SInt32(s.seed & 0xFFFFF) - 524288);
                const float cc = float(SInt32(commonSeed & 0xFFFFF) - 524288);
                const float rn = cc * 0x1p-19f + (ca - cc) * 0x1p-19f * k;
                s.lineStart = s.lineStart + s.lineSlope;
                s.lineSlope = rn - s.lineStart;
                const float e = s.curveValue + s.curveSlope + s.curveBend;
                const float g = s.curveSlope + 2 * s.curveBend;
                const float t = e > 0 ? rn - 1 : (e >= -2 ? 2 * rn : rn + 1);
                s.curveValue = e;
                s.curveSlope = g;
                s.curveBend = (t - g) * 0.5f;
                s.wobbleAmplitude = ((rn + 1) * 0.5f) * ((rn + 1) * 0.5f);
                p = p - std::floor(p);
            }
        }
        w = (w + 1) & 0xFFFF;
    }
    state = s;
    return phi;
}

// A record made the way the unit makes it, then adjusted.
Record MakeRecord(float shape, float depth, float speed, float bias, float feedback, float spread) {
    EngineHarness h(0, 44100.0f, 64);
    h.Set({{kParam_Shape, shape}, {kParam_DepthFine, 0}, {kParam_DepthCoarse, depth}})
        .Set({{kParam_SpeedFine, speed}, {kParam_Bias, bias}, {kParam_Feedback, feedback}})
        .Set({{kParam_Spread, spread}});
    h.Engine().DoPrecomps(64, h.params, 44100.0f, State{});
    return h.Engine().CurrentRecord();
}

struct Setting {
    float depth, speed, bias, feedback, spread, pivot;
};

// Chorus, flanger, long delay with feedback, a whole cycle per frame, a bent warp pivot, a
// negative spread; then delays short enough that frames of one vector group read each other's
// slots (down to none at all), and a pitch deviation just beyond 100 per cent ("Square" then
// reads ahead by a little over two slots per frame).
const Setting kSettings[] = {
    {3, 5, 0, 40, 0.5f, 0.5f},        {0.2f, 0.6f, 0.1f, -90, 1, 0.5f},
    {278, 5, 1, 71, 0.3f, 0.5f},      {12, 20, 0.4f, 99, 0.25f, 0.5f},
    {5, 50000, 0.2f, 10, 0.7f, 0.5f}, {8, 3, 0.3f, 50, 0.5f, 0.3f},
    {4, 7, 0.1f, 20, -0.5f, 0.5f},    {1, 5, 0, 0, 0, 0.5f},
    {1, 5, 0, -35, 0, 0.5f},          {0.085f, 0.737f, 0.42f, 94, 0, 0.5f},
    {0.02f, 5, 0, 60, 0, 0.5f},       {0.02f, 5, 0, 0, 0, 0.5f},
    {0.03f, 5, 1, -80, 0, 0.5f},      {0, 5, 0, 0, 0, 0.5f},
    {0, 5, 0, 50, 0, 0.5f},           {103, 40, 0, 0, 0, 0.5f},
    {99, 40, 0, 30, 0, 0.5f},
};

// Noise with signed zeros; in the ring values whose interpolation could overflow, in the input
// NaNs and infinities.
std::vector<float> Signal(std::size_t length, UInt32 seed, bool ring) {
    std::vector<float> v = Noise(length, seed);
    for (std::size_t n = 0; n < length; ++n) {
        const std::size_t m = n % 97;
        if (n % 11 == 3 || n % 13 == 5) {
            v[n] = n % 11 == 3 ? -0.0f : 0.0f;
        } else if (ring ? m == 40 : m == 17 || m == 57) {
            v[n] = ring ? (n % 2 ? -3e38f : 3e38f) : m == 17 ? NAN : -INFINITY;
        }
    }
    return v;
}

class FluxetLoops : public ::testing::Test {
protected:
    // Puts the widest variant back for the tests that follow.
    void TearDown() override {
        if (!Engine::SelectLoopVariant(Engine::LoopVariant::AVX512) &&
            !Engine::SelectLoopVariant(Engine::LoopVariant::AVX2)) {
            Engine::SelectLoopVariant(Engine::LoopVariant::Baseline);
        }
    }

    // Runs the check once with each loop variant this processor has.
    template <class Check> static void ForEachVariant(Check check) {
        for (const auto variant : {Engine::LoopVariant::Baseline, Engine::LoopVariant::AVX2,
                                   Engine::LoopVariant::AVX512}) {
            if (Engine::SelectLoopVariant(variant)) {
                SCOPED_TRACE(int(variant));
                check();
            }
        }
    }
};

class FluxetLoopsVsReference
    : public FluxetLoops,
      public ::testing::WithParamInterface<std::tuple<float, Engine::LoopVariant>> {};

TEST_P(FluxetLoopsVsReference, AgreeBitForBit) {
    const auto [shape, variant] = GetParam();
    if (!Engine::SelectLoopVariant(variant)) {
        GTEST_SKIP() << "variant not available on this processor";
    }
    for (const auto& [depth, speed, bias, feedback, spread, pivot] : kSettings) {
        Record rec = MakeRecord(shape, depth, speed, bias, feedback, spread);
        rec.warpPivot = pivot;
        for (const UInt32 frames : {1u, 7u, 64u, 300u, 1031u}) {
            for (const UInt32 w : {0u, 65530u, 1234u}) {
                SCOPED_TRACE(testing::Message() << "depth " << depth << " feedback " << feedback
                                                << " frames " << frames << " w " << w);
                std::vector<float> ring = Signal(65536, frames * 7 + w, true);
                const std::vector<float> in = Signal(frames, w, false);
                std::vector<float> refRing = ring, out(frames), refOut(frames);
                const State start{0.1f, -0.2f, -0.5f, 0.3f, -0.1f, 0.05f, 0.4f, 12345u};
                State state = start, refState = start;
                const State common{0, 0, 0, 0, 0, 0, 0, 777u};
                const float phase = Engine::ChannelCore::ProcessCore(
                    in.data(), out.data(), frames, ring.data(), w, rec, 0.3f, 0.9f, 44100.0f, 0.37f,
                    1, state, common);
                const float refPhase =
                    RefProcessCore(in.data(), refOut.data(), frames, refRing.data(), w, rec, 0.3f,
                                   0.9f, 44100.0f, 0.37f, 1, refState, common);
                ASSERT_EQ(std::memcmp(out.data(), refOut.data(), frames * 4), 0);
                ASSERT_EQ(std::memcmp(ring.data(), refRing.data(), ring.size() * 4), 0);
                ASSERT_EQ(std::memcmp(&state, &refState, sizeof state), 0);
                ASSERT_EQ(phase, refPhase);
            }
        }
    }
}

// Shapes below 0 and above 8 (a script may set them) give shape values beyond [-1, 1]:
// read positions after the frame's own slot, in its group, its chunk or beyond.
INSTANTIATE_TEST_SUITE_P(
    Shapes, FluxetLoopsVsReference,
    ::testing::Combine(::testing::Values(-2.0f, -0.5f, 0.0f, 0.3f, 1.0f, 1.5f, 2.0f, 2.6f, 3.0f,
                                         3.5f, 4.0f, 4.2f, 5.0f, 5.7f, 6.4f, 7.0f, 7.5f, 8.0f,
                                         9.5f),
                       ::testing::Values(Engine::LoopVariant::Baseline, Engine::LoopVariant::AVX2,
                                         Engine::LoopVariant::AVX512)));

TEST_F(FluxetLoops, ReadJustBelowSlotZeroWrapsToTheTopOfTheRing) {
    Record rec{};
    rec.warpPivot = 0.5f;
    rec.sweepAmplitude = 10.25f; // weights all zero: v = 0, a fixed delay of A
    std::vector<float> ring(65536, 0.0f);
    ring[65535] = 4.0f;
    ring[0] = 8.0f;
    const float in = 0.0f;
    float out = -1.0f;
    State state{};
    Engine::ChannelCore::ProcessCore(&in, &out, 1, ring.data(), 10, rec, 0.0f, 1.0f, 48000.0f, 0, 0,
                                     state, state);
    // Position 10 - 10.25 = -0.25: slot 65535 with weight 0.25, slot 0 with 0.75.
    EXPECT_EQ(out, 4.0f * 0.25f + 8.0f * 0.75f);
}

// A read position ahead of the write slot (a bias beyond the amplitude, as a script may set)
// reads what the ring held before the pass: the slot is overwritten only later, by the
// frame it belongs to.
TEST_F(FluxetLoops, ReadsAheadSeeTheRingAsItWasBeforeThePass) {
    ForEachVariant([] {
        for (const float feedback : {0.0f, 0.5f}) {
            for (const UInt32 ahead : {1u, 5u, 17u, 200u, 255u, 300u}) {
                for (const UInt32 w : {100u, 65500u}) {
                    SCOPED_TRACE(testing::Message() << "ahead " << ahead << " w " << w);
                    Record rec{};
                    rec.warpPivot = 0.5f;
                    rec.biasAmount = -float(ahead); // weights all 0: r = w - 0 - B
                    rec.feedbackGain = feedback;
                    std::vector<float> ring = Noise(65536, 5), in = Noise(1031, 6), out(1031);
                    const std::vector<float> before = ring;
                    State state{};
                    Engine::ChannelCore::ProcessCore(in.data(), out.data(), 1031, ring.data(), w,
                                                     rec, 0.0f, 1.0f, 48000.0f, 0, 0, state, state);
                    for (UInt32 n = 0; n < 1031; ++n) {
                        ASSERT_EQ(out[n], before[(w + n + ahead) & 65535]) << n;
                        ASSERT_EQ(ring[(w + n) & 65535], in[n] + feedback * out[n]) << n;
                    }
                }
            }
        }
    });
}

// With no delay a frame reads its own slot, which holds its input, and the next one with
// weight 0, whose sign still counts: -0 + 0 * (the next slot) is +0 when that slot held a
// positive value before the pass, whatever the next frame will write there.
TEST_F(FluxetLoops, ZeroDelayReadsTheNextSlotAsItWasBeforeThePass) {
    ForEachVariant([] {
        Record rec{};
        rec.warpPivot = 0.5f;
        std::vector<float> ring(65536, 1.0f), in(100, -1.0f), out(100);
        in[40] = -0.0f;
        State state{};
        Engine::ChannelCore::ProcessCore(in.data(), out.data(), 100, ring.data(), 7, rec, 1.0f,
                                         1.0f, 48000.0f, 0, 0, state, state);
        EXPECT_FALSE(std::signbit(out[40]));
        EXPECT_EQ(out[40], 0.0f);
        EXPECT_EQ(out[39], -2.0f);
    });
}

bool AllFinite(const std::vector<float>& v) {
    return std::all_of(v.begin(), v.end(), [](float x) { return std::isfinite(x); });
}

TEST_F(FluxetLoops, NonFiniteInputAndRunawayFeedbackStayOutOfTheRing) {
    ForEachVariant([] {
        Record rec = MakeRecord(0.5f, 3, 5, 0.2f, 150, 0);
        std::vector<float> ring(65536, 0.0f), out(4096);
        State state{};
        float phase = 0;
        for (int block = 0; block < 400; ++block) {
            std::vector<float> in = Noise(4096, UInt32(block));
            in[block % 4096] = NAN;
            in[(block * 7) % 4096] = INFINITY;
            in[(block * 13) % 4096] = -INFINITY;
            phase = Engine::ChannelCore::ProcessCore(in.data(), out.data(), 4096, ring.data(),
                                                     UInt32(block) * 4096, rec, 1.0f, 1.0f,
                                                     44100.0f, phase, 0, state, state);
            ASSERT_TRUE(AllFinite(out)) << block;
        }
        EXPECT_TRUE(AllFinite(ring));
    });
}

TEST_F(FluxetLoops, ExtremeShapeAndDepthStayDefined) {
    // Values a script may store: positions far beyond any integer range. The sanitizer build
    // turns any out-of-range float-to-integer conversion into a failure.
    for (const float shape : {1e30f, -1e30f, 3e38f, 4.5f, 9.0f}) {
        for (const float depth : {1e30f, -1e30f, 400.0f}) {
            Record rec = MakeRecord(shape, depth, 5, 0.5f, 50, 1);
            rec.biasAmount = 1e30f * (shape > 0 ? 1.0f : -1.0f);
            std::vector<float> ring(65536, 0.5f), in(777, 0.25f), out(777);
            State state{};
            const float phase =
                Engine::ChannelCore::ProcessCore(in.data(), out.data(), 777, ring.data(), 5, rec,
                                                 1.0f, 1.0f, 44100.0f, 0.5f, 1, state, state);
            EXPECT_GE(phase, 0.0f);
            EXPECT_LE(phase, 1.0f);
            EXPECT_TRUE(AllFinite(ring));
        }
    }
}

} // namespace
