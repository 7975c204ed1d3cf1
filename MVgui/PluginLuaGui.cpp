#include "PluginLuaGui.h"

#include <lua.hpp>

#include "Manager.h"
#include "TextField.h"
#include "TexturedKnob.h"

namespace MV {

PluginLuaGui::PluginLuaGui(AudioUnit audioUnit, Button::Callback prefsProc, void* prefsContext)
    : LuaGui(audioUnit), m_prefsProc(prefsProc), m_prefsContext(prefsContext) {}

void PluginLuaGui::PrefsCallback(Button* button, void* context) {
    const auto* gui = static_cast<PluginLuaGui*>(static_cast<LuaGui*>(context));
    if (gui->m_prefsProc != nullptr) {
        gui->m_prefsProc(button, gui->m_prefsContext);
    }
}

void PluginLuaGui::CreateUI(Manager* manager) {
    m_manager = manager;
    if (LuaInit() == nullptr) {
        return;
    }
    LuaGetFonts();
    const char* help[] = {kPrefsHelp, nullptr};
    manager->SetHelpStrings(help);
    manager->SetNeedPass2(true); // the drop-downs' open lists
    const NamedButtons buttons{{"Prefs", NamedButton{&PrefsCallback, -2}}};
    auto registerOwn = [](lua_State* L) {
        lua_register(L, "knobRenderer", &LuaKnobRenderer);
        lua_register(L, "infoDisplay", &LuaInfoDisplay);
        lua_register(L, "paramButton", &LuaParamButton);
        luaL_newmetatable(L, kKnobRendererMetatable); // stack: mt
        lua_pop(L, 1);                                // stack:
    };
    Protected("cannot register the layout functions", registerOwn);
    LuaCreateUI(buttons);
}

int PluginLuaGui::LuaKnobRenderer(lua_State* L) {
    auto* texture = static_cast<Texture*>(CheckedHandle(L, 1, kTextureMetatable));
    const float faceX = FloatArg(L, 2);
    const float faceY = FloatArg(L, 3);
    const float size = FloatArg(L, 4);
    const float secondX = FloatArg(L, 5);
    const float secondY = FloatArg(L, 6);
    Manager* manager = &ManagerOf(L);
    void** slot = NewHandle(L, kKnobRendererMetatable);
    auto* renderer =
        new TexturedKnobRenderer(manager, texture, faceX, faceY, size, secondX, secondY);
    *slot = renderer;
    manager->AddEffect(renderer);
    return 1;
}

int PluginLuaGui::LuaInfoDisplay(lua_State* L) {
    const int top = lua_gettop(L);
    const Box box = BoxArgs(L, top - 3);
    Manager* manager = &ManagerOf(L);
    void** slot = NewHandle(L, kElementMetatable);
    *slot = new InfoDisplay(manager, box.x, box.y, box.w, box.h, manager->LiveValues());
    return 1;
}

int PluginLuaGui::LuaParamButton(lua_State* L) {
    const int param = ParamNameArg(L, 1);
    const char* label = luaL_checkstring(L, 2);
    const Box box = BoxArgs(L, 3);
    Manager* manager = &ManagerOf(L);
    void** slot = NewHandle(L, kElementMetatable);
    *slot = new TeskButton(manager, label, box.x, box.y, box.w, box.h, param);
    return 1;
}

UIElement* PluginLuaGui::CreateKnob(lua_State* L, int param, float x, float y, float size) {
    lua_getglobal(L, "theKnobRenderer"); // stack: ... renderer
    auto* renderer =
        static_cast<TexturedKnobRenderer*>(CheckedHandle(L, lua_gettop(L), kKnobRendererMetatable));
    return new TexturedKnob(m_manager, renderer, param, x, y, size);
}

UIElement* PluginLuaGui::CreateSlider(lua_State* L, int /*argc*/, int /*param*/, float /*x*/,
                                      float /*y*/, float /*w*/, float /*h*/,
                                      Slider::Orientation /*orientation*/) {
    luaL_error(L, "no slider support");
    return nullptr;
}

UIElement* PluginLuaGui::CreateButton(lua_State* /*L*/, int /*argc*/, const char* label,
                                      Button::Callback callback, void* context, float x, float y,
                                      float w, float h, int helpId) {
    return new BrimButton(m_manager, label, callback, context, x, y, w, h, helpId);
}

UIElement* PluginLuaGui::CreateLuaButton(lua_State* L, int /*argc*/, const char* /*label*/,
                                         Button::Callback /*callback*/, void* /*context*/,
                                         float /*x*/, float /*y*/, float /*w*/, float /*h*/,
                                         int /*helpId*/, StatefulButton::Type /*type*/) {
    luaL_error(L, "no luabutton support");
    return nullptr;
}

UIElement* PluginLuaGui::CreatePropertyTriggerButton(lua_State* /*L*/, int /*argc*/,
                                                     const char* /*label*/,
                                                     Button::Callback /*callback*/,
                                                     void* /*context*/, float /*x*/, float /*y*/,
                                                     float /*w*/, float /*h*/, int /*helpId*/) {
    return nullptr;
}

UIElement* PluginLuaGui::CreatePropertyButton(lua_State* /*L*/, int /*argc*/, const char* /*label*/,
                                              int /*propertyId*/, float /*x*/, float /*y*/,
                                              float /*w*/, float /*h*/, int /*helpId*/,
                                              PropertyButton::Type /*type*/) {
    return nullptr;
}

UIElement* PluginLuaGui::CreateDropDown(lua_State* /*L*/, int param, float x, float y, float w,
                                        float h) {
    return new ALDropDown(m_manager, param, x, y, w, h);
}

} // namespace MV
