// A small MIDI effect driven through the host API in tests: a recording gain kernel per channel,
// a recording MIDI handler, five parameters, two factory presets, a property that throws.
#pragma once

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "AUError.h"
#include "AUMIDIEffectBase.h"
#include "AudioUnitAPI.h"
#include "ComponentEntryPoint.h"

#define ASSERT_OK(expr) ASSERT_EQ((expr), noErr)

namespace fwtest {

enum : AudioUnitParameterID {
    kParamGain,  // generic 0..2, default 1: the kernels' gain (a negative gain throws -4242)
    kParamSpeed, // hertz 10..5000, default 10
    kParamSteps, // indexed 0..100, default 0, no value names
    kParamMode,  // indexed 0..3, default 0, value names "Off" "Low" "Mid" "High"
    kParamNote,  // MIDI note number 0..127, default 60
    kNumParams
};

constexpr SInt32 kKernelThrow = -4242;

// GetProperty of this property in the global scope throws, by element: 0 an AUError(-10863),
// 1 std::bad_alloc, 2 SInt32 -1234, 3 SInt16 -77, 4 std::runtime_error.
constexpr AudioUnitPropertyID kTestProperty_Throw = 70000;

constexpr ComponentDescription kTestDescription{FourCC("aumf"), FourCC("Tst1"), FourCC("Mrvn"), 0,
                                                0};

struct ProcessCall {
    UInt32 channel, frames;
    Float32 gain;
};

struct MidiCall {
    UInt8 status, channel, data1, data2;
    UInt32 frame;
    bool operator==(const MidiCall&) const = default;
};

class TestUnit : public AUMIDIEffectBase {
public:
    static constexpr std::size_t kMaxRecords = 512;

    struct ParamRow {
        const char* name;
        AudioUnitParameterUnit unit;
        Float32 minValue, maxValue, defaultValue;
    };
    static constexpr std::array<ParamRow, kNumParams> kParams{{
        {"Gain", kAudioUnitParameterUnit_Generic, 0.0f, 2.0f, 1.0f},
        {"Speed", kAudioUnitParameterUnit_Hertz, 10.0f, 5000.0f, 10.0f},
        {"Steps", kAudioUnitParameterUnit_Indexed, 0.0f, 100.0f, 0.0f},
        {"Mode", kAudioUnitParameterUnit_Indexed, 0.0f, 3.0f, 0.0f},
        {"Note", kAudioUnitParameterUnit_MIDINoteNumber, 0.0f, 127.0f, 60.0f},
    }};
    static constexpr std::array<AUPreset, 2> kPresets{{{0, "Quiet"}, {1, "Loud"}}};

    explicit TestUnit(AudioComponentInstance instance) : AUMIDIEffectBase(instance, false) {
        CreateElements();
        Globals()->UseIndexedParameters(kNumParams);
        for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
            Globals()->SetParameter(id, kParams[id].defaultValue);
        }
    }

    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                              AudioUnitParameterInfo& outInfo) override {
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
    OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID paramID,
                                      plist_t* outStrings) override {
        if (scope != kAudioUnitScope_Global || paramID != kParamMode) {
            return kAudioUnitErr_InvalidProperty;
        }
        if (outStrings != nullptr) {
            *outStrings = plist_new_array();
            for (const char* name : {"Off", "Low", "Mid", "High"}) {
                plist_array_append_item(*outStrings, plist_new_string(name));
            }
        }
        return noErr;
    }
    OSStatus GetPresets(AUPresetList* outPresets) const override {
        if (outPresets != nullptr) {
            *outPresets = AUPresetList{UInt32(kPresets.size()), kPresets.data()};
        }
        return noErr;
    }
    OSStatus NewFactoryPresetSet(const AUPreset& preset) override {
        if (preset.presetNumber < 0 || std::size_t(preset.presetNumber) >= kPresets.size()) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        Globals()->SetParameter(kParamGain, preset.presetNumber == 0 ? 0.25f : 1.75f);
        SetCurrentPreset(preset.presetNumber,
                         kPresets[std::size_t(preset.presetNumber)].presetName);
        return noErr;
    }
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override {
        if (id == kTestProperty_Throw && scope == kAudioUnitScope_Global) {
            outDataSize = sizeof(UInt32);
            outWritable = false;
            return noErr;
        }
        return AUMIDIEffectBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
    }
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override {
        if (id == kTestProperty_Throw && scope == kAudioUnitScope_Global) {
            using Thrower = void (*)();
            static constexpr Thrower throwers[] = {
                [] { throw AUError(kAudioUnitErr_CannotDoInCurrentContext); },
                [] { throw std::bad_alloc(); }, [] { throw SInt32(-1234); },
                [] { throw SInt16(-77); }, [] { throw std::runtime_error("test failure"); }};
            throwers[std::min<AudioUnitElement>(element, 4)]();
        }
        return AUMIDIEffectBase::GetProperty(id, scope, element, outData);
    }
    std::unique_ptr<AUKernelBase> NewKernel() override;
    OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                             UInt32 startFrame) override {
        if (numMidiCalls < kMaxRecords) {
            midiCalls[numMidiCalls++] = MidiCall{status, channel, data1, data2, startFrame};
        }
        return noErr;
    }
    OSStatus HandleSysEx(const UInt8*, UInt32) override {
        ++numSysEx;
        return noErr;
    }
    UInt32 Version() override { return 0x00010201; }
    Float64 GetTailTime() override { return tailTime; }
    bool SupportsTail() override { return true; }

    void ClearRecords() { numProcessCalls = numMidiCalls = numSysEx = 0; }

    // Written on the render thread, read by the test after the render returned.
    std::array<ProcessCall, kMaxRecords> processCalls{};
    std::size_t numProcessCalls = 0;
    std::array<MidiCall, kMaxRecords> midiCalls{};
    std::size_t numMidiCalls = 0;
    std::size_t numSysEx = 0;
    std::atomic<int> kernelResets{0};
    // When set, kernels clear the silence flag only for sounding input.
    bool kernelsReportSilence = false;
    Float64 tailTime = 0.0;
};

class GainKernel : public AUKernelBase {
public:
    explicit GainKernel(TestUnit* unit) : AUKernelBase(unit), m_unit(unit) {}

    void Reset() override { m_unit->kernelResets.fetch_add(1); }
    void Process(const Float32* source, Float32* destination, UInt32 nFrames, UInt32 numChannels,
                 bool& ioSilence) override {
        const Float32 gain = GetParameter(kParamGain);
        if (gain < 0.0f) {
            throw kKernelThrow;
        }
        if (m_unit->numProcessCalls < TestUnit::kMaxRecords) {
            m_unit->processCalls[m_unit->numProcessCalls++] = {GetChannelNum(), nFrames, gain};
        }
        bool sounding = false;
        for (UInt32 i = 0; i < nFrames; ++i) {
            destination[i * numChannels] = source[i * numChannels] * gain;
            sounding = sounding || source[i * numChannels] != 0.0f;
        }
        ioSilence = ioSilence && m_unit->kernelsReportSilence && !sounding;
    }

private:
    TestUnit* m_unit;
};

inline std::unique_ptr<AUKernelBase> TestUnit::NewKernel() {
    return std::make_unique<GainKernel>(this);
}

inline OSStatus TestUnitEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<TestUnit>::Dispatch(params, instance);
}

// Opens a TestUnit through the host API and closes it at the end of the scope.
class HostedUnit {
public:
    HostedUnit() {
        if (AudioComponentInstanceNew(kTestDescription, &TestUnitEntry, &m_unit) != noErr) {
            throw std::runtime_error("cannot open the test unit");
        }
    }
    ~HostedUnit() { AudioComponentInstanceDispose(m_unit); }
    HostedUnit(const HostedUnit&) = delete;
    HostedUnit& operator=(const HostedUnit&) = delete;

    AudioUnit Get() const { return m_unit; }
    TestUnit& Unit() const {
        return *static_cast<TestUnit*>(static_cast<ComponentBase*>(m_unit->storage));
    }

    // Host-API conveniences on the global scope, element 0.
    OSStatus SetParam(AudioUnitParameterID id, AudioUnitParameterValue value) const {
        return AudioUnitSetParameter(m_unit, id, kAudioUnitScope_Global, 0, value, 0);
    }
    AudioUnitParameterValue Param(AudioUnitParameterID id) const {
        AudioUnitParameterValue value = -12345.0f;
        AudioUnitGetParameter(m_unit, id, kAudioUnitScope_Global, 0, &value);
        return value;
    }
    OSStatus SetFormat(AudioUnitScope scope, UInt32 channels) const {
        AudioStreamBasicDescription format = AUIOElement::DefaultStreamFormat();
        format.mChannelsPerFrame = channels;
        return SetProp(kAudioUnitProperty_StreamFormat, format, scope);
    }
    template <typename T>
    OSStatus GetProp(AudioUnitPropertyID id, T& value,
                     AudioUnitScope scope = kAudioUnitScope_Global,
                     AudioUnitElement element = 0) const {
        UInt32 size = sizeof(T);
        return AudioUnitGetProperty(m_unit, id, scope, element, &value, &size);
    }
    template <typename T>
    OSStatus SetProp(AudioUnitPropertyID id, const T& value,
                     AudioUnitScope scope = kAudioUnitScope_Global,
                     AudioUnitElement element = 0) const {
        return AudioUnitSetProperty(m_unit, id, scope, element, &value, sizeof(T));
    }

private:
    AudioUnit m_unit = nullptr;
};

// Non-interleaved float buffers owned by the test, with a buffer list pointing at them.
class TestBuffers {
public:
    TestBuffers(UInt32 channels, UInt32 frames, Float32 fill = 0.0f)
        : m_data(channels, std::vector<Float32>(frames, fill)),
          m_storage(std::make_unique<std::byte[]>(AudioBufferListSize(channels))),
          m_list(new (m_storage.get()) AudioBufferList{}) {
        m_list->mNumberBuffers = channels;
        for (UInt32 i = 0; i < channels; ++i) {
            m_list->mBuffers[i] = AudioBuffer{1, UInt32(frames * sizeof(Float32)), Channel(i)};
        }
    }

    AudioBufferList& List() { return *m_list; }
    Float32* Channel(UInt32 channel) { return m_data[channel].data(); }
    // Points buffer channel at no memory (the unit then lends its own).
    void DetachMemory(UInt32 channel) { m_list->mBuffers[channel] = AudioBuffer{1, 0, nullptr}; }
    // Whether every sample of the first `channels` channels still holds `fill`.
    bool AllEqual(UInt32 channels, Float32 fill) const {
        return std::all_of(m_data.begin(), m_data.begin() + channels, [fill](const auto& samples) {
            return std::count(samples.begin(), samples.end(), fill) == std::ssize(samples);
        });
    }

private:
    std::vector<std::vector<Float32>> m_data;
    std::unique_ptr<std::byte[]> m_storage;
    AudioBufferList* m_list;
};

// A render callback that fills every input buffer with Sample(channel, frame) and counts its
// calls; it can fail, or mark its output silent (all zeros).
struct InputSource {
    static Float32 Sample(UInt32 channel, UInt32 frame) {
        return Float32(channel + 1) + 0.25f * Float32(frame);
    }
    static OSStatus Render(void* refCon, AudioUnitRenderActionFlags* ioActionFlags,
                           const AudioTimeStamp*, UInt32, UInt32 nFrames, AudioBufferList* ioData) {
        auto& source = *static_cast<InputSource*>(refCon);
        ++source.calls;
        if (source.result != noErr) {
            return source.result;
        }
        for (UInt32 c = 0; c < ioData->mNumberBuffers; ++c) {
            for (UInt32 i = 0; i < nFrames; ++i) {
                static_cast<Float32*>(ioData->mBuffers[c].mData)[i] =
                    source.silent ? 0.0f : Sample(c, i);
            }
        }
        *ioActionFlags |= source.silent ? UInt32(kAudioUnitRenderAction_OutputIsSilence) : 0u;
        return noErr;
    }

    UInt32 calls = 0;
    OSStatus result = noErr;
    bool silent = false;
};

// A property listener that counts its calls in an int.
inline void CountCall(void* count, AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                      AudioUnitElement) {
    ++*static_cast<int*>(count);
}

// Connects source as the render callback of input 0 of unit.
inline OSStatus ConnectSource(AudioUnit unit, InputSource& source) {
    const AURenderCallbackStruct callback{&InputSource::Render, &source};
    return AudioUnitSetProperty(unit, kAudioUnitProperty_SetRenderCallback, kAudioUnitScope_Input,
                                0, &callback, sizeof(callback));
}

// One render of `frames` at sample time `sampleTime`, which then advances by the frames.
inline OSStatus RenderAt(AudioUnit unit, Float64& sampleTime, UInt32 frames, AudioBufferList& out,
                         AudioUnitRenderActionFlags* flags = nullptr) {
    AudioUnitRenderActionFlags none = 0;
    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = sampleTime;
    timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
    sampleTime += frames;
    return AudioUnitRender(unit, flags != nullptr ? flags : &none, &timeStamp, 0, frames, &out);
}

} // namespace fwtest
