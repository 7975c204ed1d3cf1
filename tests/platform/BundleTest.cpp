#include "Bundle.h"

#include <gtest/gtest.h>

#include "TestFolders.h"

namespace {

using namespace MV;
using namespace MV::test;

std::string Contents(const FileLoader& loader) {
    return std::string(reinterpret_cast<const char*>(loader.Data()), loader.Size());
}

// Each test starts with neither a bundle variable nor a registered folder.
class PluginBundle : public testing::Test {
protected:
    PluginBundle() { SetPluginBundleDir(""); }
    ~PluginBundle() override { SetPluginBundleDir(""); }
    ScopedEnvironment m_noVariable{kBundleDirEnvironmentVariable, std::nullopt};
};

TEST_F(PluginBundle, TheVariableComesFirstThenTheHostsFolderThenTheSourceTree) {
    // An installed copy of the resources would come before the source tree.
    if (!FileLoader().ReadFile(FLUXET_TEST_INSTALL_DATA_DIR "/midi.lua") &&
        !FileLoader().ReadFile(FLUXET_TEST_INSTALL_DATA_DIR "/gui.lua")) {
        EXPECT_EQ(PluginBundleDir(), FLUXET_TEST_SOURCE_RESOURCES_DIR);
    }
    TempFolder registered, fromVariable;
    SetPluginBundleDir(registered.Path());
    EXPECT_EQ(PluginBundleDir(), registered.Path());
    {
        ScopedEnvironment variable(kBundleDirEnvironmentVariable, fromVariable.Path() + "/");
        const auto bundle = FindPluginBundle("com.Mrvn.test.Flxt");
        ASSERT_NE(bundle, nullptr);
        EXPECT_EQ(bundle->Path(), fromVariable.Path());
        EXPECT_EQ(FindPluginBundle("com.Mrvn.test.Other"), nullptr);
    }
    // A folder that was named but does not exist means no bundle, not the next rule.
    SetPluginBundleDir(registered / "absent");
    EXPECT_EQ(FindPluginBundle(kPluginBundleIdentifier), nullptr);
    ScopedEnvironment variable(kBundleDirEnvironmentVariable, registered / "absent");
    EXPECT_FALSE(FileLoader("midi.lua", nullptr).IsLoaded());
}

TEST_F(PluginBundle, AResourceIsReadFromTheGivenBundleOrElseThePluginsOwn) {
    TempFolder own, skin;
    WriteFile(own / "midi.lua", "print('own')");
    WriteFile(skin / "midi.lua", std::string("skin\0bytes\xff", 11));
    WriteFile(skin / "empty", "");
    std::filesystem::create_directory(skin / "images");
    ScopedEnvironment variable(kBundleDirEnvironmentVariable, own.Path());
    const Bundle skinBundle(skin.Path());
    EXPECT_EQ(Contents(FileLoader("midi.lua", &skinBundle)), std::string("skin\0bytes\xff", 11));
    EXPECT_EQ(Contents(FileLoader("midi.lua", nullptr)), "print('own')");
    EXPECT_FALSE(FileLoader("gui.lua", nullptr).IsLoaded());
    EXPECT_EQ(skinBundle.ResourcePath("images"), "") << "a folder is not a resource";
    FileLoader loader("empty", &skinBundle);
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_EQ(loader.Size(), 0u);
    EXPECT_FALSE(loader.ReadFile(skin / "missing"));
    EXPECT_FALSE(loader.IsLoaded());
}

} // namespace
