// The editor in a real window on the test X server: what it draws, how often it draws, and that
// opening and closing it leaves nothing behind.
#include <gtest/gtest.h>

#include <X11/extensions/XTest.h>

#include <cmath>
#include <memory>
#include <thread>

#include "DemoLayout.h"
#include "GuiTestSupport.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "UnitHost.h"
#include "X11EditorView.h"

namespace MV::test {
namespace {

using namespace std::chrono_literals;

// A Fluxet instance, a manager with the demo layout over it, and its window.
struct Editor {
    explicit Editor(Manager::LabelPath labels = Manager::LabelPath::kAutomatic,
                    bool constantRedraw = true)
        : host(kFluxetComponentDescription, MrvnFluxetEntry),
          manager(std::make_unique<Manager>(host.Unit())) {
        Manager::ms_enableConstantRedraw = constantRedraw;
        manager->SetLabelPath(labels);
        BuildDemoLayout(*manager, FontFolder());
        std::string error;
        view = X11EditorView::Open(*manager, {}, error);
        EXPECT_NE(view, nullptr) << error;
    }
    ~Editor() {
        view.reset();
        manager.reset();
    }

    // Waits until GL is set up and n frames are on the screen.
    bool WaitForFrames(std::uint64_t n) {
        return view != nullptr &&
               PumpUntil(*view, [&] { return manager->Stats().framesDrawn >= n; });
    }

    UnitHost host;
    std::unique_ptr<Manager> manager;
    std::unique_ptr<X11EditorView> view;
};

class WindowTest : public testing::Test {
protected:
    void SetUp() override {
        if (!HaveDisplay()) {
            GTEST_SKIP() << "no X display";
        }
    }
    void TearDown() override { Manager::ms_enableConstantRedraw = true; }

    // Keeps the screenshot of a failed pixel test.
    static void KeepIfFailed(const Screenshot& shot, const char* name) {
        if (testing::Test::HasFailure()) {
            std::cout << "screenshot: " << shot.Save(name) << "\n";
        }
    }
};

// Pixels differing from colour by more than tolerance in any channel, inside a window box.
int CountDiffering(const Screenshot& shot, int x0, int y0, int x1, int y1, const Vec4& colour,
                   int tolerance) {
    int count = 0;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            const std::uint8_t* p = shot.At(x, y);
            const float expected[3] = {colour.r, colour.g, colour.b};
            for (int c = 0; c < 3; ++c) {
                if (std::abs(int(p[c]) - int(std::lround(expected[c] * 255.0f))) > tolerance) {
                    ++count;
                    break;
                }
            }
        }
    }
    return count;
}

TEST_F(WindowTest, TheBackgroundTheBannerTextAndTheInfoLineAreDrawn) {
    Editor editor;
    ASSERT_TRUE(editor.WaitForFrames(2));
    Screenshot shot = Capture(*editor.view, *editor.manager);
    ASSERT_EQ(shot.width, kDemoWidth);
    ASSERT_EQ(shot.height, kDemoHeight);
    // Window rows count from the top; the banner box lies at layout y 360 and up.
    const int bannerTop = kDemoHeight - int(kDemoBannerY) - 16;
    const int bannerBottom = kDemoHeight - int(kDemoBannerY);
    // Right of every group nothing but the background; the banner text is in the first half.
    EXPECT_EQ(CountDiffering(shot, 770, 60, 800, 330, kDemoBackground, 2), 0);
    EXPECT_GT(CountDiffering(shot, 60, bannerTop, 300, bannerBottom, kDemoBackground, 60), 40);
    EXPECT_EQ(CountDiffering(shot, 430, bannerTop, 760, bannerBottom, kDemoBackground, 60), 0);
    KeepIfFailed(shot, "editor-banner");

    // Hovering "Feedback" puts its name and value on the info line.
    editor.manager->HandleMouseMove(CGPoint{100.0, 300.0 - 4 * 44.0 + 10.0});
    EXPECT_EQ(editor.manager->MouseOverParam(), 10);
    shot = Capture(*editor.view, *editor.manager);
    EXPECT_GT(CountDiffering(shot, 430, bannerTop, 760, bannerBottom, kDemoBackground, 60), 40);
    KeepIfFailed(shot, "editor-info-line");
}

TEST_F(WindowTest, TheOffscreenPathDrawsTheSameLabelsAsTheFramebuffer) {
    Screenshot shots[2];
    const Manager::LabelPath paths[2] = {Manager::LabelPath::kAutomatic,
                                         Manager::LabelPath::kOffscreen};
    for (int i = 0; i < 2; ++i) {
        Editor editor(paths[i]);
        ASSERT_TRUE(editor.WaitForFrames(2));
        EXPECT_EQ(editor.manager->Stats().framebufferLabels, i == 0);
        shots[i] = Capture(*editor.view, *editor.manager);
    }
    ASSERT_EQ(shots[0].rgb.size(), shots[1].rgb.size());
    int differing = 0;
    for (std::size_t i = 0; i < shots[0].rgb.size(); ++i) {
        differing += std::abs(int(shots[0].rgb[i]) - int(shots[1].rgb[i])) > 1 ? 1 : 0;
    }
    EXPECT_EQ(differing, 0);
    // Both really show the captions (not two empty backgrounds).
    // The first caption, "Dry Level", has its baseline 12 units above its box at y 300.
    EXPECT_GT(CountDiffering(shots[1], 36, 75, 110, 92, DemoParamBox::kFaceColour, 60), 40);
    KeepIfFailed(shots[0], "labels-framebuffer");
    KeepIfFailed(shots[1], "labels-offscreen");
}

TEST_F(WindowTest, WithoutConstantRedrawFramesComeOnlyFromChanges) {
    Editor editor(Manager::LabelPath::kAutomatic, false);
    ASSERT_TRUE(editor.WaitForFrames(1));
    // The window's first exposure may still bring one frame.
    PumpFor(*editor.view, 300ms);
    const std::uint64_t settled = editor.manager->Stats().framesDrawn;
    PumpFor(*editor.view, 1000ms);
    EXPECT_EQ(editor.manager->Stats().framesDrawn, settled);
    for (int change = 1; change <= 3; ++change) {
        editor.manager->HandleMouseMove(CGPoint{100.0, 300.0 - (change - 1) * 44.0 + 10.0});
        ASSERT_TRUE(editor.WaitForFrames(settled + std::uint64_t(change)));
        PumpFor(*editor.view, 200ms);
        EXPECT_EQ(editor.manager->Stats().framesDrawn, settled + std::uint64_t(change));
    }
}

TEST_F(WindowTest, DraggingTheCornerResizesTheWindowUpToTheCap) {
    Editor editor;
    ASSERT_TRUE(editor.WaitForFrames(2));
    Display* display = editor.view->XDisplay();
    int x = 0;
    int y = 0;
    ::Window child = 0;
    XTranslateCoordinates(display, editor.view->XWindow(), DefaultRootWindow(display),
                          kDemoWidth - 3, kDemoHeight - 3, &x, &y, &child);
    XTestFakeMotionEvent(display, -1, x, y, 0);
    XTestFakeButtonEvent(display, 1, True, 0);
    XTestFakeMotionEvent(display, -1, x + 120, y + 5, 0);
    XTestFakeMotionEvent(display, -1, x + 400, y + 5, 0);
    XTestFakeButtonEvent(display, 1, False, 0);
    XFlush(display);
    ASSERT_TRUE(PumpUntil(*editor.view, [&] { return editor.view->Width() == 1024; }));
    EXPECT_EQ(editor.view->Height(), 512);
    EXPECT_EQ(editor.manager->WindowSize()[0], 1024);
    // The layout stays in its own units: the corner point of the window maps to the design's.
    const CGPoint corner = editor.manager->ScaledMousePos(CGPoint{1024.0, 512.0});
    EXPECT_DOUBLE_EQ(corner.x, kDemoWidth);
    EXPECT_DOUBLE_EQ(corner.y, kDemoHeight);
    const Screenshot shot = Capture(*editor.view, *editor.manager);
    EXPECT_EQ(shot.width, 1024);
    // The background now fills the larger window: its far corner is drawn, not left black.
    EXPECT_EQ(CountDiffering(shot, 1000, 480, 1024, 512, kDemoBackground, 2), 0);
    KeepIfFailed(shot, "editor-resized");
}

TEST_F(WindowTest, OpeningAndClosingTwentyTimesLeavesNoThreadOrConnection) {
    const auto cycle = [] {
        Editor editor(Manager::LabelPath::kAutomatic, false);
        ASSERT_TRUE(editor.WaitForFrames(1));
    };
    cycle(); // the first editor loads the GL driver and its process-wide state
    const int threads = ThreadCount();
    const int descriptors = DescriptorCount();
    for (int i = 0; i < 20; ++i) {
        cycle();
        ASSERT_FALSE(HasFatalFailure());
    }
    EXPECT_EQ(ThreadCount(), threads);
    EXPECT_EQ(DescriptorCount(), descriptors);
}

} // namespace
} // namespace MV::test
