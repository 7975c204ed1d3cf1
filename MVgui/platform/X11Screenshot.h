// The pixels of a window as the X server holds them.
#pragma once

#include <cstdint>
#include <vector>

#include <X11/Xlib.h>

namespace MV {

// Reads the window's contents as RGB rows, top row first. False when the window cannot be read
// (unmapped, gone, or an unsupported visual); X errors are trapped.
bool CaptureWindow(::Display* display, ::Window window, int& width, int& height,
                   std::vector<std::uint8_t>& rgb);

} // namespace MV
