// Where OSC meets the MIDI script: calls into the script from the network, the script's own
// OSC paths, and sending OSC from scripts.
//
// Lua raises errors with longjmp, which must not cross a C++ frame that has objects to
// destroy. Every function here that can raise a Lua error therefore does its C++ work in an
// inner function that returns an error text, and raises only once those objects are gone.
#include <cmath>
#include <cstring>

#include <lua.hpp>
#include <osc/OscOutboundPacketStream.h>

#include "LuaMIDIHelper.h"
#include "OSCOutput.h"

namespace MV {

namespace {

constexpr int kCallResults = 16;
constexpr std::size_t kErrorTextSize = 256;
constexpr std::size_t kMaxLookupNameLength = 99;

// Restores the Lua stack to its height at construction when the scope is left early (by an
// OSC error while arguments are pushed or results read).
class StackRestore {
public:
    explicit StackRestore(lua_State* L) : m_state(L), m_top(lua_gettop(L)) {}
    ~StackRestore() { lua_settop(m_state, m_top); }
    StackRestore(const StackRestore&) = delete;
    StackRestore& operator=(const StackRestore&) = delete;

private:
    lua_State* m_state;
    int m_top;
};

void CopyError(char* error, const char* text) {
    std::snprintf(error, kErrorTextSize, "%s", text);
}

// The OSC arguments from `argument` on as script values (strings point into the packet).
std::vector<LuaMIDIHelper::ScriptValue>
ScriptArguments(osc::ReceivedMessageArgumentIterator argument,
                osc::ReceivedMessageArgumentIterator end) {
    using Type = LuaMIDIHelper::ScriptValue::Type;
    std::vector<LuaMIDIHelper::ScriptValue> values;
    for (; argument != end; ++argument) {
        LuaMIDIHelper::ScriptValue value;
        switch (argument->TypeTag()) {
        case osc::TRUE_TYPE_TAG:
        case osc::FALSE_TYPE_TAG:
            value = {Type::kBoolean, argument->TypeTag() == osc::TRUE_TYPE_TAG ? 1.0 : 0.0};
            break;
        case osc::NIL_TYPE_TAG:
            break;
        case osc::INT32_TYPE_TAG:
            value = {Type::kNumber, double(argument->AsInt32Unchecked())};
            break;
        case osc::INT64_TYPE_TAG:
            value = {Type::kNumber, double(argument->AsInt64Unchecked())};
            break;
        case osc::FLOAT_TYPE_TAG:
            value = {Type::kNumber, double(argument->AsFloatUnchecked())};
            break;
        case osc::DOUBLE_TYPE_TAG:
            value = {Type::kNumber, argument->AsDoubleUnchecked()};
            break;
        case osc::STRING_TYPE_TAG:
            value = {Type::kString, 0.0, argument->AsStringUnchecked()};
            break;
        default:
            throw OSCMessageError("unhandled argument type to exec");
        }
        values.push_back(value);
    }
    return values;
}

// Integer conversion that is defined for every float: out-of-range values and NaN give 0.
SInt32 TruncateToInt(double value) {
    if (!(value > -2147483649.0 && value < 2147483648.0)) {
        return 0;
    }
    return SInt32(value);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Set-up and tear-down

void OSCHelper::InitializeLua() {
    if (m_luaHelper != nullptr) {
        m_luaHelper->LuaInit();
    }
}

void OSCHelper::ReleaseFunctionPaths() {
    std::multimap<std::string, int> paths;
    {
        std::lock_guard lock(m_pathLock);
        paths.swap(m_functionPaths);
    }
    if (m_luaHelper == nullptr || paths.empty()) {
        return;
    }
    // Never waits: a task let go while stuck in a script may hold the lock, and the state
    // goes with the helper anyway.
    ScriptLock& lock = m_luaHelper->LuaLock();
    if (!lock.TryEnter()) {
        return;
    }
    if (lua_State* L = m_luaHelper->LuaState()) {
        for (const auto& [path, ref] : paths) {
            m_luaHelper->ReleaseReference(L, ref);
        }
    }
    lock.Exit();
}

// ---------------------------------------------------------------------------------------------
// Calls from the network

bool OSCHelper::CallFunctionPath(const std::string& address, const osc::ReceivedMessage& message) {
    std::vector<int> refs;
    {
        std::lock_guard lock(m_pathLock);
        const auto range = m_functionPaths.equal_range(address);
        for (auto it = range.first; it != range.second; ++it) {
            refs.push_back(it->second);
        }
    }
    if (refs.empty()) {
        return false;
    }
    const std::vector<LuaMIDIHelper::ScriptValue> args =
        ScriptArguments(message.ArgumentsBegin(), message.ArgumentsEnd());
    ScriptState();
    // The registrations lock is released before the script lock is taken: script code holds
    // the script lock when it takes the registrations lock.
    LuaMIDIHelper::Entry entry(*m_luaHelper, LuaMIDIHelper::Caller::kNetwork, ReceiveTaskFlags());
    lua_State* L = EnteredState(entry);
    for (const int ref : refs) {
        StackRestore restore(L);
        if (m_luaHelper->CallFromOutside(L, nullptr, ref, args, 0) != 0) { // stack:
            throw OSCMessageError("failed to pcall function");
        }
    }
    return true;
}

lua_State* OSCHelper::ScriptState() {
    lua_State* L = m_luaHelper != nullptr ? m_luaHelper->LuaInit() : nullptr;
    if (L == nullptr) {
        throw OSCMessageError("no Lua support from OSC");
    }
    return L;
}

lua_State* OSCHelper::EnteredState(const LuaMIDIHelper::Entry& entry) {
    if (entry.State() == nullptr) {
        throw OSCMessageError("no Lua support from OSC");
    }
    return entry.State();
}

void OSCHelper::HandleExec(const osc::ReceivedMessage& message, const IpEndpointName& /*remote*/) {
    auto argument = message.ArgumentsBegin();
    if (argument == message.ArgumentsEnd()) {
        throw osc::MissingArgumentException();
    }
    const char* name = (argument++)->AsString();
    const std::vector<LuaMIDIHelper::ScriptValue> args =
        ScriptArguments(argument, message.ArgumentsEnd());
    ScriptState();
    LuaMIDIHelper::Entry entry(*m_luaHelper, LuaMIDIHelper::Caller::kNetwork, ReceiveTaskFlags());
    lua_State* L = EnteredState(entry);
    StackRestore restore(L);
    // The look-up, the arguments and the call run protected and under the callback time
    // limit: neither a guarded global table nor an endless function can end or hold the host.
    if (m_luaHelper->CallFromOutside(L, name, LUA_NOREF, args, 0) != 0) { // stack:
        throw OSCMessageError("failed to exec function");
    }
}

void OSCHelper::HandleCall(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    auto argument = message.ArgumentsBegin();
    const char* texts[3] = {};
    for (const char*& text : texts) {
        if (argument == message.ArgumentsEnd()) {
            throw osc::MissingArgumentException();
        }
        text = (argument++)->AsString();
    }
    const char* name = texts[0];
    const IpEndpointName to = ReplyEndpoint(texts[1], remote);
    const char* replyPath = texts[2];
    const std::vector<LuaMIDIHelper::ScriptValue> args =
        ScriptArguments(argument, message.ArgumentsEnd());
    ScriptState();
    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    {
        LuaMIDIHelper::Entry entry(*m_luaHelper, LuaMIDIHelper::Caller::kNetwork,
                                   ReceiveTaskFlags());
        lua_State* L = EnteredState(entry);
        StackRestore restore(L);
        if (m_luaHelper->CallFromOutside(L, name, LUA_NOREF, args, kCallResults) != 0) {
            throw OSCMessageError("failed to exec function");
        } // stack: r1 .. r16
        const int first = lua_gettop(L) - kCallResults + 1;
        packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath);
        // Reading converts nothing (strings are read as they are), so nothing allocates.
        for (int index = first; index < first + kCallResults && !lua_isnil(L, index); ++index) {
            if (lua_type(L, index) == LUA_TNUMBER ||
                (lua_type(L, index) == LUA_TSTRING && lua_isnumber(L, index))) {
                packet << float(lua_tonumber(L, index));
            } else if (lua_type(L, index) == LUA_TSTRING) {
                packet << lua_tostring(L, index);
            } else {
                throw OSCMessageError("unhandled argument type return from call");
            }
        }
        packet << osc::EndMessage << osc::EndBundle;
    } // stack: (the results are gone)
    SendPacket(to, packet);
}

void OSCHelper::ProcessNote(const osc::ReceivedMessage& message, bool noteOn) {
    osc::int32 note = 0;
    Float32 velocity = 0.0f;
    message.ArgumentStream() >> note >> velocity >> osc::EndMessage;
    ScriptState();
    // Channel index 1 counted from 0: the script's handlers see channel 2.
    constexpr int kScriptChannel = 2;
    const auto noteByte = UInt8(note & 0xFF);
    const auto velocityByte = UInt8(TruncateToInt(double(velocity) * 127.0) & 0xFF);
    LuaMIDIHelper::Entry entry(*m_luaHelper, LuaMIDIHelper::Caller::kNetwork, ReceiveTaskFlags());
    if (noteOn) {
        m_luaHelper->HandleNoteOn(kScriptChannel, noteByte, velocityByte);
    } else {
        m_luaHelper->HandleNoteOff(kScriptChannel, noteByte, velocityByte);
    }
}

void OSCHelper::HandleStartNote(const osc::ReceivedMessage& message, const IpEndpointName&) {
    ProcessNote(message, true);
}

void OSCHelper::HandleStopNote(const osc::ReceivedMessage& message, const IpEndpointName&) {
    ProcessNote(message, false);
}

// ---------------------------------------------------------------------------------------------
// Registrations made by scripts

bool OSCHelper::LookupParameterName(const char* name, SInt32& outId) const {
    // As the script host's own name map does: names as 7-bit text of at most 99 bytes, and
    // a later duplicate wins.
    for (SInt32 id = m_numParameters - 1; id >= 0; --id) {
        std::string ascii;
        for (const char* c = m_paramInfo[id].name;
             *c != '\0' && ascii.size() < kMaxLookupNameLength; ++c) {
            ascii.push_back(char(static_cast<unsigned char>(*c) & 0x7F));
        }
        if (ascii == name) {
            outId = id;
            return true;
        }
    }
    return false;
}

bool OSCHelper::RegisterParameterPath(lua_State* L, bool normalized, char* error) {
    const char* path = lua_tostring(L, 1);
    std::vector<SInt32> ids;
    const auto addId = [&](int index) {
        if (lua_type(L, index) == LUA_TNUMBER) {
            ids.push_back(SInt32(lua_tointeger(L, index)));
            return true;
        }
        SInt32 id = 0;
        const char* name = lua_tostring(L, index);
        if (!LookupParameterName(name, id)) {
            std::snprintf(error, kErrorTextSize, "parameter not found: '%s'", name);
            return false;
        }
        ids.push_back(id);
        return true;
    };
    if (lua_istable(L, 2)) {
        const int count = int(lua_objlen(L, 2));
        for (int i = 1; i <= count; ++i) {
            lua_rawgeti(L, 2, i); // stack: path params element
            const int type = lua_type(L, -1);
            const bool added = (type == LUA_TNUMBER || type == LUA_TSTRING) && addId(-1);
            lua_pop(L, 1); // stack: path params
            if (!added) {
                if (error[0] == '\0') {
                    std::snprintf(error, kErrorTextSize,
                                  "bad parameter %d to registerOSCPathForParameter "
                                  "(number or string expected)",
                                  i);
                }
                return false;
            }
        }
    } else if (!addId(2)) {
        return false;
    }
    for (const SInt32 id : ids) {
        if (id < 0 || id >= m_numParameters) {
            std::snprintf(error, kErrorTextSize, "parameter out of range: %d", int(id));
            return false;
        }
    }

    std::vector<RegisteredPathParam> slots;
    for (const SInt32 id : ids) {
        const MrvnParamInfo& info = m_paramInfo[id];
        slots.push_back(normalized
                            ? RegisteredPathParam{id, info.minValue, info.maxValue - info.minValue}
                            : RegisteredPathParam{id, 0.0f, 1.0f});
    }
    bool consistent = true;
    {
        std::lock_guard lock(m_pathLock);
        const auto existing = m_parameterPaths.find(path);
        if (existing != m_parameterPaths.end() && existing->second.size() != slots.size()) {
            consistent = false;
        } else {
            m_parameterPaths.emplace_hint(m_parameterPaths.upper_bound(path), path,
                                          std::move(slots));
        }
    }
    if (!consistent) {
        LuaMIDIHelper::LuaError(L, "inconsistent sizes in RegisterOSCPathForParameter\n");
    }
    return true;
}

int OSCHelper::LuaRegisterOSCPathForParameter(lua_State* L, bool normalized) {
    luaL_checkstring(L, 1);
    const int type = lua_type(L, 2);
    if (type != LUA_TNUMBER && type != LUA_TSTRING && type != LUA_TTABLE) {
        return luaL_typerror(L, 2, "number, string or table");
    }
    char error[kErrorTextSize] = "";
    bool registered = false;
    try {
        registered = RegisterParameterPath(L, normalized, error);
    } catch (const std::exception& exception) {
        CopyError(error, exception.what());
    }
    if (!registered) {
        return luaL_error(L, "%s", error);
    }
    return 0;
}

int OSCHelper::LuaRegisterOSCPathForFunction(lua_State* L) {
    if (m_luaHelper == nullptr) {
        return 0;
    }
    const char* path = luaL_checkstring(L, 1);
    if (!lua_isfunction(L, 2)) {
        return luaL_error(L, "second argument to registerOSCPathForFunction is not a function");
    }
    lua_pushvalue(L, 2);                            // stack: path f f
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX); // stack: path f
    char error[kErrorTextSize] = "";
    try {
        std::lock_guard lock(m_pathLock);
        m_functionPaths.emplace_hint(m_functionPaths.upper_bound(path), path, ref);
    } catch (const std::exception& exception) {
        CopyError(error, exception.what());
    }
    if (error[0] != '\0') {
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
        return luaL_error(L, "%s", error);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Sending from scripts

bool OSCHelper::SendOSCFromScript(lua_State* L, int formatIndex, int tableIndex, char* error) {
    const char* destination = lua_tostring(L, 1);
    const char* path = lua_tostring(L, 2);
    try {
        PacketBuffer buffer;
        osc::OutboundPacketStream packet(buffer.data(), buffer.size());
        packet << osc::BeginBundleImmediate << osc::BeginMessage(path);
        if (tableIndex != 0) {
            const std::size_t count = lua_objlen(L, tableIndex);
            const char* format = formatIndex != 0 ? lua_tostring(L, formatIndex) : nullptr;
            if (format != nullptr && std::strlen(format) != count) {
                CopyError(error, "format string length mismatch in sendOSC");
                return false;
            }
            for (std::size_t i = 1; i <= count; ++i) {
                lua_rawgeti(L, tableIndex, int(i)); // stack: ... element
                const int type = lua_type(L, -1);
                if (type == LUA_TNIL) {
                    packet << osc::OscNil;
                } else if (type == LUA_TNUMBER) {
                    const lua_Number number = lua_tonumber(L, -1);
                    if (format != nullptr && format[i - 1] == 'i') {
                        packet << osc::int32(TruncateToInt(number));
                    } else {
                        packet << float(number);
                    }
                } else if (type == LUA_TSTRING) {
                    packet << lua_tostring(L, -1);
                }
                lua_pop(L, 1); // stack: ...
                if (type != LUA_TNIL && type != LUA_TNUMBER && type != LUA_TSTRING) {
                    CopyError(error, "unhandled argument type return from call");
                    return false;
                }
            }
        }
        packet << osc::EndMessage << osc::EndBundle;
        // The packet is built: resolving and sending touch no Lua state, so the render thread
        // may use the interpreter meanwhile. The destination text stays on the stack.
        const LuaMIDIHelper::AwayFromInterpreter away(L);
        SendPacket(ResolveAddress(destination), packet);
    } catch (const std::exception& exception) {
        CopyError(error, LineText(exception.what()).c_str());
        return false;
    }
    return true;
}

int OSCHelper::LuaSendOSC(lua_State* L) {
    luaL_checkstring(L, 1);
    luaL_checkstring(L, 2);
    int formatIndex = 0;
    int tableIndex = 0;
    const int nargs = lua_gettop(L);
    if (nargs == 3) {
        luaL_checktype(L, 3, LUA_TTABLE);
        tableIndex = 3;
    } else if (nargs == 4) {
        luaL_checkstring(L, 3);
        luaL_checktype(L, 4, LUA_TTABLE);
        formatIndex = 3;
        tableIndex = 4;
    }
    if (!lua_checkstack(L, 2)) {
        return luaL_error(L, "stack overflow in sendOSC");
    }
    char error[kErrorTextSize] = "";
    if (!SendOSCFromScript(L, formatIndex, tableIndex, error)) {
        return luaL_error(L, "%s", error);
    }
    return 0;
}

} // namespace MV
