// The built bundle loaded through lilv as a host loads it: stable URIs, state, parameter changes
// at their frames, notifications, changes from scripts and OSC, real time.
#include <atomic>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>

#include "LV2TestHost.h"

namespace MV::test {
namespace {

// Hosts keep these URIs in saved sessions; renaming a parameter must not move them.
TEST(FluxetLV2Bundle, EveryParameterKeepsItsStableURI) {
    std::istringstream symbols("dry_level effect_level speed_superfine speed_fine speed_coarse "
                               "depth_fine depth_coarse shape spread bias feedback speed_lfo_speed "
                               "speed_lfo_depth depth_lfo_speed depth_lfo_depth osc_port_offset");
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        std::string symbol;
        symbols >> symbol;
        EXPECT_EQ(FluxetLV2ParameterURI(id), "http://morvane.com/plugins/fluxet#" + symbol);
    }
}

TEST(FluxetLV2State, SavedStateRestoresEveryValueInAnotherInstance) {
    CompleteFactoryPresets();
    auto first = std::make_unique<LV2TestInstance>(kFluxetLV2StereoURI, 256);
    // From a factory preset, so that the state carries its name, then some values moved.
    first->Restore(Host().PresetState(9));
    ControlSequence control;
    control.PatchSet(0, kParam_DepthCoarse, 123.25f);
    control.PatchSet(10, kParam_Shape, 2.5f);
    control.PatchSet(20, kParam_Feedback, -37.5f);
    control.PatchSet(30, kParam_OSCPortOffset, 42);
    first->Run(256, &control);
    const auto before = first->QueryAll();
    // Portable values of the declared types: the sixteen and the preset's name.
    const StoredProperties saved = first->SaveProperties();
    EXPECT_EQ(saved.size(), size_t(kNumParameters) + 1);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        const auto found = saved.find(ParameterURID(id));
        ASSERT_NE(found, saved.end()) << astParamInfos[id].name;
        const char* type = id == kParam_OSCPortOffset ? LV2_ATOM__Int : LV2_ATOM__Float;
        EXPECT_EQ(found->second.type, Host().Map(type));
        EXPECT_EQ(found->second.bytes.size(), 4u);
    }
    LilvState* state = lilv_state_new_from_instance(
        Host().Plugin(kFluxetLV2StereoURI), first->Instance(), Host().UridMap(), nullptr, nullptr,
        nullptr, nullptr, nullptr, nullptr, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
        Host().Features(256));
    ASSERT_NE(state, nullptr);
    first.reset(); // gone before the second opens its OSC port, which is the same

    LV2TestInstance second(kFluxetLV2StereoURI, 256);
    EXPECT_EQ(second.QueryAll()[kParam_DepthCoarse],
              astParamInfos[kParam_DepthCoarse].defaultValue);
    second.Restore(state);
    const auto after = ReportedByParameter(second.Run(0)); // reported in full without being asked
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_TRUE(SameBits(after[id], before[id]))
            << astParamInfos[id].name << ": " << after[id] << " != " << before[id];
    }
    EXPECT_EQ(after[kParam_OSCPortOffset], 42.0f);
    const StoredProperties restored = second.SaveProperties();
    const auto name = restored.find(Host().Map(kFluxetLV2PresetNameURI));
    ASSERT_NE(name, restored.end());
    EXPECT_STREQ((const char*)name->second.bytes.data(), astPresets[9].name);
    lilv_state_free(state);
}

// Hosts that restore while the audio thread runs must see the restored values win, and the
// audio thread must never stop or see torn state.
TEST(FluxetLV2State, RestoreWhileRunningEndsWithTheRestoredValues) {
    CompleteFactoryPresets();
    LV2TestInstance instance(kFluxetLV2StereoURI, 128);
    LilvState* preset = Host().PresetState(11);
    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    std::thread audio([&] {
        while (!stop.load()) {
            instance.Run(128);
            blocks.fetch_add(1);
        }
    });
    for (int i = 0; i < 20; ++i) {
        instance.Restore(preset);
    }
    while (blocks.load() < 5) {
        std::this_thread::yield();
    }
    stop.store(true);
    audio.join();
    const auto values = instance.QueryAll();
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_TRUE(SameBits(values[id], astPresets[11].values[id])) << astParamInfos[id].name;
    }
}

// "Dry Level" mixes the input into the output, so the frames where it is up show the input on
// top of an otherwise identical render. The engine computes its sweep once per slice, so the
// reference is split at the same frames by events that leave the level where it is. The moved
// render runs in place; blocks longer than the maximum are rendered in several calls.
TEST(FluxetLV2Frames, AudioChangesExactlyAtTheEventFrames) {
    const std::tuple<int32_t, uint32_t, std::vector<uint32_t>> cases[] = {
        {1024, 1024, {0}},
        {1024, 1024, {1023}},
        {1024, 1024, {100, 700}},
        {1024, 512, {0, 1, 2, 511}},
        {256, 1000, {255, 256, 700, 999}},
        {64, 300, {10, 130, 131}}};
    for (const auto& [maxBlock, frames, offsets] : cases) {
        for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
            SCOPED_TRACE(std::string(variant.uri) + ", maximum " + std::to_string(maxBlock) +
                         ", first event at " + std::to_string(offsets[0]));
            const Buffers input = TestSignal(variant.channels, frames, 7);
            LV2TestInstance plain(variant.uri, maxBlock);
            LV2TestInstance moved(variant.uri, maxBlock);
            ControlSequence unchanged;
            ControlSequence control;
            for (std::size_t i = 0; i < offsets.size(); ++i) {
                unchanged.PatchSet(offsets[i], kParam_DryLevel, 0.0f);
                control.PatchSet(offsets[i], kParam_DryLevel, i % 2 == 0 ? 1.0f : 0.0f);
            }
            plain.Run(frames, &unchanged, &input);
            EXPECT_TRUE(moved.Run(frames, &control, &input, true).empty())
                << "host changes must not be echoed";
            EXPECT_EQ(Flips(moved.output, plain.output), std::vector(variant.channels, offsets));
        }
    }
}

// More changes in one block than the unit takes per render call: none is lost, the last holds.
TEST(FluxetLV2Slices, ChangesBeyondWhatOneRenderCarriesAreNotLost) {
    LV2TestInstance instance(kFluxetLV2StereoURI, 1024);
    ControlSequence control(1 << 17);
    for (int i = 0; i < 700; ++i) {
        control.PatchSet(i, i % 3 == 0 ? kParam_Bias : kParam_Spread, float(i) / 1000.0f);
    }
    instance.Run(1024, &control);
    const auto values = instance.QueryAll();
    EXPECT_EQ(values[kParam_Bias], 0.699f);
    EXPECT_EQ(values[kParam_Spread], 0.698f);
}

template <class T> std::vector<uint8_t> Body(T value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof(value));
}

// Host values of any number type are read and held to the range, others ignored; a patch:Get is
// answered with every parameter. All through sequences four bytes off the 64-bit alignment
// atoms need, as some hosts (jalv 1.6) hand them out.
TEST(FluxetLV2Messages, HostValuesAreHeldToTheRangeAndGetIsAnsweredOffTheAlignment) {
    LV2TestInstance instance(kFluxetLV2StereoURI, 512);
    instance.misaligned = true;
    const float effect = astParamInfos[kParam_EffectLevel].defaultValue;
    const std::tuple<const char*, AudioUnitParameterID, std::vector<uint8_t>, float> values[] = {
        {LV2_ATOM__Float, kParam_Spread, Body(0.25f), 0.25f},
        {LV2_ATOM__Double, kParam_SpeedFine, Body(7.25), 7.25f},
        {LV2_ATOM__Int, kParam_OSCPortOffset, Body(int32_t(12)), 12.0f},
        {LV2_ATOM__Long, kParam_DepthCoarse, Body(int64_t(300)), 300.0f},
        {LV2_ATOM__Float, kParam_DryLevel, Body(5.0f), 1.0f},     // above the range
        {LV2_ATOM__Double, kParam_Feedback, Body(-1e9), -100.0f}, // below it
        {LV2_ATOM__Float, kParam_Shape, Body(7.0f), 4.0f},        // above the published range
        {LV2_ATOM__Float, kParam_Bias, Body(std::nanf("")), 0.0f},
        {LV2_ATOM__String, kParam_EffectLevel, {'0', '.', '5', 0}, effect}};
    ControlSequence control;
    std::array<float, kNumParameters> expected;
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        expected[id] = astParamInfos[id].defaultValue;
    }
    for (const auto& [type, id, body, value] : values) {
        control.PatchSetAtom(0, id, type, body.data(), uint32_t(body.size()));
        expected[id] = value;
    }
    control.MIDI(5, {0xB0, 7, 100});
    control.PatchGet(100);
    const auto reports = instance.Run(512, &control);
    ASSERT_EQ(reports.size(), size_t(kNumParameters));
    const auto reported = ReportedByParameter(reports);
    for (UInt32 id = 0; id < kNumParameters; ++id) {
        EXPECT_TRUE(SameBits(reported[id], expected[id]))
            << astParamInfos[id].name << ": " << reported[id] << " != " << expected[id];
    }
    for (const ReportedValue& report : reports) {
        EXPECT_TRUE(report.frame >= 0 && report.frame < 512) << report.frame;
        const bool integer = report.property == ParameterURID(kParam_OSCPortOffset);
        EXPECT_EQ(report.type, Host().Map(integer ? LV2_ATOM__Int : LV2_ATOM__Float));
    }
    // Zero frames still take events, and write a valid empty sequence.
    control.Clear();
    control.PatchSet(0, kParam_Bias, 0.75f);
    EXPECT_TRUE(instance.Run(0, &control).empty());
    EXPECT_EQ(instance.Notifications()->atom.type, Host().Map(LV2_ATOM__Sequence));
    EXPECT_EQ(instance.Notifications()->atom.size, sizeof(LV2_Atom_Sequence_Body));
    EXPECT_EQ(instance.QueryAll()[kParam_Bias], 0.75f);
}

// A script's change is heard at its controller's frame whatever else splits the block: the
// host's changes, slices of the unit's maximum, and more MIDI than the unit takes in one render
// call, bunched at one frame or spread.
TEST(FluxetLV2Scripts, AScriptsChangeIsHeardAtItsFrameAndReportedToTheHost) {
    // For the instances created while it exists.
    const UserScript script("requestCC(21, function(channel, controller, value)\n"
                            "    setParameter('Dry Level', value / 127)\n"
                            "end)\n");
    // Runs of events in time order: (frame, count, kind) for controllers no script asks for
    // ('m'), changes that change nothing ('p') and the script's controller ('c').
    using Runs = std::vector<std::tuple<uint32_t, int, char>>;
    const std::tuple<int32_t, uint32_t, Runs> cases[] = {
        {1024, 1024, {{300, 1, 'c'}}},
        {1024, 1024, {{100, 1, 'p'}, {299, 1, 'p'}, {300, 1, 'c'}, {301, 1, 'p'}}},
        {1024, 1024, {{0, 1, 'p'}, {1, 1, 'p'}, {1, 1, 'c'}, {2, 1, 'p'}}},
        {256, 1000, {{50, 1, 'p'}, {690, 1, 'p'}, {700, 1, 'c'}}},
        {1024, 1024, {{0, 150, 'm'}, {300, 1, 'c'}}},
        {1024, 1024, {{5, 1, 'p'}, {10, 130, 'm'}, {10, 1, 'p'}, {10, 1, 'c'}}},
        {256, 1000, {{600, 70, 'm'}, {690, 1, 'p'}, {699, 70, 'm'}, {700, 1, 'c'}}},
    };
    for (const auto& [maxBlock, frames, runs] : cases) {
        LV2TestInstance scripted(kFluxetLV2StereoURI, maxBlock);
        LV2TestInstance plain(kFluxetLV2StereoURI, maxBlock);
        // Both renders are split alike; only the script's controller moves a parameter.
        ControlSequence moving;
        ControlSequence still;
        uint32_t controller = 0;
        for (const auto& [frame, count, kind] : runs) {
            controller = kind == 'c' ? frame : controller;
            for (int n = 0; n < count; ++n) {
                for (ControlSequence* control : {&moving, &still}) {
                    if (kind == 'p') {
                        control->PatchSet(frame, kParam_Bias, 0.0f);
                    } else {
                        const bool heard = kind == 'c' && control == &moving;
                        control->MIDI(frame, {0xB0, uint8_t(heard ? 21 : 22), 127});
                    }
                }
            }
        }
        SCOPED_TRACE("controller at " + std::to_string(controller));
        const Buffers input = TestSignal(2, frames, 11);
        EXPECT_TRUE(plain.Run(frames, &still, &input).empty());
        const auto reports = scripted.Run(frames, &moving, &input);
        EXPECT_EQ(Flips(scripted.output, plain.output),
                  std::vector(2, std::vector<uint32_t>{controller}));
        // Once, at the end of the render call that heard it.
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(reports[0].frame >= controller && reports[0].frame < frames);
        EXPECT_EQ(reports[0].property, ParameterURID(kParam_DryLevel));
        EXPECT_EQ(reports[0].value, 1.0f);
    }
}

// Changes made inside the unit (here by the OSC server's thread) go out as patch:Set once each,
// with the latest value, at the block's last frame. The host's changes reach the unit's other
// listeners, here an OSC registration, but not the host.
TEST(FluxetLV2Osc, TheInstanceAnswersOnItsPortAndChangesReachTheHostAndOtherListeners) {
    const int port = g_oscBasePort + 7;
    LV2TestInstance instance(kFluxetLV2MonoURI, 256);
    ControlSequence control;
    control.PatchSet(0, kParam_OSCPortOffset, 7);
    EXPECT_TRUE(instance.Run(64, &control).empty());
    const OscTestClient client;
    // The server may still be opening its port.
    ASSERT_TRUE(WaitUntil([&] { return PingRoundTrip(client, port, 100); }))
        << "nothing answers on 127.0.0.1:" << port;
    client.Send(port, Message("/set", int(kParam_Bias), 0.1f));
    client.Send(port, Message("/set", int(kParam_Shape), 6.0f));
    client.Send(port, Message("/set", int(kParam_Bias), 0.3f));
    const OscTestClient watcher;
    client.Send(port, Message("/registerUpdate", int(kParam_Spread), watcher.Address(), "/u"));
    ASSERT_TRUE(PingRoundTrip(client, port));
    const auto reports = instance.Run(64);
    // The unit keeps what is set beyond the published range.
    const LV2_URID type = Host().Map(LV2_ATOM__Float);
    EXPECT_EQ(reports, (std::vector<ReportedValue>{{63, ParameterURID(kParam_Shape), type, 6.0f},
                                                   {63, ParameterURID(kParam_Bias), type, 0.3f}}));
    control.Clear();
    control.PatchSet(10, kParam_Spread, 0.5f);
    control.PatchSet(20, kParam_Spread, 0.75f);
    EXPECT_TRUE(instance.Run(64, &control).empty()) << "reported twice, or the host's echoed";
    EXPECT_TRUE(WaitUntil([&] { return watcher.Next(100) == "#bundle /u ,if 8 0.75"; }));
    control.Clear();
    control.PatchSet(0, kParam_Spread, 0.25f);
    EXPECT_TRUE(instance.Run(0, &control).empty());
    EXPECT_TRUE(WaitUntil([&] { return watcher.Next(100) == "#bundle /u ,if 8 0.25"; }));
    // A preset's "OSC Port Offset" of 0 turns the server off.
    instance.Restore(Host().PresetState(2));
    EXPECT_TRUE(WaitUntil([&] { return IsUdpPortFree(port); })) << "port still held";
}

TEST(FluxetLV2RealTime, RunAllocatesNothing) {
    for (const FluxetLV2Variant& variant : kFluxetLV2Variants) {
        SCOPED_TRACE(variant.uri);
        LV2TestInstance instance(variant.uri, 256, Loading::InProcess);
        ControlSequence control;
        // Many changes at many frames across three slices, MIDI and a full report. (System
        // exclusive is left out: a message longer than any before it may take memory.)
        for (int i = 0; i < 100; ++i) {
            const UInt32 id = UInt32(i % 15);
            control.PatchSet(i * 7, id, astParamInfos[id].minValue + 0.01f * float(i));
        }
        control.MIDI(10, {0xB0, 1, 64});
        control.MIDI(300, {0x90, 60, 100});
        control.MIDI(301, {0xE0, 0, 64});
        for (int i = 0; i < 150; ++i) { // more than one render call takes, at one frame
            control.MIDI(400, {0xB0, 2, uint8_t(i)});
        }
        control.PatchGet(500);
        EXPECT_FALSE(instance.Run(700, &control).empty()) << "the report went out";
        EXPECT_EQ(instance.allocations, 0u);
        for (const uint32_t frames : {0u, 700u}) {
            instance.Run(frames, &control);
            EXPECT_EQ(instance.allocations, 0u) << frames;
        }
    }
}

} // namespace
} // namespace MV::test
