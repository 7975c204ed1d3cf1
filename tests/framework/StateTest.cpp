// Saved state: the dictionary, its parameter blob, the checks a restore makes before it
// changes anything, the blob walk's limits, and state files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "AUStateFile.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;

PlistPtr Own(plist_t node) {
    return PlistPtr(node, plist_free);
}

PlistPtr Save(AudioUnit unit) {
    plist_t state = nullptr;
    UInt32 size = sizeof(state);
    EXPECT_EQ(AudioUnitGetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                   &state, &size),
              noErr);
    return Own(state);
}

OSStatus Restore(AudioUnit unit, plist_t state) {
    return AudioUnitSetProperty(unit, kAudioUnitProperty_ClassInfo, kAudioUnitScope_Global, 0,
                                &state, sizeof(state));
}

SInt64 Integer(plist_t dict, const char* key) {
    UInt64 value = 0;
    plist_get_uint_val(plist_dict_get_item(dict, key), &value);
    return SInt64(value);
}

std::vector<UInt8> Blob(plist_t dict) {
    uint64_t size = 0;
    const char* data = plist_get_data_ptr(plist_dict_get_item(dict, "data"), &size);
    return std::vector<UInt8>(data, data + size);
}

void SetBlob(plist_t dict, const std::vector<UInt8>& blob) {
    plist_dict_set_item(dict, "data",
                        plist_new_data(reinterpret_cast<const char*>(blob.data()), blob.size()));
}

void Append32(std::vector<UInt8>& blob, UInt32 value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        blob.push_back(UInt8(value >> shift));
    }
}

void AppendRecord(std::vector<UInt8>& blob, UInt32 scope, UInt32 element,
                  const std::vector<std::pair<UInt32, Float32>>& pairs, UInt32 count = ~0u) {
    Append32(blob, scope);
    Append32(blob, element);
    Append32(blob, count == ~0u ? UInt32(pairs.size()) : count);
    for (const auto& [id, value] : pairs) {
        Append32(blob, id);
        Append32(blob, std::bit_cast<UInt32>(value));
    }
}

std::vector<UInt32> ParameterBits(const HostedUnit& host) {
    std::vector<UInt32> bits;
    for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
        bits.push_back(std::bit_cast<UInt32>(host.Param(id)));
    }
    return bits;
}

struct PresetCount {
    int calls = 0;
    static void Listener(void* userData, AudioUnit, AudioUnitPropertyID, AudioUnitScope,
                         AudioUnitElement) {
        ++static_cast<PresetCount*>(userData)->calls;
    }
};

class FrameworkState : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_PresentPreset,
                                               &PresetCount::Listener, &presetChanges),
                  noErr);
    }

    // A valid state whose parameters all differ from the unit's current ones.
    PlistPtr OtherState() {
        HostedUnit other;
        for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
            EXPECT_EQ(other.SetParam(id, 50.0f + Float32(id)), noErr);
        }
        return Save(other.Get());
    }

    HostedUnit host;
    PresetCount presetChanges;
};

TEST_F(FrameworkState, SavedDictionaryCarriesCodesBlobAndName) {
    const std::string name = "Mine";
    const AUPreset preset{-3, name.c_str()};
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
    const PlistPtr state = Save(host.Get());
    plist_t dict = state.get();
    ASSERT_EQ(plist_get_node_type(dict), PLIST_DICT);
    EXPECT_EQ(Integer(dict, "version"), 0);
    EXPECT_EQ(Integer(dict, "type"), SInt64(SInt32(FourCC("aumf"))));
    EXPECT_EQ(Integer(dict, "subtype"), SInt64(SInt32(FourCC("Tst1"))));
    EXPECT_EQ(Integer(dict, "manufacturer"), SInt64(SInt32(FourCC("Mrvn"))));
    EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(dict, "name"), nullptr), "Mine");
    EXPECT_EQ(plist_dict_get_item(dict, "render-quality"), nullptr);
    EXPECT_EQ(plist_dict_get_item(dict, "cpu-load"), nullptr);
    EXPECT_EQ(plist_dict_get_item(dict, "element-name"), nullptr);

    std::vector<UInt8> expected;
    AppendRecord(expected, 0, 0, {{0, 1.0f}, {1, 10.0f}, {2, 0.0f}, {3, 0.0f}, {4, 60.0f}});
    EXPECT_EQ(Blob(dict), expected);
}

TEST_F(FrameworkState, RoundTripRestoresEveryValueBitForBit) {
    const std::vector<Float32> odd{0.1f, -0.0f, 1e-40f, 3.4e38f, -1.9999999f};
    for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
        ASSERT_EQ(host.SetParam(id, odd[id]), noErr);
    }
    const std::vector<UInt32> saved = ParameterBits(host);
    const PlistPtr state = Save(host.Get());

    HostedUnit fresh;
    ASSERT_EQ(Restore(fresh.Get(), state.get()), noErr);
    EXPECT_EQ(ParameterBits(fresh), saved);
    // The caller keeps its dictionary.
    EXPECT_EQ(plist_get_node_type(state.get()), PLIST_DICT);

    ASSERT_EQ(host.SetParam(kParamGain, 0.3f), noErr);
    ASSERT_EQ(Restore(host.Get(), state.get()), noErr);
    EXPECT_EQ(ParameterBits(host), saved);
}

TEST_F(FrameworkState, RestoreMakesTheSavedNameTheCurrentUserPreset) {
    const PlistPtr state = OtherState();
    plist_dict_set_item(state.get(), "name", plist_new_string("Warm"));
    ASSERT_EQ(Restore(host.Get(), state.get()), noErr);
    AUPreset preset{};
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
    EXPECT_EQ(preset.presetNumber, -1);
    EXPECT_STREQ(preset.presetName, "Warm");
    EXPECT_EQ(presetChanges.calls, 1);

    plist_dict_remove_item(state.get(), "name");
    ASSERT_EQ(Restore(host.Get(), state.get()), noErr);
    ASSERT_EQ(host.GetProp(kAudioUnitProperty_PresentPreset, preset), noErr);
    EXPECT_STREQ(preset.presetName, "Untitled");
}

TEST_F(FrameworkState, AnotherTypeCodeIsAccepted) {
    const PlistPtr state = OtherState();
    plist_dict_set_item(state.get(), "type", plist_new_uint(FourCC("aufx")));
    EXPECT_EQ(Restore(host.Get(), state.get()), noErr);
    EXPECT_EQ(host.Param(kParamSteps), 52.0f);
}

struct RefusalCase {
    const char* name;
    std::function<void(plist_t)> spoil;
    OSStatus expected;
};

class RefusedStateTest : public FrameworkState,
                         public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusedStateTest, RefusedBeforeAnythingChanges) {
    const PlistPtr state = OtherState();
    GetParam().spoil(state.get());
    const std::vector<UInt32> before = ParameterBits(host);
    EXPECT_EQ(Restore(host.Get(), state.get()), GetParam().expected);
    EXPECT_EQ(ParameterBits(host), before);
    EXPECT_EQ(presetChanges.calls, 0);
    EXPECT_FALSE(host.Unit().Inputs().GetElement(0)->HasName());
}

void Set(plist_t dict, const char* key, plist_t value) {
    plist_dict_set_item(dict, key, value);
}

// A valid first record followed by one the checks must refuse.
void AppendToBlob(plist_t dict, UInt32 scope, UInt32 element, UInt32 paramID) {
    std::vector<UInt8> blob = Blob(dict);
    AppendRecord(blob, scope, element, {{paramID, 1.0f}});
    SetBlob(dict, blob);
}

plist_t ElementNames(plist_t scopeEntry) {
    plist_t names = plist_new_dict();
    plist_dict_set_item(names, "1", scopeEntry);
    return names;
}

plist_t NamedInput(plist_t name) {
    plist_t scope = plist_new_dict();
    plist_dict_set_item(scope, "0", name);
    return scope;
}

INSTANTIATE_TEST_SUITE_P(
    Framework, RefusedStateTest,
    ::testing::Values(
        RefusalCase{"SubtypeDiffers",
                    [](plist_t d) { Set(d, "subtype", plist_new_uint(FourCC("Tst2"))); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"ManufacturerDiffers",
                    [](plist_t d) { Set(d, "manufacturer", plist_new_uint(FourCC("Appl"))); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"VersionOne", [](plist_t d) { Set(d, "version", plist_new_uint(1)); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"VersionMissing", [](plist_t d) { plist_dict_remove_item(d, "version"); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"SubtypeMissing", [](plist_t d) { plist_dict_remove_item(d, "subtype"); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"HasPart", [](plist_t d) { Set(d, "part", plist_new_uint(0)); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"SubtypeAsString",
                    [](plist_t d) { Set(d, "subtype", plist_new_string("Tst1")); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"TypeAsString", [](plist_t d) { Set(d, "type", plist_new_string("aumf")); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"DataAsString", [](plist_t d) { Set(d, "data", plist_new_string("x")); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"NameAsNumber", [](plist_t d) { Set(d, "name", plist_new_uint(3)); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"RenderQualityAsString",
                    [](plist_t d) { Set(d, "render-quality", plist_new_string("max")); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"CPULoadAsBool", [](plist_t d) { Set(d, "cpu-load", plist_new_bool(1)); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"ElementNamesAsArray",
                    [](plist_t d) { Set(d, "element-name", plist_new_array()); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"ElementNameScopeAsString",
                    [](plist_t d) { Set(d, "element-name", ElementNames(plist_new_string("x"))); },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{
            "ElementNameAsNumber",
            [](plist_t d) { Set(d, "element-name", ElementNames(NamedInput(plist_new_uint(1)))); },
            kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"ElementNameKeyNotAnIndex",
                    [](plist_t d) {
                        plist_t scope = plist_new_dict();
                        plist_dict_set_item(scope, "left", plist_new_string("In"));
                        Set(d, "element-name", ElementNames(scope));
                    },
                    kAudioUnitErr_InvalidPropertyValue},
        RefusalCase{"ScopeFiveInTheBlob", [](plist_t d) { AppendToBlob(d, 5, 0, 0); },
                    kAudioUnitErr_InvalidScope},
        RefusalCase{"ParameterBeyondTheIndexedTable",
                    [](plist_t d) { AppendToBlob(d, 0, 0, kNumParams); },
                    kAudioUnitErr_InvalidPropertyValue}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameworkState, ANonDictionaryIsRefused) {
    const PlistPtr array = Own(plist_new_array());
    EXPECT_EQ(Restore(host.Get(), array.get()), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(Restore(host.Get(), nullptr), kAudioUnitErr_InvalidPropertyValue);
}

TEST_F(FrameworkState, AMissingElementEndsTheWalkKeepingEarlierValues) {
    const PlistPtr state = OtherState();
    std::vector<UInt8> blob;
    AppendRecord(blob, 0, 0, {{kParamGain, 0.5f}});
    AppendRecord(blob, 0, 1, {{kParamGain, 0.75f}});
    AppendRecord(blob, 0, 0, {{kParamSpeed, 99.0f}});
    SetBlob(state.get(), blob);
    ASSERT_EQ(Restore(host.Get(), state.get()), noErr);
    EXPECT_EQ(host.Param(kParamGain), 0.5f);
    EXPECT_EQ(host.Param(kParamSpeed), 10.0f);
}

TEST_F(FrameworkState, ATruncatedLastRecordRestoresOnlyItsCompletePairs) {
    const PlistPtr state = OtherState();
    std::vector<UInt8> blob;
    AppendRecord(blob, 0, 0, {{kParamGain, 0.5f}, {kParamSpeed, 20.0f}, {kParamSteps, 7.0f}}, 5);
    // Half of a fourth pair.
    Append32(blob, kParamMode);
    blob.push_back(0x40);
    SetBlob(state.get(), blob);
    ASSERT_EQ(Restore(host.Get(), state.get()), noErr);
    EXPECT_EQ(host.Param(kParamGain), 0.5f);
    EXPECT_EQ(host.Param(kParamSpeed), 20.0f);
    EXPECT_EQ(host.Param(kParamSteps), 7.0f);
    EXPECT_EQ(host.Param(kParamMode), 0.0f);
}

TEST_F(FrameworkState, MappedParametersOfIOElementsAreSavedAndRestored) {
    ASSERT_EQ(AudioUnitSetParameter(host.Get(), 12, kAudioUnitScope_Output, 0, 1.5f, 0), noErr);
    ASSERT_EQ(AudioUnitSetParameter(host.Get(), 3, kAudioUnitScope_Input, 0, -2.0f, 0), noErr);
    const PlistPtr state = Save(host.Get());
    EXPECT_EQ(Blob(state.get()).size(), 3 * 12 + (kNumParams + 2) * 8u);

    HostedUnit fresh;
    ASSERT_EQ(Restore(fresh.Get(), state.get()), noErr);
    AudioUnitParameterValue value = 0;
    ASSERT_EQ(AudioUnitGetParameter(fresh.Get(), 12, kAudioUnitScope_Output, 0, &value), noErr);
    EXPECT_EQ(value, 1.5f);
    ASSERT_EQ(AudioUnitGetParameter(fresh.Get(), 3, kAudioUnitScope_Input, 0, &value), noErr);
    EXPECT_EQ(value, -2.0f);
}

TEST_F(FrameworkState, ElementNamesTravelWithTheState) {
    const char* name = "Left In";
    ASSERT_EQ(host.SetProp(kAudioUnitProperty_ElementName, name, kAudioUnitScope_Input, 0), noErr);
    const PlistPtr state = Save(host.Get());
    const plist_t names = plist_dict_get_item(state.get(), "element-name");
    ASSERT_NE(names, nullptr);
    const plist_t input = plist_dict_get_item(names, "1");
    ASSERT_NE(input, nullptr);
    EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(input, "0"), nullptr), "Left In");

    HostedUnit fresh;
    int nameChanges = 0;
    ASSERT_EQ(AudioUnitAddPropertyListener(
                  fresh.Get(), kAudioUnitProperty_ElementName,
                  [](void* count, AudioUnit, AudioUnitPropertyID, AudioUnitScope scope,
                     AudioUnitElement) {
                      EXPECT_EQ(scope, UInt32(kAudioUnitScope_Input));
                      ++*static_cast<int*>(count);
                  },
                  &nameChanges),
              noErr);
    ASSERT_EQ(Restore(fresh.Get(), state.get()), noErr);
    EXPECT_EQ(fresh.Unit().Inputs().GetElement(0)->GetName(), "Left In");
    EXPECT_EQ(nameChanges, 1);
    ASSERT_EQ(Restore(fresh.Get(), state.get()), noErr);
    EXPECT_EQ(nameChanges, 1);
}

TEST_F(FrameworkState, RandomBlobsNeverReadPastTheirEnd) {
    std::mt19937 random(20240611);
    const PlistPtr state = Save(host.Get());
    for (int round = 0; round < 3000; ++round) {
        std::vector<UInt8> blob;
        // Mostly plausible headers, so that the walk gets into the pairs.
        if (random() % 4 != 0) {
            AppendRecord(blob, random() % 5, random() % 2, {}, random() % 40);
        }
        const std::size_t extra = random() % 96;
        for (std::size_t i = 0; i < extra; ++i) {
            blob.push_back(UInt8(random()));
        }
        // Keep every pair's number inside the table now and then, so values do get written.
        if (random() % 2 == 0) {
            for (std::size_t i = 12; i + 4 <= blob.size(); i += 8) {
                blob[i] = blob[i + 1] = blob[i + 2] = 0;
                blob[i + 3] %= kNumParams;
            }
        }
        SetBlob(state.get(), blob);
        const OSStatus result = Restore(host.Get(), state.get());
        ASSERT_TRUE(result == noErr || result == kAudioUnitErr_InvalidPropertyValue ||
                    result == kAudioUnitErr_InvalidScope)
            << result;
    }
}

class FrameworkStateFile : public FrameworkState {
protected:
    void SetUp() override {
        FrameworkState::SetUp();
        std::string pattern =
            (std::filesystem::temp_directory_path() / "fluxet-state-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::filesystem::path folder;
};

TEST_F(FrameworkStateFile, StateFileRoundTripsAndIsWrittenWhole) {
    ASSERT_EQ(host.SetParam(kParamGain, 0.1f), noErr);
    ASSERT_EQ(host.SetParam(kParamSpeed, 1234.5f), noErr);
    const std::string path = (folder / "preset.aupreset").string();
    ASSERT_EQ(AUSaveUnitStateToFile(host.Get(), path), noErr);
    // Writing again replaces the file and leaves no temporary file behind.
    ASSERT_EQ(AUSaveUnitStateToFile(host.Get(), path), noErr);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    std::ifstream file(path);
    std::string firstLine;
    std::getline(file, firstLine);
    EXPECT_EQ(firstLine.rfind("<?xml", 0), 0u);

    HostedUnit fresh;
    ASSERT_EQ(AURestoreUnitStateFromFile(fresh.Get(), path), noErr);
    EXPECT_EQ(ParameterBits(fresh), ParameterBits(host));
}

TEST_F(FrameworkStateFile, FilesThatAreNotStateDictionariesAreRefused) {
    const auto write = [this](const char* name, const std::string& text) {
        std::ofstream((folder / name).string()) << text;
        return (folder / name).string();
    };
    const std::vector<UInt32> before = ParameterBits(host);
    EXPECT_EQ(AURestoreUnitStateFromFile(host.Get(), write("text", "hello, world\n")),
              kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(AURestoreUnitStateFromFile(host.Get(), write("empty", "")),
              kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(AURestoreUnitStateFromFile(
                  host.Get(), write("array.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\">"
                                                   "<array><integer>1</integer></array></plist>")),
              kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(AURestoreUnitStateFromFile(host.Get(), (folder / "missing").string()), fnfErr);
    EXPECT_EQ(AUSaveUnitStateToFile(host.Get(), (folder / "no" / "such" / "folder").string()),
              fnfErr);
    EXPECT_EQ(ParameterBits(host), before);
}

} // namespace
} // namespace fwtest
