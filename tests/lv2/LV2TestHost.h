// A small LV2 host for tests: loads the built bundle with lilv, maps URIs, hands out the
// features a real host gives (urid map, options with the maximum block length), and
// runs instances with control sequences built by the test and notifications read back. Every
// test of this folder reads empty preference and script folders of its own.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <lilv/lilv.h>
#include <lv2/atom/forge.h>
#include <lv2/options/options.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>

#include "FluxetParameters.h"

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
    // A factory preset's state as lilv reads it from the bundle (owned by the host).
    LilvState* PresetState(int index);

private:
    static LV2_URID MapURI(LV2_URID_Map_Handle handle, const char* uri);

    LilvWorld* m_world = nullptr;
    std::mutex m_mapMutex;
    std::map<std::string, LV2_URID> m_ids;
    std::vector<std::unique_ptr<std::string>> m_uris;
    std::map<int, LilvState*> m_presets;
    LV2_URID_Map m_map{};
    int32_t m_maxBlockLength = 0;
    LV2_Options_Option m_options[2]{};
    LV2_Feature m_mapFeature{}, m_optionsFeature{};
    const LV2_Feature* m_features[3]{};
};

// The host of the built bundle, shared by the tests of a program.
LV2TestHost& Host();

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
    void PatchSet(int64_t frame, AudioUnitParameterID id, float value);
    void PatchSetAtom(int64_t frame, AudioUnitParameterID id, LV2_URID type, const void* body,
                      uint32_t size);
    void PatchSetInt(int64_t frame, AudioUnitParameterID id, int32_t value);
    void PatchGet(int64_t frame, const AudioUnitParameterID* id = nullptr);
    void MIDI(int64_t frame, const std::vector<uint8_t>& bytes);
    const LV2_Atom_Sequence* Sequence() const;

private:
    LV2TestHost& m_host;
    std::vector<uint64_t> m_buffer;
    LV2_Atom_Forge m_forge{};
    LV2_Atom_Forge_Frame m_frame{};
};

using Buffers = std::vector<std::vector<float>>;

// Saved state properties by key, as a host keeps them.
struct StoredProperty {
    LV2_URID type;
    std::vector<uint8_t> bytes;
};
using StoredProperties = std::map<LV2_URID, StoredProperty>;
LV2_State_Status StoreProperty(LV2_State_Handle handle, uint32_t key, const void* value,
                               size_t size, uint32_t type, uint32_t flags);
const void* RetrieveProperty(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                             uint32_t* flags);

// An instance of one of the plug-ins with buffers for its ports.
class LV2TestInstance {
public:
    LV2TestInstance(LV2TestHost& host, const char* uri, int32_t maxBlockLength);
    ~LV2TestInstance();
    LV2TestInstance(const LV2TestInstance&) = delete;
    LV2TestInstance& operator=(const LV2TestInstance&) = delete;

    LilvInstance* Instance() const { return m_instance; }
    uint32_t Channels() const { return m_channels; }

    // Runs frames from input (one vector per channel, read from offset) into output (appended),
    // with the control sequence (or an empty one). In place: the output buffers also serve as
    // the input buffers. Returns what the notification port carried.
    std::vector<ReportedValue> Run(uint32_t frames, const Buffers& input, std::size_t offset,
                                   Buffers& output, const ControlSequence* control = nullptr,
                                   bool inPlace = false);
    // Runs frames of the test signal, output discarded.
    std::vector<ReportedValue> Run(uint32_t frames, const ControlSequence* control = nullptr);
    // The raw notification sequence of the last Run.
    const LV2_Atom_Sequence* Notifications() const;
    // Leaves the notification port unconnected, or connects it again, from the next Run on.
    void ConnectNotifications(bool connected) { m_notifyConnected = connected; }
    // The space the notification port offers from the next Run on.
    void SetNotifyCapacity(std::size_t bytes) { m_notifyCapacity = bytes; }
    // Hands out both sequences four bytes off the 64-bit alignment, as jalv 1.6 does.
    void SetMisaligned(bool misaligned) { m_misaligned = misaligned; }
    // What the plug-in allocated on this thread during the last Run.
    std::size_t LastRunAllocations() const { return m_allocations; }
    void Restore(LilvState* state);
    // The plug-in's own state interface, with the properties it stored.
    StoredProperties SaveProperties();
    // Every parameter's value, asked with a patch:Get.
    std::array<float, kNumParameters> QueryAll();

private:
    LV2TestHost& m_host;
    uint32_t m_channels = 0;
    int32_t m_maxBlockLength = 0;
    LilvInstance* m_instance = nullptr;
    ControlSequence m_empty;
    std::vector<uint64_t> m_notify;
    std::vector<uint64_t> m_shiftedControl;
    bool m_notifyConnected = true;
    bool m_misaligned = false;
    std::size_t m_notifyCapacity = 65536;
    std::size_t m_allocations = 0;
    Buffers m_inputs;
    Buffers m_outputs;
};

// The patch:Set messages of a notification sequence (an aligned copy of what the port holds).
std::vector<ReportedValue> ReadReports(LV2TestHost& host, const LV2_Atom_Sequence* notify);
// The last reported value of every parameter, by parameter number; NaN where none came.
std::array<float, kNumParameters> ReportedByParameter(const std::vector<ReportedValue>& reports);

// A deterministic signal without zeros: a difference in a mix is visible at every frame.
Buffers TestSignal(uint32_t channels, std::size_t frames, uint32_t seed = 1);
bool SameBits(float a, float b);
// The "OSC Base Port" the preferences of the test programs hold: a base with every offset of
// "OSC Port Offset" (1 to 100) free for UDP when the program started.
int LV2TestOSCBasePort();

} // namespace MV::test
