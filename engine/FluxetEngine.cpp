#include "FluxetEngine.h"

#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <utility>

#include "FluxetLoops.h"
#include "SystemInfo.h"

namespace {

using MrvnFluxetLoops::LoopTable;

inline bool IsFinite(float x) {
    return x - x == 0.0f;
}

// std::max semantics: the first argument wins a tie, and a NaN in the second.
inline float Max(float a, float b) {
    return a < b ? b : a;
}

const LoopTable* LoopsFor(MrvnFluxetEngine::LoopVariant variant) {
    switch (variant) {
    case MrvnFluxetEngine::LoopVariant::Baseline:
        return &MrvnFluxetLoops::kLoopsBaseline;
    case MrvnFluxetEngine::LoopVariant::AVX2:
#if defined(__x86_64__)
        if (MrvnFluxetLoops::kLoopsAVX2 != nullptr && __builtin_cpu_supports("avx2")) {
            return MrvnFluxetLoops::kLoopsAVX2;
        }
#endif
        return nullptr;
    case MrvnFluxetEngine::LoopVariant::AVX512:
#if defined(__x86_64__)
        if (MrvnFluxetLoops::kLoopsAVX512 != nullptr && __builtin_cpu_supports("avx512f")) {
            return MrvnFluxetLoops::kLoopsAVX512;
        }
#endif
        return nullptr;
    }
    return nullptr;
}

// The widest variant the processor runs, or the one $FLUXET_LOOPS names ("baseline", "avx2"
// or "avx512") when it runs that one: benchmarks measure the narrower variants with it.
MrvnFluxetEngine::LoopVariant ChosenLoops() {
#if defined(__x86_64__)
    __builtin_cpu_init();
#endif
    using Variant = MrvnFluxetEngine::LoopVariant;
    const std::string wanted = MV::EnvironmentValue("FLUXET_LOOPS");
    for (const auto& [name, variant] :
         {std::pair{"baseline", Variant::Baseline}, std::pair{"avx2", Variant::AVX2},
          std::pair{"avx512", Variant::AVX512}}) {
        if (wanted == name && LoopsFor(variant) != nullptr) {
            return variant;
        }
    }
    for (const auto variant : {Variant::AVX512, Variant::AVX2}) {
        if (LoopsFor(variant) != nullptr) {
            return variant;
        }
    }
    return Variant::Baseline;
}

// Starts as the baseline (constant-initialised, so usable before any dynamic
// initialisation); the library's load moves it to the chosen variant (ChosenLoops).
std::atomic<MrvnFluxetEngine::LoopVariant> g_loopVariant{MrvnFluxetEngine::LoopVariant::Baseline};
std::atomic<const LoopTable*> g_loops{&MrvnFluxetLoops::kLoopsBaseline};

const LoopTable& Loops() {
    return *g_loops.load(std::memory_order_relaxed);
}

// What the formulas below are given of each parameter. Every value of the published ranges,
// "Shape" 0 to 8 and "Feedback" -100 to 100 % passes unchanged; beyond them the bounds keep
// cubes, sums and products finite, the loop gain of the delay line at most 1 (so the line
// holds nothing it cannot give back within one pass of its length), and the targets of the
// random shapes near [-1, 1].
struct Bounds {
    float low;
    float high;
};

constexpr Bounds KernelBounds(AudioUnitParameterID id) {
    switch (id) {
    case kParam_DryLevel:
    case kParam_EffectLevel:
        return {-10.0f, 10.0f}; // a gain of 1000 (60 dB) at most
    case kParam_Shape:
        return {0.0f, 8.0f};
    case kParam_Spread:
        return {-1.0f, 1.0f};
    case kParam_Feedback:
        return {-100.0f, 100.0f};
    default:
        return {-1e6f, 1e6f}; // speeds in hertz, depths in per cent, bias
    }
}

// A value the formulas may be given: one that is not finite (a script or a damaged state can
// store one) counts as the parameter's default, one beyond the bounds as the nearer bound.
inline float KernelValue(float value, AudioUnitParameterID id) {
    if (!IsFinite(value)) {
        return astParamInfos[id].defaultValue;
    }
    const Bounds bounds = KernelBounds(id);
    return value < bounds.low ? bounds.low : (value > bounds.high ? bounds.high : value);
}

// A level position as the gain the mix applies: its cube.
inline float LevelGain(float level, AudioUnitParameterID id) {
    const float value = KernelValue(level, id);
    return (value * value) * value;
}

inline float CleanPhase(float phase) {
    return IsFinite(phase) ? phase : 0.0f;
}

// Bitwise equality of the parameters and rate a record was made from.
bool SameInputs(const Float32 (&kept)[kNumParameters], Float32 keptRate,
                const Float32 params[kNumParameters], Float32 sampleRate) {
    static_assert(kNumParameters % 2 == 0);
    UInt64 difference = std::bit_cast<UInt32>(sampleRate) ^ std::bit_cast<UInt32>(keptRate);
    for (UInt32 i = 0; i < kNumParameters; i += 2) {
        UInt64 a = 0;
        UInt64 b = 0;
        std::memcpy(&a, params + i, sizeof a);
        std::memcpy(&b, kept + i, sizeof b);
        difference |= a ^ b;
    }
    return difference == 0;
}

} // namespace

Float32 MrvnFluxetEngine::Sinusoid(Float32 f) {
    return MrvnFluxetLoops::Sinusoid(f);
}

bool MrvnFluxetEngine::SelectLoopVariant(LoopVariant variant) {
    const LoopTable* loops = LoopsFor(variant);
    if (loops == nullptr) {
        return false;
    }
    g_loopVariant.store(variant, std::memory_order_relaxed);
    g_loops.store(loops, std::memory_order_relaxed);
    return true;
}

MrvnFluxetEngine::LoopVariant MrvnFluxetEngine::CurrentLoopVariant() {
    return g_loopVariant.load(std::memory_order_relaxed);
}

namespace {
[[maybe_unused]] const bool g_widestLoopsChosen =
    MrvnFluxetEngine::SelectLoopVariant(ChosenLoops());
} // namespace

// ---------------------------------------------------------------------------
// Channel core

MrvnFluxetEngine::ChannelCore::ChannelCore(MrvnFluxetEngine& owner, SInt32 channelIndex)
    : m_owner(owner), m_channelIndex(channelIndex), m_delay(new Float32[kDelayLength]()) {}

void MrvnFluxetEngine::ChannelCore::Reset() {
    if (!m_delay) {
        m_delay.reset(new Float32[kDelayLength]());
    } else if (!m_ringClear) {
        std::memset(m_delay.get(), 0, kDelayLength * sizeof(Float32));
    }
    m_ringClear = true;
    m_writeIndex = 0;
    m_state = KernelState{};
}

Float32 MrvnFluxetEngine::ChannelCore::ProcessCore(const Float32* source, Float32* dest,
                                                   UInt32 frames, Float32* delay, UInt32 writeIndex,
                                                   const PreComp& record, Float32 dryGain,
                                                   Float32 wetGain, Float32 sampleRate,
                                                   Float32 startPhase, SInt32 channelIndex,
                                                   KernelState& state, const KernelState& common) {
    return Loops().processCore(source, dest, frames, delay, writeIndex, record, dryGain, wetGain,
                               sampleRate, startPhase, channelIndex, state, common, nullptr);
}

OSStatus MrvnFluxetEngine::ChannelCore::Process(const Float32* source, Float32* dest, UInt32 frames,
                                                Float32 dryLevel, Float32 effectLevel) {
    return ProcessWithGains(source, dest, frames, LevelGain(dryLevel, kParam_DryLevel),
                            LevelGain(effectLevel, kParam_EffectLevel));
}

OSStatus MrvnFluxetEngine::ChannelCore::ProcessWithGains(const Float32* source, Float32* dest,
                                                         UInt32 frames, Float32 dryGain,
                                                         Float32 wetGain) {
    MrvnFluxetEngine& owner = m_owner;
    if (frames > owner.m_savedDelay.size()) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    source += owner.m_subBlockOffset;
    dest += owner.m_subBlockOffset;
    m_ringClear = false;

    const float startPhase = owner.m_subBlockStartPhase;
    const float sampleRate = owner.m_sampleRate;
    float* delay = m_delay.get();
    const UInt32 w = m_writeIndex;
    const bool crossfade = owner.m_recordChanged && frames > 0;

    const MrvnFluxetLoops::BlockPass block{source,
                                           dest,
                                           frames,
                                           delay,
                                           w,
                                           &owner.m_currentRecord,
                                           crossfade ? &owner.m_previousRecord : nullptr,
                                           dryGain,
                                           wetGain,
                                           sampleRate,
                                           owner.m_currentIncrement,
                                           startPhase,
                                           m_channelIndex,
                                           &m_state,
                                           &owner.m_commonRandomSnapshot,
                                           &owner.m_positionCache,
                                           owner.m_savedDelay.data(),
                                           owner.m_previousPassOutput.data()};
    const float phase = Loops().processBlock(block);

    if (m_channelIndex == 0) {
        owner.m_sharedLFOPhase = CleanPhase(phase);
    }
    m_writeIndex = (w + frames) & kDelayMask;
    return noErr;
}

// ---------------------------------------------------------------------------
// Engine

void MrvnFluxetEngine::InitializeEngine(UInt32 maxFramesPerSlice) {
    m_speedLFOPhase = 0.0f;
    m_depthLFOPhase = 0.0f;
    m_previousPassOutput.assign(maxFramesPerSlice, 0.0f);
    m_savedDelay.assign(maxFramesPerSlice, 0.0f);
    // Whole groups of the widest variant: the loop writes positions a group at a time.
    const UInt32 capacity = (maxFramesPerSlice + 15) & ~15u;
    m_cachedIndex.assign(std::size_t(capacity) * PositionCache::kEntries, 0);
    m_cachedFrac.assign(std::size_t(capacity) * PositionCache::kEntries, 0.0f);
    // A word per group of four frames, the narrowest variant's groups.
    m_cachedWord.assign(std::size_t(capacity / 4) * PositionCache::kEntries, 0);
    m_cachedValues.assign(capacity, 0.0f);
    m_positionCache = PositionCache{};
    m_positionCache.capacity = capacity;
    m_positionCache.values = m_cachedValues.data();
    for (int e = 0; e < PositionCache::kEntries; ++e) {
        m_positionCache.entries[e].index = m_cachedIndex.data() + std::size_t(e) * capacity;
        m_positionCache.entries[e].frac = m_cachedFrac.data() + std::size_t(e) * capacity;
        m_positionCache.entries[e].word = m_cachedWord.data() + std::size_t(e) * (capacity / 4);
    }
    m_sharedLFOPhase = 0.0f;
    m_subBlockStartPhase = 0.0f;
    m_currentRecord = PreComp{};
    m_previousRecord = PreComp{};
    m_currentIncrement = m_currentRecord.speed / m_sampleRate;
    m_recordChanged = false;
    m_recordIsPrevious = true;
    m_subBlockOffset = 0;
    m_precompRepeatable = false;
}

void MrvnFluxetEngine::ResetEngine() {
    m_sharedLFOPhase = 0.0f;
    m_subBlockStartPhase = 0.0f;
}

void MrvnFluxetEngine::RestartLFOs(Float32 phase) {
    m_sharedLFOPhase = CleanPhase(phase);
    m_speedLFOPhase = 0.0f;
    m_depthLFOPhase = 0.0f;
}

bool MrvnFluxetEngine::RepeatPrecomps(Float32 sampleRate, const KernelState& firstKernelState) {
    if (!m_precompRepeatable ||
        std::bit_cast<UInt32>(sampleRate) != std::bit_cast<UInt32>(m_precompSampleRate)) {
        return false;
    }
    m_subBlockStartPhase = m_sharedLFOPhase;
    m_sampleRate = sampleRate;
    m_commonRandomSnapshot = firstKernelState;
    m_recordChanged = !m_recordIsPrevious;
    return true;
}

void MrvnFluxetEngine::DoPrecomps(UInt32 frames, const Float32 params[kNumParameters],
                                  Float32 sampleRate, const KernelState& firstKernelState) {
    m_subBlockStartPhase = m_sharedLFOPhase;
    m_sampleRate = sampleRate;
    m_commonRandomSnapshot = firstKernelState;

    // The same values as last time with both sweep LFOs off make the same record, which the
    // previous one still equals unless a render call ended since it was made.
    if (m_precompRepeatable &&
        SameInputs(m_precompParams, m_precompSampleRate, params, sampleRate)) {
        m_recordChanged = !m_recordIsPrevious;
        return;
    }
    for (UInt32 i = 0; i < kNumParameters; ++i) {
        m_precompParams[i] = params[i];
    }
    m_precompSampleRate = sampleRate;
    m_dryGain = LevelGain(params[kParam_DryLevel], kParam_DryLevel);
    m_wetGain = LevelGain(params[kParam_EffectLevel], kParam_EffectLevel);

    // Held as the formulas need it, so that no LFO phase or record turns NaN or infinite.
    const auto param = [params](AudioUnitParameterID id) { return KernelValue(params[id], id); };
    const float sr = sampleRate;
    const float n = static_cast<float>(frames);

    // Shape weights: only the neighbours `pair` and pair + 1 may be non-zero.
    const float s = param(kParam_Shape);
    int pair = -1;
    float lowWeight = 0.0f;
    float highWeight = 0.0f;
    if (s <= 1.0f) {
        pair = 0;
        lowWeight = 1.0f - s;
        highWeight = s;
    } else {
        for (int k = 1; k <= 6; ++k) {
            if (s <= static_cast<float>(k + 1)) {
                pair = k;
                lowWeight = static_cast<float>(k + 1) - s;
                highWeight = s - static_cast<float>(k);
                break;
            }
        }
        if (s > 7.0f) {
            pair = 7;
            lowWeight = 8.0f - s;
            highWeight = s - 7.0f;
        }
    }

    float speedSweep = 0.0f;
    const float speedLFODepth = param(kParam_SpeedLFODepth);
    if (speedLFODepth > 0.001f) {
        const float phase = m_speedLFOPhase + (param(kParam_SpeedLFOSpeed) * n) / sr;
        m_speedLFOPhase = CleanPhase(phase - std::floor(phase));
        speedSweep = speedLFODepth * (Sinusoid(m_speedLFOPhase) + 1.0f);
    }

    float depthSweep = 0.0f;
    const float depthLFODepth = param(kParam_DepthLFODepth);
    if (depthLFODepth > 0.001f) {
        const float phase = m_depthLFOPhase + (param(kParam_DepthLFOSpeed) * n) / sr;
        m_depthLFOPhase = CleanPhase(phase - std::floor(phase));
        depthSweep = depthLFODepth * Sinusoid(m_depthLFOPhase);
    }

    // A speed control at its minimum contributes nothing.
    const float coarseValue = param(kParam_SpeedCoarse);
    const float fineValue = param(kParam_SpeedFine);
    const float superfineValue = param(kParam_SpeedSuperfine);
    const float coarse = coarseValue > 10.01f ? coarseValue : 0.0f;
    const float fine = fineValue > 0.5005f ? fineValue : 0.0f;
    const float superfine = superfineValue > 0.001001f ? superfineValue : 0.0f;
    const float speed = Max(0.0f, ((speedSweep + coarse) + fine) + superfine);

    // The depth is the peak pitch deviation in per cent of the "Square" shape, so the
    // swing shrinks as the speed rises. The limit keeps the longest delay 2A in the ring.
    const float depth = (param(kParam_DepthCoarse) + param(kParam_DepthFine)) + depthSweep;
    float amplitude = depth >= 0.0f ? ((0.0025f * depth) * sr) / Max(speed, 0.0001f) : 0.0f;
    amplitude = amplitude < 32767.5f ? amplitude : 32767.5f;

    // Each field is compared bytewise with the previous record as it is stored (-0 differs
    // from 0, a NaN equals itself). Field by field, so that nothing reads back a record
    // that is still being written.
    UInt32 difference = 0;
    const auto set = [&difference](Float32& field, const Float32& previous, float value) {
        difference |= std::bit_cast<UInt32>(value) ^ std::bit_cast<UInt32>(previous);
        field = value;
    };
    PreComp& rec = m_currentRecord;
    const PreComp& before = m_previousRecord;
    for (int i = 0; i < int(kNumShapes); ++i) {
        const float weight = i == pair ? lowWeight : (i == pair + 1 ? highWeight : 0.0f);
        set(rec.shapeWeights[i], before.shapeWeights[i], weight);
    }
    set(rec.shape, before.shape, s);
    set(rec.warpPivot, before.warpPivot, 0.5f);
    set(rec.sweepAmplitude, before.sweepAmplitude, amplitude);
    set(rec.biasAmount, before.biasAmount, param(kParam_Bias) * amplitude);
    set(rec.speed, before.speed, speed);
    set(rec.feedbackGain, before.feedbackGain, param(kParam_Feedback) * 0.01f);
    set(rec.spread, before.spread, param(kParam_Spread));
    set(rec.speedLFODepth, before.speedLFODepth, speedLFODepth);
    static_assert(sizeof(PreComp) == (kNumShapes + 8) * sizeof(Float32), "every field is set");
    m_currentIncrement = speed / sr;
    m_recordChanged = difference != 0;
    m_recordIsPrevious = difference == 0;
    m_precompRepeatable = !(speedLFODepth > 0.001f) && !(depthLFODepth > 0.001f);

    m_dataToGui.speedHz.store(speed, std::memory_order_relaxed);
    m_dataToGui.swingMs.store((amplitude * 2000.0f) / sr, std::memory_order_relaxed);
}
