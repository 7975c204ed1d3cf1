// Fluxet's vocabulary: parameter numbers and table, LFO shape names, factory presets,
// value names and the OSC port rule. Shared by the effect unit, its script host, OSC
// server and editor.
#pragma once

#include <atomic>
#include <optional>

#include "AUTypes.h"
#include "MrvnShared.h"
#include "Preferences.h"

// Parameter numbers; the number is the row of astParamInfos. All are global, element 0.
enum : AudioUnitParameterID {
    kParam_DryLevel = 0,
    kParam_EffectLevel = 1,
    kParam_SpeedSuperfine = 2,
    kParam_SpeedFine = 3,
    kParam_SpeedCoarse = 4,
    kParam_DepthFine = 5,
    kParam_DepthCoarse = 6,
    kParam_Shape = 7,
    kParam_Spread = 8,
    kParam_Bias = 9,
    kParam_Feedback = 10,
    kParam_SpeedLFOSpeed = 11,
    kParam_SpeedLFODepth = 12,
    kParam_DepthLFOSpeed = 13,
    kParam_DepthLFODepth = 14,
    kParam_OSCPortOffset = 15,
    kNumParameters = 16,
};

extern const MrvnParamInfo astParamInfos[kNumParameters];

// LFO shapes, by the pitch movement each produces. "Shape" s blends floor(s) and floor(s)+1.
constexpr int kNumShapes = 9;
extern const char* const kShapeNames[kNumShapes];

// A factory preset: values at or above numValues inherit the parameter default once
// CompleteFactoryPresets has run.
struct MrvnFactoryPreset {
    const char* name;
    SInt32 numValues;
    Float32 values[kNumParameters];
};

constexpr int kNumFactoryPresets = 18;
extern MrvnFactoryPreset astPresets[kNumFactoryPresets];

// The host-facing preset list: number i and the name of astPresets[i].
extern AUPreset presets[kNumFactoryPresets];

// Fills the inherited values of every preset with the parameter defaults. Idempotent;
// once done it writes nothing, so later runs are safe while other threads read presets.
// Main thread (unit construction); not real-time safe.
void CompleteFactoryPresets();

// Builds the host preset list; idempotent in the same way. Main thread.
void BuildFactoryPresetList();

// Answers the host's parameter-information request: -10878 for a scope other than
// global or a number above 15; otherwise fills name, cfNameString, unit, range,
// default and flags and leaves the other fields as given. Any thread.
OSStatus GetFluxetParameterInfo(AudioUnitScope scope, AudioUnitParameterID id,
                                AudioUnitParameterInfo& info);

// The text of a parameter value: *outText is a static string, or null when the value has
// no name (still success). Parameters without value names give -10878. Any thread.
OSStatus GetFluxetValueName(AudioUnitParameterID id, Float32 value, const char** outText);

// The string-from-value request: uses *io.inValue, or currentValue when it is null.
OSStatus GetFluxetValueName(AudioUnitParameterStringFromValue& io, Float32 currentValue);

// Process-wide OSC base port, from the preference "OSC Base Port".
extern std::atomic<SInt32> g_OSCBasePort;

// "OSC Port Offset" truncated towards zero; NaN counts as 0 and values beyond the
// 32-bit range saturate, so that no value a script can store is undefined here.
SInt32 TruncatedOSCPortOffset(Float32 offset);

// The instance's OSC port, or no port (OSC disabled) when the offset truncates to 0.
std::optional<SInt32> OSCPortForOffset(Float32 offset, SInt32 basePort);
std::optional<SInt32> OSCPortForOffset(Float32 offset);
