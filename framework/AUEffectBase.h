// The effect frame: one input, one output, one kernel per channel, bypass.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "AUBase.h"
#include "AUKernelBase.h"

class AUEffectBase : public AUBase {
public:
    // Sample format the kernels see, taken from the output format at initialisation.
    enum class SampleFormat { Float32, Fixed824, SInt16, Other };

    explicit AUEffectBase(AudioComponentInstance instance, bool processesInPlace = true);
    ~AUEffectBase() override;

    // Main thread. Requires equal, non-zero input and output channel counts (else -10868),
    // then makes one kernel per output channel.
    OSStatus Initialize() override;
    // Main thread. Destroys the kernels.
    void Cleanup() override;
    // Main thread, between renders. Resets every kernel, then the render time.
    OSStatus Reset(AudioUnitScope scope, AudioUnitElement element) override;

    // Main thread. Adds bypass (21) and in-place processing (29), global scope, 4 bytes.
    OSStatus GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                             UInt32& outDataSize, Boolean& outWritable) override;
    OSStatus GetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         void* outData) override;
    OSStatus SetProperty(AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                         const void* inData, UInt32 inDataSize) override;

    // Render thread; real-time safe. Pulls input 0, then copies it (bypass) or processes it
    // into output 0, slice by slice when parameters were scheduled.
    OSStatus Render(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& timeStamp,
                    UInt32 nFrames) override;
    // Render thread; must be real-time safe. Runs the kernels over nFrames of the lists.
    virtual OSStatus ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags,
                                        const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                        UInt32 nFrames);
    // Main thread, during Initialize. A new kernel for the next channel (the kernels made so
    // far are GetNumberOfKernels()); null leaves the channel unprocessed.
    virtual std::unique_ptr<AUKernelBase> NewKernel() { return nullptr; }

    // Render thread. Processes one slice of the scheduled-parameter split.
    OSStatus ProcessScheduledSlice(void* userData, UInt32 startFrame, UInt32 sliceFrames,
                                   UInt32 framesRemaining) override;

    // Input-silence detection for one render of nFrames: true once the upstream has marked
    // its output silent for longer than the unit's latency plus tail time. Render thread.
    bool IsInputSilent(AudioUnitRenderActionFlags actionFlags, UInt32 nFrames) noexcept;

    // Any thread.
    bool IsBypassEffect() const { return m_bypassEffect.load(std::memory_order_relaxed); }
    void SetBypassEffect(bool bypass) { m_bypassEffect.store(bypass, std::memory_order_relaxed); }
    bool ProcessesInPlace() const { return m_processesInPlace.load(std::memory_order_relaxed); }
    void SetProcessesInPlace(bool inPlace) {
        m_processesInPlace.store(inPlace, std::memory_order_relaxed);
    }

    // The output element 0 sample rate. Any thread.
    Float64 GetSampleRate() const;
    UInt32 GetNumberOfKernels() const { return UInt32(m_kernelList.size()); }
    AUKernelBase* GetKernel(UInt32 channel) const {
        return channel < m_kernelList.size() ? m_kernelList[channel].get() : nullptr;
    }
    SampleFormat GetCommonSampleFormat() const { return m_commonFormat; }

protected:
    std::vector<std::unique_ptr<AUKernelBase>> m_kernelList;

private:
    struct SliceBuffers {
        AudioUnitRenderActionFlags* actionFlags;
        AudioBufferList* input;
        AudioBufferList* output;
        UInt32 frameOffset;
    };

    void MaintainKernels();
    void MoveSlice(SliceBuffers& slice, UInt32 startFrame, UInt32 sliceFrames) noexcept;
    OSStatus ProcessFloat(AudioUnitRenderActionFlags& ioActionFlags,
                          const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                          UInt32 nFrames);
    template <typename Sample>
    void ProcessIntegers(const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                         UInt32 nFrames);

    std::atomic<bool> m_bypassEffect{false};
    std::atomic<bool> m_processesInPlace;
    AUInputElement* m_mainInput = nullptr;
    AUOutputElement* m_mainOutput = nullptr;
    SampleFormat m_commonFormat = SampleFormat::Float32;
    UInt32 m_bytesPerFrame = 0;
    Float64 m_silentCountdown = 0.0;
    bool m_resetSilentCountdown = true;
};
