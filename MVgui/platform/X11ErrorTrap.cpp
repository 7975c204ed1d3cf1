#include "X11ErrorTrap.h"

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>

namespace MV {

namespace {

// The innermost standing trap of each trapped connection. The lock is never held while Xlib
// may call the handler (around XSync), which takes it itself.
std::mutex g_mutex;
std::vector<std::pair<Display*, X11ErrorTrap*>> g_innermost;
int (*g_previousHandler)(Display*, XErrorEvent*) = nullptr;

X11ErrorTrap** Innermost(Display* display) {
    const auto found =
        std::find_if(g_innermost.begin(), g_innermost.end(),
                     [display](const auto& entry) { return entry.first == display; });
    return found != g_innermost.end() ? &found->second : nullptr;
}

} // namespace

X11ErrorTrap::X11ErrorTrap(Display* display) : m_display(display) {
    XSync(display, False);
    std::lock_guard lock(g_mutex);
    if (g_innermost.empty()) {
        g_previousHandler = XSetErrorHandler(&X11ErrorTrap::Handler);
    }
    if (X11ErrorTrap** innermost = Innermost(display)) {
        m_outer = *innermost;
        *innermost = this;
    } else {
        g_innermost.emplace_back(display, this);
    }
}

X11ErrorTrap::~X11ErrorTrap() {
    XSync(m_display, False);
    std::lock_guard lock(g_mutex);
    if (m_outer != nullptr) {
        *Innermost(m_display) = m_outer;
        return;
    }
    std::erase_if(g_innermost, [this](const auto& entry) { return entry.first == m_display; });
    if (g_innermost.empty()) {
        XSetErrorHandler(g_previousHandler);
        g_previousHandler = nullptr;
    }
}

int X11ErrorTrap::Check() {
    XSync(m_display, False);
    std::lock_guard lock(g_mutex);
    return m_firstError;
}

int X11ErrorTrap::Handler(Display* display, XErrorEvent* event) {
    int (*previous)(Display*, XErrorEvent*) = nullptr;
    {
        std::lock_guard lock(g_mutex);
        if (X11ErrorTrap** innermost = Innermost(display)) {
            for (X11ErrorTrap* trap = *innermost; trap != nullptr; trap = trap->m_outer) {
                if (trap->m_firstError == 0) {
                    trap->m_firstError = event->error_code;
                }
            }
            return 0;
        }
        previous = g_previousHandler;
    }
    return previous != nullptr ? previous(display, event) : 0;
}

} // namespace MV
