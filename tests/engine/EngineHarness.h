// Drives the engine the way the effect unit does: one precomputation per sub-block, the
// channels in order, the previous record updated after each whole render call.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "FluxetEngine.h"
#include "FluxetParameters.h"

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

    void ApplyPreset(int number) {
        CompleteFactoryPresets();
        for (UInt32 p = 0; p < kNumParameters; ++p) {
            params[p] = astPresets[number].values[p];
        }
    }

    // One render call over whole buffers, split into sub-blocks of the given lengths
    // (the rest of the buffer forms the last sub-block).
    void Render(const Buffers& in, Buffers& out, const std::vector<UInt32>& splits = {}) {
        const auto frames = UInt32(in[0].size());
        out.resize(in.size());
        for (auto& channel : out) {
            channel.assign(frames, 0.0f);
        }
        UInt32 offset = 0;
        std::size_t next = 0;
        while (offset < frames) {
            UInt32 length = next < splits.size() ? splits[next++] : frames - offset;
            length = std::min(length, frames - offset);
            m_engine.DoPrecomps(length, params, m_sampleRate, m_cores[0]->State());
            m_engine.SetSubBlockOffset(offset);
            for (std::size_t c = 0; c < m_cores.size(); ++c) {
                lastStatus =
                    m_cores[c]->Process(in[c].data(), out[c].data(), length,
                                        params[kParam_DryLevel], params[kParam_EffectLevel]);
            }
            offset += length;
        }
        m_engine.EndRenderCall();
    }

    // Renders `frames` of the same signal on every channel.
    Buffers RenderSignal(const std::vector<Float32>& signal,
                         const std::vector<UInt32>& splits = {}) {
        const Buffers in(m_cores.size(), signal);
        Buffers out;
        Render(in, out, splits);
        return out;
    }

    MrvnFluxetEngine& Engine() { return m_engine; }
    MrvnFluxetEngine::ChannelCore& Core(int c) { return *m_cores[std::size_t(c)]; }

    Float32 params[kNumParameters] = {};
    OSStatus lastStatus = noErr;

private:
    Float32 m_sampleRate;
    MrvnFluxetEngine m_engine;
    std::vector<std::unique_ptr<MrvnFluxetEngine::ChannelCore>> m_cores;
};
