#include "LV2TestHost.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <unistd.h>

#include <gtest/gtest.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>

#include "CountingAllocator.h"
#include "FluxetLV2Metadata.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace MV::test {

namespace {

int g_basePort = 0;

// From $FLUXET_TEST_OSC_BASE_PORT when set, else from a random place in 20000..59000.
int FindFreeBlockOfPorts() {
    const char* configured = std::getenv("FLUXET_TEST_OSC_BASE_PORT");
    const int start = configured != nullptr ? std::atoi(configured) : 0;
    std::mt19937 generator(std::random_device{}());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int base = start > 0 ? start + attempt * 128 : 20000 + int(generator() % 39000u);
        bool free = base + 100 < 65536;
        for (int offset = 1; free && offset <= 100; ++offset) {
            free = IsUdpPortFree(base + offset);
        }
        if (free) {
            return base;
        }
    }
    return 0;
}

// Keeps every test away from the user's preferences and scripts: the units read empty folders
// of their own, and OSC servers listen on 127.0.0.1 on ports nobody else uses.
class HermeticEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/fluxet-lv2-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_root = pattern;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR",
                                 "FLUXET_SYSTEM_DATA_DIR"}) {
            std::filesystem::create_directories(m_root / name);
            setenv(name, (m_root / name).c_str(), 1);
        }
        // The bundle the host names must be the one the units read.
        unsetenv("FLUXET_BUNDLE_DIR");
        g_basePort = FindFreeBlockOfPorts();
        ASSERT_NE(g_basePort, 0) << "no free block of UDP ports";
        SetPrefInt(kPrefOSCBasePort, g_basePort);
        SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

private:
    std::filesystem::path m_root;
};

[[maybe_unused]] ::testing::Environment* const g_hermetic =
    ::testing::AddGlobalTestEnvironment(new HermeticEnvironment);

} // namespace

int LV2TestOSCBasePort() {
    return g_basePort;
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof(a)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Host

LV2TestHost& Host() {
    static LV2TestHost host(FLUXET_LV2_BUNDLE_DIR);
    return host;
}

LV2TestHost::LV2TestHost(const std::string& bundleDir) {
    m_world = lilv_world_new();
    LilvNode* bundle = lilv_new_file_uri(m_world, nullptr, (bundleDir + "/").c_str());
    lilv_world_load_bundle(m_world, bundle);
    lilv_node_free(bundle);
    if (lilv_plugins_size(lilv_world_get_all_plugins(m_world)) == 0) {
        lilv_world_free(m_world);
        throw std::runtime_error("no plug-in in " + bundleDir);
    }
    m_map = LV2_URID_Map{this, &LV2TestHost::MapURI};
    m_mapFeature = LV2_Feature{LV2_URID__map, &m_map};
    m_optionsFeature = LV2_Feature{LV2_OPTIONS__options, m_options};
}

LV2TestHost::~LV2TestHost() {
    for (const auto& [index, state] : m_presets) {
        lilv_state_free(state);
    }
    lilv_world_free(m_world);
}

const LilvPlugin* LV2TestHost::Plugin(const char* uri) const {
    LilvNode* node = lilv_new_uri(m_world, uri);
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), node);
    lilv_node_free(node);
    return plugin;
}

LV2_URID LV2TestHost::Map(const char* uri) {
    std::lock_guard lock(m_mapMutex);
    const auto [found, added] = m_ids.emplace(uri, LV2_URID(m_uris.size() + 1));
    if (added) {
        m_uris.push_back(std::make_unique<std::string>(uri));
    }
    return found->second;
}

const char* LV2TestHost::Unmap(LV2_URID urid) {
    std::lock_guard lock(m_mapMutex);
    return urid >= 1 && urid <= m_uris.size() ? m_uris[urid - 1]->c_str() : nullptr;
}

LV2_URID LV2TestHost::MapURI(LV2_URID_Map_Handle handle, const char* uri) {
    return static_cast<LV2TestHost*>(handle)->Map(uri);
}

const LV2_Feature* const* LV2TestHost::Features(int32_t maxBlockLength) {
    m_maxBlockLength = maxBlockLength;
    m_options[0] = LV2_Options_Option{LV2_OPTIONS_INSTANCE,
                                      0,
                                      Map(LV2_BUF_SIZE__maxBlockLength),
                                      sizeof(int32_t),
                                      Map(LV2_ATOM__Int),
                                      &m_maxBlockLength};
    m_options[1] = LV2_Options_Option{};
    m_features[0] = &m_mapFeature;
    m_features[1] = maxBlockLength != 0 ? &m_optionsFeature : nullptr;
    m_features[2] = nullptr;
    return m_features;
}

LilvState* LV2TestHost::PresetState(int index) {
    LilvState*& state = m_presets[index];
    if (state == nullptr) {
        LilvNode* node = lilv_new_uri(m_world, FluxetLV2PresetURI(index).c_str());
        lilv_world_load_resource(m_world, node);
        state = lilv_state_new_from_world(m_world, &m_map, node);
        lilv_node_free(node);
    }
    return state;
}

// ---------------------------------------------------------------------------------------------
// Control sequences

ControlSequence::ControlSequence(LV2TestHost& host, std::size_t capacity)
    : m_host(host), m_buffer(capacity / sizeof(uint64_t)) {
    lv2_atom_forge_init(&m_forge, host.UridMap());
    Clear();
}

void ControlSequence::Clear() {
    lv2_atom_forge_set_buffer(&m_forge, reinterpret_cast<uint8_t*>(m_buffer.data()),
                              m_buffer.size() * sizeof(uint64_t));
    lv2_atom_forge_sequence_head(&m_forge, &m_frame, 0);
}

void ControlSequence::PatchSetAtom(int64_t frame, AudioUnitParameterID id, LV2_URID type,
                                   const void* body, uint32_t size) {
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_object(&m_forge, &object, 0, m_host.Map(LV2_PATCH__Set));
    lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__property));
    lv2_atom_forge_urid(&m_forge, m_host.Map(FluxetLV2ParameterURI(id).c_str()));
    lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__value));
    lv2_atom_forge_atom(&m_forge, size, type);
    lv2_atom_forge_write(&m_forge, body, size);
    lv2_atom_forge_pop(&m_forge, &object);
}

void ControlSequence::PatchSet(int64_t frame, AudioUnitParameterID id, float value) {
    PatchSetAtom(frame, id, m_host.Map(LV2_ATOM__Float), &value, sizeof(value));
}

void ControlSequence::PatchSetInt(int64_t frame, AudioUnitParameterID id, int32_t value) {
    PatchSetAtom(frame, id, m_host.Map(LV2_ATOM__Int), &value, sizeof(value));
}

void ControlSequence::PatchGet(int64_t frame, const AudioUnitParameterID* id) {
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_object(&m_forge, &object, 0, m_host.Map(LV2_PATCH__Get));
    if (id != nullptr) {
        lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__property));
        lv2_atom_forge_urid(&m_forge, m_host.Map(FluxetLV2ParameterURI(*id).c_str()));
    }
    lv2_atom_forge_pop(&m_forge, &object);
}

void ControlSequence::MIDI(int64_t frame, const std::vector<uint8_t>& bytes) {
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_atom(&m_forge, uint32_t(bytes.size()), m_host.Map(LV2_MIDI__MidiEvent));
    lv2_atom_forge_write(&m_forge, bytes.data(), uint32_t(bytes.size()));
}

const LV2_Atom_Sequence* ControlSequence::Sequence() const {
    return reinterpret_cast<const LV2_Atom_Sequence*>(m_buffer.data());
}

// ---------------------------------------------------------------------------------------------
// State

LV2_State_Status StoreProperty(LV2_State_Handle handle, uint32_t key, const void* value,
                               size_t size, uint32_t type, uint32_t /*flags*/) {
    const auto* bytes = static_cast<const uint8_t*>(value);
    (*static_cast<StoredProperties*>(handle))[key] = {type, {bytes, bytes + size}};
    return LV2_STATE_SUCCESS;
}

const void* RetrieveProperty(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                             uint32_t* flags) {
    const auto& from = *static_cast<const StoredProperties*>(handle);
    const auto found = from.find(key);
    if (found == from.end()) {
        return nullptr;
    }
    *size = found->second.bytes.size();
    *type = found->second.type;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    return found->second.bytes.data();
}

// ---------------------------------------------------------------------------------------------
// Instances

LV2TestInstance::LV2TestInstance(LV2TestHost& host, const char* uri, int32_t maxBlockLength)
    : m_host(host), m_maxBlockLength(maxBlockLength), m_empty(host, 64),
      m_notify(65536 / sizeof(uint64_t)) {
    const LilvPlugin* plugin = host.Plugin(uri);
    if (plugin == nullptr) {
        throw std::runtime_error(std::string("no plug-in ") + uri);
    }
    m_channels = (lilv_plugin_get_num_ports(plugin) - 2) / 2;
    m_instance = lilv_plugin_instantiate(plugin, 48000.0, host.Features(maxBlockLength));
    if (m_instance == nullptr) {
        throw std::runtime_error(std::string("cannot instantiate ") + uri);
    }
    lilv_instance_activate(m_instance);
}

LV2TestInstance::~LV2TestInstance() {
    lilv_instance_deactivate(m_instance);
    lilv_instance_free(m_instance);
}

std::vector<ReportedValue> LV2TestInstance::Run(uint32_t frames, const Buffers& input,
                                                std::size_t offset, Buffers& output,
                                                const ControlSequence* control, bool inPlace) {
    m_inputs.assign(m_channels, std::vector<float>(std::max(frames, 1u), 0.0f));
    m_outputs.assign(m_channels, std::vector<float>(std::max(frames, 1u), 0.0f));
    for (uint32_t c = 0; c < m_channels; ++c) {
        for (uint32_t i = 0; i < frames && c < input.size(); ++i) {
            const float sample = offset + i < input[c].size() ? input[c][offset + i] : 0.0f;
            m_inputs[c][i] = sample;
            m_outputs[c][i] = inPlace ? sample : 0.0f;
        }
    }
    auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(m_notify.data());
    notify->atom.type = m_host.Map(LV2_ATOM__Chunk);
    notify->atom.size = uint32_t(
        std::min(m_notify.size() * sizeof(uint64_t) - 8, m_notifyCapacity) - sizeof(LV2_Atom));
    const LV2_Atom_Sequence* events = (control != nullptr ? *control : m_empty).Sequence();
    void* controlPort = const_cast<LV2_Atom_Sequence*>(events);
    void* notifyPort = notify;
    if (m_misaligned) {
        const std::size_t size = sizeof(LV2_Atom) + events->atom.size;
        m_shiftedControl.assign(size / 8 + 2, 0);
        controlPort = reinterpret_cast<uint8_t*>(m_shiftedControl.data()) + 4;
        std::memcpy(controlPort, events, size);
        notifyPort = reinterpret_cast<uint8_t*>(m_notify.data()) + 4;
        std::memmove(notifyPort, notify, sizeof(LV2_Atom));
    }
    lilv_instance_connect_port(m_instance, 0, controlPort);
    lilv_instance_connect_port(m_instance, 1, m_notifyConnected ? notifyPort : nullptr);
    for (uint32_t c = 0; c < m_channels; ++c) {
        lilv_instance_connect_port(m_instance, 2 + c,
                                   inPlace ? m_outputs[c].data() : m_inputs[c].data());
        lilv_instance_connect_port(m_instance, 2 + m_channels + c, m_outputs[c].data());
    }
    {
        const AllocationCounter counter;
        lilv_instance_run(m_instance, frames);
        m_allocations = counter.Allocations();
    }
    if (m_misaligned) {
        LV2_Atom written;
        std::memcpy(&written, notifyPort, sizeof(written));
        std::memmove(notify, notifyPort, sizeof(LV2_Atom) + written.size);
    }
    output.resize(m_channels);
    for (uint32_t c = 0; c < m_channels; ++c) {
        output[c].insert(output[c].end(), m_outputs[c].begin(), m_outputs[c].begin() + frames);
    }
    return m_notifyConnected ? ReadReports(m_host, notify) : std::vector<ReportedValue>{};
}

std::vector<ReportedValue> LV2TestInstance::Run(uint32_t frames, const ControlSequence* control) {
    Buffers output;
    return Run(frames, TestSignal(m_channels, frames), 0, output, control);
}

const LV2_Atom_Sequence* LV2TestInstance::Notifications() const {
    return reinterpret_cast<const LV2_Atom_Sequence*>(m_notify.data());
}

void LV2TestInstance::Restore(LilvState* state) {
    lilv_state_restore(state, m_instance, nullptr, nullptr, 0, m_host.Features(m_maxBlockLength));
}

StoredProperties LV2TestInstance::SaveProperties() {
    StoredProperties stored;
    const auto* state = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(m_instance, LV2_STATE__interface));
    if (state != nullptr) {
        state->save(lilv_instance_get_handle(m_instance), StoreProperty, &stored, 0, nullptr);
    }
    return stored;
}

std::array<float, kNumParameters> LV2TestInstance::QueryAll() {
    ControlSequence get(m_host);
    get.PatchGet(0);
    return ReportedByParameter(Run(0, &get));
}

std::vector<ReportedValue> ReadReports(LV2TestHost& host, const LV2_Atom_Sequence* notify) {
    std::vector<ReportedValue> reported;
    const LV2_URID floatType = host.Map(LV2_ATOM__Float);
    const LV2_URID intType = host.Map(LV2_ATOM__Int);
    LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (event->body.type != host.Map(LV2_ATOM__Object) ||
            object->body.otype != host.Map(LV2_PATCH__Set)) {
            continue;
        }
        const LV2_Atom* key = nullptr;
        const LV2_Atom* atom = nullptr;
        lv2_atom_object_get(object, host.Map(LV2_PATCH__property), &key, host.Map(LV2_PATCH__value),
                            &atom, 0);
        ReportedValue entry{event->time.frames, {}, 0, 0.0f};
        if (key != nullptr) {
            const char* uri = host.Unmap(reinterpret_cast<const LV2_Atom_URID*>(key)->body);
            entry.property = uri != nullptr ? uri : "";
        }
        if (atom != nullptr) {
            entry.type = atom->type;
            if (atom->type == floatType) {
                entry.value = reinterpret_cast<const LV2_Atom_Float*>(atom)->body;
            } else if (atom->type == intType) {
                entry.value = float(reinterpret_cast<const LV2_Atom_Int*>(atom)->body);
            }
        }
        reported.push_back(entry);
    }
    return reported;
}

std::array<float, kNumParameters> ReportedByParameter(const std::vector<ReportedValue>& reports) {
    std::array<float, kNumParameters> values;
    values.fill(std::nanf(""));
    for (const ReportedValue& report : reports) {
        for (UInt32 id = 0; id < kNumParameters; ++id) {
            if (report.property == FluxetLV2ParameterURI(id)) {
                values[id] = report.value;
            }
        }
    }
    return values;
}

Buffers TestSignal(uint32_t channels, std::size_t frames, uint32_t seed) {
    Buffers signal(channels, std::vector<float>(frames));
    uint32_t state = seed * 2654435761u + 1;
    for (uint32_t c = 0; c < channels; ++c) {
        for (std::size_t i = 0; i < frames; ++i) {
            state = state * 1664525u + 1013904223u;
            // Magnitudes from 0.05 to 0.5, either sign: never zero.
            const float magnitude = 0.05f + 0.45f * float(state >> 9) / float(1u << 23);
            signal[c][i] = (state & 1u) != 0 ? magnitude : -magnitude;
        }
    }
    return signal;
}

} // namespace MV::test
