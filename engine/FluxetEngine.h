// The sound of Fluxet: per-sub-block precomputation of the LFO record and the
// per-channel modulated delay line. Framework-free, so that the effect unit can
// inherit it and tests and benchmarks can drive it directly.
#pragma once

#include <memory>
#include <vector>

#include "AUTypes.h"
#include "FluxetParameters.h"
#include "MrvnShared.h"

// Engine part of the effect unit: the block record shared by all channels, the three
// LFO phases, the crossfade scratch and the live values for the editor. Everything here
// runs on the render thread except InitializeEngine and construction.
class MrvnFluxetEngine {
public:
    static constexpr UInt32 kDelayLength = 65536;
    static constexpr UInt32 kDelayMask = kDelayLength - 1;

    // What one sub-block's parameters mean for the sample loop; compared bytewise
    // between render calls to decide on a crossfade.
    struct PreComp {
        Float32 shapeWeights[kNumShapes];
        Float32 shape;
        Float32 warpPivot;
        Float32 sweepAmplitude; // A: half the delay swing, in samples
        Float32 biasAmount;     // B: "Bias" times A
        Float32 speed;          // main LFO rate in hertz
        Float32 feedbackGain;
        Float32 spread;
        Float32 speedLFODepth; // kept so that its change counts as a change
    };
    static_assert(sizeof(PreComp) == 17 * sizeof(Float32));

    // State of the random shapes of one channel.
    struct KernelState {
        Float32 lineStart;
        Float32 lineSlope;
        Float32 curveValue;
        Float32 curveSlope;
        Float32 curveBend;
        Float32 lag;
        Float32 wobbleAmplitude;
        UInt32 seed;
    };
    static_assert(sizeof(KernelState) == 32);

    // The sinusoid polynomial every LFO uses: about sin(2 pi f) for f in [0, 1).
    static Float32 Sinusoid(Float32 f);

    // Variants of the sample loop by vector width. The widest one the processor runs is
    // chosen when the library loads, unless the environment variable FLUXET_LOOPS names
    // another it runs ("baseline", "avx2", "avx512"); all give the same bits. Tests and
    // benchmarks may pick another: false when this build or processor lacks it. Any thread;
    // a render already under way may finish with either variant.
    enum class LoopVariant { Baseline, AVX2, AVX512 };
    static bool SelectLoopVariant(LoopVariant variant);
    static LoopVariant CurrentLoopVariant();

    // Read positions of the latest passes on the deterministic path, kept for the next
    // channel whose pass has the same ones (the same record, start phase, write index and
    // length, as every channel has when "Spread" is 0). Working storage of the sample loop,
    // sized by InitializeEngine; render thread.
    struct PositionCache {
        struct Entry {
            PreComp record;
            Float32 startPhase;
            Float32 increment;
            UInt32 writeIndex;
            UInt32 frames;
            UInt32 lanes; // of the loop variant that made it
            Float32 endPhase;
            bool valid;
            SInt32* index;
            Float32* frac;
            UInt32* word; // one per group of `lanes` frames
        };
        static constexpr int kEntries = 2; // a crossfade's two records
        Entry entries[kEntries];
        UInt32 capacity = 0; // frames per entry
        int recent = 0;      // the entry used last

        // What the deterministic path makes of a record (which shapes count, whether the
        // positions stay small), kept for the passes that follow with the same record.
        struct Plan {
            PreComp record;
            UInt32 shapes;
            Float32 bound;
            bool unitWeight;
            bool plainPivot;
            bool valid;
        };
        Plan plans[kEntries];
        int recentPlan = 0;
        // The shape values of a crossfade's first pass, for its second when the two records
        // differ only in what does not move the LFO; `capacity` frames.
        Float32* values = nullptr;
    };

    // One channel's delay line and random state. The unit's kernel owns one and forwards
    // to it; channels are processed one after the other, in channel order.
    class ChannelCore {
    public:
        // Allocates and clears the ring; throws std::bad_alloc. Main thread.
        ChannelCore(MrvnFluxetEngine& owner, SInt32 channelIndex);
        ChannelCore(const ChannelCore&) = delete;
        ChannelCore& operator=(const ChannelCore&) = delete;

        // Clears the ring, the write index and the random state. Main or render thread
        // between renders; real-time safe.
        void Reset();
        // The random shapes start afresh; the ring stays. Render thread between sub-blocks.
        void ClearRandomState() { m_state = KernelState{}; }

        // Processes one sub-block of this channel: source and dest point at the start of
        // the host's channel buffers; the owner's sub-block offset is added here. Levels
        // are the "Dry Level" and "Effect Level" positions. Returns -10874 when frames
        // exceed the scratch sized by InitializeEngine, otherwise noErr.
        // Render thread; real-time safe.
        OSStatus Process(const Float32* source, Float32* dest, UInt32 frames, Float32 dryLevel,
                         Float32 effectLevel);
        // The same with the levels the owner's latest precomputation was given.
        OSStatus Process(const Float32* source, Float32* dest, UInt32 frames) {
            return ProcessWithGains(source, dest, frames, m_owner.m_dryGain, m_owner.m_wetGain);
        }

        // One pass of the sample loop with one record. Writes the ring (and, on the random
        // path, the state) but does not move the write index. Returns the channel's main
        // LFO phase after the last sample. Render thread; real-time safe.
        static Float32 ProcessCore(const Float32* source, Float32* dest, UInt32 frames,
                                   Float32* delay, UInt32 writeIndex, const PreComp& record,
                                   Float32 dryGain, Float32 wetGain, Float32 sampleRate,
                                   Float32 startPhase, SInt32 channelIndex, KernelState& state,
                                   const KernelState& common);

        // The unit's kernel accepts only mono streams: -10868 otherwise.
        static OSStatus CheckChannelCount(UInt32 channels) {
            return channels == 1 ? noErr : OSStatus(kAudioUnitErr_FormatNotSupported);
        }

        SInt32 ChannelIndex() const { return m_channelIndex; }
        UInt32 WriteIndex() const { return m_writeIndex; }
        const KernelState& State() const { return m_state; }
        const Float32* DelayLine() const { return m_delay.get(); }
        Float32* DelayLine() {
            m_ringClear = false;
            return m_delay.get();
        }

    private:
        OSStatus ProcessWithGains(const Float32* source, Float32* dest, UInt32 frames,
                                  Float32 dryGain, Float32 wetGain);

        MrvnFluxetEngine& m_owner;
        SInt32 m_channelIndex;
        std::unique_ptr<Float32[]> m_delay;
        // Nothing was written to the ring since it was cleared: a host activates a new
        // instance with a reset, which need not clear a quarter of a megabyte again.
        bool m_ringClear = true;
        UInt32 m_writeIndex = 0;
        KernelState m_state{};
    };

    MrvnFluxetEngine() = default;
    MrvnFluxetEngine(const MrvnFluxetEngine&) = delete;
    MrvnFluxetEngine& operator=(const MrvnFluxetEngine&) = delete;

    // Unit initialisation: LFO phases and records to zero, scratch sized for the largest
    // slice. Main thread; allocates, may throw std::bad_alloc.
    void InitializeEngine(UInt32 maxFramesPerSlice);

    // Unit reset: the main LFO restarts at phase 0; records and the other LFOs stay.
    // Main thread between renders.
    void ResetEngine();

    // The next sub-block starts the main LFO at `phase` and the speed and depth LFOs at 0, as
    // after initialisation. Render thread between sub-blocks; real-time safe.
    void RestartLFOs(Float32 phase);

    // Fills the current record for a sub-block of `frames` frames from the sixteen
    // parameter values, advances the speed and depth LFOs, publishes the live values,
    // takes the sub-block's dry and effect gains and snapshots the first kernel's random
    // state. Also fixes the main LFO phase that every
    // kernel of this sub-block starts from. Render thread; real-time safe.
    void DoPrecomps(UInt32 frames, const Float32 params[kNumParameters], Float32 sampleRate,
                    const KernelState& firstKernelState);
    // What DoPrecomps does when given the same parameter values as last time, for a caller
    // that knows they are the same without reading them: false, and nothing done, unless
    // that makes the same record (both sweep LFOs off, the same rate). Render thread;
    // real-time safe.
    bool RepeatPrecomps(Float32 sampleRate, const KernelState& firstKernelState);

    // After each whole render call: the current record becomes the previous one.
    // Render thread; real-time safe.
    void EndRenderCall() {
        if (!m_recordIsPrevious) {
            m_previousRecord = m_currentRecord;
            m_recordIsPrevious = true;
        }
    }

    // Frames of the host buffers already processed in this render call. Render thread.
    void SetSubBlockOffset(UInt32 offset) { m_subBlockOffset = offset; }
    UInt32 SubBlockOffset() const { return m_subBlockOffset; }

    const PreComp& CurrentRecord() const { return m_currentRecord; }
    const PreComp& PreviousRecord() const { return m_previousRecord; }
    bool RecordChanged() const { return m_recordChanged; }
    Float32 SharedLFOPhase() const { return m_sharedLFOPhase; }
    Float32 SpeedLFOPhase() const { return m_speedLFOPhase; }
    Float32 DepthLFOPhase() const { return m_depthLFOPhase; }
    UInt32 ScratchFrames() const { return UInt32(m_savedDelay.size()); }
    const KernelState& CommonRandomSnapshot() const { return m_commonRandomSnapshot; }
    MV::DataToGui& LiveValues() { return m_dataToGui; }
    const MV::DataToGui& LiveValues() const { return m_dataToGui; }

protected:
    PreComp m_currentRecord{};
    PreComp m_previousRecord{};
    bool m_recordChanged = false;
    // The current record equals the previous one bytewise: most blocks need neither the
    // comparison nor the copy.
    bool m_recordIsPrevious = true;
    // Main LFO phase for the next sub-block; channel 0 writes it back.
    Float32 m_sharedLFOPhase = 0.0f;
    // The shared phase as it stood when this sub-block began: every channel starts here,
    // so channel 0's write-back cannot put later channels a sub-block ahead.
    Float32 m_subBlockStartPhase = 0.0f;
    Float32 m_speedLFOPhase = 0.0f;
    Float32 m_depthLFOPhase = 0.0f;
    Float32 m_sampleRate = 44100.0f;
    // The current record's main LFO step per frame: its speed over the rate.
    Float32 m_currentIncrement = 0.0f;
    // Gains of the latest precomputation's "Dry Level" and "Effect Level".
    Float32 m_dryGain = 0.0f;
    Float32 m_wetGain = 0.0f;
    std::vector<Float32> m_previousPassOutput;
    std::vector<Float32> m_savedDelay;
    UInt32 m_subBlockOffset = 0;
    KernelState m_commonRandomSnapshot{};
    MV::DataToGui m_dataToGui;
    // The parameters and rate of the latest precomputation, and whether both sweep LFOs were
    // off then: the same values again make the same record.
    Float32 m_precompParams[kNumParameters] = {};
    Float32 m_precompSampleRate = 0.0f;
    bool m_precompRepeatable = false;
    PositionCache m_positionCache{};
    std::vector<SInt32> m_cachedIndex;
    std::vector<Float32> m_cachedFrac;
    std::vector<UInt32> m_cachedWord;
    std::vector<Float32> m_cachedValues;
};
