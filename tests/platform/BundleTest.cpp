#include "Bundle.h"

#include <gtest/gtest.h>
#include <string>

#include "TestFolders.h"

namespace {

using MV::Bundle;
using MV::FileLoader;
using MV::test::ScopedEnvironment;
using MV::test::TempFolder;
using MV::test::WriteFile;

std::string Contents(const FileLoader& loader) {
    return std::string(reinterpret_cast<const char*>(loader.Data()), loader.Size());
}

// Each test starts with neither a bundle variable nor a registered folder.
class PluginBundle : public testing::Test {
protected:
    PluginBundle() { MV::SetPluginBundleDir(""); }
    ~PluginBundle() override { MV::SetPluginBundleDir(""); }
    ScopedEnvironment m_noVariable{MV::kBundleDirEnvironmentVariable, std::nullopt};
};

TEST_F(PluginBundle, TheVariableComesFirstThenTheHostsFolderThenTheSourceTree) {
    // An installed copy of the resources would come before the source tree.
    if (!FileLoader().ReadFile(FLUXET_TEST_INSTALL_DATA_DIR "/midi.lua") &&
        !FileLoader().ReadFile(FLUXET_TEST_INSTALL_DATA_DIR "/gui.lua")) {
        EXPECT_EQ(MV::PluginBundleDir(), FLUXET_TEST_SOURCE_RESOURCES_DIR);
    }

    TempFolder registered;
    TempFolder fromVariable;
    MV::SetPluginBundleDir(registered.Path());
    EXPECT_EQ(MV::PluginBundleDir(), registered.Path());
    {
        ScopedEnvironment variable(MV::kBundleDirEnvironmentVariable, fromVariable.Path() + "/");
        auto bundle = MV::FindPluginBundle("com.Mrvn.test.Flxt");
        ASSERT_NE(bundle, nullptr);
        EXPECT_EQ(bundle->Path(), fromVariable.Path());
        EXPECT_EQ(MV::FindPluginBundle("com.Mrvn.test.Other"), nullptr);
    }
    // A folder that was named but does not exist means no bundle, not the next rule.
    MV::SetPluginBundleDir(registered / "absent");
    EXPECT_EQ(MV::FindPluginBundle(MV::kPluginBundleIdentifier), nullptr);
    ScopedEnvironment variable(MV::kBundleDirEnvironmentVariable, registered / "absent");
    EXPECT_FALSE(FileLoader("midi.lua", nullptr).IsLoaded());
}

TEST_F(PluginBundle, AResourceIsReadFromTheGivenBundleOrElseThePluginsOwn) {
    TempFolder own;
    TempFolder skin;
    WriteFile(own / "midi.lua", "print('own')");
    WriteFile(skin / "midi.lua", std::string("skin\0bytes\xff", 11));
    std::filesystem::create_directory(skin / "images");
    ScopedEnvironment variable(MV::kBundleDirEnvironmentVariable, own.Path());

    const Bundle skinBundle(skin.Path());
    EXPECT_EQ(Contents(FileLoader("midi.lua", &skinBundle)), std::string("skin\0bytes\xff", 11));
    EXPECT_EQ(Contents(FileLoader("midi.lua", nullptr)), "print('own')");
    EXPECT_FALSE(FileLoader("gui.lua", nullptr).IsLoaded());
    EXPECT_EQ(skinBundle.ResourcePath("images"), "") << "a folder is not a resource";
}

TEST(FileLoader, AnEmptyFileIsLoadedAndEmptyAFailedReadHoldsNothing) {
    TempFolder folder;
    WriteFile(folder / "empty", "");
    FileLoader loader;
    ASSERT_TRUE(loader.ReadFile(folder / "empty"));
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_EQ(loader.Size(), 0u);
    EXPECT_FALSE(loader.ReadFile(folder / "missing"));
    EXPECT_FALSE(loader.IsLoaded());
    EXPECT_FALSE(loader.ReadFile(folder.Path())) << "a folder is not a file";
}

} // namespace
