// Scheduled parameter events: how a render is split into slices, what each slice sees, and
// that the buffers are put back whole.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestBuffers.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

constexpr UInt32 kFrames = 512;

AudioUnitParameterEvent Immediate(AudioUnitParameterID id, UInt32 offset, Float32 value) {
    AudioUnitParameterEvent event{};
    event.scope = kAudioUnitScope_Global;
    event.parameter = id;
    event.eventType = kParameterEvent_Immediate;
    event.eventValues.immediate.bufferOffset = offset;
    event.eventValues.immediate.value = value;
    return event;
}

AudioUnitParameterEvent Ramp(AudioUnitParameterID id, SInt32 offset, UInt32 duration, Float32 start,
                             Float32 end) {
    AudioUnitParameterEvent event{};
    event.scope = kAudioUnitScope_Global;
    event.parameter = id;
    event.eventType = kParameterEvent_Ramped;
    event.eventValues.ramp = {offset, duration, start, end};
    return event;
}

struct SliceCase {
    const char* name;
    std::vector<AudioUnitParameterEvent> events;
    std::vector<UInt32> slices;
};

class SliceTest : public ::testing::TestWithParam<SliceCase> {};

TEST_P(SliceTest, RenderIsSplitAtEventStartsAndRampEnds) {
    const SliceCase& c = GetParam();
    HostedUnit host;
    InputSource source;
    ASSERT_EQ(ConnectSource(host.Get(), source), noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), c.events.data(), UInt32(c.events.size())),
              noErr);
    TestBuffers out(2, kFrames);
    AudioUnitRenderActionFlags flags = 0;
    const AudioTimeStamp timeStamp{};
    ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, kFrames, &out.List()), noErr);

    const TestUnit& unit = host.Unit();
    std::vector<UInt32> left;
    std::vector<UInt32> right;
    for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
        const ProcessCall& call = unit.processCalls[i];
        (call.channel == 0 ? left : right).push_back(call.frames);
    }
    EXPECT_EQ(left, c.slices);
    EXPECT_EQ(right, c.slices);
    // Whatever the slicing, the buffers cover the block again afterwards.
    for (UInt32 ch = 0; ch < 2; ++ch) {
        EXPECT_EQ(out.List().mBuffers[ch].mData, out.Channel(ch));
        EXPECT_EQ(out.List().mBuffers[ch].mDataByteSize, kFrames * sizeof(Float32));
        EXPECT_EQ(out.Channel(ch)[kFrames - 1],
                  InputSource::Sample(ch, kFrames - 1) * unit.Globals()->GetParameter(kParamGain));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Framework, SliceTest,
    ::testing::Values(
        SliceCase{"NoEvents", {}, {512}},
        SliceCase{"ImmediateAt200", {Immediate(kParamSpeed, 200, 20.0f)}, {200, 312}},
        SliceCase{"ImmediateAtZero", {Immediate(kParamSpeed, 0, 20.0f)}, {512}},
        SliceCase{"ImmediateBeyondTheBlock", {Immediate(kParamSpeed, 600, 20.0f)}, {512}},
        SliceCase{"TwoRampsFrom100",
                  {Ramp(kParamSpeed, 100, 50, 20.0f, 30.0f), Ramp(kParamSteps, 100, 300, 1, 9)},
                  {100, 50, 250, 112}},
        SliceCase{"RampsGivenOutOfOrder",
                  {Ramp(kParamSteps, 300, 100, 1, 9), Ramp(kParamSpeed, 100, 50, 20.0f, 30.0f)},
                  {100, 50, 150, 100, 112}},
        SliceCase{
            "RampStartingBeforeTheBlock", {Ramp(kParamSpeed, -50, 100, 20.0f, 30.0f)}, {50, 462}},
        SliceCase{"RampForAMissingElementStillSplits",
                  {[] {
                      AudioUnitParameterEvent event = Ramp(kParamSpeed, 128, 10, 1.0f, 2.0f);
                      event.scope = kAudioUnitScope_Input;
                      event.element = 5;
                      return event;
                  }()},
                  {128, 10, 374}}),
    [](const auto& info) { return std::string(info.param.name); });

class FrameworkScheduledParameters : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(ConnectSource(host.Get(), source), noErr);
        ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    }

    OSStatus Render(TestBuffers& out) {
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp timeStamp{};
        timeStamp.mSampleTime = sampleTime;
        sampleTime += kFrames;
        return AudioUnitRender(host.Get(), &flags, &timeStamp, 0, kFrames, &out.List());
    }

    HostedUnit host;
    InputSource source;
    Float64 sampleTime = 0.0;
};

TEST_F(FrameworkScheduledParameters, ImmediateEventHoldsFromTheStartOfTheBlock) {
    const AudioUnitParameterEvent event = Immediate(kParamGain, 200, 0.5f);
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), &event, 1), noErr);
    // Applied at once, before any render.
    EXPECT_EQ(host.Param(kParamGain), 0.5f);
    TestBuffers out(2, kFrames);
    ASSERT_EQ(Render(out), noErr);
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numProcessCalls, 4u);
    for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
        EXPECT_EQ(unit.processCalls[i].gain, 0.5f);
    }
    for (UInt32 i = 0; i < kFrames; ++i) {
        ASSERT_EQ(out.Channel(1)[i], InputSource::Sample(1, i) * 0.5f) << i;
    }
}

TEST_F(FrameworkScheduledParameters, RampActsAsAStepToItsStartValueFromItsSlice) {
    const AudioUnitParameterEvent events[] = {Ramp(kParamGain, 100, 50, 0.5f, 1.5f),
                                              Ramp(kParamSpeed, 100, 300, 20.0f, 40.0f)};
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), events, 2), noErr);
    EXPECT_EQ(host.Param(kParamGain), 1.0f);
    TestBuffers out(2, kFrames);
    ASSERT_EQ(Render(out), noErr);
    for (UInt32 i = 0; i < kFrames; ++i) {
        const Float32 gain = i < 100 ? 1.0f : 0.5f;
        ASSERT_EQ(out.Channel(0)[i], InputSource::Sample(0, i) * gain) << i;
    }
    // The speed ramp was last written for the slice 150..399: its offset is relative to it.
    const ParameterMapEvent* speed = host.Unit().Globals()->FindParameter(kParamSpeed);
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->GetEventType(), UInt32(kParameterEvent_Ramped));
    EXPECT_EQ(speed->GetBufferOffset(), -50);
    EXPECT_EQ(speed->GetDurationInFrames(), 300u);
    EXPECT_EQ(speed->GetSliceDurationFrames(), 250u);
    EXPECT_EQ(speed->GetValue(), 20.0f);
    EXPECT_EQ(speed->GetEndValue(), 40.0f);
}

TEST_F(FrameworkScheduledParameters, EarlierImmediateEventsAreReappliedInEverySlice) {
    const AudioUnitParameterEvent events[] = {Immediate(kParamGain, 0, 0.25f),
                                              Ramp(kParamSpeed, 256, 10, 20.0f, 30.0f)};
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), events, 2), noErr);
    // Another writer moves the gain after scheduling; the slices put the event's value back.
    ASSERT_EQ(host.SetParam(kParamGain, 2.0f), noErr);
    TestBuffers out(2, kFrames);
    ASSERT_EQ(Render(out), noErr);
    const TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numProcessCalls, 6u);
    for (std::size_t i = 0; i < unit.numProcessCalls; ++i) {
        EXPECT_EQ(unit.processCalls[i].gain, 0.25f);
    }
}

TEST_F(FrameworkScheduledParameters, EventsApplyOnlyToTheRenderTheyWereScheduledFor) {
    const AudioUnitParameterEvent event = Immediate(kParamSpeed, 300, 20.0f);
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), &event, 1), noErr);
    TestBuffers out(2, kFrames);
    ASSERT_EQ(Render(out), noErr);
    EXPECT_EQ(host.Unit().numProcessCalls, 4u);
    EXPECT_TRUE(host.Unit().GetParamEventList().empty());
    host.Unit().ClearRecords();
    ASSERT_EQ(Render(out), noErr);
    EXPECT_EQ(host.Unit().numProcessCalls, 2u);
}

TEST_F(FrameworkScheduledParameters, AnImmediateEventForAMissingParameterFailsTheRequest) {
    const AudioUnitParameterEvent event = Immediate(kNumParams, 10, 1.0f);
    EXPECT_EQ(AudioUnitScheduleParameters(host.Get(), &event, 1), kAudioUnitErr_InvalidParameter);
    // A ramp for it is kept, slices the render and is skipped when written.
    const AudioUnitParameterEvent ramp = Ramp(kNumParams, 10, 10, 1.0f, 2.0f);
    ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), &ramp, 1), noErr);
    TestBuffers out(2, kFrames);
    EXPECT_EQ(Render(out), noErr);
    EXPECT_EQ(host.Unit().numProcessCalls, 6u);
}

} // namespace
} // namespace fwtest
