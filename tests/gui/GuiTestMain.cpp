// The editor tests' main: the Xvfb fixture's display, Mesa's software renderer, and private
// preferences, set before anything loads GL or reads a setting.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    std::ifstream displayFile(FLUXET_GUI_TEST_DISPLAY_FILE);
    std::string display;
    if (displayFile >> display) {
        setenv("DISPLAY", display.c_str(), 1);
    }
    setenv("LIBGL_ALWAYS_SOFTWARE", "1", 1);
#ifdef FLUXET_GUI_DRI_DRIVER
    // Mesa unloads its driver whenever the last connection using it closes. Kept loaded, what it
    // keeps for itself stays attributable (the sanitizers name it, and their suppressions can).
    dlopen(FLUXET_GUI_DRI_DRIVER, RTLD_NOW | RTLD_NODELETE);
#endif
    std::string config =
        (std::filesystem::temp_directory_path() / "fluxet-gui-config-XXXXXX").string();
    if (mkdtemp(config.data()) != nullptr) {
        setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    }
    testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    std::error_code error;
    std::filesystem::remove_all(config, error);
    return status;
}
