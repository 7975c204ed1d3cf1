// The effect unit driven through the host API: the OSC port rule, parameter refusals, properties
// and allocation-free rendering.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "AUError.h"
#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "CountingAllocator.h"
#include "EngineHarness.h"
#include "MrvnFluxet.h"
#include "TestFolders.h"
#include "UnitHost.h"

namespace {

using MV::test::UnitHost;
using Channels = std::vector<std::vector<Float32>>;

template <class T> T Fetch(AudioUnit unit, AudioUnitPropertyID id) {
    T value{};
    UInt32 size = sizeof(value);
    EXPECT_EQ(AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, &value, &size), noErr);
    return value;
}

// Each test gets its own preferences folder, so the base port is the default unless set.
class FluxetUnit : public ::testing::Test {
protected:
    void SetUp() override { g_OSCBasePort.store(kDefaultOSCBasePort); }

    MV::test::TempFolder m_config;
    MV::test::ScopedEnvironment m_home{"XDG_CONFIG_HOME", m_config.Path()};
};

// Only the global offset selects the port; restored state reapplies it.
TEST_F(FluxetUnit, PortRuleFollowsTheGlobalOffsetAndRestoredState) {
    const std::string saved = m_config / "state.plist", defaults = m_config / "defaults.plist";
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
    ASSERT_EQ(AURestoreUnitStateFromFile(host.Unit(), saved), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 7012);
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

// Value names through the property are checked with the program's listing; here, with no value.
TEST_F(FluxetUnit, TailTimeAndTheCurrentValuesName) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    EXPECT_NEAR(Fetch<Float64>(host.Unit(), kAudioUnitProperty_TailTime), 1.486077097505669, 1e-12);
    AudioUnitParameterStringFromValue request{kParam_OSCPortOffset, nullptr, nullptr};
    UInt32 size = sizeof(request);
    ASSERT_EQ(AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_ParameterStringFromValue,
                                   kAudioUnitScope_Global, 0, &request, &size),
              noErr);
    EXPECT_STREQ(request.outString, "Off");
}

TEST_F(FluxetUnit, RenderingWithMidiAllocatesNothing) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(48000.0, 2, 1024), noErr);
    host.SetParameter(kParam_SpeedLFODepth, 2.0f); // a sweep: the crossfade every block
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
