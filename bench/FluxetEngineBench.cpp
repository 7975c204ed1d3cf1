// Cost of the delay kernel per frame: a stereo instance rendered block by block the way
// the effect unit drives it (one precomputation per block, then the channels in order).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

#include "FluxetEngine.h"
#include "FluxetParameters.h"

namespace {

constexpr int kChannels = 2;

// Steady, Random and Crossfade: a deeper chorus with feedback at 44.1 kHz. The others are
// factory presets at 48 kHz, the rate of the LV2 comparison: "Defaults" sweeps the delay
// over only about 48 samples, often less than a vector group; "Tight Flange" reads about 12
// to 28 samples back with strong feedback; "Flangey" has feedback and a depth LFO, so it
// crossfades in every block.
enum class Scenario { Steady, Random, Crossfade, Defaults, TightFlange, Flangey };

void SetDefaults(Float32 (&params)[kNumParameters]) {
    for (UInt32 i = 0; i < kNumParameters; ++i) {
        params[i] = astParamInfos[i].defaultValue;
    }
}

void RenderStereo(benchmark::State& bench, Scenario scenario) {
    const auto frames = static_cast<UInt32>(bench.range(0));
    const auto variant = static_cast<MrvnFluxetEngine::LoopVariant>(bench.range(1));
    if (!MrvnFluxetEngine::SelectLoopVariant(variant)) {
        bench.SkipWithError("loop variant not available on this processor");
        return;
    }
    MrvnFluxetEngine engine;
    engine.InitializeEngine(frames);
    std::vector<std::unique_ptr<MrvnFluxetEngine::ChannelCore>> cores;
    for (int c = 0; c < kChannels; ++c) {
        cores.push_back(std::make_unique<MrvnFluxetEngine::ChannelCore>(engine, c));
    }
    Float32 params[kNumParameters];
    SetDefaults(params);
    params[kParam_DryLevel] = 0.5f;
    params[kParam_DepthCoarse] = 3.0f;
    params[kParam_Feedback] = 40.0f;
    params[kParam_Spread] = 0.5f;
    Float32 sampleRate = 44100.0f;
    const auto usePreset = [&](int number) {
        CompleteFactoryPresets();
        for (UInt32 i = 0; i < kNumParameters; ++i) {
            params[i] = astPresets[number].values[i];
        }
        sampleRate = 48000.0f;
    };
    switch (scenario) {
    case Scenario::Steady:
        params[kParam_Shape] = 0.5f; // a blend of two shapes: the dearer steady case
        break;
    case Scenario::Random:
        params[kParam_Shape] = 6.5f;
        break;
    case Scenario::Crossfade:
        params[kParam_Shape] = 0.5f;
        params[kParam_DepthLFODepth] = 1.0f;
        break;
    case Scenario::Defaults:
        usePreset(0);
        break;
    case Scenario::TightFlange:
        usePreset(16);
        break;
    case Scenario::Flangey:
        usePreset(9);
        break;
    }

    std::vector<Float32> input(frames);
    std::vector<Float32> output(frames);
    for (UInt32 n = 0; n < frames; ++n) {
        input[n] = std::sin(0.05f * static_cast<float>(n));
    }
    for (auto _ : bench) {
        engine.DoPrecomps(frames, params, sampleRate, cores[0]->State());
        engine.SetSubBlockOffset(0);
        for (auto& core : cores) {
            core->Process(input.data(), output.data(), frames, params[kParam_DryLevel],
                          params[kParam_EffectLevel]);
        }
        engine.EndRenderCall();
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    const double framesDone = double(bench.iterations()) * frames;
    bench.counters["ns_per_frame"] =
        benchmark::Counter(framesDone, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    bench.counters["ns_per_channel_frame"] = benchmark::Counter(
        framesDone * kChannels, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_SteadyRecord(benchmark::State& bench) {
    RenderStereo(bench, Scenario::Steady);
}
void BM_RandomShape(benchmark::State& bench) {
    RenderStereo(bench, Scenario::Random);
}
void BM_CrossfadeEveryBlock(benchmark::State& bench) {
    RenderStereo(bench, Scenario::Crossfade);
}
void BM_Defaults(benchmark::State& bench) {
    RenderStereo(bench, Scenario::Defaults);
}
void BM_TightFlange(benchmark::State& bench) {
    RenderStereo(bench, Scenario::TightFlange);
}
void BM_Flangey(benchmark::State& bench) {
    RenderStereo(bench, Scenario::Flangey);
}

// Frames per block; loop variant 0 baseline (four lanes), 1 AVX2, 2 AVX-512.
void Sizes(benchmark::internal::Benchmark* b) {
    b->ArgNames({"frames", "variant"})->ArgsProduct({{16, 64, 512, 4096}, {0, 1, 2}});
}

BENCHMARK(BM_SteadyRecord)->Apply(Sizes);
BENCHMARK(BM_RandomShape)->Apply(Sizes);
BENCHMARK(BM_CrossfadeEveryBlock)->Apply(Sizes);
BENCHMARK(BM_Defaults)->Apply(Sizes);
BENCHMARK(BM_TightFlange)->Apply(Sizes);
BENCHMARK(BM_Flangey)->Apply(Sizes);

} // namespace

BENCHMARK_MAIN();
