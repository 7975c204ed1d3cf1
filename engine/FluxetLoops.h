// The sample loop of the delay kernel, built once per instruction set. Every variant does
// the same 32-bit IEEE operations in the same order on each frame, so they all give the
// same bits; the wider ones only do more frames at a time.
#pragma once

#include "FluxetEngine.h"

namespace MrvnFluxetLoops {

// Same arguments and result as MrvnFluxetEngine::ChannelCore::ProcessCore, and a cache of
// read positions shared by the channels (null: work every position out). The cache must
// hold at least `frames` frames.
using ProcessCoreFn = Float32 (*)(const Float32* source, Float32* dest, UInt32 frames,
                                  Float32* delay, UInt32 writeIndex,
                                  const MrvnFluxetEngine::PreComp& record, Float32 dryGain,
                                  Float32 wetGain, Float32 sampleRate, Float32 startPhase,
                                  SInt32 channelIndex, MrvnFluxetEngine::KernelState& state,
                                  const MrvnFluxetEngine::KernelState& common,
                                  MrvnFluxetEngine::PositionCache* cache);

// One variant of the loops.
struct LoopTable {
    ProcessCoreFn processCore;
    // saved[j] = delay[(writeIndex + j) mod ring length] for j < frames.
    void (*copyFromRing)(const Float32* delay, UInt32 writeIndex, Float32* saved, UInt32 frames);
    // Exchanges delay[(writeIndex + j) mod ring length] with saved[j] for j < frames.
    void (*swapWithRing)(Float32* delay, UInt32 writeIndex, Float32* saved, UInt32 frames);
    // With t = j * (1 / frames): dest[j] = dest[j] * t + previous[j] * (1 - t), and the
    // same for the ring slot of frame j against saved[j].
    void (*crossfade)(Float32* dest, const Float32* previous, Float32* delay, UInt32 writeIndex,
                      const Float32* saved, UInt32 frames);
};

// Four lanes: what every x86-64 and arm64 processor has.
extern const LoopTable kLoopsBaseline;

// Eight and sixteen lanes; null where the build has no such variant.
extern const LoopTable* const kLoopsAVX2;
extern const LoopTable* const kLoopsAVX512;

// The sinusoid polynomial of the LFOs, for one value.
Float32 Sinusoid(Float32 f);

} // namespace MrvnFluxetLoops
