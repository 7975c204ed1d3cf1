// Drives the engine the way the effect unit does: one precomputation per sub-block, the
// channels in order, the previous record updated after each whole render call.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "FluxetEngine.h"
#include "FluxetParameters.h"

// Small deterministic noise in [-1, 1).
inline std::vector<Float32> Noise(std::size_t frames, UInt32 seed) {
    std::vector<Float32> v(frames);
    for (Float32& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = float(SInt32(seed >> 8) - (1 << 23)) * 0x1p-23f;
    }
    return v;
}

inline bool SameBits(const std::vector<Float32>& a, const std::vector<Float32>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

class EngineHarness {
public:
    using Buffers = std::vector<std::vector<Float32>>;

    EngineHarness(int channels, Float32 sampleRate, UInt32 maxFrames = 8192)
        : m_sampleRate(sampleRate) {
        m_engine.InitializeEngine(maxFrames);
        for (int c = 0; c < channels; ++c) {
            m_cores.push_back(std::make_unique<MrvnFluxetEngine::ChannelCore>(m_engine, c));
        }
        for (UInt32 p = 0; p < kNumParameters; ++p) {
            params[p] = astParamInfos[p].defaultValue;
        }
    }

    EngineHarness& Set(std::initializer_list<std::pair<AudioUnitParameterID, Float32>> values) {
        for (const auto& [id, value] : values) {
            params[id] = value;
        }
        return *this;
    }

    // One render call over whole buffers, split into sub-blocks of the given lengths
    // (the rest of the buffer forms the last sub-block).
    void Render(const Buffers& in, Buffers& out, const std::vector<UInt32>& splits = {}) {
        const auto frames = UInt32(in[0].size());
        out.assign(in.size(), std::vector<Float32>(frames, 0.0f));
        std::size_t next = 0;
        for (UInt32 offset = 0, length = 0; offset < frames; offset += length) {
            length = std::min(next < splits.size() ? splits[next++] : frames, frames - offset);
            m_engine.DoPrecomps(length, params, m_sampleRate, m_cores[0]->State());
            m_engine.SetSubBlockOffset(offset);
            for (std::size_t c = 0; c < m_cores.size(); ++c) {
                m_cores[c]->Process(in[c].data(), out[c].data(), length, params[kParam_DryLevel],
                                    params[kParam_EffectLevel]);
            }
        }
        m_engine.EndRenderCall();
    }

    // The same signal on every channel.
    Buffers RenderSignal(const std::vector<Float32>& signal,
                         const std::vector<UInt32>& splits = {}) {
        Buffers out;
        Render(Buffers(m_cores.size(), signal), out, splits);
        return out;
    }

    // An effect-only pass of the sample loop for channel c on `ring`, from where things stand.
    std::vector<Float32> Pass(int c, const MrvnFluxetEngine::PreComp& record,
                              const std::vector<Float32>& in, std::vector<Float32>& ring,
                              MrvnFluxetEngine::KernelState state) {
        std::vector<Float32> out(in.size());
        MrvnFluxetEngine::ChannelCore::ProcessCore(
            in.data(), out.data(), UInt32(in.size()), ring.data(), Core(c).WriteIndex(), record, 0,
            1, m_sampleRate, m_engine.SharedLFOPhase(), c, state, state);
        return out;
    }

    std::vector<Float32> Ring(int c) { return {Core(c).DelayLine(), Core(c).DelayLine() + 65536}; }
    MrvnFluxetEngine& Engine() { return m_engine; }
    MrvnFluxetEngine::ChannelCore& Core(int c) { return *m_cores[std::size_t(c)]; }

    Float32 params[kNumParameters] = {};

private:
    Float32 m_sampleRate;
    MrvnFluxetEngine m_engine;
    std::vector<std::unique_ptr<MrvnFluxetEngine::ChannelCore>> m_cores;
};
