#include "TransportClock.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

namespace MV {

namespace {

// Host values carry float rounding: a bar line this close after a frame counts as on it.
constexpr Float64 kFrameTolerance = 1e-3;
// Frames of the shortest bar whose lines are handed to scripts.
constexpr Float64 kShortestBar = 64.0;
// Bar lines farther than this from the latest change (years) are never reached.
constexpr Float64 kFarthestFrames = 0x1p60;

// What a host may say, far beyond music in every direction; anything else counts as unsaid,
// so that no position or bar line leaves the range of whole frames.
constexpr Float64 kMostBeatsPerMinute = 1e5;
constexpr Float64 kMostBeatsPerBar = 1e3;
constexpr Float64 kMostSpeed = 1e3;
constexpr Float64 kMostBeats = 1e12;

bool Has(const MrvnTransportEvent& event, UInt32 field) {
    return (event.fields & field) != 0;
}

bool Positive(Float64 value, Float64 most = kMostBeats) {
    return value > 0.0 && value <= most;
}

bool Sane(Float64 value, Float64 most) {
    return std::fabs(value) <= most;
}

} // namespace

Float64 TransportClock::View::BeatAt(UInt64 at) const {
    if (!tempoKnown || !positionKnown) {
        return std::nan("");
    }
    // Whole frames times the rate: exact in a double for far more than a day of audio.
    const auto frames = Float64(SInt64(at - anchorFrame));
    return anchorBeat + (frames * (beatsPerMinute * speed)) / (60.0 * sampleRate);
}

bool TransportClock::View::NextBarLine(UInt64 from, UInt64& lineFrame, Float64& bar) const {
    if (!tempoKnown || !positionKnown || !(speed > 0.0) || !(sampleRate > 0.0)) {
        return false;
    }
    const Float64 framesPerBeat = (60.0 * sampleRate) / (beatsPerMinute * speed);
    // Bars this short are no bars to follow (and would call a script every few frames).
    if (!(framesPerBeat * beatsPerBar >= kShortestBar) || !std::isfinite(framesPerBeat)) {
        return false;
    }
    // Bar lines lie whole bars from the start of the anchor's bar.
    const auto frameOf = [&](Float64 k) {
        const Float64 frames =
            std::ceil((k * beatsPerBar - anchorBarBeat) * framesPerBeat - kFrameTolerance);
        return anchorFrame + UInt64(std::clamp(frames, 0.0, kFarthestFrames));
    };
    const Float64 first =
        std::ceil((anchorBarBeat - kFrameTolerance / framesPerBeat) / beatsPerBar);
    const Float64 sinceAnchor = Float64(SInt64(from - anchorFrame)) / framesPerBeat;
    Float64 k = std::max(first, std::floor((sinceAnchor + anchorBarBeat) / beatsPerBar));
    // The estimate is at most a line short; more means numbers beyond any real position.
    for (int step = 0; frameOf(k) < from; ++step, k += 1.0) {
        if (step == 2) {
            return false;
        }
    }
    lineFrame = frameOf(k);
    bar = anchorBar + k;
    return lineFrame - anchorFrame < UInt64(kFarthestFrames);
}

TransportClock::TransportClock() {
    Publish();
}

void TransportClock::Reset(Float64 sampleRate) {
    m_view = View{};
    m_view.sampleRate = sampleRate;
    m_frame.store(0, std::memory_order_relaxed);
    Publish();
}

TransportClock::Changes TransportClock::Apply(const MrvnTransportEvent& event, UInt64 frame) {
    const View before = m_view;
    View& next = m_view;
    next.frame = frame;
    if (Has(event, MrvnTransportEvent::kTempo) &&
        Positive(event.beatsPerMinute, kMostBeatsPerMinute)) {
        next.tempoKnown = true;
        next.beatsPerMinute = event.beatsPerMinute;
    }
    if (Has(event, MrvnTransportEvent::kTimeSignature) &&
        Positive(event.beatsPerBar, kMostBeatsPerBar) &&
        Positive(event.beatUnit, kMostBeatsPerBar)) {
        next.signatureKnown = true;
        next.beatsPerBar = event.beatsPerBar;
        next.beatUnit = event.beatUnit;
    }
    if (Has(event, MrvnTransportEvent::kSpeed) && Sane(event.speed, kMostSpeed)) {
        next.speed = event.speed;
    }

    // Where the latest change says the transport stands now, in bars of the old signature.
    const Float64 predicted = before.BeatAt(frame);
    Float64 predictedBar = before.anchorBar;
    Float64 predictedBarBeat = predicted - before.anchorBeat + before.anchorBarBeat;
    if (std::isfinite(predicted)) {
        const Float64 bars = std::floor(predictedBarBeat / before.beatsPerBar);
        predictedBar += bars;
        predictedBarBeat -= bars * before.beatsPerBar;
    }

    const bool hasBars = Has(event, MrvnTransportEvent::kPosition) && Sane(event.bar, kMostBeats) &&
                         Sane(event.barBeat, kMostBeatsPerBar);
    const bool hasBeat = Has(event, MrvnTransportEvent::kBeat) && Sane(event.beat, kMostBeats);
    bool jumped = false;
    if (hasBars || hasBeat) {
        const Float64 beat = hasBeat ? event.beat : event.bar * next.beatsPerBar + event.barBeat;
        const Float64 bar = hasBars ? event.bar : std::floor(beat / next.beatsPerBar);
        next.positionKnown = true;
        next.anchorBeat = beat;
        next.anchorBar = bar;
        next.anchorBarBeat = hasBars ? event.barBeat : beat - bar * next.beatsPerBar;
        // A host restates its position now and then: only more than half a frame's beats away
        // from where the transport should be is a jump.
        const Float64 halfFrame =
            std::fabs(0.5 * before.beatsPerMinute * before.speed / (60.0 * before.sampleRate));
        jumped = !before.positionKnown ||
                 (std::isfinite(predicted) ? !(std::fabs(beat - predicted) <= halfFrame)
                                           : beat != before.anchorBeat);
    } else if (std::isfinite(predicted)) {
        next.anchorBeat = predicted;
        next.anchorBar = predictedBar;
        next.anchorBarBeat = predictedBarBeat;
    }
    // Without a tempo a position stands still: it is where it was given, as of now.
    next.anchorFrame = frame;

    Changes changes;
    changes.tempo = next.tempoKnown != before.tempoKnown ||
                    next.beatsPerMinute != before.beatsPerMinute ||
                    next.signatureKnown != before.signatureKnown ||
                    next.beatsPerBar != before.beatsPerBar || next.beatUnit != before.beatUnit;
    changes.transport = next.Playing() != before.Playing() || jumped;
    m_frame.store(frame, std::memory_order_relaxed);
    Publish();
    return changes;
}

// The view as words: the render thread writes them between two odd and even sequence numbers,
// readers take them again until the number is even and unchanged.
struct TransportClock::Shared {
    static std::array<UInt64, kWords> Pack(const View& view) {
        const UInt64 flags = (view.tempoKnown ? 1u : 0u) | (view.signatureKnown ? 2u : 0u) |
                             (view.positionKnown ? 4u : 0u);
        return {flags,
                std::bit_cast<UInt64>(view.beatsPerMinute),
                std::bit_cast<UInt64>(view.beatsPerBar),
                std::bit_cast<UInt64>(view.beatUnit),
                std::bit_cast<UInt64>(view.speed),
                std::bit_cast<UInt64>(view.sampleRate),
                view.anchorFrame,
                std::bit_cast<UInt64>(view.anchorBeat),
                std::bit_cast<UInt64>(view.anchorBar),
                std::bit_cast<UInt64>(view.anchorBarBeat)};
    }
    static View Unpack(const std::array<UInt64, kWords>& words) {
        View view;
        view.tempoKnown = (words[0] & 1u) != 0;
        view.signatureKnown = (words[0] & 2u) != 0;
        view.positionKnown = (words[0] & 4u) != 0;
        view.beatsPerMinute = std::bit_cast<Float64>(words[1]);
        view.beatsPerBar = std::bit_cast<Float64>(words[2]);
        view.beatUnit = std::bit_cast<Float64>(words[3]);
        view.speed = std::bit_cast<Float64>(words[4]);
        view.sampleRate = std::bit_cast<Float64>(words[5]);
        view.anchorFrame = words[6];
        view.anchorBeat = std::bit_cast<Float64>(words[7]);
        view.anchorBar = std::bit_cast<Float64>(words[8]);
        view.anchorBarBeat = std::bit_cast<Float64>(words[9]);
        return view;
    }
};

void TransportClock::Publish() {
    const std::array<UInt64, kWords> words = Shared::Pack(m_view);
    const UInt32 sequence = m_sequence.load(std::memory_order_relaxed);
    m_sequence.store(sequence + 1, std::memory_order_relaxed);
    // Release stores (no fences, which ThreadSanitizer cannot follow): a reader that sees a
    // word of this change sees the odd number too.
    for (std::size_t i = 0; i < kWords; ++i) {
        m_words[i].store(words[i], std::memory_order_release);
    }
    m_sequence.store(sequence + 2, std::memory_order_release);
}

TransportClock::View TransportClock::Read() const {
    std::array<UInt64, kWords> words{};
    for (;;) {
        const UInt32 before = m_sequence.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < kWords; ++i) {
            words[i] = m_words[i].load(std::memory_order_acquire);
        }
        if ((before & 1u) == 0 && m_sequence.load(std::memory_order_relaxed) == before) {
            break;
        }
    }
    View view = Shared::Unpack(words);
    view.frame = m_frame.load(std::memory_order_relaxed);
    return view;
}

} // namespace MV
