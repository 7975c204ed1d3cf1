// Shared by the scripting tests: a real effect unit whose scripts come from temporary folders,
// and small ways to run code in its interpreter and read results back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <lua.hpp>

#include "AudioUnitAPI.h"
#include "FileLocations.h"
#include "MessageQueue.h"
#include "MrvnFluxet.h"
#include "TestFolders.h"
#include "UnitHost.h"

namespace MV::test {

// Each test gets its own plug-in bundle folder (for the plug-in's midi.lua; absent until a test
// writes one) and script folder.
class ScriptedUnitTest : public ::testing::Test {
protected:
    void SetUp() override { SetScriptFolderOverride(ScriptFolder()); }
    void TearDown() override { SetScriptFolderOverride(""); }

    std::string ScriptFolder() const { return m_folder / "Scripts"; }
    void WriteScript(const std::string& name, const std::string& text) {
        WriteFile(ScriptFolder() + "/" + name, text);
    }
    void WriteBundleScript(const std::string& text) {
        WriteFile(m_folder / "Bundle/midi.lua", text);
    }

    // Opens, configures and initialises a unit (which runs the scripts).
    std::unique_ptr<UnitHost> OpenUnit(UInt32 channels = 1, int setupLimitMs = -1) {
        auto host = std::make_unique<UnitHost>(kFluxetComponentDescription, MrvnFluxetEntry);
        EXPECT_EQ(host->Configure(44100.0, channels, 1024), noErr);
        if (setupLimitMs >= 0) {
            Helper(*host).SetSetupTimeLimitMs(setupLimitMs);
        }
        EXPECT_EQ(host->Initialize(), noErr);
        return host;
    }
    static MrvnFluxet& Unit(UnitHost& host) { return host.Object<MrvnFluxet>(); }
    static LuaMIDIHelper& Helper(UnitHost& host) { return Unit(host).ScriptHost(); }

    TempFolder m_folder;
    ScopedEnvironment m_bundle{"FLUXET_BUNDLE_DIR", m_folder / "Bundle"};
    ScopedEnvironment m_config{"XDG_CONFIG_HOME", m_folder / "config"};
};

// Runs code in the interpreter the way a script runs; returns the error text, empty on success.
// Fails the test when the stack is not left as it was found.
inline std::string RunLua(LuaMIDIHelper& helper, const std::string& code) {
    CriticalRegionGuard lock(helper.LuaLock());
    lua_State* L = helper.LuaState();
    const int top = lua_gettop(L);
    std::string error;
    if (luaL_loadstring(L, code.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
        const char* text = lua_tostring(L, -1);
        error = text != nullptr ? text : "(no message)";
        lua_pop(L, 1);
    }
    EXPECT_EQ(lua_gettop(L), top);
    return error;
}

// An error message without the position of the script line that raised it.
inline std::string WithoutPosition(const std::string& error) {
    const auto colon = error.find(": ", error.find("\"]:"));
    return error.rfind("[string \"", 0) == 0 && colon != std::string::npos ? error.substr(colon + 2)
                                                                           : error;
}

// The value of a Lua expression converted with tostring.
inline std::string Eval(LuaMIDIHelper& helper, const std::string& expression) {
    const std::string error = RunLua(helper, "__result = tostring(" + expression + ")");
    if (!error.empty()) {
        return "error: " + error;
    }
    CriticalRegionGuard lock(helper.LuaLock());
    lua_getglobal(helper.LuaState(), "__result");
    std::string value = lua_tostring(helper.LuaState(), -1);
    lua_pop(helper.LuaState(), 1);
    return value;
}

// The top of the interpreter's stack, read under the script lock.
inline int StackTop(LuaMIDIHelper& helper) {
    CriticalRegionGuard lock(helper.LuaLock());
    return lua_gettop(helper.LuaState());
}

// Hands one short message to the script host as the render loop does. Channel is 0 to 15.
inline void Dispatch(LuaMIDIHelper& helper, UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2) {
    MessageQueueItem item;
    item.m_type = MessageQueueItem::kTypeShort;
    item.m_bytes[0] = status;
    item.m_bytes[1] = channel;
    item.m_bytes[2] = data1;
    item.m_bytes[3] = data2;
    helper.HandleMessageQueueItem(&item);
}

// Polls until condition holds; false after a generous time-out. Not a timing assertion: tests
// wait for events, they never measure how long those took.
inline bool WaitFor(const std::function<bool()>& condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace MV::test
