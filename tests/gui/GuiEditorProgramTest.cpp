// The real `fluxet editor` on the test X server: its window as a user sees it (compared with a
// reference image), driven by XTest input, moved by an OSC client, and its failures.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <thread>

#include "GuiTestSupport.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "PluginEditor.h"
#include "Preferences.h"
#include "TestFolders.h"
#include "UnitHost.h"

namespace MV::test {
namespace {

using namespace std::chrono_literals;

// `fluxet editor` with these arguments, its standard output read by line. The program unloads
// Mesa's driver when it closes its displays, and under AddressSanitizer the driver's own
// allocations then show as leaks of no known module: the editor's leaks are checked in this
// process, which keeps the driver loaded.
std::string EditorCommand(const std::vector<std::string>& more) {
    std::string command = "env ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" '" +
                          std::string(FLUXET_PROGRAM) + "' editor --duration 120";
    for (const std::string& arg : more) {
        command += " '" + arg + "'";
    }
    return command;
}

// The next output line at or after `from` that starts with prefix; empty once the output ended.
std::string NextLine(Child& program, const std::string& prefix, std::size_t& from) {
    const auto& lines = program.ReadUntil([&](const std::vector<std::string>& read) {
        for (; from < read.size(); ++from) {
            if (read[from].rfind(prefix, 0) == 0) {
                return true;
            }
        }
        return false;
    });
    return from < lines.size() ? lines[from++] : "";
}

// The default skin's layout, in window pixels from the top-left corner (resources/gui.lua).
constexpr int kWindowWidth = 720;
constexpr int kWindowHeight = 360;
constexpr int kFeedbackKnobX = 207;
constexpr int kFeedbackKnobY = 234;
constexpr int kPortFieldX = 591;
constexpr int kPortFieldY = 330;

class EditorProgramTest : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveDisplay()) {
            GTEST_SKIP() << "no X display";
        }
        ASSERT_NE(screen.Get(), nullptr);
        // The window of an earlier test's program may linger until the server has seen that
        // program go.
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (screen.FindTopLevel("Fluxet") != 0 && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
        }
        // The pointer away from where the window will be, so that nothing is hovered.
        XTestFakeMotionEvent(screen.Get(), -1, 1200, 1000, 0);
        XFlush(screen.Get());
    }

    ::Window WaitForWindow() {
        ::Window window = 0;
        const auto end = std::chrono::steady_clock::now() + 30s;
        while ((window = screen.FindTopLevel("Fluxet")) == 0 &&
               std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(20ms);
        }
        return window;
    }

    TestScreen screen;
    TemporaryPreferences preferences;
};

// The reference was written by tests/gui/make-reference-images from the same program under
// Xvfb with Mesa's software renderer. Text and edges may differ a little between driver and
// font versions: at most 0.5 % of the pixels may differ by more than 48 of 255.
TEST_F(EditorProgramTest, TheWindowLooksLikeTheReferenceImage) {
    const TempFolder folder;
    Child editor(EditorCommand({"--constant-redraw", "off", "--set", "OSC Port Offset=0",
                                "--screenshot", folder / "editor.png"}));
    ASSERT_TRUE(editor.Started());
    ASSERT_EQ(editor.Wait(), 0);
    const Screenshot shot = ReadPng(folder / "editor.png");
    ASSERT_EQ(shot.width, kWindowWidth);
    ASSERT_EQ(shot.height, kWindowHeight);
    const Screenshot reference = ReadPng(FLUXET_GUI_REFERENCE_DIR "/editor.png");
    ASSERT_EQ(reference.width, kWindowWidth) << "missing reference image";
    const int differing = CountDifferences(shot, reference, 48);
    EXPECT_LE(differing, kWindowWidth * kWindowHeight / 200);
    if (HasFailure()) {
        std::cout << "screenshot: " << shot.Save("editor-program") << "\n";
    }
}

TEST_F(EditorProgramTest, MouseKeysAndOscChangeTheParametersTheEditorShows) {
    const int base = FindFreeBasePort({1});
    Child editor(EditorCommand({"--print-changes", "--constant-redraw", "off", "--osc-base-port",
                                std::to_string(base), "--set", "OSC Port Offset=1"}));
    ASSERT_TRUE(editor.Started());
    const ::Window window = WaitForWindow();
    ASSERT_NE(window, 0u);
    std::size_t line = 0;
    ASSERT_NE(NextLine(editor, "running;", line), "");

    {
        SCOPED_TRACE("a drag of 40 pixels up on the Feedback knob");
        screen.MoveTo(window, kFeedbackKnobX, kFeedbackKnobY);
        screen.Button(true);
        for (int dy = 5; dy <= 40; dy += 5) {
            screen.MoveTo(window, kFeedbackKnobX, kFeedbackKnobY - dy);
        }
        screen.Button(false);
        // From 0 (the middle of -100 to 100), 40 units at 0.005 of the range each.
        float value = 0;
        for (std::string changed;
             value < 39.99f && !(changed = NextLine(editor, "changed Feedback ", line)).empty();) {
            value = std::strtof(changed.substr(changed.rfind(' ') + 1).c_str(), nullptr);
        }
        EXPECT_NEAR(value, 40.0f, 1e-3f);
    }
    {
        SCOPED_TRACE("a double-click restores the default");
        screen.Click(window, kFeedbackKnobX, kFeedbackKnobY);
        screen.Click(window, kFeedbackKnobX, kFeedbackKnobY);
        EXPECT_EQ(NextLine(editor, "changed Feedback ", line), "changed Feedback 0");
    }
    {
        SCOPED_TRACE("an OSC client turns the Feedback knob");
        // The pointer away again, so that only the knob's value changes what is drawn.
        screen.MoveTo(window, kWindowWidth - 1, 1);
        std::this_thread::sleep_for(300ms);
        const Screenshot before = CaptureOf(screen.Get(), window);
        const OscTestClient client;
        client.Send(base + 1, Message("/set", 10, 100.0f));
        // The knob is drawn within a couple of frames of the change; a frame takes milliseconds.
        int differing = 0;
        for (int i = 0; i < 200 && differing == 0; ++i) {
            std::this_thread::sleep_for(10ms);
            Screenshot after = CaptureOf(screen.Get(), window);
            differing = CountDifferences(before, after, 48);
        }
        EXPECT_GT(differing, 20);
    }
    {
        SCOPED_TRACE("typing a port offset");
        screen.Click(window, kPortFieldX, kPortFieldY);
        screen.Key(XK_7);
        screen.Key(XK_Return);
        // Next after the double-click: the OSC client's change is not the editor's.
        EXPECT_EQ(NextLine(editor, "changed ", line), "changed OSC Port Offset 7");
    }
    editor.Signal(SIGTERM);
    EXPECT_EQ(editor.Wait(), 0);
}

TEST_F(EditorProgramTest, ABrokenSkinAMissingImageAndFontEachPrintOneLine) {
    const TempFolder plugin;
    const TempFolder data;
    // The plug-in's own layout, with an image and a font that exist nowhere.
    WriteFile(plugin / "gui.lua", R"(
function getWindowSize() return 400, 200 end
function getFont() return {{name = "NoSuchFont.ttf", size = 12}} end
function createUI()
    theKnobRenderer = knobRenderer(texture("no-such-image.png"), 0, 0, 64, 64, 0)
    add(knob("Feedback", 180, 80, 40))
end
)");
    WriteFile(data / "Morvane/Fluxet/Skins/Broken/gui.lua", "function getWindowSize(\n");
    SetPrefString(kPrefSkin, "Broken");
    const ScopedEnvironment bundle("FLUXET_BUNDLE_DIR", plugin.Path());
    const ScopedEnvironment dataHome("XDG_DATA_HOME", data.Path());
    Child editor(
        EditorCommand({"--set", "OSC Port Offset=0", "--screenshot", plugin / "shot.png"}));
    ASSERT_EQ(editor.Wait(), 0);
    const std::vector<std::string> out = editor.Lines();
    const auto count = [&](const std::string& part) {
        return std::count_if(out.begin(), out.end(), [&](const std::string& text) {
            return text.find(part) != std::string::npos;
        });
    };
    EXPECT_EQ(count("@@@ failed to run buffer: "), 1) << testing::PrintToString(out);
    EXPECT_EQ(count("NoSuchFont.ttf"), 1);
    EXPECT_EQ(count("no-such-image.png"), 1);
    // The editor opened all the same, at the plug-in's size.
    EXPECT_EQ(ReadPng(plugin / "shot.png").width, 400);
}

// In a host's window: a key the editor uses stays with it, any other goes to the host's window.
TEST_F(EditorProgramTest, KeysTheEditorDoesNotUseGoOnToTheHostsWindow) {
    const ::Window host = XCreateSimpleWindow(screen.Get(), DefaultRootWindow(screen.Get()), 0, 0,
                                              kWindowWidth, kWindowHeight, 0, 0, 0);
    XSelectInput(screen.Get(), host, KeyPressMask | KeyReleaseMask);
    XMapWindow(screen.Get(), host);
    XSync(screen.Get(), False);
    const ScopedEnvironment bundle("FLUXET_BUNDLE_DIR", FLUXET_SOURCE_RESOURCES_DIR);
    UnitHost unit(kFluxetComponentDescription, MrvnFluxetEntry);
    PluginEditor::Options options;
    options.view.parent = host;
    std::string error;
    auto editor = PluginEditor::Open(unit.Unit(), options, error);
    ASSERT_NE(editor, nullptr) << error;
    ASSERT_TRUE(
        PumpUntil(editor->View(), [&] { return editor->GetManager().Stats().framesDrawn >= 1; }));
    const ::Window view = editor->View().XWindow();
    screen.Click(view, kPortFieldX, kPortFieldY);
    const auto pump = [&] { PumpFor(editor->View(), 200ms); };
    pump();
    const auto forwarded = [&] {
        std::vector<KeySym> keys;
        XSync(screen.Get(), False);
        while (XPending(screen.Get()) > 0) {
            XEvent event;
            XNextEvent(screen.Get(), &event);
            if (event.type == KeyPress && event.xkey.window == host) {
                keys.push_back(XLookupKeysym(&event.xkey, 0));
            }
        }
        return keys;
    };
    forwarded();       // whatever came before
    screen.Key(XK_5);  // a digit for the focused value field
    screen.Key(XK_a);  // nothing here uses a letter
    screen.Key(XK_Up); // the field steps its value
    pump();
    EXPECT_EQ(forwarded(), std::vector<KeySym>{XK_a});
    EXPECT_EQ(unit.GetParameter(15), 6.0f); // "5", then one step up
    editor.reset();
    XDestroyWindow(screen.Get(), host);
}

TEST(EditorProgram, WithoutADisplayItSaysSoInOneLine) {
    const ScopedEnvironment noDisplay("DISPLAY", std::nullopt);
    Child editor(EditorCommand({}) + " 2>&1");
    const int status = editor.Wait();
    const std::vector<std::string> said = editor.Lines();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    ASSERT_EQ(said.size(), 1u) << testing::PrintToString(said);
    EXPECT_NE(said[0].find("no X display"), std::string::npos) << said[0];
}

} // namespace
} // namespace MV::test
