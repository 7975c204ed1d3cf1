// The built bundle loaded through lilv as a host loads it: metadata, factory presets, parameter
// changes at their frames, notifications, state, odd block sizes and real-time behaviour.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <lv2/atom/atom.h>
#include <lv2/patch/patch.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>

#include "CountingAllocator.h"
#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "LV2TestHost.h"

namespace {

using MV::test::ControlSequence;
using MV::test::LV2TestHost;
using MV::test::LV2TestInstance;
using MV::test::ReportedValue;
using MV::test::TestSignal;
using Buffers = std::vector<std::vector<float>>;

LV2TestHost& Host() {
    static LV2TestHost host(FLUXET_LV2_BUNDLE_DIR);
    return host;
}

std::string ParameterURI(AudioUnitParameterID id) {
    return FluxetLV2ParameterURI(id);
}

// The last reported value of every parameter, by parameter number; NaN where none came.
std::array<float, kNumParameters> ReportedByParameter(const std::vector<ReportedValue>& reports) {
    std::array<float, kNumParameters> values;
    values.fill(std::nanf(""));
    for (const ReportedValue& report : reports) {
        for (UInt32 id = 0; id < kNumParameters; ++id) {
            if (report.property == ParameterURI(id)) {
                values[id] = report.value;
            }
        }
    }
    return values;
}

std::array<float, kNumParameters> QueryAll(LV2TestInstance& instance) {
    ControlSequence get(Host());
    get.PatchGet(0);
    Buffers output;
    return ReportedByParameter(instance.Run(0, Buffers(instance.Channels()), 0, output, &get));
}

bool SameBits(float a, float b) {
    return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b);
}

LilvNode* Uri(const char* uri) {
    return lilv_new_uri(Host().World(), uri);
}

// ---------------------------------------------------------------------------------------------
// Metadata

TEST(FluxetLV2Bundle, OffersAStereoAndAMonoPluginWithEqualChannelCounts) {
    LilvNode* audio = Uri(LV2_CORE__AudioPort);
    LilvNode* atom = Uri(LV2_ATOM__AtomPort);
    LilvNode* input = Uri(LV2_CORE__InputPort);
    LilvNode* output = Uri(LV2_CORE__OutputPort);
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        SCOPED_TRACE(variant.uri);
        const LilvPlugin* plugin = Host().Plugin(variant.uri);
        ASSERT_NE(plugin, nullptr);
        EXPECT_EQ(lilv_plugin_get_num_ports(plugin), 2 + 2 * variant.channels);
        EXPECT_EQ(lilv_plugin_get_num_ports_of_class(plugin, audio, input, nullptr),
                  variant.channels);
        EXPECT_EQ(lilv_plugin_get_num_ports_of_class(plugin, audio, output, nullptr),
                  variant.channels);
        EXPECT_EQ(lilv_plugin_get_num_ports_of_class(plugin, atom, input, nullptr), 1u);
        EXPECT_EQ(lilv_plugin_get_num_ports_of_class(plugin, atom, output, nullptr), 1u);
        EXPECT_TRUE(lilv_plugin_verify(plugin));
    }
    for (LilvNode* node : {audio, atom, input, output}) {
        lilv_node_free(node);
    }
}

TEST(FluxetLV2Bundle, PublishesEveryParameterFromTheTable) {
    LilvWorld* world = Host().World();
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        LilvNode* subject = Uri(variant.uri);
        lilv_world_load_resource(world, subject);
        lilv_node_free(subject);
    }
    LilvNode* writable = Uri(LV2_PATCH__writable);
    LilvNode* readable = Uri(LV2_PATCH__readable);
    LilvNode* label = Uri(LILV_NS_RDFS "label");
    LilvNode* minimum = Uri(LV2_CORE__minimum);
    LilvNode* maximum = Uri(LV2_CORE__maximum);
    LilvNode* defaultValue = Uri(LV2_CORE__default);
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        LilvNode* subject = Uri(variant.uri);
        for (LilvNode* predicate : {writable, readable}) {
            LilvNodes* properties = lilv_world_find_nodes(world, subject, predicate, nullptr);
            EXPECT_EQ(lilv_nodes_size(properties), unsigned(kNumParameters));
            lilv_nodes_free(properties);
        }
        lilv_node_free(subject);
    }
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        SCOPED_TRACE(astParamInfos[id].name);
        LilvNode* property = Uri(ParameterURI(id).c_str());
        LilvNode* name = lilv_world_get(world, property, label, nullptr);
        ASSERT_NE(name, nullptr);
        EXPECT_STREQ(lilv_node_as_string(name), astParamInfos[id].name);
        const std::pair<LilvNode*, float> bounds[] = {
            {minimum, astParamInfos[id].minValue},
            {maximum, astParamInfos[id].maxValue},
            {defaultValue, astParamInfos[id].defaultValue}};
        for (const auto& [predicate, expected] : bounds) {
            LilvNode* value = lilv_world_get(world, property, predicate, nullptr);
            ASSERT_NE(value, nullptr);
            EXPECT_EQ(lilv_node_as_float(value), expected);
            lilv_node_free(value);
        }
        lilv_node_free(name);
        lilv_node_free(property);
    }
    for (LilvNode* node : {writable, readable, label, minimum, maximum, defaultValue}) {
        lilv_node_free(node);
    }
}

// Hosts keep these URIs in saved sessions; renaming a parameter must not move them.
TEST(FluxetLV2Bundle, ParameterURIsStayAsPublished) {
    const char* const kSymbols[kNumParameters] = {
        "dry_level",       "effect_level",
        "speed_superfine", "speed_fine",
        "speed_coarse",    "depth_fine",
        "depth_coarse",    "shape",
        "spread",          "bias",
        "feedback",        "speed_lfo_speed",
        "speed_lfo_depth", "depth_lfo_speed",
        "depth_lfo_depth", "osc_port_offset",
    };
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_EQ(ParameterURI(id),
                  std::string("http://morvane.com/plugins/fluxet#") + kSymbols[id]);
    }
    EXPECT_EQ(FluxetLV2PresetURI(13),
              "http://morvane.com/plugins/fluxet/presets#play_with_the_coarse_speed");
}

TEST(FluxetLV2Bundle, ListsTheFactoryPresetsForBothPlugins) {
    LilvNode* presetClass = Uri(LV2_PRESETS__Preset);
    LilvNode* label = Uri(LILV_NS_RDFS "label");
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        LilvNodes* related = lilv_plugin_get_related(Host().Plugin(variant.uri), presetClass);
        std::set<std::string> names;
        LILV_FOREACH(nodes, i, related) {
            const LilvNode* preset = lilv_nodes_get(related, i);
            lilv_world_load_resource(Host().World(), preset);
            LilvNode* name = lilv_world_get(Host().World(), preset, label, nullptr);
            ASSERT_NE(name, nullptr);
            names.insert(lilv_node_as_string(name));
            lilv_node_free(name);
        }
        lilv_nodes_free(related);
        std::set<std::string> expected;
        for (const MrvnFactoryPreset& preset : astPresets) {
            expected.insert(preset.name);
        }
        EXPECT_EQ(names, expected) << variant.uri;
    }
    lilv_node_free(presetClass);
    lilv_node_free(label);
}

// ---------------------------------------------------------------------------------------------
// Presets and state

class FluxetLV2Preset : public ::testing::TestWithParam<int> {};

TEST_P(FluxetLV2Preset, LoadsThroughLilvWithTheTableValuesAndName) {
    CompleteFactoryPresets();
    const int index = GetParam();
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 512);
    LilvNode* presetNode = Uri(FluxetLV2PresetURI(index).c_str());
    lilv_world_load_resource(Host().World(), presetNode);
    LilvState* state = lilv_state_new_from_world(Host().World(), Host().UridMap(), presetNode);
    ASSERT_NE(state, nullptr);
    EXPECT_STREQ(lilv_state_get_label(state), astPresets[index].name);
    lilv_state_restore(state, instance.Instance(), nullptr, nullptr, 0, Host().Features(512));

    // A restore is reported in full with the next block, without being asked.
    Buffers output;
    const auto reported = ReportedByParameter(instance.Run(0, Buffers(2), 0, output));
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const float expected = id == kParam_OSCPortOffset
                                   ? float(TruncatedOSCPortOffset(astPresets[index].values[id]))
                                   : astPresets[index].values[id];
        EXPECT_TRUE(SameBits(reported[id], expected))
            << astParamInfos[id].name << ": " << reported[id] << " != " << expected;
    }
    const auto saved = instance.SaveProperties();
    const auto name = saved.find(Host().Map(kFluxetLV2PresetNameURI));
    ASSERT_NE(name, saved.end());
    EXPECT_STREQ(reinterpret_cast<const char*>(name->second.bytes.data()), astPresets[index].name);
    lilv_state_free(state);
    lilv_node_free(presetNode);
}

INSTANTIATE_TEST_SUITE_P(AllFactoryPresets, FluxetLV2Preset,
                         ::testing::Range(0, int(kNumFactoryPresets)));

TEST(FluxetLV2State, SavedStateRestoresEveryValueInAnotherInstance) {
    CompleteFactoryPresets();
    auto first = std::make_unique<LV2TestInstance>(Host(), kFluxetLV2StereoURI, 256);
    // Start from a factory preset, so that the state carries its name, then move some values.
    LilvNode* presetNode = Uri(FluxetLV2PresetURI(9).c_str());
    lilv_world_load_resource(Host().World(), presetNode);
    LilvState* preset = lilv_state_new_from_world(Host().World(), Host().UridMap(), presetNode);
    lilv_state_restore(preset, first->Instance(), nullptr, nullptr, 0, Host().Features(256));
    ControlSequence control(Host());
    control.PatchSet(0, ParameterURI(kParam_DepthCoarse), 123.25f);
    control.PatchSet(10, ParameterURI(kParam_Shape), 2.5f);
    control.PatchSet(20, ParameterURI(kParam_Feedback), -37.5f);
    const int32_t offset = 42;
    control.PatchSetAtom(30, ParameterURI(kParam_OSCPortOffset), Host().Map(LV2_ATOM__Int), &offset,
                         sizeof(offset));
    Buffers output;
    first->Run(256, TestSignal(2, 256), 0, output, &control);
    const auto before = QueryAll(*first);

    LilvState* state = lilv_state_new_from_instance(
        Host().Plugin(kFluxetLV2StereoURI), first->Instance(), Host().UridMap(), nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
        Host().Features(256));
    ASSERT_NE(state, nullptr);
    // Gone before the second opens its OSC port, which is the same.
    first.reset();

    LV2TestInstance second(Host(), kFluxetLV2StereoURI, 256);
    const auto defaults = QueryAll(second);
    EXPECT_EQ(defaults[kParam_DepthCoarse], astParamInfos[kParam_DepthCoarse].defaultValue);
    lilv_state_restore(state, second.Instance(), nullptr, nullptr, 0, Host().Features(256));
    const auto after = QueryAll(second);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_TRUE(SameBits(after[id], before[id]))
            << astParamInfos[id].name << ": " << after[id] << " != " << before[id];
    }
    EXPECT_EQ(after[kParam_OSCPortOffset], 42.0f);
    const auto saved = second.SaveProperties();
    const auto name = saved.find(Host().Map(kFluxetLV2PresetNameURI));
    ASSERT_NE(name, saved.end());
    EXPECT_STREQ(reinterpret_cast<const char*>(name->second.bytes.data()), astPresets[9].name);

    lilv_state_free(state);
    lilv_state_free(preset);
    lilv_node_free(presetNode);
}

TEST(FluxetLV2State, StoresPortableValuesOfTheDeclaredTypes) {
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 128);
    const auto saved = instance.SaveProperties();
    EXPECT_EQ(saved.size(), size_t(kNumParameters) + 1);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const auto found = saved.find(Host().Map(ParameterURI(id).c_str()));
        ASSERT_NE(found, saved.end()) << astParamInfos[id].name;
        const bool integer = id == kParam_OSCPortOffset;
        EXPECT_EQ(found->second.type, Host().Map(integer ? LV2_ATOM__Int : LV2_ATOM__Float));
        ASSERT_EQ(found->second.bytes.size(), 4u);
    }
}

// Hosts that restore while the audio thread runs must see the restored values win, and the
// audio thread must never stop or see torn state.
TEST(FluxetLV2State, RestoreWhileRunningEndsWithTheRestoredValues) {
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 128);
    LilvNode* presetNode = Uri(FluxetLV2PresetURI(11).c_str());
    lilv_world_load_resource(Host().World(), presetNode);
    LilvState* preset = lilv_state_new_from_world(Host().World(), Host().UridMap(), presetNode);
    ASSERT_NE(preset, nullptr);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    const Buffers input = TestSignal(2, 128);
    std::thread audio([&] {
        Buffers output;
        while (!stop.load()) {
            output.clear();
            instance.Run(128, input, 0, output);
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 20; ++i) {
        lilv_state_restore(preset, instance.Instance(), nullptr, nullptr, 0, Host().Features(128));
    }
    while (blocks.load() < 5) {
        std::this_thread::yield();
    }
    stop.store(true);
    audio.join();
    const auto values = QueryAll(instance);
    CompleteFactoryPresets();
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_TRUE(SameBits(values[id], astPresets[11].values[id])) << astParamInfos[id].name;
    }
    lilv_state_free(preset);
    lilv_node_free(presetNode);
}

// ---------------------------------------------------------------------------------------------
// Parameter changes at their frames

struct FrameCase {
    int32_t maxBlock;
    uint32_t frames;
    std::vector<uint32_t> offsets; // alternately dry on and dry off
};

class FluxetLV2Frames : public ::testing::TestWithParam<FrameCase> {};

// "Dry Level" mixes the input into the output, so the frames where it is up show the input
// on top of an otherwise identical render. The engine computes its sweep once per slice, so the
// reference is split at the same frames by events that leave the level where it is.
TEST_P(FluxetLV2Frames, AudioChangesExactlyAtTheEventFrames) {
    const FrameCase& c = GetParam();
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        SCOPED_TRACE(variant.uri);
        const Buffers input = TestSignal(variant.channels, c.frames, 7);
        LV2TestInstance plain(Host(), variant.uri, c.maxBlock);
        LV2TestInstance moved(Host(), variant.uri, c.maxBlock);
        ControlSequence unchanged(Host());
        ControlSequence control(Host());
        for (std::size_t i = 0; i < c.offsets.size(); ++i) {
            unchanged.PatchSet(c.offsets[i], ParameterURI(kParam_DryLevel), 0.0f);
            control.PatchSet(c.offsets[i], ParameterURI(kParam_DryLevel), i % 2 == 0 ? 1.0f : 0.0f);
        }
        Buffers expected;
        Buffers actual;
        plain.Run(c.frames, input, 0, expected, &unchanged);
        const auto reports = moved.Run(c.frames, input, 0, actual, &control);
        EXPECT_TRUE(reports.empty()) << "host changes must not be echoed";
        for (uint32_t ch = 0; ch < variant.channels; ++ch) {
            for (uint32_t i = 0; i < c.frames; ++i) {
                const auto up =
                    std::upper_bound(c.offsets.begin(), c.offsets.end(), i) - c.offsets.begin();
                const bool dryOn = up % 2 == 1;
                ASSERT_EQ(SameBits(actual[ch][i], expected[ch][i]), !dryOn)
                    << "channel " << ch << " frame " << i;
            }
        }
    }
}

void PrintTo(const FrameCase& c, std::ostream* out) {
    *out << c.frames << " frames, maximum " << c.maxBlock << ", events at";
    for (const uint32_t offset : c.offsets) {
        *out << " " << offset;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, FluxetLV2Frames,
    ::testing::Values(FrameCase{1024, 1024, {0}}, FrameCase{1024, 1024, {1}},
                      FrameCase{1024, 1024, {300}}, FrameCase{1024, 1024, {1023}},
                      FrameCase{1024, 1024, {100, 700}}, FrameCase{1024, 512, {0, 1, 2, 511}},
                      // Blocks longer than the maximum are rendered in several calls.
                      FrameCase{256, 1000, {255, 256, 700, 999}},
                      FrameCase{64, 300, {10, 130, 131}}));

// More changes in one block than the unit takes per render call: none is lost, the last holds.
TEST(FluxetLV2Slices, ChangesBeyondWhatOneRenderCarriesAreNotLost) {
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 1024);
    ControlSequence control(Host(), 1 << 17);
    for (int i = 0; i < 700; ++i) {
        control.PatchSet(i, ParameterURI(UInt32(i % 3 == 0 ? kParam_Bias : kParam_Spread)),
                         float(i) / 1000.0f);
    }
    Buffers output;
    instance.Run(1024, TestSignal(2, 1024), 0, output, &control);
    const auto values = QueryAll(instance);
    EXPECT_EQ(values[kParam_Bias], 0.699f);
    EXPECT_EQ(values[kParam_Spread], 0.698f);
}

// A block longer than the unit's maximum equals the same frames in host blocks of the maximum.
TEST(FluxetLV2Slices, LongBlockEqualsTheSameFramesInMaximumBlocks) {
    const Buffers input = TestSignal(2, 1000, 3);
    LV2TestInstance whole(Host(), kFluxetLV2StereoURI, 256);
    LV2TestInstance pieces(Host(), kFluxetLV2StereoURI, 256);
    ControlSequence control(Host());
    control.PatchSet(700, ParameterURI(kParam_DepthFine), 7.5f);
    control.PatchSet(900, ParameterURI(kParam_Feedback), 50.0f);
    Buffers expected;
    whole.Run(1000, input, 0, expected, &control);

    Buffers actual;
    ControlSequence piece(Host());
    pieces.Run(256, input, 0, actual);
    pieces.Run(256, input, 256, actual);
    piece.PatchSet(700 - 512, ParameterURI(kParam_DepthFine), 7.5f);
    pieces.Run(256, input, 512, actual, &piece);
    piece.Clear();
    piece.PatchSet(900 - 768, ParameterURI(kParam_Feedback), 50.0f);
    pieces.Run(232, input, 768, actual, &piece);
    for (int ch = 0; ch < 2; ++ch) {
        ASSERT_EQ(actual[ch].size(), expected[ch].size());
        for (std::size_t i = 0; i < expected[ch].size(); ++i) {
            ASSERT_TRUE(SameBits(actual[ch][i], expected[ch][i])) << "frame " << i;
        }
    }
}

TEST(FluxetLV2Slices, InPlaceBuffersGiveTheSameAudio) {
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        const Buffers input = TestSignal(variant.channels, 2048, 5);
        LV2TestInstance separate(Host(), variant.uri, 512);
        LV2TestInstance shared(Host(), variant.uri, 512);
        ControlSequence control(Host());
        control.PatchSet(0, ParameterURI(kParam_DryLevel), 0.5f);
        control.PatchSet(100, ParameterURI(kParam_DepthCoarse), 30.0f);
        Buffers expected;
        Buffers actual;
        for (std::size_t at = 0; at < 2048; at += 512) {
            const ControlSequence* events = at == 0 ? &control : nullptr;
            separate.Run(512, input, at, expected, events);
            shared.Run(512, input, at, actual, events, /*inPlace=*/true);
        }
        for (uint32_t ch = 0; ch < variant.channels; ++ch) {
            for (std::size_t i = 0; i < 2048; ++i) {
                ASSERT_TRUE(SameBits(actual[ch][i], expected[ch][i]))
                    << variant.uri << " channel " << ch << " frame " << i;
            }
        }
    }
}

TEST(FluxetLV2Slices, ZeroFramesStillTakesEventsAndWritesAValidSequence) {
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 512);
    ControlSequence control(Host());
    control.PatchSet(0, ParameterURI(kParam_Bias), 0.75f);
    Buffers output;
    const auto reports = instance.Run(0, Buffers(1), 0, output, &control);
    EXPECT_TRUE(reports.empty());
    const LV2_Atom_Sequence* notify = instance.Notifications();
    EXPECT_EQ(notify->atom.type, Host().Map(LV2_ATOM__Sequence));
    EXPECT_EQ(notify->atom.size, sizeof(LV2_Atom_Sequence_Body));
    EXPECT_EQ(QueryAll(instance)[kParam_Bias], 0.75f);
}

// ---------------------------------------------------------------------------------------------
// Parameter messages

TEST(FluxetLV2Messages, GetIsAnsweredWithEveryParameter) {
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 512);
    ControlSequence control(Host());
    control.PatchSet(0, ParameterURI(kParam_Spread), 0.25f);
    control.PatchGet(100);
    Buffers output;
    const auto reports = instance.Run(512, TestSignal(2, 512), 0, output, &control);
    ASSERT_EQ(reports.size(), size_t(kNumParameters));
    std::set<std::string> properties;
    for (const ReportedValue& report : reports) {
        properties.insert(report.property);
        EXPECT_GE(report.frame, 0);
        EXPECT_LT(report.frame, 512);
    }
    EXPECT_EQ(properties.size(), size_t(kNumParameters));
    const auto values = ReportedByParameter(reports);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const float expected = id == kParam_Spread ? 0.25f : astParamInfos[id].defaultValue;
        EXPECT_EQ(values[id], expected) << astParamInfos[id].name;
    }
    const auto offsetType = std::find_if(reports.begin(), reports.end(), [](const auto& r) {
        return r.property == ParameterURI(kParam_OSCPortOffset);
    });
    EXPECT_EQ(offsetType->type, Host().Map(LV2_ATOM__Int));
}

TEST(FluxetLV2Messages, GetOfOnePropertyIsAnsweredWithThatOne) {
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 512);
    ControlSequence control(Host());
    const std::string shape = ParameterURI(kParam_Shape);
    control.PatchGet(0, &shape);
    Buffers output;
    const auto reports = instance.Run(64, TestSignal(2, 64), 0, output, &control);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].property, shape);
}

struct ValueCase {
    const char* what;
    AudioUnitParameterID id;
    const char* type;
    double value;
    float expected;
};

class FluxetLV2Values : public ::testing::TestWithParam<ValueCase> {};

void PrintTo(const ValueCase& c, std::ostream* out) {
    *out << c.what;
}

TEST_P(FluxetLV2Values, HostValuesAreReadAndHeldToTheRange) {
    const ValueCase& c = GetParam();
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 512);
    ControlSequence control(Host());
    const LV2_URID type = Host().Map(c.type);
    if (type == Host().Map(LV2_ATOM__Double)) {
        control.PatchSetAtom(0, ParameterURI(c.id), type, &c.value, sizeof(c.value));
    } else if (type == Host().Map(LV2_ATOM__Int)) {
        const int32_t v = int32_t(c.value);
        control.PatchSetAtom(0, ParameterURI(c.id), type, &v, sizeof(v));
    } else if (type == Host().Map(LV2_ATOM__Long)) {
        const int64_t v = int64_t(c.value);
        control.PatchSetAtom(0, ParameterURI(c.id), type, &v, sizeof(v));
    } else if (type == Host().Map(LV2_ATOM__String)) {
        control.PatchSetAtom(0, ParameterURI(c.id), type, "0.5", 4);
    } else {
        control.PatchSet(0, ParameterURI(c.id), float(c.value));
    }
    Buffers output;
    instance.Run(64, TestSignal(2, 64), 0, output, &control);
    const auto values = QueryAll(instance);
    EXPECT_TRUE(SameBits(values[c.id], c.expected)) << values[c.id];
    for (const float v : values) {
        EXPECT_TRUE(std::isfinite(v));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, FluxetLV2Values,
    ::testing::Values(ValueCase{"float", kParam_Spread, LV2_ATOM__Float, 0.5, 0.5f},
                      ValueCase{"double", kParam_SpeedFine, LV2_ATOM__Double, 7.25, 7.25f},
                      ValueCase{"int", kParam_OSCPortOffset, LV2_ATOM__Int, 12, 12.0f},
                      ValueCase{"long", kParam_DepthCoarse, LV2_ATOM__Long, 300, 300.0f},
                      ValueCase{"above", kParam_DryLevel, LV2_ATOM__Float, 5.0, 1.0f},
                      ValueCase{"below", kParam_Feedback, LV2_ATOM__Double, -1e9, -100.0f},
                      ValueCase{"shape above published", kParam_Shape, LV2_ATOM__Float, 7.0, 4.0f},
                      ValueCase{"nan", kParam_Bias, LV2_ATOM__Float, std::nan(""), 0.0f},
                      ValueCase{"infinity", kParam_Bias, LV2_ATOM__Double, INFINITY, 0.0f},
                      ValueCase{"string", kParam_Bias, LV2_ATOM__String, 0.0, 0.0f}),
    [](const auto& info) {
        std::string name = info.param.what;
        std::replace(name.begin(), name.end(), ' ', '_');
        return name;
    });

TEST(FluxetLV2Messages, AFullNotificationPortDefersTheRestToTheNextBlocks) {
    LV2TestInstance instance(Host(), kFluxetLV2StereoURI, 512);
    instance.SetNotifyCapacity(600);
    ControlSequence control(Host());
    control.PatchGet(0);
    Buffers output;
    std::vector<ReportedValue> all = instance.Run(64, TestSignal(2, 64), 0, output, &control);
    EXPECT_GT(all.size(), 0u);
    EXPECT_LT(all.size(), size_t(kNumParameters));
    for (int block = 0; block < 8; ++block) {
        const auto more = instance.Run(64, TestSignal(2, 64), 0, output);
        all.insert(all.end(), more.begin(), more.end());
    }
    std::multiset<std::string> properties;
    for (const ReportedValue& report : all) {
        properties.insert(report.property);
    }
    EXPECT_EQ(properties.size(), size_t(kNumParameters));
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_EQ(properties.count(ParameterURI(id)), 1u) << astParamInfos[id].name;
    }
}

TEST(FluxetLV2Messages, ReportsWaitForANotificationPort) {
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 512);
    LilvNode* presetNode = Uri(FluxetLV2PresetURI(2).c_str());
    lilv_world_load_resource(Host().World(), presetNode);
    LilvState* preset = lilv_state_new_from_world(Host().World(), Host().UridMap(), presetNode);
    lilv_state_restore(preset, instance.Instance(), nullptr, nullptr, 0, Host().Features(512));
    Buffers output;
    instance.ConnectNotifications(false);
    instance.Run(64, TestSignal(1, 64), 0, output);
    instance.ConnectNotifications(true);
    const auto reports = instance.Run(64, TestSignal(1, 64), 0, output);
    EXPECT_EQ(reports.size(), size_t(kNumParameters));
    EXPECT_EQ(ReportedByParameter(reports)[kParam_DryLevel], astPresets[2].values[kParam_DryLevel]);
    lilv_state_free(preset);
    lilv_node_free(presetNode);
}

// Some hosts (jalv 1.6) hand out sequences four bytes off the 64-bit alignment atoms need.
TEST(FluxetLV2Messages, SequencesOffTheirAlignmentAreReadAndWritten) {
    LV2TestInstance instance(Host(), kFluxetLV2MonoURI, 256);
    ControlSequence control(Host());
    control.PatchSet(0, ParameterURI(kParam_Bias), 0.5f);
    control.MIDI(5, {0xB0, 7, 100});
    control.PatchGet(10);
    const LV2_Atom_Sequence* sequence = control.Sequence();
    const std::size_t size = sizeof(LV2_Atom) + sequence->atom.size;
    std::vector<uint64_t> inStorage(size / 8 + 2);
    std::vector<uint64_t> outStorage(1024);
    auto* shiftedIn = reinterpret_cast<uint8_t*>(inStorage.data()) + 4;
    auto* shiftedOut = reinterpret_cast<uint8_t*>(outStorage.data()) + 4;
    std::memcpy(shiftedIn, sequence, size);
    const LV2_Atom capacity{uint32_t(outStorage.size() * 8 - 8 - sizeof(LV2_Atom)),
                            Host().Map(LV2_ATOM__Chunk)};
    std::memcpy(shiftedOut, &capacity, sizeof(capacity));
    std::vector<float> in(64, 0.25f);
    std::vector<float> out(64);
    LilvInstance* lilv = instance.Instance();
    lilv_instance_connect_port(lilv, 0, shiftedIn);
    lilv_instance_connect_port(lilv, 1, shiftedOut);
    lilv_instance_connect_port(lilv, 2, in.data());
    lilv_instance_connect_port(lilv, 3, out.data());
    lilv_instance_run(lilv, 64);

    LV2_Atom written;
    std::memcpy(&written, shiftedOut, sizeof(written));
    ASSERT_EQ(written.type, Host().Map(LV2_ATOM__Sequence));
    std::vector<uint64_t> aligned(outStorage.size());
    std::memcpy(aligned.data(), shiftedOut, sizeof(LV2_Atom) + written.size);
    const auto reports =
        MV::test::ReadReports(Host(), reinterpret_cast<const LV2_Atom_Sequence*>(aligned.data()));
    ASSERT_EQ(reports.size(), size_t(kNumParameters));
    EXPECT_EQ(ReportedByParameter(reports)[kParam_Bias], 0.5f);
}

// ---------------------------------------------------------------------------------------------
// Real time

TEST(FluxetLV2RealTime, RunAllocatesNothing) {
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        SCOPED_TRACE(variant.uri);
        LV2TestInstance instance(Host(), variant.uri, 256);
        ControlSequence control(Host());
        // Many changes at many frames across three slices, MIDI and a full report. (System
        // exclusive is left out: a message longer than any before it may take memory.)
        for (int i = 0; i < 100; ++i) {
            const UInt32 id = UInt32(i % 15);
            control.PatchSet(i * 7, ParameterURI(id),
                             astParamInfos[id].minValue + 0.01f * float(i));
        }
        control.MIDI(10, {0xB0, 1, 64});
        control.MIDI(300, {0x90, 60, 100});
        control.MIDI(301, {0xE0, 0, 64});
        control.PatchGet(500);
        std::vector<float> in(700 * variant.channels, 0.25f);
        std::vector<float> out(700 * variant.channels);
        std::vector<uint64_t> notify(1024);
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(notify.data());
        LilvInstance* lilv = instance.Instance();
        lilv_instance_connect_port(lilv, 0, const_cast<LV2_Atom_Sequence*>(control.Sequence()));
        lilv_instance_connect_port(lilv, 1, sequence);
        for (uint32_t c = 0; c < variant.channels; ++c) {
            lilv_instance_connect_port(lilv, 2 + c, in.data() + 700 * c);
            lilv_instance_connect_port(lilv, 2 + variant.channels + c, out.data() + 700 * c);
        }
        std::size_t allocations = 0;
        for (const uint32_t frames : {700u, 0u, 700u}) {
            sequence->atom.size = uint32_t(notify.size() * 8 - sizeof(LV2_Atom));
            const MV::test::AllocationCounter counter;
            lilv_instance_run(lilv, frames);
            allocations += counter.Allocations();
        }
        EXPECT_EQ(allocations, 0u);
        EXPECT_GT(sequence->atom.size, sizeof(LV2_Atom_Sequence_Body)) << "the report went out";
    }
}

} // namespace
