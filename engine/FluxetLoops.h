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

// One channel's sub-block as the unit renders it.
struct BlockPass {
    const Float32* source;
    Float32* dest;
    UInt32 frames;
    Float32* delay;
    UInt32 writeIndex;
    const MrvnFluxetEngine::PreComp* current;
    // Null, or the record to crossfade from: with t = j * (1 / frames), output and ring slot
    // of frame j are the current pass's times t plus the previous pass's times (1 - t), each
    // pass run from the ring as it stood before the sub-block (and the random state too).
    const MrvnFluxetEngine::PreComp* previous;
    Float32 dryGain;
    Float32 wetGain;
    Float32 sampleRate;
    // The current record's speed over sampleRate, worked out once per record.
    Float32 currentIncrement;
    Float32 startPhase;
    SInt32 channelIndex;
    MrvnFluxetEngine::KernelState* state;
    const MrvnFluxetEngine::KernelState* common;
    MrvnFluxetEngine::PositionCache* cache; // null: none
    // Scratch of `frames` samples each for a crossfade.
    Float32* saved;
    Float32* previousOutput;
};

// One variant of the loops.
struct LoopTable {
    ProcessCoreFn processCore;
    // Returns the channel's main LFO phase after the last frame of the current pass.
    Float32 (*processBlock)(const BlockPass& block);
};

// Four lanes: what every x86-64 and arm64 processor has.
extern const LoopTable kLoopsBaseline;

// Eight and sixteen lanes; null where the build has no such variant.
extern const LoopTable* const kLoopsAVX2;
extern const LoopTable* const kLoopsAVX512;

// The sinusoid polynomial of the LFOs, for one value.
Float32 Sinusoid(Float32 f);

} // namespace MrvnFluxetLoops
