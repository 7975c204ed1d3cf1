// MIDI from a Standard MIDI File, placed on the frames of a render and handed to the unit
// before the render call whose frames contain each event.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "AUTypes.h"

namespace MrvnCli {

// One channel message (two or three bytes) or one system-exclusive message (starting 0xF0).
struct MrvnMidiEvent {
    UInt64 frame;
    std::vector<UInt8> bytes;

    bool IsSysEx() const { return !bytes.empty() && bytes[0] == 0xF0; }
};

// Larger files are refused: a long orchestral file is a few hundred kilobytes.
constexpr std::size_t kMaxMidiFileBytes = std::size_t(8) << 20;

// The channel and system-exclusive events of a Standard MIDI File in time order, each at
// frame round(seconds × sample rate) with the file's tempo map applied. Meta events and
// escaped bytes are left out. A file that cannot be read, or that is damaged anywhere (cut
// short, an event running past its track, a data byte without a status), is a runtime error
// that names what is wrong and where.
std::vector<MrvnMidiEvent> LoadMidiFile(const std::string& path, Float64 sampleRate);
// The same for a file's bytes; path only names it in messages.
std::vector<MrvnMidiEvent> ParseMidiFile(std::string_view bytes, Float64 sampleRate,
                                         const std::string& path);

class MrvnMidiSchedule {
public:
    // Receives an event and its frame offset in the coming render call; false when the
    // unit refused it.
    using Sink = std::function<bool(const MrvnMidiEvent& event, UInt32 offset)>;

    // Events in time order.
    explicit MrvnMidiSchedule(std::vector<MrvnMidiEvent> events);

    // Before the render call of frames frames starting at frame start: hands over every
    // event due before its end. The last call of a render also hands over the events due
    // after it, on its last frame, so that every event is delivered.
    void DeliverBlock(UInt64 start, UInt32 frames, bool last, const Sink& sink);

    std::size_t Delivered() const { return m_delivered; }
    std::size_t Refused() const { return m_refused; }
    std::size_t Count() const { return m_events.size(); }

private:
    std::vector<MrvnMidiEvent> m_events;
    std::size_t m_next = 0;
    std::size_t m_delivered = 0;
    std::size_t m_refused = 0;
};

} // namespace MrvnCli
