// Fluxet's editor on X11, assembled: the manager, the layout script that builds it, the window
// and a parameter listener that wakes the render task when a parameter changes anywhere (a MIDI
// script, an OSC client, the host), so that the knobs follow within a frame also while constant
// redraw is off. Its "Prefs" button opens the settings window; messages the user should not miss
// (MV::Alert) open message windows while an editor is open. The command-line editor and the
// plug-in's UI open it the same way.
//
// Threads: Open, ProcessEvents, DetachFromUnit and the destructor run on the thread that handles
// the window's events (the host's UI thread, or the command-line loop). Several editors of one
// process each run on their own UI thread or share one.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AUHostServices.h"
#include "Control.h"
#include "Manager.h"
#include "X11EditorView.h"

namespace MV {

class PanelWindow;
class PluginLuaGui;
class SettingsPanel;

class PluginEditor {
public:
    struct Options {
        X11EditorView::Options view;
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
    // Closes the settings window (which applies its base port) and the message windows, stops
    // listening, closes the window (which stops the render task), then frees the script's
    // interpreter and the manager.
    ~PluginEditor();
    PluginEditor(const PluginEditor&) = delete;
    PluginEditor& operator=(const PluginEditor&) = delete;

    // Handles every pending event of the editor and its settings and message windows, and opens
    // the windows asked for meanwhile; false once the editor's window was closed or destroyed.
    bool ProcessEvents();
    // Waits at most timeoutMs for events of any of the editor's windows.
    bool WaitForEvents(int timeoutMs);

    // What the "Prefs" button does: opens the settings window, or brings it to the front.
    void OpenSettings();
    // The settings window, null while it is closed.
    PanelWindow* Settings() const { return m_settings.get(); }
    std::size_t MessageWindowCount() const { return m_messages.size(); }

    // The unit is going away before the editor: everything that reaches it goes first (the
    // listener, the render task, the settings window, the layout script, the manager). The window
    // stays, blank, until the editor is destroyed.
    void DetachFromUnit();
    bool IsDetached() const { return m_manager == nullptr; }

    // While attached.
    Manager& GetManager() const { return *m_manager; }
    PluginLuaGui& LuaGui() const { return *m_luaGui; }
    X11EditorView& View() const { return *m_view; }

private:
    PluginEditor() = default;
    // Any thread, real-time safe: a parameter changed.
    static void ParameterChanged(void* context, void* object, const AudioUnitParameter* parameter,
                                 AudioUnitParameterValue value);
    // Main thread, inside the manager's event handling: the window opens after it.
    static void PrefsPressed(Button* button, void* context);
    void CloseSettings();
    void ShowPendingAlerts();

    std::unique_ptr<PluginLuaGui> m_luaGui;
    std::unique_ptr<Manager> m_manager;
    std::unique_ptr<X11EditorView> m_view;
    AUParameterListenerRef m_listener = nullptr;
    bool m_settingsRequested = false;
    std::unique_ptr<SettingsPanel> m_settingsPanel;
    std::unique_ptr<PanelWindow> m_settings;
    struct Message;
    std::vector<std::unique_ptr<Message>> m_messages;
};

} // namespace MV
