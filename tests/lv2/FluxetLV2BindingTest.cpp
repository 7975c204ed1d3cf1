// The LV2 binding in this process: its instantiation options.
#include <tuple>

#include "AudioUnitAPI.h"
#include "LV2TestHost.h"
#include "MrvnFluxetLV2.h"

namespace MV::test {
namespace {

std::unique_ptr<MrvnFluxetLV2> Binding(int32_t maxBlock, UInt32 channels = 2) {
    auto binding = MrvnFluxetLV2::Create(channels, 48000.0, nullptr, Host().Features(maxBlock));
    return binding != nullptr ? std::move(binding) : throw std::runtime_error("no binding");
}

TEST(FluxetLV2Binding, MaximumFramesComeFromTheHostsOption) {
    EXPECT_EQ(Binding(1 << 24, 1)->MaxFrames(), MrvnFluxetLV2::kMaxFramesLimit);
    EXPECT_EQ(Binding(0)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    EXPECT_EQ(Binding(-5)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    const auto binding = Binding(777);
    UInt32 unitMaximum = 0;
    UInt32 size = sizeof(unitMaximum);
    AudioUnitGetProperty(binding->Unit(), kAudioUnitProperty_MaximumFramesPerSlice,
                         kAudioUnitScope_Global, 0, &unitMaximum, &size);
    EXPECT_EQ(binding->MaxFrames(), 777u);
    EXPECT_EQ(unitMaximum, 777u);
}

// A restored session is held to the ranges a host's change is held to, except that "Shape"
// keeps the random shapes scripts and OSC clients select.
TEST(FluxetLV2Binding, RestoredValuesAreHeldToTheRanges) {
    const std::tuple<AudioUnitParameterID, float, float> values[] = {
        {kParam_DryLevel, 1e13f, 1.0f},
        {kParam_Feedback, -1e21f, -100.0f},
        {kParam_Shape, 8.0f, 8.0f},
        {kParam_Shape, 1e30f, 8.0f},
        {kParam_Bias, 0.25f, 0.25f}};
    const auto binding = Binding(256);
    for (const auto& [id, stored, restored] : values) {
        std::pair<LV2_URID, float> property{ParameterURID(id), stored};
        const auto retrieve = [](LV2_State_Handle handle, uint32_t key, size_t* size,
                                 uint32_t* type, uint32_t*) -> const void* {
            const auto* p = static_cast<const std::pair<LV2_URID, float>*>(handle);
            *size = sizeof(float);
            *type = Host().Map(LV2_ATOM__Float);
            return key == p->first ? &p->second : nullptr;
        };
        ASSERT_EQ(binding->Restore(retrieve, &property), LV2_STATE_SUCCESS);
        Float32 value = 0.0f;
        AudioUnitGetParameter(binding->Unit(), id, kAudioUnitScope_Global, 0, &value);
        EXPECT_EQ(value, restored) << astParamInfos[id].name << " stored as " << stored;
    }
}

TEST(FluxetLV2Binding, RefusesAHostWithoutURIDMap) {
    const LV2_Feature* none[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MrvnFluxetLV2::Create(2, 44100.0, nullptr, none), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("urid:map"), std::string::npos);
}

} // namespace
} // namespace MV::test
