#include "LV2BenchHost.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/parameters/parameters.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace fluxet_bench {

namespace {

constexpr std::size_t kAtomBytes = 65536;

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

double Seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

} // namespace

LV2BenchWorld::LV2BenchWorld(double sampleRate, std::int32_t maxBlockLength, const char* bundle)
    : m_world(lilv_world_new()), m_sampleRate(sampleRate), m_maxBlockLength(maxBlockLength),
      m_sampleRateOption(float(sampleRate)) {
    if (bundle != nullptr) {
        LilvNode* node = lilv_new_file_uri(m_world, nullptr, (std::string(bundle) + "/").c_str());
        lilv_world_load_bundle(m_world, node);
        lilv_node_free(node);
    } else {
        lilv_world_load_all(m_world);
    }
    m_map = {this, [](LV2_URID_Map_Handle self, const char* uri) {
                 return static_cast<LV2BenchWorld*>(self)->Map(uri);
             }};
    m_unmap = {this, [](LV2_URID_Unmap_Handle self, LV2_URID id) -> const char* {
                   const auto& uris = static_cast<LV2BenchWorld*>(self)->m_uris;
                   return id >= 1 && id <= uris.size() ? uris[id - 1].c_str() : nullptr;
               }};
    const LV2_URID intType = Map(LV2_ATOM__Int);
    m_options = {
        {LV2_OPTIONS_INSTANCE, 0, Map(LV2_BUF_SIZE__maxBlockLength), sizeof(std::int32_t), intType,
         &m_maxBlockLength},
        {LV2_OPTIONS_INSTANCE, 0, Map(LV2_BUF_SIZE__minBlockLength), sizeof(std::int32_t), intType,
         &m_minBlockLength},
        {LV2_OPTIONS_INSTANCE, 0, Map(LV2_PARAMETERS__sampleRate), sizeof(float),
         Map(LV2_ATOM__Float), &m_sampleRateOption},
        {LV2_OPTIONS_INSTANCE, 0, 0, 0, 0, nullptr},
    };
    m_features = {{LV2_URID__map, &m_map},
                  {LV2_URID__unmap, &m_unmap},
                  {LV2_OPTIONS__options, m_options.data()},
                  {LV2_BUF_SIZE__boundedBlockLength, nullptr}};
    for (const LV2_Feature& feature : m_features) {
        m_featureList.push_back(&feature);
    }
    m_featureList.push_back(nullptr);
}

LV2BenchWorld::~LV2BenchWorld() {
    lilv_world_free(m_world);
}

const LilvPlugin* LV2BenchWorld::Plugin(const std::string& uri) const {
    LilvNode* node = lilv_new_uri(m_world, uri.c_str());
    const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), node);
    lilv_node_free(node);
    return plugin;
}

LV2_URID LV2BenchWorld::Map(const char* uri) {
    const auto [it, added] = m_ids.emplace(uri, LV2_URID(m_ids.size() + 1));
    if (added) {
        m_uris.emplace_back(uri);
    }
    return it->second;
}

LV2BenchInstance::LV2BenchInstance(LV2BenchWorld& world, const LilvPlugin* plugin)
    : m_world(world), m_plugin(plugin) {
    m_instance = lilv_plugin_instantiate(plugin, world.SampleRate(), world.Features());
    if (m_instance == nullptr) {
        throw std::runtime_error("cannot instantiate " +
                                 std::string(lilv_node_as_uri(lilv_plugin_get_uri(plugin))));
    }
    m_sequenceType = world.Map(LV2_ATOM__Sequence);
    m_chunkType = world.Map(LV2_ATOM__Chunk);
    LilvWorld* w = world.World();
    LilvNode* audio = lilv_new_uri(w, LV2_CORE__AudioPort);
    LilvNode* control = lilv_new_uri(w, LV2_CORE__ControlPort);
    LilvNode* cv = lilv_new_uri(w, LV2_CORE__CVPort);
    LilvNode* atom = lilv_new_uri(w, LV2_ATOM__AtomPort);
    LilvNode* input = lilv_new_uri(w, LV2_CORE__InputPort);
    const std::uint32_t ports = lilv_plugin_get_num_ports(plugin);
    std::vector<float> defaults(ports, 0.0f), minimum(ports, 0.0f), maximum(ports, 0.0f);
    lilv_plugin_get_port_ranges_float(plugin, minimum.data(), maximum.data(), defaults.data());
    m_controls.assign(ports, 0.0f);
    const std::size_t blockFrames = std::size_t(world.MaxBlockLength());
    m_audio.reserve(ports);
    m_atoms.reserve(ports);
    std::uint32_t noiseState = 1;
    for (std::uint32_t i = 0; i < ports; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        if (lilv_port_is_a(plugin, port, audio) || lilv_port_is_a(plugin, port, cv)) {
            std::vector<float>& buffer = m_audio.emplace_back(blockFrames, 0.0f);
            if (lilv_port_is_a(plugin, port, input)) {
                for (float& sample : buffer) { // noise at about -10 dBFS
                    noiseState = noiseState * 1664525u + 1013904223u;
                    sample = 0.6f * (float(noiseState >> 8) / float(1u << 24) - 0.5f);
                }
            }
            lilv_instance_connect_port(m_instance, i, buffer.data());
        } else if (lilv_port_is_a(plugin, port, control)) {
            float value = defaults[i];
            if (std::isnan(value)) {
                value = std::isnan(minimum[i]) ? 0.0f : minimum[i];
            }
            m_controls[i] = value;
            lilv_instance_connect_port(m_instance, i, &m_controls[i]);
        } else if (lilv_port_is_a(plugin, port, atom)) {
            AtomBuffer& buffer = m_atoms.emplace_back();
            buffer.storage.assign(kAtomBytes / 8, 0);
            const bool isInput = lilv_port_is_a(plugin, port, input);
            (isInput ? m_atomInputs : m_atomOutputs).push_back(std::uint32_t(m_atoms.size() - 1));
            lilv_instance_connect_port(m_instance, i, buffer.storage.data());
        } else {
            lilv_instance_connect_port(m_instance, i, nullptr);
        }
    }
    lilv_node_free(audio);
    lilv_node_free(control);
    lilv_node_free(cv);
    lilv_node_free(atom);
    lilv_node_free(input);
    if (!m_atomInputs.empty()) {
        m_eventInput = &m_atoms[m_atomInputs.front()];
    }
    for (std::uint32_t index : m_atomInputs) {
        LV2_Atom_Sequence* sequence = m_atoms[index].Sequence();
        sequence->atom = {sizeof(LV2_Atom_Sequence_Body), m_sequenceType};
        sequence->body = {0, 0};
    }
    lilv_instance_activate(m_instance);
}

LV2BenchInstance::~LV2BenchInstance() {
    lilv_instance_deactivate(m_instance);
    lilv_instance_free(m_instance);
}

bool LV2BenchInstance::SetControl(const char* symbol, float value) {
    LilvNode* node = lilv_new_string(m_world.World(), symbol);
    const LilvPort* port = lilv_plugin_get_port_by_symbol(m_plugin, node);
    lilv_node_free(node);
    if (port == nullptr) {
        return false;
    }
    m_controls[lilv_port_get_index(m_plugin, port)] = value;
    return true;
}

bool LV2BenchInstance::ApplyPreset(const std::string& label) {
    LilvWorld* w = m_world.World();
    LilvNode* presetClass = lilv_new_uri(w, LV2_PRESETS__Preset);
    LilvNode* labelPredicate = lilv_new_uri(w, LILV_NS_RDFS "label");
    LilvNodes* presets = lilv_plugin_get_related(m_plugin, presetClass);
    bool applied = false;
    LILV_FOREACH(nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(w, preset);
        LilvNode* name = lilv_world_get(w, preset, labelPredicate, nullptr);
        const bool match = name != nullptr && SameIgnoringCase(lilv_node_as_string(name), label);
        lilv_node_free(name);
        if (!match) {
            continue;
        }
        LilvState* state = lilv_state_new_from_world(w, m_world.UridMap(), preset);
        if (state != nullptr) {
            const auto setValue = [](const char* symbol, void* self, const void* value,
                                     uint32_t size, uint32_t type) {
                auto& instance = *static_cast<LV2BenchInstance*>(self);
                float v = 0.0f;
                if (type == instance.m_world.Map(LV2_ATOM__Float) && size == sizeof(float)) {
                    std::memcpy(&v, value, sizeof(v));
                } else if (type == instance.m_world.Map(LV2_ATOM__Double) &&
                           size == sizeof(double)) {
                    double d = 0.0;
                    std::memcpy(&d, value, sizeof(d));
                    v = float(d);
                } else if (type == instance.m_world.Map(LV2_ATOM__Int) &&
                           size == sizeof(std::int32_t)) {
                    std::int32_t n = 0;
                    std::memcpy(&n, value, sizeof(n));
                    v = float(n);
                } else {
                    return;
                }
                instance.SetControl(symbol, v);
            };
            lilv_state_restore(state, m_instance, setValue, this, 0, m_world.Features());
            lilv_state_free(state);
            applied = true;
        }
        break;
    }
    lilv_nodes_free(presets);
    lilv_node_free(labelPredicate);
    lilv_node_free(presetClass);
    return applied;
}

void LV2BenchInstance::Run(std::uint32_t frames) {
    for (std::uint32_t index : m_atomOutputs) {
        auto* atom = reinterpret_cast<LV2_Atom*>(m_atoms[index].storage.data());
        *atom = {std::uint32_t(kAtomBytes - sizeof(LV2_Atom)), m_chunkType};
    }
    lilv_instance_run(m_instance, frames);
    if (m_eventInput != nullptr) {
        LV2_Atom_Sequence* sequence = m_eventInput->Sequence();
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
    }
}

std::string MachineDescription() {
    std::string model = "unknown processor";
    std::string flags;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        const auto value = [&line] {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? std::string() : line.substr(colon + 2);
        };
        if (line.rfind("model name", 0) == 0 && model == "unknown processor") {
            model = value();
        } else if (line.rfind("flags", 0) == 0 && flags.empty()) {
            std::istringstream words(value());
            for (std::string word; words >> word;) {
                if (word == "sse4_2" || word == "avx" || word == "avx2" || word == "fma" ||
                    word.rfind("avx512", 0) == 0) {
                    flags += (flags.empty() ? "" : " ") + word;
                }
            }
        }
    }
    char date[32] = {};
    const std::time_t now = std::time(nullptr);
    std::strftime(date, sizeof date, "%Y-%m-%d", std::localtime(&now));
    utsname system{};
    uname(&system);
    std::ostringstream text;
    text << model << " (" << flags << "), " << sysconf(_SC_NPROCESSORS_ONLN) << " cores, "
         << system.sysname << " " << system.release << ", " << date;
    return text.str();
}

double ThreadSeconds() {
    return Seconds(CLOCK_THREAD_CPUTIME_ID);
}

double ProcessSeconds() {
    return Seconds(CLOCK_PROCESS_CPUTIME_ID);
}

double WallSeconds() {
    return Seconds(CLOCK_MONOTONIC);
}

} // namespace fluxet_bench
