// MIDI from a Standard MIDI File, placed on the frames of a render and handed to the unit
// before the render call whose frames contain each event.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "AUTypes.h"

namespace MrvnCli {

// One channel message (two or three bytes) or one system-exclusive message (starting 0xF0).
struct MrvnMidiEvent {
    UInt64 frame;
    std::vector<UInt8> bytes;

    bool IsSysEx() const { return !bytes.empty() && bytes[0] == 0xF0; }
};

// The channel and system-exclusive events of a Standard MIDI File in time order, each at
// frame round(seconds × sample rate) with the file's tempo map applied. Meta events and
// other system messages are left out. A file that cannot be read is a runtime error.
std::vector<MrvnMidiEvent> LoadMidiFile(const std::string& path, Float64 sampleRate);

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
