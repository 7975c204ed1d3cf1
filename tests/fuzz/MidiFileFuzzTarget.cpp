// MIDI files through the program's reader: a file is read whole or refused with a message,
// and what is read is a list of well-formed messages in time order.
#include <cmath>

#include "CliSupport.h"
#include "FuzzSupport.h"
#include "MidiSchedule.h"
#include "TransportEvents.h"

namespace MV::fuzz {

namespace {

bool WellFormed(const MrvnCli::MrvnMidiEvent& event) {
    const std::vector<UInt8>& bytes = event.bytes;
    if (event.IsSysEx()) {
        return true;
    }
    if (bytes.empty() || bytes[0] < 0x80 || bytes[0] >= 0xF0) {
        return false;
    }
    const std::size_t expected = (bytes[0] & 0xE0) == 0xC0 ? 2 : 3;
    for (std::size_t i = 1; i < bytes.size(); ++i) {
        if (bytes[i] >= 0x80) {
            return false;
        }
    }
    return bytes.size() == expected;
}

void HandleMidiFile(const std::uint8_t* data, std::size_t size) {
    std::vector<MrvnCli::MrvnMidiEvent> events;
    try {
        events = MrvnCli::ParseMidiFile(std::string_view(reinterpret_cast<const char*>(data), size),
                                        44100.0, "fuzz.mid");
    } catch (const MrvnCli::MrvnCliError& error) {
        FuzzCheck(error.Status() == MrvnCli::kExitFailure && error.what()[0] != '\0',
                  "a refused file is a failure with a message");
        return;
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        FuzzCheck(WellFormed(events[i]), "every event read is a well-formed message");
        FuzzCheck(i == 0 || events[i - 1].frame <= events[i].frame, "events are in time order");
    }
    // A file whose events read has a tempo map too, which the transport plays in order.
    const std::vector<MrvnCli::MrvnMidiEvent> changes = MrvnCli::TransportFromTempoMap(
        MrvnCli::ParseMidiTempoMap(std::string_view(reinterpret_cast<const char*>(data), size),
                                   "fuzz.mid"),
        44100.0);
    FuzzCheck(!changes.empty() && changes[0].frame == 0, "the transport starts at the first frame");
    for (std::size_t i = 0; i < changes.size(); ++i) {
        const MrvnTransportEvent& change = *changes[i].transport;
        FuzzCheck(std::isfinite(change.beatsPerMinute) && change.beatsPerMinute > 0.0 &&
                      std::isfinite(change.bar) && std::isfinite(change.beat) &&
                      std::isfinite(change.barBeat),
                  "every tempo change is finite");
        FuzzCheck(i == 0 || changes[i - 1].frame <= changes[i].frame, "changes are in time order");
    }
}

Input Bytes(std::initializer_list<int> bytes) {
    Input input;
    for (int byte : bytes) {
        input.push_back(char(byte));
    }
    return input;
}

Input Chunk(const char* id, const Input& body) {
    Input chunk(id, id + 4);
    for (int shift = 24; shift >= 0; shift -= 8) {
        chunk.push_back(char(body.size() >> shift));
    }
    chunk.insert(chunk.end(), body.begin(), body.end());
    return chunk;
}

Input Join(std::initializer_list<Input> parts) {
    Input joined;
    for (const Input& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

std::vector<Input> MidiFileSeeds() {
    const Input track = Chunk(
        "MTrk", Bytes({0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, // tempo
                       0x00, 0xB0, 0x14, 0x40, 0x60, 0x15, 0x7F, // controllers, running status
                       0x81, 0x00, 0x90, 0x3C, 0x64, 0x30, 0x80, 0x3C, 0x00,
                       0x00, 0xC1, 0x05, 0x00, 0xE0, 0x00, 0x40, 0x00, 0xD2,
                       0x10, 0x00, 0xF0, 0x04, 0x7D, 0x01, 0x02, 0xF7, // system exclusive
                       0x00, 0xF7, 0x02, 0xF8, 0xFA,                   // an escape
                       0x00, 0xFF, 0x03, 0x04, 'L',  'e',  'a',  'd',  //
                       0x8F, 0xFF, 0xFF, 0x7F, 0xB0, 0x07, 0x00,       // the longest delta time
                       0x00, 0xFF, 0x2F, 0x00}));
    const Input second = Chunk("MTrk", Bytes({0x10, 0x92, 0x40, 0x40, 0x00, 0xFF, 0x2F, 0x00}));
    return {
        Join({Chunk("MThd", Bytes({0, 0, 0, 1, 0, 96})), track}),
        Join({Chunk("MThd", Bytes({0, 1, 0, 3, 1, 0xE0})), track, Chunk("JUNK", Bytes({1, 2})),
              second, second}),
        Join({Chunk("MThd", Bytes({0, 2, 0, 2, 0xE2, 80})), second, track}),
        Join({Chunk("MThd", Bytes({0, 0, 0, 1, 0xE7, 40, 0, 0})), second}),
    };
}

} // namespace

const FuzzTarget& MidiFileTarget() {
    static const FuzzTarget target{"midi", &HandleMidiFile, &MidiFileSeeds, 1 << 16};
    return target;
}

} // namespace MV::fuzz
