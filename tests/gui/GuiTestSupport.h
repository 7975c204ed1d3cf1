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

// Threads and open file descriptors of this process.
int ThreadCount();
int DescriptorCount();

// The folder holding the editor's fonts in the build.
std::string FontFolder();

} // namespace MV::test
