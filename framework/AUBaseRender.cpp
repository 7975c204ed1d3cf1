// The render driver and scheduled-parameter slicing of AUBase: everything here runs on the
// render thread and neither allocates nor locks.
#include <algorithm>

#include "AUBase.h"
#include "AUError.h"
#include "FloatingPointMode.h"

namespace {

SInt64 StartOffset(const AudioUnitParameterEvent& event) {
    return event.eventType == kParameterEvent_Ramped
               ? SInt64(event.eventValues.ramp.startBufferOffset)
               : SInt64(event.eventValues.immediate.bufferOffset);
}

bool IsRamp(const AudioUnitParameterEvent& event) {
    return event.eventType == kParameterEvent_Ramped;
}

SInt64 RampEnd(const AudioUnitParameterEvent& event) {
    return SInt64(event.eventValues.ramp.startBufferOffset) +
           SInt64(event.eventValues.ramp.durationInFrames);
}

} // namespace

OSStatus AUBase::RenderBus(AudioUnitRenderActionFlags& ioActionFlags,
                           const AudioTimeStamp& timeStamp, UInt32 /*bus*/, UInt32 nFrames) {
    if (!NeedsToRender(timeStamp)) {
        return noErr;
    }
    return Render(ioActionFlags, timeStamp, nFrames);
}

OSStatus AUBase::Render(AudioUnitRenderActionFlags& /*ioActionFlags*/,
                        const AudioTimeStamp& /*timeStamp*/, UInt32 /*nFrames*/) {
    return noErr;
}

bool AUBase::NeedsToRender(const AudioTimeStamp& timeStamp) noexcept {
    if (timeStamp.mSampleTime == m_currentRenderTime.mSampleTime) {
        return false;
    }
    m_currentRenderTime = timeStamp;
    return true;
}

void AUBase::ResetRenderTime() {
    m_currentRenderTime = AudioTimeStamp{};
    m_currentRenderTime.mSampleTime = -1.0;
}

void AUBase::DeliverPendingRenderErrorReport() noexcept {
    if (!m_renderErrorReportPending.load(std::memory_order_acquire)) {
        return;
    }
    // Never wait for the listener lock here: when another thread holds it, the report
    // stays pending and goes out at the start of a later render.
    std::unique_lock lock(m_listenerMutex, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;
    }
    m_renderErrorReportPending.store(false, std::memory_order_relaxed);
    CallPropertyListeners(kAudioUnitProperty_LastRenderError, kAudioUnitScope_Global, 0);
}

void AUBase::ReportRenderError(OSStatus error) noexcept {
    OSStatus none = noErr;
    if (m_lastRenderError.compare_exchange_strong(none, error)) {
        m_renderErrorReportPending.store(true, std::memory_order_release);
        DeliverPendingRenderErrorReport();
    }
}

OSStatus AUBase::DoRender(AudioUnitRenderActionFlags& ioActionFlags,
                          const AudioTimeStamp& timeStamp, UInt32 bus, UInt32 nFrames,
                          AudioBufferList& ioData) noexcept {
    const MV::ScopedDenormalsOff denormalsOff;
    DeliverPendingRenderErrorReport();

    if (!IsInitialized()) {
        return kAudioUnitErr_Uninitialized;
    }
    if (nFrames > m_maxFramesPerSlice) {
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    AUIOElement* output = Outputs().GetIOElement(bus);
    if (output == nullptr) {
        return kAudioUnitErr_InvalidElement;
    }
    const UInt32 bytes = nFrames * output->BytesPerFrame();
    if (ioData.mNumberBuffers != output->NumberBuffers()) {
        return kAudio_ParamError;
    }
    bool hostHasMemory = true;
    for (UInt32 i = 0; i < ioData.mNumberBuffers; ++i) {
        const AudioBuffer& buffer = ioData.mBuffers[i];
        if (buffer.mData == nullptr) {
            hostHasMemory = false;
        } else if (buffer.mDataByteSize < bytes) {
            return kAudio_ParamError;
        }
    }
    for (UInt32 i = 0; i < ioData.mNumberBuffers; ++i) {
        if (ioData.mBuffers[i].mData != nullptr) {
            ioData.mBuffers[i].mDataByteSize = bytes;
        }
    }

    const bool notify = m_renderNotify.EverRegistered();
    if (notify) {
        m_renderNotify.ApplyPending();
        m_renderNotify.Notify(ioActionFlags | kAudioUnitRenderAction_PreRender, timeStamp, bus,
                              nFrames, &ioData);
    }

    // Several outputs may be rendered by one call, so each then keeps its own buffer.
    const bool intoHostBuffers = hostHasMemory && Outputs().GetNumberOfElements() == 1;
    if (intoHostBuffers) {
        output->SetBufferList(ioData);
    } else {
        output->PrepareBuffer(nFrames);
    }
    OSStatus result;
    try {
        result = RenderBus(ioActionFlags, timeStamp, bus, nFrames);
    } catch (...) {
        result = ResultFromCurrentException();
    }

    AudioUnitRenderActionFlags postFlags = ioActionFlags | kAudioUnitRenderAction_PostRender;
    if (result == noErr) {
        // Rendered straight into the host's buffers, there is nothing to deliver unless the
        // unit moved the output elsewhere.
        if (!intoHostBuffers || !output->SameBuffers(ioData)) {
            output->DeliverBuffersTo(ioData, nFrames);
        }
    } else {
        ReportRenderError(result);
        postFlags |= kAudioUnitRenderAction_PostRenderError;
    }
    if (notify) {
        m_renderNotify.Notify(postFlags, timeStamp, bus, nFrames, &ioData);
    }
    // Scheduled events belong to the render request they were scheduled for.
    m_paramEventList.clear();
    return result;
}

OSStatus AUBase::ProcessForScheduledParams(ParameterEventList& events, UInt32 nFrames,
                                           void* userData) noexcept {
    std::sort(events.begin(), events.end(),
              [](const AudioUnitParameterEvent& a, const AudioUnitParameterEvent& b) {
                  return StartOffset(a) < StartOffset(b);
              });
    UInt32 start = 0;
    UInt32 remaining = nFrames;
    while (remaining > 0) {
        SInt64 end = SInt64(nFrames);
        for (const AudioUnitParameterEvent& event : events) {
            const SInt64 offset = StartOffset(event);
            if (offset > start && offset < end) {
                end = offset;
                break;
            }
            if (IsRamp(event)) {
                const SInt64 rampEnd = RampEnd(event);
                if (rampEnd > start && rampEnd < end) {
                    end = rampEnd;
                }
            }
        }
        const auto sliceFrames = UInt32(end - start);

        for (const AudioUnitParameterEvent& event : events) {
            const SInt64 offset = StartOffset(event);
            const bool covers =
                IsRamp(event) ? offset < end && RampEnd(event) > start : offset <= start;
            if (!covers) {
                continue;
            }
            AUElement* element = GetElementIfExists(event.scope, event.element);
            if (element != nullptr) {
                // A parameter the element does not hold is skipped.
                element->SetScheduledEvent(event.parameter, event, start, sliceFrames, false);
            }
        }

        OSStatus result;
        try {
            result = ProcessScheduledSlice(userData, start, sliceFrames, remaining);
        } catch (...) {
            result = ResultFromCurrentException();
        }
        if (result != noErr) {
            return result;
        }
        remaining -= sliceFrames;
        start = UInt32(end);
    }
    return noErr;
}

OSStatus AUBase::ProcessScheduledSlice(void* /*userData*/, UInt32 /*startFrame*/,
                                       UInt32 /*sliceFrames*/, UInt32 /*framesRemaining*/) {
    return noErr;
}
