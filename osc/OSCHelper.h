// The per-instance OSC server: a receive task that listens on the instance's UDP port and
// answers the OSC address space, a notification task that tells registered clients about
// parameter changes, the DNS-SD publication of the port, and the OSC functions of the
// instance's MIDI script.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <ip/IpEndpointName.h>
#include <ip/UdpSocket.h>
#include <osc/OscPacketListener.h>
#include <osc/OscReceivedElements.h>

#include "AUTypes.h"
#include "LuaMIDIHelper.h"
#include "MrvnInstanceTracker.h"
#include "MrvnShared.h"
#include "OSCScriptInterface.h"
#include "SetParamQueue.h"
#include "Synchronization.h"
#include "Task.h"

class AUBase;

namespace MV {

class ZeroconfService;

// One touch of a "/t3d/" touch frame. Written by every instance's receive task without a
// lock; each field is one word.
struct SoundplaneTouch {
    std::atomic<UInt8> active{0};
    std::atomic<Float32> values[4] = {};
};
constexpr int kNumSoundplaneTouches = 16;
extern SoundplaneTouch gSoundplaneData[kNumSoundplaneTouches];

// An error of one OSC message: ends that message only, and is printed with its address.
class OSCMessageError : public std::exception {
public:
    explicit OSCMessageError(std::string text) : m_text(std::move(text)) {}
    const char* what() const noexcept override { return m_text.c_str(); }

private:
    std::string m_text;
};

class OSCHelper : public osc::OscPacketListener, public OSCScriptInterface {
public:
    using SetParamQueue = MV::SetParamQueue;

    // One slot of a parameter path registered by a script: an incoming x sets parameter
    // `id` to paramScale * x + paramOffset.
    struct RegisteredPathParam {
        SInt32 id;
        Float32 paramOffset;
        Float32 paramScale;
    };

    // A client that asked for change notifications of one parameter.
    struct UpdateRegistration {
        IpEndpointName endpoint;
        std::string path;
        unsigned long sender = 0; // the address the request came from
    };

    static constexpr int kVersionMajor = 1;
    static constexpr int kVersionMinor = 2;
    static constexpr int kVersionDot = 1;
    // Event flag bits of both tasks, and (notification task) a port change to pass on to the
    // receive loop.
    static constexpr std::uint32_t kQuitFlag = 1;
    static constexpr std::uint32_t kWakeFlag = 2;
    static constexpr std::uint32_t kPortFlag = 4;
    // Packets the server builds (replies, notifications, script messages) fit this.
    static constexpr std::size_t kPacketBufferSize = 1024;
    static constexpr long kShutdownTimeoutMs = 1000;
    // After its time-out, how long a receive task stuck in a script is given to notice that
    // it was let go (it parks) or to end after all.
    static constexpr long kAbandonGraceMs = 50;
    static constexpr int kNumRecentMessages = 5;
    // Update registrations the server keeps at most, over all parameters, and per address
    // that requests came from.
    static constexpr std::size_t kMaxUpdateRegistrations = 1024;
    static constexpr std::size_t kMaxUpdateRegistrationsPerSender = 64;

    // Main thread, while the effect unit is constructed. `luaHelper` may be null: no scripts.
    OSCHelper(AUBase* effect, LuaMIDIHelper* luaHelper);
    // Main thread. Ends the tasks, then withdraws and releases everything.
    ~OSCHelper() override;
    OSCHelper(const OSCHelper&) = delete;
    OSCHelper& operator=(const OSCHelper&) = delete;

    // Main thread, at each initialisation of the unit, before CreateTask: the OSC name and
    // the parameter table from the unit, the bind address and reply preferences, and the
    // script's Lua state (whose set-up makes the script's OSC registrations).
    void Initialize();
    // Main thread. Starts the receive and notification tasks; the receive task stays idle
    // until the next SetPort.
    void CreateTask();
    // Main thread (and the destructor). Ends both tasks; does nothing without tasks. Returns
    // within about a second: a receive task stuck in a script's system call is let go.
    void DestroyTask();
    // Any thread; real-time safe (atomic stores and non-blocking wake-ups; the unit's port
    // rule runs on the render thread for automation and MIDI scripts). Listens on `port`
    // next; a socket open on another port is closed first, by the tasks.
    void SetPort(SInt32 port);
    // Any thread; real-time safe. Closes the socket and stays idle.
    void Disable();
    // Any thread; real-time safe (no lock, no allocation). Queues the change for the
    // notification task when a client registered for the parameter.
    void NotifySetParam(SInt32 id, Float32 value);

    // Cuts "osc.udp://host:port" or "host:port" in place at the ':' and returns the host
    // part; `outPort` receives the port, or -1 when the text has none. Any thread.
    static char* ParseAddress(char* address, int& outPort);
    // The endpoint a destination names: the host resolved (address 0 when it cannot be),
    // the port or -1. At most 1023 characters of `text` are used. Any non-real-time thread;
    // for scripts' own destinations (a name look-up may take long).
    static IpEndpointName ResolveAddress(const char* text);
    // The endpoint a reply address names without looking any name up: a dotted address or
    // "localhost"; any other name gives address 0. Any thread.
    static IpEndpointName ParseReplyAddress(const char* text);
    // "a.b.c.d:port", with "<any>" for any address or any port.
    static std::string EndpointText(const IpEndpointName& endpoint);
    // Host name resolution used by ResolveAddress; null restores the system's resolver
    // (IPv4 only; dotted addresses are taken as they are). For tests and fuzzing, which must
    // never look names up or send anywhere but the loopback address.
    using HostResolver = unsigned long (*)(const char* host);
    static void SetHostResolver(HostResolver resolver);

    // OSC receive task (and tests). Decodes one packet and handles it; errors are printed
    // and never leave this function, so no packet stops the server.
    void ProcessPacket(const char* data, int size, const IpEndpointName& remoteEndpoint) override;

    // OSCScriptInterface: the bodies of the script functions "registerOSCPathForParameter",
    // "registerOSCPathForParameterNormalized" and "registerOSCPathForFunction".
    int LuaRegisterOSCPathForParameter(lua_State* L, bool normalized) override;
    int LuaRegisterOSCPathForFunction(lua_State* L) override;
    // The body of "sendOSC", installed with SetLuaSendOSCFunction when the library loads.
    static int LuaSendOSC(lua_State* L);

    // ---- Observation (any thread) -------------------------------------------------------
    SInt32 Port() const { return m_port.load(std::memory_order_acquire); }
    // The port the receive socket listens on, 0 while it does not.
    SInt32 BoundPort() const { return m_boundPort.load(std::memory_order_acquire); }
    bool HasTasks() const;
    // The name the port is published under, empty while it is not.
    std::string PublishedServiceName() const;
    // The printed form of the last messages received, newest first.
    std::vector<std::string> RecentMessages() const;
    // Registrations of one parameter in order, or of all parameters when id is -1.
    std::vector<std::pair<SInt32, UpdateRegistration>> UpdateRegistrations(SInt32 id = -1) const;
    bool UpdateFlag(SInt32 id) const;
    // Changes queued for the notification task and not yet taken.
    UInt32 PendingNotifications() const { return m_setParamQueue.Pending(); }
    const std::string& OSCName() const { return m_oscName; }

protected:
    // OSC receive task. Touch frames, or each element in order.
    void ProcessBundle(const osc::ReceivedBundle& bundle,
                       const IpEndpointName& remoteEndpoint) override;
    // OSC receive task. The address space; an error ends this message only.
    void ProcessMessage(const osc::ReceivedMessage& message,
                        const IpEndpointName& remoteEndpoint) override;
    // OSC receive task. Every message nothing else handles; nothing in this class.
    virtual void ProcessMessage(const char* address, const osc::ReceivedMessage& message,
                                const IpEndpointName& remoteEndpoint);
    // Any thread. Whether the parameter is answered by "/getAll" and "/getInfo".
    virtual bool isParameterUsed(SInt32 id);

public:
    // OSC receive task. One "/mrvn/" address: each step is handed to `step` with its value as
    // soon as it is parsed; a malformed address raises OSCMessageError after the steps before
    // the fault.
    using MRVNStepHandler = std::function<void(const MrvnOSCMessage& record, Float32 value)>;
    static void ProcessMRVNMessage(const osc::ReceivedMessage& message,
                                   const MRVNStepHandler& step);

    // One "/mrvn/" step and its value, for the instance tracker.
    static void HandleMRVNStep(const MrvnOSCMessage& record, Float32 value);

private:
    class ReceiveSocket;
    using Handler = void (OSCHelper::*)(const osc::ReceivedMessage&, const IpEndpointName&);

    // The library's decoder trusts the sizes of blob arguments (it reads past the packet for
    // a size that runs beyond it) and of bundle elements (a size of 0xfffffffc wraps to a
    // step of nothing and its loop never ends): such a packet is refused before the library
    // sees it. Raises osc::MalformedMessageException or osc::MalformedBundleException; leaves
    // every other fault to the library.
    static void CheckSizes(const char* data, std::size_t size);

    static int Task(void* parameter);
    static int NotifyTask(void* parameter);
    void TaskMain();
    void NotifyTaskMain();
    // One listening period: socket, publication, receive loop, and back.
    void Listen();
    void PublishBonjourService();
    void UnpublishBonjourService();
    // Any thread; real-time safe. Ends the receive loop if it runs, or the next one as it starts.
    void RequestBreak();
    void SendNotification(SInt32 id, Float32 value, const UpdateRegistration& registration);
    // Main thread: the script's Lua state, made by the script host, and with it the script's
    // OSC registrations.
    void InitializeLua();
    // The registry references of the function paths; with the server.
    void ReleaseFunctionPaths();

    void AddToRecentList(const osc::ReceivedMessage& message);
    void DispatchMessage(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    bool ApplyParameterPath(const std::string& address, const osc::ReceivedMessage& message);
    bool CallFunctionPath(const std::string& address, const osc::ReceivedMessage& message);
    bool ProcessFixedAddress(const char* address, const osc::ReceivedMessage& message,
                             const IpEndpointName& remote);
    void ProcessT3DBundle(const osc::ReceivedBundle& bundle);
    // Where a reply (or a registration) for a request from `remote` may go: the reply
    // address, parsed without a name look-up, which must be the requester's own address
    // unless the preference lets replies go to other hosts. Raises OSCMessageError.
    IpEndpointName ReplyEndpoint(const char* replyAddress, const IpEndpointName& remote) const;

    // The fixed addresses, each with its own arguments and the requester's endpoint. OSC
    // receive task; they raise osc::Exception or OSCMessageError for a message they refuse.
    void HandlePing(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleSet(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleGet(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleGetAll(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleGetAllRegistered(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleGetNumParameters(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleIsParameterUsed(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleGetInfo(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleRegisterUpdate(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleUnregisterUpdate(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    // Receive task. The interpreter, created on first use; raises when there is none.
    lua_State* ScriptState();
    // The receive task's flags for its script entries; null on any other thread (a packet
    // handed over directly).
    LuaMIDIHelper::CallerFlags* ReceiveTaskFlags() const;
    // The Lua thread of a network entry; raises when there is none.
    static lua_State* EnteredState(const LuaMIDIHelper::Entry& entry);
    void HandleExec(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleCall(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleStartNote(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void HandleStopNote(const osc::ReceivedMessage& message, const IpEndpointName& remote);
    void ProcessNote(const osc::ReceivedMessage& message, bool noteOn);

    // Script side. Each returns false with `error` (256 bytes) filled instead of raising, so
    // that the Lua error is raised after its C++ objects are gone.
    bool LookupParameterName(const char* name, SInt32& outId) const;
    bool RegisterParameterPath(lua_State* L, bool normalized, char* error);
    static bool SendOSCFromScript(lua_State* L, int formatIndex, int tableIndex, char* error);

    SInt32 NumParameters() const { return m_numParameters; }
    void CheckParameterId(SInt32 id, const char* operation) const;
    Float32 ParameterValue(SInt32 id) const;
    void SetParameterNotifying(SInt32 id, Float32 value);
    // Replies: one bundle with the immediate time tag around one message, from a fresh
    // transmit socket.
    void SendIntFloat(const IpEndpointName& to, const char* path, SInt32 id, Float32 value);

    AUBase* m_effect;
    std::string m_oscName = "Fluxet";
    SInt32 m_numParameters = 0;
    const MrvnParamInfo* m_paramInfo = nullptr;
    LuaMIDIHelper* m_luaHelper;

    // The tasks. Their events and semaphores are made by the first CreateTask and kept until
    // the destructor, so a thread that raises a flag never meets a deleted event.
    std::unique_ptr<MV::Task> m_task;
    std::unique_ptr<MV::Task> m_notifyTask;
    std::unique_ptr<EventGroup> m_eventStorage, m_notifyEventStorage;
    std::atomic<EventGroup*> m_event{nullptr};
    std::atomic<EventGroup*> m_notifyEvent{nullptr};
    std::unique_ptr<Semaphore> m_taskDone, m_notifyDone;

    // What the receive task tells the script host about itself; a new one per task, shared
    // with the task's thread so that it outlives a server that let the task go.
    std::shared_ptr<LuaMIDIHelper::CallerFlags> m_receiveCaller;
    std::atomic<std::thread::id> m_receiveThread;

    // The port and the receive loop. The multiplexer lives as long as the server, so any
    // thread but the render thread may request a break without a lock: the request is a flag
    // plus a write to the multiplexer's wake-up pipe while the loop runs.
    SocketReceiveMultiplexer m_mux;
    // The listening socket, owned here so that a server that let its receive task go can
    // still close it (and free the port). Whoever takes it out destroys it.
    std::mutex m_socketLock;
    std::unique_ptr<ReceiveSocket> m_receiveSocket;
    std::atomic<SInt32> m_port{0};
    std::atomic<SInt32> m_boundPort{0};
    std::atomic<bool> m_listening{false};
    std::atomic<bool> m_breakRequested{false};
    std::atomic<bool> m_quitRequested{false};
    mutable std::mutex m_bindLock;
    std::string m_bindAddress;                                  // the preference; empty: any
    bool m_bindAddressValid = true;                             // it names an address
    unsigned long m_bindIP = IpEndpointName::ANY_ADDRESS;       // resolved at Initialize
    unsigned long m_boundAddress = IpEndpointName::ANY_ADDRESS; // of the socket last bound
    // The preference "OSC Reply To Other Hosts".
    std::atomic<bool> m_replyToOtherHosts{false};

    // Update registrations and flags: changed by the receive task, read by the notification
    // task under the lock, and (the flags only) by NotifySetParam without it.
    static constexpr int kMaxParameters = 256;
    mutable std::mutex m_registrationLock;
    std::multimap<SInt32, UpdateRegistration> m_updateRegistrations;
    std::array<std::atomic<UInt8>, kMaxParameters> m_updateFlags{};
    std::atomic<SInt32> m_numUpdateFlags{0};
    SetParamQueue m_setParamQueue;

    // Script registrations: changed by script code, read by the receive task. Never taken
    // while the script host's lock is wanted (see the address space).
    mutable std::mutex m_pathLock;
    std::multimap<std::string, std::vector<RegisteredPathParam>> m_parameterPaths;
    std::multimap<std::string, int> m_functionPaths;

    mutable std::mutex m_serviceLock;
    std::unique_ptr<ZeroconfService> m_netService;

    mutable std::mutex m_recentLock;
    std::array<std::string, kNumRecentMessages> m_recentMessages;
    int m_recentIndex = 0;
};

} // namespace MV
