// Types that the effect unit shares with its script host, OSC server, tracker and
// editor. They live here, below all of those, so that each can read them.
#pragma once

#include <atomic>

#include "AUTypes.h"

// One row of the effect's parameter table; the parameter number is the row index.
struct MrvnParamInfo {
    const char* name;
    AudioUnitParameterUnit unit;
    Float32 minValue;
    Float32 maxValue;
    Float32 defaultValue;
};

// A host's transport at one frame of its next render call, handed to the unit through the
// private property kMrvnProperty_TransportEvent and queued with the MIDI. Only the values
// named in `fields` were given; a beat is a note of `beatUnit` (4: a quarter note).
struct MrvnTransportEvent {
    enum : UInt32 {
        kTempo = 1,         // beatsPerMinute
        kTimeSignature = 2, // beatsPerBar and beatUnit
        kPosition = 4,      // bar and barBeat
        kSpeed = 8,         // speed
        kBeat = 16,         // beat
    };
    UInt32 fields;
    UInt32 offsetSampleFrame; // in the next render call, as for MIDI
    Float64 beatsPerMinute;
    Float64 beatsPerBar;
    Float64 beatUnit;
    Float64 bar;     // whole bars since the transport's origin
    Float64 barBeat; // beats since the bar began
    Float64 beat;    // beats since the origin (without it: bar × beatsPerBar + barBeat)
    Float64 speed;   // 0 stopped, 1 playing at the tempo
};

namespace MV {

// Live values that the render thread publishes for other threads. Each field is
// written whole and read without a lock; relaxed atomics make that defined.
struct DataToGui {
    static constexpr int kNumGuiFlags = 8;

    std::atomic<Float32> speedHz{0.0f};
    std::atomic<Float32> swingMs{0.0f};
    std::atomic<UInt8> guiFlags[kNumGuiFlags] = {};

    void SetGuiFlag(int index, bool value) {
        guiFlags[index].store(value ? 1 : 0, std::memory_order_relaxed);
    }
    bool GetGuiFlag(int index) const {
        return guiFlags[index].load(std::memory_order_relaxed) != 0;
    }
};

} // namespace MV
