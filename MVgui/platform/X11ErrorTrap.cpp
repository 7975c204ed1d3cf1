#include "X11ErrorTrap.h"

#include <mutex>

namespace MV {

namespace {

// One trap at a time in the process: Xlib's error handler is process-wide.
std::recursive_mutex g_trapMutex;
int (*g_previousHandler)(Display*, XErrorEvent*) = nullptr;
Display* g_trappedDisplay = nullptr;
int g_firstError = 0;
int g_depth = 0;

int TrapHandler(Display* display, XErrorEvent* event) {
    if (display == g_trappedDisplay) {
        if (g_firstError == 0) {
            g_firstError = event->error_code;
        }
        return 0;
    }
    return g_previousHandler != nullptr ? g_previousHandler(display, event) : 0;
}

} // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : m_display(display) {
    g_trapMutex.lock();
    if (g_depth++ == 0) {
        XSync(display, False);
        g_trappedDisplay = display;
        g_firstError = 0;
        g_previousHandler = XSetErrorHandler(TrapHandler);
    }
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(m_display, False);
    if (--g_depth == 0) {
        XSetErrorHandler(g_previousHandler);
        g_previousHandler = nullptr;
        g_trappedDisplay = nullptr;
    }
    g_trapMutex.unlock();
}

int X11ErrorTrap::Check() {
    XSync(m_display, False);
    return g_firstError;
}

} // namespace MV
