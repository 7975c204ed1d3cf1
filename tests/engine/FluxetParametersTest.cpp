// Presets and their completion, value names, parameter information and the OSC port rule.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "FluxetParameters.h"

namespace {

TEST(FluxetParameters, PresetCompletionFillsTheDefaultsOnceAndKeepsListedValues) {
    // "Defaults" lists no values of its own: before the first completion they are unset.
    EXPECT_EQ(astPresets[0].numValues, 0);
    CompleteFactoryPresets();
    MrvnFactoryPreset once[kNumFactoryPresets];
    std::memcpy(once, astPresets, sizeof once);
    CompleteFactoryPresets();
    EXPECT_EQ(std::memcmp(once, astPresets, sizeof once), 0);
    for (UInt32 p = 0; p < kNumParameters; ++p) {
        EXPECT_EQ(astPresets[0].values[p], astParamInfos[p].defaultValue) << p;
    }
    EXPECT_EQ(astPresets[10].values[kParam_DepthCoarse], 278.0f); // "Simple Delay"
    EXPECT_EQ(astPresets[13].values[kParam_Feedback], -93.0f);

    BuildFactoryPresetList();
    for (int i = 0; i < kNumFactoryPresets; ++i) {
        EXPECT_EQ(presets[i].presetNumber, i);
        EXPECT_STREQ(presets[i].presetName, astPresets[i].name);
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
    OSStatus status = noErr;
};

class FluxetValueNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(FluxetValueNames, FollowTheRoundingRules) {
    const NameCase& c = GetParam();
    const char* text = "untouched";
    ASSERT_EQ(GetFluxetValueName(c.id, c.value, &text), c.status);
    if (c.status != noErr) {
        EXPECT_STREQ(text, "untouched");
    } else if (c.text == nullptr) {
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
        NameCase{kParam_OSCPortOffset, 0.0f, "Off"}, NameCase{kParam_OSCPortOffset, 0.5f, nullptr},
        NameCase{kParam_Bias, 0.0f, nullptr, -10878}, NameCase{16, 0.0f, nullptr, -10878}));

TEST(FluxetParameters, RequestWithoutAValueNamesTheCurrentOne) {
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
