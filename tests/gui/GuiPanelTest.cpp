// The editor's small windows: what the settings window's base-port field takes and what closing
// it stores and moves, and the message window an alert opens.
#include <gtest/gtest.h>

#include "FluxetParameters.h"
#include "GuiTestSupport.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "PanelWindow.h"
#include "Panels.h"
#include "PluginEditor.h"
#include "Preferences.h"
#include "SystemInfo.h"
#include "UnitHost.h"

namespace MV::test {
namespace {

using namespace std::chrono_literals;

struct PortCase {
    const char* name;
    const char* typed; // '%' stands for the new base port's digits
    bool stored;
};

class SettingsPortTest : public testing::TestWithParam<PortCase> {};

TEST_P(SettingsPortTest, ClosingStoresAWholePortAndMovesTheServerOrChangesNothing) {
    const PortCase& c = GetParam();
    ListeningUnit unit(3);
    const int newBase = FindFreeBasePort({3});
    Manager editor(unit.Host().Unit());
    Manager panel(nullptr);
    SettingsPanel settings(panel, &editor);
    NumberField& field = settings.PortField();
    EXPECT_EQ(field.Text(), std::to_string(unit.BasePort()));
    while (!field.Text().empty()) {
        field.Keypress(kKeyBackspace);
    }
    std::string typed;
    for (const char* p = c.typed; *p != '\0'; ++p) {
        typed += *p == '%' ? std::to_string(newBase) : std::string(1, *p);
    }
    for (const char key : typed) {
        EXPECT_EQ(field.Keypress(static_cast<unsigned char>(key)), key >= '0' && key <= '9');
    }

    settings.Apply(&editor);
    const int expected = c.stored ? newBase : unit.BasePort();
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), expected);
    EXPECT_EQ(g_OSCBasePort.load(), expected);
    EXPECT_TRUE(WaitUntil([&] { return unit.Unit().OSCServer().BoundPort() == expected + 3; }));
}

INSTANTIATE_TEST_SUITE_P(Cases, SettingsPortTest,
                         testing::Values(PortCase{"LettersRefused", "x%q", true},
                                         PortCase{"Empty", "", false}, PortCase{"Zero", "0", false},
                                         PortCase{"NoSuchPort", "70000", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// An alert while an editor is open: a line on standard error and a window until it is closed.
TEST(MessageWindow, AnAlertOpensAWindowThatTheWindowManagerCloses) {
    if (!HaveDisplay()) {
        GTEST_SKIP() << "no X display";
    }
    const ScopedEnvironment bundle("FLUXET_BUNDLE_DIR", FLUXET_SOURCE_RESOURCES_DIR);
    UnitHost unit(kFluxetComponentDescription, MrvnFluxetEntry);
    PluginEditor::Options options;
    options.view.title = "Editor";
    std::string error;
    const auto editor = PluginEditor::Open(unit.Unit(), options, error);
    ASSERT_NE(editor, nullptr) << error;
    testing::internal::CaptureStderr();
    Alert("Error: Unable to load font");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Unable to load font\n");
    editor->ProcessEvents();
    ASSERT_EQ(editor->MessageWindowCount(), 1u);

    const TestScreen screen;
    screen.CloseAsWindowManager(screen.FindTopLevel("Fluxet"));
    EXPECT_TRUE(PumpUntil(editor->View(), [&] {
        editor->ProcessEvents();
        return editor->MessageWindowCount() == 0;
    }));
}

} // namespace
} // namespace MV::test
