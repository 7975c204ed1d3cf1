// The component entry and dispatcher: open and close, selectors, exception results, MIDI,
// parameters, properties, property listeners and presets, all through the host API.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

#include "CountingAllocator.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

TEST(FrameworkDispatch, RequestsWithoutAUnitAnswerParamError) {
    AudioUnitParameterValue value = 0;
    EXPECT_EQ(AudioUnitInitialize(nullptr), kAudio_ParamError);
    EXPECT_EQ(AudioUnitGetParameter(nullptr, 0, 0, 0, &value), kAudio_ParamError);
    EXPECT_EQ(MusicDeviceMIDIEvent(nullptr, 0x90, 60, 100, 0), kAudio_ParamError);
    EXPECT_EQ(AudioComponentInstanceDispose(nullptr), kAudio_ParamError);
    // A handle whose unit was never opened.
    ComponentInstanceRecord record{kTestDescription, &TestUnitEntry, nullptr};
    EXPECT_EQ(AudioUnitInitialize(&record), kAudio_ParamError);
    EXPECT_EQ(AudioUnitGetParameter(&record, 0, 0, 0, &value), kAudio_ParamError);
    EXPECT_EQ(TestUnitEntry(nullptr, &record), kAudio_ParamError);
    // Opening a handle twice.
    HostedUnit host;
    ComponentParameters open{};
    open.what = kComponentOpenSelect;
    EXPECT_EQ(TestUnitEntry(&open, host.Get()), kAudio_ParamError);
}

TEST(FrameworkDispatch, UnknownSelectorAnswersBadSelectorAndCanDoAgrees) {
    HostedUnit host;
    for (const SInt16 selector : {SInt16(8), SInt16(12), SInt16(0x103), SInt16(-5)}) {
        ComponentParameters params{};
        params.what = selector;
        EXPECT_EQ(host.Get()->entry(&params, host.Get()), badComponentSelector) << selector;
        EXPECT_EQ(CallComponentCanDo(host.Get(), selector), 0) << selector;
    }
    for (const SInt16 selector :
         {kComponentOpenSelect, kAudioUnitScheduleParametersSelect, kMusicDeviceSysExSelect,
          kAudioUnitRemovePropertyListenerWithUserDataSelect}) {
        EXPECT_EQ(CallComponentCanDo(host.Get(), selector), 1) << selector;
    }
    EXPECT_EQ(CallComponentVersion(host.Get()), 0x00010201);
}

TEST(FrameworkDispatch, EscapingExceptionBecomesTheResult) {
    HostedUnit host;
    const OSStatus expected[] = {kAudioUnitErr_CannotDoInCurrentContext, kAudio_MemFullError, -1234,
                                 -77, -1};
    for (AudioUnitElement element = 0; element < 5; ++element) {
        UInt32 value = 0;
        EXPECT_EQ(host.GetProp(kTestProperty_Throw, value, kAudioUnitScope_Global, element),
                  expected[element]);
    }
}

// Fails each allocation of the open in turn until the open gets through.
TEST(FrameworkDispatch, OpenFailingForMemoryLeavesNothingBehind) {
    for (std::size_t n = 1; n < 10000; ++n) {
        AudioUnit unit = nullptr;
        std::optional<MV::test::AllocationFailer> failer(std::in_place, n);
        const OSStatus result = AudioComponentInstanceNew(kTestDescription, &TestUnitEntry, &unit);
        const bool failed = failer->Failed();
        failer.reset();
        if (!failed) {
            ASSERT_OK(result);
            EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
            return;
        }
        EXPECT_EQ(result, kAudio_MemFullError) << "allocation " << n;
        EXPECT_EQ(unit, nullptr);
    }
    FAIL() << "the open never got through";
}

// Both the dispatched request and the fast entry split the status into kind and channel.
TEST(FrameworkDispatch, MidiStatusIsSplitOnBothEntries) {
    HostedUnit host;
    MusicDeviceMIDIEventProc proc = nullptr;
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FastDispatch, proc, kAudioUnitScope_Global,
                           kMusicDeviceMIDIEventSelect));
    ASSERT_NE(proc, nullptr);
    const UInt8 cases[][3] = {
        {0x93, 0x90, 3}, {0x80, 0x80, 0}, {0xBF, 0xB0, 15}, {0xE5, 0xE0, 5}, {0xF8, 0xF0, 8}};
    const TestUnit& unit = host.Unit();
    for (const auto& [status, kind, channel] : cases) {
        ASSERT_OK(MusicDeviceMIDIEvent(host.Get(), status, 0x41, 0x7F, 37));
        ASSERT_OK(proc(host.Get()->storage, status, 0x41, 0x7F, 37));
        for (std::size_t i = unit.numMidiCalls - 2; i < unit.numMidiCalls; ++i) {
            EXPECT_EQ(unit.midiCalls[i], (MidiCall{kind, channel, 0x41, 0x7F, 37})) << int(status);
        }
    }
    EXPECT_EQ(unit.numMidiCalls, 2 * std::size(cases));
}

TEST(FrameworkDispatch, SysExNeedsAnInitialisedUnit) {
    HostedUnit host;
    const UInt8 message[] = {0xF0, 0x7D, 0x01, 0xF7};
    EXPECT_EQ(MusicDeviceSysEx(host.Get(), message, sizeof(message)), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(host.Unit().numSysEx, 0u);
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    EXPECT_EQ(MusicDeviceSysEx(host.Get(), message, sizeof(message)), noErr);
    EXPECT_EQ(host.Unit().numSysEx, 1u);
}

// Mapped storage (the input scope): a get misses, a set while uninitialised adds the number,
// a set while initialised adds nothing.
TEST(FrameworkDispatch, ParameterLookupsAnswerTheirErrorAndMappedNumbersComeOnlyBeforeInit) {
    HostedUnit host;
    const AudioUnit unit = host.Get();
    const struct {
        AudioUnitParameterID id;
        AudioUnitScope scope;
        AudioUnitElement element;
        OSStatus expected;
    } cases[] = {{kNumParams, kAudioUnitScope_Global, 0, kAudioUnitErr_InvalidParameter},
                 {0, kAudioUnitScope_Global, 1, kAudioUnitErr_InvalidElement},
                 {0, 4, 0, kAudioUnitErr_InvalidScope},
                 {0, kAudioUnitScope_Group, 0, kAudioUnitErr_InvalidElement},
                 {7, kAudioUnitScope_Input, 0, kAudioUnitErr_InvalidParameter}};
    AudioUnitParameterValue value = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(AudioUnitGetParameter(unit, c.id, c.scope, c.element, &value), c.expected);
        EXPECT_EQ(AudioUnitSetParameter(unit, c.id, c.scope, c.element, 1.0f, 0),
                  c.scope == kAudioUnitScope_Input ? noErr : c.expected);
    }
    ASSERT_OK(AudioUnitSetParameter(unit, 9, kAudioUnitScope_Output, 0, 3.0f, 0));
    ASSERT_OK(AudioUnitInitialize(unit));
    ASSERT_OK(AudioUnitSetParameter(unit, 4, kAudioUnitScope_Output, 0, 5.0f, 0));
    EXPECT_EQ(AudioUnitGetParameter(unit, 4, kAudioUnitScope_Output, 0, &value),
              kAudioUnitErr_InvalidParameter);
    ASSERT_OK(AudioUnitSetParameter(unit, 9, kAudioUnitScope_Output, 0, 6.0f, 0));
    ASSERT_OK(AudioUnitGetParameter(unit, 9, kAudioUnitScope_Output, 0, &value));
    EXPECT_EQ(value, 6.0f);
}

// What the listeners heard, in order: 10 * tag (the user data) + scope.
std::vector<int> g_heard;

void LogListener(void* userData, AudioUnit, AudioUnitPropertyID, AudioUnitScope scope,
                 AudioUnitElement) {
    g_heard.push_back(*static_cast<int*>(userData) * 10 + int(scope));
}

void OtherListener(void* userData, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                   AudioUnitElement element) {
    LogListener(userData, unit, id, scope, element);
}

TEST(FrameworkDispatch, PropertyListenersRunInRegistrationOrderAndAreRemovedSelectively) {
    HostedUnit host;
    int a = 1, b = 2, c = 3;
    const AudioUnit unit = host.Get();
    const AudioUnitPropertyID format = kAudioUnitProperty_StreamFormat;
    g_heard.clear();
    ASSERT_OK(AudioUnitAddPropertyListener(unit, format, &LogListener, &b));
    ASSERT_OK(AudioUnitAddPropertyListener(unit, format, &LogListener, &a));
    ASSERT_OK(AudioUnitAddPropertyListener(unit, format, &OtherListener, &c));
    ASSERT_OK(
        AudioUnitAddPropertyListener(unit, kAudioUnitProperty_PresentPreset, &LogListener, &c));
    ASSERT_OK(host.SetFormat(kAudioUnitScope_Input, 1));
    EXPECT_EQ(std::exchange(g_heard, {}), (std::vector<int>{21, 11, 31}));
    ASSERT_OK(AudioUnitRemovePropertyListenerWithUserData(unit, format, &LogListener, &b));
    ASSERT_OK(host.SetFormat(kAudioUnitScope_Output, 1));
    EXPECT_EQ(std::exchange(g_heard, {}), (std::vector<int>{12, 32}));
    ASSERT_OK(AudioUnitRemovePropertyListener(unit, format, &LogListener));
    ASSERT_OK(host.SetFormat(kAudioUnitScope_Global, 2));
    EXPECT_EQ(std::exchange(g_heard, {}), (std::vector<int>{30}));
}

TEST(FrameworkDispatch, UnsupportedFormatIsRefusedAndKept) {
    using Change = void (*)(AudioStreamBasicDescription&);
    const Change changes[] = {
        [](auto& f) { f.mFormatID = FourCC("aac "); },
        [](auto& f) {
            f.mFormatFlags ^= kAudioFormatFlagIsFloat | kAudioFormatFlagIsSignedInteger;
        },
        [](auto& f) { f.mBitsPerChannel = 16, f.mBytesPerFrame = f.mBytesPerPacket = 2; },
        [](auto& f) { f.mBytesPerPacket = 8; },
        [](auto& f) {
            f.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
            f.mBytesPerFrame = f.mBytesPerPacket = 8;
        },
        [](auto& f) { f.mSampleRate = 0.0; },
        [](auto& f) { f.mSampleRate = -48000.0; },
        [](auto& f) { f.mSampleRate = 0.5; },
        [](auto& f) { f.mSampleRate = std::nan(""); },
        [](auto& f) { f.mSampleRate = INFINITY; }};
    HostedUnit host;
    const AudioStreamBasicDescription initial = AUIOElement::DefaultStreamFormat();
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        AudioStreamBasicDescription format = initial;
        changes[i](format);
        EXPECT_EQ(host.SetProp(kAudioUnitProperty_StreamFormat, format, kAudioUnitScope_Input, 0),
                  kAudioUnitErr_FormatNotSupported)
            << "case " << i;
        ASSERT_OK(host.GetProp(kAudioUnitProperty_StreamFormat, format, kAudioUnitScope_Input, 0));
        EXPECT_EQ(std::memcmp(&format, &initial, sizeof(format)), 0) << "case " << i;
    }
}

TEST(FrameworkDispatch, PropertyRefusalsNameTheirReason) {
    HostedUnit host;
    const AudioUnit unit = host.Get();
    UInt32 size = 0;
    Boolean writable = true;
    ASSERT_OK(AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_LastRenderError,
                                       kAudioUnitScope_Global, 0, &size, &writable));
    EXPECT_FALSE(writable);
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_LastRenderError, OSStatus(-1)),
              kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(AudioUnitGetPropertyInfo(unit, 12345, kAudioUnitScope_Global, 0, &size, &writable),
              kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(
        AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_ElementCount, 6, 0, &size, &writable),
        kAudioUnitErr_InvalidScope);
    EXPECT_EQ(AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_ElementName, kAudioUnitScope_Output,
                                       3, &size, &writable),
              kAudioUnitErr_InvalidElement);
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_MaximumFramesPerSlice, UInt32(0)),
              kAudioUnitErr_InvalidPropertyValue);
    AudioUnitParameterInfo info{};
    size = sizeof(info) - 1;
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global,
                                   kParamSpeed, &info, &size),
              kAudio_ParamError);
}

TEST(FrameworkDispatch, PresentPresetLoadsFactoryPresetsOrTakesUserPresets) {
    HostedUnit host;
    int heard = 0;
    ASSERT_OK(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_PresentPreset, &CountCall,
                                           &heard));
    auto present = [&host] {
        AUPreset preset{};
        EXPECT_EQ(host.GetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
        return std::to_string(preset.presetNumber) + " " + preset.presetName;
    };
    EXPECT_EQ(present(), "-1 Untitled");
    AUPresetList list{};
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FactoryPresets, list));
    ASSERT_EQ(list.count, 2u);
    EXPECT_STREQ(list.presets[1].presetName, "Loud");
    ASSERT_OK(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{1, nullptr}));
    EXPECT_EQ(present(), "1 Loud");
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    for (const SInt32 number : {7, -4}) {
        EXPECT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{number, nullptr}),
                  kAudioUnitErr_InvalidPropertyValue);
    }
    EXPECT_EQ(present(), "1 Loud");
    EXPECT_EQ(heard, 1) << "refusals are not announced";
    std::string name = "My sound";
    ASSERT_OK(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{-4, name.c_str()}));
    name = "changed"; // the unit keeps its own copy of the name
    EXPECT_EQ(present(), "-4 My sound");
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    EXPECT_EQ(heard, 2);
}

} // namespace
} // namespace fwtest
