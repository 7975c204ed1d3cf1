// What runs on the render thread allocates nothing: renders with scheduled parameters and
// render notifications, MIDI, and parameter sets that notify listeners.
#include <gtest/gtest.h>

#include "AUHostServices.h"
#include "CountingAllocator.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

OSStatus CountRender(void* count, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                     UInt32, AudioBufferList*) {
    ++*static_cast<int*>(count);
    return noErr;
}

void CountParameter(void* count, void*, const AudioUnitParameter*, AudioUnitParameterValue) {
    ++*static_cast<int*>(count);
}

TEST(FrameworkRealTime, RenderCycleAllocatesNothing) {
    HostedUnit host;
    InputSource source;
    ASSERT_OK(ConnectSource(host.Get(), source));
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    int notifications = 0, heard = 0;
    ASSERT_OK(AudioUnitAddRenderNotify(host.Get(), &CountRender, &notifications));
    AUParameterListenerRef listener = nullptr;
    ASSERT_OK(AUListenerCreate(&CountParameter, &heard, &listener));
    const AudioUnitParameter gain{host.Get(), kParamGain, kAudioUnitScope_Global, 0};
    ASSERT_OK(AUListenerAddParameter(listener, nullptr, &gain));
    TestBuffers out(2, 512), lent(2, 512);
    lent.DetachMemory(0);
    lent.DetachMemory(1);
    Float64 sampleTime = 0;
    // One render outside the count applies the pending notification.
    ASSERT_OK(RenderAt(host.Get(), sampleTime, 512, out.List()));
    host.Unit().ClearRecords();
    // Immediate and ramped events on two parameters, at offsets all over the block.
    AudioUnitParameterEvent events[24] = {};
    for (UInt32 i = 0; i < 24; ++i) {
        events[i].parameter = i % 2 == 0 ? kParamSpeed : kParamSteps;
        events[i].eventType = i % 3 == 0 ? kParameterEvent_Immediate : kParameterEvent_Ramped;
        if (events[i].eventType == kParameterEvent_Immediate) {
            events[i].eventValues.immediate = {(i * 37) % 512, Float32(i)};
        } else {
            events[i].eventValues.ramp = {SInt32((i * 53) % 512), 40, 1.0f, 2.0f};
        }
    }
    std::size_t allocations = 0, deallocations = 0;
    {
        const MV::test::AllocationCounter counter;
        for (int block = 1; block <= 20; ++block) {
            ASSERT_OK(AudioUnitScheduleParameters(host.Get(), events, 24));
            ASSERT_OK(MusicDeviceMIDIEvent(host.Get(), 0xB2, 7, 100, 12));
            ASSERT_OK(AUParameterSet(nullptr, nullptr, &gain, 0.5f + 0.01f * block, 0));
            ASSERT_OK(
                RenderAt(host.Get(), sampleTime, 512, block % 2 == 0 ? out.List() : lent.List()));
        }
        allocations = counter.Allocations();
        deallocations = counter.Deallocations();
    }
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(deallocations, 0u);
    // The work did happen.
    EXPECT_EQ(notifications, 2 + 40);
    EXPECT_EQ(heard, 20);
    EXPECT_GT(host.Unit().numProcessCalls, 40u);
    EXPECT_EQ(host.Unit().numMidiCalls, 20u);
    EXPECT_EQ(AUListenerDispose(listener), noErr);
}

} // namespace
} // namespace fwtest
