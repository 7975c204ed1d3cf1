// Parameter table, presets, value names, parameter information and the OSC port rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "FluxetParameters.h"

namespace {

struct Row {
    const char* name;
    AudioUnitParameterUnit unit;
    Float32 min, max, def;
};

// The published table, as the host and the editor must see it.
const Row kTable[kNumParameters] = {
    {"Dry Level", 17, 0, 1, 0},
    {"Effect Level", 17, 0, 1, 1},
    {"Speed (superfine)", 8, 0.001f, 1, 0.001f},
    {"Speed (fine)", 8, 0.5f, 20, 5},
    {"Speed (coarse)", 8, 10, 5000, 10},
    {"Depth (fine)", 3, 0, 10, 1},
    {"Depth (coarse)", 3, 0, 400, 0},
    {"Shape", 0, 0, 4, 0},
    {"Spread", 0, 0, 1, 0},
    {"Bias", 0, 0, 1, 0},
    {"Feedback", 3, -100, 100, 0},
    {"Speed LFO Speed", 8, 0.05f, 20, 0.2f},
    {"Speed LFO Depth", 0, 0, 10, 0},
    {"Depth LFO Speed", 8, 0.05f, 20, 0.5f},
    {"Depth LFO Depth", 0, 0, 5, 0},
    {"OSC Port Offset", 1, 0, 100, 0},
};

struct PresetRow {
    const char* name;
    Float32 v[kNumParameters];
};

// clang-format off
const PresetRow kPresets[kNumFactoryPresets] = {
    {"Defaults", {0, 1, 0.001f, 5, 10, 1, 0, 0, 0, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Wobbly", {0, 1, 0.001f, 8.998f, 10, 3.55f, 0, 0, 0, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Ensemble", {0.87f, 0.915f, 0.001f, 5.098f, 10, 1.8f, 0, 0, 0.155f, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Opposites", {0, 1, 0.001f, 2.563f, 10, 3.8f, 8, 4, 0.485f, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Watch Out", {0, 1, 0.001f, 1.978f, 10, 0.4f, 16, 1, 0, 0, 0, 0.2f, 0, 0.5f, 0, 0}},
    {"Mangly", {0, 1, 0.001f, 4.415f, 359.3f, 1.4f, 78, 0, 0, 0, 0, 0.2f, 10, 0.5f, 0, 0}},
    {"Some Depth LFO", {0.585f, 0.96f, 0.001f, 5, 10, 1, 0, 0, 0, 0, 0, 0.2f, 0, 0.5f, 1.175f, 0}},
    {"Some Speed LFO", {0.585f, 0.96f, 0.001f, 2.173f, 10, 1, 0, 0, 0, 0, 0, 0.3f, 2.85f, 0.5f, 0, 0}},
    {"Chorusy", {0.76f, 0.945f, 0.001f, 4.415f, 10, 4.1f, 0, 0, 0.405f, 1, 21, 0.2f, 0, 4.59f, 0.425f, 0}},
    {"Flangey", {0.38f, 0.945f, 0.001f, 18.162f, 10, 4, 0, 0, 0.405f, 1, 72, 0.2f, 0, 0.201f, 1.6f, 0}},
    {"Simple Delay", {1, 1, 0.001f, 5, 10, 1, 278, 0, 0, 1, 71, 0.2f, 0, 0.6f, 0, 0}},
    {"Wobbly Delay", {1, 1, 0.001f, 6.837f, 10, 1, 368, 0, 0, 0.985f, 74, 0.2f, 1.2f, 0.6f, 0, 0}},
    {"More Mangly", {0, 1, 0.001f, 6.837f, 84.85f, 1, 334, 3.3f, 0.23f, 0.365f, 66, 0.2f, 4.75f, 6.585f, 3.575f, 0}},
    {"Play with the Coarse Speed", {0, 1, 0.001f, 6.837f, 783.45f, 1, 278, 1.66f, 0.345f, 0.73f, -93, 1.597f, 5.2f, 0.3f, 4.975f, 0}},
    {"All Over The Place", {0, 1, 0.051f, 0.5f, 10, 1, 88, 0.42f, 0.06f, 0.355f, 83, 0.37f, 2.9f, 0.929f, 1.575f, 0}},
    {"Drunken Dub", {0, 1, 0.021f, 0.5f, 10, 1, 0, 0, 0, 0.975f, 81, 0.2f, 0.015f, 0.5f, 0, 0}},
    {"Tight Flange", {0, 1, 0.237f, 0.5f, 10, 0.085f, 0, 0, 0, 0.42f, 94, 0.2f, 0, 0.5f, 0, 0}},
    {"Thicker", {0.955f, 1, 0.001f, 4.887f, 10, 3.635f, 0, 0, 0.265f, 0.91f, -1, 0.3f, 1.6f, 0.5f, 1.025f, 0}},
};
// clang-format on

TEST(FluxetParameters, TableMatchesThePublishedRows) {
    for (UInt32 p = 0; p < kNumParameters; ++p) {
        SCOPED_TRACE(p);
        EXPECT_STREQ(astParamInfos[p].name, kTable[p].name);
        EXPECT_EQ(astParamInfos[p].unit, kTable[p].unit);
        EXPECT_EQ(astParamInfos[p].minValue, kTable[p].min);
        EXPECT_EQ(astParamInfos[p].maxValue, kTable[p].max);
        EXPECT_EQ(astParamInfos[p].defaultValue, kTable[p].def);
    }
    EXPECT_EQ(kParam_OSCPortOffset, 15u);
    EXPECT_STREQ(kShapeNames[4], "Square");
    EXPECT_STREQ(kShapeNames[8], "Wobble");
}

TEST(FluxetParameters, PresetCompletionIsIdempotentAndGivesTheTable) {
    // "Defaults" lists no values of its own: before the first completion they are unset.
    EXPECT_EQ(astPresets[0].numValues, 0);
    CompleteFactoryPresets();
    MrvnFactoryPreset once[kNumFactoryPresets];
    std::memcpy(once, astPresets, sizeof once);
    CompleteFactoryPresets();
    EXPECT_EQ(std::memcmp(once, astPresets, sizeof once), 0);

    BuildFactoryPresetList();
    for (int i = 0; i < kNumFactoryPresets; ++i) {
        SCOPED_TRACE(kPresets[i].name);
        EXPECT_STREQ(astPresets[i].name, kPresets[i].name);
        for (UInt32 p = 0; p < kNumParameters; ++p) {
            EXPECT_EQ(astPresets[i].values[p], kPresets[i].v[p]) << "parameter " << p;
        }
        EXPECT_EQ(presets[i].presetNumber, i);
        EXPECT_EQ(presets[i].presetName, astPresets[i].name);
    }
}

TEST(FluxetParameters, ParameterInformation) {
    AudioUnitParameterInfo info;
    std::memset(&info, 0xAB, sizeof info);
    const char* const presetUnitName = "kept";
    info.unitName = presetUnitName;
    info.clumpID = 77;
    ASSERT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, kParam_SpeedFine, info), noErr);
    EXPECT_STREQ(info.name, "Speed (fine)");
    EXPECT_STREQ(info.cfNameString, "Speed (fine)");
    EXPECT_EQ(info.unit, kAudioUnitParameterUnit_Hertz);
    EXPECT_EQ(info.minValue, 0.5f);
    EXPECT_EQ(info.maxValue, 20.0f);
    EXPECT_EQ(info.defaultValue, 5.0f);
    EXPECT_EQ(info.flags, 0xC8200001u); // writable, readable, name string, values named, global
    EXPECT_EQ(info.unitName, presetUnitName);
    EXPECT_EQ(info.clumpID, 77u);

    ASSERT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, kParam_Bias, info), noErr);
    EXPECT_EQ(info.flags, 0xC8000001u);

    const AudioUnitParameterInfo before = info;
    EXPECT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Global, 16, info), -10878);
    EXPECT_EQ(GetFluxetParameterInfo(kAudioUnitScope_Input, kParam_Bias, info), -10878);
    EXPECT_EQ(std::memcmp(&before, &info, sizeof info), 0);
}

struct NameCase {
    AudioUnitParameterID id;
    Float32 value;
    const char* text; // null: no name
};

class FluxetValueNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(FluxetValueNames, FollowTheRoundingRules) {
    const NameCase& c = GetParam();
    const char* text = "untouched";
    ASSERT_EQ(GetFluxetValueName(c.id, c.value, &text), noErr);
    if (c.text == nullptr) {
        EXPECT_EQ(text, nullptr);
    } else {
        EXPECT_STREQ(text, c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FluxetValueNames,
    ::testing::Values(
        NameCase{kParam_Shape, 2.004f, "Saw Down"}, NameCase{kParam_Shape, 2.006f, nullptr},
        NameCase{kParam_Shape, 2.5f, nullptr}, NameCase{kParam_Shape, 8.0f, "Wobble"},
        NameCase{kParam_Shape, -0.003f, "Sine"}, NameCase{kParam_Shape, -0.006f, nullptr},
        NameCase{kParam_Shape, 8.005f, nullptr}, NameCase{kParam_Shape, 1e30f, nullptr},
        NameCase{kParam_Shape, NAN, nullptr}, NameCase{kParam_Shape, 3.999f, "Square"},
        NameCase{kParam_SpeedFine, 0.5f, "0"}, NameCase{kParam_SpeedFine, 0.51f, nullptr},
        NameCase{kParam_SpeedSuperfine, 0.001001f, "0"},
        NameCase{kParam_SpeedSuperfine, 0.0011f, nullptr},
        NameCase{kParam_SpeedCoarse, 10.01f, "0"}, NameCase{kParam_SpeedCoarse, 10.02f, nullptr},
        NameCase{kParam_OSCPortOffset, 0.0f, "Off"},
        NameCase{kParam_OSCPortOffset, 0.5f, nullptr}));

TEST(FluxetParameters, ValueNamesForOtherParametersAndRequests) {
    const char* text = nullptr;
    EXPECT_EQ(GetFluxetValueName(kParam_Bias, 0.0f, &text), -10878);
    EXPECT_EQ(GetFluxetValueName(16, 0.0f, &text), -10878);

    // Without a value in the request, the current value is named.
    AudioUnitParameterStringFromValue request{kParam_Shape, nullptr, nullptr};
    ASSERT_EQ(GetFluxetValueName(request, 3.0f), noErr);
    EXPECT_STREQ(request.outString, "Triangle");
    const Float32 value = 1.0f;
    request.inValue = &value;
    ASSERT_EQ(GetFluxetValueName(request, 3.0f), noErr);
    EXPECT_STREQ(request.outString, "Saw Up");
}

TEST(FluxetParameters, OSCPortRule) {
    EXPECT_EQ(g_OSCBasePort.load(), 7000);
    EXPECT_EQ(OSCPortForOffset(3.0f), std::optional<SInt32>(7003));
    EXPECT_EQ(OSCPortForOffset(3.9f, 8000), std::optional<SInt32>(8003));
    EXPECT_EQ(OSCPortForOffset(-2.7f, 8000), std::optional<SInt32>(7998));
    EXPECT_EQ(OSCPortForOffset(0.0f, 8000), std::nullopt);
    EXPECT_EQ(OSCPortForOffset(0.5f, 8000), std::nullopt);
    EXPECT_EQ(OSCPortForOffset(-0.9f, 8000), std::nullopt);
    EXPECT_EQ(TruncatedOSCPortOffset(5.99f), 5);
    EXPECT_EQ(TruncatedOSCPortOffset(NAN), 0);
    EXPECT_EQ(TruncatedOSCPortOffset(1e30f), INT32_MAX);
    EXPECT_EQ(TruncatedOSCPortOffset(-1e30f), INT32_MIN);
}

} // namespace
