// Helpers of the editor tests: the test display, waiting while the view's events are handled,
// screenshots kept when a pixel test fails, and what a process holds (threads, descriptors).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Manager.h"
#include "TestFolders.h"
#include "X11EditorView.h"

namespace MV::test {

// True when the tests have an X display (the Xvfb fixture's, or $DISPLAY).
bool HaveDisplay();

// Handles the view's events until done() holds or the time-out passes; returns done().
bool PumpUntil(X11EditorView& view, const std::function<bool()>& done,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Handles the view's events for a while.
void PumpFor(X11EditorView& view, std::chrono::milliseconds duration);

// The window's pixels, RGB rows top first.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;

    const std::uint8_t* At(int x, int y) const {
        return rgb.data() + (std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3;
    }
    // Writes it under the build's test output folder as name.png and returns the path.
    std::string Save(const std::string& name) const;
};
// Waits for a frame begun after this call, then reads the window.
Screenshot Capture(X11EditorView& view, Manager& manager);
// Reads any window of the display.
Screenshot CaptureOf(::Display* display, ::Window window);
// Reads a PNG file as RGB; width 0 when it cannot be read.
Screenshot ReadPng(const std::string& path);
// Pixels whose channels differ by more than tolerance from the other image's, or -1 when the
// sizes differ.
int CountDifferences(const Screenshot& a, const Screenshot& b, int tolerance);

// The test's own connection to the display, playing the user's part (XTest pointer and keys)
// and a window manager's.
class TestScreen {
public:
    TestScreen();
    ~TestScreen();
    TestScreen(const TestScreen&) = delete;
    TestScreen& operator=(const TestScreen&) = delete;

    ::Display* Get() const { return m_display; }
    // A viewable top-level window with this title, or 0.
    ::Window FindTopLevel(const std::string& title) const;
    // The pointer to (x, y) of window, in its pixels from its top-left corner.
    void MoveTo(::Window window, int x, int y) const;
    void Button(bool down) const;
    void Click(::Window window, int x, int y) const;
    void Key(KeySym keysym) const;
    // What a window manager sends when the user closes a window.
    void CloseAsWindowManager(::Window window) const;

private:
    ::Display* m_display;
};

// Threads and open file descriptors of this process.
int ThreadCount();
int DescriptorCount();

// The folder holding the editor's fonts in the build.
std::string FontFolder();

} // namespace MV::test
