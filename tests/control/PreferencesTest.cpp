#include "Preferences.h"

#include <climits>
#include <gtest/gtest.h>

#include "PropertyListSamples.h"
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
    // Later bad files (no dictionary, past the readers' limits: larger, nested past any stack,
    // sharing values without end) are kept too, without a second report, and the write that
    // found them keeps nothing of them.
    const std::string badFiles[] = {"<plist version=\"1.0\"><array/></plist>",
                                    NestedXmlList(300000), NestedBinaryList(130000),
                                    SharingBinaryList(40)};
    testing::internal::CaptureStderr();
    for (std::size_t i = 0; i < std::size(badFiles); ++i) {
        WriteFile(m_file, badFiles[i]);
        EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 7000), 7000) << i;
        SetPrefInt(kPrefEnableEyeCandy, 0);
        EXPECT_EQ(CorruptCopies().size(), 2 + i);
        EXPECT_EQ(GetPrefInt(kPrefEnableEyeCandy, 1), 0) << i;
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

// A preferences file kept elsewhere behind a symbolic link stays there: writes replace the
// link's target, and a target that does not exist yet is created.
TEST_F(Preferences, WritesGoThroughASymbolicLinkToItsTarget) {
    const TempFolder elsewhere;
    const std::string target = elsewhere / "kept.plist";
    WriteFile(target, "<plist version=\"1.0\"><dict><key>Skin</key><string>Dark</string>"
                      "</dict></plist>");
    const std::string relative = "../" + elsewhere.Path().substr(5) + "/kept.plist";
    for (const std::string& link : {target, relative, elsewhere / "new/later.plist"}) {
        SCOPED_TRACE(link);
        std::filesystem::remove(m_file);
        std::filesystem::create_directories(elsewhere / "new");
        std::filesystem::create_symlink(link, m_file);
        SetPrefInt(kPrefOSCBasePort, 9100);
        EXPECT_TRUE(std::filesystem::is_symlink(m_file));
        EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), 9100);
        const std::string stored = ReadFile(link == relative ? target : link);
        EXPECT_NE(stored.find("<integer>9100</integer>"), std::string::npos) << stored;
        EXPECT_EQ(GetString(kPrefSkin),
                  link == elsewhere / "new/later.plist" ? "unchanged" : "Dark");
    }
    EXPECT_EQ(FolderEntries(elsewhere.Path()), (std::set<std::string>{"kept.plist", "new"}));
}

} // namespace
