// Writes a target's seeds and regression inputs into a folder, one file each.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "FuzzSupport.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TARGET FOLDER\n", argv[0]);
        return 2;
    }
    for (const MV::fuzz::FuzzTarget* target : MV::fuzz::AllTargets()) {
        if (std::strcmp(target->name, argv[1]) != 0) {
            continue;
        }
        std::vector<MV::fuzz::Input> inputs = target->seeds();
        for (MV::fuzz::Input& input : MV::fuzz::RegressionInputs(*target)) {
            inputs.push_back(std::move(input));
        }
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            std::ofstream file(std::string(argv[2]) + "/seed-" + std::to_string(i),
                               std::ios::binary);
            if (!file.write(inputs[i].data(), std::streamsize(inputs[i].size()))) {
                std::fprintf(stderr, "cannot write into %s\n", argv[2]);
                return 1;
            }
        }
        return 0;
    }
    std::fprintf(stderr, "no fuzz target named %s\n", argv[1]);
    return 2;
}
