// What the MIDI script host needs from its instance's OSC server. The script host lives below
// the OSC server, so it reaches the server only through this interface, which the server
// implements.
#pragma once

struct lua_State;

namespace MV {

class OSCScriptInterface {
public:
    virtual ~OSCScriptInterface() = default;

    // Bodies of the script functions "registerOSCPathForParameter" (normalized false),
    // "registerOSCPathForParameterNormalized" (normalized true) and
    // "registerOSCPathForFunction". Called on whatever thread runs the script, with the
    // script host's lock held; they follow the Lua C-function protocol (arguments on the
    // stack, results returned as a count, errors raised with lua_error).
    virtual int LuaRegisterOSCPathForParameter(lua_State* L, bool normalized) = 0;
    virtual int LuaRegisterOSCPathForFunction(lua_State* L) = 0;
};

// The body of the script function "sendOSC", which needs no server: installed by the OSC
// library when it is linked in, null until then. Called like the functions above.
using LuaSendOSCFunction = int (*)(lua_State* L);
void SetLuaSendOSCFunction(LuaSendOSCFunction function);
LuaSendOSCFunction GetLuaSendOSCFunction();

} // namespace MV
