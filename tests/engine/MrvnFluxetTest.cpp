// The effect unit driven through the host API: MIDI splitting the render, presets, the OSC port
// rule, saved state, parameter refusals, properties and allocation-free rendering.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "AUError.h"
#include "AUHostServices.h"
#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "ComponentEntryPoint.h"
#include "CountingAllocator.h"
#include "EngineHarness.h"
#include "MrvnFluxet.h"
#include "MrvnInstanceTracker.h"
#include "Preferences.h"
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

// The unit with its kernel passes and dispatched messages recorded in order:
// "A<channel>:<frames>@<sub-block offset>" and "M<second data byte>"; and the frame of the
// render call at which each message came (the frames channel 0 had processed).
class ObservedFluxet : public MrvnFluxet {
public:
    explicit ObservedFluxet(AudioComponentInstance instance) : MrvnFluxet(instance) {}

    class RecordingKernel : public CFluxetKernel {
    public:
        RecordingKernel(ObservedFluxet& owner, SInt32 channel)
            : CFluxetKernel(owner, channel), m_owner(owner) {}
        void Process(const Float32* source, Float32* destination, UInt32 nFrames,
                     UInt32 numChannels, bool& ioSilence) override {
            m_owner.timeline += "A" + std::to_string(GetChannelNum()) + ":" +
                                std::to_string(nFrames) + "@" +
                                std::to_string(m_owner.SubBlockOffset()) + " ";
            m_owner.framesDone += GetChannelNum() == 0 ? nFrames : 0;
            CFluxetKernel::Process(source, destination, nFrames, numChannels, ioSilence);
        }

    private:
        ObservedFluxet& m_owner;
    };

    std::unique_ptr<AUKernelBase> NewKernel() override {
        return std::make_unique<RecordingKernel>(*this, SInt32(GetNumberOfKernels()));
    }

    std::string timeline;
    UInt32 framesDone = 0;
    std::vector<UInt32> landings;

protected:
    void DispatchQueuedMessage(const MV::MessageQueueItem& item) override {
        timeline += "M" + std::to_string(item.m_bytes[3]) + " ";
        landings.push_back(framesDone);
        MrvnFluxet::DispatchQueuedMessage(item);
    }
};

OSStatus ObservedEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<ObservedFluxet>::Dispatch(params, instance);
}

OSStatus LoadPreset(AudioUnit unit, SInt32 number) {
    const AUPreset preset{number, nullptr};
    return AudioUnitSetProperty(unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0,
                                &preset, sizeof(preset));
}

std::vector<Float32> Values(UnitHost& host) {
    std::vector<Float32> values;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        values.push_back(host.GetParameter(id));
    }
    return values;
}

// Each test gets its own preferences folder, so the base port is the default unless set.
class FluxetUnit : public ::testing::Test {
protected:
    void SetUp() override { g_OSCBasePort.store(kDefaultOSCBasePort); }

    MV::test::TempFolder m_config;
    MV::test::ScopedEnvironment m_home{"XDG_CONFIG_HOME", m_config.Path()};
};

TEST_F(FluxetUnit, QueuedMidiSplitsTheBlockAtItsOffsets) {
    UnitHost host(kFluxetComponentDescription, ObservedEntry);
    ASSERT_EQ(host.Configure(44100.0, 2, 1024), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    for (const auto& [value, offset] : {std::pair{5, 0}, {11, 100}, {22, 100}, {33, 600}}) {
        ASSERT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, UInt32(value), UInt32(offset)), noErr);
    }
    Channels output;
    ASSERT_EQ(host.Render(Channels(2, Noise(512, 1)), 0, 512, output), noErr);
    // The message at 0 before any audio, frames 0-99, both messages at 100, frames 100-511,
    // then the one beyond the block.
    EXPECT_EQ(host.Object<ObservedFluxet>().timeline,
              "M5 A0:100@0 A1:100@0 M11 M22 A0:412@100 A1:412@100 M33 ");
}

// Scheduled parameter events split the render call into slices; each message still comes at
// its own frame of the call (one beyond the block after its last frame), and the audio is
// whole.
TEST_F(FluxetUnit, QueuedMidiKeepsItsFrameAcrossScheduledParameterSlices) {
    const std::tuple<std::vector<UInt32>, std::vector<UInt32>, std::vector<UInt32>> cases[] = {
        // MIDI, scheduled changes, where the MIDI comes
        {{300}, {100}, {300}},           {{50, 300, 450}, {100, 400}, {50, 300, 450}},
        {{100, 100}, {100}, {100, 100}}, {{0, 511}, {1, 510}, {0, 511}},
        {{150, 600}, {200}, {150, 512}},
    };
    UnitHost host(kFluxetComponentDescription, ObservedEntry);
    ASSERT_EQ(host.Configure(44100.0, 2, 512), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    auto& unit = host.Object<ObservedFluxet>();
    for (const auto& [midi, changes, landings] : cases) {
        for (const UInt32 frame : midi) {
            ASSERT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 2, frame), noErr);
        }
        for (const UInt32 frame : changes) {
            AudioUnitParameterEvent event{
                kAudioUnitScope_Global, 0, kParam_Bias, kParameterEvent_Immediate, {}};
            event.eventValues.immediate = {frame, 0.0f};
            ASSERT_EQ(AudioUnitScheduleParameters(host.Unit(), &event, 1), noErr);
        }
        unit.framesDone = 0;
        unit.landings.clear();
        Channels output;
        ASSERT_EQ(host.Render(Channels(2, Noise(512, 1)), 0, 512, output), noErr);
        EXPECT_EQ(unit.landings, landings);
        EXPECT_EQ(unit.framesDone, 512u);
    }
}

TEST_F(FluxetUnit, RenderingTwiceWithOneTimeStampRendersOnce) {
    UnitHost host(kFluxetComponentDescription, ObservedEntry);
    ASSERT_EQ(host.Configure(44100.0, 1, 512), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    auto& unit = host.Object<ObservedFluxet>();
    Channels first, second;
    const Channels input(1, Noise(256, 1));
    ASSERT_EQ(host.Render(input, 0, 256, first, 0.0), noErr);
    host.SetParameter(kParam_DepthCoarse, 100.0f); // the record would differ
    ASSERT_EQ(host.Render(input, 0, 256, second, 0.0), noErr);
    EXPECT_EQ(unit.timeline, "A0:256@0 ");
    // The previous record is refreshed anyway: it is the one of the first render.
    EXPECT_EQ(
        std::memcmp(&unit.PreviousRecord(), &unit.CurrentRecord(), sizeof(MrvnFluxet::PreComp)), 0);
}

TEST_F(FluxetUnit, FactoryPresetsLoadThroughTheNotifyingServiceAndUnknownOnesChangeNothing) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    int heard = 0;
    AUParameterListenerRef listener = nullptr;
    ASSERT_EQ(AUListenerCreate([](void* refCon, void*, const AudioUnitParameter*,
                                  Float32) { ++*static_cast<int*>(refCon); },
                               &heard, &listener),
              noErr);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const AudioUnitParameter parameter{host.Unit(), id, kAudioUnitScope_Global, 0};
        ASSERT_EQ(AUListenerAddParameter(listener, nullptr, &parameter), noErr);
    }
    ASSERT_EQ(LoadPreset(host.Unit(), 10), noErr); // "Simple Delay"
    EXPECT_EQ(heard, 16);
    EXPECT_EQ(host.GetParameter(kParam_Feedback), 71.0f);
    const std::vector<Float32> before = Values(host);
    EXPECT_EQ(LoadPreset(host.Unit(), 18), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(heard, 16);
    EXPECT_EQ(Values(host), before);
    EXPECT_EQ(Fetch<AUPreset>(host.Unit(), kAudioUnitProperty_PresentPreset).presetNumber, 10);
    AUListenerDispose(listener);
}

TEST_F(FluxetUnit, PortRuleFollowsTheBasePortTheReapplyTriggerAndPresets) {
    SetPrefInt(kPrefOSCBasePort, 9000);
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    auto& unit = host.Object<MrvnFluxet>();
    ASSERT_EQ(host.Configure(44100.0, 2), noErr);
    ASSERT_EQ(host.Initialize(), noErr); // reads the preference
    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 5.0f), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 9005);
    g_OSCBasePort.store(8000); // as the editor stores a new base port
    EXPECT_EQ(unit.CurrentOSCPort(), 9005);
    const UInt8 any = 1;
    ASSERT_EQ(AudioUnitSetProperty(host.Unit(), kMrvnProperty_ReapplyOSCPort,
                                   kAudioUnitScope_Global, 0, &any, 1),
              noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 8005);
    ASSERT_EQ(LoadPreset(host.Unit(), 0), noErr); // "Defaults" has offset 0: off
    EXPECT_EQ(unit.CurrentOSCPort(), 0);
}

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

TEST_F(FluxetUnit, StateRoundTripsBitForBitThroughAFile) {
    const std::string path = m_config / "state.plist";
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(LoadPreset(host.Unit(), 13), noErr);
    host.SetParameter(kParam_Bias, 0.1f);
    host.SetParameter(kParam_Spread, 1.0f / 3.0f);
    ASSERT_EQ(AUSaveUnitStateToFile(host.Unit(), path), noErr);
    UnitHost restored(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(AURestoreUnitStateFromFile(restored.Unit(), path), noErr);
    const std::vector<Float32> saved = Values(host), back = Values(restored);
    EXPECT_EQ(std::memcmp(saved.data(), back.data(), saved.size() * sizeof(Float32)), 0);
    const AUPreset current = Fetch<AUPreset>(restored.Unit(), kAudioUnitProperty_PresentPreset);
    EXPECT_EQ(current.presetNumber, -1);
    EXPECT_STREQ(current.presetName, "Play with the Coarse Speed");
}

// The tracker has no instances to map controllers to: nothing moves, every query is empty.
TEST_F(FluxetUnit, ControllersChangeNothingThroughTheEmptyTracker) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(44100.0, 1), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    const std::vector<Float32> before = Values(host);
    for (int controller = 0; controller < 128; controller += 9) {
        MusicDeviceMIDIEvent(host.Unit(), 0xB0, controller, 127, 0);
        MusicDeviceMIDIEvent(host.Unit(), 0xA0, controller, 127, 0);
    }
    Channels output;
    ASSERT_EQ(host.Render(Channels(1, Noise(128, 1)), 0, 128, output), noErr);
    EXPECT_EQ(Values(host), before);
    EXPECT_EQ(MrvnInstanceTracker::GetParameterFromAllByOSCIndex(0, kParam_Bias), 0.0f);
    EXPECT_FALSE(MrvnInstanceTracker::GetGUIBoolValueFromAllByOSCIndex(0, 3));
    EXPECT_EQ(MrvnInstanceTracker::Lock(host.Unit()), nullptr);
    EXPECT_EQ(MrvnInstanceTracker::FindGuid(1), nullptr);
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
