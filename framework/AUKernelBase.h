// One channel's processor inside an effect.
#pragma once

#include "AUTypes.h"

class AUEffectBase;

// The effect creates one kernel per output channel when it initialises and runs them in
// channel order on every render. Only the float path is ever reached: the frame accepts only
// 32-bit float formats.
class AUKernelBase {
public:
    explicit AUKernelBase(AUEffectBase* audioUnit) : m_audioUnit(audioUnit) {}
    virtual ~AUKernelBase();
    AUKernelBase(const AUKernelBase&) = delete;
    AUKernelBase& operator=(const AUKernelBase&) = delete;

    // Main thread, between renders: forget the signal history.
    virtual void Reset() {}
    // Render thread; must be real-time safe. Processes nFrames; numChannels is the stride
    // between a channel's samples. ioSilence arrives true when the input is silent; a kernel
    // that produces sound clears it.
    virtual void Process(const Float32* source, Float32* destination, UInt32 nFrames,
                         UInt32 numChannels, bool& ioSilence) = 0;
    // Render thread; the integer paths exist for other sample formats and are never reached.
    virtual void Process(const SInt32* /*source*/, SInt32* /*destination*/, UInt32 /*nFrames*/,
                         UInt32 /*numChannels*/, bool& /*ioSilence*/) {}
    virtual void Process(const SInt16* /*source*/, SInt16* /*destination*/, UInt32 /*nFrames*/,
                         UInt32 /*numChannels*/, bool& /*ioSilence*/) {}

    // The owner's global parameter, 0 when it has no such parameter. Any thread; real-time
    // safe.
    AudioUnitParameterValue GetParameter(AudioUnitParameterID paramID) const noexcept;
    // The owner's output sample rate.
    Float64 GetSampleRate() const noexcept;

    AUEffectBase* GetAudioUnit() const { return m_audioUnit; }
    UInt32 GetChannelNum() const { return m_channelNum; }
    // Set by the owner after creating the kernels: the kernel's index.
    void SetChannelNum(UInt32 channel) { m_channelNum = channel; }

protected:
    AUEffectBase* m_audioUnit;
    UInt32 m_channelNum = 0;
};
