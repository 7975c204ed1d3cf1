// Saved state: the dictionary, its parameter blob, the checks a restore makes before it
// changes anything, the blob walk's limits, and state files.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "AUStateFile.h"
#include "PropertyListSamples.h"
#include "TestFolders.h"
#include "TestUnit.h"

namespace fwtest {
namespace {

using PlistPtr = std::unique_ptr<void, void (*)(plist_t)>;

PlistPtr Save(const HostedUnit& host) {
    plist_t state = nullptr;
    EXPECT_EQ(host.GetProp(kAudioUnitProperty_ClassInfo, state), noErr);
    return PlistPtr(state, plist_free);
}

OSStatus Restore(const HostedUnit& host, plist_t state) {
    return host.SetProp(kAudioUnitProperty_ClassInfo, state);
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

class FrameworkState : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_OK(AudioUnitAddPropertyListener(host.Get(), kAudioUnitProperty_PresentPreset,
                                               &CountCall, &presetChanges));
    }

    // A valid state whose parameters all differ from the unit's current ones.
    static PlistPtr OtherState() {
        HostedUnit other;
        for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
            EXPECT_EQ(other.SetParam(id, 50.0f + Float32(id)), noErr);
        }
        return Save(other);
    }

    // Restores a state whose blob is `blob`.
    OSStatus RestoreBlob(const std::vector<UInt8>& blob) {
        const PlistPtr state = OtherState();
        SetBlob(state.get(), blob);
        return Restore(host, state.get());
    }

    HostedUnit host;
    int presetChanges = 0;
};

TEST_F(FrameworkState, SavedDictionaryCarriesCodesBlobAndName) {
    const std::string name = "Mine";
    ASSERT_OK(host.SetProp(kAudioUnitProperty_PresentPreset, AUPreset{-3, name.c_str()}));
    const PlistPtr state = Save(host);
    plist_t dict = state.get();
    ASSERT_EQ(plist_get_node_type(dict), PLIST_DICT);
    EXPECT_EQ(Integer(dict, "version"), 0);
    EXPECT_EQ(Integer(dict, "type"), SInt64(SInt32(FourCC("aumf"))));
    EXPECT_EQ(Integer(dict, "subtype"), SInt64(SInt32(FourCC("Tst1"))));
    EXPECT_EQ(Integer(dict, "manufacturer"), SInt64(SInt32(FourCC("Mrvn"))));
    EXPECT_STREQ(plist_get_string_ptr(plist_dict_get_item(dict, "name"), nullptr), "Mine");
    std::vector<UInt8> expected;
    AppendRecord(expected, 0, 0, {{0, 1.0f}, {1, 10.0f}, {2, 0.0f}, {3, 0.0f}, {4, 60.0f}});
    EXPECT_EQ(Blob(dict), expected);
}

// Also the mapped parameters of the I/O elements, one record each.
TEST_F(FrameworkState, RoundTripRestoresEveryValueBitForBit) {
    const std::vector<Float32> odd{0.1f, -0.0f, 1e-40f, 3.4e38f, -1.9999999f};
    for (AudioUnitParameterID id = 0; id < kNumParams; ++id) {
        ASSERT_OK(host.SetParam(id, odd[id]));
    }
    ASSERT_OK(AudioUnitSetParameter(host.Get(), 12, kAudioUnitScope_Output, 0, 1.5f, 0));
    ASSERT_OK(AudioUnitSetParameter(host.Get(), 3, kAudioUnitScope_Input, 0, -2.0f, 0));
    const std::vector<UInt32> saved = ParameterBits(host);
    const PlistPtr state = Save(host);
    EXPECT_EQ(Blob(state.get()).size(), 3 * 12 + (kNumParams + 2) * 8u);

    HostedUnit fresh;
    ASSERT_OK(Restore(fresh, state.get()));
    EXPECT_EQ(ParameterBits(fresh), saved);
    AudioUnitParameterValue value = 0;
    ASSERT_OK(AudioUnitGetParameter(fresh.Get(), 12, kAudioUnitScope_Output, 0, &value));
    EXPECT_EQ(value, 1.5f);
    ASSERT_OK(AudioUnitGetParameter(fresh.Get(), 3, kAudioUnitScope_Input, 0, &value));
    EXPECT_EQ(value, -2.0f);
    EXPECT_EQ(plist_get_node_type(state.get()), PLIST_DICT) << "the caller keeps its dictionary";
}

TEST_F(FrameworkState, RestoreMakesTheSavedNameTheCurrentUserPresetAndTakesAnyType) {
    const PlistPtr state = OtherState();
    plist_dict_set_item(state.get(), "name", plist_new_string("Warm"));
    plist_dict_set_item(state.get(), "type", plist_new_uint(FourCC("aufx")));
    ASSERT_OK(Restore(host, state.get()));
    EXPECT_EQ(host.Param(kParamSteps), 52.0f);
    AUPreset preset{};
    ASSERT_OK(host.GetProp(kAudioUnitProperty_PresentPreset, preset));
    EXPECT_EQ(preset.presetNumber, -1);
    EXPECT_STREQ(preset.presetName, "Warm");
    EXPECT_EQ(presetChanges, 1);

    plist_dict_remove_item(state.get(), "name");
    ASSERT_OK(Restore(host, state.get()));
    ASSERT_OK(host.GetProp(kAudioUnitProperty_PresentPreset, preset));
    EXPECT_STREQ(preset.presetName, "Untitled");
}

TEST_F(FrameworkState, RefusedBeforeAnythingChanges) {
    using Make = plist_t (*)();
    // A null value removes the key; "data+" appends a record to the valid blob.
    const struct {
        const char* key;
        Make value;
        UInt32 blobScope = 0, blobParam = 0;
        OSStatus expected = kAudioUnitErr_InvalidPropertyValue;
    } cases[] = {
        {"subtype", [] { return plist_new_uint(FourCC("Tst2")); }},
        {"version", [] { return plist_new_uint(1); }},
        {"version", nullptr},
        {"part", [] { return plist_new_uint(0); }},
        {"type", [] { return plist_new_string("aumf"); }},
        {"data", [] { return plist_new_string("x"); }},
        {"render-quality", [] { return plist_new_string("max"); }},
        {"element-name", [] { return plist_new_array(); }},
        {"element-name", // { "1": { "left": "In" } }: an element is named by its number
         [] {
             plist_t names = plist_new_dict();
             plist_dict_set_item(names, "1", plist_new_dict());
             plist_dict_set_item(plist_dict_get_item(names, "1"), "left", plist_new_string("In"));
             return names;
         }},
        {"data+", nullptr, 5, 0, kAudioUnitErr_InvalidScope},
        {"data+", nullptr, 0, kNumParams},
    };
    for (const auto& c : cases) {
        const PlistPtr state = OtherState();
        if (std::string(c.key) == "data+") {
            std::vector<UInt8> blob = Blob(state.get());
            AppendRecord(blob, c.blobScope, 0, {{c.blobParam, 1.0f}});
            SetBlob(state.get(), blob);
        } else if (c.value == nullptr) {
            plist_dict_remove_item(state.get(), c.key);
        } else {
            plist_dict_set_item(state.get(), c.key, c.value());
        }
        const std::vector<UInt32> before = ParameterBits(host);
        EXPECT_EQ(Restore(host, state.get()), c.expected) << c.key;
        EXPECT_EQ(ParameterBits(host), before) << c.key;
    }
    EXPECT_EQ(presetChanges, 0);
    EXPECT_FALSE(host.Unit().Inputs().GetElement(0)->HasName());
    const PlistPtr array(plist_new_array(), plist_free);
    EXPECT_EQ(Restore(host, array.get()), kAudioUnitErr_InvalidPropertyValue);
    EXPECT_EQ(Restore(host, nullptr), kAudioUnitErr_InvalidPropertyValue);
}

// A missing element ends the walk keeping earlier values; a truncated last record restores
// only its complete pairs.
TEST_F(FrameworkState, TheBlobWalkStopsAtAMissingElementOrTheEnd) {
    std::vector<UInt8> blob;
    AppendRecord(blob, 0, 0, {{kParamGain, 0.5f}});
    AppendRecord(blob, 0, 1, {{kParamGain, 0.75f}});
    AppendRecord(blob, 0, 0, {{kParamSpeed, 99.0f}});
    ASSERT_OK(RestoreBlob(blob));
    EXPECT_EQ(host.Param(kParamGain), 0.5f);
    EXPECT_EQ(host.Param(kParamSpeed), 10.0f);
    blob.clear();
    AppendRecord(blob, 0, 0, {{kParamGain, 0.25f}, {kParamSpeed, 20.0f}, {kParamSteps, 7.0f}}, 5);
    Append32(blob, kParamMode); // half of a fourth pair
    blob.push_back(0x40);
    ASSERT_OK(RestoreBlob(blob));
    EXPECT_EQ(host.Param(kParamGain), 0.25f);
    EXPECT_EQ(host.Param(kParamSpeed), 20.0f);
    EXPECT_EQ(host.Param(kParamSteps), 7.0f);
    EXPECT_EQ(host.Param(kParamMode), 0.0f);
}

// A stored value that is not finite is refused as a unit refuses it when set: the parameter
// keeps its value and the rest of the state is restored.
TEST_F(FrameworkState, ValuesThatAreNotFiniteAreRefusedAndTheRestRestored) {
    std::vector<UInt8> blob;
    AppendRecord(
        blob, 0, 0,
        {{kParamGain, NAN}, {kParamSpeed, 30.0f}, {kParamSteps, -INFINITY}, {kParamMode, 1.0f}});
    const Float32 gain = host.Param(kParamGain), steps = host.Param(kParamSteps);
    ASSERT_OK(RestoreBlob(blob));
    EXPECT_EQ(host.Param(kParamGain), gain);
    EXPECT_EQ(host.Param(kParamSteps), steps);
    EXPECT_EQ(host.Param(kParamSpeed), 30.0f);
    EXPECT_EQ(host.Param(kParamMode), 1.0f);
}

// Run under the sanitizer build: a read past the blob's end is reported there.
TEST_F(FrameworkState, RandomBlobsNeverReadPastTheirEnd) {
    std::mt19937 random(20240611);
    const PlistPtr state = Save(host);
    for (int round = 0; round < 3000; ++round) {
        std::vector<UInt8> blob;
        // Mostly plausible headers, so that the walk gets into the pairs.
        if (random() % 4 != 0) {
            AppendRecord(blob, random() % 5, random() % 2, {}, random() % 40);
        }
        for (std::size_t extra = random() % 96; extra > 0; --extra) {
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
        const OSStatus result = Restore(host, state.get());
        ASSERT_TRUE(result == noErr || result == kAudioUnitErr_InvalidPropertyValue ||
                    result == kAudioUnitErr_InvalidScope)
            << result;
    }
}

// Writing replaces the file whole, leaving no temporary file; binary lists are read too; what
// is not a state dictionary within the readers' limits changes nothing.
TEST_F(FrameworkState, StateFilesAreWrittenWholeAndOnlyStateDictionariesAreRead) {
    MV::test::TempFolder folder;
    const std::string path = folder / "preset.aupreset";
    ASSERT_OK(host.SetParam(kParamSpeed, 1234.5f));
    ASSERT_OK(AUSaveUnitStateToFile(host.Get(), path));
    ASSERT_OK(AUSaveUnitStateToFile(host.Get(), path));
    EXPECT_EQ(MV::test::FolderEntries(folder.Path()), std::set<std::string>{"preset.aupreset"});
    EXPECT_EQ(MV::test::ReadFile(path).rfind("<?xml", 0), 0u);
    char* binary = nullptr;
    uint32_t length = 0;
    plist_to_bin(Save(host).get(), &binary, &length);
    MV::test::WriteFile(folder / "binary", std::string(binary, length));
    plist_to_bin_free(binary);
    for (const std::string& file : {path, folder / "binary"}) {
        HostedUnit fresh;
        ASSERT_OK(AURestoreUnitStateFromFile(fresh.Get(), file));
        EXPECT_EQ(ParameterBits(fresh), ParameterBits(host)) << file;
    }

    // A valid state with something nested too deeply under a key the restore ignores.
    std::string nested = MV::test::ReadFile(path);
    nested.insert(nested.rfind("</dict>"), "<key>x</key>" + MV::test::NestedXmlArrays(200));
    const std::vector<UInt32> before = ParameterBits(host);
    const std::pair<std::string, const char*> refused[] = {
        {"hello, world\n", "not a property list"},
        {"", "not a property list"},
        {"<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array>"
         "</plist>",
         "not a property-list dictionary"},
        {MV::test::NestedXmlList(300000), "larger than 1 MiB"},
        {nested, "nested deeper than 128 levels"},
        {MV::test::NestedBinaryList(130000), "nested deeper than 128 levels"},
        {MV::test::SharingBinaryList(40), "more than 262144 values"}};
    for (const auto& [text, problem] : refused) {
        SCOPED_TRACE(problem);
        MV::test::WriteFile(folder / "bad", text);
        std::string said;
        EXPECT_EQ(AURestoreUnitStateFromFile(host.Get(), folder / "bad", &said),
                  kAudioUnitErr_InvalidPropertyValue);
        EXPECT_EQ(said, problem);
    }
    EXPECT_EQ(AURestoreUnitStateFromFile(host.Get(), folder / "missing"), fnfErr);
    EXPECT_EQ(AUSaveUnitStateToFile(host.Get(), folder / "no/such/folder"), fnfErr);
    EXPECT_EQ(ParameterBits(host), before);
}

} // namespace
} // namespace fwtest
