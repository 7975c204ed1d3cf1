#include "TransportEvents.h"

#include <algorithm>
#include <cmath>

namespace MrvnCli {

namespace {

constexpr UInt32 kEveryField = MrvnTransportEvent::kTempo | MrvnTransportEvent::kTimeSignature |
                               MrvnTransportEvent::kPosition | MrvnTransportEvent::kBeat |
                               MrvnTransportEvent::kSpeed;

MrvnMidiEvent Change(UInt64 frame, const MrvnTransportEvent& event) {
    return {frame, {}, event};
}

} // namespace

std::vector<MrvnMidiEvent> TransportFromTempoMap(const MrvnTempoMap& map, Float64 sampleRate) {
    std::vector<MrvnMidiEvent> changes;
    const double quarter = std::max<double>(map.pulsesPerQuarter, 1.0);
    // Counted in pulses, which are whole numbers, so that bars fall exactly where they lie.
    double beat = 0.0;
    double bar = 0.0;
    double barStart = 0.0; // pulse
    const MrvnTempoMark* previous = nullptr;
    for (const MrvnTempoMark& mark : map.marks) {
        const auto pulse = double(mark.pulse);
        const double denominator = std::max<double>(mark.denominator, 1.0);
        const double numerator = std::max<double>(mark.numerator, 1.0);
        if (previous != nullptr) {
            const double unit = std::max<double>(previous->denominator, 1.0);
            const double barPulses =
                std::max<double>(previous->numerator, 1.0) * 4.0 * quarter / unit;
            beat += (pulse - double(previous->pulse)) * unit / (4.0 * quarter);
            const double bars = std::floor((pulse - barStart) / barPulses);
            bar += bars;
            barStart += bars * barPulses;
            const bool newSignature =
                mark.numerator != previous->numerator || mark.denominator != previous->denominator;
            if (newSignature && pulse != barStart) {
                bar += 1.0;
                barStart = pulse;
            }
        }
        MrvnTransportEvent event{};
        event.fields = kEveryField;
        event.beatsPerMinute = 60e6 / mark.microsecondsPerQuarter * denominator / 4.0;
        event.beatsPerBar = numerator;
        event.beatUnit = denominator;
        event.bar = bar;
        event.barBeat = (pulse - barStart) * denominator / (4.0 * quarter);
        event.beat = beat;
        event.speed = 1.0;
        // As with the file's events, a mark millions of years away stays at a frame a 64-bit
        // count holds.
        const double frame = std::min(std::max(0.0, mark.seconds) * sampleRate, 0x1p62);
        changes.push_back(Change(UInt64(std::llround(frame)), event));
        previous = &mark;
    }
    return changes;
}

std::vector<MrvnMidiEvent> TransportFor(const MrvnRenderOptions& options, Float64 sampleRate) {
    if (!options.tempo && !options.midiFile.empty()) {
        return TransportFromTempoMap(LoadMidiTempoMap(options.midiFile), sampleRate);
    }
    MrvnTransportEvent start{};
    start.fields =
        MrvnTransportEvent::kPosition | MrvnTransportEvent::kBeat | MrvnTransportEvent::kSpeed;
    start.speed = 1.0;
    if (options.tempo) {
        start.fields = kEveryField;
        start.beatsPerMinute = options.tempo->beatsPerMinute;
        start.beatsPerBar = options.tempo->beatsPerBar;
        start.beatUnit = 4.0;
    }
    return {Change(0, start)};
}

std::vector<MrvnMidiEvent> WithTransport(std::vector<MrvnMidiEvent> midi,
                                         std::vector<MrvnMidiEvent> transport) {
    transport.insert(transport.end(), std::make_move_iterator(midi.begin()),
                     std::make_move_iterator(midi.end()));
    std::stable_sort(
        transport.begin(), transport.end(),
        [](const MrvnMidiEvent& a, const MrvnMidiEvent& b) { return a.frame < b.frame; });
    return transport;
}

} // namespace MrvnCli
