#include "AUBufferList.h"

#include <new>

AUBufferList::AUBufferList() {
    MakeList(0, 0);
}

AUBufferList::~AUBufferList() = default;

UInt32 AUBufferList::BuffersForFormat(const AudioStreamBasicDescription& format) {
    return (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) != 0 ? format.mChannelsPerFrame
                                                                         : 1;
}

void AUBufferList::MakeList(UInt32 numberBuffers, UInt32 channelsPerBuffer) {
    const std::size_t size = AudioBufferListSize(numberBuffers);
    m_listStorage = std::make_unique<std::byte[]>(size);
    m_list = new (m_listStorage.get()) AudioBufferList{};
    m_list->mNumberBuffers = numberBuffers;
    for (UInt32 i = 0; i < numberBuffers; ++i) {
        m_list->mBuffers[i] = AudioBuffer{channelsPerBuffer, 0, nullptr};
    }
}

void AUBufferList::Allocate(const AudioStreamBasicDescription& format, UInt32 maxFrames) {
    const UInt32 numberBuffers = BuffersForFormat(format);
    const bool interleaved = (format.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
    const std::size_t bytes = std::size_t(numberBuffers) * maxFrames * format.mBytesPerFrame;
    auto memory = std::make_unique<std::byte[]>(bytes > 0 ? bytes : 1);
    MakeList(numberBuffers, interleaved ? format.mChannelsPerFrame : 1);
    m_memory = std::move(memory);
    m_bytesPerFrame = format.mBytesPerFrame;
    m_allocatedFrames = maxFrames;
    PrepareBuffer(maxFrames);
}

void AUBufferList::Deallocate() {
    const UInt32 numberBuffers = m_list->mNumberBuffers;
    const UInt32 channels = numberBuffers > 0 ? m_list->mBuffers[0].mNumberChannels : 0;
    m_memory.reset();
    m_allocatedFrames = 0;
    MakeList(numberBuffers, channels);
}

AudioBufferList& AUBufferList::PrepareBuffer(UInt32 nFrames) noexcept {
    const std::size_t bufferBytes = std::size_t(m_allocatedFrames) * m_bytesPerFrame;
    std::byte* data = m_memory.get();
    for (UInt32 i = 0; i < m_list->mNumberBuffers; ++i) {
        m_list->mBuffers[i].mData = data != nullptr ? data + i * bufferBytes : nullptr;
        m_list->mBuffers[i].mDataByteSize = nFrames * m_bytesPerFrame;
    }
    return *m_list;
}

AudioBufferList& AUBufferList::PrepareNullBuffer(UInt32 nFrames) noexcept {
    for (UInt32 i = 0; i < m_list->mNumberBuffers; ++i) {
        m_list->mBuffers[i].mData = nullptr;
        m_list->mBuffers[i].mDataByteSize = nFrames * m_bytesPerFrame;
    }
    return *m_list;
}

AudioBufferList& AUBufferList::SetBufferList(const AudioBufferList& other) noexcept {
    const UInt32 count = other.mNumberBuffers < m_list->mNumberBuffers ? other.mNumberBuffers
                                                                       : m_list->mNumberBuffers;
    // Field by field: a whole-buffer copy becomes a call to memcpy, which costs more than
    // the two or so buffers a render hands over.
    for (UInt32 i = 0; i < count; ++i) {
        AudioBuffer& buffer = m_list->mBuffers[i];
        buffer.mNumberChannels = other.mBuffers[i].mNumberChannels;
        buffer.mDataByteSize = other.mBuffers[i].mDataByteSize;
        buffer.mData = other.mBuffers[i].mData;
    }
    return *m_list;
}
