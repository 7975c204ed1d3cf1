// The effect unit driven through the host API: presets, the OSC port rule, parameter refusals,
// properties, saved state and the render cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "AUError.h"
#include "AUHostServices.h"
#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "CountingAllocator.h"
#include "EngineHarness.h"
#include "MrvnFluxet.h"
#include "Preferences.h"
#include "TestFolders.h"
#include "UnitHost.h"

namespace {

using MV::test::UnitHost;
using Channels = std::vector<std::vector<Float32>>;

template <class T> T Fetch(AudioUnit unit, AudioUnitPropertyID id, OSStatus* status = nullptr) {
    T value{};
    UInt32 size = sizeof(value);
    const OSStatus result =
        AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, &value, &size);
    if (status != nullptr) {
        *status = result;
    }
    return value;
}

// Each test gets its own preferences folder, so the base port is the default unless set.
class FluxetUnit : public ::testing::Test {
protected:
    void SetUp() override { g_OSCBasePort.store(kDefaultOSCBasePort); }

    MV::test::TempFolder m_config;
    MV::test::ScopedEnvironment m_home{"XDG_CONFIG_HOME", m_config.Path()};
};

TEST_F(FluxetUnit, FullQueueRefusesTheEventWithMinusOne) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 2, 0), noErr);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 2, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MessageQueue::Write() overflow\n");
}

// A second render with the same time stamp processes nothing (the host's zeroed buffers stay
// as they were), although a parameter changed in between; the previous record is refreshed
// anyway.
TEST_F(FluxetUnit, RenderingTwiceWithOneTimeStampRendersOnce) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(44100.0, 1, 512), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    Channels first, second;
    const Channels input(1, Noise(256, 1));
    ASSERT_EQ(host.Render(input, 0, 256, first, 0.0), noErr);
    host.SetParameter(kParam_DepthCoarse, 100.0f);
    ASSERT_EQ(host.Render(input, 0, 256, second, 0.0), noErr);
    EXPECT_NE(first, second);
    EXPECT_EQ(second, Channels(1, std::vector<Float32>(256, 0.0f)));
    const auto& unit = host.Object<MrvnFluxet>();
    EXPECT_EQ(
        std::memcmp(&unit.PreviousRecord(), &unit.CurrentRecord(), sizeof(unit.PreviousRecord())),
        0);
}

// Only the global offset selects the port; restored state reapplies it from the base port read
// at initialisation.
TEST_F(FluxetUnit, PortRuleFollowsTheGlobalOffsetAndRestoredState) {
    const std::string saved = m_config / "state.plist", defaults = m_config / "defaults.plist";
    SetPrefInt(kPrefOSCBasePort, 9000);
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    auto& unit = host.Object<MrvnFluxet>();
    ASSERT_EQ(AUSaveUnitStateToFile(host.Unit(), defaults), noErr);
    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 12.7f), noErr);
    host.SetParameter(kParam_OSCPortOffset, 9.0f, kAudioUnitScope_Input);
    EXPECT_EQ(unit.CurrentOSCPort(), 7012);
    EXPECT_EQ(Fetch<SInt32>(host.Unit(), kMrvnProperty_OSCPortOffset), 12);
    ASSERT_EQ(AUSaveUnitStateToFile(host.Unit(), saved), noErr);
    ASSERT_EQ(AURestoreUnitStateFromFile(host.Unit(), defaults), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 0); // a saved offset of 0 turns OSC off
    ASSERT_EQ(host.Configure(44100.0, 2), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    ASSERT_EQ(AURestoreUnitStateFromFile(host.Unit(), saved), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 9012);
}

TEST_F(FluxetUnit, NonFiniteValuesAreRefusedButOutOfRangeOnesAreStored) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.SetParameter(kParam_Bias, 0.25f), noErr);
    EXPECT_EQ(host.SetParameter(kParam_Bias, std::nanf("")), kAudio_ParamError);
    EXPECT_EQ(host.SetParameter(kParam_Bias, INFINITY), kAudio_ParamError);
    EXPECT_EQ(host.SetParameter(kParam_Bias, -INFINITY), kAudio_ParamError);
    EXPECT_EQ(host.GetParameter(kParam_Bias), 0.25f);
    // Scripts may reach the random shapes, beyond the published maximum of 4.
    ASSERT_EQ(host.SetParameter(kParam_Shape, 7.5f), noErr);
    EXPECT_EQ(host.GetParameter(kParam_Shape), 7.5f);
    EXPECT_EQ(host.SetParameter(16, 1.0f), kAudioUnitErr_InvalidParameter);
}

// A new unit is at "Defaults"; the private properties that the tracker, the OSC server and
// scripts read are checked where those use them.
TEST_F(FluxetUnit, PropertiesHostsAskFor) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    EXPECT_STREQ(Fetch<AUPreset>(host.Unit(), kAudioUnitProperty_PresentPreset).presetName,
                 "Defaults");
    EXPECT_NEAR(Fetch<Float64>(host.Unit(), kAudioUnitProperty_TailTime), 1.486077097505669, 1e-12);
    OSStatus status = noErr;
    auto name = [&](AudioUnitParameterID id, const Float32* value) {
        AudioUnitParameterStringFromValue request{id, value, nullptr};
        UInt32 size = sizeof(request);
        status = AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_ParameterStringFromValue,
                                      kAudioUnitScope_Global, 0, &request, &size);
        return request.outString;
    };
    const Float32 shape = 2.004f;
    EXPECT_STREQ(name(kParam_Shape, &shape), "Saw Down");
    EXPECT_EQ(status, noErr);
    EXPECT_STREQ(name(kParam_OSCPortOffset, nullptr), "Off"); // no value: the current one
    EXPECT_EQ(name(kParam_Bias, &shape), nullptr);
    EXPECT_EQ(status, kAudioUnitErr_InvalidParameter);
}

TEST_F(FluxetUnit, RenderingWithMidiAllocatesNothing) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(48000.0, 2, 1024), noErr);
    const AUPreset sweeping{12, nullptr}; // sweeps active: the crossfade every block
    ASSERT_EQ(AudioUnitSetProperty(host.Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &sweeping, sizeof sweeping),
              noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    Channels output;
    ASSERT_EQ(host.Render(Channels(2, Noise(1024, 1)), 0, 1024, output), noErr); // sizes them
    MV::test::AllocationCounter counter;
    const Float32 shapes[] = {0.5f, 3.5f, 5.5f, 8.0f}; // both paths; the depth LFO on and off
    for (int block = 0; block < 8; ++block) {
        MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 64, 100 * block);
        AudioUnitParameterEvent events[2] = {
            {kAudioUnitScope_Global, 0, kParam_Shape, kParameterEvent_Immediate, {}},
            {kAudioUnitScope_Global, 0, kParam_DepthLFODepth, kParameterEvent_Immediate, {}}};
        events[0].eventValues.immediate.value = shapes[block % 4];
        events[1].eventValues.immediate.value = Float32(block % 3 == 0);
        AudioUnitScheduleParameters(host.Unit(), events, 2);
        // Render into the same buffers without resizing them.
        AudioTimeStamp stamp{};
        stamp.mSampleTime = 2048.0 + 1024.0 * block;
        stamp.mFlags = kAudioTimeStampSampleTimeValid;
        alignas(AudioBufferList) std::byte storage[AudioBufferListSize(2)];
        auto* list = reinterpret_cast<AudioBufferList*>(storage);
        list->mNumberBuffers = 2;
        for (int c = 0; c < 2; ++c) {
            list->mBuffers[c] = AudioBuffer{1, 1024 * 4, output[c].data()};
        }
        AudioUnitRenderActionFlags flags = 0;
        ASSERT_EQ(AudioUnitRender(host.Unit(), &flags, &stamp, 0, 1024, list), noErr);
    }
    EXPECT_EQ(counter.Allocations(), 0u);
    EXPECT_EQ(host.GetParameter(kParam_Shape), 8.0f);
}

} // namespace
