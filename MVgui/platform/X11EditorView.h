// The editor's window on X11: a window with a GLX visual (double-buffered, with a depth
// buffer), either inside a host's window or top-level, that owns the connection its input
// arrives on and hands that input to the Manager.
//
// Threads: everything here runs on the thread that opened the view (the host's main or idle
// thread, or the command-line loop); the render task talks to the X server through a
// connection of its own (GLXBridge.h). Closing the view stops the render task before the
// window goes away.
#pragma once

#include <memory>
#include <string>

#include <X11/Xlib.h>

namespace MV {

class Manager;

class X11EditorView {
public:
    struct Options {
        std::string displayName;      // empty: $DISPLAY
        ::Window parent = 0;          // 0: a top-level window
        std::string title = "Fluxet"; // top-level windows only
    };

    // Fixes the manager's layout (CreateControl), opens the window at its size, installs the
    // bridge and the manager's callbacks and starts the render task. Null, with the reason in
    // error, when there is no display, no suitable visual, or the parent window is gone.
    static std::unique_ptr<X11EditorView> Open(Manager& manager, const Options& options,
                                               std::string& error);
    // Stops the render task, then destroys the window and closes the connection.
    ~X11EditorView();
    X11EditorView(const X11EditorView&) = delete;
    X11EditorView& operator=(const X11EditorView&) = delete;

    // Handles every pending event; false once the window was closed or destroyed.
    bool ProcessEvents();
    // Waits at most timeoutMs for events to arrive; true when some are pending.
    bool WaitForEvents(int timeoutMs);
    bool IsClosed() const { return m_closed; }

    ::Display* XDisplay() const { return m_display; }
    ::Window XWindow() const { return m_window; }
    // The name the render task connects with.
    const std::string& DisplayName() const { return m_displayName; }
    VisualID WindowVisual() const { return m_visualId; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // Resizes the window (a corner resize, or the host's request).
    void SetFrameSize(int width, int height);
    void TakeKeyboardFocus();

private:
    X11EditorView(Manager& manager, ::Display* display, std::string displayName);
    bool Create(const Options& options, std::string& error);
    void HandleEvent(const XEvent& event);
    // Window coordinates to view units with y upwards.
    double FlipY(int y) const { return double(m_height - y); }

    Manager& m_manager;
    ::Display* m_display;
    std::string m_displayName;
    ::Window m_window = 0;
    ::Colormap m_colormap = 0;
    VisualID m_visualId = 0;
    Atom m_deleteWindow = 0;
    int m_width = 0;
    int m_height = 0;
    bool m_closed = false;
    bool m_mouseTracking = false;
};

} // namespace MV
