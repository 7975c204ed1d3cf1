// The editor's window on X11: a window with a GLX visual (double-buffered, with a depth
// buffer), either inside a host's window or top-level, that owns the connection its input
// arrives on and hands that input to the Manager.
//
// Input: the pointer (Ctrl stands for the command key, Alt for option), the wheel (buttons 4 to
// 7, turned into short drags) and the keyboard, which the view takes on a click. X11 reports no
// click count: presses of the same button close together in time and place count up. Keys the
// editor does not use go on to the host's window.
//
// Threads: everything here runs on the thread that opened the view (the host's main or idle
// thread, or the command-line loop); the render task talks to the X server through a
// connection of its own (GLXBridge.h). Closing the view stops the render task before the
// window goes away; so does the window's destruction by someone else (a host that destroys
// its own window first).
//
// Sizes: the editor's corner resize sets the window's size; a size the host gives the window
// (a ConfigureNotify the view did not ask for) becomes the manager's window size, and the
// editor is drawn scaled into it.
#pragma once

#include <bitset>
#include <memory>
#include <string>

#include <X11/Xlib.h>

namespace MV {

class Manager;

class X11EditorView {
public:
    // Two presses count as a double-click when at most this far apart.
    static constexpr long kDoubleClickMs = 400;
    static constexpr int kDoubleClickDistance = 4;

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
    // Stops the render task and lets go of the manager for good: the window stays, blank, until
    // the view is destroyed, and input goes nowhere. For an editor whose plug-in instance ended
    // before its host closed the editor.
    void ReleaseManager();
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
    // The size the host gives the window: the manager draws the editor scaled into it.
    void ResizeFromHost(int width, int height);
    void TakeKeyboardFocus();
    // Maps a top-level window and brings it to the front.
    void Raise();

private:
    X11EditorView(Manager& manager, ::Display* display, std::string displayName);
    bool Create(const Options& options, std::string& error);
    void HandleEvent(const XEvent& event);
    // The window has this size now: the manager draws the editor scaled into it.
    void FollowSize(int width, int height);
    void HandlePress(const XButtonEvent& event);
    void HandleKey(const XKeyEvent& event);
    // The click count of a press: one more than the last press's when it was close enough.
    int ClickCount(const XButtonEvent& event);
    // Sends a key the editor did not use to the host's window.
    void PassKeyOn(const XKeyEvent& event);
    // Window coordinates to view units with y upwards.
    double FlipY(int y) const { return double(m_height - y); }

    Manager* m_manager; // null once released
    ::Display* m_display;
    std::string m_displayName;
    ::Window m_window = 0;
    ::Colormap m_colormap = 0;
    VisualID m_visualId = 0;
    Atom m_deleteWindow = 0;
    int m_width = 0;
    int m_height = 0;
    ::Window m_parent = 0; // the host's window; 0 for a top-level window
    bool m_closed = false;
    bool m_mouseTracking = false;
    struct LastPress {
        unsigned button = 0;
        Time time = 0;
        int x = 0;
        int y = 0;
        int count = 0;
    } m_lastPress;
    // Keys whose press the editor used, by key code: their releases stay here too.
    std::bitset<256> m_keysUsed;
};

} // namespace MV
