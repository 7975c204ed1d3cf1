// The bundle's Turtle files, written from the parameter and preset tables so that the
// metadata hosts read can never drift from what the unit does.
#pragma once

#include <string>

#include "AUTypes.h"

// The shortest decimal that reads back as exactly value when a reader parses it as a double
// and rounds to float (as Turtle readers do), in Turtle's number syntax.
std::string FluxetTTLNumber(Float32 value);

// A Turtle string literal, quoted and escaped.
std::string FluxetTTLString(const char* text);

// manifest.ttl: both plug-ins, the editor and every factory preset.
std::string FluxetLV2ManifestTTL();
// fluxet.ttl: the parameters, the two plug-ins with their ports, and the editor.
std::string FluxetLV2PluginTTL();
// presets.ttl: the factory presets as state.
std::string FluxetLV2PresetsTTL();

constexpr const char* kFluxetLV2PluginTTLName = "fluxet.ttl";
constexpr const char* kFluxetLV2PresetsTTLName = "presets.ttl";
