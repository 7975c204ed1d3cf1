#include "Preferences.h"

#include <climits>
#include <gtest/gtest.h>

#include "TestFolders.h"

namespace {

using namespace MV::test;

constexpr const char* kFileName = "com.morvane.Fluxet.plist";

// Every test gets a configuration folder of its own.
class Preferences : public testing::Test {
protected:
    std::string GetString(const char* key, std::string value = "unchanged") const {
        GetPrefString(key, value);
        return value;
    }
    // The copies an unreadable file was moved aside to.
    std::set<std::string> CorruptCopies() const {
        std::set<std::string> names = FolderEntries(m_folder.Path());
        std::erase_if(names, [](const std::string& name) {
            return !name.starts_with(std::string(kFileName) + ".corrupt-");
        });
        return names;
    }

    TempFolder m_folder;
    ScopedEnvironment m_config{"XDG_CONFIG_HOME", m_folder.Path()};
    const std::string m_file = m_folder / kFileName;
};

// Absent keys and keys of the other type give the default.
TEST_F(Preferences, WritesKeepEveryOtherKeyStoreTypedValuesAndLeaveNoTemporaryFile) {
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort), 7000);
    EXPECT_EQ(GetString(kPrefSkin), "unchanged");
    EXPECT_TRUE(FolderEntries(m_folder.Path()).empty()) << "reading creates nothing";
    WriteFile(m_file,
              "<plist version=\"1.0\"><dict><key>Window</key><real>1.5</real></dict></plist>");
    SetPrefInt(kPrefOSCBasePort, 9000);
    SetPrefInt(kPrefEnableConstantRedraw, 0);
    SetPrefString(kPrefSkin, "Dark Ünïcode");
    SetPrefInt(kPrefOSCBasePort, 9001);
    SetPrefInt("Lowest", INT_MIN);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), 9001);
    EXPECT_EQ(GetPrefInt(kPrefEnableConstantRedraw, 1), 0);
    EXPECT_EQ(GetPrefInt("Lowest", 0), INT_MIN);
    EXPECT_EQ(GetString(kPrefSkin), "Dark Ünïcode");
    EXPECT_EQ(GetPrefInt(kPrefSkin, 1), 1);
    EXPECT_EQ(GetString(kPrefOSCBasePort), "unchanged");
    const std::string stored = ReadFile(m_file);
    for (const char* element : {"<integer>9001</integer>", "<integer>-2147483648</integer>",
                                "<string>Dark Ünïcode</string>", "<real>1.5"}) {
        EXPECT_NE(stored.find(element), std::string::npos) << element << " in\n" << stored;
    }
    EXPECT_EQ(FolderEntries(m_folder.Path()), std::set<std::string>{kFileName});
}

// The report is made once per process, so all of this happens in one test.
TEST_F(Preferences, AnUnreadableFileIsMovedAsideReportedOnceAndNeverOverwritten) {
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>OSC Base";
    WriteFile(m_file, garbage);
    testing::internal::CaptureStderr();
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort), 7000);
    const std::string report = testing::internal::GetCapturedStderr();
    const auto copies = CorruptCopies();
    ASSERT_EQ(copies.size(), 1u);
    const std::string copy = m_folder / *copies.begin();
    EXPECT_NE(report.find(copy), std::string::npos) << report;
    // A write starts a fresh file beside the kept copy.
    SetPrefInt(kPrefOSCBasePort, 9000);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), 9000);
    EXPECT_EQ(ReadFile(copy), garbage);
    // A second bad file (no dictionary this time) is kept too, without a second report,
    // and the write that found it keeps nothing of it.
    WriteFile(m_file, "<plist version=\"1.0\"><array/></plist>");
    testing::internal::CaptureStderr();
    SetPrefInt(kPrefEnableEyeCandy, 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(CorruptCopies().size(), 2u);
    EXPECT_EQ(GetPrefInt(kPrefEnableEyeCandy, 1), 0);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 7000), 7000);
}

} // namespace
