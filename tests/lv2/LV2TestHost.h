// A small LV2 host for the tests: the built bundle through lilv, the features a real host gives
// (urid map, options with the maximum block length), control sequences built by the test and
// notifications read back. The units read empty preference and script folders of their own.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include <gtest/gtest.h>
#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/options/options.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "CountingAllocator.h"
#include "FluxetLV2EntryPoints.h"
#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace MV::test {

// Every OSC server of the tests listens on 127.0.0.1, base port plus one of these offsets.
inline int g_oscBasePort = 0;

struct LV2HermeticEnvironment : ::testing::Environment {
    void SetUp() override {
        char pattern[] = "/tmp/fluxet-lv2-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR",
                                 "FLUXET_SYSTEM_DATA_DIR"}) {
            std::filesystem::create_directories(m_root / name);
            setenv(name, (m_root / name).c_str(), 1);
        }
        unsetenv("FLUXET_BUNDLE_DIR"); // the bundle the host loads must be the one units read
        g_oscBasePort = FindFreeBasePort({7, 12, 42});
        SetPrefInt(kPrefOSCBasePort, g_oscBasePort);
        SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    }
    void TearDown() override { std::filesystem::remove_all(m_root); }
    std::filesystem::path m_root;
};
inline ::testing::Environment* const g_hermetic =
    ::testing::AddGlobalTestEnvironment(new LV2HermeticEnvironment);

class LV2TestHost {
public:
    LV2TestHost() {
        LilvNode* bundle = lilv_new_file_uri(m_world, nullptr, FLUXET_LV2_BUNDLE_DIR "/");
        lilv_world_load_bundle(m_world, bundle);
        lilv_node_free(bundle);
        if (lilv_plugins_size(lilv_world_get_all_plugins(m_world)) == 0) {
            throw std::runtime_error("no plug-in in " FLUXET_LV2_BUNDLE_DIR);
        }
        const LV2_URID key = Map(LV2_BUF_SIZE__maxBlockLength), type = Map(LV2_ATOM__Int);
        m_options[0] = {LV2_OPTIONS_INSTANCE, 0, key, sizeof(int32_t), type, &m_maxBlockLength};
    }
    const LilvPlugin* Plugin(const char* uri) const {
        LilvNode* node = lilv_new_uri(m_world, uri);
        const LilvPlugin* plugin =
            lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), node);
        lilv_node_free(node);
        return plugin;
    }
    LV2_URID Map(const char* uri) {
        std::lock_guard lock(m_mapMutex);
        return m_ids.emplace(uri, LV2_URID(m_ids.size() + 1)).first->second;
    }
    LV2_URID_Map* UridMap() { return &m_map; }
    // maxBlockLength 0 leaves the option out.
    const LV2_Feature* const* Features(int32_t maxBlockLength) {
        m_maxBlockLength = maxBlockLength;
        m_features[1] = maxBlockLength != 0 ? &m_optionsFeature : nullptr;
        return m_features;
    }
    // A factory preset's state as lilv reads it from the bundle.
    LilvState* PresetState(int index) {
        LilvState*& state = m_presets[index];
        if (state == nullptr) {
            LilvNode* node = lilv_new_uri(m_world, FluxetLV2PresetURI(index).c_str());
            lilv_world_load_resource(m_world, node);
            state = lilv_state_new_from_world(m_world, &m_map, node);
            lilv_node_free(node);
        }
        return state;
    }

private:
    LilvWorld* m_world = lilv_world_new();
    std::mutex m_mapMutex; // the audio thread maps too
    std::map<std::string, LV2_URID> m_ids;
    std::map<int, LilvState*> m_presets;
    LV2_URID_Map m_map{this, [](LV2_URID_Map_Handle self, const char* uri) {
                           return static_cast<LV2TestHost*>(self)->Map(uri);
                       }};
    int32_t m_maxBlockLength = 0;
    LV2_Options_Option m_options[2]{};
    LV2_Feature m_mapFeature{LV2_URID__map, &m_map},
        m_optionsFeature{LV2_OPTIONS__options, m_options};
    const LV2_Feature* m_features[3]{&m_mapFeature, nullptr, nullptr};
};

// A script in the user's script folder while this exists: instances created meanwhile run it.
class UserScript {
public:
    explicit UserScript(const std::string& text)
        : m_path(std::filesystem::path(std::getenv("XDG_DATA_HOME")) /
                 "Morvane/Fluxet/Scripts/test.lua") {
        std::filesystem::create_directories(m_path.parent_path());
        std::ofstream(m_path) << text;
    }
    ~UserScript() { std::filesystem::remove(m_path); }
    UserScript(const UserScript&) = delete;
    UserScript& operator=(const UserScript&) = delete;

private:
    std::filesystem::path m_path;
};

inline LV2TestHost& Host() {
    static LV2TestHost& host = *new LV2TestHost; // with its world, for the whole run
    return host;
}

inline LV2_URID ParameterURID(UInt32 id) {
    return Host().Map(FluxetLV2ParameterURI(id).c_str());
}

struct ReportedValue {
    int64_t frame;
    LV2_URID property;
    LV2_URID type;
    float value;
    bool operator==(const ReportedValue&) const = default;
};

class ControlSequence {
public:
    explicit ControlSequence(std::size_t capacity = 65536) : m_buffer(capacity / 8) {
        lv2_atom_forge_init(&m_forge, Host().UridMap());
        Clear();
    }
    void Clear() {
        lv2_atom_forge_set_buffer(&m_forge, reinterpret_cast<uint8_t*>(m_buffer.data()),
                                  m_buffer.size() * 8);
        lv2_atom_forge_sequence_head(&m_forge, &m_frame, 0);
    }
    void PatchSetAtom(int64_t frame, AudioUnitParameterID id, const char* type, const void* body,
                      uint32_t size) {
        lv2_atom_forge_frame_time(&m_forge, frame);
        lv2_atom_forge_object(&m_forge, &m_object, 0, Host().Map(LV2_PATCH__Set));
        lv2_atom_forge_key(&m_forge, Host().Map(LV2_PATCH__property));
        lv2_atom_forge_urid(&m_forge, ParameterURID(id));
        lv2_atom_forge_key(&m_forge, Host().Map(LV2_PATCH__value));
        lv2_atom_forge_atom(&m_forge, size, Host().Map(type));
        lv2_atom_forge_write(&m_forge, body, size);
        lv2_atom_forge_pop(&m_forge, &m_object);
    }
    template <class T> void PatchSet(int64_t frame, AudioUnitParameterID id, T value) {
        static_assert(std::is_same_v<T, float> || std::is_same_v<T, int32_t>);
        PatchSetAtom(frame, id, std::is_same_v<T, float> ? LV2_ATOM__Float : LV2_ATOM__Int, &value,
                     4);
    }
    void PatchGet(int64_t frame) { // for every parameter
        lv2_atom_forge_frame_time(&m_forge, frame);
        lv2_atom_forge_object(&m_forge, &m_object, 0, Host().Map(LV2_PATCH__Get));
        lv2_atom_forge_pop(&m_forge, &m_object);
    }
    void MIDI(int64_t frame, const std::vector<uint8_t>& bytes) {
        lv2_atom_forge_frame_time(&m_forge, frame);
        lv2_atom_forge_atom(&m_forge, uint32_t(bytes.size()), Host().Map(LV2_MIDI__MidiEvent));
        lv2_atom_forge_write(&m_forge, bytes.data(), uint32_t(bytes.size()));
    }
    LV2_Atom_Sequence* Sequence() const {
        return reinterpret_cast<LV2_Atom_Sequence*>(const_cast<uint64_t*>(m_buffer.data()));
    }

private:
    std::vector<uint64_t> m_buffer;
    LV2_Atom_Forge m_forge{};
    LV2_Atom_Forge_Frame m_frame{}, m_object{};
};

// The patch:Set messages of a notification sequence.
inline std::vector<ReportedValue> ReadReports(const LV2_Atom_Sequence* notify) {
    std::vector<ReportedValue> reported;
    LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        const LV2_Atom_URID* key = nullptr;
        const LV2_Atom* atom = nullptr;
        if (object->atom.type == Host().Map(LV2_ATOM__Object) &&
            object->body.otype == Host().Map(LV2_PATCH__Set) &&
            lv2_atom_object_get(object, Host().Map(LV2_PATCH__property), &key,
                                Host().Map(LV2_PATCH__value), &atom, 0) == 2) {
            const bool integer = atom->type == Host().Map(LV2_ATOM__Int);
            reported.push_back({event->time.frames, key->body, atom->type,
                                integer ? float(reinterpret_cast<const LV2_Atom_Int*>(atom)->body)
                                        : reinterpret_cast<const LV2_Atom_Float*>(atom)->body});
        }
    }
    return reported;
}

// The last reported value of every parameter; NaN where none came.
inline std::array<float, kNumParameters>
ReportedByParameter(const std::vector<ReportedValue>& reports) {
    std::array<float, kNumParameters> values;
    values.fill(std::nanf(""));
    for (const ReportedValue& report : reports) {
        for (UInt32 id = 0; id < kNumParameters; ++id) {
            values[id] = report.property == ParameterURID(id) ? report.value : values[id];
        }
    }
    return values;
}

using Buffers = std::vector<std::vector<float>>;

// A deterministic signal without zeros: a difference in a mix is visible at every frame.
inline Buffers TestSignal(uint32_t channels, std::size_t frames, uint32_t seed = 1) {
    Buffers signal(channels, std::vector<float>(frames));
    uint32_t state = seed * 2654435761u + 1;
    for (auto& channel : signal) {
        for (float& sample : channel) {
            state = state * 1664525u + 1013904223u;
            const float magnitude = 0.05f + 0.45f * float(state >> 9) / float(1u << 23);
            sample = (state & 1u) != 0 ? magnitude : -magnitude;
        }
    }
    return signal;
}

inline bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// Per channel, the frames where a render starts or stops differing from a reference.
inline std::vector<std::vector<uint32_t>> Flips(const Buffers& render, const Buffers& reference) {
    std::vector<std::vector<uint32_t>> flips(render.size());
    for (std::size_t c = 0; c < render.size(); ++c) {
        for (uint32_t i = 0; i < render[c].size(); ++i) {
            if (SameBits(render[c][i], reference[c][i]) == (flips[c].size() % 2 == 1)) {
                flips[c].push_back(i);
            }
        }
    }
    return flips;
}

// Saved state properties by key, as a host keeps them.
struct StoredProperty {
    LV2_URID type;
    std::vector<uint8_t> bytes;
};
using StoredProperties = std::map<LV2_URID, StoredProperty>;
inline LV2_State_Status StoreProperty(LV2_State_Handle handle, uint32_t key, const void* value,
                                      size_t size, uint32_t type, uint32_t) {
    const auto* bytes = static_cast<const uint8_t*>(value);
    (*static_cast<StoredProperties*>(handle))[key] = {type, {bytes, bytes + size}};
    return LV2_STATE_SUCCESS;
}
// Where an instance's code comes from: the built bundle as hosts load it, or the descriptors
// linked into this program. Only the latter's allocations reach this program's counting
// operators: the bundle binds to the allocator of its own symbol scope.
enum class Loading { Bundle, InProcess };

// An instance of one of the plug-ins with buffers for its ports.
class LV2TestInstance {
public:
    LV2TestInstance(const char* uri, int32_t maxBlockLength, Loading loading = Loading::Bundle)
        : m_maxBlockLength(maxBlockLength) {
        const LilvPlugin* plugin = Host().Plugin(uri);
        m_channels = (lilv_plugin_get_num_ports(plugin) - 2) / 2;
        const auto* features = Host().Features(maxBlockLength);
        if (loading == Loading::Bundle) {
            m_instance = lilv_plugin_instantiate(plugin, 48000.0, features);
        } else {
            const LV2_Descriptor* descriptor = nullptr;
            for (uint32_t i = 0; (descriptor = FluxetLV2Descriptor(i)) != nullptr; ++i) {
                if (std::strcmp(descriptor->URI, uri) == 0) {
                    LV2_Handle handle = descriptor->instantiate(descriptor, 48000.0,
                                                                FLUXET_LV2_BUNDLE_DIR, features);
                    m_instance =
                        handle != nullptr ? new LilvInstance{descriptor, handle, nullptr} : nullptr;
                    break;
                }
            }
        }
        if (m_instance == nullptr) {
            throw std::runtime_error(std::string("cannot instantiate ") + uri);
        }
        lilv_instance_activate(m_instance);
    }
    ~LV2TestInstance() {
        lilv_instance_deactivate(m_instance);
        if (m_instance->pimpl != nullptr) {
            lilv_instance_free(m_instance);
        } else {
            m_instance->lv2_descriptor->cleanup(m_instance->lv2_handle);
            delete m_instance;
        }
    }
    LilvInstance* Instance() const { return m_instance; }

    // Runs frames of the input (the test signal when none is given) with the control sequence;
    // the output is kept. In place, the output buffers serve as the input buffers. Returns what
    // the host was told.
    std::vector<ReportedValue> Run(uint32_t frames, const ControlSequence* control = nullptr,
                                   const Buffers* input = nullptr, bool inPlace = false) {
        m_inputs = input != nullptr ? *input : TestSignal(m_channels, frames);
        for (auto& channel : m_inputs) {
            channel.resize(std::max(frames, 1u));
        }
        output = inPlace ? m_inputs : Buffers(m_channels, std::vector<float>(m_inputs[0].size()));
        // Hosts such as jalv 1.6 hand out sequences four bytes off the 64-bit alignment.
        const std::size_t shift = misaligned ? 4 : 0;
        const LV2_Atom_Sequence* events = (control != nullptr ? *control : m_empty).Sequence();
        m_control.assign(events->atom.size / 8 + 3, 0);
        auto* controlPort = reinterpret_cast<uint8_t*>(m_control.data()) + shift;
        std::memcpy(controlPort, events, sizeof(LV2_Atom) + events->atom.size);
        auto* notifyPort = reinterpret_cast<uint8_t*>(m_notify.data()) + shift;
        const LV2_Atom room{65512, Host().Map(LV2_ATOM__Chunk)};
        std::memcpy(notifyPort, &room, sizeof(room));
        lilv_instance_connect_port(m_instance, 0, controlPort);
        lilv_instance_connect_port(m_instance, 1, notifyPort);
        for (uint32_t c = 0; c < m_channels; ++c) {
            lilv_instance_connect_port(m_instance, 2 + c, (inPlace ? output : m_inputs)[c].data());
            lilv_instance_connect_port(m_instance, 2 + m_channels + c, output[c].data());
        }
        const AllocationCounter counter;
        lilv_instance_run(m_instance, frames);
        allocations = counter.Allocations();
        for (auto& channel : output) {
            channel.resize(frames);
        }
        LV2_Atom written;
        std::memcpy(&written, notifyPort, sizeof(written));
        std::memmove(m_notify.data(), notifyPort, sizeof(LV2_Atom) + written.size);
        return ReadReports(Notifications());
    }
    // The raw notification sequence of the last Run.
    const LV2_Atom_Sequence* Notifications() const {
        return reinterpret_cast<const LV2_Atom_Sequence*>(m_notify.data());
    }
    void Restore(LilvState* state) {
        lilv_state_restore(state, m_instance, nullptr, nullptr, 0,
                           Host().Features(m_maxBlockLength));
    }
    // Through the plug-in's own state interface.
    StoredProperties SaveProperties() {
        StoredProperties stored;
        const auto* state = static_cast<const LV2_State_Interface*>(
            lilv_instance_get_extension_data(m_instance, LV2_STATE__interface));
        state->save(lilv_instance_get_handle(m_instance), StoreProperty, &stored, 0, nullptr);
        return stored;
    }
    // Every parameter's value, asked with a patch:Get.
    std::array<float, kNumParameters> QueryAll() {
        ControlSequence get;
        get.PatchGet(0);
        return ReportedByParameter(Run(0, &get));
    }

    Buffers output; // of the last Run
    bool misaligned = false;
    std::size_t allocations = 0; // by the plug-in on this thread in the last Run

private:
    uint32_t m_channels = 0;
    int32_t m_maxBlockLength = 0;
    LilvInstance* m_instance = nullptr;
    ControlSequence m_empty{64};
    std::vector<uint64_t> m_notify = std::vector<uint64_t>(65536 / 8);
    std::vector<uint64_t> m_control;
    Buffers m_inputs;
};

} // namespace MV::test
