// Scopes, elements and the two forms of parameter storage, on a bare unit.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "AUBase.h"
#include "AUError.h"

namespace {

OSStatus ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const AUError& error) {
        return error.GetStatus();
    }
    return noErr;
}

class FrameworkElement : public ::testing::Test {
protected:
    FrameworkElement() : unit(nullptr, 1, 2) { unit.CreateElements(); }

    AUBase unit;
};

TEST_F(FrameworkElement, ScopesHoldTheirElements) {
    EXPECT_EQ(unit.Outputs().GetNumberOfElements(), 2u);
    EXPECT_EQ(unit.Groups().GetNumberOfElements(), 0u);
    EXPECT_NE(dynamic_cast<AUInputElement*>(unit.Inputs().GetElement(0)), nullptr);
    EXPECT_NE(dynamic_cast<AUOutputElement*>(unit.Outputs().GetElement(1)), nullptr);
    EXPECT_EQ(dynamic_cast<AUIOElement*>(unit.Globals()), nullptr);
    // Creating again keeps the same element objects.
    AUElement* before = unit.Globals();
    unit.CreateElements();
    EXPECT_EQ(unit.Globals(), before);
    // Failed lookups answer their error through the host API (DispatchTest).
    EXPECT_EQ(unit.GetElementIfExists(kAudioUnitScope_Output, 2), nullptr);
    // The global scope's stream format is output 0's.
    EXPECT_EQ(&unit.GetIOElement(kAudioUnitScope_Global, 0), &unit.GetOutput(0));
}

TEST_F(FrameworkElement, IndexedStorageHoldsExactlyItsCount) {
    AUElement& element = *unit.Globals();
    element.UseIndexedParameters(3);
    ASSERT_EQ(element.GetNumberOfParameters(), 3u);
    element.SetParameter(2, 0.75f);
    EXPECT_EQ(element.GetParameter(2), 0.75f);
    EXPECT_EQ(ErrorOf([&] { element.SetParameter(3, 1.0f); }), kAudioUnitErr_InvalidParameter);

    // Growing keeps the values and fills the new records with an immediate 0.
    element.UseIndexedParameters(5);
    EXPECT_EQ(element.GetParameter(2), 0.75f);
    EXPECT_EQ(element.GetParameter(4), 0.0f);
    EXPECT_EQ(element.FindParameter(4)->GetEventType(), UInt32(kParameterEvent_Immediate));
    std::vector<AudioUnitParameterID> ids(5);
    element.GetParameterList(ids.data());
    EXPECT_EQ(ids, (std::vector<AudioUnitParameterID>{0, 1, 2, 3, 4}));
}

TEST_F(FrameworkElement, MappedStorageListsNumbersInAscendingOrder) {
    AUElement& element = unit.GetInput(0);
    EXPECT_EQ(element.GetNumberOfParameters(), 0u);
    for (const auto& [id, value] : {std::pair{40u, 4.0f}, {7u, 0.7f}, {19u, 1.9f}, {7u, 0.5f}}) {
        element.SetParameter(id, value);
    }
    std::vector<AudioUnitParameterID> ids(3);
    element.GetParameterList(ids.data());
    EXPECT_EQ(ids, (std::vector<AudioUnitParameterID>{7, 19, 40}));
    EXPECT_EQ(element.GetParameter(7), 0.5f);
    EXPECT_EQ(ErrorOf([&] { element.GetParameter(8); }), kAudioUnitErr_InvalidParameter);
    EXPECT_EQ(unit.GetParameterList(kAudioUnitScope_Input, nullptr), 3u);
    // Only the caller's permission adds a number while initialised (without: DispatchTest).
    ASSERT_EQ(unit.DoInitialize(), noErr);
    element.SetParameter(2, 2.0f, true);
    EXPECT_EQ(element.GetParameter(2), 2.0f);
    unit.DoCleanup();
}

TEST_F(FrameworkElement, StateRecordIsBigEndianInStorageOrder) {
    AUElement& element = unit.GetOutput(1);
    std::vector<UInt8> blob;
    element.SaveState(kAudioUnitScope_Output, 1, blob);
    EXPECT_TRUE(blob.empty());
    element.SetParameter(0x0102, 1.0f);
    element.SetParameter(0x01, -2.5f);
    element.SaveState(kAudioUnitScope_Output, 1, blob);
    const std::vector<UInt8> expected{0, 0, 0, 2, 0,    0,    0, 1, 0, 0, 0, 2, //
                                      0, 0, 0, 1, 0xC0, 0x20, 0, 0,             //
                                      0, 0, 1, 2, 0x3F, 0x80, 0, 0};
    EXPECT_EQ(blob, expected);

    // A 16-parameter indexed global element makes one record of 12 + 16 * 8 bytes.
    std::vector<UInt8> globals;
    unit.Globals()->UseIndexedParameters(16);
    unit.Globals()->SaveState(kAudioUnitScope_Global, 0, globals);
    EXPECT_EQ(globals.size(), 140u);
}

} // namespace
