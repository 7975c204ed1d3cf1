// Mapped parameter storage of elements, on a bare unit.
#include <gtest/gtest.h>

#include <vector>

#include "AUBase.h"

namespace {

class FrameworkElement : public ::testing::Test {
protected:
    FrameworkElement() : unit(nullptr, 1, 2) { unit.CreateElements(); }

    AUBase unit;
};

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
    EXPECT_EQ(unit.GetParameterList(kAudioUnitScope_Input, nullptr), 3u);
    // Only the caller's permission adds a number while initialised (without: DispatchTest).
    ASSERT_EQ(unit.DoInitialize(), noErr);
    element.SetParameter(2, 2.0f, true);
    EXPECT_EQ(element.GetParameter(2), 2.0f);
    unit.DoCleanup();
}

} // namespace
