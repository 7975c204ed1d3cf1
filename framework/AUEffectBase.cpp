#include "AUEffectBase.h"

#include <cstring>

#include "AUError.h"

namespace {

// Copies the first bytes of every buffer of from into to, unless they share memory.
void CopyBuffers(const AudioBufferList& from, AudioBufferList& to, UInt32 bytes) noexcept {
    for (UInt32 i = 0; i < to.mNumberBuffers && i < from.mNumberBuffers; ++i) {
        if (to.mBuffers[i].mData != from.mBuffers[i].mData && from.mBuffers[i].mData != nullptr) {
            std::memcpy(to.mBuffers[i].mData, from.mBuffers[i].mData, bytes);
        }
    }
}

void ShiftBuffers(AudioBufferList& list, SInt64 deltaBytes, UInt32 byteSize) noexcept {
    for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
        list.mBuffers[i].mData = static_cast<std::byte*>(list.mBuffers[i].mData) + deltaBytes;
        list.mBuffers[i].mDataByteSize = byteSize;
    }
}

AUEffectBase::SampleFormat IdentifyFormat(const AudioStreamBasicDescription& format) {
    constexpr UInt32 kFractionShift = 7;
    const AudioFormatFlags flags = format.mFormatFlags;
    if ((flags & kAudioFormatFlagIsFloat) != 0 && format.mBitsPerChannel == 32) {
        return AUEffectBase::SampleFormat::Float32;
    }
    if ((flags & kAudioFormatFlagIsSignedInteger) != 0 && format.mBitsPerChannel == 32 &&
        ((flags >> kFractionShift) & 0x3F) == 24) {
        return AUEffectBase::SampleFormat::Fixed824;
    }
    if ((flags & kAudioFormatFlagIsSignedInteger) != 0 && format.mBitsPerChannel == 16) {
        return AUEffectBase::SampleFormat::SInt16;
    }
    return AUEffectBase::SampleFormat::Other;
}

} // namespace

AUEffectBase::AUEffectBase(AudioComponentInstance instance, bool processesInPlace)
    : AUBase(instance, 1, 1), m_processesInPlace(processesInPlace) {}

AUEffectBase::~AUEffectBase() = default;

Float64 AUEffectBase::GetSampleRate() const {
    const AUIOElement* output = Outputs().GetIOElement(0);
    return output != nullptr ? output->GetStreamFormat().mSampleRate : 0.0;
}

OSStatus AUEffectBase::Initialize() {
    const AUIOElement* input = Inputs().GetIOElement(0);
    const AUIOElement* output = Outputs().GetIOElement(0);
    const UInt32 inputChannels = input != nullptr ? input->NumberChannels() : 0;
    const UInt32 outputChannels = output != nullptr ? output->NumberChannels() : 0;
    if (inputChannels != outputChannels || outputChannels == 0) {
        return kAudioUnitErr_FormatNotSupported;
    }
    MaintainKernels();
    m_mainInput = &GetInput(0);
    m_mainOutput = &GetOutput(0);
    m_commonFormat = IdentifyFormat(m_mainOutput->GetStreamFormat());
    m_bytesPerFrame = m_mainOutput->BytesPerFrame();
    m_resetSilentCountdown = true;
    return noErr;
}

void AUEffectBase::MaintainKernels() {
    const UInt32 channels = GetOutput(0).NumberChannels();
    while (m_kernelList.size() > channels) {
        m_kernelList.pop_back();
    }
    m_kernelList.reserve(channels);
    while (m_kernelList.size() < channels) {
        m_kernelList.push_back(NewKernel());
    }
    for (UInt32 i = 0; i < m_kernelList.size(); ++i) {
        if (m_kernelList[i]) {
            m_kernelList[i]->SetChannelNum(i);
        }
    }
}

void AUEffectBase::Cleanup() {
    m_kernelList.clear();
    m_mainInput = nullptr;
    m_mainOutput = nullptr;
}

OSStatus AUEffectBase::Reset(AudioUnitScope /*scope*/, AudioUnitElement /*element*/) {
    for (const auto& kernel : m_kernelList) {
        if (kernel) {
            kernel->Reset();
        }
    }
    ResetRenderTime();
    return noErr;
}

// ---- Properties -----------------------------------------------------------------------

OSStatus AUEffectBase::GetPropertyInfo(AudioUnitPropertyID id, AudioUnitScope scope,
                                       AudioUnitElement element, UInt32& outDataSize,
                                       Boolean& outWritable) {
    if (scope == kAudioUnitScope_Global &&
        (id == kAudioUnitProperty_BypassEffect || id == kAudioUnitProperty_InPlaceProcessing)) {
        outDataSize = sizeof(UInt32);
        outWritable = true;
        return noErr;
    }
    return AUBase::GetPropertyInfo(id, scope, element, outDataSize, outWritable);
}

OSStatus AUEffectBase::GetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element, void* outData) {
    if (scope == kAudioUnitScope_Global) {
        if (id == kAudioUnitProperty_BypassEffect) {
            *static_cast<UInt32*>(outData) = IsBypassEffect() ? 1 : 0;
            return noErr;
        }
        if (id == kAudioUnitProperty_InPlaceProcessing) {
            *static_cast<UInt32*>(outData) = ProcessesInPlace() ? 1 : 0;
            return noErr;
        }
    }
    return AUBase::GetProperty(id, scope, element, outData);
}

OSStatus AUEffectBase::SetProperty(AudioUnitPropertyID id, AudioUnitScope scope,
                                   AudioUnitElement element, const void* inData,
                                   UInt32 inDataSize) {
    if (scope == kAudioUnitScope_Global &&
        (id == kAudioUnitProperty_BypassEffect || id == kAudioUnitProperty_InPlaceProcessing)) {
        if (inDataSize < sizeof(UInt32)) {
            return kAudioUnitErr_InvalidPropertyValue;
        }
        UInt32 value = 0;
        std::memcpy(&value, inData, sizeof(value));
        if (id == kAudioUnitProperty_InPlaceProcessing) {
            SetProcessesInPlace(value != 0);
            return noErr;
        }
        const bool bypass = value != 0;
        if (bypass != IsBypassEffect()) {
            // Coming out of bypass, the kernels must not resume from a stale history.
            if (!bypass && IsInitialized()) {
                Reset(kAudioUnitScope_Global, 0);
            }
            SetBypassEffect(bypass);
            PropertyChanged(id, scope, element);
        }
        return noErr;
    }
    return AUBase::SetProperty(id, scope, element, inData, inDataSize);
}

// ---- Render ---------------------------------------------------------------------------

OSStatus AUEffectBase::Render(AudioUnitRenderActionFlags& ioActionFlags,
                              const AudioTimeStamp& timeStamp, UInt32 nFrames) {
    auto* input = static_cast<AUInputElement*>(Inputs().GetIOElement(0));
    AUIOElement* output = Outputs().GetIOElement(0);
    if (input == nullptr || !input->IsActive() || output == nullptr) {
        return kAudioUnitErr_NoConnection;
    }
    OSStatus result = input->PullInput(ioActionFlags, timeStamp, 0, nFrames);
    if (result != noErr) {
        return result;
    }
    AudioBufferList& inBuffer = input->GetBufferList();
    AudioBufferList& outBuffer = output->GetBufferList();
    const UInt32 bytes = nFrames * output->BytesPerFrame();

    if (IsBypassEffect()) {
        CopyBuffers(inBuffer, outBuffer, bytes);
        return noErr;
    }
    // In place, the kernels read and write the output buffers.
    AudioBufferList* source = &inBuffer;
    if (ProcessesInPlace()) {
        CopyBuffers(inBuffer, outBuffer, bytes);
        source = &outBuffer;
    }

    ParameterEventList& events = GetParamEventList();
    if (events.empty()) {
        result = ProcessBufferLists(ioActionFlags, *source, outBuffer, nFrames);
    } else {
        SliceBuffers slice{&ioActionFlags, source, &outBuffer, 0};
        result = ProcessForScheduledParams(events, nFrames, &slice);
        // Put the lists back to cover the whole block.
        MoveSlice(slice, 0, nFrames);
    }
    if (result == noErr && (ioActionFlags & kAudioUnitRenderAction_OutputIsSilence) != 0) {
        for (UInt32 i = 0; i < outBuffer.mNumberBuffers; ++i) {
            std::memset(outBuffer.mBuffers[i].mData, 0, bytes);
        }
    }
    return result;
}

void AUEffectBase::MoveSlice(SliceBuffers& slice, UInt32 startFrame, UInt32 sliceFrames) noexcept {
    const UInt32 bytesPerFrame = Outputs().GetIOElement(0)->BytesPerFrame();
    const SInt64 delta = (SInt64(startFrame) - SInt64(slice.frameOffset)) * bytesPerFrame;
    ShiftBuffers(*slice.output, delta, sliceFrames * bytesPerFrame);
    if (slice.input != slice.output) {
        ShiftBuffers(*slice.input, delta, sliceFrames * bytesPerFrame);
    }
    slice.frameOffset = startFrame;
}

OSStatus AUEffectBase::ProcessScheduledSlice(void* userData, UInt32 startFrame, UInt32 sliceFrames,
                                             UInt32 /*framesRemaining*/) {
    auto& slice = *static_cast<SliceBuffers*>(userData);
    MoveSlice(slice, startFrame, sliceFrames);
    return ProcessBufferLists(*slice.actionFlags, *slice.input, *slice.output, sliceFrames);
}

bool AUEffectBase::IsInputSilent(AudioUnitRenderActionFlags actionFlags, UInt32 nFrames) noexcept {
    if ((actionFlags & kAudioUnitRenderAction_OutputIsSilence) == 0) {
        m_resetSilentCountdown = true;
        return false;
    }
    if (m_resetSilentCountdown) {
        m_silentCountdown = GetSampleRate() * (GetLatency() + GetTailTime());
        m_resetSilentCountdown = false;
    }
    if (m_silentCountdown >= 1.0) {
        m_silentCountdown -= nFrames;
        return false;
    }
    return true;
}

OSStatus AUEffectBase::ProcessBufferLists(AudioUnitRenderActionFlags& ioActionFlags,
                                          const AudioBufferList& inBuffer,
                                          AudioBufferList& outBuffer, UInt32 nFrames) {
    switch (m_commonFormat) {
    case SampleFormat::Float32:
        return ProcessFloat(ioActionFlags, inBuffer, outBuffer, nFrames);
    case SampleFormat::Fixed824:
        ProcessIntegers<SInt32>(inBuffer, outBuffer, nFrames);
        return noErr;
    case SampleFormat::SInt16:
        ProcessIntegers<SInt16>(inBuffer, outBuffer, nFrames);
        return noErr;
    case SampleFormat::Other:
        break;
    }
    return kAudioUnitErr_FormatNotSupported;
}

OSStatus AUEffectBase::ProcessFloat(AudioUnitRenderActionFlags& ioActionFlags,
                                    const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                    UInt32 nFrames) {
    const bool silentInput = IsInputSilent(ioActionFlags, nFrames);
    ioActionFlags |= kAudioUnitRenderAction_OutputIsSilence;
    const UInt32 kernels = GetNumberOfKernels();
    for (UInt32 i = 0; i < kernels; ++i) {
        AUKernelBase* kernel = m_kernelList[i].get();
        const Float32* source;
        Float32* destination;
        UInt32 channels;
        if (inBuffer.mNumberBuffers > 1) {
            if (i >= inBuffer.mNumberBuffers || i >= outBuffer.mNumberBuffers) {
                break;
            }
            source = static_cast<const Float32*>(inBuffer.mBuffers[i].mData);
            destination = static_cast<Float32*>(outBuffer.mBuffers[i].mData);
            channels = 1;
        } else {
            source = static_cast<const Float32*>(inBuffer.mBuffers[0].mData) + i;
            destination = static_cast<Float32*>(outBuffer.mBuffers[0].mData) + i;
            channels = inBuffer.mBuffers[0].mNumberChannels;
        }
        bool silence = silentInput;
        if (kernel != nullptr) {
            kernel->Process(source, destination, nFrames, channels, silence);
        }
        if (!silence) {
            ioActionFlags &= ~kAudioUnitRenderAction_OutputIsSilence;
        }
    }
    return noErr;
}

template <typename Sample>
void AUEffectBase::ProcessIntegers(const AudioBufferList& inBuffer, AudioBufferList& outBuffer,
                                   UInt32 nFrames) {
    for (UInt32 i = 0;
         i < GetNumberOfKernels() && i < inBuffer.mNumberBuffers && i < outBuffer.mNumberBuffers;
         ++i) {
        bool silence = false;
        if (m_kernelList[i]) {
            m_kernelList[i]->Process(static_cast<const Sample*>(inBuffer.mBuffers[i].mData),
                                     static_cast<Sample*>(outBuffer.mBuffers[i].mData), nFrames, 1,
                                     silence);
        }
    }
}
