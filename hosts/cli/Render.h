// Rendering with the effect: a unit set up as the render options say, and a whole sound file
// rendered through it.
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "HostedUnit.h"
#include "MidiSchedule.h"
#include "RenderOptions.h"

namespace MrvnCli {

// Makes the units opened in its life run the scripts of one folder (none for an empty path);
// a folder that does not exist is a runtime error.
class MrvnScriptFolderScope {
public:
    explicit MrvnScriptFolderScope(const std::string& folder);
    ~MrvnScriptFolderScope();
    MrvnScriptFolderScope(const MrvnScriptFolderScope&) = delete;
    MrvnScriptFolderScope& operator=(const MrvnScriptFolderScope&) = delete;

private:
    bool m_active = false;
};

// A unit opened, configured for a stream, given the options' state, preset and settings (in
// that order) and initialised. Names in the options are checked before the unit is changed;
// settings beyond a published range are noted on notes (unless the options are quiet).
class MrvnRenderSession {
public:
    MrvnRenderSession(const MrvnRenderOptions& options, Float64 sampleRate, UInt32 channels,
                      ComponentRoutine entry, std::ostream* notes = nullptr);

    MrvnHostedUnit& Unit() { return *m_unit; }
    // Frames of silence that let the effect ring out: ceil(tail time × sample rate).
    UInt64 TailFrames() const { return m_tailFrames; }

private:
    MrvnScriptFolderScope m_scripts;
    std::unique_ptr<MrvnHostedUnit> m_unit;
    UInt64 m_tailFrames = 0;
};

// One block's buffers per channel and the pointer lists a render call takes.
struct MrvnBlockBuffers {
    MrvnBlockBuffers(UInt32 channels, UInt32 frames);

    std::vector<std::vector<Float32>> in;
    std::vector<std::vector<Float32>> out;
    std::vector<const Float32*> inPointers;
    std::vector<Float32*> outPointers;
};

// Hands a schedule's events to the unit: channel messages at their offset, sysex whole.
MrvnMidiSchedule::Sink MidiSinkFor(MrvnHostedUnit& unit);

struct MrvnRenderResult {
    UInt64 frames = 0;
    UInt32 channels = 0;
    Float64 sampleRate = 0.0;
    std::size_t midiEvents = 0;
    std::size_t midiRefused = 0;
};

// Renders input into output as the options say. output is replaced only when everything,
// the saved state included, succeeded.
MrvnRenderResult RenderFile(const MrvnRenderOptions& options, const std::string& input,
                            const std::string& output, MrvnCliContext& context);

} // namespace MrvnCli
