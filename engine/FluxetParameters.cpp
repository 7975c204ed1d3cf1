#include "FluxetParameters.h"

#include <bit>
#include <cmath>
#include <cstring>

const MrvnParamInfo astParamInfos[kNumParameters] = {
    {"Dry Level", kAudioUnitParameterUnit_MixerFaderCurve1, 0.0f, 1.0f, 0.0f},
    {"Effect Level", kAudioUnitParameterUnit_MixerFaderCurve1, 0.0f, 1.0f, 1.0f},
    {"Speed (superfine)", kAudioUnitParameterUnit_Hertz, 0.001f, 1.0f, 0.001f},
    {"Speed (fine)", kAudioUnitParameterUnit_Hertz, 0.5f, 20.0f, 5.0f},
    {"Speed (coarse)", kAudioUnitParameterUnit_Hertz, 10.0f, 5000.0f, 10.0f},
    {"Depth (fine)", kAudioUnitParameterUnit_Percent, 0.0f, 10.0f, 1.0f},
    {"Depth (coarse)", kAudioUnitParameterUnit_Percent, 0.0f, 400.0f, 0.0f},
    {"Shape", kAudioUnitParameterUnit_Generic, 0.0f, 4.0f, 0.0f},
    {"Spread", kAudioUnitParameterUnit_Generic, 0.0f, 1.0f, 0.0f},
    {"Bias", kAudioUnitParameterUnit_Generic, 0.0f, 1.0f, 0.0f},
    {"Feedback", kAudioUnitParameterUnit_Percent, -100.0f, 100.0f, 0.0f},
    {"Speed LFO Speed", kAudioUnitParameterUnit_Hertz, 0.05f, 20.0f, 0.2f},
    {"Speed LFO Depth", kAudioUnitParameterUnit_Generic, 0.0f, 10.0f, 0.0f},
    {"Depth LFO Speed", kAudioUnitParameterUnit_Hertz, 0.05f, 20.0f, 0.5f},
    {"Depth LFO Depth", kAudioUnitParameterUnit_Generic, 0.0f, 5.0f, 0.0f},
    {"OSC Port Offset", kAudioUnitParameterUnit_Indexed, 0.0f, 100.0f, 0.0f},
};

const char* const kShapeNames[kNumShapes] = {
    "Sine",     "Saw Up",    "Saw Down", "Triangle", "Square",
    "Rand Sqr", "Rand Sqr2", "Rand Tri", "Wobble",
};

// clang-format off
MrvnFactoryPreset astPresets[kNumFactoryPresets] = {
    {"Defaults", 0, {}},
    {"Wobbly", 16, {0, 1, 0.001f, 8.998f, 10, 3.55f, 0, 0, 0, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Ensemble", 16, {0.87f, 0.915f, 0.001f, 5.098f, 10, 1.8f, 0, 0, 0.155f, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Opposites", 16, {0, 1, 0.001f, 2.563f, 10, 3.8f, 8, 4, 0.485f, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Watch Out", 16, {0, 1, 0.001f, 1.978f, 10, 0.4f, 16, 1, 0, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Mangly", 16, {0, 1, 0.001f, 4.415f, 359.3f, 1.4f, 78, 0, 0, 0, 0, 0.2f, 10, 0.5f, 0, 0}},
    {"Some Depth LFO", 16, {0.585f, 0.96f, 0.001f, 5, 10, 1, 0, 0, 0, 0, 0, 0.2f, 0, 0.5f, 1.175f, 0}},
    {"Some Speed LFO", 16, {0.585f, 0.96f, 0.001f, 2.173f, 10, 1, 0, 0, 0, 0, 0, 0.3f, 2.85f, 0.5f, 0, 0}},
    {"Chorusy", 16, {0.76f, 0.945f, 0.001f, 4.415f, 10, 4.1f, 0, 0, 0.405f, 1, 21, 0.2f, 0, 4.59f, 0.425f, 0}},
    {"Flangey", 16, {0.38f, 0.945f, 0.001f, 18.162f, 10, 4, 0, 0, 0.405f, 1, 72, 0.2f, 0, 0.201f, 1.6f, 0}},
    {"Simple Delay", 16, {1, 1, 0.001f, 5, 10, 1, 278, 0, 0, 1, 71, 0.2f, 0, 0.6f, 0, 0}},
    {"Wobbly Delay", 16, {1, 1, 0.001f, 6.837f, 10, 1, 368, 0, 0, 0.985f, 74, 0.2f, 1.2f, 0.6f, 0, 0}},
    {"More Mangly", 16, {0, 1, 0.001f, 6.837f, 84.85f, 1, 334, 3.3f, 0.23f, 0.365f, 66, 0.2f, 4.75f, 6.585f, 3.575f, 0}},
    {"Play with the Coarse Speed", 16, {0, 1, 0.001f, 6.837f, 783.45f, 1, 278, 1.66f, 0.345f, 0.73f, -93, 1.597f, 5.2f, 0.3f, 4.975f, 0}},
    {"All Over The Place", 16, {0, 1, 0.051f, 0.5f, 10, 1, 88, 0.42f, 0.06f, 0.355f, 83, 0.37f, 2.9f, 0.929f, 1.575f, 0}},
    {"Drunken Dub", 16, {0, 1, 0.021f, 0.5f, 10, 1, 0, 0, 0, 0.975f, 81, 0.2f, 0.015f, 0.5f, 0, 0}},
    {"Tight Flange", 16, {0, 1, 0.237f, 0.5f, 10, 0.085f, 0, 0, 0, 0.42f, 94, 0.2f, 0, 0.5f, 0, 0}},
    {"Thicker", 16, {0.955f, 1, 0.001f, 4.887f, 10, 3.635f, 0, 0, 0.265f, 0.91f, -1, 0.3f, 1.6f, 0.5f, 1.025f, 0}},
};
// clang-format on

AUPreset presets[kNumFactoryPresets] = {};

std::atomic<SInt32> g_OSCBasePort{kDefaultOSCBasePort};

void CompleteFactoryPresets() {
    for (MrvnFactoryPreset& preset : astPresets) {
        for (UInt32 p = preset.numValues < 0 ? 0 : UInt32(preset.numValues); p < kNumParameters;
             ++p) {
            const Float32 value = astParamInfos[p].defaultValue;
            // Compare first: after the first run nothing is written again.
            if (std::bit_cast<UInt32>(preset.values[p]) != std::bit_cast<UInt32>(value)) {
                preset.values[p] = value;
            }
        }
    }
}

void BuildFactoryPresetList() {
    for (SInt32 i = 0; i < kNumFactoryPresets; ++i) {
        if (presets[i].presetNumber != i || presets[i].presetName != astPresets[i].name) {
            presets[i] = AUPreset{i, astPresets[i].name};
        }
    }
}

namespace {

bool HasValueNames(AudioUnitParameterID id) {
    return id == kParam_SpeedSuperfine || id == kParam_SpeedFine || id == kParam_SpeedCoarse ||
           id == kParam_Shape || id == kParam_OSCPortOffset;
}

// Copies a UTF-8 name into a fixed field, never splitting a multi-byte character.
void CopyName(char (&field)[52], const char* name) {
    std::size_t length = std::strlen(name);
    if (length >= sizeof field) {
        length = sizeof field - 1;
        while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) {
            --length;
        }
    }
    std::memcpy(field, name, length);
    field[length] = '\0';
}

} // namespace

OSStatus GetFluxetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                                AudioUnitParameterInfo& info) {
    if (scope != kAudioUnitScope_Global || id >= kNumParameters) {
        return kAudioUnitErr_InvalidParameter;
    }
    const MrvnParamInfo& row = astParamInfos[id];
    CopyName(info.name, row.name);
    info.cfNameString = row.name;
    info.unit = row.unit;
    info.minValue = row.minValue;
    info.maxValue = row.maxValue;
    info.defaultValue = row.defaultValue;
    info.flags = kAudioUnitParameterFlag_IsWritable | kAudioUnitParameterFlag_IsReadable |
                 kAudioUnitParameterFlag_HasCFNameString | kAudioUnitParameterFlag_Global;
    if (HasValueNames(id)) {
        info.flags |= kAudioUnitParameterFlag_ValuesHaveStrings;
    }
    return noErr;
}

OSStatus GetFluxetValueName(AudioUnitParameterID id, Float32 value, const char** outText) {
    const char* text = nullptr;
    switch (id) {
    case kParam_SpeedSuperfine:
        // A speed control at its minimum contributes nothing; the thresholds are the
        // ones the engine uses.
        text = value <= 0.001001f ? "0" : nullptr;
        break;
    case kParam_SpeedFine:
        text = value <= 0.5005f ? "0" : nullptr;
        break;
    case kParam_SpeedCoarse:
        text = value <= 10.01f ? "0" : nullptr;
        break;
    case kParam_Shape: {
        const Float32 n = std::trunc(value + 0.5f);
        if (n >= 0.0f && n <= 8.0f && std::fabs(value - n) < 0.005f) {
            text = kShapeNames[static_cast<int>(n)];
        }
        break;
    }
    case kParam_OSCPortOffset:
        text = value == 0.0f ? "Off" : nullptr;
        break;
    default:
        return kAudioUnitErr_InvalidParameter;
    }
    *outText = text;
    return noErr;
}

OSStatus GetFluxetValueName(AudioUnitParameterStringFromValue& io, Float32 currentValue) {
    const Float32 value = io.inValue != nullptr ? *io.inValue : currentValue;
    return GetFluxetValueName(io.inParamID, value, &io.outString);
}

SInt32 TruncatedOSCPortOffset(Float32 offset) {
    const Float32 truncated = std::trunc(offset);
    if (!(truncated == truncated)) {
        return 0;
    }
    // 2^31 is exact as a float; every float below it converts without overflow.
    if (truncated >= 2147483648.0f) {
        return INT32_MAX;
    }
    if (truncated < -2147483648.0f) {
        return INT32_MIN;
    }
    return static_cast<SInt32>(truncated);
}

std::optional<SInt32> OSCPortForOffset(Float32 offset, SInt32 basePort) {
    const SInt32 truncated = TruncatedOSCPortOffset(offset);
    if (truncated == 0) {
        return std::nullopt;
    }
    // Wrap like the host's 32-bit sum would rather than overflow.
    return static_cast<SInt32>(static_cast<UInt32>(basePort) + static_cast<UInt32>(truncated));
}

std::optional<SInt32> OSCPortForOffset(Float32 offset) {
    return OSCPortForOffset(offset, g_OSCBasePort.load(std::memory_order_relaxed));
}
