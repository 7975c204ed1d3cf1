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

TEST(FrameworkDispatch, OpeningTheSameHandleTwiceIsRefused) {
    HostedUnit host;
    ComponentParameters params{};
    params.what = kComponentOpenSelect;
    EXPECT_EQ(TestUnitEntry(&params, host.Get()), kAudio_ParamError);
}

struct ThrowCase {
    AudioUnitElement element;
    OSStatus expected;
};

class ExceptionResultTest : public ::testing::TestWithParam<ThrowCase> {};

TEST_P(ExceptionResultTest, EscapingExceptionBecomesTheResult) {
    HostedUnit host;
    UInt32 value = 0;
    EXPECT_EQ(host.GetProp(kTestProperty_Throw, value, kAudioUnitScope_Global, GetParam().element),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Framework, ExceptionResultTest,
                         ::testing::Values(ThrowCase{0, kAudioUnitErr_CannotDoInCurrentContext},
                                           ThrowCase{1, kAudio_MemFullError}, ThrowCase{2, -1234},
                                           ThrowCase{3, -77}, ThrowCase{4, -1}));

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
            ASSERT_EQ(result, noErr);
            EXPECT_EQ(AudioComponentInstanceDispose(unit), noErr);
            opened = true;
        }
    }
    EXPECT_TRUE(opened);
}

struct MidiCase {
    UInt32 status;
    UInt8 kind;
    UInt8 channel;
};

class MidiSplitTest : public ::testing::TestWithParam<MidiCase> {};

TEST_P(MidiSplitTest, StatusIsSplitIntoKindAndChannelInAnyState) {
    HostedUnit host;
    const MidiCase& c = GetParam();
    ASSERT_EQ(MusicDeviceMIDIEvent(host.Get(), c.status, 0x41, 0x7F, 37), noErr);
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numMidiCalls, 1u);
    const MidiCall& call = unit.midiCalls[0];
    EXPECT_EQ(call.status, c.kind);
    EXPECT_EQ(call.channel, c.channel);
    EXPECT_EQ(call.data1, 0x41);
    EXPECT_EQ(call.data2, 0x7F);
    EXPECT_EQ(call.frame, 37u);
}

INSTANTIATE_TEST_SUITE_P(Framework, MidiSplitTest,
                         ::testing::Values(MidiCase{0x93, 0x90, 3}, MidiCase{0x80, 0x80, 0},
                                           MidiCase{0xBF, 0xB0, 15}, MidiCase{0xE5, 0xE0, 5},
                                           MidiCase{0xF8, 0xF0, 8}));

TEST(FrameworkDispatch, FastMidiEntryMatchesTheDispatchedRequest) {
    HostedUnit host;
    MusicDeviceMIDIEventProc proc = nullptr;
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_FastDispatch, proc, kAudioUnitScope_Global,
                           kMusicDeviceMIDIEventSelect),
              noErr);
    ASSERT_NE(proc, nullptr);
    const std::vector<UInt32> statuses{0x9A, 0xB1, 0xD7, 0x80};
    for (const UInt32 status : statuses) {
        ASSERT_EQ(MusicDeviceMIDIEvent(host.Get(), status, 12, 34, 5), noErr);
        ASSERT_EQ(proc(host.Get()->storage, status, 12, 34, 5), noErr);
    }
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numMidiCalls, 2 * statuses.size());
    for (std::size_t i = 0; i < unit.numMidiCalls; i += 2) {
        const MidiCall& dispatched = unit.midiCalls[i];
        const MidiCall& fast = unit.midiCalls[i + 1];
        EXPECT_EQ(fast.status, dispatched.status);
        EXPECT_EQ(fast.channel, dispatched.channel);
        EXPECT_EQ(fast.data1, dispatched.data1);
        EXPECT_EQ(fast.data2, dispatched.data2);
        EXPECT_EQ(fast.frame, dispatched.frame);
    }
}

TEST(FrameworkDispatch, FastParameterEntriesReachTheUnit) {
    HostedUnit host;
    AudioUnitSetParameterProc setProc = nullptr;
    AudioUnitGetParameterProc getProc = nullptr;
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_FastDispatch, setProc, kAudioUnitScope_Global,
                           kAudioUnitSetParameterSelect),
              noErr);
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_FastDispatch, getProc, kAudioUnitScope_Global,
                           kAudioUnitGetParameterSelect),
              noErr);
    ASSERT_EQ(setProc(host.Get()->storage, kParamSteps, kAudioUnitScope_Global, 0, 42.0f, 0),
              noErr);
    AudioUnitParameterValue value = 0;
    ASSERT_EQ(getProc(host.Get()->storage, kParamSteps, kAudioUnitScope_Global, 0, &value), noErr);
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
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    EXPECT_EQ(MusicDeviceSysEx(host.Get(), message, sizeof(message)), noErr);
    EXPECT_EQ(host.Unit().numSysEx, 1u);
}

struct LookupCase {
    const char* name;
    AudioUnitParameterID id;
    AudioUnitScope scope;
    AudioUnitElement element;
    OSStatus expected;
};

class ParameterLookupTest : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ParameterLookupTest, GetAndSetAnswerTheLookupError) {
    HostedUnit host;
    const LookupCase& c = GetParam();
    AudioUnitParameterValue value = 0;
    EXPECT_EQ(AudioUnitGetParameter(host.Get(), c.id, c.scope, c.element, &value), c.expected);
    EXPECT_EQ(AudioUnitSetParameter(host.Get(), c.id, c.scope, c.element, 1.0f, 0),
              c.id == 7 && c.scope == kAudioUnitScope_Input ? noErr : c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Framework, ParameterLookupTest,
    ::testing::Values(LookupCase{"ParameterBeyondTheIndexedTable", kNumParams,
                                 kAudioUnitScope_Global, 0, kAudioUnitErr_InvalidParameter},
                      LookupCase{"SecondGlobalElement", 0, kAudioUnitScope_Global, 1,
                                 kAudioUnitErr_InvalidElement},
                      LookupCase{"FifthScope", 0, 4, 0, kAudioUnitErr_InvalidScope},
                      LookupCase{"GroupScopeHasNoElement", 0, kAudioUnitScope_Group, 0,
                                 kAudioUnitErr_InvalidElement},
                      // Mapped storage: a get misses, a set while uninitialised adds the parameter.
                      LookupCase{"MissingMappedParameter", 7, kAudioUnitScope_Input, 0,
                                 kAudioUnitErr_InvalidParameter}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameworkDispatch, MappedParametersAreAddedOnlyWhileUninitialised) {
    HostedUnit host;
    ASSERT_EQ(AudioUnitSetParameter(host.Get(), 9, kAudioUnitScope_Output, 0, 3.0f, 0), noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(AudioUnitSetParameter(host.Get(), 4, kAudioUnitScope_Output, 0, 5.0f, 0), noErr);
    AudioUnitParameterValue value = 0;
    EXPECT_EQ(AudioUnitGetParameter(host.Get(), 4, kAudioUnitScope_Output, 0, &value),
              kAudioUnitErr_InvalidParameter);
    ASSERT_EQ(AudioUnitSetParameter(host.Get(), 9, kAudioUnitScope_Output, 0, 6.0f, 0), noErr);
    ASSERT_EQ(AudioUnitGetParameter(host.Get(), 9, kAudioUnitScope_Output, 0, &value), noErr);
    EXPECT_EQ(value, 6.0f);
}

TEST(FrameworkDispatch, ParameterListAndInfoComeFromTheUnit) {
    HostedUnit host;
    UInt32 size = 0;
    ASSERT_EQ(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterList,
                                   kAudioUnitScope_Global, 0, nullptr, &size),
              noErr);
    ASSERT_EQ(size, kNumParams * sizeof(AudioUnitParameterID));
    std::vector<AudioUnitParameterID> ids(kNumParams, 99);
    ASSERT_EQ(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterList,
                                   kAudioUnitScope_Global, 0, ids.data(), &size),
              noErr);
    EXPECT_EQ(ids, (std::vector<AudioUnitParameterID>{0, 1, 2, 3, 4}));

    AudioUnitParameterInfo info{};
    size = sizeof(info) - 1;
    EXPECT_EQ(AudioUnitGetProperty(host.Get(), kAudioUnitProperty_ParameterInfo,
                                   kAudioUnitScope_Global, kParamSpeed, &info, &size),
              kAudio_ParamError);
    ASSERT_EQ(
        host.GetProp(kAudioUnitProperty_ParameterInfo, info, kAudioUnitScope_Global, kParamSpeed),
        noErr);
    EXPECT_STREQ(info.name, "Speed");
    EXPECT_EQ(info.maxValue, 5000.0f);
}

struct ListenerLog {
    struct Entry {
        int who;
        AudioUnitPropertyID id;
        AudioUnitScope scope;
        AudioUnitElement element;
    };
    std::vector<Entry> entries;
};

struct Tagged {
    ListenerLog* log;
    int who;
};

void LogListener(void* userData, AudioUnit, AudioUnitPropertyID id, AudioUnitScope scope,
                 AudioUnitElement element) {
    auto* tagged = static_cast<Tagged*>(userData);
    tagged->log->entries.push_back({tagged->who, id, scope, element});
}

void OtherListener(void* userData, AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                   AudioUnitElement element) {
    LogListener(userData, unit, id, scope, element);
}

TEST(FrameworkDispatch, PropertyListenersRunInRegistrationOrderAndAreRemovedSelectively) {
    HostedUnit host;
    ListenerLog log;
    Tagged a{&log, 1};
    Tagged b{&log, 2};
    Tagged c{&log, 3};
    const AudioUnit unit = host.Get();
    ASSERT_EQ(AudioUnitAddPropertyListener(unit, kAudioUnitProperty_StreamFormat, &LogListener, &b),
              noErr);
    ASSERT_EQ(AudioUnitAddPropertyListener(unit, kAudioUnitProperty_StreamFormat, &LogListener, &a),
              noErr);
    ASSERT_EQ(
        AudioUnitAddPropertyListener(unit, kAudioUnitProperty_StreamFormat, &OtherListener, &c),
        noErr);
    ASSERT_EQ(
        AudioUnitAddPropertyListener(unit, kAudioUnitProperty_PresentPreset, &LogListener, &c),
        noErr);

    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Input, 1), noErr);
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_EQ(log.entries[0].who, 2);
    EXPECT_EQ(log.entries[1].who, 1);
    EXPECT_EQ(log.entries[2].who, 3);
    EXPECT_EQ(log.entries[0].scope, UInt32(kAudioUnitScope_Input));

    log.entries.clear();
    ASSERT_EQ(AudioUnitRemovePropertyListenerWithUserData(unit, kAudioUnitProperty_StreamFormat,
                                                          &LogListener, &b),
              noErr);
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Output, 1), noErr);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].who, 1);
    EXPECT_EQ(log.entries[1].who, 3);

    log.entries.clear();
    ASSERT_EQ(AudioUnitRemovePropertyListener(unit, kAudioUnitProperty_StreamFormat, &LogListener),
              noErr);
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Global, 2), noErr);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].who, 3);
}

struct FormatCase {
    const char* name;
    void (*change)(AudioStreamBasicDescription&);
};

class StreamFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(StreamFormatTest, UnsupportedFormatIsRefusedAndKept) {
    HostedUnit host;
    AudioStreamBasicDescription format = AUIOElement::DefaultStreamFormat();
    GetParam().change(format);
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_StreamFormat, format, kAudioUnitScope_Input, 0),
              kAudioUnitErr_FormatNotSupported);
    AudioStreamBasicDescription current{};
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_StreamFormat, current, kAudioUnitScope_Input, 0),
              noErr);
    EXPECT_EQ(current.mChannelsPerFrame, 2u);
    EXPECT_EQ(current.mFormatFlags, AUIOElement::DefaultStreamFormat().mFormatFlags);
    EXPECT_EQ(current.mBitsPerChannel, 32u);
}

INSTANTIATE_TEST_SUITE_P(
    Framework, StreamFormatTest,
    ::testing::Values(FormatCase{"NotLinearPCM", [](auto& f) { f.mFormatID = FourCC("aac "); }},
                      FormatCase{"BigEndian",
                                 [](auto& f) { f.mFormatFlags |= kAudioFormatFlagIsBigEndian; }},
                      FormatCase{"Integer",
                                 [](auto& f) {
                                     f.mFormatFlags = kAudioFormatFlagIsSignedInteger |
                                                      kAudioFormatFlagIsPacked |
                                                      kAudioFormatFlagIsNonInterleaved;
                                 }},
                      FormatCase{"SixteenBit",
                                 [](auto& f) {
                                     f.mBitsPerChannel = 16;
                                     f.mBytesPerFrame = f.mBytesPerPacket = 2;
                                 }},
                      FormatCase{"TwoFramesPerPacket", [](auto& f) { f.mFramesPerPacket = 2; }},
                      FormatCase{"PacketNotFrame", [](auto& f) { f.mBytesPerPacket = 8; }},
                      FormatCase{"InterleavedStereo",
                                 [](auto& f) {
                                     f.mFormatFlags &= ~kAudioFormatFlagIsNonInterleaved;
                                     f.mBytesPerFrame = f.mBytesPerPacket = 8;
                                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FrameworkDispatch, FormatsAndSampleRateChangeOnlyWhileUninitialised) {
    HostedUnit host;
    const Float64 rate = 96000.0;
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_SampleRate, rate), noErr);
    Float64 readBack = 0;
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_SampleRate, readBack, kAudioUnitScope_Output, 0),
              noErr);
    EXPECT_EQ(readBack, 96000.0);
    EXPECT_EQ(host.Unit().GetSampleRate(), 96000.0);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    EXPECT_EQ(host.SetFormat(kAudioUnitScope_Input, 2), kAudioUnitErr_Initialized);
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_SampleRate, rate, kAudioUnitScope_Input, 0),
              kAudioUnitErr_Initialized);
    EXPECT_EQ(host.SetFormat(kAudioUnitScope_Output, 2, false), kAudioUnitErr_Initialized);
}

TEST(FrameworkDispatch, PropertyRefusalsNameTheirReason) {
    HostedUnit host;
    const AudioUnit unit = host.Get();
    UInt32 size = 0;
    Boolean writable = true;
    ASSERT_EQ(AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_LastRenderError,
                                       kAudioUnitScope_Global, 0, &size, &writable),
              noErr);
    EXPECT_FALSE(writable);
    const OSStatus error = -1;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global,
                                   0, &error, sizeof(error)),
              kAudioUnitErr_PropertyNotWritable);
    EXPECT_EQ(AudioUnitGetPropertyInfo(unit, 12345, kAudioUnitScope_Global, 0, &size, &writable),
              kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(
        AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_ElementCount, 6, 0, &size, &writable),
        kAudioUnitErr_InvalidScope);
    EXPECT_EQ(AudioUnitGetPropertyInfo(unit, kAudioUnitProperty_ElementName, kAudioUnitScope_Output,
                                       3, &size, &writable),
              kAudioUnitErr_InvalidElement);
    const UInt32 frames = 0;
    EXPECT_EQ(AudioUnitSetProperty(unit, kAudioUnitProperty_MaximumFramesPerSlice,
                                   kAudioUnitScope_Global, 0, &frames, sizeof(frames)),
              kAudioUnitErr_InvalidPropertyValue);
}

TEST(FrameworkDispatch, PresentPresetLoadsFactoryPresetsOrTakesUserPresets) {
    HostedUnit host;
    ListenerLog log;
    Tagged tag{&log, 1};
    ASSERT_EQ(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_PresentPreset,
                                           &LogListener, &tag),
              noErr);
    auto present = [&host] {
        AUPreset preset{};
        EXPECT_EQ(host.GetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
        return std::make_pair(preset.presetNumber, std::string(preset.presetName));
    };
    EXPECT_EQ(present(), std::make_pair(-1, std::string("Untitled")));

    AUPresetList list{};
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_FactoryPresets, list), noErr);
    ASSERT_EQ(list.count, 2u);
    EXPECT_STREQ(list.presets[1].presetName, "Loud");

    AUPreset preset{1, nullptr};
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
    EXPECT_EQ(present(), std::make_pair(1, std::string("Loud")));
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    EXPECT_EQ(log.entries.size(), 1u);

    preset = AUPreset{7, nullptr};
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, preset),
              kAudioUnitErr_InvalidPropertyValue);
    preset = AUPreset{-4, nullptr};
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, preset),
              kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(present(), std::make_pair(1, std::string("Loud")));
    EXPECT_EQ(log.entries.size(), 1u);

    std::string name = "My sound";
    preset = AUPreset{-4, name.c_str()};
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
    // The unit keeps its own copy of the name.
    name = "changed";
    EXPECT_EQ(present(), std::make_pair(-4, std::string("My sound")));
    EXPECT_EQ(host.Param(kParamGain), 1.75f);
    EXPECT_EQ(log.entries.size(), 2u);
}

} // namespace
} // namespace fwtest
