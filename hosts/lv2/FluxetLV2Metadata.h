// How Fluxet names itself to LV2 hosts: plug-in, parameter and preset URIs, symbols and the
// port layout. Hosts store these in their sessions, so they must never change.
#pragma once

#include <string>

#include "AUTypes.h"

// The maker's URI space; everything below is derived from it.
constexpr const char* kFluxetLV2ProjectURI = "http://morvane.com/plugins/fluxet";
constexpr const char* kFluxetLV2StereoURI = "http://morvane.com/plugins/fluxet/stereo";
constexpr const char* kFluxetLV2MonoURI = "http://morvane.com/plugins/fluxet/mono";
// Parameters and the other state keys live in one namespace: "<prefix><symbol>".
constexpr const char* kFluxetLV2PropertyPrefix = "http://morvane.com/plugins/fluxet#";
constexpr const char* kFluxetLV2PresetNameURI = "http://morvane.com/plugins/fluxet#preset_name";
constexpr const char* kFluxetLV2PresetPrefix = "http://morvane.com/plugins/fluxet/presets#";
// The editor, one UI for both plug-ins.
constexpr const char* kFluxetLV2UIURI = "http://morvane.com/plugins/fluxet/ui";
// The shared object inside the bundle and the bundle's folder name.
constexpr const char* kFluxetLV2Binary = "fluxet.so";
constexpr const char* kFluxetLV2BundleName = "fluxet.lv2";

// One plug-in of the bundle: a fixed channel count per URI.
struct FluxetLV2Variant {
    const char* uri;
    const char* name;
    UInt32 channels;
};
constexpr FluxetLV2Variant kFluxetLV2Variants[] = {
    {kFluxetLV2StereoURI, "Fluxet Stereo", 2},
    {kFluxetLV2MonoURI, "Fluxet Mono", 1},
};
constexpr UInt32 kFluxetLV2NumVariants = sizeof(kFluxetLV2Variants) / sizeof(kFluxetLV2Variants[0]);

// Port layout: the control sequence, the notification sequence, then the audio inputs and the
// audio outputs in channel order.
enum : UInt32 {
    kFluxetLV2PortControl = 0,
    kFluxetLV2PortNotify = 1,
    kFluxetLV2PortFirstAudio = 2,
};
constexpr UInt32 FluxetLV2InputPort(UInt32 channel) {
    return kFluxetLV2PortFirstAudio + channel;
}
constexpr UInt32 FluxetLV2OutputPort(UInt32 channels, UInt32 channel) {
    return kFluxetLV2PortFirstAudio + channels + channel;
}
constexpr UInt32 FluxetLV2PortCount(UInt32 channels) {
    return kFluxetLV2PortFirstAudio + 2 * channels;
}

// Bytes the host must give each atom port: a MIDI burst plus a full parameter report.
constexpr UInt32 kFluxetLV2AtomBufferSize = 8192;

// A display name made into an LV2 symbol: lower case, runs of anything but letters and digits
// become one "_", none at either end ("Speed (fine)" -> "speed_fine").
std::string FluxetLV2Symbol(const char* name);

// The symbol and URI of parameter id (0 to 15), from its name in the parameter table.
std::string FluxetLV2ParameterSymbol(AudioUnitParameterID id);
std::string FluxetLV2ParameterURI(AudioUnitParameterID id);

// The URI of factory preset index (0 to 17), from its name.
std::string FluxetLV2PresetURI(SInt32 index);
