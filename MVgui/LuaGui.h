// The editor's layout script: a Lua 5.1 interpreter of the editor's own (not the MIDI scripts'
// one) runs the skin's gui.lua and then the plug-in's own, which build the editor through the
// functions registered here: groups, knobs, buttons, labels, text fields, drop-downs, colours of
// the banner and background, parameters and plug-in properties. The script then answers the
// window size and the fonts, and its createUI builds the element tree.
//
// Threads: the main thread only (building the editor, and the button callbacks while it is
// open), so the interpreter needs no lock. Every entry into it is a protected call: a script
// error is printed ("@@@ ...") and never reaches the host, and a script that runs too long is
// stopped with an error.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AUTypes.h"
#include "Control.h"
#include "Font.h"

struct lua_State;
struct lua_Debug;

namespace MV {

class Bundle;
class Manager;
class UIElement;

// What a layout asks a slider to be. No slider element exists in this toolkit.
struct Slider {
    enum Orientation { kHorizontal = 0, kVertical = 1 };
};

// What a layout asks a property button to be. No such element exists in this toolkit.
struct PropertyButton {
    enum Type { kMomentary = 0, kToggle = 1, kIndicator = 2 };
};

class LuaGui {
public:
    // Keys of the interpreter's registry entries (the addresses of these texts).
    static const char kViewRefconTag[];
    static const char kParamLookupTag[];
    static const char kButtonLookupTag[];

    // Metatables of the handles the script gets.
    static constexpr const char* kGroupMetatable = "MVgui.Group";
    static constexpr const char* kElementMetatable = "MVgui.Element";
    static constexpr const char* kTextureMetatable = "MVgui.Texture";
    static constexpr const char* kFontMetatable = "MVgui.Font";
    static constexpr const char* kLabelMetatable = "MVgui.Label";
    static constexpr const char* kTextFieldMetatable = "MVgui.TextField";

    // How long one entry into the interpreter (a file, createUI, a callback) may run.
    static constexpr int kTimeLimitMs = 5000;

    // A button the layout can ask for by name: what it calls and its help text's id.
    struct NamedButton {
        Button::Callback callback;
        int helpId;
    };
    using NamedButtons = std::map<std::string, NamedButton, std::less<>>;

    // Stores the instance, reads the "Skin" preference and, when one is named, finds its
    // folder among the product's skins (one line when it is found nowhere).
    explicit LuaGui(AudioUnit audioUnit);
    // Closes the interpreter. The manager keeps (and deletes) what the script made.
    virtual ~LuaGui();
    LuaGui(const LuaGui&) = delete;
    LuaGui& operator=(const LuaGui&) = delete;

    // Builds the editor on manager: scripts, fonts, window size, elements.
    virtual void CreateUI(Manager* manager) = 0;

    // The element factory; a subclass decides which elements the script's functions make.
    // argc is the number of Lua arguments of the calling function. Null makes a handle that
    // refers to no element. They may raise Lua errors.
    virtual UIElement* CreateKnob(lua_State* L, int param, float x, float y, float size) = 0;
    virtual UIElement* CreateSlider(lua_State* L, int argc, int param, float x, float y, float w,
                                    float h, Slider::Orientation orientation) = 0;
    virtual UIElement* CreateButton(lua_State* L, int argc, const char* label,
                                    Button::Callback callback, void* context, float x, float y,
                                    float w, float h, int helpId) = 0;
    virtual UIElement* CreateLuaButton(lua_State* L, int argc, const char* label,
                                       Button::Callback callback, void* context, float x, float y,
                                       float w, float h, int helpId, StatefulButton::Type type) = 0;
    virtual UIElement* CreatePropertyTriggerButton(lua_State* L, int argc, const char* label,
                                                   Button::Callback callback, void* context,
                                                   float x, float y, float w, float h,
                                                   int helpId) = 0;
    virtual UIElement* CreatePropertyButton(lua_State* L, int argc, const char* label,
                                            int propertyId, float x, float y, float w, float h,
                                            int helpId, PropertyButton::Type type) = 0;
    virtual UIElement* CreateDropDown(lua_State* L, int param, float x, float y, float w,
                                      float h) = 0;
    // Appends the names of further metatables whose handles count as elements.
    virtual void AddUIElementTags() {}

    // Creates the interpreter and runs the layout files on the first call; returns it (null
    // when it cannot be created).
    lua_State* LuaInit();
    // Runs a layout file from the skin (nothing without a skin) or from the plug-in's own
    // resources; a missing file is an empty script.
    void LoadAndRunGuiFile(const char* name, bool fromSkin);
    // The script's getWindowSize(), or 0 x 0.
    void LuaGetWindowSize(int& w, int& h);
    // Hands the manager the fonts of getFont, getLabelFont and getTextFieldFont.
    void LuaGetFonts();
    // Sets the window size, then runs createUI with the named buttons available to it.
    void LuaCreateUI(const NamedButtons& buttons);
    void LuaShutdown();
    // Prints "@@@ " and the formatted text on standard output.
    static void LuaError(lua_State* L, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    Manager* GetManager() const { return m_manager; }
    AudioUnit Unit() const { return m_audioUnit; }
    const Bundle* SkinBundle() const { return m_skinBundle.get(); }
    const std::string& SkinName() const { return m_skinName; }
    lua_State* LuaState() const { return m_luaState; }
    const std::vector<std::string>& ElementMetatables() const { return m_elementMetatables; }

    // The LuaGui of a script function's interpreter; raises a Lua error when there is none.
    static LuaGui& FromState(lua_State* L);
    // A parameter name's index; raises "parameter not found: '%s'" for an unknown one.
    int LookupParameter(lua_State* L, const char* name) const;

protected:
    // Calls body(L) inside a protected call with the time limit; on an error prints
    // "@@@ <what>: <message>" when what is given. True when it ran without an error. No object
    // with a destructor may be alive inside body where it can raise.
    template <class Body> bool Protected(const char* what, Body& body) {
        return RunProtected(
            what, [](lua_State* L, void* run) { (*static_cast<Body*>(run))(L); }, &body);
    }
    bool RunProtected(const char* what, void (*run)(lua_State* L, void* context), void* context);
    // Registers C functions as globals, in order.
    struct Function {
        const char* name;
        int (*function)(lua_State*);
    };
    void RegisterFunctions(lua_State* L, const Function* functions, std::size_t count);
    // A metatable whose __index is itself, holding the methods.
    static void CreateMetatable(lua_State* L, const char* name, const Function* methods,
                                std::size_t count);
    // Argument helpers of the script functions; they raise Lua errors. A handle is a full
    // userdata holding one pointer; NewHandle pushes one holding null, to be filled once the
    // object exists.
    static void** NewHandle(lua_State* L, const char* metatable);
    static void* CheckedHandle(lua_State* L, int index, const char* metatable);
    static int ParamNameArg(lua_State* L, int index);
    static float FloatArg(lua_State* L, int index);
    // x, y, width and height from four arguments, the first at index.
    struct Box {
        float x, y, w, h;
    };
    static Box BoxArgs(lua_State* L, int first);
    // The manager of the editor being built; raises when there is none.
    static Manager& ManagerOf(lua_State* L);

    Manager* m_manager = nullptr;
    std::string m_skinName;
    std::unique_ptr<Bundle> m_skinBundle;
    lua_State* m_luaState = nullptr;
    std::vector<std::string> m_elementMetatables;
    // Stable addresses: each entry is a button callback's context.
    std::list<std::pair<LuaGui*, int>> m_luaButtons;
    std::list<std::pair<LuaGui*, int>> m_propertyButtons;
    AudioUnit m_audioUnit;

private:
    friend struct LuaGuiApi;
    using ParamLookup = std::map<std::string, int, std::less<>>;

    static int Panic(lua_State* L);
    static void LimitHook(lua_State* L, lua_Debug* debug);
    void SetUpState(lua_State* L);
    void RunGuiFiles();
    // The font a font list function gives (the function on the stack top, which it pops), or
    // null; an error of the function is one line naming what. Raises nothing.
    Font* FontFromFunction(lua_State* L, const char* what);
    Font* FontFromGlobal(const char* name);

    ParamLookup* m_paramLookup = nullptr;
    // Filled while a font list is read, so that no local container lives across Lua calls.
    std::vector<Font::FontChoice> m_fontChoices;
    std::uint64_t m_deadlineNs = 0;
};

} // namespace MV
