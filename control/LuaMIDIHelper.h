// The MIDI scripting host: one Lua 5.1 interpreter per effect unit, running the plug-in's own
// midi.lua and the user's scripts, which ask to be called back for MIDI messages (at the
// sample where the host scheduled them) and for timers, and which read and set parameters.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AUTypes.h"
#include "MrvnShared.h"
#include "Synchronization.h"
#include "Timers.h"
#include "TransportClock.h"

struct lua_State;
struct lua_Debug;
class AUBase;

namespace MV {

class MessageQueue;
class MessageQueueItem;
class OSCScriptInterface;

// The lock around every entry into one interpreter (recursive for the thread that holds it).
// The render thread takes it ahead of everybody; a timer or OSC callback that holds it gives it
// up at its next instruction-count hook while the render thread waits, and takes it back,
// before any other waiter, once the render thread's callback is done. See LuaMIDIHelper.cpp
// for why.
class ScriptLock {
public:
    ScriptLock() = default;
    ScriptLock(const ScriptLock&) = delete;
    ScriptLock& operator=(const ScriptLock&) = delete;

    // Any thread but the render thread. True when this thread held it already.
    bool Enter();
    bool TryEnter();
    // The thread that entered.
    void Exit();
    // The render thread: ahead of every other waiter and of a holder that gives way. The one
    // blocking call its path allows. True when this thread held it already.
    bool EnterFirst();
    // Whether the calling thread holds it.
    bool HeldByThisThread();
    // Any thread, without a lock (a hint for the holder's hook): whether the render thread
    // waits.
    bool FirstWaiting() const { return m_firstWaiting.load(std::memory_order_relaxed) != 0; }
    // The holder, where another thread may use the interpreter: lets a waiting render thread
    // in and takes the lock back afterwards. Returns at once when none waits.
    void GiveWay();
    // The holder, around slow work that touches no Lua state: releases every level and
    // returns their count, for Resume, which takes them back ahead of ordinary waiters.
    unsigned Suspend();
    void Resume(unsigned depth);
    // The holder, leaving for good: releases every level.
    void ReleaseAll();

private:
    bool Take(bool first);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::thread::id m_owner;
    unsigned m_depth = 0;
    // Holders that gave the lock up for a while and take it back before ordinary waiters.
    unsigned m_suspended = 0;
    std::atomic<unsigned> m_firstWaiting{0};
};

// Holds a script lock (as an ordinary waiter) for the life of a scope.
class ScriptLockGuard {
public:
    explicit ScriptLockGuard(ScriptLock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~ScriptLockGuard() { m_lock.Exit(); }
    ScriptLockGuard(const ScriptLockGuard&) = delete;
    ScriptLockGuard& operator=(const ScriptLockGuard&) = delete;

private:
    ScriptLock& m_lock;
};

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

    // Where a call into the interpreter comes from. It decides the Lua thread the call runs on
    // and whether the render thread may run its callbacks in the middle of it (timer and
    // network calls only).
    enum class Caller { kHost, kRender, kTimer, kNetwork };

    // What a task that calls scripts tells the script host about itself, handed to its
    // entries. Shared by the task's thread and its owner, so that it outlives an owner that
    // lets the task go.
    struct CallerFlags {
        // Script calls the task makes stop at their next instruction hook.
        std::atomic<bool> stop{false};
        // The owner let the task go: what called the script may be gone, so the task must
        // never return there. It parks itself instead when its script call comes back.
        std::atomic<bool> abandoned{false};
        // Entries of the task under way, waiting for the interpreter included: an owner may
        // let go only of a task that is inside one.
        std::atomic<int> entries{0};
    };

    // The interpreter proper: the Lua state, its Lua threads and its lock. Owned jointly by
    // the helper and every entry in progress, so that a task its owner let go never meets
    // freed memory.
    struct Interpreter;
    // The entry of the thread that holds the script lock, as the instruction hook, the script
    // functions and nested entries see it (Interpreter::active).
    struct Context {
        Caller caller = Caller::kHost;
        lua_State* state = nullptr;
        CallerFlags* flags = nullptr;
        std::uint64_t deadlineNs = 0; // up-time nanoseconds; 0: none
        int limitMs = 0;
        bool setup = false;
        Context* previous = nullptr; // the active one before (a render entry's: a suspended one)
    };

    // One entry into the interpreter: holds the script lock (taken ahead of everybody on the
    // render thread) and makes this thread's calls run on the caller's Lua thread, protected
    // and under the time limits. An entry made inside another one on the same thread joins
    // it. Any thread; the render thread enters as kRender. A task that its owner may let go
    // hands its flags.
    class Entry {
    public:
        Entry(LuaMIDIHelper& helper, Caller caller, CallerFlags* flags = nullptr);
        ~Entry();
        Entry(const Entry&) = delete;
        Entry& operator=(const Entry&) = delete;

        // The Lua thread this entry's calls use; null while there is no interpreter.
        lua_State* State() const { return m_active->state; }
        Context& Active() const { return *m_active; }

    private:
        std::shared_ptr<Interpreter> m_interpreter;
        CallerFlags* m_flags;
        Context m_context;           // used when this entry is the thread's outermost one
        Context* m_active = nullptr; // m_context, or the context this entry joined
    };

    // An argument that a caller outside the interpreter (an OSC message) hands to a script
    // function, converted before the interpreter is entered.
    struct ScriptValue {
        enum class Type { kNil, kBoolean, kNumber, kString };
        Type type = Type::kNil;
        double number = 0.0; // a boolean as 0 or 1
        const char* text = nullptr;
    };

    // Render thread, inside an entry; not real-time safe (scripts run). Also a network entry
    // for notes played over OSC. Channel is 1 to 16 as scripts see it.
    virtual void HandleNoteOn(int channel, UInt8 note, UInt8 velocity);
    virtual void HandleNoteOff(int channel, UInt8 note, UInt8 velocity);
    // Also assembles NRPNs from controllers 99, 98, 6 and 38.
    virtual void HandleControlChange(int channel, UInt8 controller, UInt8 value);
    virtual void HandlePitchWheel(int channel, UInt8 leastSignificant, UInt8 mostSignificant);
    // Render thread, between the audio before the message and the audio after it; takes the
    // script lock (the one blocking call the render path allows) when a script asked for
    // MIDI. Runs the scripts' callbacks for a short message, then hands it to the instance
    // tracker.
    virtual void HandleMessageQueueItem(const MessageQueueItem* item);
    // Any thread running script code.
    virtual bool isParameterUsed(int parameter);
    // Any thread running script code; index is 0 to 7.
    virtual void setGUIBoolValue(int index, int value) = 0;
    virtual bool getGUIBoolValue(int index) const = 0;
    // The initialising thread, once, while the interpreter is set up: a subclass adds its
    // own global functions to m_luaState here.
    virtual void RegisterFunctions();
    // Any thread running script code; real-time safe. Restarts the modulation at `phase` (0
    // to 1) from the next sub-block the unit renders. Does nothing in this class.
    virtual void RequestLFOReset(Float32 phase);

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
    // The MIDI entry thread; real-time safe. Queues a change of the host's transport with the
    // MIDI, so that both are handed on in the order and at the frames the host gave.
    bool HandleTransportEvent(const MrvnTransportEvent& event);

    // The host's transport as scripts see it. The unit's render thread moves it on: to the
    // frame of each message before handing it on, and to the end of each render call.
    TransportClock& Transport() { return m_transport; }
    // Render thread; real-time safe. Whether a script asked to hear transport changes (or bar
    // lines): only then do they split the audio, so that renders without such a script stay
    // as they were.
    bool HasTransportRequests() const {
        return m_hasTransportRequests.load(std::memory_order_acquire);
    }
    bool HasBarRequests() const { return m_hasBarRequests.load(std::memory_order_acquire); }
    // Render thread, at the first sample of a bar (the clock standing there), between the
    // audio before it and the audio after it; takes the script lock. Runs the bar callbacks.
    void HandleBarLine(Float64 bar);

    // Calls the function lying below nargs arguments on the stack with no results, in
    // protected mode and under the callback time limit, and pops it with its arguments; an
    // error value is dropped. Returns the Lua status. The caller holds an Entry (or
    // LuaLock(), for the main state) from before it pushes the function until this returns,
    // and pushes onto CurrentState(). Any thread.
    int protectedPcall(int nargs);
    // The same asking for nresults results, which it leaves on the stack (nils after an
    // error). The caller pops them.
    int protectedPcall(int nargs, int nresults);
    // Calls the function stored in the registry under ref with no arguments, as a callback
    // of `caller`: enters the interpreter itself. Any thread.
    int CallRegistryFunction(int ref, Caller caller = Caller::kHost);
    // Inside an entry: calls, protected and under the callback time limit, the function
    // stored under ref or, for LUA_NOREF, the global function `name` when callers from
    // outside may call it: a function written in Lua, or one of the scripting API's own
    // (never one of Lua's libraries). Looking the name up runs protected too, so a script
    // that guards its globals cannot end the process. Leaves nresults values on L (nils after
    // a failure) and returns the Lua status.
    int CallFromOutside(lua_State* L, const char* name, int ref,
                        const std::vector<ScriptValue>& args, int nresults);
    // Inside an entry: releases a registry reference (protected: the registry may grow).
    void ReleaseReference(lua_State* L, int ref);
    // The Lua thread the calling thread's innermost entry uses, else the main state.
    lua_State* CurrentState() const;

    // Lets the render thread into the interpreter while a script's C function (running on L)
    // does slow work that touches no Lua state (a system call). Does nothing on the render
    // thread and outside timer and network calls. A task abandoned meanwhile parks in the
    // destructor.
    class AwayFromInterpreter {
    public:
        explicit AwayFromInterpreter(lua_State* L);
        ~AwayFromInterpreter();
        AwayFromInterpreter(const AwayFromInterpreter&) = delete;
        AwayFromInterpreter& operator=(const AwayFromInterpreter&) = delete;

    private:
        Interpreter* m_interpreter = nullptr;
        unsigned m_depth = 0;
    };

    // Prints "@@@ " and the formatted text on standard output. Any thread.
    static void LuaError(lua_State* state, const char* format, ...)
        __attribute__((format(printf, 2, 3)));
    // The same for arguments already taken; the editor's layout script reports the same way.
    static void LuaErrorV(const char* format, std::va_list args)
        __attribute__((format(printf, 1, 0)));

    // The lock held around every entry into the interpreter (recursive).
    ScriptLock& LuaLock();
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
    // The main state: set-up, closing, the host's threads and the render thread. Its script
    // lock lives in m_interpreter.
    lua_State* m_luaState = nullptr;

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
    RefList m_tempoChangeRefs;
    RefList m_transportChangeRefs;
    RefList m_barRefs;
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
    // With the script lock held: closes the main state and forgets it and its Lua threads.
    void CloseState();
    // Protected: the body of the interpreter's set-up (CreateState).
    static int SetUpState(lua_State* L);
    void RunScripts(lua_State* L);
    // Compiles and runs one script (a file, or a buffer when path is null) under the set-up
    // time limit, reporting a failure with `report`.
    void RunChunk(lua_State* L, const char* path, const char* buffer, std::size_t size,
                  const char* report);
    // The background Lua thread (timer and network calls); a new one when a parked task
    // still holds the old one. With the script lock held.
    lua_State* BackgroundThread();
    // Keeps the NRPN assembly values; true for the data-entry controllers.
    bool AssembleNRPN(UInt8 controller, UInt8 value);
    void HandleProgramChange(int channel, UInt8 program);
    void HandleChannelPressure(int channel, UInt8 pressure);
    void HandlePolyPressure(int channel, UInt8 note, UInt8 pressure);
    // Render thread: moves the clock, then runs the callbacks of what changed.
    void HandleTransportItem(const MessageQueueItem& item);
    // Calls every reference of list with the arguments that push(L) pushes (it returns their
    // count and must not allocate); a list that grows during the walk has its new entries
    // called too. Inside an entry.
    template <class Push> void CallRefsPushing(const RefList& list, Push push);
    // Calls every reference of list, then of map[number] when map is given, with the
    // arguments; a list that grows during the walk has its new entries called too.
    void CallRefs(const RefList& list, const RefMap* map, SInt32 number,
                  std::initializer_list<SInt32> args);
    void CallRef(int ref, std::initializer_list<SInt32> args);
    // Timer thread.
    static void TimerFired(void* user, TimerHandle timer);
    void OnTimer(TimerHandle timer);
    // Lua count hook: lets the render thread in, stops code that has run past its deadline
    // or whose caller is closing, and parks a task that was let go.
    static void LimitHook(lua_State* L, lua_Debug* debug);
    // The interpreter a state belongs to (its allocator's user pointer).
    static Interpreter& InterpreterOf(lua_State* L);
    // The holder of the script lock: parks for good when its owner let it go
    // (CallerFlags::abandoned), leaving the interpreter to the other threads.
    static void ParkIfAbandoned(Interpreter& interpreter);
    // Protected body of CallFromOutside.
    static int CallFromOutsideBody(lua_State* L);
    // The helper of a script function's state; raises when a script removed it from the
    // registry, parks a task that was let go.
    static LuaMIDIHelper& HelperOf(lua_State* L);

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
    static int LuaGetTempo(lua_State* L);
    static int LuaGetTimeSignature(lua_State* L);
    static int LuaGetBeatPosition(lua_State* L);
    static int LuaIsPlaying(lua_State* L);
    static int LuaRequestTempoChange(lua_State* L);
    static int LuaRequestTransportChange(lua_State* L);
    static int LuaRequestBarCallback(lua_State* L);
    static int LuaResetLFOPhase(lua_State* L);

    // Shared bodies.
    // Marks the helper as having requests of the kind `marks` names.
    template <class Keep>
    static bool
    StoreRequest(lua_State* L, int index, Keep keep,
                 std::atomic<bool> LuaMIDIHelper::*marks = &LuaMIDIHelper::m_hasMidiRequests);
    static int
    RequestAll(lua_State* L, RefList LuaMIDIHelper::*list, const char* name,
               std::atomic<bool> LuaMIDIHelper::*marks = &LuaMIDIHelper::m_hasMidiRequests);
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
    // Set once a script asks for transport changes (bar lines: both).
    std::atomic<bool> m_hasTransportRequests{false};
    std::atomic<bool> m_hasBarRequests{false};
    TransportClock m_transport;
    bool m_timersStopped = false; // guarded by m_timerLock
    // The timer whose callback is between its look-up and its end (one at a time: the timer
    // thread runs callbacks one after another). Guarded by m_timerLock.
    TimerHandle m_firingTimer = kNoTimer;

    std::atomic<int> m_callbackLimitMs{kDefaultCallbackTimeLimitMs};
    std::atomic<int> m_setupLimitMs{kDefaultSetupTimeLimitMs};

    std::shared_ptr<Interpreter> m_interpreter;
};

} // namespace MV
