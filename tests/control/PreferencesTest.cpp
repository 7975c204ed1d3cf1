#include "Preferences.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "TestFolders.h"

namespace {

using MV::test::FolderEntries;
using MV::test::ReadFile;
using MV::test::ScopedEnvironment;
using MV::test::TempFolder;
using MV::test::WriteFile;

constexpr const char* kFileName = "com.morvane.Fluxet.plist";

// Every test gets a configuration folder of its own.
class Preferences : public testing::Test {
protected:
    std::string FilePath() const { return m_folder / kFileName; }

    TempFolder m_folder;
    ScopedEnvironment m_config{"XDG_CONFIG_HOME", m_folder.Path()};
};

TEST_F(Preferences, AnAbsentKeyOrOneOfTheWrongTypeGivesTheDefault) {
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort), 7000);
    std::string skin = "unchanged";
    GetPrefString(kPrefSkin, skin);
    EXPECT_EQ(skin, "unchanged");
    EXPECT_TRUE(FolderEntries(m_folder.Path()).empty()) << "reading creates nothing";

    SetPrefString(kPrefEnableEyeCandy, "yes");
    EXPECT_EQ(GetPrefInt(kPrefEnableEyeCandy, 1), 1);
    SetPrefInt(kPrefSkin, 3);
    GetPrefString(kPrefSkin, skin);
    EXPECT_EQ(skin, "unchanged");
}

TEST_F(Preferences, WritesKeepEveryOtherKeyStoreTypedValuesAndLeaveNoTemporaryFile) {
    WriteFile(FilePath(),
              "<plist version=\"1.0\"><dict><key>Window</key><real>1.5</real></dict></plist>");
    SetPrefInt(kPrefOSCBasePort, 9000);
    SetPrefInt(kPrefEnableConstantRedraw, 0);
    SetPrefString(kPrefSkin, "Dark Ünïcode");
    SetPrefInt(kPrefOSCBasePort, 9001);
    SetPrefInt("Lowest", INT_MIN);

    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), 9001);
    EXPECT_EQ(GetPrefInt(kPrefEnableConstantRedraw, 1), 0);
    EXPECT_EQ(GetPrefInt("Lowest", 0), INT_MIN);
    std::string skin;
    GetPrefString(kPrefSkin, skin);
    EXPECT_EQ(skin, "Dark Ünïcode");
    const std::string stored = ReadFile(FilePath());
    for (const char* element : {"<integer>9001</integer>", "<integer>-2147483648</integer>",
                                "<string>Dark Ünïcode</string>", "<real>1.5"}) {
        EXPECT_NE(stored.find(element), std::string::npos) << element << " in\n" << stored;
    }
    EXPECT_EQ(FolderEntries(m_folder.Path()), std::set<std::string>{kFileName});
}

std::vector<std::string> CorruptCopies(const std::string& folder) {
    std::vector<std::string> copies;
    for (const auto& name : FolderEntries(folder)) {
        if (name.rfind(std::string(kFileName) + ".corrupt-", 0) == 0) {
            copies.push_back(folder + "/" + name);
        }
    }
    return copies;
}

// The report is made once per process, so all of this happens in one test.
TEST_F(Preferences, AnUnreadableFileIsMovedAsideReportedOnceAndNeverOverwritten) {
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>OSC Base";
    WriteFile(FilePath(), garbage);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort), 7000);
    const std::string report = testing::internal::GetCapturedStderr();
    auto copies = CorruptCopies(m_folder.Path());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(report.find(copies[0]), std::string::npos) << report;
    EXPECT_EQ(ReadFile(copies[0]), garbage);

    // A write starts a fresh file beside the kept copy.
    SetPrefInt(kPrefOSCBasePort, 9000);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), 9000);
    EXPECT_EQ(ReadFile(copies[0]), garbage);

    // A second bad file (no dictionary this time) is kept too, without a second report,
    // and the write that found it keeps nothing of it.
    WriteFile(FilePath(), "<plist version=\"1.0\"><array/></plist>");
    testing::internal::CaptureStderr();
    SetPrefInt(kPrefEnableEyeCandy, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(CorruptCopies(m_folder.Path()).size(), 2u);
    EXPECT_EQ(GetPrefInt(kPrefEnableEyeCandy, 1), 0);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 7000), 7000);
}

} // namespace
