#include "LuaMIDIHelper.h"

#include <cassert>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <lua.hpp>

#include "AUBase.h"
#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "Bundle.h"
#include "FileLocations.h"
#include "MessageQueue.h"
#include "MrvnInstanceTracker.h"
#include "OSCScriptInterface.h"
#include "SystemInfo.h"

// Lua reports errors with longjmp. The C functions below therefore check their arguments
// before they take anything that must be released, and hold no lock while Lua may raise.

namespace MV {

const char LuaMIDIHelper::kRefconTag[] = "MV::LuaMIDIHelper::kRefcon";
const char LuaMIDIHelper::kParamLookupTag[] = "MV::LuaMIDIHelper::kParamLookup";

namespace {

// Instructions between two deadline checks: rare enough to cost nothing measurable, often
// enough to stop an endless loop within a fraction of a millisecond past its deadline.
constexpr int kHookInstructions = 1000;
constexpr int kMaxLookupNameBytes = 99;
constexpr std::size_t kMaxParameterNameBytes = 63;
constexpr int kNumGuiFlags = DataToGui::kNumGuiFlags;

void* Allocate(void* /*user*/, void* block, std::size_t /*oldSize*/, std::size_t newSize) {
    if (newSize == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, newSize);
}

// An error outside any protected call; Lua exits the process when this returns.
int Panic(lua_State* L) {
    const char* message = lua_tostring(L, -1);
    LuaMIDIHelper::LuaError(L, "unprotected error in the MIDI script: %s\n",
                            message != nullptr ? message : "(error object is not a string)");
    return 0;
}

// Lua numbers as the 32-bit values the host takes: no conversion beyond the float range.
Float32 ToFloat32(lua_Number value) {
    if (std::isfinite(value) && std::fabs(value) > lua_Number(FLT_MAX)) {
        return value > 0 ? HUGE_VALF : -HUGE_VALF;
    }
    return Float32(value);
}

// Truncates towards zero like Lua's own integer conversion, clamped to the int range.
int ToInt(lua_Number value) {
    if (std::isnan(value)) {
        return INT_MIN;
    }
    if (value >= lua_Number(INT_MAX)) {
        return INT_MAX;
    }
    if (value <= lua_Number(INT_MIN)) {
        return INT_MIN;
    }
    return int(value);
}

int ClampToInt(lua_Integer value) {
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : int(value);
}

// A name from the parameter table as the key of the name map: 7-bit ASCII (other bytes
// become '?'), at most 99 bytes.
std::string LookupName(const char* name) {
    std::string key = name != nullptr ? name : "";
    if (key.size() > kMaxLookupNameBytes) {
        key.resize(kMaxLookupNameBytes);
    }
    for (char& c : key) {
        if ((static_cast<unsigned char>(c) & 0x80) != 0) {
            c = '?';
        }
    }
    return key;
}

std::string_view FileName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string_view(path)
                                      : std::string_view(path).substr(slash + 1);
}

template <class Container> bool Append(Container& list, SInt32 ref) {
    try {
        list.push_back(ref);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

// Checks, when it leaves scope, that the Lua stack top moved by exactly `change` (debug
// builds). A Lua error that longjmps past it skips only this check: it owns nothing.
class LuaMIDIHelper::StackCheck {
public:
    StackCheck(lua_State* L, int change) : m_state(L), m_expected(lua_gettop(L) + change) {}
    ~StackCheck() { assert(lua_gettop(m_state) == m_expected); }
    StackCheck(const StackCheck&) = delete;
    StackCheck& operator=(const StackCheck&) = delete;

private:
    [[maybe_unused]] lua_State* m_state;
    [[maybe_unused]] int m_expected;
};

// The time limit of one call into the interpreter. Nested calls keep the earlier deadline.
// The thread that holds the script lock (or sets the interpreter up).
class LuaMIDIHelper::Deadline {
public:
    Deadline(LuaMIDIHelper& helper, int limitMs, bool setup)
        : m_helper(helper), m_previousNs(helper.m_deadlineNs),
          m_previousLimitMs(helper.m_activeLimitMs), m_previousIsSetup(helper.m_activeIsSetup) {
        std::uint64_t deadline = 0;
        if (limitMs > 0) {
            deadline = UpTimeNanoseconds() + std::uint64_t(limitMs) * 1000000u;
        }
        if (m_previousNs != 0 && (deadline == 0 || m_previousNs < deadline)) {
            deadline = m_previousNs;
            limitMs = m_previousLimitMs;
            setup = m_previousIsSetup;
        }
        helper.m_deadlineNs = deadline;
        helper.m_activeLimitMs = limitMs;
        helper.m_activeIsSetup = setup;
        // Installed again on every call: a script may have removed it with debug.sethook.
        lua_sethook(helper.m_luaState, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    ~Deadline() {
        m_helper.m_deadlineNs = m_previousNs;
        m_helper.m_activeLimitMs = m_previousLimitMs;
        m_helper.m_activeIsSetup = m_previousIsSetup;
        // The hook checks every instruction once a deadline has passed; back to the normal
        // rate.
        lua_sethook(m_helper.m_luaState, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    LuaMIDIHelper& m_helper;
    std::uint64_t m_previousNs;
    int m_previousLimitMs;
    bool m_previousIsSetup;
};

// The order in which scripts' global functions are registered.
const LuaMIDIHelper::FunctionEntry LuaMIDIHelper::ms_functions[] = {
    {"print", &LuaPrint},
    {"setParameter", &LuaSetParameter},
    {"getParameter", &LuaGetParameter},
    {"getParameterID", &LuaGetParameterID},
    {"getParameterMinMax", &LuaGetParameterMinMax},
    {"getParameterUnit", &LuaGetParameterUnit},
    {"getParameterName", &LuaGetParameterName},
    {"isParameterUsed", &LuaIsParameterUsed},
    {"getNumParameters", &LuaGetNumParameters},
    {"sendOSC", &LuaSendOSC},
    {"setOthersParameter", &LuaSetOthersParameter},
    {"getOthersParameter", &LuaGetOthersParameter},
    {"requestAllNoteOn", &LuaRequestAllNoteOn},
    {"requestAllNoteOff", &LuaRequestAllNoteOff},
    {"requestAllCC", &LuaRequestAllCC},
    {"requestAllNRPN", &LuaRequestAllNRPN},
    {"requestAllProgramChange", &LuaRequestAllProgramChange},
    {"requestAllPolyPressure", &LuaRequestAllPolyPressure},
    {"requestNoteOn", &LuaRequestNoteOn},
    {"requestNoteOff", &LuaRequestNoteOff},
    {"requestCC", &LuaRequestCC},
    {"requestNRPN", &LuaRequestNRPN},
    {"requestPitchWheel", &LuaRequestPitchWheel},
    {"requestChannelPressure", &LuaRequestChannelPressure},
    {"requestProgramChange", &LuaRequestProgramChange},
    {"requestPolyPressure", &LuaRequestPolyPressure},
    {"time", &LuaTime},
    {"requestTimedCallback", &LuaRequestTimedCallback},
    {"requestPeriodicCallback", &LuaRequestPeriodicCallback},
    {"cancelTimer", &LuaCancelTimer},
    {"setGUIBoolValue", &LuaSetGUIBoolValue},
    {"getGUIBoolValue", &LuaGetGUIBoolValue},
    {"setOthersGUIBoolValue", &LuaSetOthersGUIBoolValue},
    {"getOthersGUIBoolValue", &LuaGetOthersGUIBoolValue},
    {"registerOSCPathForParameter", &LuaRegisterOSCPathForParameter},
    {"registerOSCPathForParameterNormalized", &LuaRegisterOSCPathForParameterNormalized},
    {"registerOSCPathForFunction", &LuaRegisterOSCPathForFunction},
};

// ---------------------------------------------------------------------------------------------
// Life cycle

LuaMIDIHelper::LuaMIDIHelper(AUBase* audioUnit, MessageQueue* messageQueue,
                             OSCScriptInterface* oscHelper)
    : m_audioUnit(audioUnit), m_messageQueue(messageQueue), m_oscHelper(oscHelper) {}

LuaMIDIHelper::~LuaMIDIHelper() {
    StopTimers();
    LuaShutdown();
}

void LuaMIDIHelper::Initialize() {
    CriticalRegionGuard lock(m_luaLock);
    const AudioComponentInstance instance =
        m_audioUnit != nullptr ? m_audioUnit->GetComponentInstance() : nullptr;
    UInt32 count = 0;
    UInt32 size = sizeof(count);
    if (AudioUnitGetProperty(instance, kMrvnProperty_NumParameters, kAudioUnitScope_Global, 0,
                             &count, &size) != noErr) {
        count = 0;
    }
    const MrvnParamInfo* table = nullptr;
    size = sizeof(void*);
    if (AudioUnitGetProperty(instance, kMrvnProperty_ParameterInfos, kAudioUnitScope_Global, 0,
                             &table, &size) != noErr) {
        table = nullptr;
    }
    // Without a table no index can be answered for.
    m_paramInfo = table;
    m_numParameters = table != nullptr ? SInt32(std::min<UInt32>(count, INT_MAX)) : 0;
}

lua_State* LuaMIDIHelper::LuaInit() {
    // Set-up holds the script lock as well: a timer that a script requests may fall due
    // while the later scripts are still running.
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState == nullptr) {
        CreateState();
        if (m_luaState != nullptr) {
            RunScripts();
        }
    }
    return m_luaState;
}

void LuaMIDIHelper::CreateState() {
    lua_State* L = lua_newstate(&Allocate, this);
    if (L == nullptr) {
        LuaError(nullptr, "cannot create the MIDI script interpreter\n");
        return;
    }
    lua_atpanic(L, &Panic);
    m_luaState = L;
    StackCheck check(L, 0);
    luaL_openlibs(L);
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    for (const FunctionEntry& entry : ms_functions) {
        lua_register(L, entry.name, entry.function);
    }
    luaL_newmetatable(L, kTimerMetatable); // stack: mt
    lua_pop(L, 1);                         // stack:
    RegisterFunctions();

    lua_pushlightuserdata(L, const_cast<char*>(kRefconTag)); // stack: tag
    lua_pushlightuserdata(L, this);                          // stack: tag helper
    lua_rawset(L, LUA_REGISTRYINDEX);                        // stack:

    m_paramLookup = new ParamLookup;
    for (SInt32 index = 0; index < m_numParameters; ++index) {
        (*m_paramLookup)[LookupName(m_paramInfo[index].name)] = int(index);
    }
    lua_pushlightuserdata(L, const_cast<char*>(kParamLookupTag)); // stack: tag
    lua_pushlightuserdata(L, m_paramLookup);                      // stack: tag map
    lua_rawset(L, LUA_REGISTRYINDEX);                             // stack:

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
    } versions[] = {{"majorVersion", 1}, {"minorVersion", 2}, {"dotVersion", 1}};
    for (const auto& version : versions) {
        lua_pushinteger(L, version.value); // stack: n
        lua_setglobal(L, version.name);    // stack:
    }
    lua_pushinteger(L, 1 * 10000 + 2 * 100 + 1); // stack: n
    lua_setglobal(L, "version");                 // stack:
}

void LuaMIDIHelper::RunScripts() {
    lua_State* L = m_luaState;
    const char* product = nullptr;
    UInt32 size = sizeof(void*);
    const AudioComponentInstance instance =
        m_audioUnit != nullptr ? m_audioUnit->GetComponentInstance() : nullptr;
    if (AudioUnitGetProperty(instance, kMrvnProperty_SecondaryAppSupportName,
                             kAudioUnitScope_Global, 0, &product, &size) != noErr ||
        product == nullptr) {
        product = "";
    }
    std::vector<std::string> scripts;
    GetScripts(scripts, product);

    bool userMidiScript = false;
    for (const std::string& path : scripts) {
        userMidiScript = userMidiScript || FileName(path).substr(0, 8) == "midi.lua";
    }
    if (!userMidiScript) {
        if (std::unique_ptr<Bundle> bundle = FindPluginBundle(kPluginBundleIdentifier)) {
            FileLoader file("midi.lua", bundle.get());
            if (file.IsLoaded()) {
                RunChunk(luaL_loadbuffer(L, reinterpret_cast<const char*>(file.Data()),
                                         std::size_t(file.Size()), "midi.lua"),
                         "failed to run buffer: %s\n");
            }
        }
    }
    for (const std::string& path : scripts) {
        RunChunk(luaL_loadfile(L, path.c_str()), "failed to run file: %s\n");
    }
    lua_settop(L, 0);
}

void LuaMIDIHelper::RunChunk(int loadStatus, const char* report) {
    lua_State* L = m_luaState;
    StackCheck check(L, -1);
    int status = loadStatus; // stack: chunk (or message)
    if (status == 0) {
        Deadline deadline(*this, m_setupLimitMs.load(), true);
        status = lua_pcall(L, 0, 0, 0); // stack: (or message)
        if (status == 0) {
            lua_pushnil(L); // stack: nil, so that both paths pop one value
        }
    }
    if (status != 0) {
        const char* message = lua_tostring(L, -1);
        LuaError(L, report, message != nullptr ? message : "(error object is not a string)");
    }
    lua_pop(L, 1); // stack:
}

void LuaMIDIHelper::LuaShutdown() {
    // Before the lock: a timer callback that is running needs it to finish.
    StopTimers();
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState == nullptr) {
        return;
    }
    m_hasMidiRequests.store(false, std::memory_order_release);
    // Finalisers that scripts set run while the state closes; they get the set-up limit.
    const int limitMs = m_setupLimitMs.load();
    m_deadlineNs = limitMs > 0 ? UpTimeNanoseconds() + std::uint64_t(limitMs) * 1000000u : 0;
    m_activeLimitMs = limitMs;
    m_activeIsSetup = true;
    lua_close(m_luaState);
    m_luaState = nullptr;
    m_deadlineNs = 0;
    delete m_paramLookup;
    m_paramLookup = nullptr;
    for (RefList* list : {&m_allNoteOnRefs, &m_allNoteOffRefs, &m_allCCRefs, &m_allNRPNRefs,
                          &m_allProgramChangeRefs, &m_allPolyPressureRefs, &m_pitchWheelRefs,
                          &m_channelPressureRefs}) {
        list->clear();
    }
    for (RefMap* map : {&m_noteOnRefs, &m_noteOffRefs, &m_ccRefs, &m_nrpnRefs, &m_programChangeRefs,
                        &m_polyPressureRefs}) {
        map->clear();
    }
}

void LuaMIDIHelper::StopTimers() {
    std::vector<TimerHandle> running;
    {
        CriticalRegionGuard timers(m_timerLock);
        m_timersStopped = true;
        for (const auto& [timer, entry] : m_timers) {
            RemoveTimer(timer, TimerRemoval::kDontWait);
            running.push_back(timer);
        }
        m_timers.clear();
        if (m_firingTimer != kNoTimer) {
            running.push_back(m_firingTimer);
        }
    }
    // Without the lock: a callback that is running takes it before it ends.
    for (TimerHandle timer : running) {
        RemoveTimer(timer, TimerRemoval::kWaitForCallback);
    }
}

std::size_t LuaMIDIHelper::NumLiveTimers() {
    CriticalRegionGuard timers(m_timerLock);
    return m_timers.size();
}

LuaMIDIHelper* LuaMIDIHelper::FromState(lua_State* L) {
    StackCheck check(L, 0);
    lua_pushlightuserdata(L, const_cast<char*>(kRefconTag)); // stack: tag
    lua_rawget(L, LUA_REGISTRYINDEX);                        // stack: helper
    auto* helper = static_cast<LuaMIDIHelper*>(lua_touserdata(L, -1));
    lua_pop(L, 1); // stack:
    return helper;
}

namespace {

// The helper of a script function's state; raises when a script removed it from the
// registry (reachable through the debug library).
LuaMIDIHelper& HelperOf(lua_State* L) {
    LuaMIDIHelper* helper = LuaMIDIHelper::FromState(L);
    if (helper == nullptr) {
        luaL_error(L, "the MIDI scripting host is not registered");
    }
    return *helper;
}

} // namespace

void LuaMIDIHelper::LuaError(lua_State* /*state*/, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("@@@ ", stdout);
    std::vfprintf(stdout, format, args);
    std::fflush(stdout);
    va_end(args);
}

// ---------------------------------------------------------------------------------------------
// Calls into the interpreter

void LuaMIDIHelper::LimitHook(lua_State* L, lua_Debug* /*debug*/) {
    void* user = nullptr;
    lua_getallocf(L, &user);
    const auto* helper = static_cast<const LuaMIDIHelper*>(user);
    if (helper == nullptr || helper->m_deadlineNs == 0 ||
        UpTimeNanoseconds() < helper->m_deadlineNs) {
        return;
    }
    // From now on every instruction checks, so that a script that catches the error with
    // pcall and carries on is stopped again at once.
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, 1);
    luaL_error(L, "script %s exceeded its time limit of %d ms",
               helper->m_activeIsSetup ? "set-up" : "callback", helper->m_activeLimitMs);
}

int LuaMIDIHelper::protectedPcall(int nargs) {
    return protectedPcall(nargs, 0);
}

int LuaMIDIHelper::protectedPcall(int nargs, int nresults) {
    CriticalRegionGuard lock(m_luaLock);
    lua_State* L = m_luaState;
    StackCheck check(L, nresults - (nargs + 1));
    int status = 0;
    {
        Deadline deadline(*this, m_callbackLimitMs.load(), false);
        status = lua_pcall(L, nargs, nresults, 0); // stack: results (or message)
    }
    if (status != 0) {
        lua_pop(L, 1); // stack:
        for (int i = 0; i < nresults; ++i) {
            lua_pushnil(L); // stack: nil...
        }
    }
    return status;
}

int LuaMIDIHelper::CallRegistryFunction(int ref) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState == nullptr) {
        return LUA_ERRRUN;
    }
    StackCheck check(m_luaState, 0);
    lua_rawgeti(m_luaState, LUA_REGISTRYINDEX, ref); // stack: f
    return protectedPcall(0);                        // stack:
}

void LuaMIDIHelper::CallRef(int ref, std::initializer_list<SInt32> args) {
    lua_State* L = m_luaState;
    StackCheck check(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref); // stack: f
    for (SInt32 arg : args) {
        lua_pushinteger(L, arg); // stack: f args...
    }
    protectedPcall(int(args.size())); // stack:
}

void LuaMIDIHelper::CallRefs(const RefList& list, const RefMap* map, SInt32 number,
                             std::initializer_list<SInt32> args) {
    // By position, reading the length again after each call: a callback may register more.
    for (std::size_t i = 0; i < list.size(); ++i) {
        CallRef(list[i], args);
    }
    if (map == nullptr) {
        return;
    }
    // Looked up after the first walk, which may have created the entry.
    const auto found = map->find(number);
    if (found == map->end()) {
        return;
    }
    const RefList& numbered = found->second; // map nodes stay where they are
    for (std::size_t i = 0; i < numbered.size(); ++i) {
        CallRef(numbered[i], args);
    }
}

// ---------------------------------------------------------------------------------------------
// MIDI dispatch

bool LuaMIDIHelper::HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2,
                                    UInt32 startFrame) {
    return m_messageQueue != nullptr &&
           m_messageQueue->Write(status, channel, data1, data2, startFrame);
}

bool LuaMIDIHelper::HandleSysEx(const UInt8* data, UInt32 length) {
    return m_messageQueue != nullptr && m_messageQueue->WriteSysEx(data, length);
}

void LuaMIDIHelper::HandleMessageQueueItem(const MessageQueueItem* item) {
    if (item == nullptr || item->m_type != MessageQueueItem::kTypeShort) {
        return;
    }
    if (m_hasMidiRequests.load(std::memory_order_acquire)) {
        CriticalRegionGuard lock(m_luaLock);
        const int channel = int(item->m_bytes[1]) + 1;
        const UInt8 data1 = item->m_bytes[2];
        const UInt8 data2 = item->m_bytes[3];
        switch (item->m_bytes[0]) {
        case 0x80:
            HandleNoteOff(channel, data1, data2);
            break;
        case 0x90:
            if (data2 == 0) {
                HandleNoteOff(channel, data1, data2);
            } else {
                HandleNoteOn(channel, data1, data2);
            }
            break;
        case 0xA0:
            HandlePolyPressure(channel, data1, data2);
            break;
        case 0xB0:
            HandleControlChange(channel, data1, data2);
            break;
        case 0xC0:
            HandleProgramChange(channel, data1);
            break;
        case 0xD0:
            HandleChannelPressure(channel, data1);
            break;
        case 0xE0:
            HandlePitchWheel(channel, data1, data2);
            break;
        default:
            break;
        }
    }
    if (m_audioUnit != nullptr) {
        MrvnInstanceTracker::HandleMessageQueueItem(*item, m_audioUnit);
    }
}

void LuaMIDIHelper::HandleNoteOn(int channel, UInt8 note, UInt8 velocity) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_allNoteOnRefs, &m_noteOnRefs, note, {channel, note, velocity});
    }
}

void LuaMIDIHelper::HandleNoteOff(int channel, UInt8 note, UInt8 velocity) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_allNoteOffRefs, &m_noteOffRefs, note, {channel, note, velocity});
    }
}

void LuaMIDIHelper::HandleControlChange(int channel, UInt8 controller, UInt8 value) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState == nullptr) {
        return;
    }
    bool dataEntry = false;
    switch (controller) {
    case 99:
        m_nrpnMSB = value;
        break;
    case 98:
        m_nrpnLSB = value;
        break;
    case 6:
        m_dataEntryMSB = value;
        dataEntry = true;
        break;
    case 38:
        m_dataEntryLSB = value;
        dataEntry = true;
        break;
    default:
        break;
    }
    if (dataEntry) {
        const SInt32 number = m_nrpnMSB * 128 + m_nrpnLSB;
        const SInt32 nrpnValue = m_dataEntryMSB * 128 + m_dataEntryLSB;
        CallRefs(m_allNRPNRefs, &m_nrpnRefs, number, {channel, number, nrpnValue});
    }
    CallRefs(m_allCCRefs, &m_ccRefs, controller, {channel, controller, value});
}

void LuaMIDIHelper::HandlePitchWheel(int channel, UInt8 leastSignificant, UInt8 mostSignificant) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_pitchWheelRefs, nullptr, 0,
                 {channel, SInt32(mostSignificant) * 128 + SInt32(leastSignificant)});
    }
}

void LuaMIDIHelper::HandleProgramChange(int channel, UInt8 program) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_allProgramChangeRefs, &m_programChangeRefs, program, {channel, program});
    }
}

void LuaMIDIHelper::HandleChannelPressure(int channel, UInt8 pressure) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_channelPressureRefs, nullptr, 0, {channel, pressure});
    }
}

void LuaMIDIHelper::HandlePolyPressure(int channel, UInt8 note, UInt8 pressure) {
    CriticalRegionGuard lock(m_luaLock);
    if (m_luaState != nullptr) {
        CallRefs(m_allPolyPressureRefs, &m_polyPressureRefs, note, {channel, note, pressure});
    }
}

bool LuaMIDIHelper::isParameterUsed(int /*parameter*/) {
    return true;
}

void LuaMIDIHelper::RegisterFunctions() {}

// ---------------------------------------------------------------------------------------------
// Timers

void LuaMIDIHelper::TimerFired(void* user, TimerHandle timer) {
    static_cast<LuaMIDIHelper*>(user)->OnTimer(timer);
}

void LuaMIDIHelper::OnTimer(TimerHandle timer) {
    int ref = LUA_NOREF;
    bool periodic = false;
    {
        CriticalRegionGuard timers(m_timerLock);
        const auto found = m_timers.find(timer);
        if (found == m_timers.end()) {
            return; // cancelled meanwhile
        }
        ref = found->second.ref;
        periodic = found->second.periodic;
        if (!periodic) {
            // The reference is this callback's own from here on.
            RemoveTimer(timer, TimerRemoval::kDontWait);
            m_timers.erase(found);
        }
        m_firingTimer = timer;
    }
    {
        CriticalRegionGuard lock(m_luaLock);
        bool live = m_luaState != nullptr;
        if (live && periodic) {
            // A script on another thread may have cancelled it (and released its reference)
            // while this thread waited for the script lock.
            CriticalRegionGuard timers(m_timerLock);
            const auto found = m_timers.find(timer);
            live = found != m_timers.end() && found->second.ref == ref;
        }
        if (live) {
            CallRef(ref, {});
            if (!periodic) {
                luaL_unref(m_luaState, LUA_REGISTRYINDEX, ref);
            }
        }
    }
    CriticalRegionGuard timers(m_timerLock);
    m_firingTimer = kNoTimer;
}

int LuaMIDIHelper::RequestTimer(lua_State* L, bool periodic) {
    LuaMIDIHelper& helper = HelperOf(L);
    const lua_Number seconds = luaL_checknumber(L, 1);
    if (!lua_isfunction(L, 2)) {
        return luaL_error(L, "second argument to requestTimerCallback() is not a function");
    }
    auto* handle = static_cast<TimerHandle*>(lua_newuserdata(L, sizeof(TimerHandle)));
    *handle = kNoTimer;                             // stack: ... h
    luaL_getmetatable(L, kTimerMetatable);          // stack: ... h mt
    lua_setmetatable(L, -2);                        // stack: ... h
    lua_pushvalue(L, 2);                            // stack: ... h f
    const int ref = luaL_ref(L, LUA_REGISTRYINDEX); // stack: ... h

    // An interval of zero or less repeats nothing on the event loop either.
    const bool repeats = periodic && seconds > 0;
    const char* failure = nullptr;
    helper.m_timerLock.Enter();
    if (helper.m_timersStopped) {
        failure = "timers are stopped";
    } else {
        // Installed and recorded under one lock: it cannot fire before it is recorded.
        const TimerHandle timer = AddTimer(seconds, repeats ? seconds : 0.0, &TimerFired, &helper);
        if (timer == kNoTimer) {
            failure = "no timer can be installed";
        } else {
            try {
                helper.m_timers.emplace(timer, TimerEntry{ref, repeats});
                *handle = timer;
            } catch (...) {
                RemoveTimer(timer, TimerRemoval::kDontWait);
                failure = "not enough memory";
            }
        }
    }
    helper.m_timerLock.Exit();
    if (failure != nullptr) {
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
        return luaL_error(L, "%s", failure);
    }
    return 1;
}

int LuaMIDIHelper::LuaRequestTimedCallback(lua_State* L) {
    return RequestTimer(L, false);
}

int LuaMIDIHelper::LuaRequestPeriodicCallback(lua_State* L) {
    return RequestTimer(L, true);
}

int LuaMIDIHelper::LuaCancelTimer(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const TimerHandle timer = *static_cast<TimerHandle*>(luaL_checkudata(L, 1, kTimerMetatable));
    StackCheck check(L, 0);
    int ref = LUA_NOREF;
    {
        CriticalRegionGuard timers(helper.m_timerLock);
        const auto found = helper.m_timers.find(timer);
        if (found != helper.m_timers.end()) {
            RemoveTimer(timer, TimerRemoval::kDontWait);
            ref = found->second.ref;
            helper.m_timers.erase(found);
        }
    }
    // The caller runs script code, so it holds the script lock.
    if (ref != LUA_NOREF) {
        luaL_unref(L, LUA_REGISTRYINDEX, ref);
    }
    return 0;
}

// ---------------------------------------------------------------------------------------------
// MIDI requests

// Keeps the function at `index` in the registry under a reference that `keep` files away; a
// reference it cannot file is released again. Marks the helper as having MIDI requests.
template <class Keep> bool LuaMIDIHelper::StoreRequest(lua_State* L, int index, Keep keep) {
    bool stored = false;
    {
        StackCheck check(L, 0);
        lua_pushvalue(L, index);                        // stack: ... f
        const int ref = luaL_ref(L, LUA_REGISTRYINDEX); // stack: ...
        stored = keep(ref);
        if (!stored) {
            luaL_unref(L, LUA_REGISTRYINDEX, ref);
        }
    }
    if (stored) {
        HelperOf(L).m_hasMidiRequests.store(true, std::memory_order_release);
    }
    return stored;
}

int LuaMIDIHelper::RequestAll(lua_State* L, RefList LuaMIDIHelper::*list, const char* name) {
    LuaMIDIHelper& helper = HelperOf(L);
    if (!lua_isfunction(L, 1)) {
        return luaL_error(L, "first argument to %s() is not a function", name);
    }
    if (!StoreRequest(L, 1, [&](int ref) { return Append(helper.*list, ref); })) {
        return luaL_error(L, "not enough memory");
    }
    return 0;
}

int LuaMIDIHelper::RequestNumbered(lua_State* L, RefMap LuaMIDIHelper::*map, const char* name) {
    LuaMIDIHelper& helper = HelperOf(L);
    const SInt32 number = ClampToInt(luaL_checkinteger(L, 1));
    if (!lua_isfunction(L, 2)) {
        return luaL_error(L, "second argument to %s() is not a function", name);
    }
    const auto keep = [&](int ref) {
        try {
            return Append((helper.*map)[number], ref);
        } catch (...) {
            return false; // the map could not make the number's list
        }
    };
    if (!StoreRequest(L, 2, keep)) {
        return luaL_error(L, "not enough memory");
    }
    return 0;
}

int LuaMIDIHelper::LuaRequestAllNoteOn(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allNoteOnRefs, "requestAllNoteOn");
}
int LuaMIDIHelper::LuaRequestAllNoteOff(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allNoteOffRefs, "requestAllNoteOff");
}
int LuaMIDIHelper::LuaRequestAllCC(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allCCRefs, "requestAllCC");
}
int LuaMIDIHelper::LuaRequestAllNRPN(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allNRPNRefs, "requestAllNRPN");
}
int LuaMIDIHelper::LuaRequestAllProgramChange(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allProgramChangeRefs, "requestAllProgramChange");
}
int LuaMIDIHelper::LuaRequestAllPolyPressure(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_allPolyPressureRefs, "requestAllPolyPressure");
}
int LuaMIDIHelper::LuaRequestNoteOn(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_noteOnRefs, "requestNoteOn");
}
int LuaMIDIHelper::LuaRequestNoteOff(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_noteOffRefs, "requestNoteOff");
}
int LuaMIDIHelper::LuaRequestCC(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_ccRefs, "requestCC");
}
int LuaMIDIHelper::LuaRequestNRPN(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_nrpnRefs, "requestNRPN");
}
int LuaMIDIHelper::LuaRequestPitchWheel(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_pitchWheelRefs, "requestPitchWheel");
}
int LuaMIDIHelper::LuaRequestChannelPressure(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_channelPressureRefs, "requestChannelPressure");
}
int LuaMIDIHelper::LuaRequestProgramChange(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_programChangeRefs, "requestProgramChange");
}
int LuaMIDIHelper::LuaRequestPolyPressure(lua_State* L) {
    return RequestNumbered(L, &LuaMIDIHelper::m_polyPressureRefs, "requestPolyPressure");
}

// ---------------------------------------------------------------------------------------------
// Parameters, flags, output

int LuaMIDIHelper::LookupParameter(lua_State* L, const char* name) {
    lua_pushlightuserdata(L, const_cast<char*>(kParamLookupTag)); // stack: tag
    lua_rawget(L, LUA_REGISTRYINDEX);                             // stack: map
    const auto* lookup = static_cast<const ParamLookup*>(lua_touserdata(L, -1));
    lua_pop(L, 1); // stack:
    if (lookup != nullptr) {
        if (const auto found = lookup->find(std::string_view(name)); found != lookup->end()) {
            return found->second;
        }
    }
    return luaL_error(L, "parameter not found: '%s'", name);
}

int LuaMIDIHelper::ParameterArgument(lua_State* L, int arg, bool rangeTested) {
    const int index = lua_isnumber(L, arg) ? ToInt(lua_tonumber(L, arg))
                                           : LookupParameter(L, luaL_checkstring(L, arg));
    if (rangeTested && (index < 0 || index >= m_numParameters)) {
        luaL_error(L, "parameter out of range: %d", index);
    }
    return index;
}

int LuaMIDIHelper::FlagArgument(lua_State* L, int arg) {
    const lua_Integer index = luaL_checkinteger(L, arg);
    if (index < 0 || index >= kNumGuiFlags) {
        luaL_error(L, "indicator id out of range: %d", ClampToInt(index));
    }
    return int(index);
}

int LuaMIDIHelper::LuaPrint(lua_State* L) {
    const int count = lua_gettop(L);
    StackCheck check(L, 0);
    lua_getglobal(L, "tostring"); // stack: args tostring
    for (int i = 1; i <= count; ++i) {
        lua_pushvalue(L, -1); // stack: args tostring tostring
        lua_pushvalue(L, i);  // stack: args tostring tostring arg
        lua_call(L, 1, 1);    // stack: args tostring text
        std::size_t length = 0;
        const char* text = lua_tolstring(L, -1, &length);
        if (text == nullptr) {
            return luaL_error(L, "'tostring' must return a string to 'print'");
        }
        if (i > 1) {
            std::fputc('\t', stdout);
        }
        std::fwrite(text, 1, length, stdout);
        lua_pop(L, 1); // stack: args tostring
    }
    std::fputc('\n', stdout);
    std::fflush(stdout);
    lua_pop(L, 1); // stack: args
    return 0;
}

int LuaMIDIHelper::LuaSetParameter(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, false);
    const lua_Number value = luaL_checknumber(L, 2);
    StackCheck check(L, 0);
    // The unit judges the index; an unknown one is its error, not the script's.
    const AudioUnitParameter parameter{helper.m_audioUnit->GetComponentInstance(),
                                       AudioUnitParameterID(index), kAudioUnitScope_Global, 0};
    AUParameterSet(nullptr, nullptr, &parameter, ToFloat32(value), 0);
    return 0;
}

int LuaMIDIHelper::LuaGetParameter(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, true);
    StackCheck check(L, 1);
    AudioUnitParameterValue value = 0.0f;
    if (AudioUnitGetParameter(helper.m_audioUnit->GetComponentInstance(),
                              AudioUnitParameterID(index), kAudioUnitScope_Global, 0,
                              &value) != noErr) {
        value = 0.0f;
    }
    lua_pushnumber(L, value); // stack: ... value
    return 1;
}

int LuaMIDIHelper::LuaGetParameterID(lua_State* L) {
    const int index = LookupParameter(L, luaL_checkstring(L, 1));
    StackCheck check(L, 1);
    lua_pushinteger(L, index); // stack: ... index
    return 1;
}

int LuaMIDIHelper::LuaGetParameterMinMax(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, true);
    StackCheck check(L, 2);
    lua_pushnumber(L, helper.m_paramInfo[index].minValue); // stack: ... min
    lua_pushnumber(L, helper.m_paramInfo[index].maxValue); // stack: ... min max
    return 2;
}

int LuaMIDIHelper::LuaGetParameterUnit(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, true);
    StackCheck check(L, 1);
    lua_pushnumber(L, lua_Number(helper.m_paramInfo[index].unit)); // stack: ... unit
    return 1;
}

int LuaMIDIHelper::LuaGetParameterName(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, true);
    StackCheck check(L, 1);
    const char* name = helper.m_paramInfo[index].name;
    if (name == nullptr) {
        name = "";
    }
    lua_pushlstring(L, name, strnlen(name, kMaxParameterNameBytes)); // stack: ... name
    return 1;
}

int LuaMIDIHelper::LuaIsParameterUsed(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = helper.ParameterArgument(L, 1, true);
    StackCheck check(L, 1);
    lua_pushboolean(L, helper.isParameterUsed(index)); // stack: ... used
    return 1;
}

int LuaMIDIHelper::LuaGetNumParameters(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    StackCheck check(L, 1);
    lua_pushinteger(L, helper.m_numParameters); // stack: ... count
    return 1;
}

int LuaMIDIHelper::LuaSetOthersParameter(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int instance = ClampToInt(lua_tointeger(L, 1));
    const int index = helper.ParameterArgument(L, 2, false);
    const lua_Number value = luaL_checknumber(L, 3);
    StackCheck check(L, 0);
    MrvnInstanceTracker::SetParameterOnAllByOSCIndex(instance, index, ToFloat32(value));
    return 0;
}

int LuaMIDIHelper::LuaGetOthersParameter(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int instance = ClampToInt(lua_tointeger(L, 1));
    const int index = helper.ParameterArgument(L, 2, false);
    StackCheck check(L, 1);
    lua_pushnumber(L, MrvnInstanceTracker::GetParameterFromAllByOSCIndex(instance, index));
    return 1;
}

int LuaMIDIHelper::LuaTime(lua_State* L) {
    StackCheck check(L, 1);
    lua_pushnumber(L, lua_Number(UpTimeNanoseconds()) * 1e-9); // stack: ... seconds
    return 1;
}

int LuaMIDIHelper::LuaSetGUIBoolValue(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = FlagArgument(L, 1);
    StackCheck check(L, 0);
    helper.setGUIBoolValue(index, lua_toboolean(L, 2));
    return 0;
}

int LuaMIDIHelper::LuaGetGUIBoolValue(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const int index = FlagArgument(L, 1);
    StackCheck check(L, 1);
    lua_pushboolean(L, helper.getGUIBoolValue(index)); // stack: ... value
    return 1;
}

int LuaMIDIHelper::LuaSetOthersGUIBoolValue(lua_State* L) {
    const int instance = ClampToInt(lua_tointeger(L, 1));
    const int index = FlagArgument(L, 2);
    StackCheck check(L, 0);
    MrvnInstanceTracker::SetGUIBoolValueOnAllByOSCIndex(instance, index, lua_toboolean(L, 3));
    return 0;
}

int LuaMIDIHelper::LuaGetOthersGUIBoolValue(lua_State* L) {
    const int instance = ClampToInt(lua_tointeger(L, 1));
    const int index = FlagArgument(L, 2);
    StackCheck check(L, 1);
    lua_pushboolean(L, MrvnInstanceTracker::GetGUIBoolValueFromAllByOSCIndex(instance, index));
    return 1;
}

// The OSC functions' bodies belong to the OSC server, which lives above this library.
int LuaMIDIHelper::LuaSendOSC(lua_State* L) {
    const LuaSendOSCFunction send = GetLuaSendOSCFunction();
    return send != nullptr ? send(L) : 0;
}

int LuaMIDIHelper::LuaRegisterOSCPathForParameter(lua_State* L) {
    OSCScriptInterface* osc = HelperOf(L).m_oscHelper;
    return osc != nullptr ? osc->LuaRegisterOSCPathForParameter(L, false) : 0;
}

int LuaMIDIHelper::LuaRegisterOSCPathForParameterNormalized(lua_State* L) {
    OSCScriptInterface* osc = HelperOf(L).m_oscHelper;
    return osc != nullptr ? osc->LuaRegisterOSCPathForParameter(L, true) : 0;
}

int LuaMIDIHelper::LuaRegisterOSCPathForFunction(lua_State* L) {
    OSCScriptInterface* osc = HelperOf(L).m_oscHelper;
    return osc != nullptr ? osc->LuaRegisterOSCPathForFunction(L) : 0;
}

} // namespace MV
