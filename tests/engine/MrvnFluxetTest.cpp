// The effect unit driven through the host API: MIDI splitting, presets, the OSC port rule,
// private properties, saved state and the render cycle.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "AUError.h"
#include "AUHostServices.h"
#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "ComponentEntryPoint.h"
#include "CountingAllocator.h"
#include "MrvnFluxet.h"
#include "MrvnInstanceTracker.h"
#include "Preferences.h"
#include "UnitHost.h"

namespace {

using MV::test::UnitHost;
using Channels = std::vector<std::vector<Float32>>;

// The unit with its kernels and message hand-over observed.
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
            CFluxetKernel::Process(source, destination, nFrames, numChannels, ioSilence);
        }

    private:
        ObservedFluxet& m_owner;
    };

    std::unique_ptr<AUKernelBase> NewKernel() override {
        return std::make_unique<RecordingKernel>(*this, SInt32(GetNumberOfKernels()));
    }

    // What happened during a render, in order: "A<channel>:<frames>@<sub-block offset>" for a
    // kernel pass, "M<second data byte>" for a dispatched message.
    std::string timeline;

protected:
    void DispatchQueuedMessage(const MV::MessageQueueItem& item) override {
        timeline += "M" + std::to_string(item.m_bytes[3]) + " ";
        MrvnFluxet::DispatchQueuedMessage(item);
    }
};

OSStatus ObservedEntry(ComponentParameters* params, ComponentInstance instance) {
    return ComponentEntryPoint<ObservedFluxet>::Dispatch(params, instance);
}

Channels Noise(UInt32 channels, UInt32 frames, unsigned seed = 1) {
    Channels input(channels, std::vector<Float32>(frames));
    for (auto& channel : input) {
        for (Float32& sample : channel) {
            seed = seed * 1664525u + 1013904223u;
            sample = Float32(int(seed >> 8) % 2001 - 1000) / 1000.0f;
        }
    }
    return input;
}

// Each test gets its own preferences folder, so the base port is the default unless set.
class FluxetUnit : public ::testing::Test {
protected:
    void SetUp() override {
        m_config = std::filesystem::temp_directory_path() /
                   ("fluxet-unit-test-" + std::to_string(::getpid()));
        std::filesystem::remove_all(m_config);
        std::filesystem::create_directories(m_config);
        ::setenv("XDG_CONFIG_HOME", m_config.c_str(), 1);
        g_OSCBasePort.store(kDefaultOSCBasePort);
    }
    void TearDown() override { std::filesystem::remove_all(m_config); }

    std::filesystem::path m_config;
};

TEST_F(FluxetUnit, QueuedMidiSplitsTheBlockAtItsOffsets) {
    UnitHost host(kFluxetComponentDescription, ObservedEntry);
    ASSERT_EQ(host.Configure(44100.0, 2, 1024), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    for (const auto& [value, offset] : {std::pair{5, 0}, {11, 100}, {22, 100}, {33, 600}}) {
        ASSERT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, UInt32(value), UInt32(offset)), noErr);
    }
    Channels output;
    ASSERT_EQ(host.Render(Noise(2, 512), 0, 512, output), noErr);
    // The message at 0 before any audio, frames 0-99 (both channels), both messages at 100,
    // frames 100-511, then the one at 600.
    EXPECT_EQ(host.Object<ObservedFluxet>().timeline,
              "M5 A0:100@0 A1:100@0 M11 M22 A0:412@100 A1:412@100 M33 ");
}

// Deterministic shape, no sweeps: the sub-blocks render what one block would. Channels with a
// spread start each sub-block from the shared phase plus their offset, which rounds a little
// differently from carrying the phase on, so they agree closely rather than to the bit.
Channels RenderWithOptionalMidi(bool withMidi, Float32 spread) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    EXPECT_EQ(host.Configure(44100.0, 2, 1024), noErr);
    host.SetParameter(kParam_DepthCoarse, 40.0f);
    host.SetParameter(kParam_Spread, spread);
    host.SetParameter(kParam_Feedback, 50.0f);
    EXPECT_EQ(host.Initialize(), noErr);
    Channels input(2, std::vector<Float32>(4096));
    for (std::size_t i = 0; i < 4096; ++i) {
        input[0][i] = input[1][i] = Float32(0.5 * std::sin(0.0627 * double(i)));
    }
    Channels all(2), block;
    for (UInt32 done = 0; done < 4096; done += 512) {
        if (withMidi && done >= 1024) {
            MusicDeviceMIDIEvent(host.Unit(), 0xB0, 7, 1, 37);
            MusicDeviceMIDIEvent(host.Unit(), 0xB0, 7, 2, 300);
        }
        EXPECT_EQ(host.Render(input, done, 512, block), noErr);
        for (int c = 0; c < 2; ++c) {
            all[c].insert(all[c].end(), block[c].begin(), block[c].end());
        }
    }
    return all;
}

TEST_F(FluxetUnit, SplittingAtMessagesDoesNotChangeTheSound) {
    EXPECT_EQ(RenderWithOptionalMidi(false, 0.0f), RenderWithOptionalMidi(true, 0.0f));

    const Channels plain = RenderWithOptionalMidi(false, 0.3f);
    const Channels split = RenderWithOptionalMidi(true, 0.3f);
    EXPECT_EQ(plain[0], split[0]);
    double worst = 0.0;
    for (std::size_t i = 0; i < plain[1].size(); ++i) {
        worst = std::max(worst, double(std::fabs(plain[1][i] - split[1][i])));
    }
    EXPECT_LT(worst, 1e-3);
}

TEST_F(FluxetUnit, FullQueueRefusesTheEventWithMinusOne) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 2, 0), noErr);
    }
    testing::internal::CaptureStderr();
    EXPECT_EQ(MusicDeviceMIDIEvent(host.Unit(), 0xB0, 1, 2, 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "MessageQueue::Write() overflow\n");
}

TEST_F(FluxetUnit, RenderingTwiceWithOneTimeStampRendersOnce) {
    UnitHost host(kFluxetComponentDescription, ObservedEntry);
    ASSERT_EQ(host.Configure(44100.0, 1, 512), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    auto& unit = host.Object<ObservedFluxet>();
    Channels first, second;
    const Channels input = Noise(1, 256);
    ASSERT_EQ(host.Render(input, 0, 256, first, 0.0), noErr);
    // A parameter change between the calls makes the record differ from the last one.
    host.SetParameter(kParam_DepthCoarse, 100.0f);
    ASSERT_EQ(host.Render(input, 0, 256, second, 0.0), noErr);
    EXPECT_EQ(unit.timeline, "A0:256@0 ");
    // The previous record was refreshed anyway: it is the one of the first render.
    EXPECT_EQ(
        std::memcmp(&unit.PreviousRecord(), &unit.CurrentRecord(), sizeof(MrvnFluxet::PreComp)), 0);
}

AUPreset CurrentPreset(AudioUnit unit) {
    AUPreset preset{};
    UInt32 size = sizeof(preset);
    AudioUnitGetProperty(unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0, &preset,
                         &size);
    return preset;
}

OSStatus LoadPreset(AudioUnit unit, SInt32 number) {
    const AUPreset preset{number, nullptr};
    return AudioUnitSetProperty(unit, kAudioUnitProperty_PresentPreset, kAudioUnitScope_Global, 0,
                                &preset, sizeof(preset));
}

TEST_F(FluxetUnit, ConstructionAppliesDefaultsAndPresetZero) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_EQ(host.GetParameter(id), astParamInfos[id].defaultValue) << id;
    }
    const AUPreset current = CurrentPreset(host.Unit());
    EXPECT_EQ(current.presetNumber, 0);
    EXPECT_STREQ(current.presetName, "Defaults");
    EXPECT_EQ(CallComponentVersion(host.Unit()), 66049);
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
    EXPECT_EQ(host.GetParameter(kParam_DepthCoarse), 278.0f);
    EXPECT_EQ(host.GetParameter(kParam_Feedback), 71.0f);
    EXPECT_STREQ(CurrentPreset(host.Unit()).presetName, "Simple Delay");

    std::vector<Float32> before;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        before.push_back(host.GetParameter(id));
    }
    EXPECT_EQ(LoadPreset(host.Unit(), 18), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(heard, 16);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_EQ(host.GetParameter(id), before[id]);
    }
    EXPECT_EQ(CurrentPreset(host.Unit()).presetNumber, 10);
    AUListenerDispose(listener);
}

TEST_F(FluxetUnit, PortRuleFollowsTheOffsetPresetsAndTheBasePort) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    auto& unit = host.Object<MrvnFluxet>();
    EXPECT_EQ(unit.CurrentOSCPort(), 0);

    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 5.0f), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 7005);
    // Only the global scope's parameter selects the port.
    host.SetParameter(kParam_OSCPortOffset, 9.0f, kAudioUnitScope_Input);
    EXPECT_EQ(unit.CurrentOSCPort(), 7005);

    // The editor stores a new base port; the reapply trigger moves the port.
    g_OSCBasePort.store(8000);
    EXPECT_EQ(unit.CurrentOSCPort(), 7005);
    const UInt8 any = 1;
    ASSERT_EQ(AudioUnitSetProperty(host.Unit(), kMrvnProperty_ReapplyOSCPort,
                                   kAudioUnitScope_Global, 0, &any, 1),
              noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 8005);

    // Offsets below 1 truncate to 0: off.
    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 0.5f), noErr);
    EXPECT_EQ(unit.CurrentOSCPort(), 0);
    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 3.0f), noErr);
    ASSERT_EQ(LoadPreset(host.Unit(), 0), noErr); // "Defaults" has offset 0
    EXPECT_EQ(unit.CurrentOSCPort(), 0);
}

TEST_F(FluxetUnit, InitialisationReadsTheBasePortPreference) {
    SetPrefInt(kPrefOSCBasePort, 9000);
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(44100.0, 2), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    EXPECT_EQ(g_OSCBasePort.load(), 9000);
    ASSERT_EQ(host.SetParameter(kParam_OSCPortOffset, 2.0f), noErr);
    EXPECT_EQ(host.Object<MrvnFluxet>().CurrentOSCPort(), 9002);
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

TEST_F(FluxetUnit, PrivatePropertiesAnswerAsPublished) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    auto& unit = host.Object<MrvnFluxet>();
    EXPECT_EQ(Fetch<const MV::DataToGui*>(host.Unit(), kMrvnProperty_DataToGui),
              &unit.LiveValues());
    for (AudioUnitPropertyID id :
         {kMrvnProperty_PrimaryAppSupportName, kMrvnProperty_SecondaryAppSupportName,
          kMrvnProperty_ProductName}) {
        EXPECT_STREQ(Fetch<const char*>(host.Unit(), id), "Fluxet") << id;
    }
    OSStatus status = noErr;
    Fetch<const char* const*>(host.Unit(), kMrvnProperty_ParameterNames, &status);
    EXPECT_EQ(status, kAudioUnitErr_InvalidProperty);
    EXPECT_EQ(Fetch<UInt32>(host.Unit(), kMrvnProperty_NumParameters), 16u);
    EXPECT_EQ(Fetch<const MrvnParamInfo*>(host.Unit(), kMrvnProperty_ParameterInfos),
              astParamInfos);
    EXPECT_EQ(Fetch<const char*>(host.Unit(), kMrvnProperty_SecondaryGuiFilename), nullptr);

    host.SetParameter(kParam_OSCPortOffset, 42.9f);
    EXPECT_EQ(Fetch<SInt32>(host.Unit(), kMrvnProperty_OSCPortOffset), 42);

    UInt32 size = 0;
    Boolean writable = false;
    ASSERT_EQ(AudioUnitGetPropertyInfo(host.Unit(), kMrvnProperty_ReapplyOSCPort,
                                       kAudioUnitScope_Global, 0, &size, &writable),
              noErr);
    EXPECT_EQ(size, 1u);
    EXPECT_TRUE(writable);

    Fetch<AudioUnitCocoaViewInfo>(host.Unit(), kAudioUnitProperty_CocoaUI, &status);
    EXPECT_EQ(status, fnfErr);
    EXPECT_NEAR(Fetch<Float64>(host.Unit(), kAudioUnitProperty_TailTime), 1.486077097505669, 1e-12);
}

TEST_F(FluxetUnit, ValueNamesThroughTheStringFromValueProperty) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    auto ask = [&](AudioUnitParameterID id, const Float32* value, OSStatus* status) {
        AudioUnitParameterStringFromValue request{id, value, nullptr};
        UInt32 size = sizeof(request);
        *status = AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_ParameterStringFromValue,
                                       kAudioUnitScope_Global, 0, &request, &size);
        return request.outString;
    };
    OSStatus status = noErr;
    const Float32 shape = 2.004f;
    EXPECT_STREQ(ask(kParam_Shape, &shape, &status), "Saw Down");
    EXPECT_EQ(status, noErr);
    // Without a value the current one is named: the default offset 0 is "Off".
    EXPECT_STREQ(ask(kParam_OSCPortOffset, nullptr, &status), "Off");
    EXPECT_EQ(ask(kParam_Bias, &shape, &status), nullptr);
    EXPECT_EQ(status, kAudioUnitErr_InvalidParameter);
}

TEST_F(FluxetUnit, StateRoundTripsBitForBitThroughAFileAndReappliesThePort) {
    const auto path = m_config / "state.plist", defaults = m_config / "defaults.plist";
    {
        UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
        ASSERT_EQ(AUSaveUnitStateToFile(host.Unit(), defaults.string()), noErr);
        ASSERT_EQ(LoadPreset(host.Unit(), 13), noErr);
        host.SetParameter(kParam_Bias, 0.1f);
        host.SetParameter(kParam_Spread, 1.0f / 3.0f);
        host.SetParameter(kParam_OSCPortOffset, 12.0f);
        ASSERT_EQ(AUSaveUnitStateToFile(host.Unit(), path.string()), noErr);
    }
    UnitHost restored(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(AURestoreUnitStateFromFile(restored.Unit(), path.string()), noErr);
    EXPECT_EQ(restored.GetParameter(kParam_Bias), 0.1f);
    EXPECT_EQ(restored.GetParameter(kParam_Spread), 1.0f / 3.0f);
    EXPECT_EQ(restored.GetParameter(kParam_Feedback), -93.0f);
    EXPECT_EQ(restored.Object<MrvnFluxet>().CurrentOSCPort(), 7012);
    const AUPreset current = CurrentPreset(restored.Unit());
    EXPECT_EQ(current.presetNumber, -1);
    EXPECT_STREQ(current.presetName, "Play with the Coarse Speed");
    // A saved offset of 0 turns OSC off again.
    ASSERT_EQ(AURestoreUnitStateFromFile(restored.Unit(), defaults.string()), noErr);
    EXPECT_EQ(restored.Object<MrvnFluxet>().CurrentOSCPort(), 0);
}

TEST_F(FluxetUnit, ControllersChangeNothingThroughTheEmptyTracker) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(44100.0, 1), noErr);
    ASSERT_EQ(host.Initialize(), noErr);
    std::vector<Float32> before;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        before.push_back(host.GetParameter(id));
    }
    for (int controller = 0; controller < 128; controller += 9) {
        MusicDeviceMIDIEvent(host.Unit(), 0xB0, controller, 127, 0);
        MusicDeviceMIDIEvent(host.Unit(), 0xA0, controller, 127, 0);
    }
    Channels output;
    ASSERT_EQ(host.Render(Noise(1, 128), 0, 128, output), noErr);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_EQ(host.GetParameter(id), before[id]);
    }
    EXPECT_EQ(MrvnInstanceTracker::GetParameterFromAllByOSCIndex(0, kParam_Bias), 0.0f);
    EXPECT_FALSE(MrvnInstanceTracker::GetGUIBoolValueFromAllByOSCIndex(0, 3));
    EXPECT_EQ(MrvnInstanceTracker::Lock(host.Unit()), nullptr);
    EXPECT_EQ(MrvnInstanceTracker::FindGuid(1), nullptr);
}

TEST_F(FluxetUnit, RenderingWithMidiAllocatesNothing) {
    UnitHost host(kFluxetComponentDescription, MrvnFluxetEntry);
    ASSERT_EQ(host.Configure(48000.0, 2, 1024), noErr);
    ASSERT_EQ(LoadPreset(host.Unit(), 12), noErr); // sweeps active: the crossfade every block
    ASSERT_EQ(host.Initialize(), noErr);
    const Channels input = Noise(2, 1024);
    Channels output;
    ASSERT_EQ(host.Render(input, 0, 1024, output), noErr); // output vectors sized
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
