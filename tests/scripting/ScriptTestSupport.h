// Shared by the scripting tests: a real effect unit whose scripts come from temporary folders,
// and small ways to run code in its interpreter and read results back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
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

using Channels = std::vector<std::vector<Float32>>;

// Each test has its own plug-in bundle folder (no midi.lua unless written) and script folder.
class ScriptedUnitTest : public ::testing::Test {
protected:
    void SetUp() override { SetScriptFolderOverride(ScriptFolder()); }
    void TearDown() override { SetScriptFolderOverride(""); }

    std::string ScriptFolder() const { return m_folder / "Scripts"; }
    void WriteScript(const std::string& name, const std::string& text) {
        WriteFile(ScriptFolder() + "/" + name, text);
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

inline int StackTop(LuaMIDIHelper& helper) {
    ScriptLockGuard lock(helper.LuaLock());
    return lua_gettop(helper.LuaState());
}

// Runs code in the interpreter the way a script runs; returns the error text without the
// position of the line that raised it, empty on success. The stack must be left as found.
inline std::string RunLua(LuaMIDIHelper& helper, const std::string& code) {
    ScriptLockGuard lock(helper.LuaLock());
    lua_State* L = helper.LuaState();
    const int top = lua_gettop(L);
    std::string error;
    if (luaL_loadstring(L, code.c_str()) != 0 || lua_pcall(L, 0, 0, 0) != 0) {
        const char* text = lua_tostring(L, -1);
        error = text != nullptr ? text : "(no message)";
        lua_pop(L, 1);
        const auto colon = error.find(": ", error.find("\"]:"));
        if (error.rfind("[string \"", 0) == 0 && colon != std::string::npos) {
            error = error.substr(colon + 2);
        }
    }
    EXPECT_EQ(lua_gettop(L), top);
    return error;
}

// The value of a Lua expression converted with tostring.
inline std::string Eval(LuaMIDIHelper& helper, const std::string& expression) {
    const std::string error = RunLua(helper, "__result = tostring(" + expression + ")");
    ScriptLockGuard lock(helper.LuaLock());
    lua_getglobal(helper.LuaState(), "__result");
    std::string value = error.empty() ? lua_tostring(helper.LuaState(), -1) : "error: " + error;
    lua_pop(helper.LuaState(), 1);
    return value;
}

// Hands short messages ("status channel(0-15) data1 data2", status in hex) to the script host
// as the render loop does.
inline void Send(LuaMIDIHelper& helper, const std::string& messages) {
    std::istringstream in(messages);
    for (unsigned status, channel, data1, data2;
         in >> std::hex >> status >> std::dec >> channel >> data1 >> data2;) {
        MessageQueueItem item;
        item.m_type = MessageQueueItem::kTypeShort;
        const UInt8 bytes[] = {UInt8(status), UInt8(channel), UInt8(data1), UInt8(data2)};
        std::memcpy(item.m_bytes, bytes, sizeof bytes);
        helper.HandleMessageQueueItem(&item);
    }
}

// Polls until condition holds; false after a generous time-out. Nothing here measures time.
template <class Condition> bool WaitFor(Condition condition) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition() && std::chrono::steady_clock::now() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

} // namespace MV::test
