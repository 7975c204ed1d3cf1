// Records, numbers and codes of the host plug-in interface that Fluxet speaks.
//
// The numbers and record layouts are those the host interface publishes, so that
// saved states, presets and automation mean the same thing in every host binding
// (the command-line renderer, the LV2 plug-in) and in tests.
#pragma once

#include <cstddef>
#include <cstdint>

using UInt8 = std::uint8_t;
using SInt8 = std::int8_t;
using UInt16 = std::uint16_t;
using SInt16 = std::int16_t;
using UInt32 = std::uint32_t;
using SInt32 = std::int32_t;
using UInt64 = std::uint64_t;
using SInt64 = std::int64_t;
using Float32 = float;
using Float64 = double;
using Boolean = bool;
using OSStatus = SInt32;
using OSType = UInt32;

// A four-character code such as 'Flxt', spelled as a constant expression.
constexpr OSType FourCC(const char (&code)[5]) {
    return (OSType(UInt8(code[0])) << 24) | (OSType(UInt8(code[1])) << 16) |
           (OSType(UInt8(code[2])) << 8) | OSType(UInt8(code[3]));
}

// ---------------------------------------------------------------------------
// Results

enum : OSStatus {
    noErr = 0,
    ioErr = -36,
    fnfErr = -43,
    kAudio_ParamError = -50,
    kAudio_MemFullError = -108,
    kAudioUnitErr_Initialized = -10849,
    kAudioUnitErr_InvalidPropertyValue = -10851,
    kAudioUnitErr_CannotDoInCurrentContext = -10863,
    kAudioUnitErr_PropertyNotWritable = -10865,
    kAudioUnitErr_InvalidScope = -10866,
    kAudioUnitErr_Uninitialized = -10867,
    kAudioUnitErr_FormatNotSupported = -10868,
    kAudioUnitErr_TooManyFramesToProcess = -10874,
    kAudioUnitErr_NoConnection = -10876,
    kAudioUnitErr_InvalidElement = -10877,
    kAudioUnitErr_InvalidParameter = -10878,
    kAudioUnitErr_InvalidProperty = -10879,
    badComponentInstance = SInt32(0x80008001u),
    badComponentSelector = SInt32(0x80008002u),
};

// ---------------------------------------------------------------------------
// Scopes, elements, parameters

using AudioUnitScope = UInt32;
using AudioUnitElement = UInt32;
using AudioUnitParameterID = UInt32;
using AudioUnitPropertyID = UInt32;
using AudioUnitParameterValue = Float32;

enum : AudioUnitScope {
    kAudioUnitScope_Global = 0,
    kAudioUnitScope_Input = 1,
    kAudioUnitScope_Output = 2,
    kAudioUnitScope_Group = 3,
};

using AudioUnitParameterUnit = UInt32;
enum : AudioUnitParameterUnit {
    kAudioUnitParameterUnit_Generic = 0,
    kAudioUnitParameterUnit_Indexed = 1,
    kAudioUnitParameterUnit_Boolean = 2,
    kAudioUnitParameterUnit_Percent = 3,
    kAudioUnitParameterUnit_Seconds = 4,
    kAudioUnitParameterUnit_SampleFrames = 5,
    kAudioUnitParameterUnit_Phase = 6,
    kAudioUnitParameterUnit_Rate = 7,
    kAudioUnitParameterUnit_Hertz = 8,
    kAudioUnitParameterUnit_Cents = 9,
    kAudioUnitParameterUnit_RelativeSemiTones = 10,
    kAudioUnitParameterUnit_MIDINoteNumber = 11,
    kAudioUnitParameterUnit_MIDIController = 12,
    kAudioUnitParameterUnit_Decibels = 13,
    kAudioUnitParameterUnit_LinearGain = 14,
    kAudioUnitParameterUnit_Degrees = 15,
    kAudioUnitParameterUnit_EqualPowerCrossfade = 16,
    kAudioUnitParameterUnit_MixerFaderCurve1 = 17,
    kAudioUnitParameterUnit_Pan = 18,
    kAudioUnitParameterUnit_Meters = 19,
    kAudioUnitParameterUnit_AbsoluteCents = 20,
    kAudioUnitParameterUnit_Octaves = 21,
    kAudioUnitParameterUnit_BPM = 22,
    kAudioUnitParameterUnit_Beats = 23,
    kAudioUnitParameterUnit_Milliseconds = 24,
    kAudioUnitParameterUnit_Ratio = 25,
    kAudioUnitParameterUnit_CustomUnit = 26,
};

using AudioUnitParameterOptions = UInt32;
enum : AudioUnitParameterOptions {
    kAudioUnitParameterFlag_Global = 1u << 0,
    kAudioUnitParameterFlag_ValuesHaveStrings = 1u << 21,
    kAudioUnitParameterFlag_HasCFNameString = 1u << 27,
    kAudioUnitParameterFlag_IsReadable = 1u << 30,
    kAudioUnitParameterFlag_IsWritable = 1u << 31,
};

// Parameter information record. String references are plain C strings here; the
// strings they point to outlive the record (static tables or the unit).
struct AudioUnitParameterInfo {
    char name[52];
    const char* unitName;
    UInt32 clumpID;
    const char* cfNameString;
    AudioUnitParameterUnit unit;
    AudioUnitParameterValue minValue;
    AudioUnitParameterValue maxValue;
    AudioUnitParameterValue defaultValue;
    AudioUnitParameterOptions flags;
};

using AUParameterEventType = UInt32;
enum : AUParameterEventType {
    kParameterEvent_Immediate = 1,
    kParameterEvent_Ramped = 2,
};

// The host's scheduled-parameter record (32 bytes).
struct AudioUnitParameterEvent {
    AudioUnitScope scope;
    AudioUnitElement element;
    AudioUnitParameterID parameter;
    AUParameterEventType eventType;
    union {
        struct {
            SInt32 startBufferOffset;
            UInt32 durationInFrames;
            AudioUnitParameterValue startValue;
            AudioUnitParameterValue endValue;
        } ramp;
        struct {
            UInt32 bufferOffset;
            AudioUnitParameterValue value;
        } immediate;
    } eventValues;
};
static_assert(sizeof(AudioUnitParameterEvent) == 32);

// ---------------------------------------------------------------------------
// Properties

enum : AudioUnitPropertyID {
    kAudioUnitProperty_ClassInfo = 0,
    kAudioUnitProperty_MakeConnection = 1,
    kAudioUnitProperty_SampleRate = 2,
    kAudioUnitProperty_ParameterList = 3,
    kAudioUnitProperty_ParameterInfo = 4,
    kAudioUnitProperty_FastDispatch = 5,
    kAudioUnitProperty_CPULoad = 6,
    kAudioUnitProperty_StreamFormat = 8,
    kAudioUnitProperty_ElementCount = 11,
    kAudioUnitProperty_Latency = 12,
    kAudioUnitProperty_SupportedNumChannels = 13,
    kAudioUnitProperty_MaximumFramesPerSlice = 14,
    kAudioUnitProperty_ParameterValueStrings = 16,
    kAudioUnitProperty_GetUIComponentList = 18,
    kAudioUnitProperty_TailTime = 20,
    kAudioUnitProperty_BypassEffect = 21,
    kAudioUnitProperty_LastRenderError = 22,
    kAudioUnitProperty_SetRenderCallback = 23,
    kAudioUnitProperty_FactoryPresets = 24,
    kAudioUnitProperty_RenderQuality = 26,
    kAudioUnitProperty_HostCallbacks = 27,
    kAudioUnitProperty_InPlaceProcessing = 29,
    kAudioUnitProperty_ElementName = 30,
    kAudioUnitProperty_CocoaUI = 31,
    kAudioUnitProperty_ParameterStringFromValue = 33,
    kAudioUnitProperty_PresentPreset = 36,
    kMusicDeviceProperty_MIDIXMLNames = 1006,
};

// Private properties of the effect unit (global scope, element 0).
enum : AudioUnitPropertyID {
    kMrvnProperty_DataToGui = 64001,
    kMrvnProperty_PrimaryAppSupportName = 64002,
    kMrvnProperty_SecondaryAppSupportName = 64003,
    kMrvnProperty_ProductName = 64004,
    kMrvnProperty_ParameterNames = 64005,
    kMrvnProperty_NumParameters = 64007,
    kMrvnProperty_ReapplyOSCPort = 64008,
    kMrvnProperty_OSCPortOffset = 64009,
    kMrvnProperty_ParameterInfos = 64010,
    kMrvnProperty_SecondaryGuiFilename = 64011,
    // Set only, on the render thread: a MrvnTransportEvent for the next render call.
    kMrvnProperty_TransportEvent = 64012,
};

// Present-preset and factory-preset entries. A name points at storage that lives
// at least as long as the unit that answered with it.
struct AUPreset {
    SInt32 presetNumber;
    const char* presetName;
};

// Factory-preset property answer: the unit's own array, valid for the unit's life.
struct AUPresetList {
    UInt32 count;
    const AUPreset* presets;
};

// String-from-value request (24 bytes). outString is a static text or null.
struct AudioUnitParameterStringFromValue {
    AudioUnitParameterID inParamID;
    const AudioUnitParameterValue* inValue;
    const char* outString;
};
static_assert(sizeof(AudioUnitParameterStringFromValue) == 24);

// Editor property (16 bytes): bundle location and view-factory class name.
struct AudioUnitCocoaViewInfo {
    const char* mCocoaAUViewBundleLocation;
    const char* mCocoaAUViewClass[1];
};
static_assert(sizeof(AudioUnitCocoaViewInfo) == 16);

struct ComponentDescription {
    OSType componentType;
    OSType componentSubType;
    OSType componentManufacturer;
    UInt32 componentFlags;
    UInt32 componentFlagsMask;
};

// ---------------------------------------------------------------------------
// Audio formats and buffers

using AudioFormatID = UInt32;
using AudioFormatFlags = UInt32;

constexpr AudioFormatID kAudioFormatLinearPCM = FourCC("lpcm");

enum : AudioFormatFlags {
    kAudioFormatFlagIsFloat = 1u << 0,
    kAudioFormatFlagIsBigEndian = 1u << 1,
    kAudioFormatFlagIsSignedInteger = 1u << 2,
    kAudioFormatFlagIsPacked = 1u << 3,
    kAudioFormatFlagIsAlignedHigh = 1u << 4,
    kAudioFormatFlagIsNonInterleaved = 1u << 5,
    kAudioFormatFlagIsNonMixable = 1u << 6,
    kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked,
};

struct AudioStreamBasicDescription {
    Float64 mSampleRate;
    AudioFormatID mFormatID;
    AudioFormatFlags mFormatFlags;
    UInt32 mBytesPerPacket;
    UInt32 mFramesPerPacket;
    UInt32 mBytesPerFrame;
    UInt32 mChannelsPerFrame;
    UInt32 mBitsPerChannel;
    UInt32 mReserved;
};

// The format the effect frame works in: 32-bit native floats, one buffer per channel.
inline AudioStreamBasicDescription CanonicalStreamFormat(Float64 sampleRate, UInt32 channels) {
    AudioStreamBasicDescription format{};
    format.mSampleRate = sampleRate;
    format.mFormatID = kAudioFormatLinearPCM;
    format.mFormatFlags = kAudioFormatFlagsNativeFloatPacked | kAudioFormatFlagIsNonInterleaved;
    format.mBytesPerPacket = sizeof(Float32);
    format.mFramesPerPacket = 1;
    format.mBytesPerFrame = sizeof(Float32);
    format.mChannelsPerFrame = channels;
    format.mBitsPerChannel = 32;
    return format;
}

struct AudioBuffer {
    UInt32 mNumberChannels;
    UInt32 mDataByteSize;
    void* mData;
};

// Variable-length: mNumberBuffers entries follow in place (allocate with
// AudioBufferListSize).
struct AudioBufferList {
    UInt32 mNumberBuffers;
    AudioBuffer mBuffers[1];
};

constexpr std::size_t AudioBufferListSize(UInt32 numberBuffers) {
    return offsetof(AudioBufferList, mBuffers) +
           sizeof(AudioBuffer) * (numberBuffers > 0 ? numberBuffers : 1);
}

enum : UInt32 {
    kAudioTimeStampSampleTimeValid = 1u << 0,
    kAudioTimeStampHostTimeValid = 1u << 1,
    kAudioTimeStampRateScalarValid = 1u << 2,
    kAudioTimeStampWordClockTimeValid = 1u << 3,
};

struct AudioTimeStamp {
    Float64 mSampleTime;
    UInt64 mHostTime;
    Float64 mRateScalar;
    UInt64 mWordClockTime;
    UInt32 mFlags;
    UInt32 mReserved;
};

using AudioUnitRenderActionFlags = UInt32;
enum : AudioUnitRenderActionFlags {
    kAudioUnitRenderAction_PreRender = 1u << 2,
    kAudioUnitRenderAction_PostRender = 1u << 3,
    kAudioUnitRenderAction_OutputIsSilence = 1u << 4,
    kAudioUnitRenderAction_PostRenderError = 1u << 8,
};

// ---------------------------------------------------------------------------
// Instances, callbacks and host-side records

struct ComponentInstanceRecord;
using ComponentInstance = ComponentInstanceRecord*;
using AudioComponentInstance = ComponentInstance;
using AudioUnit = ComponentInstance;

using AURenderCallback = OSStatus (*)(void* inRefCon, AudioUnitRenderActionFlags* ioActionFlags,
                                      const AudioTimeStamp* inTimeStamp, UInt32 inBusNumber,
                                      UInt32 inNumberFrames, AudioBufferList* ioData);

struct AURenderCallbackStruct {
    AURenderCallback inputProc;
    void* inputProcRefCon;
};

struct AudioUnitConnection {
    AudioUnit sourceAudioUnit;
    UInt32 sourceOutputNumber;
    UInt32 destInputNumber;
};

using AudioUnitPropertyListenerProc = void (*)(void* inRefCon, AudioUnit inUnit,
                                               AudioUnitPropertyID inID, AudioUnitScope inScope,
                                               AudioUnitElement inElement);

// Host callback table (tempo, musical time and transport queries): 40 bytes.
struct HostCallbackInfo {
    void* hostUserData;
    void* beatAndTempoProc;
    void* musicalTimeLocationProc;
    void* transportStateProc;
    void* transportStateProc2;
};
static_assert(sizeof(HostCallbackInfo) == 40);

// Direct MIDI entry handed out through the fast-dispatch property.
using MusicDeviceMIDIEventProc = OSStatus (*)(void* inComponentStorage, UInt32 inStatus,
                                              UInt32 inData1, UInt32 inData2,
                                              UInt32 inOffsetSampleFrame);

// Direct parameter and render entries handed out through the fast-dispatch property; the
// first argument is the instance's storage, as for the MIDI entry.
using AudioUnitGetParameterProc = OSStatus (*)(void* inComponentStorage, AudioUnitParameterID inID,
                                               AudioUnitScope inScope, AudioUnitElement inElement,
                                               AudioUnitParameterValue* outValue);
using AudioUnitSetParameterProc = OSStatus (*)(void* inComponentStorage, AudioUnitParameterID inID,
                                               AudioUnitScope inScope, AudioUnitElement inElement,
                                               AudioUnitParameterValue inValue,
                                               UInt32 inBufferOffsetInFrames);
using AudioUnitRenderProc = OSStatus (*)(void* inComponentStorage,
                                         AudioUnitRenderActionFlags* ioActionFlags,
                                         const AudioTimeStamp* inTimeStamp,
                                         UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                                         AudioBufferList* ioData);

// A parameter as the host services name it.
struct AudioUnitParameter {
    AudioUnit mAudioUnit;
    AudioUnitParameterID mParameterID;
    AudioUnitScope mScope;
    AudioUnitElement mElement;
};

struct AudioUnitProperty {
    AudioUnit mAudioUnit;
    AudioUnitPropertyID mPropertyID;
    AudioUnitScope mScope;
    AudioUnitElement mElement;
};

using AudioUnitEventType = UInt32;
enum : AudioUnitEventType {
    kAudioUnitEvent_ParameterValueChange = 0,
    kAudioUnitEvent_BeginParameterChangeGesture = 1,
    kAudioUnitEvent_EndParameterChangeGesture = 2,
    kAudioUnitEvent_PropertyChange = 3,
};

struct AudioUnitEvent {
    AudioUnitEventType mEventType;
    union {
        AudioUnitParameter mParameter;
        AudioUnitProperty mProperty;
    } mArgument;
};
