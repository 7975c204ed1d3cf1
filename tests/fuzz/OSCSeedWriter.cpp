// Writes the fuzzer's seed packets into a folder, one file each.
#include <cstdio>
#include <fstream>
#include <string>

#include "OSCPacketFuzzTarget.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
        return 2;
    }
    const auto seeds = MV::fuzz::OSCSeedPackets();
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        std::ofstream file(std::string(argv[1]) + "/seed-" + std::to_string(i), std::ios::binary);
        if (!file.write(seeds[i].data(), std::streamsize(seeds[i].size()))) {
            std::fprintf(stderr, "cannot write into %s\n", argv[1]);
            return 1;
        }
    }
    return 0;
}
