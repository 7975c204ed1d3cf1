// MIDI from a Standard MIDI File, placed on the frames of a render and handed to the unit
// before the render call whose frames contain each event.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AUTypes.h"
#include "MrvnShared.h"

namespace MrvnCli {

// One channel message (two or three bytes) or one system-exclusive message (starting 0xF0);
// or, with no bytes, a change of the transport, which the unit queues with the MIDI.
struct MrvnMidiEvent {
    UInt64 frame;
    std::vector<UInt8> bytes;
    std::optional<MrvnTransportEvent> transport = std::nullopt;

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
    // Renders `frames` frames of the block from frame `offset` of it in one render call.
    using RenderCall = std::function<void(UInt32 offset, UInt32 frames)>;

    // Events in time order; the unit takes at most `perRenderCall` of them in one render call.
    MrvnMidiSchedule(std::vector<MrvnMidiEvent> events, std::size_t perRenderCall);

    // Renders the block of `frames` frames (not 0) from frame `start`, handing over before
    // each render call the events due in it. The last block also takes the events due after
    // it, on its last frame, so that every event is delivered. With more events due in the
    // block than the unit takes per call, the block is rendered in several calls: one ends
    // before the frame of the first event too many, with the events before that frame; one
    // at a frame where more are due than a call takes has no frames and takes as many as fit.
    void RenderBlock(UInt64 start, UInt32 frames, bool last, const Sink& sink,
                     const RenderCall& render);

    std::size_t Delivered() const { return m_delivered; }
    std::size_t Refused() const { return m_refused; }
    std::size_t Count() const { return m_events.size(); }

private:
    std::vector<MrvnMidiEvent> m_events;
    std::size_t m_perRenderCall;
    std::size_t m_next = 0;
    std::size_t m_delivered = 0;
    std::size_t m_refused = 0;
};

} // namespace MrvnCli
