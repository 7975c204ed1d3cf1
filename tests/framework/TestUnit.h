// A small MIDI-controlled effect that drives the framework through the host API in tests:
// a gain kernel per channel that records every Process call, a MIDI handler that records every
// event, five parameters, two factory presets and a property that throws on request; plus
// test-owned buffers and an input source for renders.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <memory>
#include <vector>

#include "AUMIDIEffectBase.h"
#include "AudioUnitAPI.h"

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
    UInt32 channel;
    UInt32 frames;
    Float32 gain;
};

struct MidiCall {
    UInt8 status;
    UInt8 channel;
    UInt8 data1;
    UInt8 data2;
    UInt32 frame;
    bool operator==(const MidiCall&) const = default;
};

class TestUnit : public AUMIDIEffectBase {
public:
    static constexpr std::size_t kMaxRecords = 512;

    explicit TestUnit(AudioComponentInstance instance);

    OSStatus GetParameterInfo(AudioUnitScope scope, AudioUnitParameterID paramID,
                              AudioUnitParameterInfo& outInfo) override;
    OSStatus GetParameterValueStrings(AudioUnitScope scope, AudioUnitParameterID paramID,
                                      plist_t* outStrings) override;
    OSStatus GetPresets(AUPresetList* outPresets) const override;
    OSStatus NewFactoryPresetSet(const AUPreset& preset) override;
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    std::unique_ptr<AUKernelBase> NewKernel() override;
    OSStatus HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                             UInt32 startFrame) override;
    OSStatus HandleSysEx(const UInt8* data, UInt32 length) override;
    UInt32 Version() override { return 0x00010201; }
    Float64 GetTailTime() override { return m_tailTime; }
    bool SupportsTail() override { return true; }

    void SetTailTime(Float64 seconds) { m_tailTime = seconds; }
    // Written on the render thread, read by the test after the render returned.
    void RecordProcess(UInt32 channel, UInt32 frames, Float32 gain);
    void ClearRecords() { numProcessCalls = numMidiCalls = numSysEx = 0; }

    std::array<ProcessCall, kMaxRecords> processCalls{};
    std::size_t numProcessCalls = 0;
    std::array<MidiCall, kMaxRecords> midiCalls{};
    std::size_t numMidiCalls = 0;
    std::size_t numSysEx = 0;
    std::atomic<int> kernelResets{0};
    // When set, kernels clear the silence flag only for sounding input.
    bool kernelsReportSilence = false;

private:
    Float64 m_tailTime = 0.0;
};

// The component entry of TestUnit.
OSStatus TestUnitEntry(ComponentParameters* params, ComponentInstance instance);

// The TestUnit inside an instance handle.
TestUnit& UnitOf(AudioUnit unit);

// Opens a TestUnit through the host API and closes it at the end of the scope.
class HostedUnit {
public:
    HostedUnit();
    ~HostedUnit() { AudioComponentInstanceDispose(m_unit); }
    HostedUnit(const HostedUnit&) = delete;
    HostedUnit& operator=(const HostedUnit&) = delete;

    AudioUnit Get() const { return m_unit; }
    TestUnit& Unit() const { return UnitOf(m_unit); }

    // Host-API conveniences on the global scope, element 0.
    OSStatus SetParam(AudioUnitParameterID id, AudioUnitParameterValue value) const {
        return AudioUnitSetParameter(m_unit, id, kAudioUnitScope_Global, 0, value, 0);
    }
    AudioUnitParameterValue Param(AudioUnitParameterID id) const;
    OSStatus SetFormat(AudioUnitScope scope, UInt32 channels) const;
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
    TestBuffers(UInt32 channels, UInt32 frames, Float32 fill = 0.0f);
    TestBuffers(const TestBuffers&) = delete;
    TestBuffers& operator=(const TestBuffers&) = delete;

    AudioBufferList& List() { return *m_list; }
    Float32* Channel(UInt32 channel) { return m_data[channel].data(); }
    UInt32 Frames() const { return m_frames; }
    // Points buffer channel at no memory (the unit then lends its own).
    void DetachMemory(UInt32 channel) { m_list->mBuffers[channel] = AudioBuffer{1, 0, nullptr}; }

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

// One render of `frames` at sample time `sampleTime`, which then advances by the frames.
OSStatus RenderAt(AudioUnit unit, Float64& sampleTime, UInt32 frames, AudioBufferList& out,
                  AudioUnitRenderActionFlags* flags = nullptr);

} // namespace fwtest
