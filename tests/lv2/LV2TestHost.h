// A small LV2 host for tests: loads the built bundle with lilv, maps URIs, hands out the
// features a real host gives (urid map and unmap, options with the maximum block length), and
// runs instances with control sequences built by the test and notifications read back.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/options/options.h>
#include <lv2/urid/urid.h>

namespace MV::test {

class LV2TestHost {
public:
    // Loads the bundle in bundleDir (a folder path). Throws when the bundle has no plug-in.
    explicit LV2TestHost(const std::string& bundleDir);
    ~LV2TestHost();
    LV2TestHost(const LV2TestHost&) = delete;
    LV2TestHost& operator=(const LV2TestHost&) = delete;

    LilvWorld* World() const { return m_world; }
    const LilvPlugin* Plugin(const char* uri) const;
    LV2_URID Map(const char* uri);
    const char* Unmap(LV2_URID urid);
    LV2_URID_Map* UridMap() { return &m_map; }
    // The feature list for an instance; maxBlockLength 0 leaves the option out.
    const LV2_Feature* const* Features(int32_t maxBlockLength);

private:
    static LV2_URID MapURI(LV2_URID_Map_Handle handle, const char* uri);
    static const char* UnmapURID(LV2_URID_Unmap_Handle handle, LV2_URID urid);

    LilvWorld* m_world = nullptr;
    std::mutex m_mapMutex;
    std::map<std::string, LV2_URID> m_ids;
    std::vector<std::unique_ptr<std::string>> m_uris;
    LV2_URID_Map m_map{};
    LV2_URID_Unmap m_unmap{};
    int32_t m_maxBlockLength = 0;
    LV2_Options_Option m_options[2]{};
    LV2_Feature m_mapFeature{}, m_unmapFeature{}, m_optionsFeature{};
    const LV2_Feature* m_features[4]{};
};

// One patch:Set as the plug-in reported it.
struct ReportedValue {
    int64_t frame;
    std::string property;
    LV2_URID type;
    float value;
};

// A control sequence under construction.
class ControlSequence {
public:
    explicit ControlSequence(LV2TestHost& host, std::size_t capacity = 65536);
    void Clear();
    void PatchSet(int64_t frame, const std::string& property, float value);
    void PatchSetAtom(int64_t frame, const std::string& property, LV2_URID type, const void* body,
                      uint32_t size);
    void PatchGet(int64_t frame, const std::string* property = nullptr);
    void MIDI(int64_t frame, const std::vector<uint8_t>& bytes);
    const LV2_Atom_Sequence* Sequence() const;

private:
    LV2TestHost& m_host;
    std::vector<uint64_t> m_buffer;
    LV2_Atom_Forge m_forge{};
    LV2_Atom_Forge_Frame m_frame{};
};

// An instance of one of the plug-ins with buffers for its ports.
class LV2TestInstance {
public:
    LV2TestInstance(LV2TestHost& host, const char* uri, int32_t maxBlockLength,
                    double sampleRate = 48000.0);
    ~LV2TestInstance();
    LV2TestInstance(const LV2TestInstance&) = delete;
    LV2TestInstance& operator=(const LV2TestInstance&) = delete;

    LilvInstance* Instance() const { return m_instance; }
    uint32_t Channels() const { return m_channels; }

    // Runs frames from input (one vector per channel, read from offset) into output (appended),
    // with the control sequence (or an empty one). In place: the output buffers also serve as
    // the input buffers. Returns what the notification port carried.
    std::vector<ReportedValue> Run(uint32_t frames, const std::vector<std::vector<float>>& input,
                                   std::size_t offset, std::vector<std::vector<float>>& output,
                                   const ControlSequence* control = nullptr, bool inPlace = false);
    // The raw notification sequence of the last Run.
    const LV2_Atom_Sequence* Notifications() const;
    // Leaves the notification port unconnected, or connects it again, from the next Run on.
    void ConnectNotifications(bool connected) { m_notifyConnected = connected; }
    // The space the notification port offers from the next Run on.
    void SetNotifyCapacity(std::size_t bytes) { m_notifyCapacity = bytes; }

    // The plug-in's own state interface, with the properties it stored.
    struct StoredProperty {
        LV2_URID type;
        std::vector<uint8_t> bytes;
    };
    std::map<LV2_URID, StoredProperty> SaveProperties();

private:
    LV2TestHost& m_host;
    uint32_t m_channels = 0;
    LilvInstance* m_instance = nullptr;
    ControlSequence m_empty;
    std::vector<uint64_t> m_notify;
    bool m_notifyConnected = true;
    std::size_t m_notifyCapacity = 65536;
    std::vector<std::vector<float>> m_inputs;
    std::vector<std::vector<float>> m_outputs;
};

// The patch:Set messages of a notification sequence (an aligned copy of what the port holds).
std::vector<ReportedValue> ReadReports(LV2TestHost& host, const LV2_Atom_Sequence* notify);

// A deterministic signal without zeros: a difference in a mix is visible at every frame.
std::vector<std::vector<float>> TestSignal(uint32_t channels, std::size_t frames,
                                           uint32_t seed = 1);

} // namespace MV::test
