// Saved states through the unit's restore: a "data" blob inside an otherwise valid state, or a
// whole dictionary read from a property list. Whatever a restore accepts must save and restore
// again to the same values, and render.
#include <bit>
#include <memory>

#include "AUStateFile.h"
#include "AudioUnitAPI.h"
#include "FuzzSupport.h"
#include "MrvnFluxet.h"
#include "UnitHost.h"

namespace MV::fuzz {

namespace {

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;

struct Harness {
    Harness() {
        HermeticFolder();
        FuzzCheck(host.Configure(48000.0, 2, kFrames) == noErr && host.Initialize() == noErr,
                  "the unit initialises");
        // Without its tasks the OSC server opens no port, whatever offset a state sets.
        host.Object<MrvnFluxet>().OSCServer().DestroyTask();
        valid = Save();
        for (std::size_t i = 0; i < kFrames; ++i) {
            input[0][i] = input[1][i] = (i % 2 == 0) ? 0.25f : -0.25f;
        }
    }

    PlistPtr Save() const {
        plist_t state = nullptr;
        UInt32 size = sizeof(state);
        FuzzCheck(AudioUnitGetProperty(host.Unit(), kAudioUnitProperty_ClassInfo,
                                       kAudioUnitScope_Global, 0, &state, &size) == noErr,
                  "the unit saves its state");
        return PlistPtr(state, plist_free);
    }
    OSStatus Restore(plist_t state) const {
        return AudioUnitSetProperty(host.Unit(), kAudioUnitProperty_ClassInfo,
                                    kAudioUnitScope_Global, 0, &state, sizeof(state));
    }
    std::vector<UInt32> Bits() {
        std::vector<UInt32> bits;
        for (AudioUnitParameterID id = 0; id < kNumParameters; ++id) {
            bits.push_back(std::bit_cast<UInt32>(host.GetParameter(id)));
        }
        return bits;
    }

    static constexpr UInt32 kFrames = 64;
    MV::test::UnitHost host{kFluxetComponentDescription, &MrvnFluxetEntry};
    PlistPtr valid{nullptr, plist_free};
    std::vector<std::vector<Float32>> input{std::vector<Float32>(kFrames),
                                            std::vector<Float32>(kFrames)};
    std::vector<std::vector<Float32>> output;
};

// The first byte chooses: even, the rest is the "data" blob of a valid state; odd, the rest is
// a property list whose dictionary gets the unit's codes where it has none of its own.
void HandleState(const std::uint8_t* data, std::size_t size) {
    static Harness* const harness = new Harness;
    if (size == 0) {
        return;
    }
    const char* body = reinterpret_cast<const char*>(data + 1);
    PlistPtr state(nullptr, plist_free);
    if (data[0] % 2 == 0) {
        state.reset(plist_copy(harness->valid.get()));
        plist_dict_set_item(state.get(), "data", plist_new_data(body, size - 1));
    } else {
        plist_t list = nullptr;
        if (AUPropertyListFromMemory(body, size - 1, &list) != noErr) {
            return;
        }
        state.reset(list);
        if (plist_get_node_type(list) == PLIST_DICT) {
            for (const char* key : {"version", "type", "subtype", "manufacturer"}) {
                if (plist_dict_get_item(list, key) == nullptr) {
                    plist_dict_set_item(list, key,
                                        plist_copy(plist_dict_get_item(harness->valid.get(), key)));
                }
            }
        }
    }
    if (harness->Restore(state.get()) == noErr) {
        const std::vector<UInt32> restored = harness->Bits();
        const PlistPtr saved = harness->Save();
        FuzzCheck(harness->Restore(saved.get()) == noErr,
                  "a state the unit saved after a restore restores");
        FuzzCheck(harness->Bits() == restored, "a saved and restored state keeps every value");
    }
    FuzzCheck(harness->host.Render(harness->input, 0, Harness::kFrames, harness->output) == noErr,
              "the unit renders after a restore");
    CheckFinite(harness->output, "the output after a restore is finite");
    // Every input starts from the first state and silent delay lines.
    FuzzCheck(harness->Restore(harness->valid.get()) == noErr, "the first state restores");
    AudioUnitReset(harness->host.Unit(), kAudioUnitScope_Global, 0);
}

std::vector<Input> StateSeeds() {
    Harness seedHarness;
    std::vector<Input> seeds;
    const auto blob = [&](plist_t state) {
        uint64_t length = 0;
        const char* bytes = plist_get_data_ptr(plist_dict_get_item(state, "data"), &length);
        Input seed{'\0'};
        seed.insert(seed.end(), bytes, bytes + length);
        return seed;
    };
    const auto xml = [](plist_t state) {
        char* text = nullptr;
        uint32_t length = 0;
        plist_to_xml(state, &text, &length);
        Input seed{'\1'};
        seed.insert(seed.end(), text, text + length);
        plist_to_xml_free(text);
        return seed;
    };
    const auto binary = [](plist_t state) {
        char* bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(state, &bytes, &length);
        Input seed{'\3'};
        seed.insert(seed.end(), bytes, bytes + length);
        plist_to_bin_free(bytes);
        return seed;
    };
    seeds.push_back(blob(seedHarness.valid.get()));
    seeds.push_back(xml(seedHarness.valid.get()));
    seeds.push_back(binary(seedHarness.valid.get()));
    // A preset's values with extreme numbers, element names and the optional keys.
    for (AudioUnitParameterID id = 0; id < kNumParameters; ++id) {
        seedHarness.host.SetParameter(id, id % 2 == 0 ? 1e30f : -3.5f);
    }
    PlistPtr extreme = seedHarness.Save();
    plist_t names = plist_new_dict();
    plist_t scope = plist_new_dict();
    plist_dict_set_item(scope, "0", plist_new_string("Left"));
    plist_dict_set_item(names, "1", scope);
    plist_dict_set_item(extreme.get(), "element-name", names);
    plist_dict_set_item(extreme.get(), "render-quality", plist_new_uint(127));
    plist_dict_set_item(extreme.get(), "cpu-load", plist_new_real(0.5));
    seeds.push_back(blob(extreme.get()));
    seeds.push_back(xml(extreme.get()));
    seeds.push_back(binary(extreme.get()));
    // Records of other scopes and elements, and one that claims more than it holds.
    Input records{'\0'};
    for (const UInt32 word :
         {0u, 1u, 1u, 7u, 0x7FC00000u, 1u, 0u, 0u, 2u, 0u, 3u, 15u, 0x41200000u}) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            records.push_back(char(word >> shift));
        }
    }
    seeds.push_back(records);
    return seeds;
}

} // namespace

const FuzzTarget& StateTarget() {
    static const FuzzTarget target{"state", &HandleState, &StateSeeds, kAUPropertyListMaxBytes + 1};
    return target;
}

} // namespace MV::fuzz
