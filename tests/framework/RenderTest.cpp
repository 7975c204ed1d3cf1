// The effect frame and render driver: initialisation checks, render request checks, kernels,
// bypass, in-place processing, render notifications, errors and input-silence detection.
#include <gtest/gtest.h>

#include "TestUnit.h"

namespace fwtest {
namespace {

constexpr Float32 kSentinel = -777.0f;

class FrameworkRender : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_OK(ConnectSource(host.Get(), source)); }

    OSStatus Render(TestBuffers& out, UInt32 frames, AudioUnitRenderActionFlags* flags = nullptr) {
        return RenderAt(host.Get(), sampleTime, frames, out.List(), flags);
    }

    // Every sample of out is the input times gain, on every channel.
    static void ExpectGain(TestBuffers& out, UInt32 channels, UInt32 frames, Float32 gain) {
        for (UInt32 c = 0; c < channels; ++c) {
            for (UInt32 i = 0; i < frames; ++i) {
                ASSERT_EQ(out.Channel(c)[i], InputSource::Sample(c, i) * gain)
                    << "channel " << c << " frame " << i;
            }
        }
    }

    HostedUnit host;
    InputSource source;
    Float64 sampleTime = 0.0;
};

// Each accepted configuration gets a kernel per channel; a larger host buffer is trimmed to
// the request.
TEST_F(FrameworkRender, InitialisationChecksChannelCountsAndMakesAKernelPerChannel) {
    const struct {
        UInt32 inputs, outputs;
        OSStatus expected;
    } cases[] = {{1, 1, noErr},
                 {5, 5, noErr},
                 {2, 1, kAudioUnitErr_FormatNotSupported},
                 {1, 2, kAudioUnitErr_FormatNotSupported},
                 {0, 0, kAudioUnitErr_FormatNotSupported}};
    for (const auto& [inputs, outputs, expected] : cases) {
        HostedUnit unitHost;
        ASSERT_OK(ConnectSource(unitHost.Get(), source));
        ASSERT_OK(unitHost.SetFormat(kAudioUnitScope_Input, inputs));
        ASSERT_OK(unitHost.SetFormat(kAudioUnitScope_Output, outputs));
        EXPECT_EQ(AudioUnitInitialize(unitHost.Get()), expected) << inputs << "/" << outputs;
        TestUnit& unit = unitHost.Unit();
        EXPECT_EQ(unit.IsInitialized(), expected == noErr);
        if (expected != noErr) {
            continue;
        }
        ASSERT_EQ(unit.GetNumberOfKernels(), outputs);
        ASSERT_OK(unitHost.SetParam(kParamGain, 0.5f));
        TestBuffers out(outputs, 300, kSentinel);
        ASSERT_OK(RenderAt(unitHost.Get(), sampleTime, 200, out.List()));
        ExpectGain(out, outputs, 200, 0.5f);
        EXPECT_EQ(out.Channel(0)[200], kSentinel);
        EXPECT_EQ(out.List().mBuffers[0].mDataByteSize, 200 * sizeof(Float32));
        ASSERT_EQ(unit.numProcessCalls, outputs);
        for (UInt32 i = 0; i < outputs; ++i) {
            EXPECT_EQ(unit.GetKernel(i)->GetChannelNum(), i);
            EXPECT_EQ(unit.processCalls[i].channel, i);
            EXPECT_EQ(unit.processCalls[i].frames, 200u);
        }
        EXPECT_EQ(AudioUnitUninitialize(unitHost.Get()), noErr);
        EXPECT_EQ(unit.GetNumberOfKernels(), 0u);
    }
}

// Uninitialised, unconnected, a failing kernel: the output stays as it was.
TEST_F(FrameworkRender, FailedRendersLeaveTheOutputUntouched) {
    TestBuffers out(2, 64, kSentinel);
    EXPECT_EQ(Render(out, 64), kAudioUnitErr_Uninitialized);
    EXPECT_EQ(source.calls, 0u);
    ASSERT_OK(host.SetParam(kParamGain, -1.0f));
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    EXPECT_EQ(Render(out, 64), kKernelThrow);
    ASSERT_OK(AudioUnitSetProperty(host.Get(), kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, nullptr, 0));
    EXPECT_EQ(Render(out, 64), kAudioUnitErr_NoConnection);
    EXPECT_TRUE(out.AllEqual(2, kSentinel));
}

TEST_F(FrameworkRender, FramesBeyondTheMaximumAreRefusedUntilTheMaximumGrows) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    TestBuffers out(2, 1157, kSentinel);
    EXPECT_EQ(Render(out, 1157), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_TRUE(out.AllEqual(2, kSentinel));
    EXPECT_EQ(source.calls, 0u);
    EXPECT_EQ(Render(out, 1156), noErr);
    ExpectGain(out, 2, 1156, 1.0f);
    const UInt32 frames = 2048;
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_MaximumFramesPerSlice, frames),
              kAudioUnitErr_Initialized);
    ASSERT_OK(AudioUnitUninitialize(host.Get()));
    ASSERT_OK(host.SetProp(kAudioUnitProperty_MaximumFramesPerSlice, frames));
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    TestBuffers big(2, frames, kSentinel);
    EXPECT_EQ(Render(big, frames), noErr);
    ExpectGain(big, 2, frames, 1.0f);
}

// Too few or too many buffers, or one a sample short (99: none).
TEST_F(FrameworkRender, BadBufferListsAreRefusedWithParamErrorAndOutputUntouched) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    for (const auto& [buffers, shortBuffer] : {std::pair{1u, 99u}, {3u, 99u}, {2u, 1u}}) {
        TestBuffers out(buffers, 256, kSentinel);
        if (shortBuffer < buffers) {
            out.List().mBuffers[shortBuffer].mDataByteSize = 255 * sizeof(Float32);
        }
        EXPECT_EQ(Render(out, 256), kAudio_ParamError) << buffers << " " << shortBuffer;
        EXPECT_TRUE(out.AllEqual(buffers, kSentinel));
        for (UInt32 i = 0; i < buffers; ++i) {
            EXPECT_EQ(out.List().mBuffers[i].mDataByteSize, (i == shortBuffer ? 255 : 256) * 4u);
        }
    }
    EXPECT_EQ(source.calls, 0u);
}

TEST_F(FrameworkRender, BuffersWithoutMemoryReceiveTheUnitsBuffers) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    ASSERT_OK(host.SetParam(kParamGain, 2.0f));
    TestBuffers out(2, 128, kSentinel);
    out.DetachMemory(1);
    ASSERT_OK(Render(out, 128));
    const auto* lent = static_cast<const Float32*>(out.List().mBuffers[1].mData);
    ASSERT_NE(lent, nullptr);
    EXPECT_EQ(out.List().mBuffers[1].mDataByteSize, 128 * sizeof(Float32));
    for (UInt32 i = 0; i < 128; ++i) {
        ASSERT_EQ(out.Channel(0)[i], InputSource::Sample(0, i) * 2.0f);
        ASSERT_EQ(lent[i], InputSource::Sample(1, i) * 2.0f);
    }
}

std::vector<AudioUnitRenderActionFlags> g_notified;

OSStatus RecordNotify(void*, AudioUnitRenderActionFlags* ioActionFlags, const AudioTimeStamp*,
                      UInt32, UInt32, AudioBufferList*) {
    g_notified.push_back(*ioActionFlags);
    return noErr;
}

// A failed render is recorded and reported once until it is read.
TEST_F(FrameworkRender, NotificationsSeePreAndPostFlagsAndTheErrorBit) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    g_notified.clear();
    int errors = 0;
    ASSERT_OK(AudioUnitAddRenderNotify(host.Get(), &RecordNotify, nullptr));
    ASSERT_OK(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_LastRenderError,
                                           &CountCall, &errors));
    TestBuffers out(2, 64, kSentinel);
    ASSERT_OK(Render(out, 64));
    source.result = -31;
    EXPECT_EQ(Render(out, 64), -31);
    EXPECT_EQ(Render(out, 64), -31);
    const AudioUnitRenderActionFlags pre = kAudioUnitRenderAction_PreRender;
    const AudioUnitRenderActionFlags post = kAudioUnitRenderAction_PostRender;
    const AudioUnitRenderActionFlags failed = post | kAudioUnitRenderAction_PostRenderError;
    EXPECT_EQ(g_notified,
              (std::vector<AudioUnitRenderActionFlags>{pre, post, pre, failed, pre, failed}));
    EXPECT_EQ(errors, 1);
    OSStatus lastError = 0;
    ASSERT_OK(host.GetProp(kAudioUnitProperty_LastRenderError, lastError));
    EXPECT_EQ(lastError, -31);
    ASSERT_OK(AudioUnitRemoveRenderNotify(host.Get(), &RecordNotify, nullptr));
    source.result = noErr;
    ASSERT_OK(Render(out, 64));
    EXPECT_EQ(g_notified.size(), 6u);
}

// 441 tail samples: two silent renders still count as sound, then silence; sound re-arms it.
TEST_F(FrameworkRender, SilentInputIsReportedOnlyAfterTheTail) {
    TestUnit& unit = host.Unit();
    unit.kernelsReportSilence = true;
    unit.tailTime = 441.0 / 44100.0;
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    TestBuffers out(2, 256, kSentinel);
    std::vector<bool> silentFlags;
    for (const bool silentInput : {true, true, true, true, false, true}) {
        source.silent = silentInput;
        AudioUnitRenderActionFlags flags = 0;
        EXPECT_EQ(Render(out, 256, &flags), noErr);
        silentFlags.push_back((flags & kAudioUnitRenderAction_OutputIsSilence) != 0);
    }
    EXPECT_EQ(silentFlags, (std::vector<bool>{false, false, true, true, false, false}));
    EXPECT_EQ(out.Channel(0)[0], 0.0f);
}

TEST_F(FrameworkRender, ResetClearsTheRenderTimeSoTheSameTimeStampRendersAgain) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    TestUnit& unit = host.Unit();
    TestBuffers out(2, 64, kSentinel);
    for (int i = 0; i < 2; ++i) {
        sampleTime = 4096.0;
        ASSERT_OK(Render(out, 64));
    }
    EXPECT_EQ(unit.numProcessCalls, 2u);
    EXPECT_EQ(unit.CurrentRenderTime().mSampleTime, 4096.0);
    ASSERT_OK(AudioUnitReset(host.Get(), kAudioUnitScope_Global, 0));
    EXPECT_EQ(unit.CurrentRenderTime().mSampleTime, -1.0);
    EXPECT_EQ(unit.kernelResets.load(), 2);
    sampleTime = 4096.0;
    ASSERT_OK(Render(out, 64));
    EXPECT_EQ(unit.numProcessCalls, 4u);
}

TEST_F(FrameworkRender, BypassCopiesInputAndLeavingItResetsTheKernels) {
    ASSERT_OK(AudioUnitInitialize(host.Get()));
    ASSERT_OK(host.SetParam(kParamGain, 0.5f));
    TestUnit& unit = host.Unit();
    const UInt32 on = 1;
    EXPECT_EQ(AudioUnitSetProperty(host.Get(), kAudioUnitProperty_BypassEffect,
                                   kAudioUnitScope_Global, 0, &on, 2),
              kAudioUnitErr_InvalidPropertyValue);
    ASSERT_OK(host.SetProp(kAudioUnitProperty_BypassEffect, on));
    EXPECT_EQ(unit.kernelResets.load(), 0);
    TestBuffers out(2, 256, kSentinel);
    ASSERT_OK(Render(out, 256));
    ExpectGain(out, 2, 256, 1.0f);
    EXPECT_EQ(unit.numProcessCalls, 0u);
    // Setting it off twice resets the kernels once.
    for (int i = 0; i < 2; ++i) {
        ASSERT_OK(host.SetProp(kAudioUnitProperty_BypassEffect, UInt32(0)));
        EXPECT_EQ(unit.kernelResets.load(), 2);
    }
    ASSERT_OK(Render(out, 256));
    ExpectGain(out, 2, 256, 0.5f);
}

} // namespace
} // namespace fwtest
