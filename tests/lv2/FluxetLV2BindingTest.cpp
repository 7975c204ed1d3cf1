// The LV2 binding in this process, beside the unit it drives: host changes and restores reach
// the unit's other listeners, and the instantiation options.
#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "FluxetTTL.h"
#include "LV2TestHost.h"
#include "MrvnFluxetLV2.h"

namespace MV::test {
namespace {

class Binding {
public:
    explicit Binding(int32_t maxBlock = 512, UInt32 channels = 2)
        : m_channels(channels),
          m_plugin(MrvnFluxetLV2::Create(channels, 48000.0, nullptr, Host().Features(maxBlock))) {
        if (m_plugin == nullptr) {
            throw std::runtime_error("no binding");
        }
        m_plugin->Activate();
    }
    MrvnFluxetLV2* operator->() { return m_plugin.get(); }

    // Runs a block of a steady input; returns what the host was told.
    std::vector<ReportedValue> Run(uint32_t frames, const ControlSequence& control) {
        std::vector<float> audio(std::max(frames, 1u) * m_channels, 0.1f);
        std::vector<uint64_t> notify(4096);
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(notify.data());
        sequence->atom.size = uint32_t(notify.size() * 8 - sizeof(LV2_Atom));
        m_plugin->ConnectPort(kFluxetLV2PortControl, control.Sequence());
        m_plugin->ConnectPort(kFluxetLV2PortNotify, sequence);
        for (UInt32 c = 0; c < m_channels; ++c) {
            m_plugin->ConnectPort(FluxetLV2InputPort(c), audio.data() + c * frames);
            m_plugin->ConnectPort(FluxetLV2OutputPort(m_channels, c), audio.data() + c * frames);
        }
        m_plugin->Run(frames);
        return ReadReports(sequence);
    }

private:
    UInt32 m_channels;
    std::unique_ptr<MrvnFluxetLV2> m_plugin;
};

// A listener standing for another party (an editor, an OSC client's subscription), called on
// whichever thread changed the value.
struct OtherListener {
    explicit OtherListener(AudioUnit unit) {
        AUListenerCreate(&OtherListener::Heard, this, &listener);
        const AudioUnitParameter every{unit, kAUParameterListener_AnyParameter,
                                       kAudioUnitScope_Global, 0};
        AUListenerAddParameter(listener, this, &every);
    }
    ~OtherListener() { AUListenerDispose(listener); }
    static void Heard(void* self, void*, const AudioUnitParameter* parameter, float value) {
        std::lock_guard lock(static_cast<OtherListener*>(self)->mutex);
        static_cast<OtherListener*>(self)->heard.emplace_back(parameter->mParameterID, value);
    }
    std::vector<std::pair<AudioUnitParameterID, float>> Heard() {
        std::lock_guard lock(mutex);
        return std::exchange(heard, {});
    }
    AUParameterListenerRef listener = nullptr;
    std::mutex mutex;
    std::vector<std::pair<AudioUnitParameterID, float>> heard;
};

TEST(FluxetLV2Binding, HostChangesAndRestoresReachOtherListenersButAreNotEchoed) {
    Binding binding;
    OtherListener other(binding->Unit());
    ControlSequence control;
    control.PatchSet(10, kParam_Spread, 0.5f);
    control.PatchSet(20, kParam_Spread, 0.75f);
    EXPECT_TRUE(binding.Run(64, control).empty());
    // Without frames the value is set at once, with the same rule.
    control.Clear();
    control.PatchSet(0, kParam_Bias, 0.25f);
    EXPECT_TRUE(binding.Run(0, control).empty());
    EXPECT_EQ(other.Heard(), (std::vector<std::pair<AudioUnitParameterID, float>>{
                                 {kParam_Spread, 0.75f}, {kParam_Bias, 0.25f}}));

    StoredProperties saved;
    ASSERT_EQ(binding->Save(StoreProperty, &saved), LV2_STATE_SUCCESS);
    ASSERT_EQ(binding->Restore(RetrieveProperty, &saved), LV2_STATE_SUCCESS);
    EXPECT_EQ(other.Heard().size(), size_t(kNumParameters));
    control.Clear();
    EXPECT_EQ(binding.Run(32, control).size(), size_t(kNumParameters));
    // A state with nothing known changes nothing and reports nothing.
    StoredProperties nothing;
    EXPECT_EQ(binding->Restore(RetrieveProperty, &nothing), LV2_STATE_SUCCESS);
    EXPECT_TRUE(other.Heard().empty());
    EXPECT_TRUE(binding.Run(16, control).empty());
}

TEST(FluxetLV2Binding, MaximumFramesComeFromTheHostsOption) {
    EXPECT_EQ(Binding(1 << 24, 1)->MaxFrames(), MrvnFluxetLV2::kMaxFramesLimit);
    EXPECT_EQ(Binding(0)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    EXPECT_EQ(Binding(-5)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    Binding binding(777);
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

TEST(FluxetLV2Turtle, StringsAreEscaped) {
    EXPECT_EQ(FluxetTTLString("a \"b\" \\ c"), "\"a \\\"b\\\" \\\\ c\"");
}

} // namespace
} // namespace MV::test
