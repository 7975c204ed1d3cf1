// The server's life: tasks, the port, the receive loop, publication and notifications.
#include "OSCHelper.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include <ip/TimerListener.h>
#include <ip/UdpSocket.h>
#include <osc/OscOutboundPacketStream.h>

#include "AUBase.h"
#include "AudioUnitAPI.h"
#include "OSCOutput.h"
#include "Preferences.h"
#include "SystemInfo.h"
#include "ZeroconfPublisher.h"

namespace MV {

SoundplaneTouch gSoundplaneData[kNumSoundplaneTouches];

namespace {

// Installs "sendOSC" for every script host as soon as the OSC library is part of the program.
const bool g_sendOSCInstalled = [] {
    SetLuaSendOSCFunction(&OSCHelper::LuaSendOSC);
    return true;
}();

// A bind address from the preferences: a dotted IPv4 address or a host name; empty is any.
// Main thread: a name look-up may take long, and the receive task must never wait for one.
bool ResolveBindAddress(const std::string& text, unsigned long& outAddress) {
    if (text.empty()) {
        outAddress = IpEndpointName::ANY_ADDRESS;
        return true;
    }
    in_addr parsed{};
    if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) {
        outAddress = ntohl(parsed.s_addr);
        return true;
    }
    outAddress = OSCHelper::ResolveAddress((text + ":0").c_str()).address;
    return outAddress != 0;
}

} // namespace

// The receive socket with its listener attached to the server's multiplexer for one
// listening period. The multiplexer lives as long as the server, so a break may be requested
// from any thread at any time without a lock.
class OSCHelper::ReceiveSocket : public UdpSocket, private TimerListener {
public:
    ReceiveSocket(OSCHelper& server, const IpEndpointName& localEndpoint) : m_server(server) {
        Bind(localEndpoint);
        m_server.m_mux.AttachSocketListener(this, &m_server);
        // Fires once as the loop starts: the library clears its break request when it enters
        // the loop, so one requested just before would otherwise be lost.
        m_server.m_mux.AttachPeriodicTimerListener(0, INT_MAX, this);
    }
    ~ReceiveSocket() override {
        m_server.m_mux.DetachPeriodicTimerListener(this);
        m_server.m_mux.DetachSocketListener(this, &m_server);
    }
    ReceiveSocket(const ReceiveSocket&) = delete;
    ReceiveSocket& operator=(const ReceiveSocket&) = delete;

private:
    // OSC receive task, inside the loop.
    void TimerExpired() override {
        if (m_server.m_breakRequested.load()) {
            m_server.m_mux.Break();
        }
    }

    OSCHelper& m_server;
};

OSCHelper::OSCHelper(AUBase* effect, LuaMIDIHelper* luaHelper)
    : m_effect(effect), m_luaHelper(luaHelper),
      m_startTasks(std::make_unique<DeferredCall>(&OSCHelper::StartTasksLater, this)) {
    (void)g_sendOSCInstalled;
}

OSCHelper::~OSCHelper() {
    DestroyTask();
    UnpublishBonjourService();
    ReleaseFunctionPaths();
}

void OSCHelper::Initialize() {
    const AudioUnit unit = m_effect->GetComponentInstance();
    const char* name = nullptr;
    UInt32 size = sizeof(void*);
    if (AudioUnitGetProperty(unit, kMrvnProperty_SecondaryAppSupportName, kAudioUnitScope_Global, 0,
                             &name, &size) == noErr &&
        name != nullptr) {
        m_oscName = name;
    }
    UInt32 count = 0;
    size = sizeof(count);
    if (AudioUnitGetProperty(unit, kMrvnProperty_NumParameters, kAudioUnitScope_Global, 0, &count,
                             &size) == noErr) {
        m_numParameters = SInt32(std::min<UInt32>(count, kMaxParameters));
    }
    const MrvnParamInfo* table = nullptr;
    size = sizeof(void*);
    if (AudioUnitGetProperty(unit, kMrvnProperty_ParameterInfos, kAudioUnitScope_Global, 0, &table,
                             &size) == noErr) {
        m_paramInfo = table;
    }
    if (m_paramInfo == nullptr) {
        m_numParameters = 0;
    }

    {
        // Registrations stay across initialisations, and so do the flags of the parameters
        // that have them: a host that re-initialises (a new sample rate) must not silence
        // its clients.
        std::lock_guard lock(m_registrationLock);
        m_numUpdateFlags.store(0, std::memory_order_release);
        for (std::size_t id = 0; id < m_updateFlags.size(); ++id) {
            const bool registered = m_updateRegistrations.count(SInt32(id)) != 0;
            m_updateFlags[id].store(registered ? 1 : 0, std::memory_order_relaxed);
        }
        m_numUpdateFlags.store(m_numParameters, std::memory_order_release);
    }

    std::string bindAddress;
    GetPrefString(kPrefOSCBindAddress, bindAddress);
    unsigned long bindIP = IpEndpointName::ANY_ADDRESS;
    const bool bindValid = ResolveBindAddress(bindAddress, bindIP);
    {
        std::lock_guard lock(m_bindLock);
        m_bindAddress = bindAddress;
        m_bindAddressValid = bindValid;
        m_bindIP = bindIP;
    }
    m_replyToOtherHosts.store(GetPrefInt(kPrefOSCReplyToOtherHosts, 0) != 0);

    InitializeLua();
}

// ---------------------------------------------------------------------------------------------
// Tasks

bool OSCHelper::HasTasks() const {
    return m_tasksRunning.load(std::memory_order_acquire);
}

void OSCHelper::CreateTask() {
    const std::lock_guard lock(m_taskLock);
    if (m_task != nullptr) {
        PrintLine("Warning: Attempt to recreate OSC task");
        return;
    }
    m_tasksEnabled.store(true, std::memory_order_release);
    // While OSC is off no thread is started; the first port starts them.
    if (m_port.load() != 0) {
        StartTasks();
    }
}

void OSCHelper::StartTasksLater(void* self) {
    auto& server = *static_cast<OSCHelper*>(self);
    const std::lock_guard lock(server.m_taskLock);
    if (server.m_tasksEnabled.load(std::memory_order_acquire) && server.m_task == nullptr &&
        server.m_port.load() != 0) {
        server.StartTasks();
    }
}

void OSCHelper::StartTasks() {
    if (m_eventStorage == nullptr) {
        m_eventStorage.reset(new (std::nothrow) EventGroup);
        if (m_eventStorage == nullptr) {
            std::printf("MPCreateEvent returned %d\n", int(kAudio_MemFullError));
            std::fflush(stdout);
            return;
        }
        m_event.store(m_eventStorage.get(), std::memory_order_release);
    }
    if (m_notifyEventStorage == nullptr) {
        m_notifyEventStorage.reset(new (std::nothrow) EventGroup);
        if (m_notifyEventStorage == nullptr) {
            std::printf("MPCreateEvent returned %d\n", int(kAudio_MemFullError));
            std::fflush(stdout);
            return;
        }
        m_notifyEvent.store(m_notifyEventStorage.get(), std::memory_order_release);
    }
    for (std::unique_ptr<Semaphore>* done : {&m_taskDone, &m_notifyDone}) {
        if (*done == nullptr) {
            done->reset(new (std::nothrow) Semaphore(1, 0));
            if (*done == nullptr) {
                std::printf("MPCreateSemaphore returned %d\n", int(kAudio_MemFullError));
                std::fflush(stdout);
                return;
            }
        }
    }
    // A new receive task listens on the port asked for last.
    m_eventStorage->Wait(0);
    while (m_taskDone->Wait(0)) {
    }
    while (m_notifyDone->Wait(0)) {
    }
    m_quitRequested.store(false);
    m_receiveCaller = std::make_shared<LuaMIDIHelper::CallerFlags>();

    auto task = std::make_unique<MV::Task>();
    if (const int error = task->Start(&OSCHelper::Task, this, "osc-receive"); error != 0) {
        std::printf("MPCreateTask returned %d\n", error);
        std::fflush(stdout);
        return;
    }
    m_task = std::move(task);
    m_tasksRunning.store(true, std::memory_order_release);
    m_eventStorage->Set(kWakeFlag);
    auto notifyTask = std::make_unique<MV::Task>();
    if (const int error = notifyTask->Start(&OSCHelper::NotifyTask, this, "osc-notify");
        error != 0) {
        std::printf("MPCreateTask returned %d\n", error);
        std::fflush(stdout);
        return;
    }
    m_notifyTask = std::move(notifyTask);
    // Changes queued while there was no task go out now.
    m_notifyEventStorage->Set(kWakeFlag);
}

void OSCHelper::DestroyTask() {
    // No start may come after this: none is waiting on the timer thread, and a port set from
    // now on asks for none.
    m_tasksEnabled.store(false, std::memory_order_release);
    m_startTasks->Cancel();
    const std::lock_guard lock(m_taskLock);
    if (m_task == nullptr) {
        return;
    }
    m_quitRequested.store(true);
    // A script call of the receive task stops at its next instruction hook.
    m_receiveCaller->stop.store(true);
    RequestBreak();
    m_eventStorage->Set(kQuitFlag);
    m_notifyEventStorage->Set(kQuitFlag);

    if (!m_task->WaitForEnd(*m_taskDone, kShutdownTimeoutMs)) {
        PrintLine("OSC: DestroyTask timeout on shutdown");
        // Outside a script the task is only slow (a loaded machine, a slow publication): it
        // ends soon, and must be waited for, as it still uses this server's socket and
        // events. Only a system call inside a script (a name look-up, a child process) can keep
        // it for good, and none can be interrupted.
        bool ended = false;
        while (!ended && m_receiveCaller->entries.load(std::memory_order_acquire) == 0) {
            ended = m_task->WaitForEnd(*m_taskDone, kAbandonGraceMs);
        }
        // That task is let go: when the call comes back it parks for good instead of
        // returning into this server, and the interpreter it is in stays alive for it. The
        // socket is closed here, so the port is free again.
        if (!ended) {
            m_receiveCaller->abandoned.store(true, std::memory_order_release);
        }
        if (!ended && !m_task->WaitForEnd(*m_taskDone, kAbandonGraceMs)) {
            m_task->Terminate();
            std::unique_ptr<ReceiveSocket> socket;
            {
                std::lock_guard lock(m_socketLock);
                socket = std::move(m_receiveSocket);
            }
            socket.reset();
            UnpublishBonjourService();
            m_listening.store(false);
            m_boundPort.store(0, std::memory_order_release);
        }
    }
    // The notification task stops between two packets, so it never keeps us long.
    if (m_notifyTask != nullptr && !m_notifyTask->WaitForEnd(*m_notifyDone, kShutdownTimeoutMs)) {
        PrintLine("OSC: DestroyTask timeout on shutdown (notify)");
        m_notifyTask->WaitForEnd(*m_notifyDone, kWaitForever);
    }
    m_task.reset();
    m_notifyTask.reset();
    m_tasksRunning.store(false, std::memory_order_release);
}

int OSCHelper::Task(void* parameter) {
    static_cast<OSCHelper*>(parameter)->TaskMain();
    return 0;
}

int OSCHelper::NotifyTask(void* parameter) {
    static_cast<OSCHelper*>(parameter)->NotifyTaskMain();
    return 0;
}

void OSCHelper::TaskMain() {
    // Kept by this thread for its whole life: a server that lets it go still sets the flags.
    const std::shared_ptr<LuaMIDIHelper::CallerFlags> flags = m_receiveCaller;
    m_receiveThread.store(std::this_thread::get_id());
    EventGroup& event = *m_eventStorage;
    for (;;) {
        const std::uint32_t flags = event.Wait(kWaitForever);
        if ((flags & kQuitFlag) != 0) {
            break;
        }
        if ((flags & kWakeFlag) != 0) {
            Listen();
        }
    }
    m_taskDone->Signal();
}

void OSCHelper::Listen() {
    // Cleared before the port is read: a SetPort after this point breaks the loop below.
    m_breakRequested.store(false);
    const SInt32 port = m_port.load();
    m_boundPort.store(0, std::memory_order_release);
    if (port == 0 || m_quitRequested.load()) {
        return;
    }
    try {
        if (port < 0 || port > 65535) {
            throw std::runtime_error("port " + std::to_string(port) + " is not a UDP port");
        }
        std::string bindText;
        unsigned long bindAddress = IpEndpointName::ANY_ADDRESS;
        bool bindValid = true;
        {
            std::lock_guard lock(m_bindLock);
            bindText = m_bindAddress;
            bindAddress = m_bindIP;
            bindValid = m_bindAddressValid;
        }
        if (!bindValid) {
            throw std::runtime_error("OSC Bind Address '" + bindText +
                                     "' is not an IPv4 address of this computer");
        }
        auto socket = std::make_unique<ReceiveSocket>(*this, IpEndpointName(bindAddress, port));
        {
            std::lock_guard lock(m_socketLock);
            m_receiveSocket = std::move(socket);
        }
        {
            std::lock_guard lock(m_bindLock);
            m_boundAddress = bindAddress;
        }
        m_boundPort.store(port, std::memory_order_release);
        PublishBonjourService();
        for (;;) {
            m_listening.store(true);
            m_mux.Run();
            m_listening.store(false);
            // A request for the port already served (a preset or the reapply property sets the
            // same offset again) keeps the socket and its publication.
            m_breakRequested.store(false);
            if (m_quitRequested.load() || m_port.load() != port) {
                break;
            }
        }
    } catch (const std::runtime_error& error) {
        m_listening.store(false);
        PrintLine("std::runtime_error in TaskMain(): " + LineText(error.what()));
    } catch (const osc::Exception& error) {
        m_listening.store(false);
        PrintLine(std::string("osc::Exception in TaskMain(): ") + LineText(error.what()));
    }
    UnpublishBonjourService();
    std::unique_ptr<ReceiveSocket> socket;
    {
        std::lock_guard lock(m_socketLock);
        socket = std::move(m_receiveSocket);
    }
    socket.reset();
    m_boundPort.store(0, std::memory_order_release);
}

LuaMIDIHelper::CallerFlags* OSCHelper::ReceiveTaskFlags() const {
    return std::this_thread::get_id() == m_receiveThread.load() ? m_receiveCaller.get() : nullptr;
}

void OSCHelper::RequestBreak() {
    m_breakRequested.store(true);
    // Only while the loop runs: break requests written while it does not would pile up in
    // the library's wake-up pipe.
    if (m_listening.load()) {
        m_mux.AsynchronousBreak();
    }
}

// The render thread may move the port (automation, a MIDI script), so these only store the
// port and raise event flags; breaking the receive loop writes to a pipe, which the
// notification task does on their behalf.
void OSCHelper::SetPort(SInt32 port) {
    m_port.store(port);
    if (EventGroup* notify = m_notifyEvent.load(std::memory_order_acquire)) {
        notify->Set(kPortFlag);
    }
    if (EventGroup* event = m_event.load(std::memory_order_acquire)) {
        event->Set(kWakeFlag);
    }
    // The tasks are started on the timer thread: this may be the render thread.
    if (port != 0 && m_tasksEnabled.load(std::memory_order_acquire) &&
        !m_tasksRunning.load(std::memory_order_acquire)) {
        m_startTasks->Post();
    }
}

void OSCHelper::Disable() {
    m_port.store(0);
    if (EventGroup* notify = m_notifyEvent.load(std::memory_order_acquire)) {
        notify->Set(kPortFlag);
    }
}

void OSCHelper::ProcessPacket(const char* data, int size, const IpEndpointName& remoteEndpoint) {
    // The library's loop would end on the first error that leaves here; every packet is
    // caught on its own instead, so that nothing anybody sends stops the server.
    try {
        CheckSizes(data, std::size_t(std::max(size, 0)));
        osc::OscPacketListener::ProcessPacket(data, size, remoteEndpoint);
    } catch (const osc::Exception& error) {
        PrintLine(std::string("osc::Exception in TaskMain(): ") + LineText(error.what()));
    } catch (const OSCMessageError& error) {
        PrintLine(std::string("osc::Exception in TaskMain(): ") + LineText(error.what()));
    } catch (const std::exception& error) {
        PrintLine("std::runtime_error in TaskMain(): " + LineText(error.what()));
    }
}

namespace {

// Where the library takes the string at p to end (it looks for the terminating NUL only at
// the last byte of each word), or null when it runs past end. p is word-aligned.
const char* StringEnd(const char* p, const char* end) {
    if (p >= end) {
        return nullptr;
    }
    if (p[0] == '\0') {
        return p + 4;
    }
    p += 3;
    while (p < end && *p != '\0') {
        p += 4;
    }
    return p < end ? p + 1 : nullptr;
}

std::uint32_t BigEndian32(const char* p) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(p);
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
           std::uint32_t(bytes[2]) << 8 | std::uint32_t(bytes[3]);
}

} // namespace

void OSCHelper::CheckSizes(const char* data, std::size_t size) {
    const char* end = data + size;
    if (size % 4 != 0) {
        return; // the library refuses it
    }
    if (size >= 8 && std::memcmp(data, "#bundle", 8) == 0) {
        for (const char* p = data + 16; size >= 16 && p < end;) {
            if (end - p < 4) {
                throw osc::MalformedBundleException("packet too short for elementSize");
            }
            const std::uint32_t elementSize = BigEndian32(p);
            if (elementSize % 4 != 0 || elementSize > std::size_t(end - p - 4)) {
                throw osc::MalformedBundleException("bundle element size exceeds bundle");
            }
            CheckSizes(p + 4, elementSize);
            p += 4 + elementSize;
        }
        return;
    }
    const char* tags = StringEnd(data, end);
    if (tags == nullptr || tags == end || *tags != ',') {
        return;
    }
    const char* argument = StringEnd(tags, end);
    if (argument == nullptr) {
        return;
    }
    // Everything but blobs the library checks itself; it only reads their sizes.
    for (const char* tag = tags + 1; *tag != '\0'; ++tag) {
        switch (*tag) {
        case osc::INT32_TYPE_TAG:
        case osc::FLOAT_TYPE_TAG:
        case osc::CHAR_TYPE_TAG:
        case osc::RGBA_COLOR_TYPE_TAG:
        case osc::MIDI_MESSAGE_TYPE_TAG:
            if (end - argument < 4) {
                return;
            }
            argument += 4;
            break;
        case osc::INT64_TYPE_TAG:
        case osc::TIME_TAG_TYPE_TAG:
        case osc::DOUBLE_TYPE_TAG:
            if (end - argument < 8) {
                return;
            }
            argument += 8;
            break;
        case osc::STRING_TYPE_TAG:
        case osc::SYMBOL_TYPE_TAG:
            argument = StringEnd(argument, end);
            if (argument == nullptr) {
                return;
            }
            break;
        case osc::BLOB_TYPE_TAG: {
            if (end - argument < 4) {
                throw osc::MalformedMessageException("arguments exceed message size");
            }
            const std::size_t padded = (std::size_t(BigEndian32(argument)) + 3) & ~std::size_t(3);
            if (padded > std::size_t(end - argument - 4)) {
                throw osc::MalformedMessageException("arguments exceed message size");
            }
            argument += 4 + padded;
            break;
        }
        case osc::TRUE_TYPE_TAG:
        case osc::FALSE_TYPE_TAG:
        case osc::NIL_TYPE_TAG:
        case osc::INFINITUM_TYPE_TAG:
        case osc::ARRAY_BEGIN_TYPE_TAG:
        case osc::ARRAY_END_TYPE_TAG:
            break;
        default:
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Publication

void OSCHelper::PublishBonjourService() {
    char version[32];
    std::snprintf(version, sizeof version, " %d.%d.%d", kVersionMajor, kVersionMinor, kVersionDot);
    std::string name = m_oscName + version;
    if (const std::string computer = ComputerName(); !computer.empty()) {
        name += " on " + computer;
    }
    auto service = ZeroconfService::Publish(name, "_osc._udp", m_boundPort.load());
    std::lock_guard lock(m_serviceLock);
    m_netService = std::move(service);
}

void OSCHelper::UnpublishBonjourService() {
    std::unique_ptr<ZeroconfService> service;
    {
        std::lock_guard lock(m_serviceLock);
        service = std::move(m_netService);
    }
}

std::string OSCHelper::PublishedServiceName() const {
    std::lock_guard lock(m_serviceLock);
    return m_netService != nullptr ? m_netService->Name() : std::string();
}

// ---------------------------------------------------------------------------------------------
// Notifications

void OSCHelper::NotifySetParam(SInt32 id, Float32 value) {
    if (id < 0 || id >= m_numUpdateFlags.load(std::memory_order_acquire) ||
        m_updateFlags[std::size_t(id)].load(std::memory_order_relaxed) == 0) {
        return;
    }
    bool readerMaySleep = false;
    // A refused change wakes the task too, so that it reports the overflow.
    if (!m_setParamQueue.Write(id, value, &readerMaySleep) || readerMaySleep) {
        if (EventGroup* event = m_notifyEvent.load(std::memory_order_acquire)) {
            event->Set(kWakeFlag);
        }
    }
}

void OSCHelper::NotifyTaskMain() {
    EventGroup& event = *m_notifyEventStorage;
    for (;;) {
        const std::uint32_t flags = event.Wait(kWaitForever);
        if ((flags & kQuitFlag) != 0) {
            break;
        }
        if ((flags & kPortFlag) != 0) {
            RequestBreak(); // the receive loop looks at the port again
        }
        SInt32 id = 0;
        Float32 value = 0.0f;
        while (!m_quitRequested.load() && m_setParamQueue.Read(id, value)) {
            std::lock_guard lock(m_registrationLock);
            const auto range = m_updateRegistrations.equal_range(id);
            for (auto it = range.first; it != range.second; ++it) {
                SendNotification(id, value, it->second);
            }
        }
        m_setParamQueue.ReportOverflows(stderr);
    }
    m_notifyDone->Signal();
}

void OSCHelper::SendNotification(SInt32 id, Float32 value, const UpdateRegistration& registration) {
    try {
        SendIntFloat(registration.endpoint, registration.path.c_str(), id, value);
    } catch (const std::exception& error) {
        PrintLine("OSC: notification to " + EndpointText(registration.endpoint) +
                  " failed: " + LineText(error.what()));
    }
}

void OSCHelper::SendIntFloat(const IpEndpointName& to, const char* path, SInt32 id, Float32 value) {
    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    packet << osc::BeginBundleImmediate << osc::BeginMessage(path) << osc::int32(id) << value
           << osc::EndMessage << osc::EndBundle;
    SendPacket(to, packet);
}

// ---------------------------------------------------------------------------------------------
// Observation

std::vector<std::string> OSCHelper::RecentMessages() const {
    std::lock_guard lock(m_recentLock);
    std::vector<std::string> list;
    for (int i = 0; i < kNumRecentMessages; ++i) {
        const int index = (m_recentIndex - i + kNumRecentMessages) % kNumRecentMessages;
        if (!m_recentMessages[std::size_t(index)].empty()) {
            list.push_back(m_recentMessages[std::size_t(index)]);
        }
    }
    return list;
}

std::vector<std::pair<SInt32, OSCHelper::UpdateRegistration>>
OSCHelper::UpdateRegistrations(SInt32 id) const {
    std::lock_guard lock(m_registrationLock);
    std::vector<std::pair<SInt32, UpdateRegistration>> list;
    for (const auto& [key, registration] : m_updateRegistrations) {
        if (id == -1 || key == id) {
            list.emplace_back(key, registration);
        }
    }
    return list;
}

bool OSCHelper::UpdateFlag(SInt32 id) const {
    return id >= 0 && id < m_numUpdateFlags.load(std::memory_order_acquire) &&
           m_updateFlags[std::size_t(id)].load(std::memory_order_relaxed) != 0;
}

} // namespace MV
