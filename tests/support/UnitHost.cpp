#include "UnitHost.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "AudioUnitAPI.h"

namespace MV::test {

UnitHost::UnitHost(const ComponentDescription& description, ComponentRoutine entry) {
    const OSStatus result = AudioComponentInstanceNew(description, entry, &m_unit);
    if (result != noErr) {
        throw std::runtime_error("cannot open unit: " + std::to_string(result));
    }
}

UnitHost::~UnitHost() {
    AudioComponentInstanceDispose(m_unit);
}

OSStatus UnitHost::Configure(Float64 sampleRate, UInt32 channels, UInt32 maxFrames) {
    m_channels = channels;
    const AudioStreamBasicDescription format = CanonicalStreamFormat(sampleRate, channels);
    for (AudioUnitScope scope : {kAudioUnitScope_Input, kAudioUnitScope_Output}) {
        const OSStatus result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_StreamFormat, scope,
                                                     0, &format, sizeof(format));
        if (result != noErr) {
            return result;
        }
    }
    OSStatus result =
        AudioUnitSetProperty(m_unit, kAudioUnitProperty_MaximumFramesPerSlice,
                             kAudioUnitScope_Global, 0, &maxFrames, sizeof(maxFrames));
    if (result != noErr) {
        return result;
    }
    AURenderCallbackStruct callback{&UnitHost::Pull, this};
    result = AudioUnitSetProperty(m_unit, kAudioUnitProperty_SetRenderCallback,
                                  kAudioUnitScope_Input, 0, &callback, sizeof(callback));
    if (result != noErr) {
        return result;
    }
    m_listStorage = std::make_unique<std::byte[]>(AudioBufferListSize(channels));
    return noErr;
}

OSStatus UnitHost::Initialize() {
    return AudioUnitInitialize(m_unit);
}

OSStatus UnitHost::Pull(void* refCon, AudioUnitRenderActionFlags* /*flags*/,
                        const AudioTimeStamp* /*timeStamp*/, UInt32 /*bus*/, UInt32 frames,
                        AudioBufferList* ioData) {
    auto* host = static_cast<UnitHost*>(refCon);
    for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
        auto* dest = static_cast<Float32*>(ioData->mBuffers[c].mData);
        const std::vector<Float32>* source =
            host->m_input != nullptr && c < host->m_input->size() ? &(*host->m_input)[c] : nullptr;
        for (UInt32 i = 0; i < frames; ++i) {
            const std::size_t at = std::size_t(host->m_inputOffset) + i;
            dest[i] = source != nullptr && at < source->size() ? (*source)[at] : 0.0f;
        }
    }
    return noErr;
}

OSStatus UnitHost::Render(const std::vector<std::vector<Float32>>& input, UInt32 inputOffset,
                          UInt32 frames, std::vector<std::vector<Float32>>& output,
                          double sampleTime) {
    output.assign(m_channels, std::vector<Float32>(frames, 0.0f));
    auto* list = reinterpret_cast<AudioBufferList*>(m_listStorage.get());
    list->mNumberBuffers = m_channels;
    for (UInt32 c = 0; c < m_channels; ++c) {
        list->mBuffers[c] = AudioBuffer{1, frames * UInt32(sizeof(Float32)), output[c].data()};
    }
    m_input = &input;
    m_inputOffset = inputOffset;
    AudioTimeStamp stamp{};
    stamp.mSampleTime = sampleTime >= 0.0 ? sampleTime : m_sampleTime;
    stamp.mFlags = kAudioTimeStampSampleTimeValid;
    AudioUnitRenderActionFlags flags = 0;
    const OSStatus result = AudioUnitRender(m_unit, &flags, &stamp, 0, frames, list);
    m_input = nullptr;
    if (result == noErr && sampleTime < 0.0) {
        m_sampleTime += frames;
    }
    return result;
}

OSStatus UnitHost::SetParameter(AudioUnitParameterID id, Float32 value, AudioUnitScope scope) {
    return AudioUnitSetParameter(m_unit, id, scope, 0, value, 0);
}

Float32 UnitHost::GetParameter(AudioUnitParameterID id) {
    Float32 value = 0.0f;
    AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, &value);
    return value;
}

} // namespace MV::test
