// The host's transport as the render thread follows it: tempo, time signature, whether it plays
// and where it stands. Positions come from whole frame counts since the latest change (its frame
// and beat are kept, never a running sum), so an hour of audio lands on the same beat as its
// frame count says.
#pragma once

#include <atomic>
#include <cstddef>

#include "AUTypes.h"
#include "MrvnShared.h"

namespace MV {

class TransportClock {
public:
    // What the host knows, as of the latest change, and the sample being processed.
    struct View {
        bool tempoKnown = false;
        bool signatureKnown = false;
        bool positionKnown = false;
        Float64 beatsPerMinute = 0.0;
        Float64 beatsPerBar = 4.0;
        Float64 beatUnit = 4.0;
        Float64 speed = 0.0; // 0 stopped
        Float64 sampleRate = 0.0;
        // The latest change: its frame, the beats since the origin there, and its bar and the
        // beats into that bar.
        UInt64 anchorFrame = 0;
        Float64 anchorBeat = 0.0;
        Float64 anchorBar = 0.0;
        Float64 anchorBarBeat = 0.0;
        // The sample being processed (on other threads: where the render stands).
        UInt64 frame = 0;

        bool Playing() const { return speed != 0.0; }
        // Beats since the origin at a frame from the latest change on; NaN when the tempo or
        // the position is unknown.
        Float64 BeatAt(UInt64 at) const;
        Float64 Beat() const { return BeatAt(frame); }
        // The first bar line at or after frame `from` while the transport plays forwards with
        // a known tempo and position: its frame and its bar number. False otherwise.
        bool NextBarLine(UInt64 from, UInt64& lineFrame, Float64& bar) const;
    };

    // What a change changed, for the scripts that asked to hear it.
    struct Changes {
        bool tempo = false;     // the tempo or the time signature
        bool transport = false; // started, stopped, or the position jumped
    };

    TransportClock();
    TransportClock(const TransportClock&) = delete;
    TransportClock& operator=(const TransportClock&) = delete;

    // The unit's initialising thread, before rendering: nothing known, stopped.
    void Reset(Float64 sampleRate);
    // Render thread; real-time safe. The host's transport as of `frame` (counted from the
    // unit's first rendered frame). Values it leaves out keep following the latest change.
    Changes Apply(const MrvnTransportEvent& event, UInt64 frame);
    // Render thread; real-time safe. The sample being processed from now on.
    void SetFrame(UInt64 frame) { m_frame.store(frame, std::memory_order_relaxed); }
    UInt64 Frame() const { return m_frame.load(std::memory_order_relaxed); }
    // The render thread's own view, as last applied (no copy out of the shared words).
    const View& RenderView() const { return m_view; }
    // Any thread; real-time safe. A consistent view, taken again while a change is written.
    View Read() const;

private:
    struct Shared; // the view's fields as words
    static constexpr std::size_t kWords = 10;

    void Publish();

    View m_view; // the render thread's
    std::atomic<UInt32> m_sequence{0};
    std::atomic<UInt64> m_words[kWords] = {};
    std::atomic<UInt64> m_frame{0};
};

} // namespace MV
