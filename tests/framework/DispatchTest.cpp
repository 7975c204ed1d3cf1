// The component entry and dispatcher: open and close, selectors, exception results, MIDI,
// parameters, properties, property listeners and presets, all through the host API.
#include <gtest/gtest.h>

#include <string>
#include <vector>

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
         {kComponentOpenSelect, kComponentVersionSelect, kAudioUnitRenderSelect,
          kAudioUnitScheduleParametersSelect, kMusicDeviceMIDIEventSelect, kMusicDeviceSysExSelect,
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

TEST(FrameworkDispatch, OpenFailingForMemoryLeavesNothingBehind) {
    // Fail each allocation of the open in turn until the open gets through.
    bool opened = false;
    for (std::size_t n = 1; n < 10000 && !opened; ++n) {
        AudioUnit unit = nullptr;
        OSStatus result;
        bool failed;
        {
            MV::test::AllocationFailer failer(n);
            result = AudioComponentInstanceNew(kTestDescription, &TestUnitEntry, &unit);
            failed = failer.Failed();
        }
        if (failed) {
            EXPECT_EQ(result, kAudio_MemFullError) << "allocation " << n;
            EXPECT_EQ(unit, nullptr);
        } else {
            ASSERT_OK(result);
            EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
            opened = true;
        }
    }
    EXPECT_TRUE(opened);
}

// Both the dispatched request and the fast entry split the status into kind and channel.
TEST(FrameworkDispatch, MidiStatusIsSplitOnBothEntries) {
    HostedUnit host;
    MusicDeviceMIDIEventProc proc = nullptr;
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FastDispatch, proc, kAudioUnitScope_Global,
                           kMusicDeviceMIDIEventSelect));
    ASSERT_NE(proc, nullptr);
    const UInt32 cases[][3] = {
        {0x93, 0x90, 3}, {0x80, 0x80, 0}, {0xBF, 0xB0, 15}, {0xE5, 0xE0, 5}, {0xF8, 0xF0, 8}};
    for (const auto& [status, kind, channel] : cases) {
        ASSERT_OK(MusicDeviceMIDIEvent(host.Get(), status, 0x41, 0x7F, 37));
        ASSERT_OK(proc(host.Get()->storage, status, 0x41, 0x7F, 37));
    }
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numMidiCalls, 2 * std::size(cases));
    for (std::size_t i = 0; i < unit.numMidiCalls; ++i) {
        const auto& [status, kind, channel] = cases[i / 2];
        EXPECT_EQ(unit.midiCalls[i], (MidiCall{UInt8(kind), UInt8(channel), 0x41, 0x7F, 37}))
            << "status " << status << (i % 2 == 0 ? " dispatched" : " fast");
    }
}

TEST(FrameworkDispatch, FastParameterEntriesReachTheUnit) {
    HostedUnit host;
    AudioUnitSetParameterProc setProc = nullptr;
    AudioUnitGetParameterProc getProc = nullptr;
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FastDispatch, setProc, kAudioUnitScope_Global,
                           kAudioUnitSetParameterSelect));
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FastDispatch, getProc, kAudioUnitScope_Global,
                           kAudioUnitGetParameterSelect));
    ASSERT_OK(setProc(host.Get()->storage, kParamSteps, kAudioUnitScope_Global, 0, 42.0f, 0));
    AudioUnitParameterValue value = 0;
    ASSERT_OK(getProc(host.Get()->storage, kParamSteps, kAudioUnitScope_Global, 0, &value));
    EXPECT_EQ(value, 42.0f);
    EXPECT_EQ(host.Param(kParamSteps), 42.0f);
    EXPECT_EQ(getProc(host.Get()->storage, kNumParams, kAudioUnitScope_Global, 0, &value),
              kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(host.GetProp(kAudioUnitProperty_FastDispatch, setProc, kAudioUnitScope_Global,
                           kAudioUnitResetSelect),
              kAudioUnitErr_InvalidProperty);
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

TEST(FrameworkDispatch, ParameterGetAndSetAnswerTheLookupError) {
    HostedUnit host;
    struct {
        AudioUnitParameterID id;
        AudioUnitScope scope;
        AudioUnitElement element;
        OSStatus expected;
    } const cases[] = {{kNumParams, kAudioUnitScope_Global, 0, kAudioUnitErr_InvalidParameter},
                       {0, kAudioUnitScope_Global, 1, kAudioUnitErr_InvalidElement},
                       {0, 4, 0, kAudioUnitErr_InvalidScope},
                       {0, kAudioUnitScope_Group, 0, kAudioUnitErr_InvalidElement},
                       // Mapped storage: a get misses, a set while uninitialised adds it.
                       {7, kAudioUnitScope_Input, 0, kAudioUnitErr_InvalidParameter}};
    for (const auto& c : cases) {
        AudioUnitParameterValue value = 0;
        EXPECT_EQ(AudioUnitGetParameter(host.Get(), c.id, c.scope, c.element, &value), c.expected);
        EXPECT_EQ(AudioUnitSetParameter(host.Get(), c.id, c.scope, c.element, 1.0f, 0),
                  c.scope == kAudioUnitScope_Input ? noErr : c.expected);
    }
}

TEST(FrameworkDispatch, MappedParametersAreAddedOnlyWhileUninitialised) {
    HostedUnit host;
    const AudioUnit unit = host.Get();
    ASSERT_OK(AudioUnitSetParameter(unit, 9, kAudioUnitScope_Output, 0, 3.0f, 0));
    ASSERT_OK(AudioUnitInitialize(unit));
    ASSERT_OK(AudioUnitSetParameter(unit, 4, kAudioUnitScope_Output, 0, 5.0f, 0));
    AudioUnitParameterValue value = 0;
    EXPECT_EQ(AudioUnitGetParameter(unit, 4, kAudioUnitScope_Output, 0, &value),
              kAudioUnitErr_InvalidParameter);
    ASSERT_OK(AudioUnitSetParameter(unit, 9, kAudioUnitScope_Output, 0, 6.0f, 0));
    ASSERT_OK(AudioUnitGetParameter(unit, 9, kAudioUnitScope_Output, 0, &value));
    EXPECT_EQ(value, 6.0f);
}

TEST(FrameworkDispatch, ParameterListAndInfoComeFromTheUnit) {
    HostedUnit host;
    UInt32 size = 0;
    ASSERT_OK(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterList,
                                   kAudioUnitScope_Global, 0, nullptr, &size));
    ASSERT_EQ(size, kNumParams * sizeof(AudioUnitParameterID));
    std::vector<AudioUnitParameterID> ids(kNumParams, 99);
    ASSERT_OK(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterList,
                                   kAudioUnitScope_Global, 0, ids.data(), &size));
    EXPECT_EQ(ids, (std::vector<AudioUnitParameterID>{0, 1, 2, 3, 4}));

    AudioUnitParameterInfo info{};
    size = sizeof(info) - 1;
    EXPECT_EQ(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterInfo,
                                   kAudioUnitScope_Global, kParamSpeed, &info, &size),
              kAudio_ParamError);
    ASSERT_OK(
        host.GetProp(kAudioUnitProperty_ParameterInfo, info, kAudioUnitScope_Global, kParamSpeed));
    EXPECT_STREQ(info.name, "Speed");
    EXPECT_EQ(info.maxValue, 5000.0f);
}

// Records (tag, scope) of every call; the tag is the user data's address.
std::vector<std::pair<int, AudioUnitScope>> g_heard;

void LogListener(void* userData, AudioUnit, AudioUnitPropertyID, AudioUnitScope scope,
                 AudioUnitElement) {
    g_heard.emplace_back(*static_cast<int*>(userData), scope);
}

void OtherListener(void* userData, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                   AudioUnitElement element) {
    LogListener(userData, unit, id, scope, element);
}

std::vector<int> HeardTags() {
    std::vector<int> tags;
    for (const auto& entry : g_heard) {
        tags.push_back(entry.first);
    }
    g_heard.clear();
    return tags;
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
    ASSERT_EQ(g_heard.size(), 3u);
    EXPECT_EQ(g_heard[0].second, UInt32(kAudioUnitScope_Input));
    EXPECT_EQ(HeardTags(), (std::vector<int>{2, 1, 3}));

    ASSERT_OK(AudioUnitRemovePropertyListenerWithUserData(unit, format, &LogListener, &b));
    ASSERT_OK(host.SetFormat(kAudioUnitScope_Output, 1));
    EXPECT_EQ(HeardTags(), (std::vector<int>{1, 3}));

    ASSERT_OK(AudioUnitRemovePropertyListener(unit, format, &LogListener));
    ASSERT_OK(host.SetFormat(kAudioUnitScope_Global, 2));
    EXPECT_EQ(HeardTags(), (std::vector<int>{3}));
}

TEST(FrameworkDispatch, UnsupportedFormatIsRefusedAndKept) {
    using Change = void (*)(AudioStreamBasicDescription&);
    const Change changes[] = {
        [](auto& f) { f.mFormatID = FourCC("aac "); },
        [](auto& f) { f.mFormatFlags |= kAudioFormatFlagIsBigEndian; },
        [](auto& f) {
            f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked |
                             kAudioFormatFlagIsNonInterleaved;
        },
        [](auto& f) { f.mBitsPerChannel = 16, f.mBytesPerFrame = f.mBytesPerPacket = 2; },
        [](auto& f) { f.mFramesPerPacket = 2; },
        [](auto& f) { f.mBytesPerPacket = 8; },
        [](auto& f) {
            f.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
            f.mBytesPerFrame = f.mBytesPerPacket = 8;
        }};
    HostedUnit host;
    for (std::size_t i = 0; i < std::size(changes); ++i) {
        AudioStreamBasicDescription format = AUIOElement::DefaultStreamFormat();
        changes[i](format);
        EXPECT_EQ(host.SetProp(kAudioUnitProperty_StreamFormat, format, kAudioUnitScope_Input, 0),
                  kAudioUnitErr_FormatNotSupported)
            << "case " << i;
        AudioStreamBasicDescription current{};
        ASSERT_OK(host.GetProp(kAudioUnitProperty_StreamFormat, current, kAudioUnitScope_Input, 0));
        EXPECT_EQ(current.mChannelsPerFrame, 2u);
        EXPECT_EQ(current.mFormatFlags, AUIOElement::DefaultStreamFormat().mFormatFlags);
        EXPECT_EQ(current.mBitsPerChannel, 32u);
    }
}

TEST(FrameworkDispatch, FormatsAndSampleRateChangeOnlyWhileUninitialised) {
    HostedUnit host;
    const Float64 rate = 96000.0;
    ASSERT_OK(host.SetProp(kAudioUnitProperty_SampleRate, rate));
    Float64 readBack = 0;
    ASSERT_OK(host.GetProp(kAudioUnitProperty_SampleRate, readBack, kAudioUnitScope_Output, 0));
    EXPECT_EQ(readBack, 96000.0);
    EXPECT_EQ(host.Unit().GetSampleRate(), 96000.0);
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    EXPECT_EQ(host.SetFormat(kAudioUnitScope_Input, 2), kAudioUnitErr_Initialized);
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_SampleRate, rate, kAudioUnitScope_Input, 0),
              kAudioUnitErr_Initialized);
    EXPECT_EQ(host.SetFormat(kAudioUnitScope_Output, 2), kAudioUnitErr_Initialized);
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
}

TEST(FrameworkDispatch, PresentPresetLoadsFactoryPresetsOrTakesUserPresets) {
    HostedUnit host;
    int tag = 1;
    g_heard.clear();
    ASSERT_OK(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_PresentPreset,
                                           &LogListener, &tag));
    auto present = [&host] {
        AUPreset preset{};
        EXPECT_EQ(host.GetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
        return std::make_pair(preset.presetNumber, std::string(preset.presetName));
    };
    EXPECT_EQ(present(), std::make_pair(-1, std::string("Untitled")));

    AUPresetList list{};
    ASSERT_OK(host.GetProp(kAudioUnitProperty_FactoryPresets, list));
    ASSERT_EQ(list.count, 2u);
    EXPECT_STREQ(list.presets[1].presetName, "Loud");

    ASSERT_OK(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{1, nullptr}));
    EXPECT_EQ(present(), std::make_pair(1, std::string("Loud")));
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    EXPECT_EQ(g_heard.size(), 1u);

    for (const SInt32 number : {7, -4}) {
        EXPECT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{number, nullptr}),
                  kAudioUnitErr_InvalidPropertyValue);
    }
    EXPECT_EQ(present(), std::make_pair(1, std::string("Loud")));
    EXPECT_EQ(g_heard.size(), 1u);

    std::string name = "My sound";
    ASSERT_OK(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{-4, name.c_str()}));
    name = "changed"; // the unit keeps its own copy of the name
    EXPECT_EQ(present(), std::make_pair(-4, std::string("My sound")));
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    EXPECT_EQ(g_heard.size(), 2u);
}

} // namespace
} // namespace fwtest
