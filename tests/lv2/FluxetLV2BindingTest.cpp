// The LV2 binding in this process: its instantiation options.
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

TEST(FluxetLV2Binding, RefusesAHostWithoutURIDMap) {
    const LV2_Feature* none[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MrvnFluxetLV2::Create(2, 44100.0, nullptr, none), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("urid:map"), std::string::npos);
}

} // namespace
} // namespace MV::test
