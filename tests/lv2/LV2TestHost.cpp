#include "LV2TestHost.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/state/state.h>

namespace MV::test {

// ---------------------------------------------------------------------------------------------
// Host

LV2TestHost::LV2TestHost(const std::string& bundleDir) {
    m_world = lilv_world_new();
    std::string uri = "file://" + bundleDir;
    if (uri.back() != '/') {
        uri += '/';
    }
    LilvNode* bundle = lilv_new_uri(m_world, uri.c_str());
    lilv_world_load_bundle(m_world, bundle);
    lilv_node_free(bundle);
    if (lilv_plugins_size(lilv_world_get_all_plugins(m_world)) == 0) {
        lilv_world_free(m_world);
        throw std::runtime_error("no plug-in in " + bundleDir);
    }
    m_map = LV2_URID_Map{this, &LV2TestHost::MapURI};
    m_unmap = LV2_URID_Unmap{this, &LV2TestHost::UnmapURID};
    m_mapFeature = LV2_Feature{LV2_URID__map, &m_map};
    m_unmapFeature = LV2_Feature{LV2_URID__unmap, &m_unmap};
    m_optionsFeature = LV2_Feature{LV2_OPTIONS__options, m_options};
}

LV2TestHost::~LV2TestHost() {
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
    const auto found = m_ids.find(uri);
    if (found != m_ids.end()) {
        return found->second;
    }
    m_uris.push_back(std::make_unique<std::string>(uri));
    const auto id = LV2_URID(m_uris.size());
    m_ids.emplace(uri, id);
    return id;
}

const char* LV2TestHost::Unmap(LV2_URID urid) {
    std::lock_guard lock(m_mapMutex);
    return urid >= 1 && urid <= m_uris.size() ? m_uris[urid - 1]->c_str() : nullptr;
}

LV2_URID LV2TestHost::MapURI(LV2_URID_Map_Handle handle, const char* uri) {
    return static_cast<LV2TestHost*>(handle)->Map(uri);
}

const char* LV2TestHost::UnmapURID(LV2_URID_Unmap_Handle handle, LV2_URID urid) {
    return static_cast<LV2TestHost*>(handle)->Unmap(urid);
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
    m_features[1] = &m_unmapFeature;
    m_features[2] = maxBlockLength > 0 ? &m_optionsFeature : nullptr;
    m_features[3] = nullptr;
    return m_features;
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

void ControlSequence::PatchSetAtom(int64_t frame, const std::string& property, LV2_URID type,
                                   const void* body, uint32_t size) {
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_object(&m_forge, &object, 0, m_host.Map(LV2_PATCH__Set));
    lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__property));
    lv2_atom_forge_urid(&m_forge, m_host.Map(property.c_str()));
    lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__value));
    lv2_atom_forge_atom(&m_forge, size, type);
    lv2_atom_forge_write(&m_forge, body, size);
    lv2_atom_forge_pop(&m_forge, &object);
}

void ControlSequence::PatchSet(int64_t frame, const std::string& property, float value) {
    PatchSetAtom(frame, property, m_host.Map(LV2_ATOM__Float), &value, sizeof(value));
}

void ControlSequence::PatchGet(int64_t frame, const std::string* property) {
    LV2_Atom_Forge_Frame object;
    lv2_atom_forge_frame_time(&m_forge, frame);
    lv2_atom_forge_object(&m_forge, &object, 0, m_host.Map(LV2_PATCH__Get));
    if (property != nullptr) {
        lv2_atom_forge_key(&m_forge, m_host.Map(LV2_PATCH__property));
        lv2_atom_forge_urid(&m_forge, m_host.Map(property->c_str()));
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
// Instances

LV2TestInstance::LV2TestInstance(LV2TestHost& host, const char* uri, int32_t maxBlockLength,
                                 double sampleRate)
    : m_host(host), m_empty(host, 64), m_notify(65536 / sizeof(uint64_t)) {
    const LilvPlugin* plugin = host.Plugin(uri);
    if (plugin == nullptr) {
        throw std::runtime_error(std::string("no plug-in ") + uri);
    }
    LilvNode* audio = lilv_new_uri(host.World(), LV2_CORE__AudioPort);
    LilvNode* input = lilv_new_uri(host.World(), LV2_CORE__InputPort);
    m_channels = lilv_plugin_get_num_ports_of_class(plugin, audio, input, nullptr);
    lilv_node_free(audio);
    lilv_node_free(input);
    m_instance = lilv_plugin_instantiate(plugin, sampleRate, host.Features(maxBlockLength));
    if (m_instance == nullptr) {
        throw std::runtime_error(std::string("cannot instantiate ") + uri);
    }
    lilv_instance_activate(m_instance);
}

LV2TestInstance::~LV2TestInstance() {
    lilv_instance_deactivate(m_instance);
    lilv_instance_free(m_instance);
}

std::vector<ReportedValue> LV2TestInstance::Run(uint32_t frames,
                                                const std::vector<std::vector<float>>& input,
                                                std::size_t offset,
                                                std::vector<std::vector<float>>& output,
                                                const ControlSequence* control, bool inPlace) {
    m_inputs.assign(m_channels, std::vector<float>(frames > 0 ? frames : 1, 0.0f));
    m_outputs.assign(m_channels, std::vector<float>(frames > 0 ? frames : 1, 0.0f));
    for (uint32_t c = 0; c < m_channels; ++c) {
        for (uint32_t i = 0; i < frames; ++i) {
            const float sample = offset + i < input[c].size() ? input[c][offset + i] : 0.0f;
            m_inputs[c][i] = sample;
            if (inPlace) {
                m_outputs[c][i] = sample;
            }
        }
    }
    auto* notify = reinterpret_cast<LV2_Atom_Sequence*>(m_notify.data());
    notify->atom.type = m_host.Map(LV2_ATOM__Chunk);
    notify->atom.size =
        uint32_t(std::min(m_notify.size() * sizeof(uint64_t), m_notifyCapacity) - sizeof(LV2_Atom));

    lilv_instance_connect_port(m_instance, 0,
                               const_cast<LV2_Atom_Sequence*>(
                                   control != nullptr ? control->Sequence() : m_empty.Sequence()));
    lilv_instance_connect_port(m_instance, 1, m_notifyConnected ? notify : nullptr);
    for (uint32_t c = 0; c < m_channels; ++c) {
        lilv_instance_connect_port(m_instance, 2 + c,
                                   inPlace ? m_outputs[c].data() : m_inputs[c].data());
        lilv_instance_connect_port(m_instance, 2 + m_channels + c, m_outputs[c].data());
    }
    lilv_instance_run(m_instance, frames);

    output.resize(m_channels);
    for (uint32_t c = 0; c < m_channels; ++c) {
        output[c].insert(output[c].end(), m_outputs[c].begin(), m_outputs[c].begin() + frames);
    }

    if (!m_notifyConnected) {
        return {};
    }
    return ReadReports(m_host, notify);
}

const LV2_Atom_Sequence* LV2TestInstance::Notifications() const {
    return reinterpret_cast<const LV2_Atom_Sequence*>(m_notify.data());
}

std::map<LV2_URID, LV2TestInstance::StoredProperty> LV2TestInstance::SaveProperties() {
    std::map<LV2_URID, StoredProperty> stored;
    const auto* state = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(m_instance, LV2_STATE__interface));
    if (state == nullptr) {
        return stored;
    }
    auto store = [](LV2_State_Handle handle, uint32_t key, const void* value, size_t size,
                    uint32_t type, uint32_t /*flags*/) {
        auto& into = *static_cast<std::map<LV2_URID, StoredProperty>*>(handle);
        const auto* bytes = static_cast<const uint8_t*>(value);
        into[key] = StoredProperty{type, std::vector<uint8_t>(bytes, bytes + size)};
        return LV2_STATE_SUCCESS;
    };
    state->save(lilv_instance_get_handle(m_instance), store, &stored, 0, nullptr);
    return stored;
}

std::vector<ReportedValue> ReadReports(LV2TestHost& host, const LV2_Atom_Sequence* notify) {
    std::vector<ReportedValue> reported;
    const LV2_URID set = host.Map(LV2_PATCH__Set);
    const LV2_URID property = host.Map(LV2_PATCH__property);
    const LV2_URID value = host.Map(LV2_PATCH__value);
    const LV2_URID floatType = host.Map(LV2_ATOM__Float);
    const LV2_URID intType = host.Map(LV2_ATOM__Int);
    LV2_ATOM_SEQUENCE_FOREACH(notify, event) {
        const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
        if (event->body.type != host.Map(LV2_ATOM__Object) || object->body.otype != set) {
            continue;
        }
        const LV2_Atom* key = nullptr;
        const LV2_Atom* atom = nullptr;
        lv2_atom_object_get(object, property, &key, value, &atom, 0);
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

std::vector<std::vector<float>> TestSignal(uint32_t channels, std::size_t frames, uint32_t seed) {
    std::vector<std::vector<float>> signal(channels, std::vector<float>(frames));
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
