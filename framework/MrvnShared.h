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
