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

TEST(MIDIMappingScale, SymmetricRangeCentresOnZeroAndReachesBothEnds) {
    const Range bipolar{-1.0f, 1.0f, kAudioUnitParameterUnit_Generic};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(bipolar, 0), -1.0f);
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(bipolar, 1), -1.0f);
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(bipolar, 64), 0.0f);
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(bipolar, 127), 1.0f, 1e-6f);
    // One step above the centre lies above zero, one below lies below it.
    EXPECT_GT(MrvnMIDIMapping::ScaleValue(bipolar, 65), 0.0f);
    EXPECT_LT(MrvnMIDIMapping::ScaleValue(bipolar, 63), 0.0f);

    const Range feedback{-100.0f, 100.0f, kAudioUnitParameterUnit_Percent};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(feedback, 64), 0.0f);
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(feedback, 127), 100.0f, 1e-4f);
}

TEST(MIDIMappingScale, OtherRangesAreLinearOverTheFull7Bits) {
    const Range unipolar{0.0f, 1.0f, kAudioUnitParameterUnit_Generic};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(unipolar, 0), 0.0f);
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(unipolar, 127), 1.0f, 1e-6f);
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(unipolar, 64), 64.0f / 127.0f, 1e-6f);

    const Range coarse{10.0f, 5000.0f, kAudioUnitParameterUnit_Hertz};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(coarse, 0), 10.0f);
    EXPECT_NEAR(MrvnMIDIMapping::ScaleValue(coarse, 127), 5000.0f, 1e-3f);
}

TEST(MIDIMappingScale, UnitsRoundOrSwitch) {
    const Range indexed{0.0f, 8.0f, kAudioUnitParameterUnit_Indexed};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(indexed, 64), 4.0f);
    for (int v = 0; v <= 127; ++v) {
        const Float32 value = MrvnMIDIMapping::ScaleValue(indexed, v);
        EXPECT_EQ(value, static_cast<Float32>(static_cast<int>(value))) << v;
    }
    const Range semitones{-12.0f, 12.0f, kAudioUnitParameterUnit_RelativeSemiTones};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(semitones, 30), -7.0f); // -6.28 floors to -7

    const Range boolean{0.0f, 1.0f, kAudioUnitParameterUnit_Boolean};
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(boolean, 0), 0.0f);
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(boolean, 1), 1.0f);
    EXPECT_EQ(MrvnMIDIMapping::ScaleValue(boolean, 127), 1.0f);
}

// Relearning a parameter moves it to the new controller; the same controller keeps its range.
TEST(MIDIMappingInsert, RelearningMovesAParameterAndKeepsTheFirstRange) {
    MrvnMIDIMapping mapping;
    const Endpoint bias{FakeUnit(2), 0, 9};
    mapping.Insert(CC(20), bias, Range{0.0f, 400.0f, 3});
    mapping.Insert(CC(21), bias, Range{0.0f, 1.0f, 0});
    ASSERT_EQ(mapping.byEndpoint.size(), 1u);
    EXPECT_EQ(mapping.byEndpoint.at(bias).controller.number, 21);
    ASSERT_EQ(mapping.byController.size(), 1u);
    EXPECT_EQ(mapping.byController.begin()->first.number, 21);
    EXPECT_EQ(mapping.byController.count(CC(20)), 0u);

    mapping.Insert(CC(21), bias, Range{0.0f, 10.0f, 3});
    EXPECT_EQ(mapping.byEndpoint.at(bias).range.maximum, 1.0f);
    EXPECT_EQ(mapping.byController.size(), 1u);
}

TEST(MIDIMappingInsert, OneControllerDrivesSeveralParametersAndStaysConsistent) {
    MrvnMIDIMapping mapping;
    const Range range{0.0f, 1.0f, 0};
    for (int parameter = 0; parameter < 4; ++parameter) {
        mapping.Insert(CC(1), Endpoint{FakeUnit(2), 0, parameter}, range);
    }
    EXPECT_EQ(mapping.byController.count(CC(1)), 4u);
    // Moving one of them leaves the other three on controller 1.
    mapping.Insert(CC(2), Endpoint{FakeUnit(2), 0, 2}, range);
    EXPECT_EQ(mapping.byController.count(CC(1)), 3u);
    EXPECT_EQ(mapping.byController.count(CC(2)), 1u);
    for (const auto& [controller, endpoint] : mapping.byController) {
        EXPECT_TRUE(mapping.byEndpoint.at(endpoint).controller.SameKey(controller));
    }
}

TEST(MIDIMappingInsert, ControllersDifferByInstanceChannelKindAndNumberButNotGuid) {
    Controller a = CC(5, 0, FakeUnit(1));
    Controller withGuid = a;
    withGuid.guid = 42;
    EXPECT_TRUE(a.SameKey(withGuid));
    EXPECT_FALSE(a.SameKey(CC(5, 1, FakeUnit(1))));
    EXPECT_FALSE(a.SameKey(CC(5, 0, FakeUnit(2))));
    Controller pressure = a;
    pressure.kind = MrvnMIDIMapping::kKind_PolyPressure;
    EXPECT_FALSE(a.SameKey(pressure));
}

TEST(MIDIMappingResolve, PendingRecordsOfUnknownInstancesAreDropped) {
    MrvnMIDIMapping mapping;
    mapping.pending.push_back(
        {Endpoint{nullptr, 7, 3}, Controller{nullptr, 8, 0, 0, 1}, Range{0.0f, 1.0f, 0}});
    mapping.Resolve();
    EXPECT_TRUE(mapping.pending.empty());
    EXPECT_TRUE(mapping.byEndpoint.empty());
}

} // namespace
