// A minimal offline host for tests: opens a unit through the host API, sets an equal input and
// output format, feeds the input from memory through a render callback and renders blocks.
#pragma once

#include <memory>
#include <vector>

#include "AUComponent.h"

namespace MV::test {

class UnitHost {
public:
    // Opens an instance of the component served by entry; throws on failure.
    UnitHost(const ComponentDescription& description, ComponentRoutine entry);
    ~UnitHost();
    UnitHost(const UnitHost&) = delete;
    UnitHost& operator=(const UnitHost&) = delete;

    AudioUnit Unit() const { return m_unit; }
    // The unit object behind the handle, for tests that observe it.
    template <class T> T& Object() const { return *static_cast<T*>(m_unit->storage); }

    // Sets both stream formats (uninitialised units only) and the maximum frames per slice.
    OSStatus Configure(Float64 sampleRate, UInt32 channels, UInt32 maxFrames = 4096);
    OSStatus Initialize();

    // Renders frames of input (one vector per channel, read from inputOffset) into output
    // (resized to frames per channel). The time stamp advances by frames after a success,
    // unless sampleTime is given.
    OSStatus Render(const std::vector<std::vector<Float32>>& input, UInt32 inputOffset,
                    UInt32 frames, std::vector<std::vector<Float32>>& output,
                    double sampleTime = -1.0);

    OSStatus SetParameter(AudioUnitParameterID id, Float32 value,
                          AudioUnitScope scope = 0 /* global */);
    Float32 GetParameter(AudioUnitParameterID id);

private:
    static OSStatus Pull(void* refCon, AudioUnitRenderActionFlags* flags,
                         const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                         AudioBufferList* ioData);

    AudioUnit m_unit = nullptr;
    UInt32 m_channels = 0;
    double m_sampleTime = 0.0;
    const std::vector<std::vector<Float32>>* m_input = nullptr;
    UInt32 m_inputOffset = 0;
    std::unique_ptr<std::byte[]> m_listStorage;
};

} // namespace MV::test
