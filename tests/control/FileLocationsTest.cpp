#include "FileLocations.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestFolders.h"

namespace {

using namespace MV::test;
using Strings = std::vector<std::string>;

// User, local and system roots redirected into one temporary folder.
class FileLocations : public testing::Test {
protected:
    std::string Product(const std::string& domain, const std::string& kind) const {
        return m_root / (domain + "/Morvane/Fluxet/" + kind);
    }
    Strings Scripts(Strings list = {}) const {
        MV::GetScripts(list, "Fluxet");
        return list;
    }

    TempFolder m_root;
    ScopedEnvironment m_user{"XDG_DATA_HOME", m_root / "user"};
    ScopedEnvironment m_local{MV::kLocalDataDirEnvironmentVariable, m_root / "local"};
    ScopedEnvironment m_system{MV::kSystemDataDirEnvironmentVariable, m_root / "system"};
};

TEST_F(FileLocations, EachDomainHasItsOwnFoldersAndOthersHaveNone) {
    EXPECT_EQ(MV::GetFontFolder(kSystemDomain), m_root / "system/fonts/");
    EXPECT_EQ(MV::GetApplicationSupportFolder(kUserDomain), m_root / "user");
    EXPECT_EQ(MV::GetApplicationSupportFolder(-32764), "");
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
         {"a.lua", "b.LUA", ".lua", "notes.txt", "c.lua.bak", "x.lua/inner.lua", "closed.lua"}) {
        WriteFile(dir + "/" + name, "-- script");
    }
    ASSERT_EQ(chmod((dir + "/closed.lua").c_str(), 0), 0);
    Strings list;
    MV::GetScriptsInDomain(list, kUserDomain, "Fluxet");
    std::erase(list, geteuid() == 0 ? dir + "/closed.lua" : ""); // root reads every file
    EXPECT_EQ(list, Strings{dir + "/a.lua"});
}

// A folder override replaces both domains until it is cleared.
TEST_F(FileLocations, UserScriptsComeFirstDuplicatesStayAndAnOverrideReplacesBoth) {
    EXPECT_EQ(Scripts({"already there"}), Strings{"already there"});
    const std::string user = Product("user", "Scripts"), local = Product("local", "Scripts");
    for (const std::string& path : {user + "/midi.lua", local + "/midi.lua", local + "/site.lua",
                                    Product("system", "Scripts") + "/ignored.lua"}) {
        WriteFile(path, "-- script");
    }
    const Strings expected{"already there", user + "/midi.lua", local + "/midi.lua",
                           local + "/site.lua"};
    Strings list = Scripts({"already there"});
    ASSERT_EQ(list.size(), 4u);
    std::sort(list.begin() + 2, list.end()); // the local folder's order is the file system's
    EXPECT_EQ(list, expected);
    WriteFile(m_root / "run/only.lua", "-- for this run");
    WriteFile(m_root / "run/skip.txt", "not a script");
    MV::SetScriptFolderOverride(m_root / "run");
    EXPECT_EQ(Scripts(), Strings{m_root / "run/only.lua"});
    MV::SetScriptFolderOverride("");
    list = Scripts({"already there"});
    std::sort(list.begin() + 2, list.end());
    EXPECT_EQ(list, expected);
}

// A plain folder beats a bundle folder, the user's domain the local one; the system domain
// is not searched.
TEST_F(FileLocations, ASkinIsItsFolderElseTheBundleFolderTheUsersFirst) {
    std::filesystem::create_directories(Product("system", "Skins") + "/Dark");
    EXPECT_EQ(MV::LocateSkinBundle("Dark", "Fluxet"), nullptr);
    for (const auto& [domain, name] :
         {std::pair{"local", "/Dark.bundle"}, {"local", "/Dark"}, {"user", "/Dark.bundle"}}) {
        std::filesystem::create_directories(Product(domain, "Skins") + name);
        const auto skin = MV::LocateSkinBundle("Dark", "Fluxet");
        ASSERT_NE(skin, nullptr) << name;
        EXPECT_EQ(skin->Path(), Product(domain, "Skins") + name);
    }
}

} // namespace
