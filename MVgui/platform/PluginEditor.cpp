#include "PluginEditor.h"

#include "PluginLuaGui.h"

namespace MV {

std::unique_ptr<PluginEditor> PluginEditor::Open(AudioUnit unit, const Options& options,
                                                 std::string& error) {
    std::unique_ptr<PluginEditor> editor(new PluginEditor);
    editor->m_luaGui =
        std::make_unique<PluginLuaGui>(unit, options.prefsProc, options.prefsContext);
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
    // First: the listener's callback wakes the render task that the view stops.
    if (m_listener != nullptr) {
        AUListenerDispose(m_listener);
    }
    m_view.reset();
    m_luaGui.reset();
    m_manager.reset();
}

void PluginEditor::ParameterChanged(void* context, void* /*object*/,
                                    const AudioUnitParameter* /*parameter*/,
                                    AudioUnitParameterValue /*value*/) {
    if (!Manager::ms_enableConstantRedraw) {
        static_cast<const Manager*>(context)->NudgeGUI();
    }
}

} // namespace MV
