// A small top-level window drawn with the toolkit: a manager of no unit with the editor's fonts,
// laid out by a panel (Panels.h), in a window of its own with its own render task. The editor's
// settings window and its message windows.
//
// Threads: the thread that handles the editor's events, as X11EditorView.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "Manager.h"
#include "X11EditorView.h"

namespace MV {

class PanelWindow {
public:
    // build lays the panel out on the manager, window size included, before the window opens.
    // Null, with the reason in error, when no window can be opened.
    static std::unique_ptr<PanelWindow> Open(const std::string& title, const std::string& display,
                                             const std::function<void(Manager&)>& build,
                                             std::string& error);
    ~PanelWindow();
    PanelWindow(const PanelWindow&) = delete;
    PanelWindow& operator=(const PanelWindow&) = delete;

    // Handles every pending event; false once the window manager closed the window.
    bool ProcessEvents() { return m_view->ProcessEvents(); }
    // Brings the window to the front.
    void Raise() { m_view->Raise(); }

    Manager& GetManager() const { return *m_manager; }
    X11EditorView& View() const { return *m_view; }

private:
    PanelWindow() = default;

    std::unique_ptr<Manager> m_manager;
    std::unique_ptr<X11EditorView> m_view;
};

} // namespace MV
