#include "OscTestSupport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include <osc/OscReceivedElements.h>

#include "AudioUnitAPI.h"
#include "FileLocations.h"
#include "MrvnFluxet.h"
#include "Preferences.h"

namespace MV::test {

namespace {

sockaddr_in SocketAddress(int port, in_addr_t host = INADDR_LOOPBACK) {
    return sockaddr_in{AF_INET, htons(std::uint16_t(port)), {htonl(host)}, {}};
}

struct Word {
    std::string operator()(std::monostate) const { return "nil"; }
    std::string operator()(bool value) const { return value ? "true" : "false"; }
    std::string operator()(const std::string& value) const { return value; }
    template <class Number> std::string operator()(Number value) const {
        char text[32];
        return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
    }
};

} // namespace

MessageBuilder::MessageBuilder(const char* address)
    : m_buffer(4096), m_stream(m_buffer.data(), m_buffer.size()) {
    m_stream << osc::BeginMessage(address);
}

Packet MessageBuilder::Finish() {
    m_stream << osc::EndMessage;
    return Packet(m_stream.Data(), m_stream.Data() + m_stream.Size());
}

Packet Bundle(std::initializer_list<Packet> elements) {
    Packet packet = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0', 0, 0, 0, 0, 0, 0, 0, 1};
    for (const Packet& element : elements) {
        for (const int shift : {24, 16, 8, 0}) {
            packet.push_back(char(std::uint32_t(element.size()) >> shift));
        }
        packet.insert(packet.end(), element.begin(), element.end());
    }
    return packet;
}

std::optional<OscReply> DecodeReply(const Packet& packet) {
    try {
        const osc::ReceivedPacket received(packet.data(), packet.size());
        OscReply reply;
        reply.inBundle = received.IsBundle();
        const osc::ReceivedMessage message = [&] {
            if (!received.IsBundle()) {
                return osc::ReceivedMessage(received);
            }
            const osc::ReceivedBundle bundle(received);
            if (bundle.ElementCount() != 1 || bundle.ElementsBegin()->IsBundle()) {
                throw osc::Exception("not a single message");
            }
            return osc::ReceivedMessage(*bundle.ElementsBegin());
        }();
        reply.address = message.AddressPattern();
        for (auto arg = message.ArgumentsBegin(); arg != message.ArgumentsEnd(); ++arg) {
            reply.types.push_back(arg->TypeTag());
            reply.args.push_back(arg->IsInt32()    ? OscValue(std::int32_t(arg->AsInt32()))
                                 : arg->IsFloat()  ? OscValue(arg->AsFloat())
                                 : arg->IsString() ? OscValue(std::string(arg->AsString()))
                                 : arg->IsBool()   ? OscValue(arg->AsBool())
                                                   : OscValue());
        }
        return reply;
    } catch (const osc::Exception&) {
        return std::nullopt;
    }
}

std::string Text(const std::optional<OscReply>& reply) {
    if (!reply) {
        return "(nothing)";
    }
    std::string text = (reply->inBundle ? "#bundle " : "") + reply->address + " ," + reply->types;
    for (const OscValue& value : reply->args) {
        text += " " + std::visit(Word{}, value);
    }
    return text;
}

OscTestClient::OscTestClient() : m_socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = SocketAddress(0);
    socklen_t length = sizeof address;
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    }
    const int bufferSize = 1 << 20; // room for bursts ("/getAll", notification storms)
    setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    m_port = ntohs(address.sin_port);
}

OscTestClient::~OscTestClient() {
    close(m_socket);
}

void OscTestClient::Send(int serverPort, const Packet& packet) const {
    const sockaddr_in to = SocketAddress(serverPort);
    sendto(m_socket, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof to);
}

std::optional<Packet> OscTestClient::Receive(int timeoutMs) const {
    pollfd ready{m_socket, POLLIN, 0};
    Packet packet(65536);
    const ssize_t size =
        poll(&ready, 1, timeoutMs) > 0 ? recv(m_socket, packet.data(), packet.size(), 0) : -1;
    packet.resize(std::size_t(std::max<ssize_t>(size, 0)));
    return size >= 0 ? std::optional(packet) : std::nullopt;
}

bool PingRoundTrip(const OscTestClient& client, int serverPort, int timeoutMs) {
    client.Send(serverPort, Message("/ping", client.Address(), "/pong"));
    for (std::optional<Packet> reply; (reply = client.Receive(timeoutMs));) {
        if (const std::optional<OscReply> pong = DecodeReply(*reply);
            pong && pong->address == "/pong") {
            return true;
        }
    }
    return false;
}

bool IsUdpPortFree(int port) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = SocketAddress(port, INADDR_ANY);
    const bool free = bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return free;
}

// The first port the system hands to sockets that bind none (every client's): a block found
// free above it may be taken by one of them before the server binds it.
int FirstEphemeralPort() {
    std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
    int first = 0;
    return range >> first && first > 20000 + 256 ? first : 32768;
}

int FindFreeBasePort(std::initializer_list<int> offsets) {
    const char* configured = std::getenv("FLUXET_TEST_OSC_BASE_PORT");
    const int start = configured != nullptr ? std::atoi(configured) : 0;
    std::mt19937 generator(std::random_device{}());
    const auto choices = unsigned(FirstEphemeralPort() - 128 - 20000);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int base = start > 0 ? start + attempt * 128 : 20000 + int(generator() % choices);
        bool free = base < 65000;
        for (const int offset : offsets) {
            free = free && IsUdpPortFree(base + offset);
        }
        if (free) {
            return base;
        }
    }
    throw std::runtime_error("no free block of UDP ports");
}

// exec keeps the shell's $$ as the program's pid.
Child::Child(const std::string& command)
    : m_pipe(popen(("echo $$; exec " + command).c_str(), "r")) {
    char pid[32] = "";
    m_pid = m_pipe != nullptr && std::fgets(pid, sizeof pid, m_pipe) ? std::atoi(pid) : -1;
}

Child::~Child() {
    if (m_pipe != nullptr) {
        kill(m_pid, SIGTERM);
        pclose(m_pipe);
    }
}

void Child::Signal(int signal) const {
    kill(m_pid, signal);
}

int Child::Wait() {
    // Read to the end: a program still writing into a closed pipe would end by SIGPIPE.
    while (ReadLine()) {
    }
    return pclose(std::exchange(m_pipe, nullptr));
}

bool Child::ReadLine() {
    char line[4096];
    if (std::fgets(line, sizeof line, m_pipe) == nullptr) {
        return false;
    }
    m_lines.emplace_back(line, std::strcspn(line, "\n"));
    return true;
}

std::size_t CountLines(const std::vector<std::string>& lines, const std::string& text) {
    return std::size_t(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
        return line.find(text) != std::string::npos;
    }));
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return CountLines(lines, text) != 0;
}

ListeningUnit::ListeningUnit(int offset, const std::string& scriptFolder)
    : m_basePort(FindFreeBasePort({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, offset})) {
    SetPrefInt(kPrefOSCBasePort, m_basePort);
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    // Only the given scripts, never the user's own.
    MV::SetScriptFolderOverride(scriptFolder.empty() ? m_preferences.Folder() : scriptFolder);
    m_host = std::make_unique<UnitHost>(kFluxetComponentDescription, &MrvnFluxetEntry);
    if (m_host->Configure(48000.0, 2, 512) != noErr || m_host->Initialize() != noErr ||
        (offset != 0 && !MoveTo(offset))) {
        throw std::runtime_error("the unit does not initialise or its OSC server does not listen");
    }
}

ListeningUnit::~ListeningUnit() {
    m_host.reset();
    MV::SetScriptFolderOverride({});
}

MrvnFluxet& ListeningUnit::Unit() {
    return m_host->Object<MrvnFluxet>();
}

bool ListeningUnit::MoveTo(int offset) {
    m_offset = offset;
    MV::OSCHelper& server = Unit().OSCServer();
    const int expected = offset == 0 ? 0 : m_basePort + offset;
    // Listening includes the publication (or the one line printed when it cannot be made).
    return m_host->SetParameter(kParam_OSCPortOffset, float(offset)) == noErr && WaitUntil([&] {
               return server.BoundPort() == expected &&
                      (expected == 0) == server.PublishedServiceName().empty();
           });
}

} // namespace MV::test
