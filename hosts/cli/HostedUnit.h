// One effect unit hosted through the plain host API: opened, configured for a stream,
// given presets, parameter values and saved states, then rendered block by block with the
// input handed over in memory and MIDI scheduled at frame offsets.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "AUComponent.h"
#include "MrvnShared.h"

namespace MrvnCli {

struct MrvnParameterDescription {
    AudioUnitParameterID id;
    AudioUnitParameterInfo info;
    std::string name;
    // The values the program accepts: the published range, widened where the effect gives
    // meaning beyond it ("Shape" up to 8: the random shapes and "Wobble").
    Float32 lowest = 0.0f;
    Float32 highest = 0.0f;

    bool Published(Float32 value) const { return value >= info.minValue && value <= info.maxValue; }
};

// A value and the unit's name for it.
struct MrvnNamedValue {
    Float32 value;
    std::string name;
};

class MrvnHostedUnit {
public:
    // Main thread. Opens an instance of the component served by entry; a failure to open is
    // a runtime error.
    explicit MrvnHostedUnit(ComponentRoutine entry);
    ~MrvnHostedUnit();
    MrvnHostedUnit(const MrvnHostedUnit&) = delete;
    MrvnHostedUnit& operator=(const MrvnHostedUnit&) = delete;

    AudioUnit Unit() const { return m_unit; }

    // The factory presets; their names live as long as the unit.
    std::vector<AUPreset> FactoryPresets() const;
    // The global parameters in the unit's order.
    std::vector<MrvnParameterDescription> Parameters() const;
    // The unit's text for a value of a parameter, when it has one.
    std::optional<std::string> ValueName(AudioUnitParameterID id, Float32 value) const;
    // The named values of a parameter whose values have strings, found by asking the unit
    // about the accepted range's ends, its default and every whole number in between; the
    // first value found for a name wins.
    std::vector<MrvnNamedValue> NamedValues(const MrvnParameterDescription& parameter) const;
    Float32 GetParameter(AudioUnitParameterID id) const;
    AUPreset CurrentPreset() const;
    Float64 TailTime() const;

    // Main thread. Each throws a runtime error naming what failed.
    void Configure(Float64 sampleRate, UInt32 channels, UInt32 maxFramesPerSlice);
    void RestoreState(const std::string& path);
    void SaveState(const std::string& path);
    void LoadFactoryPreset(SInt32 number);
    // Through the notifying parameter service, as the host's automation would.
    void SetParameter(AudioUnitParameterID id, Float32 value);
    void Initialize();

    // Render thread. Renders frames (at most the maximum per slice) of the given input
    // channels, from frame `offset` of each, into the output channels at the same frames; the
    // time stamp advances by the frames rendered. A call of no frames hands on the MIDI.
    void Render(const Float32* const* input, Float32* const* output, UInt32 frames,
                UInt32 offset = 0);
    // Render thread, before the render call the event belongs to. False when the unit
    // refused the event (its queue is full).
    bool SendMIDIEvent(UInt8 status, UInt8 data1, UInt8 data2, UInt32 offset);
    bool SendSysEx(const UInt8* data, UInt32 length);
    // Render thread, before the render call the change belongs to (at its offset there), like
    // MIDI. False when the unit refused it.
    bool SendTransport(const MrvnTransportEvent& event);
    // MIDI and system-exclusive messages the unit takes in one render call.
    static std::size_t MessagesPerRender();

    UInt64 FramesRendered() const { return m_sampleTime; }

private:
    // Render thread, inside AudioUnitRender: copies the input handed to Render.
    static OSStatus Pull(void* refCon, AudioUnitRenderActionFlags* flags,
                         const AudioTimeStamp* timeStamp, UInt32 bus, UInt32 frames,
                         AudioBufferList* ioData);

    AudioUnit m_unit = nullptr;
    UInt32 m_channels = 0;
    UInt64 m_sampleTime = 0;
    const Float32* const* m_input = nullptr;
    UInt32 m_inputOffset = 0;
    std::unique_ptr<std::byte[]> m_bufferList;
};

// A factory preset by number or by name (ignoring case); unknown ones are usage errors.
AUPreset FindFactoryPreset(const MrvnHostedUnit& unit, std::string_view text);

struct MrvnParameterSetting {
    AudioUnitParameterID id;
    Float32 value;
    // For a value beyond the published range, a line saying so; empty otherwise.
    std::string note;
};

// "NAME=VALUE": the parameter by name (ignoring case) or number, the value as one of the
// parameter's value names (ignoring case) or as a number inside the range the program accepts
// for it. Anything else is a usage error.
MrvnParameterSetting ParseParameterSetting(const MrvnHostedUnit& unit, std::string_view text);

// A host error number as words, with the number.
std::string DescribeStatus(OSStatus status);

} // namespace MrvnCli
