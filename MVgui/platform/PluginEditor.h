// Fluxet's editor on X11, assembled: the manager, the layout script that builds it, the window
// and a parameter listener that wakes the render task when a parameter changes anywhere (a MIDI
// script, an OSC client, the host), so that the knobs follow within a frame also while constant
// redraw is off. The command-line editor and the plug-in's UI open it the same way.
//
// Threads: Open, ProcessEvents and the destructor run on the thread that handles the window's
// events (the host's UI thread, or the command-line loop).
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "AUHostServices.h"
#include "Control.h"
#include "Manager.h"
#include "X11EditorView.h"

namespace MV {

class PluginLuaGui;

class PluginEditor {
public:
    struct Options {
        X11EditorView::Options view;
        // What the "Prefs" button does; null: nothing.
        Button::Callback prefsProc = nullptr;
        void* prefsContext = nullptr;
        // Told of every change the editor makes (main thread); null: nobody.
        Manager::ParamEditedProc paramEditedProc = nullptr;
        void* paramEditedContext = nullptr;
        // Overrides the "Enable constant redraw" preference for every editor of the process.
        std::optional<bool> constantRedraw;
    };

    // Builds the editor of unit from the layout script and opens its window. Null, with the
    // reason in error, when no window can be opened.
    static std::unique_ptr<PluginEditor> Open(AudioUnit unit, const Options& options,
                                              std::string& error);
    // Stops listening, closes the window (which stops the render task), then frees the script's
    // interpreter and the manager.
    ~PluginEditor();
    PluginEditor(const PluginEditor&) = delete;
    PluginEditor& operator=(const PluginEditor&) = delete;

    // Handles every pending event; false once the window was closed.
    bool ProcessEvents() { return m_view->ProcessEvents(); }
    bool WaitForEvents(int timeoutMs) { return m_view->WaitForEvents(timeoutMs); }

    Manager& GetManager() const { return *m_manager; }
    X11EditorView& View() const { return *m_view; }
    PluginLuaGui& LuaGui() const { return *m_luaGui; }

private:
    PluginEditor() = default;
    // Any thread, real-time safe: a parameter changed.
    static void ParameterChanged(void* context, void* object, const AudioUnitParameter* parameter,
                                 AudioUnitParameterValue value);

    std::unique_ptr<PluginLuaGui> m_luaGui;
    std::unique_ptr<Manager> m_manager;
    std::unique_ptr<X11EditorView> m_view;
    AUParameterListenerRef m_listener = nullptr;
};

} // namespace MV
