// Audio buffers and an input source for driving renders in tests.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "AUTypes.h"

namespace fwtest {

// Non-interleaved float buffers owned by the test, with a buffer list pointing at them.
class TestBuffers {
public:
    TestBuffers(UInt32 channels, UInt32 frames, Float32 fill = 0.0f);
    TestBuffers(const TestBuffers&) = delete;
    TestBuffers& operator=(const TestBuffers&) = delete;

    AudioBufferList& List() { return *m_list; }
    Float32* Channel(UInt32 channel) { return m_data[channel].data(); }
    UInt32 Frames() const { return m_frames; }
    // Points buffer channel at no memory (the unit then lends its own).
    void DetachMemory(UInt32 channel);

private:
    UInt32 m_frames;
    std::vector<std::vector<Float32>> m_data;
    std::unique_ptr<std::byte[]> m_storage;
    AudioBufferList* m_list;
};

// A render callback that fills every input buffer with Sample(channel, frame) and counts its
// calls; it can fail, throw, or mark its output silent.
struct InputSource {
    static Float32 Sample(UInt32 channel, UInt32 frame) {
        return Float32(channel + 1) + 0.25f * Float32(frame);
    }
    static OSStatus Render(void* refCon, AudioUnitRenderActionFlags* ioActionFlags,
                           const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 nFrames,
                           AudioBufferList* ioData);

    UInt32 calls = 0;
    OSStatus result = noErr;
    bool silent = false;
};

// Connects source as the render callback of input 0 of unit.
OSStatus ConnectSource(AudioUnit unit, InputSource& source);

} // namespace fwtest
