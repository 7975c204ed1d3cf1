// Every fuzz target's checks over its seeds, the inputs its faults were found with, and a fixed
// stream of mutations of both.
#include <gtest/gtest.h>

#include "FuzzSupport.h"

namespace {

using MV::fuzz::FuzzTarget;
using MV::fuzz::Input;

class FuzzReplay : public testing::TestWithParam<const FuzzTarget*> {
protected:
    void Handle(const Input& input) const {
        const FuzzTarget& target = *GetParam();
        target.handle(reinterpret_cast<const std::uint8_t*>(input.data()),
                      std::min(input.size(), target.maxLength));
    }
};

TEST_P(FuzzReplay, SeedsRegressionsAndTheirMutationsPassTheChecks) {
    std::vector<Input> inputs = GetParam()->seeds();
    ASSERT_GE(inputs.size(), 4u);
    const std::vector<Input> regressions = MV::fuzz::RegressionInputs(*GetParam());
    inputs.insert(inputs.end(), regressions.begin(), regressions.end());
    for (const Input& input : inputs) {
        Handle(input); // a failed check ends the program with its message
    }
    std::mt19937 generator(20240607);
    for (int round = 0; round < 1000; ++round) {
        Handle(MV::fuzz::Mutate(inputs, generator));
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplay, testing::ValuesIn(MV::fuzz::AllTargets()),
                         [](const testing::TestParamInfo<const FuzzTarget*>& info) {
                             return std::string(info.param->name);
                         });

} // namespace
