// Keeps every test of this folder away from the user's preferences and scripts: the units
// read empty folders of their own.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

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
