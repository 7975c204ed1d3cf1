// The LV2 binding in this process, beside the unit it drives: changes made inside the unit reach
// the host, host changes and restores reach the unit's other listeners, instantiation options.
#include <mutex>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "FluxetLV2Metadata.h"
#include "FluxetTTL.h"
#include "LV2TestHost.h"
#include "MrvnFluxetLV2.h"

namespace MV::test {
namespace {

// One binding instance with its own buffers, driven as a host would.
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

    // Runs a block of a steady input with the control sequence; returns what the host was told.
    std::vector<ReportedValue> Run(uint32_t frames, const ControlSequence* control = nullptr) {
        const ControlSequence empty(Host(), 64);
        std::vector<float> audio(std::max(frames, 1u) * m_channels, 0.1f);
        std::vector<uint64_t> notify(4096);
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(notify.data());
        sequence->atom.size = uint32_t(notify.size() * 8 - sizeof(LV2_Atom));
        const ControlSequence& events = control != nullptr ? *control : empty;
        m_plugin->ConnectPort(kFluxetLV2PortControl,
                              const_cast<LV2_Atom_Sequence*>(events.Sequence()));
        m_plugin->ConnectPort(kFluxetLV2PortNotify, sequence);
        for (UInt32 c = 0; c < m_channels; ++c) {
            m_plugin->ConnectPort(FluxetLV2InputPort(c), audio.data() + c * frames);
            m_plugin->ConnectPort(FluxetLV2OutputPort(m_channels, c), audio.data() + c * frames);
        }
        m_plugin->Run(frames);
        return ReadReports(Host(), sequence);
    }

private:
    UInt32 m_channels;
    std::unique_ptr<MrvnFluxetLV2> m_plugin;
};

// A listener standing for another party (an editor, an OSC client's subscription).
struct OtherListener {
    explicit OtherListener(AudioUnit unit) {
        AUListenerCreate(&OtherListener::Heard, this, &listener);
        const AudioUnitParameter every{unit, kAUParameterListener_AnyParameter,
                                       kAudioUnitScope_Global, 0};
        AUListenerAddParameter(listener, this, &every);
    }
    ~OtherListener() { AUListenerDispose(listener); }
    // Whichever thread changed the value.
    static void Heard(void* refCon, void*, const AudioUnitParameter* parameter,
                      AudioUnitParameterValue value) {
        auto* self = static_cast<OtherListener*>(refCon);
        std::lock_guard lock(self->mutex);
        self->heard.emplace_back(parameter->mParameterID, value);
    }
    std::vector<std::pair<AudioUnitParameterID, float>> Heard() {
        std::lock_guard lock(mutex);
        return heard;
    }
    AUParameterListenerRef listener = nullptr;
    std::mutex mutex;
    std::vector<std::pair<AudioUnitParameterID, float>> heard;
};

TEST(FluxetLV2Binding, ChangesMadeInsideTheUnitGoOutAsPatchSetOnce) {
    Binding binding;
    EXPECT_TRUE(binding.Run(64).empty());
    const AudioUnit unit = binding->Unit();
    // As a script or an OSC "/set" would, from a thread of its own.
    std::thread other([unit] {
        const AudioUnitParameter bias{unit, kParam_Bias, kAudioUnitScope_Global, 0};
        const AudioUnitParameter shape{unit, kParam_Shape, kAudioUnitScope_Global, 0};
        AUParameterSet(nullptr, nullptr, &bias, 0.1f, 0);
        AUParameterSet(nullptr, nullptr, &shape, 6.0f, 0);
        AUParameterSet(nullptr, nullptr, &bias, 0.3f, 0);
    });
    other.join();
    const auto reports = binding.Run(64);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].property, FluxetLV2ParameterURI(kParam_Shape));
    EXPECT_EQ(reports[0].value, 6.0f) << "the unit keeps what a script sets beyond the range";
    EXPECT_EQ(reports[1].property, FluxetLV2ParameterURI(kParam_Bias));
    EXPECT_EQ(reports[1].value, 0.3f) << "the latest value of a parameter";
    for (const auto& report : reports) {
        EXPECT_EQ(report.frame, 63);
    }
    EXPECT_TRUE(binding.Run(64).empty()) << "each change is reported once";
}

TEST(FluxetLV2Binding, HostChangesReachOtherListenersButAreNotEchoed) {
    Binding binding;
    OtherListener other(binding->Unit());
    ControlSequence control(Host());
    control.PatchSet(10, kParam_Spread, 0.5f);
    control.PatchSet(20, kParam_Spread, 0.75f);
    EXPECT_TRUE(binding.Run(64, &control).empty());
    // Without frames the value is set at once, with the same rule.
    control.Clear();
    control.PatchSet(0, kParam_Bias, 0.25f);
    EXPECT_TRUE(binding.Run(0, &control).empty());
    EXPECT_EQ(other.Heard(), (std::vector<std::pair<AudioUnitParameterID, float>>{
                                 {kParam_Spread, 0.75f}, {kParam_Bias, 0.25f}}));
}

TEST(FluxetLV2Binding, RestoreTellsOtherListenersAndTheHost) {
    Binding source;
    ControlSequence control(Host());
    control.PatchSet(0, kParam_DepthFine, 6.5f);
    source.Run(16, &control);
    StoredProperties saved;
    ASSERT_EQ(source->Save(StoreProperty, &saved), LV2_STATE_SUCCESS);

    Binding target;
    OtherListener other(target->Unit());
    ASSERT_EQ(target->Restore(RetrieveProperty, &saved), LV2_STATE_SUCCESS);
    EXPECT_EQ(other.Heard().size(), size_t(kNumParameters));
    const auto reports = target.Run(32);
    ASSERT_EQ(reports.size(), size_t(kNumParameters));
    EXPECT_EQ(ReportedByParameter(reports)[kParam_DepthFine], 6.5f);

    // A state with nothing known changes nothing and reports nothing.
    const StoredProperties nothing;
    EXPECT_EQ(target->Restore(RetrieveProperty, const_cast<StoredProperties*>(&nothing)),
              LV2_STATE_SUCCESS);
    EXPECT_TRUE(target.Run(16).empty());
}

TEST(FluxetLV2Binding, MaximumFramesComeFromTheHostsOption) {
    EXPECT_EQ(Binding(333)->MaxFrames(), 333u);
    EXPECT_EQ(Binding(1 << 24, 1)->MaxFrames(), MrvnFluxetLV2::kMaxFramesLimit);
    EXPECT_EQ(Binding(0)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    EXPECT_EQ(Binding(-5)->MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    Binding binding(777);
    UInt32 unitMaximum = 0;
    UInt32 size = sizeof(unitMaximum);
    AudioUnitGetProperty(binding->Unit(), kAudioUnitProperty_MaximumFramesPerSlice,
                         kAudioUnitScope_Global, 0, &unitMaximum, &size);
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
