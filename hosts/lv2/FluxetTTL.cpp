#include "FluxetTTL.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <sstream>

#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"

namespace {

constexpr const char* kPrefixes =
    "@prefix atom:   <http://lv2plug.in/ns/ext/atom#> .\n"
    "@prefix bufsz:  <http://lv2plug.in/ns/ext/buf-size#> .\n"
    "@prefix doap:   <http://usefulinc.com/ns/doap#> .\n"
    "@prefix foaf:   <http://xmlns.com/foaf/0.1/> .\n"
    "@prefix lv2:    <http://lv2plug.in/ns/lv2core#> .\n"
    "@prefix midi:   <http://lv2plug.in/ns/ext/midi#> .\n"
    "@prefix opts:   <http://lv2plug.in/ns/ext/options#> .\n"
    "@prefix patch:  <http://lv2plug.in/ns/ext/patch#> .\n"
    "@prefix pset:   <http://lv2plug.in/ns/ext/presets#> .\n"
    "@prefix rdf:    <http://www.w3.org/1999/02/22-rdf-syntax-ns#> .\n"
    "@prefix rdfs:   <http://www.w3.org/2000/01/rdf-schema#> .\n"
    "@prefix rsz:    <http://lv2plug.in/ns/ext/resize-port#> .\n"
    "@prefix state:  <http://lv2plug.in/ns/ext/state#> .\n"
    "@prefix time:   <http://lv2plug.in/ns/ext/time#> .\n"
    "@prefix ui:     <http://lv2plug.in/ns/extensions/ui#> .\n"
    "@prefix units:  <http://lv2plug.in/ns/extensions/units#> .\n"
    "@prefix urid:   <http://lv2plug.in/ns/ext/urid#> .\n"
    "@prefix xsd:    <http://www.w3.org/2001/XMLSchema#> .\n"
    "@prefix fluxet: <http://morvane.com/plugins/fluxet#> .\n\n";

bool ReadsBackAs(const char* text, Float32 value) {
    return Float32(std::strtod(text, nullptr)) == value;
}

bool IsIntegerParameter(AudioUnitParameterID id) {
    return astParamInfos[id].unit == kAudioUnitParameterUnit_Indexed;
}

// Units hosts know; the fader-curve and generic units have no LV2 counterpart.
const char* UnitURI(AudioUnitParameterUnit unit) {
    switch (unit) {
    case kAudioUnitParameterUnit_Hertz:
        return "units:hz";
    case kAudioUnitParameterUnit_Percent:
        return "units:pc";
    default:
        return nullptr;
    }
}

// A value as the parameter's declared range type reads it.
std::string TypedValue(AudioUnitParameterID id, Float32 value) {
    if (IsIntegerParameter(id)) {
        return "\"" + std::to_string(TruncatedOSCPortOffset(value)) + "\"^^xsd:int";
    }
    return "\"" + FluxetTTLNumber(value) + "\"^^xsd:float";
}

std::string Bound(AudioUnitParameterID id, Float32 value) {
    if (IsIntegerParameter(id)) {
        return std::to_string(TruncatedOSCPortOffset(value));
    }
    std::string text = FluxetTTLNumber(value);
    // A bare integer would be read as xsd:integer; keep float parameters decimal.
    if (text.find_first_of(".eE") == std::string::npos) {
        text += ".0";
    }
    return text;
}

// The named values inside the published range: the minimum and every whole number.
void WriteScalePoints(std::ostream& out, AudioUnitParameterID id) {
    const MrvnParamInfo& info = astParamInfos[id];
    const char* probe = nullptr;
    if (GetFluxetValueName(id, info.defaultValue, &probe) != noErr) {
        return;
    }
    std::set<Float32> candidates{info.minValue};
    for (Float32 v = std::ceil(info.minValue); v <= info.maxValue; v += 1.0f) {
        candidates.insert(v);
    }
    for (const Float32 value : candidates) {
        const char* text = nullptr;
        if (GetFluxetValueName(id, value, &text) == noErr && text != nullptr) {
            out << "    lv2:scalePoint [ rdfs:label " << FluxetTTLString(text) << " ; rdf:value "
                << Bound(id, value) << " ] ;\n";
        }
    }
}

void WriteParameter(std::ostream& out, AudioUnitParameterID id) {
    const MrvnParamInfo& info = astParamInfos[id];
    out << "fluxet:" << FluxetLV2ParameterSymbol(id) << "\n"
        << "    a lv2:Parameter ;\n"
        << "    rdfs:label " << FluxetTTLString(info.name) << " ;\n"
        << "    lv2:symbol \"" << FluxetLV2ParameterSymbol(id) << "\" ;\n"
        << "    rdfs:range " << (IsIntegerParameter(id) ? "atom:Int" : "atom:Float") << " ;\n";
    if (const char* unit = UnitURI(info.unit)) {
        out << "    units:unit " << unit << " ;\n";
    }
    WriteScalePoints(out, id);
    out << "    lv2:default " << Bound(id, info.defaultValue) << " ;\n"
        << "    lv2:minimum " << Bound(id, info.minValue) << " ;\n"
        << "    lv2:maximum " << Bound(id, info.maxValue) << " .\n\n";
}

void WriteParameterList(std::ostream& out, const char* predicate) {
    out << "    " << predicate;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        out << (id == 0 ? " " : " ,\n        ") << "fluxet:" << FluxetLV2ParameterSymbol(id);
    }
    out << " ;\n";
}

void WriteAudioPort(std::ostream& out, UInt32 index, bool input, UInt32 channels, UInt32 channel) {
    static const char* const kSides[] = {"L", "R"};
    std::string name = input ? "In" : "Out";
    if (channels > 1) {
        name += std::string(" ") + kSides[channel];
    }
    out << " , [\n"
        << "        a lv2:AudioPort , " << (input ? "lv2:InputPort" : "lv2:OutputPort") << " ;\n"
        << "        lv2:index " << index << " ;\n"
        << "        lv2:symbol \"" << FluxetLV2Symbol(name.c_str()) << "\" ;\n"
        << "        lv2:name \"" << name << "\"\n"
        << "    ]";
}

void WritePlugin(std::ostream& out, const FluxetLV2Variant& variant) {
    out << "<" << variant.uri << ">\n"
        << "    a lv2:Plugin , lv2:ChorusPlugin ;\n"
        << "    doap:name " << FluxetTTLString(variant.name) << " ;\n"
        << "    lv2:project <" << kFluxetLV2ProjectURI << "> ;\n"
        << "    rdfs:comment \"Modulated delay: chorus, flanger, vibrato, ensemble and wobbly "
           "delays, with Lua MIDI scripting and OSC remote control.\" ;\n"
        << "    lv2:minorVersion " << ((MrvnFluxet::kVersion >> 8) & 0xFF) << " ;\n"
        << "    lv2:microVersion " << (MrvnFluxet::kVersion & 0xFF) << " ;\n"
        << "    lv2:requiredFeature urid:map ;\n"
        << "    lv2:optionalFeature opts:options , state:threadSafeRestore ;\n"
        << "    opts:supportedOption bufsz:maxBlockLength ;\n"
        << "    lv2:extensionData state:interface ;\n"
        << "    ui:ui <" << kFluxetLV2UIURI << "> ;\n";
    WriteParameterList(out, "patch:writable");
    WriteParameterList(out, "patch:readable");
    out << "    lv2:port [\n"
        << "        a lv2:InputPort , atom:AtomPort ;\n"
        << "        atom:bufferType atom:Sequence ;\n"
        << "        atom:supports midi:MidiEvent , patch:Message , time:Position ;\n"
        << "        lv2:designation lv2:control ;\n"
        << "        lv2:index " << kFluxetLV2PortControl << " ;\n"
        << "        lv2:symbol \"control\" ;\n"
        << "        lv2:name \"Control\" ;\n"
        << "        rsz:minimumSize " << kFluxetLV2AtomBufferSize << "\n"
        << "    ] , [\n"
        << "        a lv2:OutputPort , atom:AtomPort ;\n"
        << "        atom:bufferType atom:Sequence ;\n"
        << "        atom:supports patch:Message ;\n"
        << "        lv2:designation lv2:control ;\n"
        << "        lv2:index " << kFluxetLV2PortNotify << " ;\n"
        << "        lv2:symbol \"notify\" ;\n"
        << "        lv2:name \"Notify\" ;\n"
        << "        rsz:minimumSize " << kFluxetLV2AtomBufferSize << "\n"
        << "    ]";
    for (UInt32 c = 0; c < variant.channels; ++c) {
        WriteAudioPort(out, FluxetLV2InputPort(c), true, variant.channels, c);
    }
    for (UInt32 c = 0; c < variant.channels; ++c) {
        WriteAudioPort(out, FluxetLV2OutputPort(variant.channels, c), false, variant.channels, c);
    }
    out << " .\n\n";
}

// The editor: it shares the instance, and shows itself embedded (ui:parent) or in a window of
// its own (ui:showInterface); its input is handled in ui:idleInterface.
void WriteUI(std::ostream& out) {
    out << "<" << kFluxetLV2UIURI << ">\n"
        << "    a ui:X11UI ;\n"
        << "    lv2:requiredFeature <http://lv2plug.in/ns/ext/instance-access> , "
           "ui:idleInterface ;\n"
        << "    lv2:optionalFeature ui:parent , ui:resize ;\n"
        << "    lv2:extensionData ui:idleInterface , ui:showInterface , ui:resize .\n\n";
}

} // namespace

std::string FluxetTTLNumber(Float32 value) {
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text) - 1, value);
    *result.ptr = '\0';
    if (ReadsBackAs(text, value)) {
        return text;
    }
    // Shortest for a float parser is not always enough through a double; widen until it is.
    for (int digits = 9; digits <= 17; ++digits) {
        std::snprintf(text, sizeof(text), "%.*g", digits, double(value));
        if (ReadsBackAs(text, value)) {
            break;
        }
    }
    return text;
}

std::string FluxetTTLString(const char* text) {
    std::string quoted = "\"";
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == '"' || *p == '\\') {
            quoted += '\\';
        }
        quoted += *p;
    }
    return quoted + "\"";
}

std::string FluxetLV2ManifestTTL() {
    CompleteFactoryPresets();
    std::ostringstream out;
    out << kPrefixes;
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        out << "<" << variant.uri << ">\n"
            << "    a lv2:Plugin ;\n"
            << "    lv2:binary <" << kFluxetLV2Binary << "> ;\n"
            << "    rdfs:seeAlso <" << kFluxetLV2PluginTTLName << "> .\n\n";
    }
    out << "<" << kFluxetLV2UIURI << ">\n"
        << "    a ui:X11UI ;\n"
        << "    ui:binary <" << kFluxetLV2Binary << "> ;\n"
        << "    rdfs:seeAlso <" << kFluxetLV2PluginTTLName << "> .\n\n";
    for (SInt32 i = 0; i < kNumFactoryPresets; ++i) {
        out << "<" << FluxetLV2PresetURI(i) << ">\n"
            << "    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << kFluxetLV2StereoURI << "> , <" << kFluxetLV2MonoURI
            << "> ;\n"
            << "    rdfs:seeAlso <" << kFluxetLV2PresetsTTLName << "> .\n\n";
    }
    return out.str();
}

std::string FluxetLV2PluginTTL() {
    std::ostringstream out;
    out << kPrefixes;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        WriteParameter(out, id);
    }
    out << "fluxet:preset_name\n"
        << "    a rdf:Property ;\n"
        << "    rdfs:label \"Preset name\" ;\n"
        << "    rdfs:comment \"The name of the preset the saved values came from.\" ;\n"
        << "    rdfs:range atom:String .\n\n";
    out << "<" << kFluxetLV2ProjectURI << ">\n"
        << "    a doap:Project ;\n"
        << "    doap:name \"Fluxet\" ;\n"
        << "    doap:maintainer [ a foaf:Person ; foaf:name \"Morvane\" ] .\n\n";
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        WritePlugin(out, variant);
    }
    WriteUI(out);
    return out.str();
}

std::string FluxetLV2PresetsTTL() {
    CompleteFactoryPresets();
    std::ostringstream out;
    out << kPrefixes;
    for (SInt32 i = 0; i < kNumFactoryPresets; ++i) {
        const MrvnFactoryPreset& preset = astPresets[i];
        out << "<" << FluxetLV2PresetURI(i) << ">\n"
            << "    a pset:Preset ;\n"
            << "    lv2:appliesTo <" << kFluxetLV2StereoURI << "> , <" << kFluxetLV2MonoURI
            << "> ;\n"
            << "    rdfs:label " << FluxetTTLString(preset.name) << " ;\n"
            << "    rdfs:comment \"Fluxet factory preset " << i << "\" ;\n"
            << "    state:state [\n";
        for (UInt32 id = 0; id < kNumParameters; ++id) {
            out << "        fluxet:" << FluxetLV2ParameterSymbol(id) << " "
                << TypedValue(id, preset.values[id]) << " ;\n";
        }
        out << "        fluxet:preset_name " << FluxetTTLString(preset.name) << "\n"
            << "    ] .\n\n";
    }
    return out.str();
}
