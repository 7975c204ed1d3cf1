// Keeps every test of this folder away from the user's preferences and scripts: the units
// read empty folders of their own.
#include "LV2TestEnvironment.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "Preferences.h"

namespace {

int g_basePort = 0;

bool IsUdpPortFree(int port) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(uint16_t(port));
    const bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(probe);
    return free;
}

// From $FLUXET_TEST_OSC_BASE_PORT when set, else from a random place in 20000..59000.
int FindFreeBasePort() {
    int start = 0;
    if (const char* configured = std::getenv("FLUXET_TEST_OSC_BASE_PORT")) {
        start = std::atoi(configured);
    }
    std::mt19937 generator(std::random_device{}());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int base = start > 0 ? start + attempt * 128 : 20000 + int(generator() % 39000u);
        bool free = base + 100 < 65536;
        for (int offset = 1; free && offset <= 100; ++offset) {
            free = IsUdpPortFree(base + offset);
        }
        if (free) {
            return base;
        }
    }
    return 0;
}

class HermeticEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/fluxet-lv2-test-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            FAIL() << "cannot make a temporary folder";
        }
        m_root = pattern;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR",
                                 "FLUXET_SYSTEM_DATA_DIR"}) {
            const std::filesystem::path folder = m_root / name;
            std::filesystem::create_directories(folder);
            setenv(name, folder.c_str(), 1);
        }
        // The bundle the host names must be the one the units read.
        unsetenv("FLUXET_BUNDLE_DIR");
        // Instances whose "OSC Port Offset" a test moves listen on this computer only, on
        // ports nobody else uses.
        g_basePort = FindFreeBasePort();
        ASSERT_NE(g_basePort, 0) << "no free block of UDP ports";
        SetPrefInt(kPrefOSCBasePort, g_basePort);
        SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(m_root, ignored);
    }

private:
    std::filesystem::path m_root;
};

[[maybe_unused]] ::testing::Environment* const g_hermetic =
    ::testing::AddGlobalTestEnvironment(new HermeticEnvironment);

} // namespace

int MV::test::LV2TestOSCBasePort() {
    return g_basePort;
}
