#include "MidiSchedule.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <system_error>

#include "CliSupport.h"
#include "TransportEvents.h"

namespace MrvnCli {

namespace {

constexpr UInt32 kDefaultMicrosecondsPerQuarter = 500000; // 120 beats per minute

// What a file says, read strictly: every length is checked against what is left, so that a
// file cut anywhere, or one whose event runs past its track, is refused with the place.
class MidiFileReader {
public:
    explicit MidiFileReader(std::string_view bytes) : m_bytes(bytes) {}

    std::vector<MrvnMidiEvent> Read(Float64 sampleRate) {
        ReadChunks();
        return Timed(sampleRate);
    }

    // A mark at the first pulse, then one wherever the tempo or the time signature changes.
    MrvnTempoMap TempoMap() {
        ReadChunks();
        SortTempoChanges();
        MrvnTempoMap map;
        if (m_pulsesPerQuarter == 0) {
            // Timed in frames per second, the file has no tempo: a quarter at 120 per minute.
            map.pulsesPerQuarter = UInt32(std::max(1.0, std::round(m_pulsesPerSecond / 2.0)));
            map.marks.push_back({0, 0.0, kDefaultMicrosecondsPerQuarter, 4, 4});
            return map;
        }
        map.pulsesPerQuarter = m_pulsesPerQuarter;
        std::stable_sort(m_signatures.begin(), m_signatures.end(),
                         [](const Signature& a, const Signature& b) { return a.pulse < b.pulse; });
        Clock clock(*this);
        MrvnTempoMark mark{0, 0.0, kDefaultMicrosecondsPerQuarter, 4, 4};
        std::size_t tempo = 0;
        std::size_t signature = 0;
        for (;;) {
            // Every change at this pulse makes one mark.
            for (; tempo < m_tempoChanges.size() && m_tempoChanges[tempo].pulse == mark.pulse;
                 ++tempo) {
                mark.microsecondsPerQuarter = m_tempoChanges[tempo].microsecondsPerQuarter;
            }
            for (; signature < m_signatures.size() && m_signatures[signature].pulse == mark.pulse;
                 ++signature) {
                mark.numerator = m_signatures[signature].numerator;
                mark.denominator = m_signatures[signature].denominator;
            }
            mark.seconds = clock.SecondsAt(mark.pulse);
            map.marks.push_back(mark);
            const UInt64 nextTempo =
                tempo < m_tempoChanges.size() ? m_tempoChanges[tempo].pulse : UINT64_MAX;
            const UInt64 nextSignature =
                signature < m_signatures.size() ? m_signatures[signature].pulse : UINT64_MAX;
            if (nextTempo == UINT64_MAX && nextSignature == UINT64_MAX) {
                return map;
            }
            mark.pulse = std::min(nextTempo, nextSignature);
        }
    }

private:
    void ReadChunks() {
        ReadHeader();
        UInt32 found = 0;
        while (found < m_trackCount) {
            if (m_bytes.size() - m_at < 8) {
                Fail("cut short: track " + std::to_string(found + 1) + " of " +
                     std::to_string(m_trackCount) + " is missing");
            }
            const std::string_view id = m_bytes.substr(m_at, 4);
            const UInt32 length = BigEndian(m_at + 4, 4);
            if (length > m_bytes.size() - m_at - 8) {
                Fail("cut short inside track " + std::to_string(found + 1) + " (it claims " +
                     std::to_string(length) + " bytes, " +
                     std::to_string(m_bytes.size() - m_at - 8) + " are left)");
            }
            // Chunks of other kinds are for other programs.
            const std::size_t next = m_at + 8 + std::size_t(length);
            if (id == "MTrk") {
                ReadTrack(m_at + 8, next, ++found);
            }
            m_at = next;
        }
    }

    struct TimedBytes {
        UInt64 pulse;
        std::vector<UInt8> bytes;
    };
    struct TempoChange {
        UInt64 pulse;
        UInt32 microsecondsPerQuarter;
    };
    struct Signature {
        UInt64 pulse;
        UInt32 numerator;
        UInt32 denominator;
    };

    // Seconds at pulses taken in ascending order, through the sorted tempo changes.
    class Clock {
    public:
        explicit Clock(const MidiFileReader& file) : m_file(file) {
            m_secondsPerPulse = file.m_pulsesPerSecond > 0.0 ? 1.0 / file.m_pulsesPerSecond
                                                             : kDefaultMicrosecondsPerQuarter *
                                                                   1e-6 / file.m_pulsesPerQuarter;
        }

        double SecondsAt(UInt64 pulse) {
            const std::vector<TempoChange>& changes = m_file.m_tempoChanges;
            for (; m_file.m_pulsesPerSecond == 0.0 && m_next < changes.size() &&
                   changes[m_next].pulse <= pulse;
                 ++m_next) {
                const TempoChange& change = changes[m_next];
                m_segmentSeconds += double(change.pulse - m_segmentPulse) * m_secondsPerPulse;
                m_segmentPulse = change.pulse;
                m_secondsPerPulse =
                    change.microsecondsPerQuarter * 1e-6 / m_file.m_pulsesPerQuarter;
            }
            return m_segmentSeconds + double(pulse - m_segmentPulse) * m_secondsPerPulse;
        }

    private:
        const MidiFileReader& m_file;
        std::size_t m_next = 0;
        UInt64 m_segmentPulse = 0;
        double m_segmentSeconds = 0.0;
        double m_secondsPerPulse = 0.0;
    };

    void SortTempoChanges() {
        std::stable_sort(
            m_tempoChanges.begin(), m_tempoChanges.end(),
            [](const TempoChange& a, const TempoChange& b) { return a.pulse < b.pulse; });
    }

    [[noreturn]] static void Fail(const std::string& what) { throw std::runtime_error(what); }

    UInt32 BigEndian(std::size_t at, int bytes) const {
        UInt32 value = 0;
        for (int i = 0; i < bytes; ++i) {
            value = (value << 8) | UInt8(m_bytes[at + std::size_t(i)]);
        }
        return value;
    }

    void ReadHeader() {
        if (m_bytes.size() < 8 || m_bytes.substr(0, 4) != "MThd") {
            Fail("not a Standard MIDI File");
        }
        const UInt32 length = BigEndian(4, 4);
        if (length < 6 || length > m_bytes.size() - 8) {
            Fail("cut short inside its header");
        }
        const UInt32 format = BigEndian(8, 2);
        m_trackCount = BigEndian(10, 2);
        const UInt32 division = BigEndian(12, 2);
        if (format > 2) {
            Fail("format " + std::to_string(format) + " is none of 0, 1 and 2");
        }
        if ((division & 0x8000) == 0) {
            m_pulsesPerQuarter = division;
        } else {
            // Frames per second (as a negative byte; 29 stands for 29.97) and pulses per frame.
            const int frames = -int(SInt8(UInt8(division >> 8)));
            const UInt32 pulses = division & 0xFF;
            if ((frames == 24 || frames == 25 || frames == 29 || frames == 30) && pulses != 0) {
                m_pulsesPerSecond = (frames == 29 ? 30000.0 / 1001.0 : double(frames)) * pulses;
            }
        }
        if (m_pulsesPerQuarter == 0 && m_pulsesPerSecond == 0.0) {
            Fail("its time division " + std::to_string(division) + " is invalid");
        }
        m_at = 8 + std::size_t(length);
    }

    [[noreturn]] void FailInTrack(const std::string& what) const {
        Fail("track " + std::to_string(m_track) + ", byte " + std::to_string(m_at) + ": " + what);
    }

    void Need(std::size_t bytes) const {
        if (bytes > m_trackEnd - m_at) {
            FailInTrack("an event runs past the end of its track");
        }
    }

    // A variable-length number: seven bits a byte, at most four bytes.
    UInt32 Number() {
        UInt32 value = 0;
        for (int i = 0; i < 4; ++i) {
            Need(1);
            const auto byte = UInt8(m_bytes[m_at++]);
            value = (value << 7) | (byte & 0x7F);
            if ((byte & 0x80) == 0) {
                return value;
            }
        }
        FailInTrack("a number longer than four bytes");
    }

    void ReadTrack(std::size_t start, std::size_t end, UInt32 track) {
        m_at = start;
        m_trackEnd = end;
        m_track = track;
        UInt64 pulse = 0;
        UInt8 running = 0;
        while (m_at < end) {
            pulse += Number();
            Need(1);
            const auto first = UInt8(m_bytes[m_at]);
            if (first == 0xFF) { // meta event: type, length, data
                Need(2);
                const auto type = UInt8(m_bytes[m_at + 1]);
                m_at += 2;
                const UInt32 length = Number();
                Need(length);
                if (type == 0x2F) { // end of track
                    return;
                }
                if (type == 0x51) {
                    if (length != 3) {
                        FailInTrack("a tempo of " + std::to_string(length) + " bytes, not 3");
                    }
                    const UInt32 microseconds = BigEndian(m_at, 3);
                    if (microseconds == 0) {
                        FailInTrack("a tempo of 0 microseconds per quarter note");
                    }
                    m_tempoChanges.push_back({pulse, microseconds});
                }
                // A time signature: numerator, the note value as a power of two, then two
                // bytes about metronome clicks. A signature no bar can have is left out.
                if (type == 0x58 && length >= 2) {
                    const auto numerator = UInt8(m_bytes[m_at]);
                    const auto power = UInt8(m_bytes[m_at + 1]);
                    if (numerator > 0 && power <= 6) {
                        m_signatures.push_back({pulse, numerator, UInt32(1) << power});
                    }
                }
                m_at += length;
                continue;
            }
            if (first == 0xF0 || first == 0xF7) { // system exclusive, or an escape
                ++m_at;
                const UInt32 length = Number();
                Need(length);
                // An escape carries any bytes (packets of a divided message, real-time
                // messages); only whole system-exclusive messages are sent on.
                if (first == 0xF0) {
                    std::vector<UInt8> bytes(std::size_t(length) + 1, 0xF0);
                    std::memcpy(bytes.data() + 1, m_bytes.data() + m_at, length);
                    m_events.push_back({pulse, std::move(bytes)});
                }
                m_at += length;
                continue;
            }
            if (first > 0xF0) {
                FailInTrack("status byte " + std::to_string(first) + " has no place in a file");
            }
            if ((first & 0x80) != 0) {
                running = first;
                ++m_at;
            } else if (running == 0) {
                FailInTrack("a data byte with no status before it");
            }
            const std::size_t dataBytes = (running & 0xE0) == 0xC0 ? 1 : 2;
            Need(dataBytes);
            std::vector<UInt8> bytes{running};
            for (std::size_t i = 0; i < dataBytes; ++i) {
                const auto data = UInt8(m_bytes[m_at++]);
                if ((data & 0x80) != 0) {
                    FailInTrack("a status byte where a data byte belongs");
                }
                bytes.push_back(data);
            }
            m_events.push_back({pulse, std::move(bytes)});
        }
    }

    // Every track's events on one time line: the tempo changes of all tracks apply to all.
    std::vector<MrvnMidiEvent> Timed(Float64 sampleRate) {
        std::stable_sort(
            m_events.begin(), m_events.end(),
            [](const TimedBytes& a, const TimedBytes& b) { return a.pulse < b.pulse; });
        SortTempoChanges();
        std::vector<MrvnMidiEvent> events;
        events.reserve(m_events.size());
        Clock clock(*this);
        for (TimedBytes& event : m_events) {
            // Slow tempos and long delta times can place an event millions of years away;
            // it stays after every other event, at a frame a 64-bit count can hold.
            const double frame = std::min(clock.SecondsAt(event.pulse) * sampleRate, 0x1p62);
            events.push_back({UInt64(std::llround(frame)), std::move(event.bytes)});
        }
        return events;
    }

    std::string_view m_bytes;
    std::size_t m_at = 0;
    std::size_t m_trackEnd = 0;
    UInt32 m_track = 0;
    UInt32 m_trackCount = 0;
    UInt32 m_pulsesPerQuarter = 0;
    double m_pulsesPerSecond = 0.0;
    std::vector<TimedBytes> m_events;
    std::vector<TempoChange> m_tempoChanges;
    std::vector<Signature> m_signatures;
};

} // namespace

namespace {

void CheckMidiFileSize(std::string_view bytes, const std::string& path) {
    if (bytes.size() > kMaxMidiFileBytes) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": larger than " +
                     std::to_string(kMaxMidiFileBytes >> 20) + " MiB");
    }
}

} // namespace

std::vector<MrvnMidiEvent> ParseMidiFile(std::string_view bytes, Float64 sampleRate,
                                         const std::string& path) {
    CheckMidiFileSize(bytes, path);
    try {
        return MidiFileReader(bytes).Read(sampleRate);
    } catch (const std::runtime_error& error) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": " + error.what());
    }
}

namespace {

std::string ReadMidiFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": " +
                     std::error_code(errno, std::generic_category()).message());
    }
    // One byte beyond the limit tells a file that is too large.
    std::string bytes(kMaxMidiFileBytes + 1, '\0');
    file.read(bytes.data(), std::streamsize(bytes.size()));
    if (file.bad()) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": input/output error");
    }
    bytes.resize(std::size_t(file.gcount()));
    return bytes;
}

} // namespace

std::vector<MrvnMidiEvent> LoadMidiFile(const std::string& path, Float64 sampleRate) {
    return ParseMidiFile(ReadMidiFileBytes(path), sampleRate, path);
}

MrvnTempoMap LoadMidiTempoMap(const std::string& path) {
    return ParseMidiTempoMap(ReadMidiFileBytes(path), path);
}

MrvnTempoMap ParseMidiTempoMap(std::string_view bytes, const std::string& path) {
    CheckMidiFileSize(bytes, path);
    try {
        return MidiFileReader(bytes).TempoMap();
    } catch (const std::runtime_error& error) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": " + error.what());
    }
}

MrvnMidiSchedule::MrvnMidiSchedule(std::vector<MrvnMidiEvent> events, std::size_t perRenderCall)
    : m_events(std::move(events)), m_perRenderCall(perRenderCall) {}

void MrvnMidiSchedule::RenderBlock(UInt64 start, UInt32 frames, bool last, const Sink& sink,
                                   const RenderCall& render) {
    if (frames == 0) {
        return;
    }
    const UInt64 end = start + frames;
    for (UInt64 from = start;;) {
        // Events due after the last block come on its last frame, and one already behind is
        // due at once.
        const auto placed = [&](const MrvnMidiEvent& event) {
            return std::clamp(event.frame, from, end - 1);
        };
        // The events this call takes and where it ends.
        std::size_t count = 0;
        std::size_t beforeFrame = 0; // events placed before the latest one's frame
        UInt64 until = end;
        bool left = false;
        for (std::size_t i = m_next; i < m_events.size(); ++i) {
            if (m_events[i].frame >= end && !last) {
                break;
            }
            const UInt64 at = placed(m_events[i]);
            if (i == m_next || at != placed(m_events[i - 1])) {
                beforeFrame = count;
            }
            if (count == m_perRenderCall) {
                until = at;
                count = at > from ? beforeFrame : count;
                left = true;
                break;
            }
            ++count;
        }
        for (const std::size_t stop = m_next + count; m_next < stop; ++m_next) {
            const MrvnMidiEvent& event = m_events[m_next];
            if (sink(event, UInt32(placed(event) - from))) {
                ++m_delivered;
            } else {
                ++m_refused;
            }
        }
        render(UInt32(from - start), UInt32(until - from));
        if (!left) {
            return;
        }
        from = until;
    }
}

} // namespace MrvnCli
