// The real `fluxet editor` on the test X server: its window as a user sees it (compared with a
// reference image), driven by XTest input, moved by an OSC client, and its failures.
#include <gtest/gtest.h>

#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>

#include "GuiTestSupport.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "PluginEditor.h"
#include "Preferences.h"
#include "TestFolders.h"
#include "UnitHost.h"

extern char** environ;

namespace MV::test {
namespace {

using namespace std::chrono_literals;

// A running program whose standard output and error are collected line by line.
class Program {
public:
    explicit Program(const std::vector<std::string>& args) {
        int out[2];
        int err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
            m_closed = 2;
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        // The program unloads Mesa's driver when it closes its displays, and under
        // AddressSanitizer the driver's own allocations then show as leaks of no known module.
        // The editor's leaks are checked in this process, which keeps the driver loaded.
        std::vector<std::string> variables;
        for (char** variable = environ; *variable != nullptr; ++variable) {
            if (std::string_view(*variable).substr(0, 13) != "ASAN_OPTIONS=") {
                variables.emplace_back(*variable);
            }
        }
        const char* asan = std::getenv("ASAN_OPTIONS");
        variables.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                            ":detect_leaks=0");
        std::vector<char*> envp;
        for (std::string& variable : variables) {
            envp.push_back(variable.data());
        }
        envp.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_readers.emplace_back([this, fd = out[0]] { Read(fd, m_out); });
        m_readers.emplace_back([this, fd = err[0]] { Read(fd, m_err); });
    }
    ~Program() {
        if (m_pid > 0 && m_status < 0) {
            kill(m_pid, SIGTERM);
            Wait();
        }
        for (std::thread& reader : m_readers) {
            reader.join();
        }
    }

    bool Started() const { return m_pid > 0; }
    // The exit status, waiting for the end and for the last of its output.
    int Wait() {
        if (m_status < 0 && m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_closed == 2; });
        return m_status;
    }
    void Stop() const { kill(m_pid, SIGTERM); }

    // The first output line at or after `from` that starts with prefix, waiting up to timeout.
    std::optional<std::string> WaitForLine(const std::string& prefix, std::size_t& from,
                                           std::chrono::seconds timeout = 30s) {
        std::unique_lock lock(m_mutex);
        std::optional<std::string> found;
        m_changed.wait_for(lock, timeout, [&] {
            for (; from < m_out.size(); ++from) {
                if (m_out[from].rfind(prefix, 0) == 0) {
                    found = m_out[from++];
                    return true;
                }
            }
            return m_closed == 2;
        });
        return found;
    }
    std::vector<std::string> Out() {
        std::lock_guard lock(m_mutex);
        return m_out;
    }
    std::vector<std::string> Err() {
        std::lock_guard lock(m_mutex);
        return m_err;
    }

private:
    void Read(int fd, std::vector<std::string>& lines) {
        std::string pending;
        char buffer[4096];
        for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
            pending.append(buffer, std::size_t(got));
            std::lock_guard lock(m_mutex);
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                lines.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            m_changed.notify_all();
        }
        close(fd);
        std::lock_guard lock(m_mutex);
        ++m_closed;
        m_changed.notify_all();
    }

    pid_t m_pid = -1;
    int m_status = -1;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::string> m_out;
    std::vector<std::string> m_err;
    int m_closed = 0;
    std::vector<std::thread> m_readers;
};

std::vector<std::string> EditorArgs(std::vector<std::string> more) {
    std::vector<std::string> args{FLUXET_PROGRAM, "editor", "--duration", "120"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
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

float ChangedValue(const std::optional<std::string>& line) {
    return line ? std::strtof(line->substr(line->rfind(' ') + 1).c_str(), nullptr) : std::nanf("");
}

// The reference was written by tests/gui/make-reference-images from the same program under
// Xvfb with Mesa's software renderer. Text and edges may differ a little between driver and
// font versions: at most 0.5 % of the pixels may differ by more than 48 of 255.
TEST_F(EditorProgramTest, TheWindowLooksLikeTheReferenceImage) {
    const TempFolder folder;
    Program editor(EditorArgs({"--constant-redraw", "off", "--set", "OSC Port Offset=0",
                               "--screenshot", folder / "editor.png"}));
    ASSERT_TRUE(editor.Started());
    ASSERT_EQ(editor.Wait(), 0) << testing::PrintToString(editor.Err());
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
    Program editor(EditorArgs({"--print-changes", "--constant-redraw", "off", "--osc-base-port",
                               std::to_string(base), "--set", "OSC Port Offset=1"}));
    ASSERT_TRUE(editor.Started());
    const ::Window window = WaitForWindow();
    ASSERT_NE(window, 0u) << testing::PrintToString(editor.Err());
    std::size_t line = 0;
    ASSERT_TRUE(editor.WaitForLine("running;", line));

    {
        SCOPED_TRACE("a drag of 40 pixels up on the Feedback knob");
        screen.MoveTo(window, kFeedbackKnobX, kFeedbackKnobY);
        screen.Button(true);
        for (int dy = 5; dy <= 40; dy += 5) {
            screen.MoveTo(window, kFeedbackKnobX, kFeedbackKnobY - dy);
        }
        screen.Button(false);
        // From 0 (the middle of -100 to 100), 40 units at 0.005 of the range each.
        std::optional<std::string> changed;
        float value = 0;
        while (value < 39.99f && (changed = editor.WaitForLine("changed Feedback ", line))) {
            value = ChangedValue(changed);
        }
        EXPECT_NEAR(value, 40.0f, 1e-3f) << testing::PrintToString(editor.Out());
    }
    {
        SCOPED_TRACE("a double-click restores the default");
        screen.Click(window, kFeedbackKnobX, kFeedbackKnobY);
        screen.Click(window, kFeedbackKnobX, kFeedbackKnobY);
        EXPECT_EQ(editor.WaitForLine("changed Feedback ", line), "changed Feedback 0");
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
        EXPECT_EQ(editor.WaitForLine("changed ", line, 1s), std::nullopt); // not the editor's
    }
    {
        SCOPED_TRACE("typing a port offset");
        screen.Click(window, kPortFieldX, kPortFieldY);
        screen.Key(XK_7);
        screen.Key(XK_Return);
        EXPECT_EQ(editor.WaitForLine("changed ", line), "changed OSC Port Offset 7");
    }
    editor.Stop();
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
    Program editor(EditorArgs({"--set", "OSC Port Offset=0", "--screenshot", plugin / "shot.png"}));
    ASSERT_EQ(editor.Wait(), 0) << testing::PrintToString(editor.Err());
    const std::vector<std::string> out = editor.Out();
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
    Program editor(EditorArgs({}));
    EXPECT_EQ(editor.Wait(), 1);
    const std::vector<std::string> err = editor.Err();
    ASSERT_EQ(err.size(), 1u) << testing::PrintToString(err);
    EXPECT_NE(err[0].find("no X display"), std::string::npos) << err[0];
    EXPECT_TRUE(editor.Out().empty());
}

} // namespace
} // namespace MV::test
