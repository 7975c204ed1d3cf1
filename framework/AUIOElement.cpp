#include "AUIOElement.h"

#include <cmath>
#include <cstring>

#include "AudioUnitAPI.h"

AUIOElement::AUIOElement(AUBase* audioUnit)
    : AUElement(audioUnit), m_streamFormat(DefaultStreamFormat()) {}

AudioStreamBasicDescription AUIOElement::DefaultStreamFormat() {
    return CanonicalStreamFormat(44100.0, 2);
}

bool AUIOElement::IsSupportedFormat(const AudioStreamBasicDescription& format) {
    // Below a frame per second (0 included) or not finite, a rate would turn every time in
    // frames, and every phase step per frame, into nonsense or infinity.
    if (!(format.mSampleRate >= 1.0) || !std::isfinite(format.mSampleRate)) {
        return false;
    }
    if (format.mFormatID != kAudioFormatLinearPCM || format.mFramesPerPacket != 1 ||
        format.mBytesPerPacket != format.mBytesPerFrame ||
        (format.mFormatFlags & kAudioFormatFlagIsFloat) == 0 ||
        (format.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0 || format.mBitsPerChannel != 32 ||
        format.mBytesPerFrame != 4) {
        return false;
    }
    return format.mChannelsPerFrame <= 1 ||
           (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0;
}

void AUIOElement::SetStreamFormat(const AudioStreamBasicDescription& format) {
    m_streamFormat = format;
}

void AUIOElement::DeliverBuffersTo(AudioBufferList& destination, UInt32 nFrames) const noexcept {
    const AudioBufferList& source = GetBufferList();
    const UInt32 bytes = nFrames * BytesPerFrame();
    for (UInt32 i = 0; i < destination.mNumberBuffers && i < source.mNumberBuffers; ++i) {
        AudioBuffer& to = destination.mBuffers[i];
        const AudioBuffer& from = source.mBuffers[i];
        if (to.mData == nullptr) {
            to.mData = from.mData;
        } else if (to.mData != from.mData && from.mData != nullptr) {
            std::memcpy(to.mData, from.mData, bytes);
        }
        to.mDataByteSize = bytes;
    }
}

void AUInputElement::SetConnection(const AudioUnitConnection& connection) {
    m_connection = connection;
}

void AUInputElement::SetInputCallback(AURenderCallback proc, void* refCon) {
    m_callback = AURenderCallbackStruct{proc, refCon};
}

OSStatus AUInputElement::PullInput(AudioUnitRenderActionFlags& ioActionFlags,
                                   const AudioTimeStamp& timeStamp, AudioUnitElement element,
                                   UInt32 nFrames) {
    if (!IsActive()) {
        return kAudioUnitErr_NoConnection;
    }
    AudioBufferList& list = PrepareBuffer(nFrames);
    if (m_callback.inputProc != nullptr) {
        return m_callback.inputProc(m_callback.inputProcRefCon, &ioActionFlags, &timeStamp, element,
                                    nFrames, &list);
    }
    return AudioUnitRender(m_connection.sourceAudioUnit, &ioActionFlags, &timeStamp,
                           m_connection.sourceOutputNumber, nFrames, &list);
}
