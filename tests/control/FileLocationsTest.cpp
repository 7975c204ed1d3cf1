#include "FileLocations.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "TestFolders.h"

namespace {

using MV::test::ScopedEnvironment;
using MV::test::TempFolder;
using MV::test::WriteFile;

// User, local and system roots redirected into one temporary folder.
class FileLocations : public testing::Test {
protected:
    std::string Product(const std::string& domain, const std::string& kind) const {
        return m_root / (domain + "/Morvane/Fluxet/" + kind);
    }

    TempFolder m_root;
    ScopedEnvironment m_user{"XDG_DATA_HOME", m_root / "user"};
    ScopedEnvironment m_local{MV::kLocalDataDirEnvironmentVariable, m_root / "local"};
    ScopedEnvironment m_system{MV::kSystemDataDirEnvironmentVariable, m_root / "system"};
};

TEST_F(FileLocations, EachDomainHasItsOwnFoldersAndOthersHaveNone) {
    EXPECT_EQ(MV::GetApplicationSupportFolder(kUserDomain), m_root / "user");
    EXPECT_EQ(MV::GetApplicationSupportFolder(kLocalDomain), m_root / "local");
    EXPECT_EQ(MV::GetFontFolder(kSystemDomain), m_root / "system/fonts/");
    EXPECT_EQ(MV::GetApplicationSupportFolder(-32764), "");
    EXPECT_EQ(MV::GetFontFolder(0), "");
    EXPECT_FALSE(std::filesystem::exists(m_root / "user")) << "lookups create nothing";

    ScopedEnvironment home("HOME", "/home/tester");
    ScopedEnvironment relative("XDG_DATA_HOME", "not/absolute");
    EXPECT_EQ(MV::GetFontFolder(kUserDomain), "/home/tester/.local/share/fonts/");

    const std::string fits = "/" + std::string(254, 'a'); // 256 bytes with its zero
    ScopedEnvironment local(MV::kLocalDataDirEnvironmentVariable, fits);
    EXPECT_EQ(MV::GetApplicationSupportFolder(kLocalDomain), fits);
    ScopedEnvironment tooLong(MV::kLocalDataDirEnvironmentVariable, fits + "a");
    EXPECT_EQ(MV::GetApplicationSupportFolder(kLocalDomain), "");
}

TEST_F(FileLocations, OnlyReadableLuaFilesAreScripts) {
    const std::string dir = Product("user", "Scripts");
    for (const char* name :
         {"a.lua", "b.LUA", ".lua", "notes.txt", "c.lua.bak", "x.lua/inner.lua"}) {
        WriteFile(dir + "/" + name, "-- script");
    }
    WriteFile(dir + "/closed.lua", "-- unreadable");
    ASSERT_EQ(chmod((dir + "/closed.lua").c_str(), 0), 0);
    std::vector<std::string> list;
    MV::GetScriptsInDomain(list, kUserDomain, "Fluxet");
    if (geteuid() == 0) { // root reads every file
        list.erase(std::remove(list.begin(), list.end(), dir + "/closed.lua"), list.end());
    }
    EXPECT_EQ(list, std::vector<std::string>{dir + "/a.lua"});
}

TEST_F(FileLocations, UserScriptsComeFirstDuplicatesStayAndMissingFoldersAddNothing) {
    std::vector<std::string> list = {"already there"};
    MV::GetScripts(list, "Fluxet");
    EXPECT_EQ(list, std::vector<std::string>{"already there"});

    WriteFile(Product("user", "Scripts") + "/midi.lua", "-- user's own");
    WriteFile(Product("local", "Scripts") + "/midi.lua", "-- machine-wide");
    WriteFile(Product("local", "Scripts") + "/site.lua", "-- machine-wide");
    WriteFile(Product("system", "Scripts") + "/ignored.lua", "-- not searched");
    MV::GetScripts(list, "Fluxet");
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], Product("user", "Scripts") + "/midi.lua");
    const std::vector<std::string> local = {Product("local", "Scripts") + "/midi.lua",
                                            Product("local", "Scripts") + "/site.lua"};
    EXPECT_TRUE(std::is_permutation(list.begin() + 2, list.end(), local.begin()));
}

TEST_F(FileLocations, ASkinIsItsFolderElseTheBundleFolderTheUsersFirst) {
    EXPECT_EQ(MV::LocateSkinBundle("Dark", "Fluxet"), nullptr);
    std::filesystem::create_directories(Product("local", "Skins") + "/Dark.bundle");
    std::filesystem::create_directories(Product("system", "Skins") + "/Light");
    EXPECT_EQ(MV::LocateSkinBundle("Dark", "Fluxet")->Path(),
              Product("local", "Skins") + "/Dark.bundle");
    EXPECT_EQ(MV::LocateSkinBundle("Light", "Fluxet"), nullptr)
        << "the system domain is not searched";

    std::filesystem::create_directories(Product("local", "Skins") + "/Dark");
    EXPECT_EQ(MV::LocateSkinBundle("Dark", "Fluxet")->Path(), Product("local", "Skins") + "/Dark");
    std::filesystem::create_directories(Product("user", "Skins") + "/Dark.bundle");
    EXPECT_EQ(MV::LocateSkinBundle("Dark", "Fluxet")->Path(),
              Product("user", "Skins") + "/Dark.bundle");
}

TEST_F(FileLocations, AFolderOverrideReplacesBothDomainsUntilCleared) {
    WriteFile(Product("user", "Scripts") + "/mine.lua", "-- user");
    WriteFile(m_root / "run/only.lua", "-- for this run");
    WriteFile(m_root / "run/skip.txt", "not a script");

    MV::SetScriptFolderOverride(m_root / "run");
    std::vector<std::string> list;
    MV::GetScripts(list, "Fluxet");
    EXPECT_EQ(list, std::vector<std::string>{m_root / "run/only.lua"});

    MV::SetScriptFolderOverride("");
    list.clear();
    MV::GetScripts(list, "Fluxet");
    EXPECT_EQ(list, std::vector<std::string>{Product("user", "Scripts") + "/mine.lua"});
}

} // namespace
