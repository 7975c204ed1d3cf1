// Scheduled parameter events: how a render is split into slices, what each slice sees, and
// that the buffers are put back whole.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "TestUnit.h"

namespace fwtest {
namespace {

constexpr UInt32 kFrames = 512;

AudioUnitParameterEvent Immediate(AudioUnitParameterID id, UInt32 offset, Float32 value) {
    AudioUnitParameterEvent event{kAudioUnitScope_Global, 0, id, kParameterEvent_Immediate, {}};
    event.eventValues.immediate = {offset, value};
    return event;
}

AudioUnitParameterEvent Ramp(AudioUnitParameterID id, SInt32 offset, UInt32 duration, Float32 start,
                             Float32 end, AudioUnitScope scope = kAudioUnitScope_Global,
                             AudioUnitElement element = 0) {
    AudioUnitParameterEvent event{scope, element, id, kParameterEvent_Ramped, {}};
    event.eventValues.ramp = {offset, duration, start, end};
    return event;
}

class FrameworkScheduledParameters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_OK(ConnectSource(host.Get(), source));
        ASSERT_OK(AudioUnitInitialize(host.Get()));
    }

    OSStatus Schedule(const std::vector<AudioUnitParameterEvent>& events) {
        return AudioUnitScheduleParameters(host.Get(), events.data(), UInt32(events.size()));
    }
    OSStatus Render() { return RenderAt(host.Get(), sampleTime, kFrames, out.List()); }

    HostedUnit host;
    InputSource source;
    TestBuffers out{2, kFrames};
    Float64 sampleTime = 0.0;
};

TEST_F(FrameworkScheduledParameters, RenderIsSplitAtEventStartsAndRampEnds) {
    const struct {
        std::vector<AudioUnitParameterEvent> events;
        std::vector<UInt32> slices;
    } cases[] = {
        {{}, {512}},
        {{Immediate(kParamSpeed, 200, 20.0f)}, {200, 312}},
        {{Immediate(kParamSpeed, 0, 20.0f)}, {512}},
        {{Immediate(kParamSpeed, 600, 20.0f)}, {512}},
        {{Ramp(kParamSpeed, 100, 50, 20.0f, 30.0f), Ramp(kParamSteps, 100, 300, 1, 9)},
         {100, 50, 250, 112}},
        // Given out of order.
        {{Ramp(kParamSteps, 300, 100, 1, 9), Ramp(kParamSpeed, 100, 50, 20.0f, 30.0f)},
         {100, 50, 150, 100, 112}},
        {{Ramp(kParamSpeed, -50, 100, 20.0f, 30.0f)}, {50, 462}},
        // A ramp for a missing element still splits.
        {{Ramp(kParamSpeed, 128, 10, 1.0f, 2.0f, kAudioUnitScope_Input, 5)}, {128, 10, 374}},
        // So does one for a missing parameter, which is skipped when written.
        {{Ramp(kNumParams, 10, 10, 1.0f, 2.0f)}, {10, 10, 492}},
    };
    TestUnit& unit = host.Unit();
    for (const auto& c : cases) {
        unit.ClearRecords();
        ASSERT_OK(Schedule(c.events));
        ASSERT_OK(Render());
        std::vector<UInt32> slices[2];
        for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
            slices[unit.processCalls[i].channel].push_back(unit.processCalls[i].frames);
        }
        EXPECT_EQ(slices[0], c.slices);
        EXPECT_EQ(slices[1], c.slices);
        // Whatever the slicing, the buffers cover the block again afterwards.
        for (UInt32 ch = 0; ch < 2; ++ch) {
            EXPECT_EQ(out.List().mBuffers[ch].mData, out.Channel(ch));
            EXPECT_EQ(out.List().mBuffers[ch].mDataByteSize, kFrames * sizeof(Float32));
            EXPECT_EQ(out.Channel(ch)[kFrames - 1],
                      InputSource::Sample(ch, kFrames - 1) * host.Param(kParamGain));
        }
    }
    // Events apply only to the render they were scheduled for.
    EXPECT_TRUE(unit.GetParamEventList().empty());
    unit.ClearRecords();
    ASSERT_OK(Render());
    EXPECT_EQ(unit.numProcessCalls, 2u);
}

// An immediate event applies at once and so holds from the start of the block; one at the
// block's start is put back in every slice after another writer moved the parameter.
TEST_F(FrameworkScheduledParameters, ImmediateEventHoldsForTheWholeBlock) {
    EXPECT_EQ(Schedule({Immediate(kNumParams, 10, 1.0f)}), kAudioUnitErr_InvalidParameter);
    ASSERT_OK(Schedule({Immediate(kParamGain, 200, 0.5f)}));
    EXPECT_EQ(host.Param(kParamGain), 0.5f);
    ASSERT_OK(Render());
    for (UInt32 i = 0; i < kFrames; ++i) {
        ASSERT_EQ(out.Channel(1)[i], InputSource::Sample(1, i) * 0.5f) << i;
    }
    ASSERT_OK(
        Schedule({Immediate(kParamGain, 0, 0.25f), Ramp(kParamSpeed, 256, 10, 20.0f, 30.0f)}));
    ASSERT_OK(host.SetParam(kParamGain, 2.0f));
    ASSERT_OK(Render());
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numProcessCalls, 4u + 6u);
    for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
        EXPECT_EQ(unit.processCalls[i].gain, i < 4 ? 0.5f : 0.25f);
    }
}

// A value that is not finite is refused as a unit refuses it when set: the event neither
// applies nor splits the render, and the other events of the call still do.
TEST_F(FrameworkScheduledParameters, EventsWithValuesThatAreNotFiniteAreRefused) {
    const AudioUnitParameterEvent refused[] = {
        Immediate(kParamGain, 100, NAN), Immediate(kParamGain, 0, -INFINITY),
        Ramp(kParamGain, 100, 50, NAN, 1.0f), Ramp(kParamGain, 0, 50, 1.0f, INFINITY)};
    TestUnit& unit = host.Unit();
    const Float32 gain = host.Param(kParamGain);
    for (const AudioUnitParameterEvent& event : refused) {
        unit.ClearRecords();
        EXPECT_EQ(Schedule({event, Immediate(kParamSpeed, 300, 30.0f)}), kAudio_ParamError);
        ASSERT_OK(Render());
        EXPECT_EQ(host.Param(kParamGain), gain);
        EXPECT_EQ(host.Param(kParamSpeed), 30.0f);
        ASSERT_EQ(unit.numProcessCalls, 4u) << "two slices, two channels";
        for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
            EXPECT_EQ(unit.processCalls[i].frames, i < 2 ? 300u : 212u);
            EXPECT_EQ(unit.processCalls[i].gain, gain);
        }
    }
}

TEST_F(FrameworkScheduledParameters, RampActsAsAStepToItsStartValueFromItsSlice) {
    ASSERT_OK(Schedule(
        {Ramp(kParamGain, 100, 50, 0.5f, 1.5f), Ramp(kParamSpeed, 100, 300, 20.0f, 40.0f)}));
    EXPECT_EQ(host.Param(kParamGain), 1.0f);
    ASSERT_OK(Render());
    for (UInt32 i = 0; i < kFrames; ++i) {
        ASSERT_EQ(out.Channel(0)[i], InputSource::Sample(0, i) * (i < 100 ? 1.0f : 0.5f)) << i;
    }
    // The speed ramp was last written for the slice 150..399: its offset is relative to it.
    const ParameterMapEvent* speed = host.Unit().Globals()->FindParameter(kParamSpeed);
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(std::tuple(speed->GetEventType(), speed->GetBufferOffset(),
                         speed->GetDurationInFrames(), speed->GetSliceDurationFrames(),
                         speed->GetValue(), speed->GetEndValue()),
              std::tuple(UInt32(kParameterEvent_Ramped), -50, 300u, 250u, 20.0f, 40.0f));
}

} // namespace
} // namespace fwtest
