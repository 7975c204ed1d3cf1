// The editor's small windows: what the settings window's base-port field takes and what closing
// it stores and moves, its check boxes, and the message window an alert opens.
#include <gtest/gtest.h>

#include <X11/Xlib.h>

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
                         testing::Values(PortCase{"Typed", "%", true},
                                         PortCase{"LettersRefused", "x%q", true},
                                         PortCase{"Empty", "", false}, PortCase{"Zero", "0", false},
                                         PortCase{"NoSuchPort", "70000", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsChecks, EachBoxTurnsItsSettingOnAndOffAndStoresIt) {
    const TemporaryPreferences preferences;
    Manager panel(nullptr);
    const SettingsPanel settings(panel, nullptr);
    const std::pair<const char*, std::atomic<bool>*> settingsByKey[] = {
        {kPrefEnableEyeCandy, &Manager::ms_enableEyeCandy},
        {kPrefEnableConstantRedraw, &Manager::ms_enableConstantRedraw},
        {kPrefEnableFloatingTooltip, &Manager::ms_enableTooltip}};
    int box = 0;
    for (UIElement* element : panel.RootGroup()->Children()) {
        auto* check = dynamic_cast<CheckBox*>(element);
        if (check == nullptr) {
            continue;
        }
        ASSERT_LT(box, 3);
        const auto& [key, flag] = settingsByKey[box++];
        SCOPED_TRACE(key);
        Bounds bounds;
        check->GetWorldBounds(bounds);
        const CGPoint inside{bounds.max[0] - 1.0, bounds.min[1] + 1.0};
        for (int click = 0; click < 2; ++click) {
            const bool before = *flag;
            check->MouseUp(inside, 0);
            EXPECT_EQ(check->Checked(), !before);
            EXPECT_EQ(flag->load(), !before);
            EXPECT_EQ(GetPrefInt(key, -1), before ? 0 : 1);
        }
        check->MouseUp(CGPoint{bounds.max[0] + 5.0, bounds.min[1] + 1.0}, 0); // released outside
        EXPECT_EQ(GetPrefInt(key, -1), *flag ? 1 : 0);
    }
    EXPECT_EQ(box, 3);
}

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

    ::Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    for (unsigned i = 0; i < count; ++i) {
        char* name = nullptr;
        if (XFetchName(display, children[i], &name) != 0 && name != nullptr &&
            std::string(name) == "Fluxet") {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = children[i];
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
            XSendEvent(display, children[i], False, NoEventMask, &event);
        }
        XFree(name);
    }
    XFree(children);
    XCloseDisplay(display);
    EXPECT_TRUE(PumpUntil(editor->View(), [&] {
        editor->ProcessEvents();
        return editor->MessageWindowCount() == 0;
    }));
}

} // namespace
} // namespace MV::test
