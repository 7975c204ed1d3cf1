// The LV2 binding in this process: the instantiation options and restores.
#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "FluxetTTL.h"
#include "LV2TestHost.h"
#include "MrvnFluxetLV2.h"

namespace MV::test {
namespace {

std::unique_ptr<MrvnFluxetLV2> Binding(int32_t maxBlock, UInt32 channels = 2) {
    auto binding = MrvnFluxetLV2::Create(channels, 48000.0, nullptr, Host().Features(maxBlock));
    if (binding == nullptr) {
        throw std::runtime_error("no binding");
    }
    binding->Activate();
    return binding;
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

// Restores reach the unit's other listeners (an editor, say); a state with nothing known
// changes nothing.
TEST(FluxetLV2Binding, RestoreTellsOtherListeners) {
    const auto binding = Binding(512);
    StoredProperties saved;
    ASSERT_EQ(binding->Save(StoreProperty, &saved), LV2_STATE_SUCCESS);
    std::vector<AudioUnitParameterID> heard;
    AUParameterListenerRef listener = nullptr;
    AUListenerCreate(
        [](void* heard, void*, const AudioUnitParameter* parameter, AudioUnitParameterValue) {
            static_cast<std::vector<AudioUnitParameterID>*>(heard)->push_back(
                parameter->mParameterID);
        },
        &heard, &listener);
    const AudioUnitParameter every{binding->Unit(), kAUParameterListener_AnyParameter,
                                   kAudioUnitScope_Global, 0};
    AUListenerAddParameter(listener, &heard, &every);
    ASSERT_EQ(binding->Restore(RetrieveProperty, &saved), LV2_STATE_SUCCESS);
    EXPECT_EQ(heard.size(), size_t(kNumParameters));
    StoredProperties nothing;
    EXPECT_EQ(binding->Restore(RetrieveProperty, &nothing), LV2_STATE_SUCCESS);
    EXPECT_EQ(heard.size(), size_t(kNumParameters));
    AUListenerDispose(listener);
}

TEST(FluxetLV2Binding, RefusesAHostWithoutURIDMap) {
    const LV2_Feature* none[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MrvnFluxetLV2::Create(2, 44100.0, nullptr, none), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("urid:map"), std::string::npos);
}

TEST(FluxetLV2Turtle, StringsAreEscaped) {
    EXPECT_EQ(FluxetTTLString("a \"b\" \\ c"), "\"a \\\"b\\\" \\\\ c\"");
}

} // namespace
} // namespace MV::test
