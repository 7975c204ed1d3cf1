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
#include <unistd.h>

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
// Every call into the interpreter runs in protected mode (lua_pcall or lua_cpcall) from its
// first allocating step on, so that no script (a guarded global table, a finaliser that
// raises) can reach Lua's panic handler, which would end the host.
//
// Who waits for whom. MIDI callbacks run on the render thread at their message's sample, so
// the render thread must get into the interpreter at once, even while a timer callback or an
// OSC call is in it. Those two run on a Lua thread of their own and, at every instruction-count
// hook, give the script lock to a waiting render thread and take it back, before any other
// waiter, once its callback is done (Lua releases its own lock around hooks, so the state is
// consistent there). The trade-off: a MIDI callback may run between two instructions of a timer
// or OSC callback, never the other way round; the render thread waits at most one hook interval
// plus any single C function the other callback is inside (sendOSC steps out around its system
// calls; os.execute cannot). Deferring MIDI callbacks while the lock is busy (try-lock) would
// move a musician's controllers off their sample, so it was not chosen.

namespace MV {

const char LuaMIDIHelper::kRefconTag[] = "MV::LuaMIDIHelper::kRefcon";
const char LuaMIDIHelper::kParamLookupTag[] = "MV::LuaMIDIHelper::kParamLookup";

struct LuaMIDIHelper::Interpreter {
    ScriptLock lock;
    lua_State* state = nullptr;
    // Guarded by lock. The Lua thread of timer and network calls; a parked task keeps the one
    // it was in, and the next call gets a new one.
    lua_State* background = nullptr;
    bool backgroundLost = false;
    // CallFromOutsideBody as a function value in the registry, made once while protected.
    int callBodyRef = LUA_NOREF;
    // Guarded by lock: the holder's entry (null for a holder without one, or none).
    Context* active = nullptr;
    // Threads between the start and the end of an Entry.
    std::atomic<int> entries{0};
    std::atomic<bool> timersStopping{false};
};

namespace {

// Instructions between two hook checks: rare enough to cost nothing measurable, often enough
// to stop an endless loop within a fraction of a millisecond past its deadline, and to keep the
// render thread's wait for the script lock in the microseconds.
constexpr int kHookInstructions = 1000;
constexpr int kMaxLookupNameBytes = 99;
constexpr std::size_t kMaxParameterNameBytes = 63;
constexpr int kNumGuiFlags = DataToGui::kNumGuiFlags;
// The registry key of the set of C functions that callers from outside may call.
const char kCallableTag[] = "MV::LuaMIDIHelper::kCallable";
constexpr const char* kClosingText = "script callback stopped: its instance is closing";

// The user pointer is the interpreter, which the hook reads.
void* Allocate(void* /*user*/, void* block, std::size_t /*oldSize*/, std::size_t newSize) {
    if (newSize == 0) {
        std::free(block);
        return nullptr;
    }
    return std::realloc(block, newSize);
}

// An error outside any protected call: nothing calls into Lua that way, so this reports a
// fault of the host's own code (Lua exits the process when this returns).
int Panic(lua_State* L) {
    const char* message = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
    LuaMIDIHelper::LuaError(L, "unprotected error in the MIDI script: %s\n",
                            message != nullptr ? message : "(error object is not a string)");
    return 0;
}

// The text of the error value on top of the stack, without converting (which allocates).
const char* ErrorText(lua_State* L) {
    return lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : "(error object is not a string)";
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

// The time limit of one call into the interpreter, kept in the calling thread's entry. Nested
// calls keep the earlier deadline.
class LuaMIDIHelper::Deadline {
public:
    Deadline(Context& context, int limitMs, bool setup)
        : m_context(context), m_previousNs(context.deadlineNs), m_previousLimitMs(context.limitMs),
          m_previousIsSetup(context.setup) {
        std::uint64_t deadline = 0;
        if (limitMs > 0) {
            deadline = UpTimeNanoseconds() + std::uint64_t(limitMs) * 1000000u;
        }
        if (m_previousNs != 0 && (deadline == 0 || m_previousNs < deadline)) {
            deadline = m_previousNs;
            limitMs = m_previousLimitMs;
            setup = m_previousIsSetup;
        }
        context.deadlineNs = deadline;
        context.limitMs = limitMs;
        context.setup = setup;
        // Installed again on every call: a script may have removed it with debug.sethook.
        lua_sethook(context.state, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    ~Deadline() {
        m_context.deadlineNs = m_previousNs;
        m_context.limitMs = m_previousLimitMs;
        m_context.setup = m_previousIsSetup;
        // The hook checks every instruction once a deadline has passed; back to the normal
        // rate.
        lua_sethook(m_context.state, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    }
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

private:
    Context& m_context;
    std::uint64_t m_previousNs;
    int m_previousLimitMs;
    bool m_previousIsSetup;
};

// ---------------------------------------------------------------------------------------------
// The script lock

bool ScriptLock::Enter() {
    return Take(false);
}

bool ScriptLock::EnterFirst() {
    return Take(true);
}

bool ScriptLock::Take(bool first) {
    std::unique_lock lock(m_mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (m_depth != 0 && m_owner == self) {
        ++m_depth;
        return true;
    }
    if (first) {
        m_firstWaiting.fetch_add(1);
        m_changed.wait(lock, [&] { return m_depth == 0; });
        m_firstWaiting.fetch_sub(1);
    } else {
        m_changed.wait(
            lock, [&] { return m_depth == 0 && m_suspended == 0 && m_firstWaiting.load() == 0; });
    }
    m_owner = self;
    m_depth = 1;
    return false;
}

bool ScriptLock::TryEnter() {
    const std::lock_guard lock(m_mutex);
    const std::thread::id self = std::this_thread::get_id();
    if (m_depth != 0 && m_owner == self) {
        ++m_depth;
        return true;
    }
    if (m_depth != 0 || m_suspended != 0 || m_firstWaiting.load() != 0) {
        return false;
    }
    m_owner = self;
    m_depth = 1;
    return true;
}

void ScriptLock::Exit() {
    const std::lock_guard lock(m_mutex);
    if (--m_depth == 0) {
        m_owner = std::thread::id();
        m_changed.notify_all();
    }
}

bool ScriptLock::HeldByThisThread() {
    const std::lock_guard lock(m_mutex);
    return m_depth != 0 && m_owner == std::this_thread::get_id();
}

void ScriptLock::GiveWay() {
    if (FirstWaiting()) {
        Resume(Suspend());
    }
}

unsigned ScriptLock::Suspend() {
    const std::lock_guard lock(m_mutex);
    const unsigned depth = m_depth;
    m_depth = 0;
    m_owner = std::thread::id();
    ++m_suspended;
    m_changed.notify_all();
    return depth;
}

void ScriptLock::Resume(unsigned depth) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_depth == 0 && m_firstWaiting.load() == 0; });
    --m_suspended;
    m_owner = std::this_thread::get_id();
    m_depth = depth;
}

void ScriptLock::ReleaseAll() {
    const std::lock_guard lock(m_mutex);
    if (m_depth != 0 && m_owner == std::this_thread::get_id()) {
        m_depth = 0;
        m_owner = std::thread::id();
        m_changed.notify_all();
    }
}

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
    // Additions: the host's tempo and transport, and the modulation's restart.
    {"getTempo", &LuaGetTempo},
    {"getTimeSignature", &LuaGetTimeSignature},
    {"getBeatPosition", &LuaGetBeatPosition},
    {"isPlaying", &LuaIsPlaying},
    {"requestTempoChange", &LuaRequestTempoChange},
    {"requestTransportChange", &LuaRequestTransportChange},
    {"requestBarCallback", &LuaRequestBarCallback},
    {"resetLFOPhase", &LuaResetLFOPhase},
};

// ---------------------------------------------------------------------------------------------
// Life cycle

LuaMIDIHelper::LuaMIDIHelper(AUBase* audioUnit, MessageQueue* messageQueue,
                             OSCScriptInterface* oscHelper)
    : m_audioUnit(audioUnit), m_messageQueue(messageQueue), m_oscHelper(oscHelper),
      m_interpreter(std::make_shared<Interpreter>()) {}

LuaMIDIHelper::~LuaMIDIHelper() {
    StopTimers();
    LuaShutdown();
}

ScriptLock& LuaMIDIHelper::LuaLock() {
    return m_interpreter->lock;
}

void LuaMIDIHelper::Initialize() {
    ScriptLockGuard lock(LuaLock());
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
    ScriptLockGuard lock(LuaLock());
    if (m_luaState == nullptr) {
        CreateState();
        if (m_luaState != nullptr) {
            Entry entry(*this, Caller::kHost);
            RunScripts(entry.State());
        }
    }
    return m_luaState;
}

void LuaMIDIHelper::CreateState() {
    // The name map is built before anything can raise a Lua error.
    auto lookup = std::make_unique<ParamLookup>();
    for (SInt32 index = 0; index < m_numParameters; ++index) {
        (*lookup)[LookupName(m_paramInfo[index].name)] = int(index);
    }
    lua_State* L = lua_newstate(&Allocate, m_interpreter.get());
    if (L == nullptr) {
        LuaError(nullptr, "cannot create the MIDI script interpreter\n");
        return;
    }
    lua_atpanic(L, &Panic);
    m_luaState = L;
    m_interpreter->state = L;
    m_paramLookup = lookup.release();
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, kHookInstructions);
    if (lua_cpcall(L, &SetUpState, this) != 0) {
        LuaError(L, "cannot create the MIDI script interpreter: %s\n", ErrorText(L));
        CloseState();
        delete m_paramLookup;
        m_paramLookup = nullptr;
    }
}

void LuaMIDIHelper::CloseState() {
    lua_close(m_luaState);
    m_luaState = nullptr;
    m_interpreter->state = nullptr;
    m_interpreter->background = nullptr;
}

int LuaMIDIHelper::SetUpState(lua_State* L) {
    LuaMIDIHelper& helper = *static_cast<LuaMIDIHelper*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    luaL_openlibs(L);
    // What the libraries made global: never callable from outside the interpreter.
    lua_newtable(L); // stack: library
    lua_pushnil(L);  // stack: library nil
    while (lua_next(L, LUA_GLOBALSINDEX) != 0) {
        // stack: library key value
        if (lua_iscfunction(L, -1)) {
            lua_pushboolean(L, 1); // stack: library key value true
            lua_rawset(L, 1);      // stack: library key
        } else {
            lua_pop(L, 1); // stack: library key
        }
    }
    for (const FunctionEntry& entry : ms_functions) {
        lua_register(L, entry.name, entry.function);
    }
    luaL_newmetatable(L, kTimerMetatable); // stack: library mt
    lua_pop(L, 1);                         // stack: library
    helper.RegisterFunctions();

    lua_pushlightuserdata(L, const_cast<char*>(kRefconTag));      // stack: library tag
    lua_pushlightuserdata(L, &helper);                            // stack: library tag helper
    lua_rawset(L, LUA_REGISTRYINDEX);                             // stack: library
    lua_pushlightuserdata(L, const_cast<char*>(kParamLookupTag)); // stack: library tag
    lua_pushlightuserdata(L, helper.m_paramLookup);               // stack: library tag map
    lua_rawset(L, LUA_REGISTRYINDEX);                             // stack: library

    const struct {
        const char* name;
        bool value;
    } flags[] = {{"isMac", true}, {"isWin", false}, {"isVST", false}, {"isAU", true}};
    for (const auto& flag : flags) {
        lua_pushboolean(L, flag.value); // stack: library b
        lua_setglobal(L, flag.name);    // stack: library
    }
    const struct {
        const char* name;
        lua_Integer value;
    } versions[] = {{"majorVersion", 1}, {"minorVersion", 2}, {"dotVersion", 1}};
    for (const auto& version : versions) {
        lua_pushinteger(L, version.value); // stack: library n
        lua_setglobal(L, version.name);    // stack: library
    }
    lua_pushinteger(L, 1 * 10000 + 2 * 100 + 1); // stack: library n
    lua_setglobal(L, "version");                 // stack: library

    // Callable from outside: the scripting API's functions (and a subclass's), not print,
    // which stands in for Lua's own.
    lua_pushlightuserdata(L, const_cast<char*>(kCallableTag)); // stack: library tag
    lua_newtable(L);                                           // stack: library tag callable
    lua_pushnil(L);                                            // stack: library tag callable nil
    while (lua_next(L, LUA_GLOBALSINDEX) != 0) {
        // stack: library tag callable key value
        bool callable = false;
        if (lua_iscfunction(L, -1) && lua_tocfunction(L, -1) != &LuaPrint) {
            lua_pushvalue(L, -1); // stack: ... key value value
            lua_rawget(L, 1);     // stack: ... key value fromLibrary
            callable = !lua_toboolean(L, -1);
            lua_pop(L, 1); // stack: ... key value
        }
        if (callable) {
            lua_pushboolean(L, 1); // stack: ... key value true
            lua_rawset(L, 3);      // stack: library tag callable key
        } else {
            lua_pop(L, 1); // stack: library tag callable key
        }
    }
    lua_rawset(L, LUA_REGISTRYINDEX); // stack: library
    lua_pop(L, 1);                    // stack:

    Interpreter& interpreter = *helper.m_interpreter;
    interpreter.background = lua_newthread(L);  // stack: thread
    luaL_ref(L, LUA_REGISTRYINDEX);             // stack:
    lua_pushcfunction(L, &CallFromOutsideBody); // stack: body
    interpreter.callBodyRef = luaL_ref(L, LUA_REGISTRYINDEX);
    return 0;
}

void LuaMIDIHelper::RunScripts(lua_State* L) {
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
                RunChunk(L, nullptr, reinterpret_cast<const char*>(file.Data()),
                         std::size_t(file.Size()), "failed to run buffer: %s\n");
            }
        }
    }
    for (const std::string& path : scripts) {
        RunChunk(L, path.c_str(), nullptr, 0, "failed to run file: %s\n");
    }
    lua_settop(L, 0);
}

namespace {

struct ChunkRun {
    const char* path; // a file, or null for the buffer
    const char* buffer;
    std::size_t size;
    const char* report;
};

// Protected: compiles and runs one script, reporting its failure.
int RunChunkBody(lua_State* L) {
    const ChunkRun& run = *static_cast<const ChunkRun*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    int status = run.path != nullptr ? luaL_loadfile(L, run.path)
                                     : luaL_loadbuffer(L, run.buffer, run.size, "midi.lua");
    if (status == 0) {
        status = lua_pcall(L, 0, 0, 0); // stack: (or message)
    }
    if (status != 0) {
        LuaMIDIHelper::LuaError(L, run.report, ErrorText(L));
    }
    return 0;
}

} // namespace

void LuaMIDIHelper::RunChunk(lua_State* L, const char* path, const char* buffer, std::size_t size,
                             const char* report) {
    StackCheck check(L, 0);
    ChunkRun run{path, buffer, size, report};
    Deadline deadline(*m_interpreter->active, m_setupLimitMs.load(), true);
    if (lua_cpcall(L, &RunChunkBody, &run) != 0) { // stack: (or message)
        LuaError(L, report, ErrorText(L));
        lua_pop(L, 1); // stack:
    }
}

void LuaMIDIHelper::LuaShutdown() {
    // Before the lock: a timer callback that is running needs it to finish.
    StopTimers();
    const std::shared_ptr<Interpreter> interpreter = m_interpreter;
    if (interpreter->entries.load() != 0) {
        // Only a task that its owner let go can still be inside (the render and the timers
        // have stopped): it is stuck in a system call of a script and parks itself when it
        // comes back. The state stays with it, never closed; this helper starts afresh.
        m_interpreter = std::make_shared<Interpreter>();
        m_luaState = nullptr;
    }
    {
        ScriptLockGuard lock(m_interpreter->lock);
        if (m_luaState != nullptr) {
            m_hasMidiRequests.store(false, std::memory_order_release);
            m_hasTransportRequests.store(false, std::memory_order_release);
            m_hasBarRequests.store(false, std::memory_order_release);
            // Finalisers that scripts set run while the state closes; they get the set-up
            // limit. Not a Deadline: it would touch the closed state when it ends.
            Entry entry(*this, Caller::kHost);
            const int limitMs = m_setupLimitMs.load();
            entry.Active().deadlineNs =
                limitMs > 0 ? UpTimeNanoseconds() + std::uint64_t(limitMs) * 1000000u : 0;
            entry.Active().limitMs = limitMs;
            entry.Active().setup = true;
            CloseState();
        }
    }
    delete m_paramLookup;
    m_paramLookup = nullptr;
    m_hasMidiRequests.store(false, std::memory_order_release);
    m_hasTransportRequests.store(false, std::memory_order_release);
    m_hasBarRequests.store(false, std::memory_order_release);
    for (RefList* list :
         {&m_allNoteOnRefs, &m_allNoteOffRefs, &m_allCCRefs, &m_allNRPNRefs,
          &m_allProgramChangeRefs, &m_allPolyPressureRefs, &m_pitchWheelRefs,
          &m_channelPressureRefs, &m_tempoChangeRefs, &m_transportChangeRefs, &m_barRefs}) {
        list->clear();
    }
    for (RefMap* map : {&m_noteOnRefs, &m_noteOffRefs, &m_ccRefs, &m_nrpnRefs, &m_programChangeRefs,
                        &m_polyPressureRefs}) {
        map->clear();
    }
}

void LuaMIDIHelper::StopTimers() {
    // A callback that is running stops at its next hook.
    m_interpreter->timersStopping.store(true);
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

// The helper of a script function's state; raises when a script removed it from the
// registry (reachable through the debug library). A task let go by its owner parks here
// rather than reach a helper that may be gone.
LuaMIDIHelper& LuaMIDIHelper::HelperOf(lua_State* L) {
    ParkIfAbandoned(InterpreterOf(L));
    LuaMIDIHelper* helper = FromState(L);
    if (helper == nullptr) {
        luaL_error(L, "the MIDI scripting host is not registered");
    }
    return *helper;
}

void LuaMIDIHelper::LuaError(lua_State* /*state*/, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    LuaErrorV(format, args);
    va_end(args);
}

void LuaMIDIHelper::LuaErrorV(const char* format, std::va_list args) {
    std::fputs("@@@ ", stdout);
    std::vfprintf(stdout, format, args);
    std::fflush(stdout);
}

// ---------------------------------------------------------------------------------------------
// Entries into the interpreter

LuaMIDIHelper::Interpreter& LuaMIDIHelper::InterpreterOf(lua_State* L) {
    void* user = nullptr;
    lua_getallocf(L, &user);
    return *static_cast<Interpreter*>(user);
}

void LuaMIDIHelper::ParkIfAbandoned(Interpreter& interpreter) {
    Context* context = interpreter.active;
    if (context == nullptr || context->flags == nullptr ||
        !context->flags->abandoned.load(std::memory_order_acquire)) {
        return;
    }
    // What called this task into the script may be freed already, so it never returns. It
    // leaves the interpreter to the other threads first; the Lua thread it is in stays
    // referenced in the middle of this call, so the next call gets a new one.
    if (context->state != nullptr && context->state == interpreter.background) {
        interpreter.backgroundLost = true;
    }
    interpreter.active = context->previous;
    interpreter.lock.ReleaseAll();
    for (;;) {
        pause();
    }
}

LuaMIDIHelper::Entry::Entry(LuaMIDIHelper& helper, Caller caller, CallerFlags* flags)
    : m_interpreter(helper.m_interpreter), m_flags(flags) {
    if (m_flags != nullptr) {
        m_flags->entries.fetch_add(1, std::memory_order_acq_rel);
    }
    Interpreter& interpreter = *m_interpreter;
    interpreter.entries.fetch_add(1);
    const bool held =
        caller == Caller::kRender ? interpreter.lock.EnterFirst() : interpreter.lock.Enter();
    if (held && interpreter.active != nullptr) {
        m_active = interpreter.active; // this thread's own: join it
        return;
    }
    m_context.caller = caller;
    m_context.flags = flags;
    // A render entry may come while a timer or network entry gave way: that one is active
    // again once this one ends.
    m_context.previous = interpreter.active;
    interpreter.active = &m_context;
    m_active = &m_context;
    ParkIfAbandoned(interpreter);
    const bool background = caller == Caller::kTimer || caller == Caller::kNetwork;
    m_context.state =
        background && interpreter.state != nullptr ? helper.BackgroundThread() : interpreter.state;
}

LuaMIDIHelper::Entry::~Entry() {
    Interpreter& interpreter = *m_interpreter;
    // A task let go while it was inside must not return to its callers.
    ParkIfAbandoned(interpreter);
    if (m_active == &m_context) {
        interpreter.active = m_context.previous;
    }
    interpreter.lock.Exit();
    interpreter.entries.fetch_sub(1);
    if (m_flags != nullptr) {
        m_flags->entries.fetch_sub(1, std::memory_order_acq_rel);
    }
}

namespace {

int NewThreadBody(lua_State* L) {
    auto* made = static_cast<lua_State**>(lua_touserdata(L, 1));
    *made = lua_newthread(L);       // stack: ud thread
    luaL_ref(L, LUA_REGISTRYINDEX); // stack: ud
    return 0;
}

} // namespace

lua_State* LuaMIDIHelper::BackgroundThread() {
    Interpreter& interpreter = *m_interpreter;
    if (interpreter.backgroundLost) {
        lua_State* made = nullptr;
        if (lua_cpcall(interpreter.state, &NewThreadBody, &made) != 0) {
            lua_pop(interpreter.state, 1);
            return nullptr; // no Lua thread to run on: the call fails as without interpreter
        }
        interpreter.background = made;
        interpreter.backgroundLost = false;
    }
    return interpreter.background;
}

lua_State* LuaMIDIHelper::CurrentState() const {
    Interpreter& interpreter = *m_interpreter;
    return interpreter.lock.HeldByThisThread() && interpreter.active != nullptr
               ? interpreter.active->state
               : m_luaState;
}

LuaMIDIHelper::AwayFromInterpreter::AwayFromInterpreter(lua_State* L)
    : m_interpreter(&InterpreterOf(L)) {
    const Context* context = m_interpreter->active;
    if (context != nullptr &&
        (context->caller == Caller::kTimer || context->caller == Caller::kNetwork)) {
        m_depth = m_interpreter->lock.Suspend();
    }
}

LuaMIDIHelper::AwayFromInterpreter::~AwayFromInterpreter() {
    if (m_depth != 0) {
        m_interpreter->lock.Resume(m_depth);
    }
    ParkIfAbandoned(*m_interpreter);
}

void LuaMIDIHelper::LimitHook(lua_State* L, lua_Debug* /*debug*/) {
    Interpreter& interpreter = InterpreterOf(L);
    // Only the holder of the script lock runs Lua code, so the active entry is this thread's.
    const Context* context = interpreter.active;
    if (context == nullptr) {
        return; // not entered through an Entry (set-up's own steps, tests): no limit
    }
    ParkIfAbandoned(interpreter);
    const bool interruptible =
        context->caller == Caller::kTimer || context->caller == Caller::kNetwork;
    bool closing = false;
    if (interruptible) {
        if (interpreter.lock.FirstWaiting()) {
            interpreter.lock.GiveWay();
            ParkIfAbandoned(interpreter);
        }
        closing = (context->flags != nullptr && context->flags->stop.load()) ||
                  (context->caller == Caller::kTimer && interpreter.timersStopping.load());
    }
    if (!closing && (context->deadlineNs == 0 || UpTimeNanoseconds() < context->deadlineNs)) {
        return;
    }
    // From now on every instruction checks, so that a script that catches the error with
    // pcall and carries on is stopped again at once.
    lua_sethook(L, &LimitHook, LUA_MASKCOUNT, 1);
    if (closing) {
        luaL_error(L, "%s", kClosingText);
    }
    luaL_error(L, "script %s exceeded its time limit of %d ms",
               context->setup ? "set-up" : "callback", context->limitMs);
}

int LuaMIDIHelper::protectedPcall(int nargs) {
    return protectedPcall(nargs, 0);
}

int LuaMIDIHelper::protectedPcall(int nargs, int nresults) {
    Entry entry(*this, Caller::kHost); // joins the caller's
    lua_State* L = entry.State();
    StackCheck check(L, nresults - (nargs + 1));
    int status = 0;
    {
        Deadline deadline(entry.Active(), m_callbackLimitMs.load(), false);
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

int LuaMIDIHelper::CallRegistryFunction(int ref, Caller caller) {
    Entry entry(*this, caller);
    lua_State* L = entry.State();
    if (L == nullptr) {
        return LUA_ERRRUN;
    }
    StackCheck check(L, 0);
    lua_rawgeti(L, LUA_REGISTRYINDEX, ref); // stack: f
    return protectedPcall(0);               // stack:
}

namespace {

struct OutsideCall {
    const char* name; // null: the function under ref
    int ref;
    const LuaMIDIHelper::ScriptValue* args;
    int nargs;
    int nresults;
};

} // namespace

int LuaMIDIHelper::CallFromOutside(lua_State* L, const char* name, int ref,
                                   const std::vector<ScriptValue>& args, int nresults) {
    OutsideCall call{name, ref, args.data(), int(args.size()), nresults};
    StackCheck check(L, nresults);
    // Neither push allocates: the body is made at set-up, the call is light userdata.
    lua_rawgeti(L, LUA_REGISTRYINDEX, m_interpreter->callBodyRef); // stack: body
    lua_pushlightuserdata(L, &call);                               // stack: body call
    return protectedPcall(1, nresults);                            // stack: results
}

int LuaMIDIHelper::CallFromOutsideBody(lua_State* L) {
    const OutsideCall& call = *static_cast<const OutsideCall*>(lua_touserdata(L, 1));
    lua_settop(L, 0);
    if (call.name != nullptr) {
        lua_getglobal(L, call.name); // stack: f (a guarded global table may raise here)
        if (lua_iscfunction(L, 1)) {
            lua_pushlightuserdata(L, const_cast<char*>(kCallableTag)); // stack: f tag
            lua_rawget(L, LUA_REGISTRYINDEX);                          // stack: f callable
            lua_pushvalue(L, 1);                                       // stack: f callable f
            lua_rawget(L, 2);                                          // stack: f callable yes
            if (!lua_toboolean(L, 3)) {
                return luaL_error(L, "'%s' may not be called from outside", call.name);
            }
            lua_settop(L, 1); // stack: f
        }
    } else {
        lua_rawgeti(L, LUA_REGISTRYINDEX, call.ref); // stack: f
    }
    if (!lua_isfunction(L, 1)) {
        return luaL_error(L, "not a function");
    }
    luaL_checkstack(L, call.nargs, "too many arguments");
    for (int i = 0; i < call.nargs; ++i) {
        const ScriptValue& arg = call.args[i];
        switch (arg.type) {
        case ScriptValue::Type::kNil:
            lua_pushnil(L);
            break;
        case ScriptValue::Type::kBoolean:
            lua_pushboolean(L, arg.number != 0.0);
            break;
        case ScriptValue::Type::kNumber:
            lua_pushnumber(L, arg.number);
            break;
        case ScriptValue::Type::kString:
            lua_pushstring(L, arg.text);
            break;
        }
    }                                       // stack: f args
    lua_call(L, call.nargs, call.nresults); // stack: results
    return call.nresults;
}

namespace {

int ReleaseReferenceBody(lua_State* L) {
    luaL_unref(L, LUA_REGISTRYINDEX, *static_cast<const int*>(lua_touserdata(L, 1)));
    return 0;
}

} // namespace

void LuaMIDIHelper::ReleaseReference(lua_State* L, int ref) {
    if (ref == LUA_NOREF || ref == LUA_REFNIL) {
        return;
    }
    if (lua_cpcall(L, &ReleaseReferenceBody, &ref) != 0) { // stack: (or message)
        lua_pop(L, 1);                                     // stack:
    }
}

void LuaMIDIHelper::CallRef(int ref, std::initializer_list<SInt32> args) {
    // Always inside an entry.
    lua_State* L = m_interpreter->active->state;
    StackCheck check(L, 0);
    // Pushing a stored value and integers allocates nothing, so it may run unprotected.
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
    if (item != nullptr && item->m_type == MessageQueueItem::kTypeTransport) {
        HandleTransportItem(*item);
        return;
    }
    if (item == nullptr || item->m_type != MessageQueueItem::kTypeShort) {
        return;
    }
    const UInt8 data1 = item->m_bytes[2];
    const UInt8 data2 = item->m_bytes[3];
    if (!m_hasMidiRequests.load(std::memory_order_acquire)) {
        // Nobody listens yet, but a later request must see the NRPN that is being sent.
        if (item->m_bytes[0] == 0xB0) {
            AssembleNRPN(data1, data2);
        }
    } else {
        Entry entry(*this, Caller::kRender);
        const int channel = int(item->m_bytes[1]) + 1;
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
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_allNoteOnRefs, &m_noteOnRefs, note, {channel, note, velocity});
    }
}

void LuaMIDIHelper::HandleNoteOff(int channel, UInt8 note, UInt8 velocity) {
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_allNoteOffRefs, &m_noteOffRefs, note, {channel, note, velocity});
    }
}

bool LuaMIDIHelper::AssembleNRPN(UInt8 controller, UInt8 value) {
    switch (controller) {
    case 99:
        m_nrpnMSB = value;
        return false;
    case 98:
        m_nrpnLSB = value;
        return false;
    case 6:
        m_dataEntryMSB = value;
        return true;
    case 38:
        m_dataEntryLSB = value;
        return true;
    default:
        return false;
    }
}

void LuaMIDIHelper::HandleControlChange(int channel, UInt8 controller, UInt8 value) {
    Entry entry(*this, Caller::kHost);
    const bool dataEntry = AssembleNRPN(controller, value);
    if (entry.State() == nullptr) {
        return;
    }
    if (dataEntry) {
        const SInt32 number = m_nrpnMSB * 128 + m_nrpnLSB;
        const SInt32 nrpnValue = m_dataEntryMSB * 128 + m_dataEntryLSB;
        CallRefs(m_allNRPNRefs, &m_nrpnRefs, number, {channel, number, nrpnValue});
    }
    CallRefs(m_allCCRefs, &m_ccRefs, controller, {channel, controller, value});
}

void LuaMIDIHelper::HandlePitchWheel(int channel, UInt8 leastSignificant, UInt8 mostSignificant) {
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_pitchWheelRefs, nullptr, 0,
                 {channel, SInt32(mostSignificant) * 128 + SInt32(leastSignificant)});
    }
}

void LuaMIDIHelper::HandleProgramChange(int channel, UInt8 program) {
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_allProgramChangeRefs, &m_programChangeRefs, program, {channel, program});
    }
}

void LuaMIDIHelper::HandleChannelPressure(int channel, UInt8 pressure) {
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_channelPressureRefs, nullptr, 0, {channel, pressure});
    }
}

void LuaMIDIHelper::HandlePolyPressure(int channel, UInt8 note, UInt8 pressure) {
    Entry entry(*this, Caller::kHost);
    if (entry.State() != nullptr) {
        CallRefs(m_allPolyPressureRefs, &m_polyPressureRefs, note, {channel, note, pressure});
    }
}

// ---------------------------------------------------------------------------------------------
// Transport

bool LuaMIDIHelper::HandleTransportEvent(const MrvnTransportEvent& event) {
    return m_messageQueue != nullptr && m_messageQueue->WriteTransport(event);
}

void LuaMIDIHelper::HandleTransportItem(const MessageQueueItem& item) {
    // The unit moved the clock to the item's frame before handing it on.
    const TransportClock::Changes changes =
        m_transport.Apply(item.m_transport, m_transport.Frame());
    if (!(changes.tempo || changes.transport) || !HasTransportRequests()) {
        return;
    }
    Entry entry(*this, Caller::kRender);
    if (entry.State() == nullptr) {
        return;
    }
    const TransportClock::View& view = m_transport.RenderView();
    if (changes.tempo) {
        CallRefsPushing(m_tempoChangeRefs, [&view](lua_State* L) {
            if (view.tempoKnown) {
                lua_pushnumber(L, view.beatsPerMinute); // stack: f bpm
            } else {
                lua_pushnil(L); // stack: f nil
            }
            lua_pushnumber(L, view.beatsPerBar); // stack: f bpm perBar
            lua_pushnumber(L, view.beatUnit);    // stack: f bpm perBar unit
            return 3;
        });
    }
    if (changes.transport) {
        CallRefsPushing(m_transportChangeRefs, [&view](lua_State* L) {
            lua_pushboolean(L, view.Playing()); // stack: f playing
            const Float64 beat = view.BeatAt(view.anchorFrame);
            if (std::isfinite(beat)) {
                lua_pushnumber(L, beat); // stack: f playing beat
            } else {
                lua_pushnil(L); // stack: f playing nil
            }
            return 2;
        });
    }
}

void LuaMIDIHelper::HandleBarLine(Float64 bar) {
    Entry entry(*this, Caller::kRender);
    if (entry.State() != nullptr) {
        CallRefsPushing(m_barRefs, [bar](lua_State* L) {
            lua_pushnumber(L, bar); // stack: f bar
            return 1;
        });
    }
}

template <class Push> void LuaMIDIHelper::CallRefsPushing(const RefList& list, Push push) {
    lua_State* L = m_interpreter->active->state;
    // By position, reading the length again after each call: a callback may register more.
    for (std::size_t i = 0; i < list.size(); ++i) {
        StackCheck check(L, 0);
        // Stored values, numbers, booleans and nil allocate nothing: pushed unprotected.
        lua_rawgeti(L, LUA_REGISTRYINDEX, list[i]); // stack: f
        protectedPcall(push(L));                    // stack:
    }
}

int LuaMIDIHelper::LuaGetTempo(lua_State* L) {
    const TransportClock::View view = HelperOf(L).m_transport.Read();
    StackCheck check(L, 1);
    if (view.tempoKnown) {
        lua_pushnumber(L, view.beatsPerMinute); // stack: ... bpm
    } else {
        lua_pushnil(L); // stack: ... nil
    }
    return 1;
}

int LuaMIDIHelper::LuaGetTimeSignature(lua_State* L) {
    const TransportClock::View view = HelperOf(L).m_transport.Read();
    if (!view.signatureKnown) {
        lua_pushnil(L); // stack: ... nil
        return 1;
    }
    StackCheck check(L, 2);
    lua_pushnumber(L, view.beatsPerBar); // stack: ... perBar
    lua_pushnumber(L, view.beatUnit);    // stack: ... perBar unit
    return 2;
}

int LuaMIDIHelper::LuaGetBeatPosition(lua_State* L) {
    const Float64 beat = HelperOf(L).m_transport.Read().Beat();
    StackCheck check(L, 1);
    if (std::isfinite(beat)) {
        lua_pushnumber(L, beat); // stack: ... beat
    } else {
        lua_pushnil(L); // stack: ... nil
    }
    return 1;
}

int LuaMIDIHelper::LuaIsPlaying(lua_State* L) {
    const bool playing = HelperOf(L).m_transport.Read().Playing();
    StackCheck check(L, 1);
    lua_pushboolean(L, playing); // stack: ... playing
    return 1;
}

int LuaMIDIHelper::LuaRequestTempoChange(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_tempoChangeRefs, "requestTempoChange",
                      &LuaMIDIHelper::m_hasTransportRequests);
}

int LuaMIDIHelper::LuaRequestTransportChange(lua_State* L) {
    return RequestAll(L, &LuaMIDIHelper::m_transportChangeRefs, "requestTransportChange",
                      &LuaMIDIHelper::m_hasTransportRequests);
}

int LuaMIDIHelper::LuaRequestBarCallback(lua_State* L) {
    // Bar lines are found from the latest change, so the changes must split the audio too.
    RequestAll(L, &LuaMIDIHelper::m_barRefs, "requestBarCallback",
               &LuaMIDIHelper::m_hasTransportRequests);
    HelperOf(L).m_hasBarRequests.store(true, std::memory_order_release);
    return 0;
}

int LuaMIDIHelper::LuaResetLFOPhase(lua_State* L) {
    LuaMIDIHelper& helper = HelperOf(L);
    const lua_Number phase = luaL_optnumber(L, 1, 0.0);
    if (!std::isfinite(phase)) {
        return luaL_error(L, "phase must be a finite number");
    }
    // A whole number of cycles is the same phase; a fraction just below 1 rounds to a whole.
    const auto fraction = Float32(phase - std::floor(phase));
    StackCheck check(L, 0);
    helper.RequestLFOReset(fraction < 1.0f ? fraction : 0.0f);
    return 0;
}

bool LuaMIDIHelper::isParameterUsed(int /*parameter*/) {
    return true;
}

void LuaMIDIHelper::RegisterFunctions() {}

void LuaMIDIHelper::RequestLFOReset(Float32 /*phase*/) {}

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
        Entry entry(*this, Caller::kTimer);
        bool live = entry.State() != nullptr;
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
                ReleaseReference(entry.State(), ref);
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
// reference it cannot file is released again. Marks the helper as having requests of a kind.
template <class Keep>
bool LuaMIDIHelper::StoreRequest(lua_State* L, int index, Keep keep,
                                 std::atomic<bool> LuaMIDIHelper::*marks) {
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
        (HelperOf(L).*marks).store(true, std::memory_order_release);
    }
    return stored;
}

int LuaMIDIHelper::RequestAll(lua_State* L, RefList LuaMIDIHelper::*list, const char* name,
                              std::atomic<bool> LuaMIDIHelper::*marks) {
    LuaMIDIHelper& helper = HelperOf(L);
    if (!lua_isfunction(L, 1)) {
        return luaL_error(L, "first argument to %s() is not a function", name);
    }
    if (!StoreRequest(
            L, 1, [&](int ref) { return Append(helper.*list, ref); }, marks)) {
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
