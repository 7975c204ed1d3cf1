// Command-line options: a small parser shared by the commands, and the render options that
// every command which renders (render, live) takes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "AUTypes.h"

namespace MrvnCli {

// One option: "--name VALUE" or "--name=VALUE" when it has a value, "--name" when not.
struct MrvnOptionRule {
    std::string name;
    // A one-letter alias such as "-q", or empty.
    std::string shortName;
    // Shown in messages; empty for an option without a value.
    std::string valueName;
    // Takes the value (empty for a flag); throws a usage error for a bad one.
    std::function<void(const std::string& value)> apply;
};

struct MrvnParsedArguments {
    bool help = false;
    std::vector<std::string> positionals;
};

// Options may come before, between or after the positional arguments; "--" ends them.
// "--help" or "-h" anywhere before "--" asks for help and nothing else is parsed. An unknown
// option or a missing value is a usage error.
MrvnParsedArguments ParseArguments(const std::vector<std::string>& args,
                                   const std::vector<MrvnOptionRule>& rules);

// The transport's tempo as --tempo gives it.
struct MrvnTempoOption {
    double beatsPerMinute = 120.0;
    UInt32 beatsPerBar = 4;
};

struct MrvnRenderOptions {
    // A factory preset by name or number.
    std::optional<std::string> preset;
    // "NAME=VALUE" texts in the order given; names are checked against the unit later.
    std::vector<std::string> settings;
    std::string stateFile;
    std::string saveStateFile;
    std::string midiFile;
    std::string scriptsFolder;
    // Without it the transport follows the MIDI file's tempo map, if there is a file.
    std::optional<MrvnTempoOption> tempo;
    UInt32 blockSize = 512;
    bool tail = false;
    bool quiet = false;
};

constexpr UInt32 kMaxBlockSize = 1u << 20;
constexpr double kMaxTempo = 1000.0;
constexpr UInt32 kMaxBeatsPerBar = 64;

// "BPM[/BEATS_PER_BAR]" as --tempo takes it; anything else is a usage error.
MrvnTempoOption ParseTempo(const std::string& text);

// Appends the render options to rules, each writing into options (which must outlive them).
void AddRenderOptionRules(std::vector<MrvnOptionRule>& rules, MrvnRenderOptions& options);

// The render options alone.
MrvnParsedArguments ParseRenderOptions(const std::vector<std::string>& args,
                                       MrvnRenderOptions& options);

// The render options' lines for a command's --help.
extern const char* const kRenderOptionsHelp;

} // namespace MrvnCli
