// OSC packets, a UDP client and a listening unit on 127.0.0.1, for tests and benchmarks.
#pragma once

#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <osc/OscOutboundPacketStream.h>

#include "TestFolders.h"
#include "UnitHost.h"

class MrvnFluxet;

namespace MV::test {

// int32, float32, string, boolean or nil (std::monostate).
using OscValue = std::variant<std::monostate, std::int32_t, float, std::string, bool>;

struct OscReply {
    std::string address;
    std::string types; // without the leading ','
    std::vector<OscValue> args;
    bool inBundle = false; // the message came as the single element of a bundle
};

using Packet = std::vector<char>;

// int as int32, std::string as a string, std::monostate as nil, the rest as oscpack takes it.
class MessageBuilder {
public:
    explicit MessageBuilder(const char* address);
    template <class T> MessageBuilder& operator<<(const T& value) {
        m_stream << Osc(value);
        return *this;
    }
    Packet Finish();

private:
    static osc::int32 Osc(int value) { return value; }
    static const char* Osc(const std::string& value) { return value.c_str(); }
    static osc::NilType Osc(std::monostate) { return osc::OscNil; }
    template <class T> static const T& Osc(const T& value) { return value; }

    std::vector<char> m_buffer;
    osc::OutboundPacketStream m_stream;
};

template <class... Values> Packet Message(const char* address, const Values&... values) {
    MessageBuilder builder(address);
    ((builder << values), ...);
    return builder.Finish();
}

// A bundle to be handled immediately, of finished messages or bundles.
Packet Bundle(std::initializer_list<Packet> elements);

// Decodes a packet that holds one message, bare or as a bundle's only element.
std::optional<OscReply> DecodeReply(const Packet& packet);

// "address ,types arg ..." (numbers exactly), after "#bundle " when in one; or "(nothing)".
std::string Text(const std::optional<OscReply>& reply);

// A UDP socket bound to 127.0.0.1 on a port the system picks. Sends only to 127.0.0.1.
class OscTestClient {
public:
    OscTestClient();
    ~OscTestClient();
    OscTestClient(const OscTestClient&) = delete;
    OscTestClient& operator=(const OscTestClient&) = delete;

    std::string Address() const { return "127.0.0.1:" + std::to_string(m_port); }
    void Send(int serverPort, const Packet& packet) const;
    std::optional<Packet> Receive(int timeoutMs = 5000) const;
    std::string Next(int timeoutMs = 5000) const {
        const std::optional<Packet> packet = Receive(timeoutMs);
        return Text(packet ? DecodeReply(*packet) : std::nullopt);
    }
    void Drain() const {
        while (Receive(0)) {
        }
    }

private:
    int m_socket = -1;
    int m_port = 0;
};

// True once a "/pong" came back: every packet sent before has been handled.
bool PingRoundTrip(const OscTestClient& client, int serverPort, int timeoutMs = 10000);

// A base port with base + each offset free for UDP, from $FLUXET_TEST_OSC_BASE_PORT or random.
int FindFreeBasePort(std::initializer_list<int> offsets);

// True when nothing listens on the UDP port on any address.
bool IsUdpPortFree(int port);

inline void SleepMilliseconds(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// True once `condition` holds, checked every millisecond for at most `seconds`.
template <class Condition> bool WaitUntil(Condition condition, double seconds = 20.0) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (; !condition(); SleepMilliseconds(1)) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

// A program (time-bounded by its arguments) whose standard output is read by line.
class Child {
public:
    explicit Child(const std::string& command);
    // Ends the program (SIGTERM) unless it was waited for.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    bool Started() const { return m_pid > 0; }
    void Signal(int signal) const;
    // The wait status, once the rest of the output has been read.
    int Wait();
    const std::vector<std::string>& Lines() const { return m_lines; }
    // The lines printed so far, reading on until `enough` holds or the output ends.
    template <class Enough> const std::vector<std::string>& ReadUntil(Enough enough) {
        while (!enough(m_lines) && ReadLine()) {
        }
        return m_lines;
    }

private:
    bool ReadLine();

    std::FILE* m_pipe;
    int m_pid = -1;
    std::vector<std::string> m_lines;
};

// How many of the lines contain text; whether one does.
std::size_t CountLines(const std::vector<std::string>& lines, const std::string& text);
bool HasLine(const std::vector<std::string>& lines, const std::string& text);

// A temporary preferences folder ($XDG_CONFIG_HOME) for one test, removed afterwards.
class TemporaryPreferences {
public:
    const std::string& Folder() const { return m_folder.Path(); }

private:
    TempFolder m_folder;
    ScopedEnvironment m_config{"XDG_CONFIG_HOME", m_folder.Path()};
};

// A stereo unit listening on 127.0.0.1 at a free base + offset, with scriptFolder's scripts.
class ListeningUnit {
public:
    explicit ListeningUnit(int offset = 5, const std::string& scriptFolder = {});
    ~ListeningUnit();

    UnitHost& Host() { return *m_host; }
    MrvnFluxet& Unit();
    int BasePort() const { return m_basePort; }
    int Port() const { return m_basePort + m_offset; }
    // Sets the offset and waits until the server listens and publishes there (for 0: neither).
    bool MoveTo(int offset);

private:
    TemporaryPreferences m_preferences;
    int m_basePort = 0;
    int m_offset = 0;
    std::unique_ptr<UnitHost> m_host;
};

} // namespace MV::test
