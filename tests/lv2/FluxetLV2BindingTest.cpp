// The LV2 binding in this process, beside the unit it drives: changes made inside the unit reach
// the host, host changes reach the unit's other listeners without an echo, instantiation
// options, and the helpers that write the bundle's Turtle files.
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>

#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "FluxetTTL.h"
#include "MrvnFluxetLV2.h"

namespace {

class UridMap {
public:
    LV2_URID Map(const char* uri) {
        std::lock_guard lock(m_mutex);
        auto [it, added] = m_ids.emplace(uri, LV2_URID(m_ids.size() + 1));
        if (added) {
            m_names[it->second] = uri;
        }
        return it->second;
    }
    std::string Unmap(LV2_URID id) {
        std::lock_guard lock(m_mutex);
        return m_names[id];
    }
    LV2_URID_Map* Feature() { return &m_map; }

private:
    static LV2_URID MapURI(LV2_URID_Map_Handle handle, const char* uri) {
        return static_cast<UridMap*>(handle)->Map(uri);
    }
    std::mutex m_mutex;
    std::map<std::string, LV2_URID> m_ids;
    std::map<LV2_URID, std::string> m_names;
    LV2_URID_Map m_map{this, &UridMap::MapURI};
};

// One binding instance with its own buffers, driven as a host would.
class Binding {
public:
    explicit Binding(UInt32 channels = 2, int32_t maxBlock = 512) : m_channels(channels) {
        m_maxBlock = maxBlock;
        m_options[0] = {LV2_OPTIONS_INSTANCE,
                        0,
                        m_urids.Map(LV2_BUF_SIZE__maxBlockLength),
                        sizeof(int32_t),
                        m_urids.Map(LV2_ATOM__Int),
                        &m_maxBlock};
        m_options[1] = {};
        const LV2_Feature map{LV2_URID__map, m_urids.Feature()};
        const LV2_Feature options{LV2_OPTIONS__options, m_options};
        const LV2_Feature* features[] = {&map, &options, nullptr};
        m_plugin = MrvnFluxetLV2::Create(channels, 48000.0, nullptr, features);
        if (m_plugin == nullptr) {
            throw std::runtime_error("no binding");
        }
        m_plugin->Activate();
        m_control.resize(4096);
        m_notify.resize(4096);
        lv2_atom_forge_init(&m_forge, m_urids.Feature());
        ClearControl();
    }

    MrvnFluxetLV2& Plugin() { return *m_plugin; }
    UridMap& Urids() { return m_urids; }

    void ClearControl() {
        lv2_atom_forge_set_buffer(&m_forge, reinterpret_cast<uint8_t*>(m_control.data()),
                                  m_control.size() * sizeof(uint64_t));
        lv2_atom_forge_sequence_head(&m_forge, &m_sequence, 0);
    }

    void PatchSet(int64_t frame, AudioUnitParameterID id, float value) {
        LV2_Atom_Forge_Frame object;
        lv2_atom_forge_frame_time(&m_forge, frame);
        lv2_atom_forge_object(&m_forge, &object, 0, m_urids.Map(LV2_PATCH__Set));
        lv2_atom_forge_key(&m_forge, m_urids.Map(LV2_PATCH__property));
        lv2_atom_forge_urid(&m_forge, m_urids.Map(FluxetLV2ParameterURI(id).c_str()));
        lv2_atom_forge_key(&m_forge, m_urids.Map(LV2_PATCH__value));
        lv2_atom_forge_float(&m_forge, value);
        lv2_atom_forge_pop(&m_forge, &object);
    }

    // Runs a block of silence with the control sequence built so far, then starts a new one.
    // Returns (frame, parameter, value) of every patch:Set reported.
    struct Report {
        int64_t frame;
        AudioUnitParameterID id;
        float value;
    };
    std::vector<Report> Run(uint32_t frames) {
        std::vector<float> audio(std::max<uint32_t>(frames, 1) * m_channels, 0.1f);
        m_plugin->ConnectPort(kFluxetLV2PortControl, m_control.data());
        auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(m_notify.data());
        notify->atom.size = uint32_t(m_notify.size() * sizeof(uint64_t) - sizeof(LV2_Atom));
        m_plugin->ConnectPort(kFluxetLV2PortNotify, notify);
        for (UInt32 c = 0; c < m_channels; ++c) {
            m_plugin->ConnectPort(FluxetLV2InputPort(c), audio.data() + c * frames);
            m_plugin->ConnectPort(FluxetLV2OutputPort(m_channels, c), audio.data() + c * frames);
        }
        m_plugin->Run(frames);
        ClearControl();
        std::vector<Report> reports;
        LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
            const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
            const LV2_Atom* property = nullptr;
            const LV2_Atom* value = nullptr;
            lv2_atom_object_get(object, m_urids.Map(LV2_PATCH__property), &property,
                                m_urids.Map(LV2_PATCH__value), &value, 0);
            if (property == nullptr || value == nullptr) {
                ADD_FAILURE() << "a notification that is no patch:Set";
                continue;
            }
            const std::string uri =
                m_urids.Unmap(reinterpret_cast<const LV2_Atom_URID*>(property)->body);
            for (UInt32 id = 0; id < kNumParameters; ++id) {
                if (uri == FluxetLV2ParameterURI(id)) {
                    const float v = value->type == m_urids.Map(LV2_ATOM__Int)
                                        ? float(reinterpret_cast<const LV2_Atom_Int*>(value)->body)
                                        : reinterpret_cast<const LV2_Atom_Float*>(value)->body;
                    reports.push_back({event->time.frames, id, v});
                }
            }
        }
        return reports;
    }

private:
    UInt32 m_channels;
    UridMap m_urids;
    int32_t m_maxBlock = 0;
    LV2_Options_Option m_options[2]{};
    std::unique_ptr<MrvnFluxetLV2> m_plugin;
    std::vector<uint64_t> m_control;
    std::vector<uint64_t> m_notify;
    LV2_Atom_Forge m_forge{};
    LV2_Atom_Forge_Frame m_sequence{};
};

AudioUnitParameter GlobalParameter(AudioUnit unit, AudioUnitParameterID id) {
    return AudioUnitParameter{unit, id, kAudioUnitScope_Global, 0};
}

// A listener standing for another party (an editor, an OSC client's subscription).
struct OtherListener {
    explicit OtherListener(AudioUnit unit) {
        AUListenerCreate(&OtherListener::Heard, this, &listener);
        const AudioUnitParameter every{unit, kAUParameterListener_AnyParameter,
                                       kAudioUnitScope_Global, 0};
        AUListenerAddParameter(listener, this, &every);
    }
    ~OtherListener() { AUListenerDispose(listener); }
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

// ---------------------------------------------------------------------------------------------

TEST(FluxetLV2Binding, ChangesMadeInsideTheUnitGoOutAsPatchSet) {
    Binding binding;
    EXPECT_TRUE(binding.Run(64).empty());
    const AudioUnit unit = binding.Plugin().Unit();
    // As a script or an OSC "/set" would, from a thread of its own.
    std::thread other([unit] {
        const AudioUnitParameter bias = GlobalParameter(unit, kParam_Bias);
        const AudioUnitParameter shape = GlobalParameter(unit, kParam_Shape);
        AUParameterSet(nullptr, nullptr, &bias, 0.1f, 0);
        AUParameterSet(nullptr, nullptr, &shape, 6.0f, 0);
        AUParameterSet(nullptr, nullptr, &bias, 0.3f, 0);
    });
    other.join();
    const auto reports = binding.Run(64);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].id, kParam_Shape);
    EXPECT_EQ(reports[0].value, 6.0f) << "the unit keeps what a script sets beyond the range";
    EXPECT_EQ(reports[1].id, kParam_Bias);
    EXPECT_EQ(reports[1].value, 0.3f) << "the latest value of a parameter";
    for (const auto& report : reports) {
        EXPECT_EQ(report.frame, 63);
    }
    EXPECT_TRUE(binding.Run(64).empty()) << "each change is reported once";
}

TEST(FluxetLV2Binding, HostChangesReachOtherListenersButAreNotEchoed) {
    Binding binding;
    OtherListener other(binding.Plugin().Unit());
    binding.PatchSet(10, kParam_Spread, 0.5f);
    binding.PatchSet(20, kParam_Spread, 0.75f);
    EXPECT_TRUE(binding.Run(64).empty());
    const auto heard = other.Heard();
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(AudioUnitParameterID(kParam_Spread), 0.75f));

    // Without frames the value is set at once, with the same rule.
    binding.PatchSet(0, kParam_Bias, 0.25f);
    EXPECT_TRUE(binding.Run(0).empty());
    const auto later = other.Heard();
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[1], std::make_pair(AudioUnitParameterID(kParam_Bias), 0.25f));
}

TEST(FluxetLV2Binding, RestoreTellsOtherListenersAndTheHost) {
    Binding source;
    source.PatchSet(0, kParam_DepthFine, 6.5f);
    source.Run(16);
    std::map<LV2_URID, std::pair<LV2_URID, std::vector<uint8_t>>> saved;
    auto store = [](LV2_State_Handle handle, uint32_t key, const void* value, size_t size,
                    uint32_t type, uint32_t) {
        auto& into = *static_cast<decltype(saved)*>(handle);
        const auto* bytes = static_cast<const uint8_t*>(value);
        into[key] = {type, std::vector<uint8_t>(bytes, bytes + size)};
        return LV2_STATE_SUCCESS;
    };
    ASSERT_EQ(source.Plugin().Save(store, &saved), LV2_STATE_SUCCESS);

    // The same URIs map to the same numbers in the second host only by chance; translate.
    Binding target;
    std::map<LV2_URID, std::pair<LV2_URID, std::vector<uint8_t>>> translated;
    for (const auto& [key, entry] : saved) {
        translated[target.Urids().Map(source.Urids().Unmap(key).c_str())] = {
            target.Urids().Map(source.Urids().Unmap(entry.first).c_str()), entry.second};
    }
    OtherListener other(target.Plugin().Unit());
    auto retrieve = [](LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                       uint32_t* flags) -> const void* {
        auto& from = *static_cast<decltype(translated)*>(handle);
        const auto found = from.find(key);
        if (found == from.end()) {
            return nullptr;
        }
        *size = found->second.second.size();
        *type = found->second.first;
        *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
        return found->second.second.data();
    };
    ASSERT_EQ(target.Plugin().Restore(retrieve, &translated), LV2_STATE_SUCCESS);
    EXPECT_EQ(other.Heard().size(), size_t(kNumParameters));
    const auto reports = target.Run(32);
    ASSERT_EQ(reports.size(), size_t(kNumParameters));
    EXPECT_EQ(reports[kParam_DepthFine].value, 6.5f);
    Float32 value = 0.0f;
    AudioUnitGetParameter(target.Plugin().Unit(), kParam_DepthFine, kAudioUnitScope_Global, 0,
                          &value);
    EXPECT_EQ(value, 6.5f);
}

TEST(FluxetLV2Binding, RestoreOfNothingKnownChangesNothing) {
    Binding binding;
    binding.PatchSet(0, kParam_Bias, 0.5f);
    binding.Run(16);
    auto retrieve = [](LV2_State_Handle, uint32_t, size_t*, uint32_t*, uint32_t*) -> const void* {
        return nullptr;
    };
    EXPECT_EQ(binding.Plugin().Restore(retrieve, nullptr), LV2_STATE_SUCCESS);
    EXPECT_TRUE(binding.Run(16).empty());
}

TEST(FluxetLV2Binding, MaximumFramesComeFromTheHostsOption) {
    EXPECT_EQ(Binding(2, 333).Plugin().MaxFrames(), 333u);
    EXPECT_EQ(Binding(1, 1 << 24).Plugin().MaxFrames(), MrvnFluxetLV2::kMaxFramesLimit);
    EXPECT_EQ(Binding(2, 0).Plugin().MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    EXPECT_EQ(Binding(2, -5).Plugin().MaxFrames(), MrvnFluxetLV2::kDefaultMaxFrames);
    UInt32 unitMaximum = 0;
    UInt32 size = sizeof(unitMaximum);
    Binding binding(2, 777);
    AudioUnitGetProperty(binding.Plugin().Unit(), kAudioUnitProperty_MaximumFramesPerSlice,
                         kAudioUnitScope_Global, 0, &unitMaximum, &size);
    EXPECT_EQ(unitMaximum, 777u);
}

TEST(FluxetLV2Binding, RefusesAHostWithoutURIDMap) {
    const LV2_Feature* none[] = {nullptr};
    testing::internal::CaptureStderr();
    EXPECT_EQ(MrvnFluxetLV2::Create(2, 44100.0, nullptr, none), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("urid:map"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Turtle helpers

TEST(FluxetLV2Turtle, NumbersReadBackExactlyThroughADouble) {
    CompleteFactoryPresets();
    std::vector<Float32> values = {0.1f,  1e-7f,     3.4028235e38f, 1.17549435e-38f, 16777217.0f,
                                   -0.0f, 0.001001f, 2.0f / 3.0f,   1.0f / 3.0f};
    for (const MrvnParamInfo& info : astParamInfos) {
        values.insert(values.end(), {info.minValue, info.maxValue, info.defaultValue});
    }
    for (const MrvnFactoryPreset& preset : astPresets) {
        values.insert(values.end(), preset.values, preset.values + kNumParameters);
    }
    for (const Float32 value : values) {
        const std::string text = FluxetTTLNumber(value);
        EXPECT_EQ(Float32(std::strtod(text.c_str(), nullptr)), value) << text;
        EXPECT_EQ(text.find_first_not_of("0123456789.eE+-"), std::string::npos) << text;
    }
    EXPECT_EQ(FluxetTTLNumber(0.87f), "0.87") << "the shortest form is kept when it reads back";
}

TEST(FluxetLV2Turtle, SymbolsAreValidAndDistinct) {
    EXPECT_EQ(FluxetLV2Symbol("Speed (superfine)"), "speed_superfine");
    EXPECT_EQ(FluxetLV2Symbol("  OSC Port Offset!"), "osc_port_offset");
    EXPECT_EQ(FluxetLV2Symbol("3 Band"), "_3_band");
    std::set<std::string> symbols;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const std::string symbol = FluxetLV2ParameterSymbol(id);
        EXPECT_EQ(symbol.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_"),
                  std::string::npos);
        symbols.insert(symbol);
    }
    EXPECT_EQ(symbols.size(), size_t(kNumParameters));
    std::set<std::string> presets;
    for (SInt32 i = 0; i < kNumFactoryPresets; ++i) {
        presets.insert(FluxetLV2PresetURI(i));
    }
    EXPECT_EQ(presets.size(), size_t(kNumFactoryPresets));
}

TEST(FluxetLV2Turtle, StringsAreEscaped) {
    EXPECT_EQ(FluxetTTLString("a \"b\" \\ c"), "\"a \\\"b\\\" \\\\ c\"");
}

} // namespace
