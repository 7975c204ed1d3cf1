// gtest before the X11 headers, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "GuiTestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <thread>

#include "PngWriter.h"
#include "X11Screenshot.h"

namespace MV::test {

bool HaveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

bool PumpUntil(X11EditorView& view, const std::function<bool()>& done,
               std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end) {
            return false;
        }
        view.WaitForEvents(5);
        view.ProcessEvents();
    }
    return true;
}

void PumpFor(X11EditorView& view, std::chrono::milliseconds duration) {
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        view.WaitForEvents(5);
        view.ProcessEvents();
    }
}

std::string Screenshot::Save(const std::string& name) const {
    const std::string folder = FLUXET_GUI_TEST_OUTPUT_DIR;
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + name + ".png";
    WritePng(path, width, height, 3, 8, rgb.data());
    return path;
}

Screenshot Capture(X11EditorView& view, Manager& manager) {
    // A frame may be on its way already, drawn from the state before this call: wait for the
    // one after it.
    const std::uint64_t before = manager.Stats().framesDrawn;
    for (std::uint64_t frame = before + 1; frame <= before + 2; ++frame) {
        manager.NudgeGUI();
        EXPECT_TRUE(PumpUntil(view, [&] { return manager.Stats().framesDrawn >= frame; }));
    }
    // The server has the frame once the render task's swap returned; make sure ours sees it.
    XSync(view.XDisplay(), False);
    Screenshot shot;
    EXPECT_TRUE(CaptureWindow(view.XDisplay(), view.XWindow(), shot.width, shot.height, shot.rgb));
    return shot;
}

int ThreadCount() {
    return int(FolderEntries("/proc/self/task").size());
}

int DescriptorCount() {
    return int(FolderEntries("/proc/self/fd").size());
}

std::string FontFolder() {
    return FLUXET_GUI_FONT_DIR;
}

} // namespace MV::test
