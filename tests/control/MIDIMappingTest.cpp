// The controller mapping's scaling and its learn/relearn bookkeeping.
#include <gtest/gtest.h>

#include "MrvnMIDIMapping.h"

namespace {

using Controller = MrvnMIDIMapping::Controller;
using Endpoint = MrvnMIDIMapping::Endpoint;
using Range = MrvnMIDIMapping::Range;

AUBase* FakeUnit(std::uintptr_t n) {
    return reinterpret_cast<AUBase*>(n * 64);
}

Controller CC(int number, int channel = 0, AUBase* unit = FakeUnit(1)) {
    return Controller{unit, 0, channel, MrvnMIDIMapping::kKind_ControlChange, number};
}

// Symmetric ranges centre on zero at 64, others are linear; indexed values floor, booleans switch.
TEST(MIDIMappingScale, ValuesByRangeAndUnit) {
    const Range bipolar{-1.0f, 1.0f, kAudioUnitParameterUnit_Generic};
    const Range unipolar{0.0f, 1.0f, kAudioUnitParameterUnit_Generic};
    const Range hertz{10.0f, 5000.0f, kAudioUnitParameterUnit_Hertz};
    const Range indexed{0.0f, 8.0f, kAudioUnitParameterUnit_Indexed};
    const Range semitones{-12.0f, 12.0f, kAudioUnitParameterUnit_RelativeSemiTones};
    const Range boolean{0.0f, 1.0f, kAudioUnitParameterUnit_Boolean};
    const struct {
        Range range;
        int value;
        Float32 expected, tolerance;
    } cases[] = {
        {bipolar, 0, -1.0f, 0},      {bipolar, 1, -1.0f, 0},       {bipolar, 64, 0.0f, 0},
        {bipolar, 127, 1.0f, 1e-6f}, {unipolar, 0, 0.0f, 0},       {unipolar, 127, 1.0f, 1e-6f},
        {hertz, 0, 10.0f, 0},        {hertz, 127, 5000.0f, 1e-3f}, {indexed, 1, 0.0f, 0},
        {indexed, 64, 4.0f, 0},      {indexed, 127, 8.0f, 0},      {semitones, 30, -7.0f, 0},
        {boolean, 0, 0.0f, 0},       {boolean, 1, 1.0f, 0},        {boolean, 127, 1.0f, 0}};
    for (const auto& c : cases) {
        EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(c.range, c.value), c.expected, c.tolerance)
            << c.range.minimum << ".." << c.range.maximum << " at " << c.value;
    }
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(unipolar, 64), 64.0f / 127.0f, 1e-6f);
    // One step either side of the centre lies on that side of zero.
    EXPECT_GT(MrvnMIDIMapping::ScaleValue(bipolar, 65), 0.0f);
    EXPECT_LT(MrvnMIDIMapping::ScaleValue(bipolar, 63), 0.0f);
}

// A relearned parameter takes its new range; the same controller again keeps the range.
TEST(MIDIMappingInsert, RelearningMovesOneParameterAndKeepsBothTablesConsistent) {
    MrvnMIDIMapping mapping;
    for (int parameter = 0; parameter < 4; ++parameter) {
        mapping.Insert(CC(1), Endpoint{FakeUnit(2), 0, parameter}, Range{0.0f, 1.0f, 0});
    }
    EXPECT_EQ(mapping.byController.count(CC(1)), 4u);
    const Endpoint moved{FakeUnit(2), 0, 2};
    mapping.Insert(CC(2), moved, Range{0.0f, 10.0f, 3});
    mapping.Insert(CC(2), moved, Range{0.0f, 400.0f, 3});
    EXPECT_EQ(mapping.byController.count(CC(1)), 3u);
    EXPECT_EQ(mapping.byController.count(CC(2)), 1u);
    ASSERT_EQ(mapping.byEndpoint.size(), 4u);
    EXPECT_EQ(mapping.byEndpoint.at(moved).controller.number, 2);
    EXPECT_EQ(mapping.byEndpoint.at(moved).range.maximum, 10.0f);
    for (const auto& [controller, endpoint] : mapping.byController) {
        EXPECT_TRUE(mapping.byEndpoint.at(endpoint).controller.SameKey(controller));
    }
}

TEST(MIDIMappingInsert, ControllersDifferByInstanceChannelKindAndNumberButNotGuid) {
    Controller a = CC(5), pressure = CC(5);
    pressure.kind = MrvnMIDIMapping::kKind_PolyPressure;
    for (const Controller& other : {CC(5, 1), CC(5, 0, FakeUnit(2)), CC(6), pressure}) {
        EXPECT_FALSE(a.SameKey(other));
    }
    a.guid = 42;
    EXPECT_TRUE(a.SameKey(CC(5)));
}

// With no instance registered (the tracker's registry is empty) nothing resolves.
TEST(MIDIMappingResolve, PendingRecordsOfUnknownInstancesAreDropped) {
    MrvnMIDIMapping mapping;
    mapping.pending.push_back(
        {Endpoint{nullptr, 7, 3}, Controller{nullptr, 8, 0, 0, 1}, Range{0.0f, 1.0f, 0}});
    mapping.Resolve();
    EXPECT_TRUE(mapping.pending.empty());
    EXPECT_TRUE(mapping.byEndpoint.empty());
}

} // namespace
