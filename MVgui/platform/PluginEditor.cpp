#include "PluginEditor.h"

#include <poll.h>

#include <cstdio>
#include <mutex>

#include "PanelWindow.h"
#include "Panels.h"
#include "PluginLuaGui.h"
#include "SystemInfo.h"

namespace MV {

namespace {

// Messages raised anywhere in the process (any thread) wait here for the next editor that handles
// its events; an editor open is what installs the window hook.
std::mutex g_alertMutex;
std::vector<std::string> g_pendingAlerts;
int g_openEditors = 0;
constexpr std::size_t kMaxPendingAlerts = 8;

void QueueAlert(const char* text) {
    std::lock_guard lock(g_alertMutex);
    if (g_pendingAlerts.size() < kMaxPendingAlerts) {
        g_pendingAlerts.emplace_back(text);
    }
}

} // namespace

struct PluginEditor::Message {
    explicit Message(const std::string& text) : panel(text) {}
    MessagePanel panel;
    std::unique_ptr<PanelWindow> window; // closed before the panel its buttons call goes
};

std::unique_ptr<PluginEditor> PluginEditor::Open(AudioUnit unit, const Options& options,
                                                 std::string& error) {
    std::unique_ptr<PluginEditor> editor(new PluginEditor);
    {
        std::lock_guard lock(g_alertMutex);
        if (g_openEditors++ == 0) {
            SetAlertWindowHook(&QueueAlert);
        }
    }
    editor->m_luaGui = std::make_unique<PluginLuaGui>(unit, &PrefsPressed, editor.get());
    editor->m_manager = std::make_unique<Manager>(unit);
    if (options.constantRedraw) {
        Manager::ms_enableConstantRedraw = *options.constantRedraw; // after the manager read it
    }
    editor->m_luaGui->CreateUI(editor->m_manager.get());
    editor->m_manager->SetParamEditedProc(options.paramEditedProc, options.paramEditedContext);
    editor->m_view = X11EditorView::Open(*editor->m_manager, options.view, error);
    if (editor->m_view == nullptr) {
        return nullptr;
    }
    // Without a listener the editor still follows its parameters while constant redraw is on.
    if (AUListenerCreate(&ParameterChanged, editor->m_manager.get(), &editor->m_listener) ==
        noErr) {
        const AudioUnitParameter every{unit, kAUParameterListener_AnyParameter,
                                       kAudioUnitScope_Global, 0};
        AUListenerAddParameter(editor->m_listener, editor.get(), &every);
    }
    return editor;
}

PluginEditor::~PluginEditor() {
    CloseSettings();
    m_messages.clear();
    DetachFromUnit();
    m_view.reset();
    std::lock_guard lock(g_alertMutex);
    if (--g_openEditors == 0) {
        SetAlertWindowHook(nullptr);
        g_pendingAlerts.clear();
    }
}

void PluginEditor::DetachFromUnit() {
    // First: the listener's callback wakes the render task that the view stops.
    if (m_listener != nullptr) {
        AUListenerDispose(m_listener);
        m_listener = nullptr;
    }
    m_settings.reset(); // its port would go to a unit that is gone
    m_settingsPanel.reset();
    m_settingsRequested = false;
    if (m_view != nullptr) {
        m_view->ReleaseManager();
    }
    m_luaGui.reset();
    m_manager.reset();
}

bool PluginEditor::ProcessEvents() {
    const bool open = m_view->ProcessEvents();
    if (m_settings != nullptr &&
        (!m_settings->ProcessEvents() || m_settingsPanel->CloseRequested())) {
        CloseSettings();
    }
    if (m_settingsRequested) {
        m_settingsRequested = false;
        OpenSettings();
    }
    std::erase_if(m_messages, [](const std::unique_ptr<Message>& message) {
        return !message->window->ProcessEvents() || message->panel.CloseRequested();
    });
    ShowPendingAlerts();
    return open;
}

bool PluginEditor::WaitForEvents(int timeoutMs) {
    std::vector<X11EditorView*> views{m_view.get()};
    if (m_settings != nullptr) {
        views.push_back(&m_settings->View());
    }
    for (const std::unique_ptr<Message>& message : m_messages) {
        views.push_back(&message->window->View());
    }
    std::vector<pollfd> descriptors;
    for (X11EditorView* view : views) {
        if (XPending(view->XDisplay()) > 0) {
            return true;
        }
        descriptors.push_back(pollfd{ConnectionNumber(view->XDisplay()), POLLIN, 0});
    }
    return poll(descriptors.data(), descriptors.size(), timeoutMs) > 0;
}

void PluginEditor::OpenSettings() {
    if (m_manager == nullptr) {
        return;
    }
    if (m_settings != nullptr) {
        m_settings->Raise();
        return;
    }
    std::string error;
    Manager* editor = m_manager.get();
    m_settings = PanelWindow::Open(
        SettingsPanel::kTitle, m_view->DisplayName(),
        [this, editor](Manager& panel) {
            m_settingsPanel = std::make_unique<SettingsPanel>(panel, editor);
        },
        error);
    if (m_settings == nullptr) {
        m_settingsPanel.reset();
        Alert("fluxet: cannot open the settings window: " + error);
    }
}

void PluginEditor::CloseSettings() {
    if (m_settings == nullptr) {
        return;
    }
    m_settingsPanel->Apply(m_manager.get()); // while its field stands: the window owns it
    m_settings.reset();
    m_settingsPanel.reset();
}

void PluginEditor::ShowPendingAlerts() {
    std::vector<std::string> texts;
    {
        std::lock_guard lock(g_alertMutex);
        texts.swap(g_pendingAlerts);
    }
    for (const std::string& text : texts) {
        auto message = std::make_unique<Message>(text);
        std::string error;
        MessagePanel& panel = message->panel;
        message->window = PanelWindow::Open(
            "Fluxet", m_view->DisplayName(), [&panel](Manager& manager) { panel.Build(manager); },
            error);
        // Without a window the line on standard error is all the user gets.
        if (message->window != nullptr) {
            m_messages.push_back(std::move(message));
        }
    }
}

void PluginEditor::PrefsPressed(Button* /*button*/, void* context) {
    static_cast<PluginEditor*>(context)->m_settingsRequested = true;
}

void PluginEditor::ParameterChanged(void* context, void* /*object*/,
                                    const AudioUnitParameter* /*parameter*/,
                                    AudioUnitParameterValue /*value*/) {
    if (!Manager::ms_enableConstantRedraw) {
        static_cast<const Manager*>(context)->NudgeGUI();
    }
}

} // namespace MV
