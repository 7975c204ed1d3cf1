// A buffer list for one IO element: its own sample memory, or pointers lent by someone else.
#pragma once

#include <cstddef>
#include <memory>

#include "AUTypes.h"

// The list record and sample memory are sized once, off the render thread; the Prepare and
// Set operations only write pointers and sizes, so the render thread may call them.
class AUBufferList {
public:
    AUBufferList();
    ~AUBufferList();
    AUBufferList(const AUBufferList&) = delete;
    AUBufferList& operator=(const AUBufferList&) = delete;

    // Buffers per list for a format: one per channel when non-interleaved, else one.
    static UInt32 BuffersForFormat(const AudioStreamBasicDescription& format);

    // Sizes the list for format with sample memory for maxFrames. Main thread.
    void Allocate(const AudioStreamBasicDescription& format, UInt32 maxFrames);
    void Deallocate();
    bool HasMemory() const { return m_memory != nullptr; }
    UInt32 GetAllocatedFrames() const { return m_allocatedFrames; }

    // Points the list at its own memory with byte sizes for nFrames (at most the allocated
    // frames). Render thread; real-time safe.
    AudioBufferList& PrepareBuffer(UInt32 nFrames) noexcept;
    // Null data pointers and byte sizes for nFrames, for a supplier that lends its memory.
    AudioBufferList& PrepareNullBuffer(UInt32 nFrames) noexcept;
    // Takes the pointers and sizes of another list with the same buffer count.
    AudioBufferList& SetBufferList(const AudioBufferList& other) noexcept;

    AudioBufferList& GetBufferList() noexcept { return *m_list; }
    const AudioBufferList& GetBufferList() const noexcept { return *m_list; }

private:
    void MakeList(UInt32 numberBuffers, UInt32 channelsPerBuffer);

    std::unique_ptr<std::byte[]> m_listStorage;
    AudioBufferList* m_list = nullptr;
    std::unique_ptr<std::byte[]> m_memory;
    UInt32 m_bytesPerFrame = 0;
    UInt32 m_allocatedFrames = 0;
};
