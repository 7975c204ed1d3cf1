#include "RenderOptions.h"

#include "CliSupport.h"

namespace MrvnCli {

const char* const kRenderOptionsHelp =
    "  --preset NAME|NUMBER  start from a factory preset (see 'fluxet presets')\n"
    "  --set NAME=VALUE      set a parameter by name or number, to a number or one of\n"
    "                        its value names, e.g. \"Dry Level=0.5\", \"Shape=Wobble\"\n"
    "                        (repeatable; applied after the preset; see 'fluxet params')\n"
    "  --state FILE          restore a saved state first\n"
    "  --save-state FILE     save the state after rendering\n"
    "  --block N             render in blocks of N frames (default 512)\n"
    "  --tail                append the effect's tail time of silent input\n"
    "  --midi FILE.mid       send the MIDI events of a Standard MIDI File at their frames\n"
    "  --scripts DIR         run with the Lua scripts of DIR instead of the installed ones\n"
    "  --tempo BPM[/N]       the transport's tempo, in beats per minute, and N beats per bar\n"
    "                        (default 4); without it the transport follows the tempo map of\n"
    "                        the --midi file. The transport plays from the first frame\n"
    "  -q, --quiet           print nothing on success\n";

MrvnParsedArguments ParseArguments(const std::vector<std::string>& args,
                                   const std::vector<MrvnOptionRule>& rules) {
    MrvnParsedArguments parsed;
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            return parsed;
        }
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            parsed.positionals.insert(parsed.positionals.end(), args.begin() + long(i) + 1,
                                      args.end());
            break;
        }
        // A lone "-" is a positional (standard input or output to tools that take it).
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.positionals.push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const bool isLong = arg.compare(0, 2, "--") == 0;
        const std::string name = isLong ? arg.substr(0, equals) : arg;
        const MrvnOptionRule* known = nullptr;
        for (const MrvnOptionRule& candidate : rules) {
            if (name == candidate.name ||
                (!candidate.shortName.empty() && name == candidate.shortName)) {
                known = &candidate;
                break;
            }
        }
        if (known == nullptr) {
            ThrowUsage("unknown option " + Quoted(name));
        }
        if (known->valueName.empty()) {
            if (isLong && equals != std::string::npos) {
                ThrowUsage("option " + Quoted(known->name) + " takes no value");
            }
            known->apply({});
            continue;
        }
        if (isLong && equals != std::string::npos) {
            known->apply(arg.substr(equals + 1));
            continue;
        }
        if (i + 1 >= args.size()) {
            ThrowUsage("option " + Quoted(known->name) + " needs " + known->valueName);
        }
        known->apply(args[++i]);
    }
    return parsed;
}

MrvnTempoOption ParseTempo(const std::string& text) {
    const std::size_t slash = text.find('/');
    const std::optional<float> bpm = ParseFloat(std::string_view(text).substr(0, slash));
    const std::optional<unsigned long long> perBar =
        slash == std::string::npos ? std::optional<unsigned long long>(4)
                                   : ParseUnsigned(std::string_view(text).substr(slash + 1));
    if (!bpm || *bpm <= 0.0f || *bpm > kMaxTempo || !perBar || *perBar == 0 ||
        *perBar > kMaxBeatsPerBar) {
        ThrowUsage("--tempo needs beats per minute above 0 and up to " +
                   FormatFloat(float(kMaxTempo)) + ", optionally /N beats per bar (1 to " +
                   std::to_string(kMaxBeatsPerBar) + "), e.g. 120 or 96.5/3, not " + Quoted(text));
    }
    return {double(*bpm), UInt32(*perBar)};
}

void AddRenderOptionRules(std::vector<MrvnOptionRule>& rules, MrvnRenderOptions& options) {
    const auto path = [](std::string& target, const char* option) {
        return [&target, option](const std::string& value) {
            if (value.empty()) {
                ThrowUsage(std::string("option '") + option + "' needs a path");
            }
            target = value;
        };
    };
    rules.push_back({"--preset", "", "NAME|NUMBER", [&options](const std::string& value) {
                         if (value.empty()) {
                             ThrowUsage("option '--preset' needs a name or number");
                         }
                         options.preset = value;
                     }});
    rules.push_back({"--set", "", "NAME=VALUE", [&options](const std::string& value) {
                         if (value.find('=') == std::string::npos) {
                             ThrowUsage("--set needs NAME=VALUE, not " + Quoted(value));
                         }
                         options.settings.push_back(value);
                     }});
    rules.push_back({"--state", "", "FILE", path(options.stateFile, "--state")});
    rules.push_back({"--save-state", "", "FILE", path(options.saveStateFile, "--save-state")});
    rules.push_back({"--midi", "", "FILE", path(options.midiFile, "--midi")});
    rules.push_back({"--scripts", "", "DIR", path(options.scriptsFolder, "--scripts")});
    rules.push_back({"--block", "", "N", [&options](const std::string& value) {
                         const auto frames = ParseUnsigned(value);
                         if (!frames || *frames == 0 || *frames > kMaxBlockSize) {
                             ThrowUsage("--block needs a whole number of frames from 1 to " +
                                        std::to_string(kMaxBlockSize) + ", not " + Quoted(value));
                         }
                         options.blockSize = UInt32(*frames);
                     }});
    rules.push_back({"--tempo", "", "BPM[/N]",
                     [&options](const std::string& value) { options.tempo = ParseTempo(value); }});
    rules.push_back({"--tail", "", "", [&options](const std::string&) { options.tail = true; }});
    rules.push_back(
        {"--quiet", "-q", "", [&options](const std::string&) { options.quiet = true; }});
}

MrvnParsedArguments ParseRenderOptions(const std::vector<std::string>& args,
                                       MrvnRenderOptions& options) {
    std::vector<MrvnOptionRule> rules;
    AddRenderOptionRules(rules, options);
    return ParseArguments(args, rules);
}

} // namespace MrvnCli
