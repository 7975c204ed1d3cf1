// The MIDI scripting host: one Lua 5.1 interpreter per effect unit, running the plug-in's own
// midi.lua and the user's scripts, which ask to be called back for MIDI messages (at the
// sample where the host scheduled them) and for timers, and which read and set parameters.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "AUTypes.h"
#include "MrvnShared.h"
#include "Synchronization.h"
#include "Timers.h"

struct lua_State;
struct lua_Debug;
class AUBase;

namespace MV {

class MessageQueue;
class MessageQueueItem;
class OSCScriptInterface;

class LuaMIDIHelper {
public:
    // Tags whose addresses key the helper's entries in the Lua registry.
    static const char kRefconTag[];
    static const char kParamLookupTag[];
    // The registered metatable of timer handles.
    static constexpr const char* kTimerMetatable = "MV::LuaMIDIHelper::Timer";

    // How long one script callback may run before it is stopped with a Lua error, and how
    // long the set-up scripts may run. 0 means no limit.
    static constexpr int kDefaultCallbackTimeLimitMs = 250;
    static constexpr int kDefaultSetupTimeLimitMs = 10000;

    // The unit's constructor. Only stores the references: no interpreter exists yet.
    LuaMIDIHelper(AUBase* audioUnit, MessageQueue* messageQueue, OSCScriptInterface* oscHelper);
    // The unit's destructor. Stops the timers (waiting for a running one), then closes the
    // interpreter.
    virtual ~LuaMIDIHelper();
    LuaMIDIHelper(const LuaMIDIHelper&) = delete;
    LuaMIDIHelper& operator=(const LuaMIDIHelper&) = delete;

    // Render thread, with a script lock held; not real-time safe (scripts run). Channel is
    // 1 to 16 as scripts see it.
    virtual void HandleNoteOn(int channel, UInt8 note, UInt8 velocity);
    virtual void HandleNoteOff(int channel, UInt8 note, UInt8 velocity);
    // Also assembles NRPNs from controllers 99, 98, 6 and 38.
    virtual void HandleControlChange(int channel, UInt8 controller, UInt8 value);
    virtual void HandlePitchWheel(int channel, UInt8 leastSignificant, UInt8 mostSignificant);
    // Render thread, between the audio before the message and the audio after it; takes the
    // script lock (the one blocking call the render path allows). Runs the scripts'
    // callbacks for a short message, then hands it to the instance tracker.
    virtual void HandleMessageQueueItem(const MessageQueueItem* item);
    // Any thread running script code.
    virtual bool isParameterUsed(int parameter);
    // Any thread running script code; index is 0 to 7.
    virtual void setGUIBoolValue(int index, int value) = 0;
    virtual bool getGUIBoolValue(int index) const = 0;
    // The initialising thread, once, while the interpreter is set up: a subclass adds its
    // own global functions to m_luaState here.
    virtual void RegisterFunctions();

    // The unit's initialising thread: reads the parameter count and table from the unit.
    void Initialize();
    // The unit's initialising thread (first call) or any thread: creates the interpreter and
    // runs the scripts on the first call; later calls return the existing state. Null only
    // when no state could be created.
    lua_State* LuaInit();
    // Stops the timers, then closes the interpreter. Not with the script lock held.
    void LuaShutdown();
    // Removes every timer and waits for one whose callback is running; later timer requests
    // fail. A subclass destructor calls it first, so that no callback reaches a half-destroyed
    // object. Any thread but the timer thread's callbacks of this helper; idempotent.
    void StopTimers();

    // The MIDI entry thread; real-time safe. Forward to the unit's queue.
    bool HandleMidiEvent(UInt8 status, UInt8 channel, UInt8 data1, UInt8 data2, UInt32 startFrame);
    bool HandleSysEx(const UInt8* data, UInt32 length);

    // Calls the function lying below nargs arguments on the stack with no results, in
    // protected mode and under the callback time limit, and pops it with its arguments; an
    // error value is dropped. Returns the Lua status. The caller holds LuaLock() from before
    // it pushes the function until this returns. Any thread.
    int protectedPcall(int nargs);
    // The same asking for nresults results, which it leaves on the stack (nils after an
    // error). The caller holds LuaLock() and pops them.
    int protectedPcall(int nargs, int nresults);
    // Calls the function stored in the registry under ref with no arguments, as a callback:
    // takes the script lock itself. Any thread.
    int CallRegistryFunction(int ref);

    // Prints "@@@ " and the formatted text on standard output. Any thread.
    static void LuaError(lua_State* state, const char* format, ...)
        __attribute__((format(printf, 2, 3)));

    // The lock held around every entry into the interpreter after set-up (recursive).
    CriticalRegion& LuaLock() { return m_luaLock; }
    lua_State* LuaState() const { return m_luaState; }
    int NumParameters() const { return m_numParameters; }

    // Connects the OSC server once it exists (the unit builds it after this helper).
    void SetOSCHelper(OSCScriptInterface* oscHelper) { m_oscHelper = oscHelper; }
    OSCScriptInterface* GetOSCHelper() const { return m_oscHelper; }

    // Time limits in milliseconds (0: none). Any thread; they apply to calls that start
    // afterwards.
    void SetCallbackTimeLimitMs(int milliseconds) { m_callbackLimitMs.store(milliseconds); }
    void SetSetupTimeLimitMs(int milliseconds) { m_setupLimitMs.store(milliseconds); }
    int CallbackTimeLimitMs() const { return m_callbackLimitMs.load(); }
    int SetupTimeLimitMs() const { return m_setupLimitMs.load(); }

    // Timers installed and not yet fired (one-shot) or cancelled. Any thread.
    std::size_t NumLiveTimers();

    // The helper that owns a state (from its registry entry), or null.
    static LuaMIDIHelper* FromState(lua_State* L);

protected:
    struct TimerEntry {
        int ref;       // the callback in the registry
        bool periodic; // fires again until cancelled
    };
    using RefList = std::vector<SInt32>;
    using RefMap = std::map<SInt32, RefList>;

    AUBase* m_audioUnit;
    MessageQueue* m_messageQueue;
    OSCScriptInterface* m_oscHelper;
    SInt32 m_numParameters = 0;
    const MrvnParamInfo* m_paramInfo = nullptr;
    lua_State* m_luaState = nullptr;
    CriticalRegion m_luaLock;

    RefList m_allNoteOnRefs;
    RefList m_allNoteOffRefs;
    RefList m_allCCRefs;
    RefList m_allNRPNRefs;
    RefList m_allProgramChangeRefs;
    RefList m_allPolyPressureRefs;
    RefMap m_noteOnRefs;
    RefMap m_noteOffRefs;
    RefMap m_ccRefs;
    RefMap m_nrpnRefs;
    RefMap m_programChangeRefs;
    RefMap m_polyPressureRefs;
    RefList m_pitchWheelRefs;
    RefList m_channelPressureRefs;
    SInt32 m_nrpnLSB = 0;
    SInt32 m_nrpnMSB = 0;
    SInt32 m_dataEntryLSB = 0;
    SInt32 m_dataEntryMSB = 0;

    std::map<TimerHandle, TimerEntry> m_timers;
    CriticalRegion m_timerLock;

private:
    using ParamLookup = std::map<std::string, int, std::less<>>;
    struct FunctionEntry {
        const char* name;
        int (*function)(lua_State*);
    };
    class Deadline;
    class StackCheck;
    friend class Deadline;

    static const FunctionEntry ms_functions[];

    void CreateState();
    void RunScripts();
    // Runs the chunk that loadStatus left on the stack (or reports its compile error).
    void RunChunk(int loadStatus, const char* report);
    void HandleProgramChange(int channel, UInt8 program);
    void HandleChannelPressure(int channel, UInt8 pressure);
    void HandlePolyPressure(int channel, UInt8 note, UInt8 pressure);
    // Calls every reference of list, then of map[number] when map is given, with the
    // arguments; a list that grows during the walk has its new entries called too.
    void CallRefs(const RefList& list, const RefMap* map, SInt32 number,
                  std::initializer_list<SInt32> args);
    void CallRef(int ref, std::initializer_list<SInt32> args);
    // Timer thread.
    static void TimerFired(void* user, TimerHandle timer);
    void OnTimer(TimerHandle timer);
    // Lua count hook: stops code that has run past the current deadline.
    static void LimitHook(lua_State* L, lua_Debug* debug);

    // Script functions. Each finds its helper through the registry.
    static int LuaPrint(lua_State* L);
    static int LuaSetParameter(lua_State* L);
    static int LuaGetParameter(lua_State* L);
    static int LuaGetParameterID(lua_State* L);
    static int LuaGetParameterMinMax(lua_State* L);
    static int LuaGetParameterUnit(lua_State* L);
    static int LuaGetParameterName(lua_State* L);
    static int LuaIsParameterUsed(lua_State* L);
    static int LuaGetNumParameters(lua_State* L);
    static int LuaSetOthersParameter(lua_State* L);
    static int LuaGetOthersParameter(lua_State* L);
    static int LuaRequestAllNoteOn(lua_State* L);
    static int LuaRequestAllNoteOff(lua_State* L);
    static int LuaRequestAllCC(lua_State* L);
    static int LuaRequestAllNRPN(lua_State* L);
    static int LuaRequestAllProgramChange(lua_State* L);
    static int LuaRequestAllPolyPressure(lua_State* L);
    static int LuaRequestNoteOn(lua_State* L);
    static int LuaRequestNoteOff(lua_State* L);
    static int LuaRequestCC(lua_State* L);
    static int LuaRequestNRPN(lua_State* L);
    static int LuaRequestPitchWheel(lua_State* L);
    static int LuaRequestChannelPressure(lua_State* L);
    static int LuaRequestProgramChange(lua_State* L);
    static int LuaRequestPolyPressure(lua_State* L);
    static int LuaTime(lua_State* L);
    static int LuaRequestTimedCallback(lua_State* L);
    static int LuaRequestPeriodicCallback(lua_State* L);
    static int LuaCancelTimer(lua_State* L);
    static int LuaSetGUIBoolValue(lua_State* L);
    static int LuaGetGUIBoolValue(lua_State* L);
    static int LuaSetOthersGUIBoolValue(lua_State* L);
    static int LuaGetOthersGUIBoolValue(lua_State* L);
    static int LuaSendOSC(lua_State* L);
    static int LuaRegisterOSCPathForParameter(lua_State* L);
    static int LuaRegisterOSCPathForParameterNormalized(lua_State* L);
    static int LuaRegisterOSCPathForFunction(lua_State* L);

    // Shared bodies.
    template <class Keep> static bool StoreRequest(lua_State* L, int index, Keep keep);
    static int RequestAll(lua_State* L, RefList LuaMIDIHelper::*list, const char* name);
    static int RequestNumbered(lua_State* L, RefMap LuaMIDIHelper::*map, const char* name);
    static int RequestTimer(lua_State* L, bool periodic);
    // The parameter index at arg: a number (or numeric string) or a name; raises for an
    // unknown name, and with rangeTested for an index outside the table.
    int ParameterArgument(lua_State* L, int arg, bool rangeTested);
    // The index of a parameter name; raises "parameter not found" for an unknown one.
    static int LookupParameter(lua_State* L, const char* name);
    // The GUI flag index at arg; raises unless it is 0 to 7.
    static int FlagArgument(lua_State* L, int arg);

    ParamLookup* m_paramLookup = nullptr;
    // Set once any MIDI request exists, so messages nobody listens to take no lock.
    std::atomic<bool> m_hasMidiRequests{false};
    bool m_timersStopped = false; // guarded by m_timerLock
    // The timer whose callback is between its look-up and its end (one at a time: the timer
    // thread runs callbacks one after another). Guarded by m_timerLock.
    TimerHandle m_firingTimer = kNoTimer;

    std::atomic<int> m_callbackLimitMs{kDefaultCallbackTimeLimitMs};
    std::atomic<int> m_setupLimitMs{kDefaultSetupTimeLimitMs};
    // The running call's deadline in up-time nanoseconds (0: none) and its limit; touched
    // only by the thread inside the interpreter.
    std::uint64_t m_deadlineNs = 0;
    int m_activeLimitMs = 0;
    bool m_activeIsSetup = false;
};

} // namespace MV
