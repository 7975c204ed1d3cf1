// The fuzz target's checks over its seeds and a fixed stream of their mutations.
#include <gtest/gtest.h>

#include <random>

#include "OSCPacketFuzzTarget.h"

namespace {

bool Handle(const std::vector<char>& packet) {
    return MV::fuzz::HandleOSCPacket(reinterpret_cast<const std::uint8_t*>(packet.data()),
                                     packet.size());
}

TEST(OSCPacketReplay, SeedsAndTheirMutationsNeverStopTheServer) {
    const auto seeds = MV::fuzz::OSCSeedPackets();
    ASSERT_GT(seeds.size(), 20u);
    for (std::size_t i = 0; i < seeds.size(); ++i) {
        EXPECT_TRUE(Handle(seeds[i])) << "seed " << i;
    }
    std::mt19937 generator(20240607);
    for (int round = 0; round < 3000; ++round) {
        std::vector<char> packet = seeds[generator() % seeds.size()];
        const unsigned kind = generator() % 4;
        if (kind == 0) { // flip bytes
            for (int n = 0; n < 1 + int(generator() % 4); ++n) {
                packet[generator() % packet.size()] = char(generator());
            }
        } else if (kind == 1) { // cut short
            packet.resize(generator() % packet.size());
        } else if (kind == 2 && packet.size() >= 20) { // a size or count field made huge
            packet[(generator() % (packet.size() / 4)) * 4] = char(0x7F);
        } else if (kind == 3) { // two packets glued together
            const std::vector<char>& other = seeds[generator() % seeds.size()];
            packet.insert(packet.end(), other.begin(), other.end());
        }
        ASSERT_TRUE(Handle(packet)) << "round " << round;
    }
}

} // namespace
