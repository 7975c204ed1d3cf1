// gtest before the X11 headers, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "GuiTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <png.h>

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

Screenshot CaptureOf(::Display* display, ::Window window) {
    XSync(display, False);
    Screenshot shot;
    if (!CaptureWindow(display, window, shot.width, shot.height, shot.rgb)) {
        shot.width = 0;
    }
    return shot;
}

Screenshot ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Screenshot shot;
    if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
        return shot;
    }
    image.format = PNG_FORMAT_RGB;
    shot.rgb.resize(PNG_IMAGE_SIZE(image));
    if (png_image_finish_read(&image, nullptr, shot.rgb.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        shot.rgb.clear();
        return shot;
    }
    shot.width = int(image.width);
    shot.height = int(image.height);
    return shot;
}

int CountDifferences(const Screenshot& a, const Screenshot& b, int tolerance) {
    if (a.width != b.width || a.height != b.height) {
        return -1;
    }
    int count = 0;
    for (std::size_t i = 0; i + 2 < a.rgb.size(); i += 3) {
        for (std::size_t c = 0; c < 3; ++c) {
            if (std::abs(int(a.rgb[i + c]) - int(b.rgb[i + c])) > tolerance) {
                ++count;
                break;
            }
        }
    }
    return count;
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
