// Input routing of the Manager without GL: hover, capture, focus, gestures, the wheel, help ids
// and the corner resize, against elements that record what reaches them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "GuiTestSupport.h"
#include "Manager.h"
#include "UIElement.h"

namespace MV::test {
namespace {

using Log = std::vector<std::string>;

std::string Point(const CGPoint& p) {
    return std::to_string(int(p.x)) + "," + std::to_string(int(p.y));
}

// A box that logs its events; a press may open an edit gesture for its parameter.
class Recorder : public UIElement {
public:
    Recorder(Manager* manager, Log& log, std::string name, Bounds box, int param = -1)
        : UIElement(manager), m_log(log), m_name(std::move(name)), m_param(param) {
        m_bounds = box;
    }

    void ExtendBounds(Bounds& box) const override { box.Expand(m_bounds); }
    UIElement* HitTest(const CGPoint& p) override {
        return m_bounds.Contains(p.x, p.y) ? this : nullptr;
    }
    void MouseDown(const CGPoint& p, unsigned modifiers, int clicks) override {
        Add("down " + Point(p) + " m" + std::to_string(modifiers) + " c" + std::to_string(clicks));
        if (m_param >= 0) {
            m_manager->SetEditingParam(m_param);
        }
    }
    void MouseDrag(const CGPoint& p, unsigned modifiers) override {
        Add("drag " + Point(p) + " m" + std::to_string(modifiers));
    }
    void MouseUp(const CGPoint& p, unsigned modifiers) override {
        Add("up " + Point(p) + " m" + std::to_string(modifiers));
    }
    void MouseEntered() override { Add("enter"); }
    void MouseExited() override { Add("exit"); }
    bool Keypress(unsigned char key) override {
        Add(std::string("key ") + char(key));
        return true;
    }
    void LostFocus() override { Add("lost focus"); }

private:
    void Add(const std::string& text) { m_log.push_back(m_name + " " + text); }

    Log& m_log;
    std::string m_name;
    int m_param;
};

// A titled group that logs hovering.
class RecordingGroup : public NamedGroup {
public:
    RecordingGroup(Manager* manager, Log& log, const float* margins)
        : NamedGroup(manager, "group", margins), m_log(log) {}
    void MouseEntered() override {
        NamedGroup::MouseEntered();
        m_log.push_back("group enter");
    }
    void MouseExited() override {
        NamedGroup::MouseExited();
        m_log.push_back("group exit");
    }

private:
    Log& m_log;
};

// Window services of a corner resize, recorded.
class RecordingBridge : public ManagerPlatformBridge {
public:
    explicit RecordingBridge(int height) : height(height) {}
    void RenderTaskHandleResize() override {}
    bool InitGL() override { return false; }
    bool PostInitGL() override { return true; }
    bool InitGLOffscreen(int, int) override { return false; }
    bool MakeCurrent() override { return false; }
    void MakeOffscreenCurrent() override {}
    const unsigned char* OffscreenPixels() const override { return nullptr; }
    void ShutdownGL() override {}
    void SwapBuffers() override {}
    void SetFocusToWindow() override {}
    void SetFrameSize(int w, int h) override {
        width = w;
        height = h;
    }
    int GetFrameHeight() const override { return height; }
    void CenterWindow(void*) override {}
    void RunPropertyTextFieldDialog(int, const std::string&, const std::string&) override {}
    void RunPropertyDialog(int, int) override {}
    void UpdateSizesForRetina(int&, int&) override {}

    int width = 0;
    int height = 0;
};

// Window 400 x 200 (aspect 2) with a group at (100, 100)-(200, 150) holding a and b, which
// overlap at (130, 110)-(150, 130), and c elsewhere.
class InputTest : public testing::Test {
protected:
    InputTest() : manager(nullptr) {
        const float margins[4] = {10.0f, 10.0f, 10.0f, 10.0f};
        group = new RecordingGroup(&manager, log, margins);
        a = new Recorder(&manager, log, "a", Bounds(110, 110, 150, 130), 5);
        b = new Recorder(&manager, log, "b", Bounds(130, 110, 190, 140), 6);
        c = new Recorder(&manager, log, "c", Bounds(300, 20, 340, 60));
        manager.RootGroup()->AddChild(group);
        group->AddChild(a);
        group->AddChild(b);
        manager.RootGroup()->AddChild(c);
        manager.SetWindowSize(400, 200);
        manager.CreateControl(0.0f, 0.0f);
        group->FinalPosition();
        manager.SetEditProcs(&InputTest::Begin, &InputTest::End, this);
        manager.SetCaptureProcs(&InputTest::BeginCapture, &InputTest::EndCapture, this);
    }

    static void Begin(int id, void* self) {
        static_cast<InputTest*>(self)->log.push_back("begin " + std::to_string(id));
    }
    static void End(int id, void* self) {
        static_cast<InputTest*>(self)->log.push_back("end " + std::to_string(id));
    }
    static void BeginCapture(void* self) {
        static_cast<InputTest*>(self)->log.push_back("capture");
    }
    static void EndCapture(void* self, const CGPoint* p) {
        static_cast<InputTest*>(self)->log.push_back("release " + Point(*p));
    }

    Log Take() { return std::exchange(log, {}); }

    Log log;
    Manager manager;
    RecordingGroup* group;
    Recorder* a;
    Recorder* b;
    Recorder* c;
};

TEST_F(InputTest, HoverTracksGroupsAndControlsByTheBoxesTheyHadWhenEntered) {
    struct Step {
        CGPoint at;
        Log expected;
    };
    const Step steps[] = {
        {{105, 145}, {"group enter"}}, // inside the group's margin only
        {{115, 115}, {"a enter"}},     // onto a; the group stays hovered
        {{135, 115}, {}},              // a and b overlap: a, added first, is still the hit
        {{185, 135}, {"a exit", "b enter"}},
        {{250, 100}, {"b exit", "group exit"}},
        {{320, 40}, {"c enter"}},
        {{-5, -5}, {"c exit"}},
    };
    for (const Step& step : steps) {
        manager.HandleMouseMove(step.at);
        Log seen = Take();
        Log expected = step.expected;
        // Several exits at once come in no particular order.
        std::sort(seen.begin(), seen.end() - (seen.size() > 1 && seen.back().ends_with("enter")));
        std::sort(expected.begin(),
                  expected.end() - (expected.size() > 1 && expected.back().ends_with("enter")));
        EXPECT_EQ(seen, expected) << "at " << Point(step.at);
    }
    EXPECT_FALSE(Group::ms_hitTestIncludesGroups);
}

TEST_F(InputTest, PressDragAndReleaseGoToTheCapturedElementWithTheGesture) {
    manager.HandleMouseNoLoopDown({140, 120}, 0, 1, false);
    manager.HandleMouseNoLoopDragged({300, 180}, 0);
    manager.HandleMouseNoLoopUp({310, 190}, 0);
    EXPECT_EQ(Take(), (Log{"a down 140,120 m0 c1", "begin 5", "capture", "a drag 300,180 m0",
                           "release 310,190", "a up 310,190 m0", "end 5"}));
    EXPECT_EQ(manager.Captured(), nullptr);
    EXPECT_EQ(manager.EditingParam(), -1);
    EXPECT_EQ(Manager::ms_lastTouchedParamId, 5);
}

TEST_F(InputTest, AModifierChangeMidDragRestartsTheDrag) {
    manager.HandleMouseNoLoopDown({120, 120}, 0, 2, false);
    Take();
    manager.HandleMouseNoLoopDragged({120, 125}, kModifierShift);
    manager.HandleMouseNoLoopDragged({120, 126}, kModifierShift);
    manager.HandleMouseNoLoopDragged({120, 127}, 0);
    EXPECT_EQ(Take(), (Log{"a up 120,125 m0", "a down 120,125 m512 c1", "a drag 120,125 m512",
                           "a drag 120,126 m512", "a up 120,127 m512", "a down 120,127 m0 c1",
                           "a drag 120,127 m0"}));
}

TEST_F(InputTest, AWheelStepIsAShortDragOfTenUnitsWithItsGesture) {
    manager.HandleMouseWheel({120, 115}, 1.0f, kModifierOption);
    EXPECT_EQ(Take(), (Log{"a down 120,115 m2048 c1", "begin 5", "capture", "a drag 120,125 m2048",
                           "release 120,125", "a up 120,125 m2048", "end 5"}));
    manager.HandleMouseWheel({250, 20}, -2.0f, 0); // empty space: nothing at all
    EXPECT_EQ(Take(), Log{});
}

TEST_F(InputTest, KeysGoToTheFocusUntilAnyPress) {
    EXPECT_FALSE(manager.HandleKeypress('1'));
    manager.SetKeyboardFocusElement(c);
    EXPECT_TRUE(manager.HandleKeypress('1'));
    manager.SetKeyboardFocusElement(a);
    manager.HandleMouseNoLoopDown({250, 20}, 0, 1, false); // empty space still takes the focus
    EXPECT_FALSE(manager.HandleKeypress('2'));
    manager.SetKeyboardFocusElement(b);
    manager.HandleWindowFocusRelinquish();
    EXPECT_EQ(Take(), (Log{"c key 1", "c lost focus", "a lost focus", "b lost focus"}));
    EXPECT_EQ(manager.KeyboardFocus(), nullptr);
}

TEST_F(InputTest, EditGesturesOpenOnceAndCloseOnlyForTheirParameter) {
    manager.SetEditingParam(5);
    manager.SetEditingParam(5);
    manager.SetEditingParam(6);
    manager.UnsetEditingParam(7);
    manager.UnsetEditingParam(6);
    manager.UnsetEditingParam(6);
    EXPECT_EQ(Take(), (Log{"begin 5", "end 5", "begin 6", "end 6"}));
}

TEST_F(InputTest, HelpTextsShareIdsAndNewOnesGoBelowTheLowest) {
    const char* texts[] = {"first", "second", nullptr};
    manager.SetHelpStrings(texts);
    EXPECT_EQ(manager.AddHelpString("second"), -3);
    EXPECT_EQ(manager.AddHelpString("third"), -4);
    EXPECT_EQ(manager.AddHelpString("third"), -4);
    EXPECT_STREQ(manager.HelpString(-2), "first");
    EXPECT_STREQ(manager.HelpString(-4), "third");
    EXPECT_EQ(manager.HelpString(-5), nullptr);
}

TEST_F(InputTest, CornerResizeKeepsTheAspectBetweenTheMinimumAndTheCap) {
    struct Case {
        const char* what;
        CGPoint to; // drag end in window units, from the press at (395, 3)
        int width;
        int height;
    };
    const Case cases[] = {
        {"far right", {3000, 3}, 1024, 512},
        {"mostly down", {420, -800}, 1024, 512},
        {"a little right", {495, 3}, 500, 250},
        {"far left and up", {-3000, 190}, Manager::kMinWidth, Manager::kMinWidth / 2},
        {"to zero height", {395, 203}, Manager::kMinWidth, Manager::kMinWidth / 2},
    };
    for (const Case& test : cases) {
        auto* bridge = new RecordingBridge(200);
        manager.SetBridge(bridge);
        manager.SetWindowSize(400, 200);
        manager.HandleMouseNoLoopDown({395, 3}, 0, 1, false); // x - y > width - 16
        manager.HandleMouseNoLoopDragged(test.to, 0);
        manager.HandleMouseNoLoopUp(test.to, 0);
        EXPECT_EQ(bridge->width, test.width) << test.what;
        EXPECT_EQ(bridge->height, test.height) << test.what;
        EXPECT_EQ(manager.WindowSize()[0], test.width) << test.what;
        EXPECT_FLOAT_EQ(manager.Aspect(), 2.0f) << test.what;
    }
    // The corner's press and release reach no element, only the capture callbacks.
    for (const std::string& line : Take()) {
        EXPECT_TRUE(line == "capture" || line.rfind("release", 0) == 0) << line;
    }
}

TEST(ManagerLayout, AMissingWindowSizeGetsTheFallback) {
    for (const auto& [w, h] : {std::pair{0, 0}, std::pair{640, 0}, std::pair{-5, 300}}) {
        Manager manager(nullptr);
        manager.SetWindowSize(w, h);
        manager.CreateControl(0.0f, 0.0f);
        const SInt16* rect = manager.FrameRect();
        EXPECT_EQ(rect[3] - rect[1], Manager::kFallbackWidth);
        EXPECT_EQ(rect[2] - rect[0], Manager::kFallbackHeight);
        EXPECT_FLOAT_EQ(manager.Aspect(), 2.0f);
    }
}

// A bridge whose presentation hangs (a dead X server) until the test lets it go on.
class StuckBridge : public RecordingBridge {
public:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
        bool left = false;
    };

    explicit StuckBridge(std::shared_ptr<Gate> gate) : RecordingBridge(200), m_gate(gate) {}
    bool MakeCurrent() override { return true; }
    void SwapBuffers() override {
        std::unique_lock lock(m_gate->mutex);
        m_gate->entered = true;
        m_gate->changed.notify_all();
        m_gate->changed.wait(lock, [&] { return m_gate->open; });
    }
    // The end of the stretch of GL work that held the swap is the task's last touch of the
    // bridge: told under the gate's lock, the test's deletion is ordered after it.
    void EndRenderWork() override {
        const std::shared_ptr<Gate> gate = m_gate;
        const std::lock_guard lock(gate->mutex);
        gate->left = gate->open;
        gate->changed.notify_all();
    }

private:
    std::shared_ptr<StuckBridge::Gate> m_gate;
};

class ImpatientManager : public Manager {
public:
    ImpatientManager() : Manager(nullptr) { m_stopTimeoutMs = 200; }
};

TEST(RenderTask, ATaskThatMissesItsTimeOutIsLetGoWithAMessage) {
    using namespace std::chrono_literals;
    std::thread([] {}).join(); // a sanitizer starts its own thread with the first one
    const int threads = ThreadCount();
    auto gate = std::make_shared<StuckBridge::Gate>();
    auto* bridge = new StuckBridge(gate);
    auto manager = std::make_unique<ImpatientManager>();
    Manager::ms_enableConstantRedraw = false;
    manager->SetWindowSize(400, 200);
    manager->CreateControl(0.0f, 0.0f);
    manager->SetBridge(bridge);
    manager->CreateRenderTask();
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(gate->changed.wait_for(lock, 20s, [&] { return gate->entered; }));
    }
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    manager.reset();
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "DestroyRenderTask timeout on shutdown\n");
    EXPECT_LT(waited, 10s);
    {
        std::unique_lock lock(gate->mutex);
        gate->open = true;
        gate->changed.notify_all();
        ASSERT_TRUE(gate->changed.wait_for(lock, 20s, [&] { return gate->left; }));
    }
    // Let go, the task returns without touching the deleted manager, and ends.
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (ThreadCount() > threads && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(ThreadCount(), threads);
    delete bridge; // the manager left it to the task
    Manager::ms_enableConstantRedraw = true;
}

} // namespace
} // namespace MV::test
