// Input and output elements: a stream format and a buffer list on top of an element.
#pragma once

#include "AUBufferList.h"
#include "AUElement.h"

// An element that carries audio: its stream format and its buffer list, allocated when the
// unit initialises and sized to the maximum frames per slice.
class AUIOElement : public AUElement {
public:
    explicit AUIOElement(AUBase* audioUnit);

    // Linear PCM, 44100 Hz, 2 channels, 32-bit float, packed, non-interleaved.
    static AudioStreamBasicDescription DefaultStreamFormat();
    // Linear PCM at a finite rate of at least 1 Hz, one frame per packet, bytes per packet
    // equal to bytes per frame, 32-bit native float, and 4 bytes per frame (so several
    // channels must be non-interleaved).
    static bool IsSupportedFormat(const AudioStreamBasicDescription& format);

    const AudioStreamBasicDescription& GetStreamFormat() const { return m_streamFormat; }
    // Main thread, while the unit is not initialised.
    virtual void SetStreamFormat(const AudioStreamBasicDescription& format);
    UInt32 NumberChannels() const { return m_streamFormat.mChannelsPerFrame; }
    // Channel streams: the buffers a list for this format holds.
    UInt32 NumberBuffers() const { return AUBufferList::BuffersForFormat(m_streamFormat); }
    UInt32 BytesPerFrame() const { return m_streamFormat.mBytesPerFrame; }

    // Main thread, at initialisation and clean-up.
    void AllocateBuffer(UInt32 maxFrames) { m_ioBuffer.Allocate(m_streamFormat, maxFrames); }
    void DeallocateBuffer() { m_ioBuffer.Deallocate(); }
    bool HasBufferMemory() const { return m_ioBuffer.HasMemory(); }

    // Render thread; real-time safe.
    AudioBufferList& PrepareBuffer(UInt32 nFrames) noexcept {
        return m_ioBuffer.PrepareBuffer(nFrames);
    }
    AudioBufferList& PrepareNullBuffer(UInt32 nFrames) noexcept {
        return m_ioBuffer.PrepareNullBuffer(nFrames);
    }
    AudioBufferList& SetBufferList(const AudioBufferList& other) noexcept {
        return m_ioBuffer.SetBufferList(other);
    }
    AudioBufferList& GetBufferList() noexcept { return m_ioBuffer.GetBufferList(); }
    const AudioBufferList& GetBufferList() const noexcept { return m_ioBuffer.GetBufferList(); }
    Float32* GetChannelData(UInt32 buffer) noexcept {
        return static_cast<Float32*>(GetBufferList().mBuffers[buffer].mData);
    }

    // Hands this list's pointers to destination buffers that have none and copies the samples
    // into those that have memory of their own (when it is not the same memory). Render thread.
    void DeliverBuffersTo(AudioBufferList& destination, UInt32 nFrames) const noexcept;

private:
    AudioStreamBasicDescription m_streamFormat;
    AUBufferList m_ioBuffer;
};

// An input: where its audio comes from (a render callback or an upstream unit) and the pull.
// The source is set on the main thread while no render runs.
class AUInputElement : public AUIOElement {
public:
    explicit AUInputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}

    void SetConnection(const AudioUnitConnection& connection);
    void SetInputCallback(AURenderCallback proc, void* refCon);
    const AudioUnitConnection& GetConnection() const { return m_connection; }
    const AURenderCallbackStruct& GetInputCallback() const { return m_callback; }
    // True when a callback or an upstream unit supplies audio.
    bool IsActive() const {
        return m_callback.inputProc != nullptr || m_connection.sourceAudioUnit != nullptr;
    }

    // Fetches nFrames from the source into this element's buffer list. Render thread;
    // real-time safe as far as the source is.
    OSStatus PullInput(AudioUnitRenderActionFlags& ioActionFlags, const AudioTimeStamp& timeStamp,
                       AudioUnitElement element, UInt32 nFrames);

private:
    AudioUnitConnection m_connection{};
    AURenderCallbackStruct m_callback{};
};

class AUOutputElement : public AUIOElement {
public:
    explicit AUOutputElement(AUBase* audioUnit) : AUIOElement(audioUnit) {}
};
