// The transport a render plays: the tempo of --tempo, or the MIDI file's tempo map, as changes
// placed on the render's frames and handed to the unit with the MIDI. It plays from the first
// frame.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "AUTypes.h"
#include "MidiSchedule.h"
#include "RenderOptions.h"

namespace MrvnCli {

// A tempo and time signature of a MIDI file, in effect from a pulse on.
struct MrvnTempoMark {
    UInt64 pulse;
    double seconds; // where the file's tempo map puts the pulse
    double microsecondsPerQuarter;
    UInt32 numerator;
    UInt32 denominator;
};

struct MrvnTempoMap {
    UInt32 pulsesPerQuarter = 0;
    std::vector<MrvnTempoMark> marks; // in pulse order
};

// The tempo map of a Standard MIDI File (its reader lives with LoadMidiFile); a file that
// cannot be read is a runtime error.
MrvnTempoMap LoadMidiTempoMap(const std::string& path);
// The same for a file's bytes; path only names it in messages.
MrvnTempoMap ParseMidiTempoMap(std::string_view bytes, const std::string& path);

// One change per mark, at frame round(seconds × sample rate): the tempo in beats of the time
// signature's note value per minute, the signature, the bar and beat the mark falls on (a new
// signature starts a new bar), playing.
std::vector<MrvnMidiEvent> TransportFromTempoMap(const MrvnTempoMap& map, Float64 sampleRate);

// The changes a render hands to the unit: --tempo at the first frame, else the tempo map of the
// --midi file, else only that the transport plays from the first frame.
std::vector<MrvnMidiEvent> TransportFor(const MrvnRenderOptions& options, Float64 sampleRate);

// MIDI events with transport changes among them, in frame order; at one frame the changes come
// first, so that the MIDI's callbacks see the tempo of their frame.
std::vector<MrvnMidiEvent> WithTransport(std::vector<MrvnMidiEvent> midi,
                                         std::vector<MrvnMidiEvent> transport);

} // namespace MrvnCli
