// Fluxet's layout script: which elements the script's functions make (textured knobs, glowing
// buttons, on/off parameter buttons, the drop-down whose face lives in the label texture), three
// functions of its own (a knob renderer, the live read-out and a parameter button) and the one
// named button, "Prefs", which opens the settings.
//
// Threads: the main thread, as LuaGui.
#pragma once

#include "Control.h"
#include "LuaGui.h"

namespace MV {

class PluginLuaGui : public LuaGui {
public:
    static constexpr const char* kKnobRendererMetatable = "MVgui.KnobRenderer";
    // The help line of the "Prefs" button (help id -2).
    static constexpr const char* kPrefsHelp =
        "Prefs: the OSC base port and the editor's display options";

    // prefsProc runs, with prefsContext, when the "Prefs" button is pressed (the editor view
    // opens its settings window); null does nothing.
    PluginLuaGui(AudioUnit audioUnit, Button::Callback prefsProc, void* prefsContext);

    void CreateUI(Manager* manager) override;

    UIElement* CreateKnob(lua_State* L, int param, float x, float y, float size) override;
    UIElement* CreateSlider(lua_State* L, int argc, int param, float x, float y, float w, float h,
                            Slider::Orientation orientation) override;
    UIElement* CreateButton(lua_State* L, int argc, const char* label, Button::Callback callback,
                            void* context, float x, float y, float w, float h, int helpId) override;
    UIElement* CreateLuaButton(lua_State* L, int argc, const char* label, Button::Callback callback,
                               void* context, float x, float y, float w, float h, int helpId,
                               StatefulButton::Type type) override;
    UIElement* CreatePropertyTriggerButton(lua_State* L, int argc, const char* label,
                                           Button::Callback callback, void* context, float x,
                                           float y, float w, float h, int helpId) override;
    UIElement* CreatePropertyButton(lua_State* L, int argc, const char* label, int propertyId,
                                    float x, float y, float w, float h, int helpId,
                                    PropertyButton::Type type) override;
    UIElement* CreateDropDown(lua_State* L, int param, float x, float y, float w, float h) override;

private:
    static void PrefsCallback(Button* button, void* context);
    static int LuaKnobRenderer(lua_State* L);
    static int LuaInfoDisplay(lua_State* L);
    static int LuaParamButton(lua_State* L);

    Button::Callback m_prefsProc;
    void* m_prefsContext;
};

} // namespace MV
