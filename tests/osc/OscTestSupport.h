// What the OSC tests, the fuzz replay and the benchmarks share: a UDP client on 127.0.0.1,
// packet building and decoding, free ports, and a unit with its OSC server listening.
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include <osc/OscOutboundPacketStream.h>

#include "UnitHost.h"

class MrvnFluxet;

namespace MV::test {

// One decoded argument: int32, float32, string, boolean or nil (std::monostate).
using OscValue = std::variant<std::monostate, std::int32_t, float, std::string, bool>;

struct OscReply {
    std::string address;
    std::string types; // the type tags without the leading ','
    std::vector<OscValue> args;
    bool inBundle = false; // the message came as the single element of a bundle
};

// A finished packet.
using Packet = std::vector<char>;

// Builds one message from C++ values: int (int32), float, const char* / std::string, bool,
// std::monostate (nil).
class MessageBuilder {
public:
    explicit MessageBuilder(const char* address);
    MessageBuilder& operator<<(int value) { return Put(osc::int32(value)); }
    MessageBuilder& operator<<(float value) { return Put(value); }
    MessageBuilder& operator<<(double value) { return Put(value); }
    MessageBuilder& operator<<(const char* value) { return Put(value); }
    MessageBuilder& operator<<(const std::string& value) { return Put(value.c_str()); }
    MessageBuilder& operator<<(bool value) { return Put(value); }
    MessageBuilder& operator<<(std::monostate) { return Put(osc::OscNil); }
    MessageBuilder& operator<<(const osc::Blob& value) { return Put(value); }
    Packet Finish();

private:
    template <class T> MessageBuilder& Put(const T& value) {
        m_stream << value;
        return *this;
    }

    std::vector<char> m_buffer;
    osc::OutboundPacketStream m_stream;
};

// One message from C++ values, as MessageBuilder takes them.
template <class... Values> Packet Message(const char* address, const Values&... values) {
    MessageBuilder builder(address);
    ((builder << values), ...);
    return builder.Finish();
}

// A bundle to be handled immediately, of finished messages or bundles.
Packet Bundle(std::initializer_list<Packet> elements);

// Decodes a packet that holds one message, bare or as a bundle's only element.
std::optional<OscReply> DecodeReply(const Packet& packet);

// A UDP socket bound to 127.0.0.1 on a port the system picks. Sends only to 127.0.0.1.
class OscTestClient {
public:
    OscTestClient();
    ~OscTestClient();
    OscTestClient(const OscTestClient&) = delete;
    OscTestClient& operator=(const OscTestClient&) = delete;

    int Port() const { return m_port; }
    // "127.0.0.1:<port>", the reply address to give the server.
    std::string Address() const;

    void Send(int serverPort, const Packet& packet) const;
    void Send(int serverPort, const char* data, std::size_t size) const;
    // The next datagram, or nothing after timeoutMs.
    std::optional<Packet> Receive(int timeoutMs = 5000) const;
    std::optional<OscReply> ReceiveReply(int timeoutMs = 5000) const;
    // Drops whatever has arrived.
    void Drain() const;

private:
    int m_socket = -1;
    int m_port = 0;
};

// A "/ping" round trip: when it returns true, every packet sent to the server before it has
// been handled (the receive task handles packets in order).
bool PingRoundTrip(const OscTestClient& client, int serverPort, int timeoutMs = 10000);

// A base port such that base + each offset is free for UDP on any address. Starts from
// $FLUXET_TEST_OSC_BASE_PORT when set, else from a random place in 20000..59000.
int FindFreeBasePort(std::initializer_list<int> offsets);

// True when nothing listens on the UDP port (binding it on any address works).
bool IsUdpPortFree(int port);

void SleepMilliseconds(int milliseconds);

// Waits until `condition` holds, checking every millisecond, for at most `seconds` (long
// enough never to give up in vain on a busy machine). True when it held.
template <class Condition> bool WaitUntil(Condition condition, double seconds = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(seconds));
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        SleepMilliseconds(1);
    }
    return true;
}

// Collects what the process writes to standard output (or another descriptor, such as 2 for
// standard error) while it lives, so a test can wait for a line another thread prints.
class StdoutCapture {
public:
    explicit StdoutCapture(int descriptor = 1);
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    // What has been read so far (another thread's last line may still be on its way).
    std::string Text();
    // Waits until the text holds `needle`.
    bool WaitFor(const std::string& needle);
    // Restores standard output and returns everything written while capturing.
    std::string Finish();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A temporary preferences folder ($XDG_CONFIG_HOME) for one test, removed afterwards.
class TemporaryPreferences {
public:
    TemporaryPreferences();
    ~TemporaryPreferences();
    const std::string& Folder() const { return m_folder; }

private:
    std::string m_folder;
    std::string m_previous;
    bool m_hadPrevious = false;
};

// An initialised stereo unit whose OSC server listens on 127.0.0.1 (the "OSC Bind Address"
// preference) at base + offset, with base from a free block.
class ListeningUnit {
public:
    // Scripts, when given, are run from that folder.
    explicit ListeningUnit(int offset = 5, const std::string& scriptFolder = {});
    ~ListeningUnit();

    UnitHost& Host() { return *m_host; }
    MrvnFluxet& Unit();
    int BasePort() const { return m_basePort; }
    int Port() const { return m_basePort + m_offset; }
    // Sets the port offset through the host and waits until the server listens there and
    // has published the port (or, for 0, until it does neither).
    bool MoveTo(int offset);

private:
    TemporaryPreferences m_preferences;
    int m_basePort = 0;
    int m_offset = 0;
    std::unique_ptr<UnitHost> m_host;
};

} // namespace MV::test
