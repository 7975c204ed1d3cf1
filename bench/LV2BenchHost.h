// A small lilv host for the benchmarks: it gives each plug-in the features hosts give (urid
// map and unmap, options with the block lengths, bounded block length), connects every port to
// a buffer of its own, sets controls to their defaults or a preset, and runs blocks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

namespace fluxet_bench {

class LV2BenchWorld {
public:
    // Loads the bundle in the folder `bundle`, or without one every bundle on LV2_PATH (the
    // system's default path without it).
    LV2BenchWorld(double sampleRate, std::int32_t maxBlockLength, const char* bundle = nullptr);
    ~LV2BenchWorld();
    LV2BenchWorld(const LV2BenchWorld&) = delete;
    LV2BenchWorld& operator=(const LV2BenchWorld&) = delete;

    // Null when no loaded bundle has the plug-in.
    const LilvPlugin* Plugin(const std::string& uri) const;
    LV2_URID Map(const char* uri);
    const LV2_Feature* const* Features() const { return m_featureList.data(); }
    LilvWorld* World() const { return m_world; }
    LV2_URID_Map* UridMap() { return &m_map; }
    double SampleRate() const { return m_sampleRate; }
    std::int32_t MaxBlockLength() const { return m_maxBlockLength; }

private:
    LilvWorld* m_world;
    double m_sampleRate;
    std::int32_t m_maxBlockLength;
    std::int32_t m_minBlockLength = 1;
    float m_sampleRateOption;
    std::unordered_map<std::string, LV2_URID> m_ids;
    std::vector<std::string> m_uris; // by id - 1
    LV2_URID_Map m_map;
    LV2_URID_Unmap m_unmap;
    std::vector<LV2_Options_Option> m_options;
    std::vector<LV2_Feature> m_features;
    std::vector<const LV2_Feature*> m_featureList;
};

// One instance with buffers for all its ports. Audio inputs carry a fixed noise signal.
class LV2BenchInstance {
public:
    // Instantiates and activates; throws std::runtime_error when the plug-in cannot be made.
    LV2BenchInstance(LV2BenchWorld& world, const LilvPlugin* plugin);
    ~LV2BenchInstance();
    LV2BenchInstance(const LV2BenchInstance&) = delete;
    LV2BenchInstance& operator=(const LV2BenchInstance&) = delete;

    // Applies the plug-in's preset whose label is `label` (case ignored); false when it has
    // none of that name.
    bool ApplyPreset(const std::string& label);
    // Sets a control input port by symbol; false when there is none.
    bool SetControl(const char* symbol, float value);
    // The first atom input port's buffer, for events of the next Run (an empty sequence
    // after each Run); null when the plug-in has none.
    struct AtomBuffer {
        std::vector<std::uint64_t> storage;
        LV2_Atom_Sequence* Sequence() {
            return reinterpret_cast<LV2_Atom_Sequence*>(storage.data());
        }
    };
    AtomBuffer* EventInput() { return m_eventInput; }
    // One block of `frames` (at most the world's maximum block length).
    void Run(std::uint32_t frames);
    LilvInstance* Instance() const { return m_instance; }

private:
    LV2BenchWorld& m_world;
    const LilvPlugin* m_plugin;
    LilvInstance* m_instance = nullptr;
    std::vector<std::vector<float>> m_audio;
    std::vector<float> m_controls;
    std::vector<AtomBuffer> m_atoms;
    std::vector<std::uint32_t> m_atomOutputs; // indices into m_atoms
    std::vector<std::uint32_t> m_atomInputs;
    AtomBuffer* m_eventInput = nullptr;
    LV2_URID m_sequenceType = 0;
    LV2_URID m_chunkType = 0;
};

// The machine and the date, for the heading of a table.
std::string MachineDescription();

// CPU time of the calling thread and of the whole process, in seconds.
double ThreadSeconds();
double ProcessSeconds();
double WallSeconds();

} // namespace fluxet_bench
