// The OSC address space: what each packet does and what the server answers.
#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <ip/UdpSocket.h>
#include <osc/OscOutboundPacketStream.h>
#include <osc/OscPrintReceivedElements.h>

#include "AUBase.h"
#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "OSCOutput.h"

namespace MV {

namespace {

constexpr const char kMRVNPrefix[] = "/mrvn/";
constexpr std::size_t kMRVNPrefixLength = sizeof kMRVNPrefix - 1;
constexpr const char kTouchFramePrefix[] = "/t3d/frm";
constexpr const char kTouchPrefix[] = "/t3d/tch";
constexpr std::size_t kT3DPrefixLength = 8;
constexpr std::size_t kMaxInfoNameLength = 255;

void PrintMessageError(const char* address, const char* text) {
    PrintLine(std::string("error while parsing message: ") + address + ": " + LineText(text));
}

bool StartsWith(const char* text, const char* prefix, std::size_t length) {
    return std::strncmp(text, prefix, length) == 0;
}

// A whole segment of decimal digits that fits a 32-bit signed integer.
bool ParseDecimal(const std::string& text, SInt32& outValue) {
    if (text.empty() || text.size() > 10) {
        return false;
    }
    long long value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > INT_MAX) {
        return false;
    }
    outValue = SInt32(value);
    return true;
}

std::string AsciiName(const char* name) {
    std::string text;
    for (const char* c = name; *c != '\0' && text.size() < kMaxInfoNameLength; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        text.push_back(byte < 0x80 ? char(byte) : '?');
    }
    return text;
}

// The local address a socket uses to reach `remote`: a probe socket is bound to an ephemeral
// port and asked, so the listening socket is never connected (it would stop hearing others).
unsigned long LocalAddressFor(const IpEndpointName& remote) {
    UdpSocket probe;
    probe.Bind(IpEndpointName());
    return probe.LocalEndpointFor(IpEndpointName(remote.address, remote.port > 0 ? remote.port : 9))
        .address;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Dispatch

void OSCHelper::ProcessMessage(const osc::ReceivedMessage& message,
                               const IpEndpointName& remoteEndpoint) {
    try {
        DispatchMessage(message, remoteEndpoint);
    } catch (const osc::Exception& error) {
        PrintMessageError(message.AddressPattern(), error.what());
    } catch (const OSCMessageError& error) {
        PrintMessageError(message.AddressPattern(), error.what());
    }
}

void OSCHelper::ProcessMessage(const char* /*address*/, const osc::ReceivedMessage& /*message*/,
                               const IpEndpointName& /*remoteEndpoint*/) {}

bool OSCHelper::isParameterUsed(SInt32 /*id*/) {
    return true;
}

void OSCHelper::DispatchMessage(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    AddToRecentList(message);
    const char* address = message.AddressPattern();
    if (StartsWith(address, kMRVNPrefix, kMRVNPrefixLength)) {
        ProcessMRVNMessage(message, &OSCHelper::HandleMRVNStep);
        return;
    }
    // Script registrations come before the fixed addresses, so a script may take one over.
    if (ApplyParameterPath(address, message) || CallFunctionPath(address, message) ||
        ProcessFixedAddress(address, message, remote)) {
        return;
    }
    ProcessMessage(address, message, remote);
}

void OSCHelper::AddToRecentList(const osc::ReceivedMessage& message) {
    std::ostringstream text;
    text << message;
    std::lock_guard lock(m_recentLock);
    m_recentIndex = (m_recentIndex + 1) % kNumRecentMessages;
    m_recentMessages[std::size_t(m_recentIndex)] = text.str();
}

bool OSCHelper::ApplyParameterPath(const std::string& address,
                                   const osc::ReceivedMessage& message) {
    std::vector<std::vector<RegisteredPathParam>> registrations;
    {
        std::lock_guard lock(m_pathLock);
        const auto range = m_parameterPaths.equal_range(address);
        for (auto it = range.first; it != range.second; ++it) {
            registrations.push_back(it->second);
        }
    }
    if (registrations.empty()) {
        return false;
    }
    const std::size_t count = registrations.front().size();
    std::vector<Float32> values(count);
    osc::ReceivedMessageArgumentStream args = message.ArgumentStream();
    for (Float32& value : values) {
        args >> value;
    }
    args >> osc::EndMessage;
    for (const auto& slots : registrations) {
        for (std::size_t k = 0; k < count && k < slots.size(); ++k) {
            const Float32 scaled = slots[k].paramScale * values[k];
            SetParameterNotifying(slots[k].id, scaled + slots[k].paramOffset);
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Fixed addresses

bool OSCHelper::ProcessFixedAddress(const char* address, const osc::ReceivedMessage& message,
                                    const IpEndpointName& remote) {
    struct FixedAddress {
        const char* address;
        Handler handler;
    };
    static constexpr FixedAddress kFixedAddresses[] = {
        {"/ping", &OSCHelper::HandlePing},
        {"/set", &OSCHelper::HandleSet},
        {"/get", &OSCHelper::HandleGet},
        {"/getAll", &OSCHelper::HandleGetAll},
        {"/getAllRegistered", &OSCHelper::HandleGetAllRegistered},
        {"/getNumParameters", &OSCHelper::HandleGetNumParameters},
        {"/isParameterUsed", &OSCHelper::HandleIsParameterUsed},
        {"/getInfo", &OSCHelper::HandleGetInfo},
        {"/registerUpdate", &OSCHelper::HandleRegisterUpdate},
        {"/unregisterUpdate", &OSCHelper::HandleUnregisterUpdate},
        {"/exec", &OSCHelper::HandleExec},
        {"/call", &OSCHelper::HandleCall},
        {"/startNote", &OSCHelper::HandleStartNote},
        {"/stopNote", &OSCHelper::HandleStopNote},
    };
    for (const FixedAddress& fixed : kFixedAddresses) {
        if (std::strcmp(address, fixed.address) == 0) {
            (this->*fixed.handler)(message, remote);
            return true;
        }
    }
    return false;
}

void OSCHelper::CheckParameterId(SInt32 id, const char* operation) const {
    if (id < 0 || id >= m_numParameters) {
        throw OSCMessageError(std::string("parameter id out of range in ") + operation);
    }
}

Float32 OSCHelper::ParameterValue(SInt32 id) const {
    AudioUnitParameterValue value = 0.0f;
    AudioUnitGetParameter(m_effect->GetComponentInstance(), AudioUnitParameterID(id),
                          kAudioUnitScope_Global, 0, &value);
    return value;
}

void OSCHelper::SetParameterNotifying(SInt32 id, Float32 value) {
    const AudioUnitParameter parameter{m_effect->GetComponentInstance(), AudioUnitParameterID(id),
                                       kAudioUnitScope_Global, 0};
    AUParameterSet(nullptr, nullptr, &parameter, value, 0);
}

IpEndpointName OSCHelper::ReplyEndpoint(const char* replyAddress,
                                        const IpEndpointName& remote) const {
    const IpEndpointName endpoint = ParseReplyAddress(replyAddress);
    // Otherwise anybody could aim the server's answers and notifications at a third party.
    if (!m_replyToOtherHosts.load() && endpoint.address != remote.address) {
        throw OSCMessageError("reply address is not the sender's address");
    }
    return endpoint;
}

void OSCHelper::HandlePing(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> replyAddress >> replyPath >> osc::EndMessage;
    const IpEndpointName to = ReplyEndpoint(replyAddress, remote);

    unsigned long ownAddress = IpEndpointName::ANY_ADDRESS;
    {
        std::lock_guard lock(m_bindLock);
        ownAddress = m_boundAddress;
    }
    if (ownAddress == IpEndpointName::ANY_ADDRESS) {
        ownAddress = LocalAddressFor(to);
    }
    const std::string url =
        "osc.udp://" + EndpointText(IpEndpointName(ownAddress, m_boundPort.load()));
    char version[32];
    std::snprintf(version, sizeof version, " %d.%d.%d", kVersionMajor, kVersionMinor, kVersionDot);
    const std::string name = m_oscName + version;

    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath) << url.c_str()
           << name.c_str() << osc::EndMessage << osc::EndBundle;
    SendPacket(to, packet);
}

void OSCHelper::HandleSet(const osc::ReceivedMessage& message, const IpEndpointName& /*remote*/) {
    osc::int32 id = 0;
    Float32 value = 0.0f;
    message.ArgumentStream() >> id >> value >> osc::EndMessage;
    CheckParameterId(id, "set");
    SetParameterNotifying(id, value);
}

void OSCHelper::HandleGet(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    osc::int32 id = 0;
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> id >> replyAddress >> replyPath >> osc::EndMessage;
    CheckParameterId(id, "get");
    SendIntFloat(ReplyEndpoint(replyAddress, remote), replyPath, id, ParameterValue(id));
}

void OSCHelper::HandleGetAll(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> replyAddress >> replyPath >> osc::EndMessage;
    UdpTransmitSocket socket(ReplyEndpoint(replyAddress, remote));
    for (SInt32 id = 0; id < m_numParameters; ++id) {
        if (!isParameterUsed(id)) {
            continue;
        }
        PacketBuffer buffer;
        osc::OutboundPacketStream packet(buffer.data(), buffer.size());
        packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath) << osc::int32(id)
               << ParameterValue(id) << osc::EndMessage << osc::EndBundle;
        socket.Send(packet.Data(), packet.Size());
    }
}

void OSCHelper::HandleGetAllRegistered(const osc::ReceivedMessage& message,
                                       const IpEndpointName& /*remote*/) {
    message.ArgumentStream() >> osc::EndMessage;
    // Ordered by id, and by registration within one id.
    for (const auto& [id, registration] : UpdateRegistrations(-1)) {
        SendIntFloat(registration.endpoint, registration.path.c_str(), id, ParameterValue(id));
    }
}

void OSCHelper::HandleGetNumParameters(const osc::ReceivedMessage& message,
                                       const IpEndpointName& remote) {
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> replyAddress >> replyPath >> osc::EndMessage;
    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath)
           << osc::int32(m_numParameters) << osc::EndMessage << osc::EndBundle;
    SendPacket(ReplyEndpoint(replyAddress, remote), packet);
}

void OSCHelper::HandleIsParameterUsed(const osc::ReceivedMessage& message,
                                      const IpEndpointName& remote) {
    osc::int32 id = 0;
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> id >> replyAddress >> replyPath >> osc::EndMessage;
    CheckParameterId(id, "isParameterUsed");
    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath) << id << isParameterUsed(id)
           << osc::EndMessage << osc::EndBundle;
    SendPacket(ReplyEndpoint(replyAddress, remote), packet);
}

void OSCHelper::HandleGetInfo(const osc::ReceivedMessage& message, const IpEndpointName& remote) {
    osc::int32 id = 0;
    const char* replyAddress = nullptr;
    const char* replyPath = nullptr;
    message.ArgumentStream() >> id >> replyAddress >> replyPath >> osc::EndMessage;
    CheckParameterId(id, "getInfo");
    if (!isParameterUsed(id)) {
        throw OSCMessageError("parameter id is unused");
    }
    const MrvnParamInfo& info = m_paramInfo[id];
    const std::string name = AsciiName(info.name);
    PacketBuffer buffer;
    osc::OutboundPacketStream packet(buffer.data(), buffer.size());
    packet << osc::BeginBundleImmediate << osc::BeginMessage(replyPath) << id << info.minValue
           << info.maxValue << info.defaultValue << name.c_str() << osc::int32(info.unit)
           << osc::EndMessage << osc::EndBundle;
    SendPacket(ReplyEndpoint(replyAddress, remote), packet);
}

void OSCHelper::HandleRegisterUpdate(const osc::ReceivedMessage& message,
                                     const IpEndpointName& remote) {
    osc::int32 id = 0;
    const char* replyAddress = nullptr;
    const char* path = nullptr;
    message.ArgumentStream() >> id >> replyAddress >> path >> osc::EndMessage;
    CheckParameterId(id, "registerUpdate");
    // A path whose notifications would not fit a packet is refused now, not at every change.
    {
        PacketBuffer buffer;
        osc::OutboundPacketStream probe(buffer.data(), buffer.size());
        probe << osc::BeginBundleImmediate << osc::BeginMessage(path) << id << 0.0f
              << osc::EndMessage << osc::EndBundle;
    }
    const IpEndpointName endpoint = ReplyEndpoint(replyAddress, remote);
    std::lock_guard lock(m_registrationLock);
    const auto range = m_updateRegistrations.equal_range(id);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.endpoint == endpoint && it->second.path == path) {
            return;
        }
    }
    // Anybody on the network may register: bounds keep one sender from filling the memory,
    // or from making every change a flood of packets.
    if (m_updateRegistrations.size() >= kMaxUpdateRegistrations) {
        throw OSCMessageError("too many update registrations");
    }
    const auto fromSender =
        std::count_if(m_updateRegistrations.begin(), m_updateRegistrations.end(),
                      [&](const auto& entry) { return entry.second.sender == remote.address; });
    if (std::size_t(fromSender) >= kMaxUpdateRegistrationsPerSender) {
        throw OSCMessageError("too many update registrations from this address");
    }
    m_updateRegistrations.emplace(id, UpdateRegistration{endpoint, path, remote.address});
    m_updateFlags[std::size_t(id)].store(1, std::memory_order_relaxed);
}

void OSCHelper::HandleUnregisterUpdate(const osc::ReceivedMessage& message,
                                       const IpEndpointName& remote) {
    osc::int32 id = 0;
    const char* replyAddress = nullptr;
    const char* path = nullptr;
    message.ArgumentStream() >> id >> replyAddress >> path >> osc::EndMessage;
    CheckParameterId(id, "unregisterUpdate");
    const IpEndpointName endpoint = ReplyEndpoint(replyAddress, remote);
    std::lock_guard lock(m_registrationLock);
    const auto range = m_updateRegistrations.equal_range(id);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.endpoint == endpoint && it->second.path == path) {
            m_updateRegistrations.erase(it);
            break;
        }
    }
    if (m_updateRegistrations.count(id) == 0) {
        m_updateFlags[std::size_t(id)].store(0, std::memory_order_relaxed);
    }
}

// ---------------------------------------------------------------------------------------------
// "/mrvn/" addresses

void OSCHelper::HandleMRVNStep(const MrvnOSCMessage& record, Float32 value) {
    MrvnInstanceTracker::HandleMRVNMessage(record, value);
}

void OSCHelper::ProcessMRVNMessage(const osc::ReceivedMessage& message,
                                   const MRVNStepHandler& step) {
    const char* address = message.AddressPattern();
    const auto fail = [address]() { throw OSCMessageError(address); };

    // The segments after the prefix; names handed to the tracker point into this list.
    std::vector<std::string> segments;
    {
        std::string rest = address + kMRVNPrefixLength;
        std::size_t start = 0;
        for (;;) {
            const std::size_t slash = rest.find('/', start);
            segments.push_back(rest.substr(start, slash - start));
            if (slash == std::string::npos) {
                break;
            }
            start = slash + 1;
        }
    }
    std::size_t next = 0;
    bool multi = false;
    if (!segments.empty() && !segments[0].empty() && segments[0][0] == '+') {
        if (segments[0] != "+multi1") {
            fail();
        }
        multi = true;
        ++next;
    }
    const auto take = [&]() -> const std::string& {
        if (next >= segments.size() || segments[next].empty()) {
            fail();
        }
        return segments[next++];
    };
    const auto startsWithDigit = [](const std::string& s) {
        return std::isdigit(static_cast<unsigned char>(s[0])) != 0;
    };

    osc::ReceivedMessageArgumentStream args = message.ArgumentStream();
    do {
        MrvnOSCMessage record{nullptr, 0, nullptr, -1, 0};
        const std::string& instance = take();
        if (startsWithDigit(instance)) {
            if (!ParseDecimal(instance, record.instanceNumber)) {
                fail();
            }
        } else {
            record.instanceName = instance.c_str();
            const std::string& number = take();
            if (number == "*") {
                record.instanceNumber = -1;
            } else if (!ParseDecimal(number, record.instanceNumber)) {
                fail();
            }
        }
        const std::string& parameter = take();
        if (startsWithDigit(parameter)) {
            if (!ParseDecimal(parameter, record.parameterIndex)) {
                fail();
            }
        } else {
            record.parameterName = parameter.c_str();
        }
        if (multi) {
            SInt32 k = 0;
            if (!ParseDecimal(take(), k)) {
                fail();
            }
            record.parameterOffset = k - 1;
        }
        Float32 value = 0.0f;
        args >> value;
        step(record, value);
    } while (next < segments.size());
}

// ---------------------------------------------------------------------------------------------
// Bundles and touch frames

void OSCHelper::ProcessBundle(const osc::ReceivedBundle& bundle,
                              const IpEndpointName& remoteEndpoint) {
    if (bundle.ElementCount() > 0) {
        const osc::ReceivedBundleElement first = *bundle.ElementsBegin();
        if (!first.IsBundle() && StartsWith(osc::ReceivedMessage(first).AddressPattern(),
                                            kTouchFramePrefix, kT3DPrefixLength)) {
            ProcessT3DBundle(bundle);
            return;
        }
    }
    // Time tags are not honoured: everything runs at once, in order.
    for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
        if (element->IsBundle()) {
            ProcessBundle(osc::ReceivedBundle(*element), remoteEndpoint);
        } else {
            ProcessMessage(osc::ReceivedMessage(*element), remoteEndpoint);
        }
    }
}

void OSCHelper::ProcessT3DBundle(const osc::ReceivedBundle& bundle) {
    try {
        for (auto element = bundle.ElementsBegin(); element != bundle.ElementsEnd(); ++element) {
            if (element->IsBundle()) {
                continue;
            }
            const osc::ReceivedMessage message(*element);
            const char* address = message.AddressPattern();
            if (!StartsWith(address, kTouchPrefix, kT3DPrefixLength)) {
                continue;
            }
            const long touch = std::strtol(address + kT3DPrefixLength, nullptr, 10);
            if (touch < 1 || touch > kNumSoundplaneTouches) {
                continue;
            }
            Float32 a = 0.0f, b = 0.0f, c = 0.0f, d = 0.0f;
            message.ArgumentStream() >> a >> b >> c >> d;
            SoundplaneTouch& record = gSoundplaneData[touch - 1];
            record.values[0].store(a, std::memory_order_relaxed);
            record.values[1].store(b, std::memory_order_relaxed);
            record.values[2].store(c, std::memory_order_relaxed);
            record.values[3].store(d, std::memory_order_relaxed);
            record.active.store(c > 0.0f ? 1 : 0, std::memory_order_relaxed);
            AddToRecentList(message);
        }
    } catch (const osc::Exception& error) {
        PrintLine(std::string("error while parsing message: ") + LineText(error.what()));
    }
}

} // namespace MV
