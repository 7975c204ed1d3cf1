#include "TestBuffers.h"

#include <new>

#include "AudioUnitAPI.h"

namespace fwtest {

TestBuffers::TestBuffers(UInt32 channels, UInt32 frames, Float32 fill)
    : m_frames(frames), m_data(channels, std::vector<Float32>(frames, fill)),
      m_storage(std::make_unique<std::byte[]>(AudioBufferListSize(channels))) {
    m_list = new (m_storage.get()) AudioBufferList{};
    m_list->mNumberBuffers = channels;
    for (UInt32 i = 0; i < channels; ++i) {
        m_list->mBuffers[i] = AudioBuffer{1, UInt32(frames * sizeof(Float32)), m_data[i].data()};
    }
}

void TestBuffers::DetachMemory(UInt32 channel) {
    m_list->mBuffers[channel].mData = nullptr;
    m_list->mBuffers[channel].mDataByteSize = 0;
}

OSStatus InputSource::Render(void* refCon, AudioUnitRenderActionFlags* ioActionFlags,
                             const AudioTimeStamp* /*timeStamp*/, UInt32 /*bus*/, UInt32 nFrames,
                             AudioBufferList* ioData) {
    auto& source = *static_cast<InputSource*>(refCon);
    ++source.calls;
    if (source.result != noErr) {
        return source.result;
    }
    for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
        auto* samples = static_cast<Float32*>(ioData->mBuffers[c].mData);
        for (UInt32 i = 0; i < nFrames; ++i) {
            samples[i] = source.silent ? 0.0f : Sample(c, i);
        }
    }
    if (source.silent) {
        *ioActionFlags |= kAudioUnitRenderAction_OutputIsSilence;
    }
    return noErr;
}

OSStatus ConnectSource(AudioUnit unit, InputSource& source) {
    const AURenderCallbackStruct callback{&InputSource::Render, &source};
    return AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                0, &callback, sizeof(callback));
}

} // namespace fwtest
