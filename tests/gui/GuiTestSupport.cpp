// gtest before the X11 headers, whose macros (None, Bool) clash with its names.
#include <gtest/gtest.h>

#include "GuiTestSupport.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include <X11/extensions/XTest.h>
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

TestScreen::TestScreen() : m_display(XOpenDisplay(nullptr)) {}

TestScreen::~TestScreen() {
    if (m_display != nullptr) {
        XCloseDisplay(m_display);
    }
}

::Window TestScreen::FindTopLevel(const std::string& title) const {
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned count = 0;
    ::Window found = 0;
    if (XQueryTree(m_display, DefaultRootWindow(m_display), &root, &parent, &children, &count) ==
        0) {
        return 0;
    }
    for (unsigned i = 0; i < count && found == 0; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes{};
        if (XFetchName(m_display, children[i], &name) != 0 && name != nullptr && title == name &&
            XGetWindowAttributes(m_display, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable) {
            found = children[i];
        }
        XFree(name);
    }
    XFree(children);
    return found;
}

void TestScreen::MoveTo(::Window window, int x, int y) const {
    int rootX = 0;
    int rootY = 0;
    ::Window child = 0;
    XTranslateCoordinates(m_display, window, DefaultRootWindow(m_display), x, y, &rootX, &rootY,
                          &child);
    XTestFakeMotionEvent(m_display, -1, rootX, rootY, 0);
    XFlush(m_display);
}

void TestScreen::Button(bool down) const {
    XTestFakeButtonEvent(m_display, 1, down ? True : False, 0);
    XFlush(m_display);
}

void TestScreen::Click(::Window window, int x, int y) const {
    MoveTo(window, x, y);
    Button(true);
    Button(false);
}

void TestScreen::Key(KeySym keysym) const {
    const KeyCode code = XKeysymToKeycode(m_display, keysym);
    XTestFakeKeyEvent(m_display, code, True, 0);
    XTestFakeKeyEvent(m_display, code, False, 0);
    XFlush(m_display);
}

void TestScreen::CloseAsWindowManager(::Window window) const {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(m_display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = long(XInternAtom(m_display, "WM_DELETE_WINDOW", False));
    XSendEvent(m_display, window, False, NoEventMask, &event);
    XFlush(m_display);
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
