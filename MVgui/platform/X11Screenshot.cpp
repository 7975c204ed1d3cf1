#include "X11Screenshot.h"

#include <X11/Xutil.h>

#include "X11ErrorTrap.h"

namespace MV {

namespace {

// The byte of a pixel value under a channel mask.
std::uint8_t Channel(unsigned long pixel, unsigned long mask) {
    if (mask == 0) {
        return 0;
    }
    int shift = 0;
    while (((mask >> shift) & 1) == 0) {
        ++shift;
    }
    const unsigned long value = (pixel & mask) >> shift;
    const unsigned long maximum = mask >> shift;
    return std::uint8_t(value * 255 / maximum);
}

} // namespace

bool CaptureWindow(::Display* display, ::Window window, int& width, int& height,
                   std::vector<std::uint8_t>& rgb) {
    X11ErrorTrap trap(display);
    XWindowAttributes attributes{};
    if (XGetWindowAttributes(display, window, &attributes) == 0 || trap.Check() != 0 ||
        attributes.map_state != IsViewable) {
        return false;
    }
    XImage* image = XGetImage(display, window, 0, 0, unsigned(attributes.width),
                              unsigned(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr || trap.Check() != 0) {
        if (image != nullptr) {
            XDestroyImage(image);
        }
        return false;
    }
    width = attributes.width;
    height = attributes.height;
    rgb.resize(std::size_t(width) * std::size_t(height) * 3);
    std::uint8_t* out = rgb.data();
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const unsigned long pixel = XGetPixel(image, x, y);
            *out++ = Channel(pixel, image->red_mask);
            *out++ = Channel(pixel, image->green_mask);
            *out++ = Channel(pixel, image->blue_mask);
        }
    }
    XDestroyImage(image);
    return true;
}

} // namespace MV
