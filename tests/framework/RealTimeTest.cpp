// What runs on the render thread allocates nothing: renders with scheduled parameters and
// render notifications, MIDI, and parameter sets that notify listeners.
#include <gtest/gtest.h>

#include "AUHostServices.h"
#include "CountingAllocator.h"
#include "TestBuffers.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

OSStatus CountRender(void* refCon, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32,
                     UInt32, AudioBufferList*) {
    ++*static_cast<int*>(refCon);
    return noErr;
}

void CountParameter(void* refCon, void*, const AudioUnitParameter*, AudioUnitParameterValue) {
    ++*static_cast<int*>(refCon);
}

TEST(FrameworkRealTime, RenderCycleAllocatesNothing) {
    HostedUnit host;
    InputSource source;
    ASSERT_EQ(ConnectSource(host.Get(), source), noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    int notifications = 0;
    ASSERT_EQ(AudioUnitAddRenderNotify(host.Get(), &CountRender, &notifications), noErr);
    int heard = 0;
    AUParameterListenerRef listener = nullptr;
    ASSERT_EQ(AUListenerCreate(&CountParameter, &heard, &listener), noErr);
    const AudioUnitParameter gain{host.Get(), kParamGain, kAudioUnitScope_Global, 0};
    ASSERT_EQ(AUListenerAddParameter(listener, nullptr, &gain), noErr);

    TestBuffers out(2, 512);
    TestBuffers lent(2, 512);
    lent.DetachMemory(0);
    lent.DetachMemory(1);
    AudioTimeStamp timeStamp{};
    AudioUnitRenderActionFlags flags = 0;
    // One render outside the count applies the pending notification.
    ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, 512, &out.List()), noErr);
    host.Unit().ClearRecords();

    std::size_t allocations = 0;
    std::size_t deallocations = 0;
    {
        const MV::test::AllocationCounter counter;
        for (int block = 1; block <= 20; ++block) {
            AudioUnitParameterEvent events[24] = {};
            for (UInt32 i = 0; i < 24; ++i) {
                events[i].scope = kAudioUnitScope_Global;
                events[i].parameter = i % 2 == 0 ? kParamSpeed : kParamSteps;
                events[i].eventType =
                    i % 3 == 0 ? kParameterEvent_Immediate : kParameterEvent_Ramped;
                if (events[i].eventType == kParameterEvent_Immediate) {
                    events[i].eventValues.immediate = {(i * 37) % 512, Float32(i)};
                } else {
                    events[i].eventValues.ramp = {SInt32((i * 53) % 512), 40, 1.0f, 2.0f};
                }
            }
            ASSERT_EQ(AudioUnitScheduleParameters(host.Get(), events, 24), noErr);
            ASSERT_EQ(MusicDeviceMIDIEvent(host.Get(), 0xB2, 7, 100, 12), noErr);
            ASSERT_EQ(AUParameterSet(nullptr, nullptr, &gain, 0.5f + 0.01f * block, 0), noErr);
            timeStamp.mSampleTime = 512.0 * block;
            ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, 512,
                                      block % 2 == 0 ? &out.List() : &lent.List()),
                      noErr);
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
