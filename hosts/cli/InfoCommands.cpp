// The commands that show what the effect offers: its presets, its parameters, saved states.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>

#include <plist/plist.h>

#include "AUStateFile.h"
#include "Commands.h"
#include "HostedUnit.h"
#include "RenderOptions.h"

namespace MrvnCli {

namespace {

// The host's words for its parameter unit codes.
const char* UnitText(AudioUnitParameterUnit unit) {
    static const char* const kNames[] = {
        "generic", "indexed", "boolean",   "percent",   "seconds",   "frames",  "phase",
        "rate",    "hertz",   "cents",     "semitones", "MIDI note", "MIDI CC", "decibels",
        "gain",    "degrees", "crossfade", "fader",     "pan",       "meters",  "abs. cents",
        "octaves", "BPM",     "beats",     "ms",        "ratio",     "custom",
    };
    return unit < std::size(kNames) ? kNames[unit] : "?";
}

std::string Column(std::string text, std::size_t width) {
    if (text.size() < width) {
        text.resize(width, ' ');
    }
    return text;
}

std::string RightColumn(const std::string& text, std::size_t width) {
    return text.size() < width ? std::string(width - text.size(), ' ') + text : text;
}

// A value, with the unit's name for it when it has one.
std::string ValueText(const MrvnHostedUnit& unit, AudioUnitParameterID id, Float32 value) {
    std::string text = FormatFloat(value);
    if (const std::optional<std::string> name = unit.ValueName(id, value)) {
        if (*name != text) {
            text += " (" + *name + ")";
        }
    }
    return text;
}

void PrintNamedValues(const MrvnHostedUnit& unit,
                      const std::vector<MrvnParameterDescription>& parameters, std::ostream& out) {
    bool first = true;
    for (const MrvnParameterDescription& parameter : parameters) {
        const std::vector<MrvnNamedValue> named = unit.NamedValues(parameter);
        if (named.empty()) {
            continue;
        }
        if (first) {
            out << "\nValue names (usable with --set):\n";
            first = false;
        }
        out << RightColumn(std::to_string(parameter.id), 3) << "  " << parameter.name << ":";
        for (std::size_t i = 0; i < named.size(); ++i) {
            out << (i == 0 ? " " : ", ") << named[i].name << " = " << FormatFloat(named[i].value);
        }
        out << "\n";
    }
}

const char* const kPresetsHelp = "usage: fluxet presets\n"
                                 "\n"
                                 "Lists the factory presets by number and name.\n";

const char* const kParamsHelp =
    "usage: fluxet params [--preset NAME|NUMBER]\n"
    "\n"
    "Shows the parameter table (number, name, unit, minimum, maximum, default) and the\n"
    "parameters' value names; with --preset, also that factory preset's values.\n";

const char* const kStateHelp = "usage: fluxet state FILE\n"
                               "\n"
                               "Shows a saved state file (as written by 'fluxet render\n"
                               "--save-state'): its preset name, component codes and every\n"
                               "parameter value.\n";

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};

std::optional<SInt64> ReadInteger(plist_t dict, const char* key) {
    plist_t node = plist_dict_get_item(dict, key);
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) {
        return std::nullopt;
    }
    UInt64 raw = 0;
    plist_get_uint_val(node, &raw);
    return SInt64(raw);
}

UInt32 ReadBigEndian32(const std::string& bytes, std::size_t at) {
    return (UInt32(UInt8(bytes[at])) << 24) | (UInt32(UInt8(bytes[at + 1])) << 16) |
           (UInt32(UInt8(bytes[at + 2])) << 8) | UInt32(UInt8(bytes[at + 3]));
}

} // namespace

int RunPresets(const std::vector<std::string>& args, MrvnCliContext& context) {
    const MrvnParsedArguments parsed = ParseArguments(args, {});
    if (parsed.help) {
        context.out << kPresetsHelp;
        return kExitSuccess;
    }
    if (!parsed.positionals.empty()) {
        ThrowUsage("presets takes no arguments");
    }
    const MrvnHostedUnit unit(context.entry);
    for (const AUPreset& preset : unit.FactoryPresets()) {
        context.out << RightColumn(std::to_string(preset.presetNumber), 3) << "  "
                    << (preset.presetName != nullptr ? preset.presetName : "") << "\n";
    }
    return kExitSuccess;
}

int RunParams(const std::vector<std::string>& args, MrvnCliContext& context) {
    std::optional<std::string> presetText;
    const std::vector<MrvnOptionRule> rules{
        {"--preset", "", "NAME|NUMBER", [&](const std::string& value) { presetText = value; }}};
    const MrvnParsedArguments parsed = ParseArguments(args, rules);
    if (parsed.help) {
        context.out << kParamsHelp;
        return kExitSuccess;
    }
    if (!parsed.positionals.empty()) {
        ThrowUsage("params takes no arguments");
    }
    MrvnHostedUnit unit(context.entry);
    if (presetText) {
        const AUPreset preset = FindFactoryPreset(unit, *presetText);
        unit.LoadFactoryPreset(preset.presetNumber);
        context.out << "Preset " << preset.presetNumber << ": " << preset.presetName << "\n\n";
    }
    const std::vector<MrvnParameterDescription> parameters = unit.Parameters();
    std::size_t nameWidth = 4;
    for (const MrvnParameterDescription& parameter : parameters) {
        nameWidth = std::max(nameWidth, parameter.name.size());
    }
    std::ostream& out = context.out;
    out << "  #  " << Column("Name", nameWidth) << "  " << Column("Unit", 8) << "  "
        << RightColumn("Min", 6) << "  " << RightColumn("Max", 6) << "  "
        << RightColumn("Default", 7);
    if (presetText) {
        out << "  Value";
    }
    out << "\n";
    for (const MrvnParameterDescription& parameter : parameters) {
        const AudioUnitParameterInfo& info = parameter.info;
        out << RightColumn(std::to_string(parameter.id), 3) << "  "
            << Column(parameter.name, nameWidth) << "  " << Column(UnitText(info.unit), 8) << "  "
            << RightColumn(FormatFloat(info.minValue), 6) << "  "
            << RightColumn(FormatFloat(info.maxValue), 6) << "  "
            << RightColumn(FormatFloat(info.defaultValue), 7);
        if (presetText) {
            out << "  " << ValueText(unit, parameter.id, unit.GetParameter(parameter.id));
        }
        out << "\n";
    }
    bool first = true;
    for (const MrvnParameterDescription& parameter : parameters) {
        if (parameter.lowest == parameter.info.minValue &&
            parameter.highest == parameter.info.maxValue) {
            continue;
        }
        if (first) {
            out << "\nWider ranges (usable with --set; hosts and the editor stay within the "
                   "published one):\n";
            first = false;
        }
        out << RightColumn(std::to_string(parameter.id), 3) << "  " << parameter.name << ": "
            << FormatFloat(parameter.lowest) << " to " << FormatFloat(parameter.highest) << "\n";
    }
    PrintNamedValues(unit, parameters, out);
    return kExitSuccess;
}

int RunState(const std::vector<std::string>& args, MrvnCliContext& context) {
    const MrvnParsedArguments parsed = ParseArguments(args, {});
    if (parsed.help) {
        context.out << kStateHelp;
        return kExitSuccess;
    }
    if (parsed.positionals.size() != 1) {
        ThrowUsage("state needs one FILE");
    }
    const std::string& path = parsed.positionals[0];
    plist_t raw = nullptr;
    std::string problem;
    const OSStatus status = AUReadStateFile(path, &raw, &problem);
    if (status == kAudioUnitErr_InvalidPropertyValue) {
        ThrowFailure("cannot read state " + Quoted(path) + ": " + problem);
    }
    if (status != noErr) {
        ThrowFailure("cannot read state " + Quoted(path) + ": " + DescribeStatus(status));
    }
    const std::unique_ptr<void, PlistDeleter> state(raw);

    std::ostream& out = context.out;
    std::string name = "(none)";
    if (plist_t node = plist_dict_get_item(raw, "name");
        node != nullptr && plist_get_node_type(node) == PLIST_STRING) {
        char* text = nullptr;
        plist_get_string_val(node, &text);
        name = text != nullptr ? text : "";
        free(text);
    }
    out << "Preset name:   " << name << "\n";
    for (const auto& [key, label] :
         {std::pair{"type", "Type:          "}, std::pair{"subtype", "Subtype:       "},
          std::pair{"manufacturer", "Manufacturer:  "}}) {
        const std::optional<SInt64> code = ReadInteger(raw, key);
        out << label << (code ? FourCharCodeText(UInt32(*code)) : std::string("(none)")) << "\n";
    }

    const MrvnHostedUnit unit(context.entry);
    const std::vector<MrvnParameterDescription> parameters = unit.Parameters();
    const auto parameterName = [&](UInt32 id) -> std::string {
        for (const MrvnParameterDescription& parameter : parameters) {
            if (parameter.id == id) {
                return parameter.name;
            }
        }
        return "parameter " + std::to_string(id);
    };
    std::size_t nameWidth = 4;
    for (const MrvnParameterDescription& parameter : parameters) {
        nameWidth = std::max(nameWidth, parameter.name.size());
    }

    plist_t data = plist_dict_get_item(raw, "data");
    if (data == nullptr || plist_get_node_type(data) != PLIST_DATA) {
        out << "Parameters:    (none)\n";
        return kExitSuccess;
    }
    char* bytesRaw = nullptr;
    uint64_t length = 0;
    plist_get_data_val(data, &bytesRaw, &length);
    const std::string bytes(bytesRaw != nullptr ? bytesRaw : "", bytesRaw != nullptr ? length : 0);
    free(bytesRaw);

    out << "Parameters:\n";
    // Records of (scope, element, count, count pairs of number and value), big-endian.
    std::size_t at = 0;
    while (at + 12 <= bytes.size()) {
        const UInt32 scope = ReadBigEndian32(bytes, at);
        const UInt32 element = ReadBigEndian32(bytes, at + 4);
        const UInt32 count = ReadBigEndian32(bytes, at + 8);
        at += 12;
        const bool global = scope == kAudioUnitScope_Global && element == 0;
        if (!global) {
            out << "  scope " << scope << ", element " << element << ":\n";
        }
        for (UInt32 i = 0; i < count && at + 8 <= bytes.size(); ++i, at += 8) {
            const UInt32 id = ReadBigEndian32(bytes, at);
            const UInt32 bits = ReadBigEndian32(bytes, at + 4);
            Float32 value = 0.0f;
            std::memcpy(&value, &bits, sizeof(value));
            out << RightColumn(std::to_string(id), 3) << "  "
                << Column(global ? parameterName(id) : "parameter " + std::to_string(id), nameWidth)
                << "  " << (global ? ValueText(unit, id, value) : FormatFloat(value)) << "\n";
        }
    }
    return kExitSuccess;
}

} // namespace MrvnCli
