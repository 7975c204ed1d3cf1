// The effect frame and render driver: initialisation checks, render request checks, kernels,
// bypass, in-place processing, render notifications, errors and input-silence detection.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestBuffers.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

constexpr Float32 kSentinel = -777.0f;

class FrameworkRender : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ConnectSource(host.Get(), source), noErr); }

    OSStatus Render(TestBuffers& out, UInt32 frames, AudioUnitRenderActionFlags* flags = nullptr) {
        AudioUnitRenderActionFlags none = 0;
        AudioTimeStamp timeStamp{};
        timeStamp.mSampleTime = sampleTime;
        timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
        sampleTime += frames;
        return AudioUnitRender(host.Get(), flags != nullptr ? flags : &none, &timeStamp, 0, frames,
                               &out.List());
    }

    // Every sample of out is the input times gain, on every channel.
    static void ExpectGain(TestBuffers& out, UInt32 channels, UInt32 frames, Float32 gain,
                           UInt32 from = 0) {
        for (UInt32 c = 0; c < channels; ++c) {
            for (UInt32 i = from; i < frames; ++i) {
                ASSERT_EQ(out.Channel(c)[i], InputSource::Sample(c, i) * gain)
                    << "channel " << c << " frame " << i;
            }
        }
    }

    static bool Untouched(TestBuffers& out, UInt32 channels) {
        for (UInt32 c = 0; c < channels; ++c) {
            for (UInt32 i = 0; i < out.Frames(); ++i) {
                if (out.Channel(c)[i] != kSentinel) {
                    return false;
                }
            }
        }
        return true;
    }

    HostedUnit host;
    InputSource source;
    Float64 sampleTime = 0.0;
};

struct ChannelCase {
    UInt32 inputs;
    UInt32 outputs;
    OSStatus expected;
};

class ChannelConfigurationTest : public ::testing::TestWithParam<ChannelCase> {};

TEST_P(ChannelConfigurationTest, InitialisationChecksChannelCounts) {
    const ChannelCase& c = GetParam();
    HostedUnit host;
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Input, c.inputs), noErr);
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Output, c.outputs), noErr);
    EXPECT_EQ(AudioUnitInitialize(host.Get()), c.expected);
    TestUnit& unit = host.Unit();
    EXPECT_EQ(unit.IsInitialized(), c.expected == noErr);
    if (c.expected == noErr) {
        ASSERT_EQ(unit.GetNumberOfKernels(), c.outputs);
        for (UInt32 i = 0; i < c.outputs; ++i) {
            EXPECT_EQ(unit.GetKernel(i)->GetChannelNum(), i);
        }
        EXPECT_EQ(AudioUnitUninitialize(host.Get()), noErr);
        EXPECT_EQ(unit.GetNumberOfKernels(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Framework, ChannelConfigurationTest,
                         ::testing::Values(ChannelCase{2, 2, noErr}, ChannelCase{1, 1, noErr},
                                           ChannelCase{5, 5, noErr},
                                           ChannelCase{2, 1, kAudioUnitErr_FormatNotSupported},
                                           ChannelCase{1, 2, kAudioUnitErr_FormatNotSupported},
                                           ChannelCase{0, 0, kAudioUnitErr_FormatNotSupported}));

TEST_F(FrameworkRender, RenderBeforeInitialisationFailsAndLeavesOutput) {
    TestBuffers out(2, 64, kSentinel);
    EXPECT_EQ(Render(out, 64), kAudioUnitErr_Uninitialized);
    EXPECT_TRUE(Untouched(out, 2));
    EXPECT_EQ(source.calls, 0u);
}

TEST_F(FrameworkRender, FramesBeyondTheMaximumAreRefusedUntilTheMaximumGrows) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestBuffers out(2, 1157, kSentinel);
    EXPECT_EQ(Render(out, 1157), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_TRUE(Untouched(out, 2));
    EXPECT_EQ(source.calls, 0u);
    EXPECT_EQ(Render(out, 1156), noErr);
    ExpectGain(out, 2, 1156, 1.0f);

    const UInt32 frames = 2048;
    EXPECT_EQ(host.SetProp(kAudioUnitProperty_MaximumFramesPerSlice, frames),
              kAudioUnitErr_Initialized);
    ASSERT_EQ(AudioUnitUninitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_MaximumFramesPerSlice, frames), noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestBuffers big(2, 2048, kSentinel);
    EXPECT_EQ(Render(big, 2048), noErr);
    ExpectGain(big, 2, 2048, 1.0f);
}

struct BadListCase {
    const char* name;
    UInt32 buffers;
    UInt32 shortBuffer; // index of a buffer whose byte size is one sample short, or 99
};

class BadBufferListTest : public FrameworkRender,
                          public ::testing::WithParamInterface<BadListCase> {};

TEST_P(BadBufferListTest, RefusedWithParamErrorAndOutputUntouched) {
    const BadListCase& c = GetParam();
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestBuffers out(c.buffers, 256, kSentinel);
    if (c.shortBuffer < c.buffers) {
        out.List().mBuffers[c.shortBuffer].mDataByteSize = 255 * sizeof(Float32);
    }
    std::vector<UInt32> sizes;
    for (UInt32 i = 0; i < c.buffers; ++i) {
        sizes.push_back(out.List().mBuffers[i].mDataByteSize);
    }
    EXPECT_EQ(Render(out, 256), kAudio_ParamError);
    EXPECT_TRUE(Untouched(out, c.buffers));
    for (UInt32 i = 0; i < c.buffers; ++i) {
        EXPECT_EQ(out.List().mBuffers[i].mDataByteSize, sizes[i]);
    }
    EXPECT_EQ(source.calls, 0u);
}

INSTANTIATE_TEST_SUITE_P(Framework, BadBufferListTest,
                         ::testing::Values(BadListCase{"OneBufferForStereo", 1, 99},
                                           BadListCase{"ThreeBuffersForStereo", 3, 99},
                                           BadListCase{"FirstBufferShort", 2, 0},
                                           BadListCase{"SecondBufferShort", 2, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameworkRender, KernelsProcessEveryChannelWithTheGain) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, 0.5f), noErr);
    TestBuffers out(2, 300, kSentinel);
    // A larger host buffer is allowed and trimmed to the request.
    out.List().mBuffers[0].mDataByteSize = 300 * sizeof(Float32);
    ASSERT_EQ(Render(out, 200), noErr);
    ExpectGain(out, 2, 200, 0.5f);
    EXPECT_EQ(out.Channel(0)[200], kSentinel);
    EXPECT_EQ(out.List().mBuffers[0].mDataByteSize, 200 * sizeof(Float32));
    TestUnit& unit = host.Unit();
    ASSERT_EQ(unit.numProcessCalls, 2u);
    EXPECT_EQ(unit.processCalls[0].channel, 0u);
    EXPECT_EQ(unit.processCalls[1].channel, 1u);
    EXPECT_EQ(unit.processCalls[1].frames, 200u);
}

TEST_F(FrameworkRender, MonoRendersThroughOneKernel) {
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Input, 1), noErr);
    ASSERT_EQ(host.SetFormat(kAudioUnitScope_Output, 1), noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestBuffers out(1, 64, kSentinel);
    ASSERT_EQ(Render(out, 64), noErr);
    ExpectGain(out, 1, 64, 1.0f);
}

TEST_F(FrameworkRender, BuffersWithoutMemoryReceiveTheUnitsBuffers) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, 2.0f), noErr);
    TestBuffers out(2, 128, kSentinel);
    out.DetachMemory(1);
    ASSERT_EQ(Render(out, 128), noErr);
    const auto* lent = static_cast<const Float32*>(out.List().mBuffers[1].mData);
    ASSERT_NE(lent, nullptr);
    EXPECT_EQ(out.List().mBuffers[1].mDataByteSize, 128 * sizeof(Float32));
    for (UInt32 i = 0; i < 128; ++i) {
        ASSERT_EQ(out.Channel(0)[i], InputSource::Sample(0, i) * 2.0f);
        ASSERT_EQ(lent[i], InputSource::Sample(1, i) * 2.0f);
    }
}

TEST_F(FrameworkRender, BypassCopiesInputAndLeavingItResetsTheKernels) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, 0.5f), noErr);
    TestUnit& unit = host.Unit();
    const UInt32 on = 1;
    const UInt32 off = 0;
    EXPECT_EQ(AudioUnitSetProperty(host.Get(), kAudioUnitProperty_BypassEffect,
                                   kAudioUnitScope_Global, 0, &on, 2),
              kAudioUnitErr_InvalidPropertyValue);
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_BypassEffect, on), noErr);
    EXPECT_EQ(unit.kernelResets.load(), 0);

    TestBuffers out(2, 256, kSentinel);
    ASSERT_EQ(Render(out, 256), noErr);
    ExpectGain(out, 2, 256, 1.0f);
    EXPECT_EQ(unit.numProcessCalls, 0u);

    ASSERT_EQ(host.SetProp(kAudioUnitProperty_BypassEffect, off), noErr);
    EXPECT_EQ(unit.kernelResets.load(), 2);
    // Setting it off again is no change and resets nothing.
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_BypassEffect, off), noErr);
    EXPECT_EQ(unit.kernelResets.load(), 2);
    ASSERT_EQ(Render(out, 256), noErr);
    ExpectGain(out, 2, 256, 0.5f);
}

TEST_F(FrameworkRender, InPlaceProcessingHandsTheKernelsTheOutputBuffers) {
    UInt32 inPlace = 99;
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_InPlaceProcessing, inPlace), noErr);
    EXPECT_EQ(inPlace, 0u);
    inPlace = 1;
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_InPlaceProcessing, inPlace), noErr);
    EXPECT_TRUE(host.Unit().ProcessesInPlace());
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, 1.5f), noErr);
    TestBuffers out(2, 100, kSentinel);
    ASSERT_EQ(Render(out, 100), noErr);
    ExpectGain(out, 2, 100, 1.5f);
}

struct NotifyRecord {
    std::vector<AudioUnitRenderActionFlags> flags;
    static OSStatus Callback(void* refCon, AudioUnitRenderActionFlags* ioActionFlags,
                             const AudioTimeStamp*, UInt32, UInt32, AudioBufferList*) {
        static_cast<NotifyRecord*>(refCon)->flags.push_back(*ioActionFlags);
        return noErr;
    }
};

struct PropertyCount {
    int calls = 0;
    static void Listener(void* userData, AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                         AudioUnitElement) {
        ++static_cast<PropertyCount*>(userData)->calls;
    }
};

TEST_F(FrameworkRender, NotificationsSeePreAndPostFlagsAndTheErrorBit) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    NotifyRecord record;
    PropertyCount errors;
    ASSERT_EQ(AudioUnitAddRenderNotify(host.Get(), &NotifyRecord::Callback, &record), noErr);
    ASSERT_EQ(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_LastRenderError,
                                           &PropertyCount::Listener, &errors),
              noErr);
    TestBuffers out(2, 64, kSentinel);
    ASSERT_EQ(Render(out, 64), noErr);
    ASSERT_EQ(record.flags.size(), 2u);
    EXPECT_EQ(record.flags[0], kAudioUnitRenderAction_PreRender);
    EXPECT_EQ(record.flags[1], kAudioUnitRenderAction_PostRender);

    source.result = -31;
    EXPECT_EQ(Render(out, 64), -31);
    EXPECT_EQ(Render(out, 64), -31);
    ASSERT_EQ(record.flags.size(), 6u);
    EXPECT_EQ(record.flags[3],
              kAudioUnitRenderAction_PostRender | kAudioUnitRenderAction_PostRenderError);
    EXPECT_EQ(record.flags[5],
              kAudioUnitRenderAction_PostRender | kAudioUnitRenderAction_PostRenderError);
    // Recorded and reported once until it is read.
    EXPECT_EQ(errors.calls, 1);
    OSStatus lastError = 0;
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_LastRenderError, lastError), noErr);
    EXPECT_EQ(lastError, -31);

    ASSERT_EQ(AudioUnitRemoveRenderNotify(host.Get(), &NotifyRecord::Callback, &record), noErr);
    source.result = noErr;
    ASSERT_EQ(Render(out, 64), noErr);
    EXPECT_EQ(record.flags.size(), 6u);
}

TEST_F(FrameworkRender, KernelExceptionBecomesTheRenderResult) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, -1.0f), noErr);
    TestBuffers out(2, 32, kSentinel);
    EXPECT_EQ(Render(out, 32), kKernelThrow);
    EXPECT_TRUE(Untouched(out, 2));
    ASSERT_EQ(host.SetParam(kParamGain, 1.0f), noErr);
    EXPECT_EQ(Render(out, 32), noErr);
}

TEST_F(FrameworkRender, MissingInputConnectionFailsTheRender) {
    ASSERT_EQ(AudioUnitSetProperty(host.Get(), kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, nullptr, 0),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestBuffers out(2, 32, kSentinel);
    EXPECT_EQ(Render(out, 32), kAudioUnitErr_NoConnection);
    EXPECT_TRUE(Untouched(out, 2));
}

TEST_F(FrameworkRender, UpstreamUnitFeedsTheInput) {
    HostedUnit upstream;
    ASSERT_EQ(ConnectSource(upstream.Get(), source), noErr);
    ASSERT_EQ(upstream.SetParam(kParamGain, 2.0f), noErr);
    ASSERT_EQ(AudioUnitInitialize(upstream.Get()), noErr);
    ASSERT_EQ(AudioUnitSetProperty(host.Get(), kAudioUnitProperty_SetRenderCallback,
                                   kAudioUnitScope_Input, 0, nullptr, 0),
              noErr);
    const AudioUnitConnection connection{upstream.Get(), 0, 0};
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_MakeConnection, connection, kAudioUnitScope_Input, 0),
              noErr);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    ASSERT_EQ(host.SetParam(kParamGain, 0.25f), noErr);
    TestBuffers out(2, 96, kSentinel);
    ASSERT_EQ(Render(out, 96), noErr);
    ExpectGain(out, 2, 96, 0.5f);
}

TEST_F(FrameworkRender, SilentInputIsReportedOnlyAfterTheTail) {
    TestUnit& unit = host.Unit();
    unit.kernelsReportSilence = true;
    unit.SetTailTime(441.0 / 44100.0);
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    source.silent = true;
    TestBuffers out(2, 256, kSentinel);
    std::vector<bool> silentFlags;
    for (int i = 0; i < 4; ++i) {
        AudioUnitRenderActionFlags flags = 0;
        ASSERT_EQ(Render(out, 256, &flags), noErr);
        silentFlags.push_back((flags & kAudioUnitRenderAction_OutputIsSilence) != 0);
    }
    // 441 tail samples: two renders still count as sound, then silence.
    EXPECT_EQ(silentFlags, (std::vector<bool>{false, false, true, true}));
    EXPECT_EQ(out.Channel(0)[0], 0.0f);

    source.silent = false;
    AudioUnitRenderActionFlags flags = 0;
    ASSERT_EQ(Render(out, 256, &flags), noErr);
    EXPECT_EQ(flags & kAudioUnitRenderAction_OutputIsSilence, 0u);
    // Sound re-arms the countdown.
    source.silent = true;
    flags = 0;
    ASSERT_EQ(Render(out, 256, &flags), noErr);
    EXPECT_EQ(flags & kAudioUnitRenderAction_OutputIsSilence, 0u);
}

TEST_F(FrameworkRender, ResetClearsTheRenderTimeSoTheSameTimeStampRendersAgain) {
    ASSERT_EQ(AudioUnitInitialize(host.Get()), noErr);
    TestUnit& unit = host.Unit();
    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = 4096.0;
    TestBuffers out(2, 64, kSentinel);
    AudioUnitRenderActionFlags flags = 0;
    ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, 64, &out.List()), noErr);
    ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, 64, &out.List()), noErr);
    EXPECT_EQ(unit.numProcessCalls, 2u);
    EXPECT_EQ(unit.CurrentRenderTime().mSampleTime, 4096.0);
    ASSERT_EQ(AudioUnitReset(host.Get(), kAudioUnitScope_Global, 0), noErr);
    EXPECT_EQ(unit.CurrentRenderTime().mSampleTime, -1.0);
    EXPECT_EQ(unit.kernelResets.load(), 2);
    ASSERT_EQ(AudioUnitRender(host.Get(), &flags, &timeStamp, 0, 64, &out.List()), noErr);
    EXPECT_EQ(unit.numProcessCalls, 4u);
}

} // namespace
} // namespace fwtest
