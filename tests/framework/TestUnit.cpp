#include "TestUnit.h"

#include <cstring>
#include <new>
#include <stdexcept>

#include "AUError.h"
#include "ComponentEntryPoint.h"

namespace fwtest {

namespace {

struct ParamRow {
    const char* name;
    AudioUnitParameterUnit unit;
    Float32 minValue;
    Float32 maxValue;
    Float32 defaultValue;
};

constexpr std::array<ParamRow, kNumParams> kParams{{
    {"Gain", kAudioUnitParameterUnit_Generic, 0.0f, 2.0f, 1.0f},
    {"Speed", kAudioUnitParameterUnit_Hertz, 10.0f, 5000.0f, 10.0f},
    {"Steps", kAudioUnitParameterUnit_Indexed, 0.0f, 100.0f, 0.0f},
    {"Mode", kAudioUnitParameterUnit_Indexed, 0.0f, 3.0f, 0.0f},
    {"Note", kAudioUnitParameterUnit_MIDINoteNumber, 0.0f, 127.0f, 60.0f},
}};

constexpr std::array<const char*, 4> kModeNames{"Off", "Low", "Mid", "High"};

constexpr std::array<AUPreset, 2> kPresets{{{0, "Quiet"}, {1, "Loud"}}};
constexpr std::array<Float32, 2> kPresetGains{0.25f, 1.75f};

class GainKernel : public AUKernelBase {
public:
    GainKernel(TestUnit* unit) : AUKernelBase(unit), m_unit(unit) {}

    void Reset() override { m_unit->kernelResets.fetch_add(1); }

    void Process(const Float32* source, Float32* destination, UInt32 nFrames, UInt32 numChannels,
                 bool& ioSilence) override {
        const Float32 gain = GetParameter(kParamGain);
        if (gain < 0.0f) {
            throw kKernelThrow;
        }
        m_unit->RecordProcess(GetChannelNum(), nFrames, gain);
        bool sounding = false;
        for (UInt32 i = 0; i < nFrames; ++i) {
            destination[i * numChannels] = source[i * numChannels] * gain;
            sounding = sounding || source[i * numChannels] != 0.0f;
        }
        if (!m_unit->kernelsReportSilence || sounding) {
            ioSilence = false;
        }
    }

private:
    TestUnit* m_unit;
};

} // namespace

TestUnit::TestUnit(AudioComponentInstance instance) : AUMIDIEffectBase(instance, false) {
    CreateElements();
    Globals()->UseIndexedParameters(kNumParams);
    for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
        Globals()->SetParameter(id, kParams[id].defaultValue);
    }
}

OSStatus TestUnit::GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                                    AudioUnitParameterInfo& outInfo) {
    if (scope != kAudioUnitScope_Global || paramID >= kNumParams) {
        return kAudioUnitErr_InvalidParameter;
    }
    const ParamRow& row = kParams[paramID];
    std::strncpy(outInfo.name, row.name, sizeof(outInfo.name) - 1);
    outInfo.cfNameString = row.name;
    outInfo.unit = row.unit;
    outInfo.minValue = row.minValue;
    outInfo.maxValue = row.maxValue;
    outInfo.defaultValue = row.defaultValue;
    outInfo.flags = kAudioUnitParameterFlag_IsWritable | kAudioUnitParameterFlag_IsReadable |
                    kAudioUnitParameterFlag_HasCFNameString | kAudioUnitParameterFlag_Global;
    return noErr;
}

OSStatus TestUnit::GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID paramID,
                                            plist_t* outStrings) {
    if (scope != kAudioUnitScope_Global || paramID != kParamMode) {
        return kAudioUnitErr_InvalidProperty;
    }
    if (outStrings != nullptr) {
        *outStrings = plist_new_array();
        for (const char* name : kModeNames) {
            plist_array_append_item(*outStrings, plist_new_string(name));
        }
    }
    return noErr;
}

OSStatus TestUnit::GetPresets(AUPresetList* outPresets) const {
    if (outPresets != nullptr) {
        *outPresets = AUPresetList{UInt32(kPresets.size()), kPresets.data()};
    }
    return noErr;
}

OSStatus TestUnit::NewFactoryPresetSet(const AUPreset& preset) {
    if (preset.presetNumber < 0 || std::size_t(preset.presetNumber) >= kPresets.size()) {
        return kAudioUnitErr_InvalidPropertyValue;
    }
    Globals()->SetParameter(kParamGain, kPresetGains[std::size_t(preset.presetNumber)]);
    SetCurrentPreset(preset.presetNumber, kPresets[std::size_t(preset.presetNumber)].presetName);
    return noErr;
}

OSStatus TestUnit::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element, UInt32& outDataSize,
                                   Boolean& outWritable) {
    if (id == kTestProperty_Throw && scope == kAudioUnitScope_Global) {
        outDataSize = sizeof(UInt32);
        outWritable = false;
        return noErr;
    }
    return AUMIDIEffectBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus TestUnit::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                               AudioUnitElement element, void* outData) {
    if (id == kTestProperty_Throw && scope == kAudioUnitScope_Global) {
        switch (element) {
        case 0:
            throw AUError(kAudioUnitErr_CannotDoInCurrentContext);
        case 1:
            throw std::bad_alloc();
        case 2:
            throw SInt32(-1234);
        case 3:
            throw SInt16(-77);
        default:
            throw std::runtime_error("test failure");
        }
    }
    return AUMIDIEffectBase::GetProperty(id, scope, element, outData);
}

std::unique_ptr<AUKernelBase> TestUnit::NewKernel() {
    return std::make_unique<GainKernel>(this);
}

OSStatus TestUnit::HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                                   UInt32 startFrame) {
    if (numMidiCalls < kMaxRecords) {
        midiCalls[numMidiCalls++] = MidiCall{status, channel, data1, data2, startFrame};
    }
    return noErr;
}

OSStatus TestUnit::HandleSysEx(const UInt8* /*data*/, UInt32 /*length*/) {
    ++numSysEx;
    return noErr;
}

void TestUnit::RecordProcess(UInt32 channel, UInt32 frames, Float32 gain) {
    if (numProcessCalls < kMaxRecords) {
        processCalls[numProcessCalls++] = ProcessCall{channel, frames, gain};
    }
}

OSStatus TestUnitEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<TestUnit>::Dispatch(params, instance);
}

TestUnit& UnitOf(AudioUnit unit) {
    return *static_cast<TestUnit*>(static_cast<ComponentBase*>(unit->storage));
}

HostedUnit::HostedUnit() {
    if (AudioComponentInstanceNew(kTestDescription, &TestUnitEntry, &m_unit) != noErr) {
        throw std::runtime_error("cannot open the test unit");
    }
}

AudioUnitParameterValue HostedUnit::Param(AudioUnitParameterID id) const {
    AudioUnitParameterValue value = -12345.0f;
    AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, &value);
    return value;
}

OSStatus HostedUnit::SetFormat(AudioUnitScope scope, UInt32 channels) const {
    AudioStreamBasicDescription format = AUIOElement::DefaultStreamFormat();
    format.mChannelsPerFrame = channels;
    return AudioUnitSetProperty(m_unit, kAudioUnitProperty_StreamFormat, scope, 0, &format,
                                sizeof(format));
}

TestBuffers::TestBuffers(UInt32 channels, UInt32 frames, Float32 fill)
    : m_frames(frames), m_data(channels, std::vector<Float32>(frames, fill)),
      m_storage(std::make_unique<std::byte[]>(AudioBufferListSize(channels))) {
    m_list = new (m_storage.get()) AudioBufferList{};
    m_list->mNumberBuffers = channels;
    for (UInt32 i = 0; i < channels; ++i) {
        m_list->mBuffers[i] = AudioBuffer{1, UInt32(frames * sizeof(Float32)), m_data[i].data()};
    }
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

OSStatus RenderAt(AudioUnit unit, Float64& sampleTime, UInt32 frames, AudioBufferList& out,
                  AudioUnitRenderActionFlags* flags) {
    AudioUnitRenderActionFlags none = 0;
    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = sampleTime;
    timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
    sampleTime += frames;
    return AudioUnitRender(unit, flags != nullptr ? flags : &none, &timeStamp, 0, frames, &out);
}

} // namespace fwtest
