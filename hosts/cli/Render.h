// Rendering with the effect: a unit set up as the render options say, and a whole sound file
// rendered through it.
#pragma once

#include <memory>
#include <string>

#include "CliSupport.h"
#include "HostedUnit.h"
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
// that order) and initialised. Names in the options are checked before the unit is changed.
class MrvnRenderSession {
public:
    MrvnRenderSession(const MrvnRenderOptions& options, Float64 sampleRate, UInt32 channels,
                      ComponentRoutine entry);

    MrvnHostedUnit& Unit() { return *m_unit; }
    // Frames of silence that let the effect ring out: ceil(tail time × sample rate).
    UInt64 TailFrames() const { return m_tailFrames; }

private:
    MrvnScriptFolderScope m_scripts;
    std::unique_ptr<MrvnHostedUnit> m_unit;
    UInt64 m_tailFrames = 0;
};

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
