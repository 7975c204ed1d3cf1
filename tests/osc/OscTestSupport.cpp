#include "OscTestSupport.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <osc/OscReceivedElements.h>

#include "AudioUnitAPI.h"
#include "FileLocations.h"
#include "MrvnFluxet.h"
#include "Preferences.h"

namespace MV::test {

namespace {

constexpr std::size_t kBuilderBufferSize = 4096;

void AppendMessage(const osc::ReceivedMessage& message, OscReply& reply) {
    reply.address = message.AddressPattern();
    for (auto arg = message.ArgumentsBegin(); arg != message.ArgumentsEnd(); ++arg) {
        reply.types.push_back(arg->TypeTag());
        if (arg->IsInt32()) {
            reply.args.emplace_back(std::int32_t(arg->AsInt32()));
        } else if (arg->IsFloat()) {
            reply.args.emplace_back(arg->AsFloat());
        } else if (arg->IsString()) {
            reply.args.emplace_back(std::string(arg->AsString()));
        } else if (arg->IsBool()) {
            reply.args.emplace_back(arg->AsBool());
        } else {
            reply.args.emplace_back(std::monostate{});
        }
    }
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(std::uint16_t(port));
    return address;
}

} // namespace

MessageBuilder::MessageBuilder(const char* address)
    : m_buffer(kBuilderBufferSize), m_stream(m_buffer.data(), m_buffer.size()) {
    m_stream << osc::BeginMessage(address);
}

Packet MessageBuilder::Finish() {
    m_stream << osc::EndMessage;
    return Packet(m_stream.Data(), m_stream.Data() + m_stream.Size());
}

Packet Bundle(std::initializer_list<Packet> elements) {
    Packet packet = {'#', 'b', 'u', 'n', 'd', 'l', 'e', '\0', 0, 0, 0, 0, 0, 0, 0, 1};
    for (const Packet& element : elements) {
        const auto size = std::uint32_t(element.size());
        for (const int shift : {24, 16, 8, 0}) {
            packet.push_back(char(size >> shift));
        }
        packet.insert(packet.end(), element.begin(), element.end());
    }
    return packet;
}

std::optional<OscReply> DecodeReply(const Packet& packet) {
    try {
        const osc::ReceivedPacket received(packet.data(), packet.size());
        OscReply reply;
        if (received.IsBundle()) {
            const osc::ReceivedBundle bundle(received);
            if (bundle.ElementCount() != 1 || bundle.ElementsBegin()->IsBundle()) {
                return std::nullopt;
            }
            reply.inBundle = true;
            AppendMessage(osc::ReceivedMessage(*bundle.ElementsBegin()), reply);
        } else {
            AppendMessage(osc::ReceivedMessage(received), reply);
        }
        return reply;
    } catch (const osc::Exception&) {
        return std::nullopt;
    }
}

OscTestClient::OscTestClient() {
    m_socket = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_socket < 0) {
        throw std::runtime_error("no UDP socket");
    }
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(m_socket);
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    }
    // Room for bursts of replies ("/getAll", notification storms).
    const int bufferSize = 1 << 20;
    setsockopt(m_socket, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    m_port = ntohs(address.sin_port);
}

OscTestClient::~OscTestClient() {
    close(m_socket);
}

std::string OscTestClient::Address() const {
    return "127.0.0.1:" + std::to_string(m_port);
}

void OscTestClient::Send(int serverPort, const Packet& packet) const {
    Send(serverPort, packet.data(), packet.size());
}

void OscTestClient::Send(int serverPort, const char* data, std::size_t size) const {
    const sockaddr_in to = Loopback(serverPort);
    sendto(m_socket, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
}

std::optional<Packet> OscTestClient::Receive(int timeoutMs) const {
    pollfd ready{m_socket, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) {
        return std::nullopt;
    }
    Packet packet(65536);
    const ssize_t size = recv(m_socket, packet.data(), packet.size(), 0);
    if (size < 0) {
        return std::nullopt;
    }
    packet.resize(std::size_t(size));
    return packet;
}

std::optional<OscReply> OscTestClient::ReceiveReply(int timeoutMs) const {
    const std::optional<Packet> packet = Receive(timeoutMs);
    return packet ? DecodeReply(*packet) : std::nullopt;
}

void OscTestClient::Drain() const {
    while (Receive(0)) {
    }
}

bool PingRoundTrip(const OscTestClient& client, int serverPort, int timeoutMs) {
    client.Send(serverPort, (MessageBuilder("/ping") << client.Address() << "/pong").Finish());
    for (;;) {
        const std::optional<OscReply> reply = client.ReceiveReply(timeoutMs);
        if (!reply) {
            return false;
        }
        if (reply->address == "/pong") {
            return true;
        }
    }
}

bool IsUdpPortFree(int port) {
    const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(std::uint16_t(port));
    const bool free = bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return free;
}

int FindFreeBasePort(std::initializer_list<int> offsets) {
    int start = 0;
    if (const char* configured = std::getenv("FLUXET_TEST_OSC_BASE_PORT")) {
        start = std::atoi(configured);
    }
    std::mt19937 generator(std::random_device{}());
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int base = start > 0 ? start + attempt * 128 : 20000 + int(generator() % 39000u);
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

void SleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

struct StdoutCapture::State {
    int descriptor = STDOUT_FILENO;
    int savedStdout = -1;
    int readEnd = -1;
    std::mutex mutex;
    std::string text;
    std::thread reader;
};

StdoutCapture::StdoutCapture(int descriptor) : m_state(std::make_unique<State>()) {
    m_state->descriptor = descriptor;
    std::fflush(stdout);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error("no pipe");
    }
    m_state->savedStdout = dup(descriptor);
    dup2(ends[1], descriptor);
    close(ends[1]);
    m_state->readEnd = ends[0];
    State* state = m_state.get();
    m_state->reader = std::thread([state] {
        char buffer[4096];
        for (;;) {
            const ssize_t got = read(state->readEnd, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            std::lock_guard lock(state->mutex);
            state->text.append(buffer, std::size_t(got));
        }
    });
}

StdoutCapture::~StdoutCapture() {
    Finish();
}

std::string StdoutCapture::Finish() {
    if (m_state->savedStdout >= 0) {
        std::fflush(stdout);
        dup2(m_state->savedStdout, m_state->descriptor);
        close(m_state->savedStdout);
        m_state->savedStdout = -1;
        m_state->reader.join();
        close(m_state->readEnd);
    }
    std::lock_guard lock(m_state->mutex);
    return m_state->text;
}

std::string StdoutCapture::Text() {
    std::fflush(stdout);
    std::lock_guard lock(m_state->mutex);
    return m_state->text;
}

bool StdoutCapture::WaitFor(const std::string& needle) {
    return WaitUntil([&] { return Text().find(needle) != std::string::npos; });
}

TemporaryPreferences::TemporaryPreferences() {
    if (const char* previous = std::getenv("XDG_CONFIG_HOME")) {
        m_previous = previous;
        m_hadPrevious = true;
    }
    std::string pattern =
        (std::filesystem::temp_directory_path() / "fluxet-osc-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    m_folder = pattern;
    setenv("XDG_CONFIG_HOME", m_folder.c_str(), 1);
}

TemporaryPreferences::~TemporaryPreferences() {
    if (m_hadPrevious) {
        setenv("XDG_CONFIG_HOME", m_previous.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    std::error_code ignored;
    std::filesystem::remove_all(m_folder, ignored);
}

ListeningUnit::ListeningUnit(int offset, const std::string& scriptFolder) {
    // Room for the offsets the tests move to.
    m_basePort = FindFreeBasePort({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, offset});
    SetPrefInt(kPrefOSCBasePort, m_basePort);
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    // Only the given scripts, never the user's own.
    MV::SetScriptFolderOverride(scriptFolder.empty() ? m_preferences.Folder() : scriptFolder);
    m_host = std::make_unique<UnitHost>(kFluxetComponentDescription, &MrvnFluxetEntry);
    if (m_host->Configure(48000.0, 2, 512) != noErr || m_host->Initialize() != noErr) {
        throw std::runtime_error("the unit does not initialise");
    }
    if (offset != 0 && !MoveTo(offset)) {
        throw std::runtime_error("the OSC server does not listen");
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
    if (m_host->SetParameter(kParam_OSCPortOffset, float(offset)) != noErr) {
        return false;
    }
    MV::OSCHelper& server = Unit().OSCServer();
    const int expected = offset == 0 ? 0 : m_basePort + offset;
    // Listening includes the publication (and the one line printed when it cannot be made).
    return WaitUntil([&] {
        return server.BoundPort() == expected &&
               (expected == 0) == server.PublishedServiceName().empty();
    });
}

} // namespace MV::test
