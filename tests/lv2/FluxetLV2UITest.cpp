// The plug-in's editor as LV2 hosts show it: the built bundle's UI, loaded from the object and
// with the features a host gives (instance-access, ui:parent, ui:resize), embedded in a window of
// this test on the Xvfb fixture's display and driven by idle calls and XTest input.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include <lv2/ui/ui.h>

#include "LV2TestHost.h"

// X11 last: its macros (Bool, None) clash with the LV2 headers.
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include "GuiTestSupport.h"

namespace MV::test {
namespace {

using namespace std::chrono_literals;

// The default skin's layout in window pixels from the top-left corner (resources/gui.lua).
constexpr int kEditorWidth = 720;
constexpr int kEditorHeight = 360;
struct Spot {
    int x, y;
};
constexpr Spot kFeedbackKnob{207, 234};
constexpr Spot kDryKnob{67, 234};
constexpr Spot kPrefsButton{660, 330};
// The settings window's base-port field and "Floating tooltip" box (MVgui/Panels.cpp).
constexpr Spot kBasePortField{235, 56};
constexpr Spot kTooltipBox{26, 142};

// The bundle's UI descriptor, from the object hosts load.
const LV2UI_Descriptor* UIDescriptor() {
    void* object = dlopen(FLUXET_LV2_BUNDLE_DIR "/fluxet.so", RTLD_NOW | RTLD_LOCAL);
    const auto entry =
        object != nullptr
            ? reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(object, "lv2ui_descriptor"))
            : nullptr;
    return entry != nullptr ? entry(0) : nullptr;
}

// A window of the host's, `y` pixels from the top of the screen (the screen holds two).
::Window HostWindow(const TestScreen& screen, int y) {
    const ::Window window = XCreateSimpleWindow(screen.Get(), DefaultRootWindow(screen.Get()), 0, y,
                                                kEditorWidth, kEditorHeight, 0, 0, 0);
    XMapWindow(screen.Get(), window);
    XSync(screen.Get(), False);
    return window;
}

// The plug-in's UI over an instance, as a host runs it: embedded in `parent`, told nothing but
// idle calls (every few milliseconds while the test waits).
class HostedUI {
public:
    HostedUI(LV2TestInstance& instance, ::Window parent) {
        const LV2_Feature instanceAccess{"http://lv2plug.in/ns/ext/instance-access",
                                         lilv_instance_get_handle(instance.Instance())};
        const LV2_Feature parentFeature{LV2_UI__parent,
                                        reinterpret_cast<void*>(std::uintptr_t(parent))};
        const LV2_Feature resizeFeature{LV2_UI__resize, &m_resize};
        const LV2_Feature idleFeature{LV2_UI__idleInterface, nullptr};
        const LV2_Feature* features[] = {&instanceAccess, &parentFeature, &resizeFeature,
                                         &idleFeature, nullptr};
        m_descriptor = UIDescriptor();
        if (m_descriptor == nullptr) {
            return;
        }
        LV2UI_Widget widget = nullptr;
        m_handle =
            m_descriptor->instantiate(m_descriptor, kFluxetLV2StereoURI, FLUXET_LV2_BUNDLE_DIR,
                                      nullptr, nullptr, &widget, features);
        m_widget = ::Window(reinterpret_cast<std::uintptr_t>(widget));
        m_idle = static_cast<const LV2UI_Idle_Interface*>(
            m_descriptor->extension_data(LV2_UI__idleInterface));
    }
    ~HostedUI() { Cleanup(); }
    HostedUI(const HostedUI&) = delete;
    HostedUI& operator=(const HostedUI&) = delete;

    bool Instantiated() const { return m_handle != nullptr && m_idle != nullptr; }
    ::Window Widget() const { return m_widget; }
    int Idle() const { return m_idle->idle(m_handle); }
    void Cleanup() {
        if (m_handle != nullptr) {
            m_descriptor->cleanup(m_handle);
            m_handle = nullptr;
        }
    }
    // The last size the UI told the host.
    std::pair<int, int> ReportedSize() const { return m_size; }

private:
    const LV2UI_Descriptor* m_descriptor = nullptr;
    LV2UI_Handle m_handle = nullptr;
    ::Window m_widget = 0;
    const LV2UI_Idle_Interface* m_idle = nullptr;
    std::pair<int, int> m_size{0, 0};
    LV2UI_Resize m_resize{this, [](LV2UI_Feature_Handle self, int width, int height) {
                              static_cast<HostedUI*>(self)->m_size = {width, height};
                              return 0;
                          }};
};

// Idle calls to every UI until done() holds or the time-out passes; returns done().
bool IdleUntil(std::initializer_list<HostedUI*> uis, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = 20s) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        for (HostedUI* ui : uis) {
            ui->Idle();
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void IdleFor(std::initializer_list<HostedUI*> uis, std::chrono::milliseconds duration) {
    IdleUntil(
        uis, [] { return false; }, duration);
}

// Anything drawn: the editor's background is not black.
bool Drawn(::Display* display, ::Window window) {
    const Screenshot shot = CaptureOf(display, window);
    return shot.width > 0 && shot.At(kEditorWidth / 2, kEditorHeight / 2)[0] != 0;
}

bool AllBlack(const Screenshot& shot) {
    return shot.width > 0 && std::all_of(shot.rgb.begin(), shot.rgb.end(),
                                         [](std::uint8_t value) { return value == 0; });
}

class LV2UITest : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveDisplay() || screen.Get() == nullptr) {
            GTEST_SKIP() << "no X display";
        }
        // Frames only on changes: what the screen shows changes only when something did.
        SetPrefInt(kPrefEnableConstantRedraw, 0);
        XTestFakeMotionEvent(screen.Get(), -1, 1270, 1010, 0);
        XFlush(screen.Get());
    }
    void TearDown() override {
        SetPrefInt(kPrefOSCBasePort, g_oscBasePort);
        SetPrefInt(kPrefEnableFloatingTooltip, 0);
    }

    // A drag of `pixels` upwards from spot.
    void Drag(HostedUI& ui, Spot spot, int pixels) {
        screen.MoveTo(ui.Widget(), spot.x, spot.y);
        IdleFor({&ui}, 50ms);
        screen.Button(true);
        for (int dy = 5; dy <= pixels; dy += 5) {
            screen.MoveTo(ui.Widget(), spot.x, spot.y - dy);
            IdleFor({&ui}, 20ms);
        }
        screen.Button(false);
        IdleFor({&ui}, 100ms);
    }

    TestScreen screen;
};

// A host may end either side first; neither may take the host down.
struct EndingCase {
    const char* name;
    bool instanceFirst;  // else the host's window goes first
    bool constantRedraw; // the editor draws on its own, about 30 frames a second
};

class LV2UIEndingTest : public LV2UITest, public testing::WithParamInterface<EndingCase> {};

TEST_P(LV2UIEndingTest, TheUISurvivesWhatTheHostEndsFirst) {
    const EndingCase& c = GetParam();
    SetPrefInt(kPrefEnableConstantRedraw, c.constantRedraw ? 1 : 0);
    auto instance = std::make_unique<LV2TestInstance>(kFluxetLV2StereoURI, 512);
    // Blocks as a host's audio thread runs them, for a while.
    const auto run = [&](std::chrono::milliseconds duration) {
        for (const auto end = std::chrono::steady_clock::now() + duration;
             std::chrono::steady_clock::now() < end;) {
            instance->Run(64);
            std::this_thread::sleep_for(1ms);
        }
    };
    const ::Window host = HostWindow(screen, 0);
    HostedUI ui(*instance, host);
    ASSERT_TRUE(ui.Instantiated());
    ASSERT_TRUE(IdleUntil({&ui}, [&] { return Drawn(screen.Get(), ui.Widget()); }));
    if (c.instanceFirst) {
        instance.reset();
        // Input and idle calls after the instance went reach nothing; the window is blank.
        Drag(ui, kFeedbackKnob, 20);
        EXPECT_EQ(ui.Idle(), 0);
        EXPECT_TRUE(AllBlack(CaptureOf(screen.Get(), ui.Widget())));
    } else {
        run(100ms);
        XDestroyWindow(screen.Get(), host);
        XSync(screen.Get(), False);
        // The host's next idle call may come late: the render task draws on meanwhile, and the
        // X server answers its next requests with errors.
        run(400ms);
        EXPECT_TRUE(IdleUntil({&ui}, [&] { return ui.Idle() != 0; })); // closed
    }
    ui.Cleanup();
    instance.reset();
    if (c.instanceFirst) {
        XDestroyWindow(screen.Get(), host);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, LV2UIEndingTest,
                         testing::Values(EndingCase{"InstanceFirst", true, false},
                                         EndingCase{"WindowFirst", false, false},
                                         EndingCase{"WindowFirstWhileDrawing", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two instances with an editor each, in one process (and one ThreadSanitizer run): each drag is
// reported once to its own host, and a host's change is drawn without the editor being touched
// (no frames come otherwise).
TEST_F(LV2UITest, TwoEditorsReportTheirDragsAndDrawTheHostsChanges) {
    LV2TestInstance first(kFluxetLV2StereoURI, 512);
    LV2TestInstance second(kFluxetLV2StereoURI, 512);
    const ::Window firstHost = HostWindow(screen, 0);
    const ::Window secondHost = HostWindow(screen, kEditorHeight + 10);
    HostedUI firstUI(first, firstHost);
    HostedUI secondUI(second, secondHost);
    ASSERT_TRUE(firstUI.Instantiated() && secondUI.Instantiated());
    EXPECT_EQ(firstUI.ReportedSize(), std::make_pair(kEditorWidth, kEditorHeight));
    ASSERT_TRUE(IdleUntil({&firstUI, &secondUI}, [&] {
        return Drawn(screen.Get(), firstUI.Widget()) && Drawn(screen.Get(), secondUI.Widget());
    }));
    first.Run(512);
    second.Run(512);
    // 40 pixels cover 0.2 of the range: Feedback from 0 (of -100 to 100) to 40, Dry Level from
    // 0 to 0.2.
    Drag(firstUI, kFeedbackKnob, 40);
    Drag(secondUI, kDryKnob, 40);
    const std::array<float, kNumParameters> firstReports = ReportedByParameter(first.Run(512));
    const std::array<float, kNumParameters> secondReports = ReportedByParameter(second.Run(512));
    EXPECT_NEAR(firstReports[kParam_Feedback], 40.0f, 1e-3f);
    EXPECT_TRUE(std::isnan(firstReports[kParam_DryLevel]));
    EXPECT_NEAR(secondReports[kParam_DryLevel], 0.2f, 1e-4f);
    EXPECT_TRUE(std::isnan(secondReports[kParam_Feedback]));
    EXPECT_TRUE(std::isnan(ReportedByParameter(first.Run(512))[kParam_Feedback]));

    screen.MoveTo(firstUI.Widget(), kEditorWidth - 2, 2);
    IdleFor({&firstUI, &secondUI}, 300ms);
    const Screenshot before = CaptureOf(screen.Get(), firstUI.Widget());
    ControlSequence set;
    set.PatchSet(0, kParam_Feedback, -90.0f);
    first.Run(512, &set);
    EXPECT_TRUE(IdleUntil(
        {&firstUI, &secondUI},
        [&] {
            return CountDifferences(before, CaptureOf(screen.Get(), firstUI.Widget()), 48) > 20;
        }))
        << "screenshot: " << before.Save("lv2-ui-before-host-change");
    firstUI.Cleanup();
    secondUI.Cleanup();
    XDestroyWindow(screen.Get(), firstHost);
    XDestroyWindow(screen.Get(), secondHost);
}

TEST_F(LV2UITest, TheSettingsWindowStoresItsPortWhenClosedAndTheServerMoves) {
    const int base = FindFreeBasePort({3});
    LV2TestInstance instance(kFluxetLV2StereoURI, 512);
    ControlSequence offset;
    offset.PatchSet(0, kParam_OSCPortOffset, int32_t(3));
    instance.Run(512, &offset);
    const ::Window host = HostWindow(screen, 0);
    HostedUI ui(instance, host);
    ASSERT_TRUE(ui.Instantiated());
    ASSERT_TRUE(IdleUntil({&ui}, [&] { return Drawn(screen.Get(), ui.Widget()); }));

    screen.Click(ui.Widget(), kPrefsButton.x, kPrefsButton.y);
    ::Window settings = 0;
    ASSERT_TRUE(IdleUntil({&ui}, [&] {
        settings = screen.FindTopLevel("Fluxet Settings");
        return settings != 0 && Drawn(screen.Get(), settings);
    }));
    screen.Click(settings, kTooltipBox.x, kTooltipBox.y);
    screen.Click(settings, kBasePortField.x, kBasePortField.y);
    IdleFor({&ui}, 100ms);
    for (int i = 0; i < 5; ++i) {
        screen.Key(XK_BackSpace);
    }
    for (const char digit : std::to_string(base)) {
        screen.Key(XK_0 + (digit - '0'));
    }
    IdleFor({&ui}, 200ms);
    screen.CloseAsWindowManager(settings);
    ASSERT_TRUE(IdleUntil({&ui}, [&] { return screen.FindTopLevel("Fluxet Settings") == 0; }));

    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 0), base);
    EXPECT_EQ(GetPrefInt(kPrefEnableFloatingTooltip, 0), 1);
    const OscTestClient client;
    EXPECT_TRUE(WaitUntil([&] { return PingRoundTrip(client, base + 3, 100); }, 10.0));
    ui.Cleanup();
    XDestroyWindow(screen.Get(), host);
}

} // namespace
} // namespace MV::test
