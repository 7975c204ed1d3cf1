#include "LuaGui.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <lua.hpp>

#include "AudioUnitAPI.h"
#include "Bundle.h"
#include "FileLocations.h"
#include "LuaMIDIHelper.h"
#include "Manager.h"
#include "MrvnShared.h"
#include "Preferences.h"
#include "SystemInfo.h"

// Lua reports errors with longjmp, which skips C++ destructors. Every entry into the
// interpreter is therefore a protected call whose body keeps no object with a destructor alive
// where Lua may raise; what must outlive a raise lives in the LuaGui (m_fontChoices) or is built
// before the call.

namespace MV {

const char LuaGui::kViewRefconTag[] = "MVgui::kViewRefcon";
const char LuaGui::kParamLookupTag[] = "MVgui::kParamLookup";
const char LuaGui::kButtonLookupTag[] = "MVgui::kButtonLookup";

namespace {

// Instructions between two checks of the time limit.
constexpr int kHookInstructions = 1000;
constexpr std::size_t kMaxLookupNameBytes = 99;

void* Allocate(void* /*user*/, void* block, std::size_t /*oldSize*/, std::size_t newSize) {
    if (newSize == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, newSize);
}

// A parameter name as the name map holds it: 7-bit ASCII ('?' for other bytes), at most 99
// bytes, as the MIDI scripts see names.
std::string LookupName(const char* name) {
    std::string key = name != nullptr ? name : "";
    if (key.size() > kMaxLookupNameBytes) {
        key.resize(kMaxLookupNameBytes);
    }
    for (char& c : key) {
        c = (static_cast<unsigned char>(c) & 0x80) != 0 ? '?' : c;
    }
    return key;
}

bool GetGlobalProperty(AudioUnit unit, AudioUnitPropertyID id, void* out, UInt32 size) {
    return unit != nullptr &&
           AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, out, &size) == noErr;
}

UInt32 GetCount(AudioUnit unit, AudioUnitPropertyID id) {
    UInt32 count = 0;
    return GetGlobalProperty(unit, id, &count, sizeof count) ? count : 0;
}

// A property whose value is the address of something the unit keeps.
template <class T> const T* GetPointer(AudioUnit unit, AudioUnitPropertyID id) {
    const void* address = nullptr;
    return GetGlobalProperty(unit, id, &address, sizeof address) ? static_cast<const T*>(address)
                                                                 : nullptr;
}

} // namespace

LuaGui::LuaGui(AudioUnit audioUnit) : m_audioUnit(audioUnit) {
    GetPrefString(kPrefSkin, m_skinName);
    if (m_skinName.empty()) {
        return;
    }
    const char* product = GetPointer<char>(audioUnit, kMrvnProperty_PrimaryAppSupportName);
    m_skinBundle = LocateSkinBundle(m_skinName, product != nullptr ? product : "");
    if (m_skinBundle == nullptr) {
        std::printf("MVgui: skin '%s' not found in the skin folders; using the built-in one\n",
                    m_skinName.c_str());
        std::fflush(stdout);
    }
}

LuaGui::~LuaGui() {
    LuaShutdown();
}

void LuaGui::LuaError(lua_State* /*L*/, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    LuaMIDIHelper::LuaErrorV(format, args);
    va_end(args);
}

int LuaGui::Panic(lua_State* L) {
    // Unreachable while every entry is protected; Lua would end the process after this.
    const char* message = lua_tostring(L, -1);
    LuaError(L, "unprotected error in the layout script: %s\n",
             message != nullptr ? message : "(error object is not a string)");
    return 0;
}

void LuaGui::LimitHook(lua_State* L, lua_Debug* /*debug*/) {
    void* user = nullptr;
    lua_getallocf(L, &user);
    const auto* gui = static_cast<const LuaGui*>(user);
    if (gui == nullptr || gui->m_deadlineNs == 0 || UpTimeNanoseconds() < gui->m_deadlineNs) {
        return;
    }
    // Every instruction checks from now on, so that a script catching the error stops too.
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, 1);
    luaL_error(L, "layout script exceeded its time limit of %d ms", kTimeLimitMs);
}

bool LuaGui::RunProtected(const char* what, void (*run)(lua_State* L, void* context),
                          void* context) {
    lua_State* L = m_luaState;
    if (L == nullptr) {
        return false;
    }
    struct Call {
        void (*run)(lua_State*, void*);
        void* context;
    } call{run, context};
    const lua_CFunction trampoline = [](lua_State* state) -> int {
        const Call& body = *static_cast<const Call*>(lua_touserdata(state, 1));
        lua_settop(state, 0);
        body.run(state, body.context);
        return 0;
    };
    const std::uint64_t outer = m_deadlineNs;
    if (outer == 0) {
        m_deadlineNs = UpTimeNanoseconds() + std::uint64_t(kTimeLimitMs) * 1000000u;
    }
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    const int status = lua_cpcall(L, trampoline, &call); // stack: (message)
    m_deadlineNs = outer;
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    if (status == 0) {
        return true;
    }
    const char* message = lua_tostring(L, -1);
    if (what != nullptr) {
        LuaError(L, "%s: %s\n", what, message != nullptr ? message : "(error is not a string)");
    }
    lua_pop(L, 1); // stack:
    return false;
}

void LuaGui::RegisterFunctions(lua_State* L, const Function* functions, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        lua_register(L, functions[i].name, functions[i].function);
    }
}

void LuaGui::CreateMetatable(lua_State* L, const char* name, const Function* methods,
                             std::size_t count) {
    luaL_newmetatable(L, name);     // stack: mt
    lua_pushvalue(L, -1);           // stack: mt mt
    lua_setfield(L, -2, "__index"); // stack: mt
    for (std::size_t i = 0; i < count; ++i) {
        lua_pushcfunction(L, methods[i].function); // stack: mt f
        lua_setfield(L, -2, methods[i].name);      // stack: mt
    }
    lua_pop(L, 1); // stack:
}

LuaGui& LuaGui::FromState(lua_State* L) {
    lua_pushlightuserdata(L, const_cast<char*>(kViewRefconTag)); // stack: tag
    lua_rawget(L, LUA_REGISTRYINDEX);                            // stack: gui
    auto* gui = static_cast<LuaGui*>(lua_touserdata(L, -1));
    lua_pop(L, 1); // stack:
    if (gui == nullptr) {
        luaL_error(L, "the editor's layout script is not registered");
    }
    return *gui;
}

int LuaGui::LookupParameter(lua_State* L, const char* name) const {
    if (m_paramLookup != nullptr) {
        const auto found = m_paramLookup->find(std::string_view(name));
        if (found != m_paramLookup->end()) {
            return found->second;
        }
    }
    return luaL_error(L, "parameter not found: '%s'", name);
}

lua_State* LuaGui::LuaInit() {
    if (m_luaState != nullptr) {
        return m_luaState;
    }
    lua_State* L = lua_newstate(&Allocate, this);
    if (L == nullptr) {
        LuaError(nullptr, "cannot create the layout script interpreter\n");
        return nullptr;
    }
    lua_atpanic(L, &Panic);
    m_luaState = L;

    // The name map first: it allocates, which must not happen where Lua may raise.
    m_paramLookup = new ParamLookup;
    const UInt32 count = GetCount(m_audioUnit, kMrvnProperty_NumParameters);
    if (const auto* table = GetPointer<MrvnParamInfo>(m_audioUnit, kMrvnProperty_ParameterInfos)) {
        for (UInt32 i = 0; i < count; ++i) {
            m_paramLookup->emplace(LookupName(table[i].name), int(i));
        }
    }
    m_elementMetatables = {kElementMetatable, kLabelMetatable, kTextFieldMetatable};
    AddUIElementTags();

    auto setUp = [this](lua_State* state) { SetUpState(state); };
    if (!Protected("cannot set the layout script interpreter up", setUp)) {
        LuaShutdown();
        return nullptr;
    }
    RunGuiFiles();
    return m_luaState;
}

void LuaGui::RunGuiFiles() {
    const char* second = GetPointer<char>(m_audioUnit, kMrvnProperty_SecondaryGuiFilename);
    LoadAndRunGuiFile("gui.lua", true);
    if (second != nullptr) {
        LoadAndRunGuiFile(second, true);
    }
    LoadAndRunGuiFile("gui.lua", false);
    if (second != nullptr) {
        LoadAndRunGuiFile(second, false);
    }
}

void LuaGui::LoadAndRunGuiFile(const char* name, bool fromSkin) {
    if (fromSkin && m_skinBundle == nullptr) {
        return;
    }
    std::unique_ptr<Bundle> pluginBundle;
    const Bundle* bundle = m_skinBundle.get();
    if (!fromSkin) {
        pluginBundle = FindPluginBundle(kPluginBundleIdentifier);
        bundle = pluginBundle.get();
    }
    if (bundle == nullptr) {
        return;
    }
    FileLoader file(name, bundle);
    if (!file.IsLoaded()) {
        return; // a missing file is an empty script
    }
    // Named after the file's path, so that messages say which of the layout files failed.
    const std::string chunkName = "@" + bundle->ResourcePath(name);
    const char* data = reinterpret_cast<const char*>(file.Data());
    const auto size = std::size_t(file.Size());
    auto run = [&](lua_State* L) {
        if (luaL_loadbuffer(L, data, size, chunkName.c_str()) != 0) { // stack: chunk (message)
            lua_error(L);
        }
        lua_call(L, 0, 0); // stack:
    };
    Protected("failed to run buffer", run);
}

void LuaGui::LuaGetWindowSize(int& w, int& h) {
    w = 0;
    h = 0;
    lua_Integer width = 0;
    lua_Integer height = 0;
    auto call = [&](lua_State* L) {
        lua_getglobal(L, "getWindowSize"); // stack: f
        if (!lua_isfunction(L, -1)) {
            return;
        }
        lua_call(L, 0, 2); // stack: w h
        width = lua_tointeger(L, -2);
        height = lua_tointeger(L, -1);
    };
    if (Protected("failed to run getWindowSize", call)) {
        w = int(std::clamp<lua_Integer>(width, 0, 1 << 16));
        h = int(std::clamp<lua_Integer>(height, 0, 1 << 16));
    }
}

Font* LuaGui::FontFromFunction(lua_State* L, const char* what) {
    // stack: f
    m_fontChoices.clear();
    if (lua_pcall(L, 0, 1, 0) != 0) { // stack: list (message)
        const char* message = lua_tostring(L, -1);
        LuaError(L, "failed to run %s: %s\n", what,
                 message != nullptr ? message : "(error is not a string)");
        lua_pop(L, 1); // stack:
        return nullptr;
    }
    if (lua_istable(L, -1)) {
        for (int i = 1;; ++i) {
            lua_rawgeti(L, -1, i); // stack: list entry
            if (!lua_istable(L, -1)) {
                lua_pop(L, 1); // stack: list
                break;
            }
            lua_pushliteral(L, "name"); // stack: list entry "name"
            lua_rawget(L, -2);          // stack: list entry name
            const char* name = lua_isstring(L, -1) != 0 ? lua_tostring(L, -1) : "";
            lua_pushliteral(L, "size"); // stack: list entry name "size"
            lua_rawget(L, -3);          // stack: list entry name size
            const lua_Number size = lua_isnumber(L, -1) != 0 ? lua_tonumber(L, -1) : 0;
            m_fontChoices.push_back({name, int(std::clamp<lua_Number>(size, 0, 1000))});
            lua_pop(L, 3); // stack: list
        }
    }
    lua_pop(L, 1); // stack:
    return m_fontChoices.empty() ? nullptr : Font::Create(m_fontChoices, m_skinBundle.get());
}

Font* LuaGui::FontFromGlobal(const char* name) {
    Font* font = nullptr;
    auto call = [&](lua_State* L) {
        lua_getglobal(L, name); // stack: f
        if (!lua_isfunction(L, -1)) {
            return;
        }
        font = FontFromFunction(L, name); // stack:
    };
    Protected(nullptr, call);
    return font;
}

void LuaGui::LuaGetFonts() {
    if (m_luaState == nullptr || m_manager == nullptr) {
        return;
    }
    Font* info = FontFromGlobal("getFont");
    Font* label = FontFromGlobal("getLabelFont");
    Font* third = FontFromGlobal("getTextFieldFont");
    m_manager->SetFonts(info, label, third);
}

void LuaGui::LuaCreateUI(const NamedButtons& buttons) {
    if (m_luaState == nullptr || m_manager == nullptr) {
        return;
    }
    int w = 0;
    int h = 0;
    LuaGetWindowSize(w, h);
    m_manager->SetWindowSize(w, h);
    auto call = [&buttons](lua_State* L) {
        lua_pushlightuserdata(L, const_cast<char*>(kButtonLookupTag)); // stack: tag
        lua_pushlightuserdata(L, const_cast<NamedButtons*>(&buttons)); // stack: tag table
        lua_rawset(L, LUA_REGISTRYINDEX);                              // stack:
        lua_getglobal(L, "createUI");                                  // stack: f
        if (lua_isfunction(L, -1)) {
            lua_call(L, 0, 0); // stack:
        }
    };
    Protected("failed to run createUI", call);
    // The table lives on the caller's stack: it must not outlive this call, error or not.
    auto forget = [](lua_State* L) {
        lua_pushlightuserdata(L, const_cast<char*>(kButtonLookupTag)); // stack: tag
        lua_pushnil(L);                                                // stack: tag nil
        lua_rawset(L, LUA_REGISTRYINDEX);                              // stack:
    };
    Protected(nullptr, forget);
}

void LuaGui::LuaShutdown() {
    if (m_luaState != nullptr) {
        // Finalisers a script set run while the state closes, under the time limit.
        m_deadlineNs = UpTimeNanoseconds() + std::uint64_t(kTimeLimitMs) * 1000000u;
        lua_close(m_luaState);
        m_deadlineNs = 0;
        m_luaState = nullptr;
    }
    delete m_paramLookup;
    m_paramLookup = nullptr;
}

} // namespace MV
