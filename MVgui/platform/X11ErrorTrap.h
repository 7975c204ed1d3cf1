// Catches the X errors of our own requests instead of letting Xlib's default handler end the
// process (a plug-in must never end its host). Installed only around our own calls; errors of
// other connections go on to whatever handler was installed before.
#pragma once

#include <X11/Xlib.h>

namespace MV {

class X11ErrorTrap {
public:
    explicit X11ErrorTrap(Display* display);
    // Syncs, so that errors of requests still in flight are caught, then restores the handler.
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Syncs and returns the first error code seen so far (0 for none).
    int Check();

private:
    Display* m_display;
};

} // namespace MV
