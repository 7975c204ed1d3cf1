// The functions and methods that layout scripts call. Each one checks all of its arguments
// before it makes or changes anything, because a Lua error (longjmp) must not skip a C++
// destructor or leave the tree guard held: objects are created only after the last check, and
// the guard is taken in scopes that call no Lua function.
#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>

#include <lua.hpp>

#include "AudioUnitAPI.h"
#include "Label.h"
#include "LuaGui.h"
#include "Manager.h"
#include "OSCScriptInterface.h"
#include "TextField.h"
#include "Texture.h"
#include "UIElement.h"

namespace MV {

namespace {

// Lua numbers as 32-bit floats, without a conversion beyond the float range.
float ToFloat(lua_Number value) {
    if (std::isfinite(value) && std::fabs(value) > lua_Number(FLT_MAX)) {
        return value > 0 ? FLT_MAX : -FLT_MAX;
    }
    return float(value);
}

int ToInt(lua_Number value) {
    if (std::isnan(value)) {
        return 0;
    }
    return int(std::clamp<lua_Number>(value, INT_MIN, INT_MAX));
}

float FloatArg(lua_State* L, int index) {
    return ToFloat(luaL_checknumber(L, index));
}

int IntArg(lua_State* L, int index) {
    return ToInt(luaL_checknumber(L, index));
}

Vec4 ColourArgs(lua_State* L, int first, bool withAlpha) {
    return Vec4{FloatArg(L, first), FloatArg(L, first + 1), FloatArg(L, first + 2),
                withAlpha ? FloatArg(L, first + 3) : 1.0f};
}

// The pointer a handle holds, when the value at index is a handle of that metatable.
void* CheckedHandle(lua_State* L, int index, const char* metatable) {
    void* data = luaL_checkudata(L, index, metatable);
    if (lua_objlen(L, index) != sizeof(void*)) {
        luaL_typerror(L, index, metatable);
    }
    return *static_cast<void**>(data);
}

// A new handle of that metatable on the stack, holding nothing yet: made before the object it
// will hold, so that running out of memory here leaves no object unowned.
void** NewHandle(lua_State* L, const char* metatable) {
    auto** slot = static_cast<void**>(lua_newuserdata(L, sizeof(void*))); // stack: ud
    *slot = nullptr;
    luaL_getmetatable(L, metatable); // stack: ud mt
    lua_setmetatable(L, -2);         // stack: ud
    return slot;
}

// The label texture shows what is visible and how labels look: draw it again after a change
// made while the editor is open (no effect before its render task runs).
void LabelsChanged(Manager* manager) {
    manager->RequestRedrawLabels();
}

} // namespace

// Friend of LuaGui: the script functions.
struct LuaGuiApi {
    using Box = LuaGui::Box;
    static Manager& ManagerOf(lua_State* L) { return LuaGui::ManagerOf(L); }
    static Box BoxArgs(lua_State* L, int first) { return LuaGui::BoxArgs(L, first); }

    // An element handle (an element, label or text field); null for a handle of no element.
    static UIElement* ElementArg(lua_State* L, int index) {
        if (lua_type(L, index) != LUA_TUSERDATA) {
            if (lua_isuserdata(L, index) == 0) {
                luaL_error(L, "element expected");
            }
            luaL_typerror(L, index, "element");
        }
        LuaGui& gui = LuaGui::FromState(L);
        bool known = false;
        if (lua_getmetatable(L, index) != 0) { // stack: mt
            for (const std::string& name : gui.m_elementMetatables) {
                lua_getfield(L, LUA_REGISTRYINDEX, name.c_str()); // stack: mt candidate
                known = lua_rawequal(L, -1, -2) != 0;
                lua_pop(L, 1); // stack: mt
                if (known) {
                    break;
                }
            }
            lua_pop(L, 1); // stack:
        }
        if (!known || lua_objlen(L, index) != sizeof(void*)) {
            luaL_typerror(L, index, "element");
        }
        return *static_cast<UIElement**>(lua_touserdata(L, index));
    }

    static NamedGroup* GroupArg(lua_State* L, int index) {
        return static_cast<NamedGroup*>(CheckedHandle(L, index, LuaGui::kGroupMetatable));
    }

    // A parameter given as an index or a name.
    static int ParamArg(lua_State* L, int index) {
        if (lua_type(L, index) == LUA_TNUMBER) {
            const int param = ToInt(lua_tonumber(L, index));
            if (ManagerOf(L).Param(param) == nullptr) {
                luaL_error(L, "parameter index out of range: %d", param);
            }
            return param;
        }
        return ParamNameArg(L, index);
    }

    static int ParamNameArg(lua_State* L, int index) {
        const char* name = luaL_checkstring(L, index);
        return LuaGui::FromState(L).LookupParameter(L, name);
    }

    // Adds child to group; a child that is in a group already moves there (rather than being
    // drawn twice). Groups hold no groups: their handles are no elements.
    static void AddToGroup(MV::Group* group, UIElement* child) {
        if (child->Parent() == group) {
            return;
        }
        if (child->Parent() != nullptr) {
            child->Parent()->RemoveChild(child);
        }
        group->AddChild(child);
        LabelsChanged(group->GetManager());
    }

    static void SetVisible(UIElement* element, bool visible) {
        if (element == nullptr) {
            return;
        }
        {
            CriticalSectionGuard guard(element->GetManager()->TreeGuard());
            element->SetVisible(visible);
        }
        LabelsChanged(element->GetManager());
        element->GetManager()->NudgeGUI();
    }

    // ---- Global functions

    static int SetGroupActiveColour(lua_State* L) {
        NamedGroup::ms_activeTargetColour = ColourArgs(L, 1, true);
        return 0;
    }

    static int SetGroupInactiveColour(lua_State* L) {
        NamedGroup::ms_inactiveTargetColour = ColourArgs(L, 1, true);
        return 0;
    }

    static int MakeGroup(lua_State* L) {
        const char* title = luaL_checkstring(L, 1);
        float margins[4] = {10.0f, 10.0f, 10.0f, 10.0f};
        if (lua_type(L, 2) == LUA_TNUMBER) {
            std::fill(margins, margins + 4, FloatArg(L, 2));
        } else if (lua_istable(L, 2)) {
            for (int i = 0; i < 4; ++i) {
                lua_rawgeti(L, 2, i + 1); // stack: ... m
                margins[i] = lua_isnumber(L, -1) != 0 ? ToFloat(lua_tonumber(L, -1)) : 0.0f;
                lua_pop(L, 1); // stack: ...
            }
        } else if (!lua_isnoneornil(L, 2)) {
            luaL_typerror(L, 2, "number or table");
        }
        Manager& manager = ManagerOf(L);
        void** slot = NewHandle(L, LuaGui::kGroupMetatable);
        auto* group = new NamedGroup(&manager, title, margins);
        *slot = group;
        manager.RootGroup()->AddChild(group);
        return 1;
    }

    static int MakeKnob(lua_State* L) {
        const int param = ParamNameArg(L, 1);
        const int first = lua_isnumber(L, 2) != 0 ? 2 : 3;
        const float x = FloatArg(L, first);
        const float y = FloatArg(L, first + 1);
        const float size = FloatArg(L, first + 2);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        const int handle = lua_gettop(L);
        *slot = gui.CreateKnob(L, param, x, y, size);
        lua_settop(L, handle); // the handle on top, whatever the factory pushed
        return 1;
    }

    static int MakeButton(lua_State* L) {
        const int argc = lua_gettop(L);
        const char* name = luaL_checkstring(L, 1);
        const char* label = luaL_checkstring(L, 2);
        const Box box = BoxArgs(L, 3);
        LuaGui& gui = LuaGui::FromState(L);
        lua_pushlightuserdata(L, const_cast<char*>(LuaGui::kButtonLookupTag)); // stack: tag
        lua_rawget(L, LUA_REGISTRYINDEX);                                      // stack: table
        const auto* buttons = static_cast<const LuaGui::NamedButtons*>(lua_touserdata(L, -1));
        lua_pop(L, 1); // stack:
        if (buttons == nullptr) {
            return luaL_error(L, "no button lookup table");
        }
        const auto found = buttons->find(std::string_view(name));
        if (found == buttons->end()) {
            return luaL_error(L, "button not found: %s", name);
        }
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        *slot = gui.CreateButton(L, argc, label, found->second.callback, &gui, box.x, box.y, box.w,
                                 box.h, found->second.helpId);
        return 1;
    }

    static int MakeSlider(lua_State* L) {
        const int argc = lua_gettop(L);
        const int param = ParamNameArg(L, 1);
        const Box box = BoxArgs(L, 2);
        const char* orientation = luaL_checkstring(L, 6);
        if (orientation[0] != 'h' && orientation[0] != 'v') {
            return luaL_error(L, "unknown slider orientation: %s", orientation);
        }
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        *slot = gui.CreateSlider(L, argc, param, box.x, box.y, box.w, box.h,
                                 orientation[0] == 'h' ? MV::Slider::kHorizontal
                                                       : MV::Slider::kVertical);
        return 1;
    }

    static void LuaButtonCallback(MV::Button* /*button*/, void* context) {
        auto& entry = *static_cast<std::pair<LuaGui*, int>*>(context);
        const int ref = entry.second;
        auto call = [ref](lua_State* state) {
            lua_rawgeti(state, LUA_REGISTRYINDEX, ref); // stack: f
            lua_call(state, 0, 0);                      // stack:
        };
        entry.first->Protected("failed to run a button's function", call);
    }

    static void PropertyCallback(MV::Button* /*button*/, void* context) {
        const auto& entry = *static_cast<std::pair<LuaGui*, int>*>(context);
        const UInt8 on = 1;
        AudioUnitSetProperty(entry.first->m_audioUnit, AudioUnitPropertyID(entry.second),
                             kAudioUnitScope_Global, 0, &on, sizeof on);
    }

    static int MakeLuaButton(lua_State* L) {
        const int argc = lua_gettop(L);
        if (!lua_isfunction(L, 1)) {
            return luaL_error(L, "first argument to luaButton() is not a function");
        }
        const char* label = luaL_checkstring(L, 2);
        const char* help = luaL_checkstring(L, 3);
        const char* type = luaL_checkstring(L, 4);
        const Box box = BoxArgs(L, 5);
        Manager& manager = ManagerOf(L);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable); // stack: ... ud
        lua_pushvalue(L, 1);                                   // stack: ... ud f
        const int ref = luaL_ref(L, LUA_REGISTRYINDEX);        // stack: ... ud
        const int helpId = manager.AddHelpString(help);
        std::pair<LuaGui*, int>& entry = gui.m_luaButtons.emplace_back(&gui, ref);
        *slot = gui.CreateLuaButton(
            L, argc, label, &LuaButtonCallback, &entry, box.x, box.y, box.w, box.h, helpId,
            type[0] == 't' ? StatefulButton::kToggle : StatefulButton::kMomentary);
        return 1;
    }

    static int MakePropertyTriggerButton(lua_State* L) {
        const int argc = lua_gettop(L);
        const int property = IntArg(L, 1);
        const char* label = luaL_checkstring(L, 2);
        const char* help = luaL_checkstring(L, 3);
        const Box box = BoxArgs(L, 4);
        Manager& manager = ManagerOf(L);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        const int helpId = manager.AddHelpString(help);
        std::pair<LuaGui*, int>& entry = gui.m_propertyButtons.emplace_back(&gui, property);
        *slot = gui.CreatePropertyTriggerButton(L, argc, label, &PropertyCallback, &entry, box.x,
                                                box.y, box.w, box.h, helpId);
        return 1;
    }

    static int MakePropertyButton(lua_State* L) {
        const int argc = lua_gettop(L);
        const int property = IntArg(L, 1);
        const char* label = luaL_checkstring(L, 2);
        const char* help = luaL_checkstring(L, 3);
        const char* type = luaL_checkstring(L, 4);
        const Box box = BoxArgs(L, 5);
        Manager& manager = ManagerOf(L);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        const int helpId = manager.AddHelpString(help);
        const auto kind = type[0] == 't'   ? MV::PropertyButton::kToggle
                          : type[0] == 'i' ? MV::PropertyButton::kIndicator
                                           : MV::PropertyButton::kMomentary;
        *slot = gui.CreatePropertyButton(L, argc, label, property, box.x, box.y, box.w, box.h,
                                         helpId, kind);
        return 1;
    }

    static int MakeTexture(lua_State* L) {
        const char* name = luaL_checkstring(L, 1);
        Manager& manager = ManagerOf(L);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kTextureMetatable);
        *slot = new MV::Texture(&manager, name, gui.m_skinBundle.get());
        return 1;
    }

    static int MakeFont(lua_State* L) {
        luaL_checktype(L, 1, LUA_TFUNCTION);
        Manager& manager = ManagerOf(L);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kFontMetatable);          // stack: ... ud
        lua_pushvalue(L, 1);                                         // stack: ... ud f
        MV::Font* font = gui.FontFromFunction(L, "a font function"); // stack: ... ud
        if (font != nullptr) {
            manager.AddExtraFont(font);
        }
        *slot = font;
        return 1;
    }

    static int MakeDropDown(lua_State* L) {
        const int param = ParamNameArg(L, 1);
        const Box box = BoxArgs(L, 2);
        LuaGui& gui = LuaGui::FromState(L);
        void** slot = NewHandle(L, LuaGui::kElementMetatable);
        const int handle = lua_gettop(L);
        *slot = gui.CreateDropDown(L, param, box.x, box.y, box.w, box.h);
        lua_settop(L, handle); // the handle on top, whatever the factory pushed
        return 1;
    }

    static int MakeLabel(lua_State* L) {
        const char* text = luaL_checkstring(L, 1);
        const float x = FloatArg(L, 2);
        const float y = FloatArg(L, 3);
        const char* justification = luaL_optstring(L, 4, "");
        const float width = ToFloat(luaL_optnumber(L, 5, 0));
        const float height = ToFloat(luaL_optnumber(L, 6, 0));
        Manager& manager = ManagerOf(L);
        void** slot = NewHandle(L, LuaGui::kLabelMetatable);
        const int kind = justification[0] == 'l'   ? MV::Label::kLeft
                         : justification[0] == 'r' ? MV::Label::kRight
                                                   : MV::Label::kCentred;
        *slot = new MV::Label(&manager, text, x, y, kind, width, height);
        return 1;
    }

    static int MakeTextField(lua_State* L) {
        const int param = ParamNameArg(L, 1);
        const Box box = BoxArgs(L, 2);
        const char* format = luaL_optstring(L, 6, "");
        Manager& manager = ManagerOf(L);
        void** slot = NewHandle(L, LuaGui::kTextFieldMetatable);
        *slot = new MV::TextField(&manager, param, box.x, box.y, box.w, box.h, format);
        return 1;
    }

    static int Add(lua_State* L) {
        UIElement* element = ElementArg(L, 1);
        Manager& manager = ManagerOf(L);
        if (element != nullptr) {
            AddToGroup(manager.RootGroup(), element);
        }
        return 0;
    }

    static int SetBackgroundColour(lua_State* L) {
        const Vec4 colour = ColourArgs(L, 1, false);
        ManagerOf(L).SetBackgroundColour(colour.r, colour.g, colour.b);
        LabelsChanged(&ManagerOf(L));
        return 0;
    }

    static int SetBannerColour(lua_State* L) {
        const Vec4 colour = ColourArgs(L, 1, true);
        ManagerOf(L).SetBannerColour(colour);
        return 0;
    }

    static int SetBannerTextColour(lua_State* L) {
        Manager::SetBannerTextColour(ColourArgs(L, 1, true));
        return 0;
    }

    static int SetBannerPosition(lua_State* L) {
        const float y = FloatArg(L, 1);
        const bool noText = lua_isboolean(L, 2) && lua_toboolean(L, 2) == 0;
        Manager& manager = ManagerOf(L);
        manager.SetBannerY(y);
        manager.SetBannerMode(noText ? 2 : 0);
        return 0;
    }

    static int SetBannerBounds(lua_State* L) {
        const float x0 = FloatArg(L, 1);
        const float y0 = FloatArg(L, 2);
        const float x1 = FloatArg(L, 3);
        const float y1 = FloatArg(L, 4);
        ManagerOf(L).SetBannerBounds(x0, y0, x1, y1);
        return 0;
    }

    static int SetBannerContent(lua_State* L) {
        const char* mode = luaL_checkstring(L, 1);
        const float textX = FloatArg(L, 2);
        const float infoX = FloatArg(L, 3);
        Manager& manager = ManagerOf(L);
        manager.SetBannerMode(std::strcmp(mode, "none") == 0 ? 2 : mode[0] == 'n' ? 1 : 0);
        manager.SetBannerTextX(textX);
        manager.SetInfoTextX(infoX);
        return 0;
    }

    static int RedrawLabels(lua_State* L) {
        ManagerOf(L).RequestRedrawLabels();
        return 0;
    }

    static int SetParameter(lua_State* L) {
        const int param = ParamArg(L, 1);
        const float value = FloatArg(L, 2);
        Manager& manager = ManagerOf(L);
        manager.SetEditingParam(param);
        manager.SetParamFromEditor(*manager.Param(param), value);
        manager.UnsetEditingParam(param);
        return 0;
    }

    static int GetParameter(lua_State* L) {
        const int param = ParamArg(L, 1);
        lua_pushnumber(L, ManagerOf(L).Param(param)->GetValue());
        return 1;
    }

    static int GetParameterID(lua_State* L) {
        lua_pushinteger(L, ParamNameArg(L, 1));
        return 1;
    }

    static int SendOSC(lua_State* L) {
        const LuaSendOSCFunction send = GetLuaSendOSCFunction();
        return send != nullptr ? send(L) : 0;
    }

    static int GetChannelCount(lua_State* L) {
        lua_pushinteger(L, 2);
        return 1;
    }

    static int GetBooleanProperty(lua_State* L) {
        const int property = IntArg(L, 1);
        UInt8 value = 0;
        UInt32 size = sizeof value;
        const bool read =
            AudioUnitGetProperty(LuaGui::FromState(L).m_audioUnit, AudioUnitPropertyID(property),
                                 kAudioUnitScope_Global, 0, &value, &size) == noErr;
        lua_pushboolean(L, read && value != 0);
        return 1;
    }

    static int SetStringProperty(lua_State* L) {
        const int property = IntArg(L, 1);
        std::size_t length = 0;
        const char* text = luaL_checklstring(L, 2, &length);
        AudioUnitSetProperty(LuaGui::FromState(L).m_audioUnit, AudioUnitPropertyID(property),
                             kAudioUnitScope_Global, 0, text, UInt32(length + 1));
        return 0;
    }

    static int ElementSetVisible(lua_State* L) {
        UIElement* element = ElementArg(L, 1);
        luaL_checkany(L, 2);
        SetVisible(element, lua_toboolean(L, 2) != 0);
        return 0;
    }

    static int ElementIsVisible(lua_State* L) {
        const UIElement* element = ElementArg(L, 1);
        lua_pushboolean(L, element != nullptr && element->IsVisible());
        return 1;
    }

    // ---- Element methods

    static int ElementSetState(lua_State* L) {
        UIElement* element = ElementArg(L, 1);
        luaL_checkany(L, 2);
        if (auto* button = dynamic_cast<StatefulButton*>(element)) {
            CriticalSectionGuard guard(button->GetManager()->TreeGuard());
            button->SetState(lua_toboolean(L, 2) != 0);
        }
        return 0;
    }

    static int ElementGetState(lua_State* L) {
        const auto* button = dynamic_cast<const StatefulButton*>(ElementArg(L, 1));
        lua_pushboolean(L, button != nullptr && button->State());
        return 1;
    }

    // ---- Group methods

    static int GroupAdd(lua_State* L) {
        NamedGroup* group = GroupArg(L, 1);
        UIElement* element = ElementArg(L, 2);
        if (element != nullptr) {
            AddToGroup(group, element);
        }
        return 0;
    }

    static int GroupSetPosition(lua_State* L) {
        NamedGroup* group = GroupArg(L, 1);
        float x = FloatArg(L, 2);
        float y = FloatArg(L, 3);
        if (lua_toboolean(L, 4) != 0) {
            // The box relative to the group's own origin lands with its corner on (x, y).
            Bounds box;
            group->ExtendBounds(box);
            if (!box.IsEmpty()) {
                x -= box.min[0] - group->Position()[0];
                y -= box.min[1] - group->Position()[1];
            }
        }
        group->SetPosition(x, y, 0.0f);
        LabelsChanged(group->GetManager());
        return 0;
    }

    static int GroupWidth(lua_State* L) {
        lua_pushnumber(L, GroupArg(L, 1)->GetWidth());
        return 1;
    }

    static int GroupHeight(lua_State* L) {
        lua_pushnumber(L, GroupArg(L, 1)->GetHeight());
        return 1;
    }

    static int GroupBounds(lua_State* L) {
        Bounds box;
        GroupArg(L, 1)->ExtendBounds(box);
        for (const float value : {box.min[0], box.min[1], box.max[0], box.max[1]}) {
            lua_pushnumber(L, value);
        }
        return 4;
    }

    static int GroupSetVisible(lua_State* L) {
        NamedGroup* group = GroupArg(L, 1);
        luaL_checkany(L, 2);
        SetVisible(group, lua_toboolean(L, 2) != 0);
        return 0;
    }

    static int GroupIsVisible(lua_State* L) {
        lua_pushboolean(L, GroupArg(L, 1)->IsVisible());
        return 1;
    }

    // ---- Label and text field methods

    static MV::Label* LabelArg(lua_State* L) {
        return static_cast<MV::Label*>(CheckedHandle(L, 1, LuaGui::kLabelMetatable));
    }

    static int LabelSetBackgroundColour(lua_State* L) {
        MV::Label* label = LabelArg(L);
        const Vec4 colour = ColourArgs(L, 2, true);
        label->SetBackgroundColour(colour);
        LabelsChanged(label->GetManager());
        return 0;
    }

    static int LabelSetForegroundColour(lua_State* L) {
        MV::Label* label = LabelArg(L);
        const Vec4 colour = ColourArgs(L, 2, true);
        label->SetForegroundColour(colour);
        LabelsChanged(label->GetManager());
        return 0;
    }

    template <void (MV::TextField::*Setter)(float, float, float)>
    static int TextFieldColour(lua_State* L) {
        auto* field = static_cast<MV::TextField*>(CheckedHandle(L, 1, LuaGui::kTextFieldMetatable));
        const Vec4 colour = ColourArgs(L, 2, false);
        CriticalSectionGuard guard(field->GetManager()->TreeGuard());
        (field->*Setter)(colour.r, colour.g, colour.b);
        return 0;
    }
};

void LuaGui::SetUpState(lua_State* L) {
    luaL_openlibs(L);
    // In the order scripts may rely on.
    static const Function functions[] = {
        {"setGroupActiveColour", &LuaGuiApi::SetGroupActiveColour},
        {"setGroupInactiveColour", &LuaGuiApi::SetGroupInactiveColour},
        {"group", &LuaGuiApi::MakeGroup},
        {"knob", &LuaGuiApi::MakeKnob},
        {"button", &LuaGuiApi::MakeButton},
        {"slider", &LuaGuiApi::MakeSlider},
        {"luaButton", &LuaGuiApi::MakeLuaButton},
        {"propertyTriggerButton", &LuaGuiApi::MakePropertyTriggerButton},
        {"propertyButton", &LuaGuiApi::MakePropertyButton},
        {"texture", &LuaGuiApi::MakeTexture},
        {"font", &LuaGuiApi::MakeFont},
        {"dropDown", &LuaGuiApi::MakeDropDown},
        {"label", &LuaGuiApi::MakeLabel},
        {"textField", &LuaGuiApi::MakeTextField},
        {"add", &LuaGuiApi::Add},
        {"setBackgroundColour", &LuaGuiApi::SetBackgroundColour},
        {"setBannerColour", &LuaGuiApi::SetBannerColour},
        {"setBannerTextColour", &LuaGuiApi::SetBannerTextColour},
        {"setBannerPosition", &LuaGuiApi::SetBannerPosition},
        {"setBannerBounds", &LuaGuiApi::SetBannerBounds},
        {"setBannerContent", &LuaGuiApi::SetBannerContent},
        {"redrawLabels", &LuaGuiApi::RedrawLabels},
        {"setParameter", &LuaGuiApi::SetParameter},
        {"getParameter", &LuaGuiApi::GetParameter},
        {"getParameterID", &LuaGuiApi::GetParameterID},
        {"sendOSC", &LuaGuiApi::SendOSC},
        {"getChannelCount", &LuaGuiApi::GetChannelCount},
        {"getBooleanProperty", &LuaGuiApi::GetBooleanProperty},
        {"setStringProperty", &LuaGuiApi::SetStringProperty},
    };
    RegisterFunctions(L, functions, std::size(functions));

    static const Function groupMethods[] = {
        {"add", &LuaGuiApi::GroupAdd},
        {"setPosition", &LuaGuiApi::GroupSetPosition},
        {"width", &LuaGuiApi::GroupWidth},
        {"height", &LuaGuiApi::GroupHeight},
        {"bounds", &LuaGuiApi::GroupBounds},
        {"setVisible", &LuaGuiApi::GroupSetVisible},
        {"isVisible", &LuaGuiApi::GroupIsVisible},
    };
    static const Function elementMethods[] = {
        {"setVisible", &LuaGuiApi::ElementSetVisible},
        {"isVisible", &LuaGuiApi::ElementIsVisible},
        {"setState", &LuaGuiApi::ElementSetState},
        {"getState", &LuaGuiApi::ElementGetState},
    };
    CreateMetatable(L, kGroupMetatable, groupMethods, std::size(groupMethods));
    CreateMetatable(L, kElementMetatable, elementMethods, std::size(elementMethods));
    static const Function visibility[] = {
        {"elementSetVisible", &LuaGuiApi::ElementSetVisible},
        {"elementIsVisible", &LuaGuiApi::ElementIsVisible},
    };
    RegisterFunctions(L, visibility, std::size(visibility));
    CreateMetatable(L, kTextureMetatable, nullptr, 0);
    CreateMetatable(L, kFontMetatable, nullptr, 0);
    static const Function labelMethods[] = {
        {"setBackgroundColour", &LuaGuiApi::LabelSetBackgroundColour},
        {"setForegroundColour", &LuaGuiApi::LabelSetForegroundColour},
    };
    static const Function textFieldMethods[] = {
        {"setBackgroundColour", &LuaGuiApi::TextFieldColour<&TextField::SetBackgroundColour>},
        {"setActiveColour", &LuaGuiApi::TextFieldColour<&TextField::SetActiveColour>},
        {"setChangedColour", &LuaGuiApi::TextFieldColour<&TextField::SetChangedColour>},
        {"setTextColour", &LuaGuiApi::TextFieldColour<&TextField::SetTextColour>},
    };
    CreateMetatable(L, kLabelMetatable, labelMethods, std::size(labelMethods));
    CreateMetatable(L, kTextFieldMetatable, textFieldMethods, std::size(textFieldMethods));

    lua_pushlightuserdata(L, const_cast<char*>(kViewRefconTag));  // stack: tag
    lua_pushlightuserdata(L, this);                               // stack: tag gui
    lua_rawset(L, LUA_REGISTRYINDEX);                             // stack:
    lua_pushlightuserdata(L, const_cast<char*>(kParamLookupTag)); // stack: tag
    lua_pushlightuserdata(L, m_paramLookup);                      // stack: tag map
    lua_rawset(L, LUA_REGISTRYINDEX);                             // stack:

    // As the MIDI scripts see them.
    const struct {
        const char* name;
        bool value;
    } flags[] = {{"isMac", true}, {"isWin", false}, {"isVST", false}, {"isAU", true}};
    for (const auto& flag : flags) {
        lua_pushboolean(L, flag.value); // stack: b
        lua_setglobal(L, flag.name);    // stack:
    }
    const struct {
        const char* name;
        lua_Integer value;
    } versions[] = {
        {"majorVersion", 1}, {"minorVersion", 2}, {"dotVersion", 1}, {"version", 10201}};
    for (const auto& version : versions) {
        lua_pushinteger(L, version.value); // stack: n
        lua_setglobal(L, version.name);    // stack:
    }
}

void** LuaGui::NewHandle(lua_State* L, const char* metatable) {
    return MV::NewHandle(L, metatable);
}

void* LuaGui::CheckedHandle(lua_State* L, int index, const char* metatable) {
    return MV::CheckedHandle(L, index, metatable);
}

int LuaGui::ParamNameArg(lua_State* L, int index) {
    return LuaGuiApi::ParamNameArg(L, index);
}

float LuaGui::FloatArg(lua_State* L, int index) {
    return MV::FloatArg(L, index);
}

LuaGui::Box LuaGui::BoxArgs(lua_State* L, int first) {
    return Box{MV::FloatArg(L, first), MV::FloatArg(L, first + 1), MV::FloatArg(L, first + 2),
               MV::FloatArg(L, first + 3)};
}

Manager& LuaGui::ManagerOf(lua_State* L) {
    LuaGui& gui = FromState(L);
    if (gui.m_manager == nullptr) {
        luaL_error(L, "the editor is not being built");
    }
    return *gui.m_manager;
}

} // namespace MV
