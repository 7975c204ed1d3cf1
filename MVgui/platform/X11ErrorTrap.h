// Catches the X errors of our own requests instead of letting Xlib's default handler end the
// process (a plug-in must never end its host). Installed only around our own calls; errors of
// other connections go on to whatever handler was installed before.
//
// Xlib's error handler is one per process, while each connection of ours is used by one thread
// (an editor's window, its render task, a settings window): the trap keeps a record per
// connection, so that traps on different threads neither wait for each other nor see each
// other's errors. Traps on one connection nest; each sees the errors made while it stands.
#pragma once

#include <X11/Xlib.h>

namespace MV {

class X11ErrorTrap {
public:
    // Syncs first: errors of requests made before the trap are not its own.
    explicit X11ErrorTrap(Display* display);
    // Syncs, so that errors of requests still in flight are caught, then restores the handler
    // when no trap stands any more.
    ~X11ErrorTrap();
    X11ErrorTrap(const X11ErrorTrap&) = delete;
    X11ErrorTrap& operator=(const X11ErrorTrap&) = delete;

    // Syncs and returns the first error code seen since this trap began (0 for none).
    int Check();

private:
    static int Handler(Display* display, XErrorEvent* event);

    Display* m_display;
    X11ErrorTrap* m_outer = nullptr; // the trap this one stands inside, on the same connection
    int m_firstError = 0;
};

} // namespace MV
