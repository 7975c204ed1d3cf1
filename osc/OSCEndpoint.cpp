// Reply addresses: parsing, name resolution, endpoint texts and sending.
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>

#include <ip/UdpSocket.h>

#include "OSCOutput.h"

namespace MV {

namespace {

constexpr const char kURLPrefix[] = "osc.udp://";
constexpr std::size_t kURLPrefixLength = sizeof kURLPrefix - 1;

// IPv4 only, like the endpoints themselves; 0 when the name has no address. getaddrinfo
// rather than the library's gethostbyname, which is not safe on several threads at once.
unsigned long SystemResolve(const char* host) {
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        return ntohl(parsed.s_addr);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) {
        return 0;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    const unsigned long result = ntohl(address->sin_addr.s_addr);
    freeaddrinfo(found);
    return result;
}

std::atomic<OSCHelper::HostResolver> g_resolver{nullptr};

} // namespace

void PrintLine(const std::string& text) {
    const std::string line = text + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

std::string LineText(const char* text) {
    std::string line = text != nullptr ? text : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

void SendPacket(const IpEndpointName& to, const osc::OutboundPacketStream& packet) {
    UdpTransmitSocket socket(to);
    socket.Send(packet.Data(), packet.Size());
}

char* OSCHelper::ParseAddress(char* address, int& outPort) {
    char* host = address;
    if (std::strncmp(host, kURLPrefix, kURLPrefixLength) == 0) {
        host += kURLPrefixLength;
    }
    char* colon = std::strchr(host, ':');
    if (colon == nullptr) {
        outPort = IpEndpointName::ANY_PORT;
        return host;
    }
    *colon = '\0';
    outPort = std::atoi(colon + 1);
    return host;
}

namespace {

// The endpoint of an address text, its host part turned into an address by `lookup`.
template <class Lookup> IpEndpointName EndpointOf(const char* text, Lookup lookup) {
    char buffer[OSCHelper::kPacketBufferSize];
    std::strncpy(buffer, text, sizeof buffer - 1);
    buffer[sizeof buffer - 1] = '\0';
    int port = IpEndpointName::ANY_PORT;
    const char* host = OSCHelper::ParseAddress(buffer, port);
    return IpEndpointName(lookup(host), port);
}

} // namespace

IpEndpointName OSCHelper::ResolveAddress(const char* text) {
    return EndpointOf(text, [](const char* host) {
        const HostResolver resolver = g_resolver.load();
        return resolver != nullptr ? resolver(host) : SystemResolve(host);
    });
}

IpEndpointName OSCHelper::ParseReplyAddress(const char* text) {
    // The receive task never looks a name up: a slow resolver would stall the server and the
    // closing of its instance.
    return EndpointOf(text, [](const char* host) -> unsigned long {
        in_addr parsed{};
        if (inet_pton(AF_INET, host, &parsed) == 1) {
            return ntohl(parsed.s_addr);
        }
        return std::strcmp(host, "localhost") == 0 ? INADDR_LOOPBACK : 0;
    });
}

void OSCHelper::SetHostResolver(HostResolver resolver) {
    g_resolver.store(resolver);
}

std::string OSCHelper::EndpointText(const IpEndpointName& endpoint) {
    char text[64];
    if (endpoint.address == IpEndpointName::ANY_ADDRESS) {
        std::snprintf(text, sizeof text, "<any>:%d", endpoint.port);
    } else if (endpoint.port == IpEndpointName::ANY_PORT) {
        std::snprintf(text, sizeof text, "%d.%d.%d.%d:<any>", int(endpoint.address >> 24 & 0xFF),
                      int(endpoint.address >> 16 & 0xFF), int(endpoint.address >> 8 & 0xFF),
                      int(endpoint.address & 0xFF));
    } else {
        std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d", int(endpoint.address >> 24 & 0xFF),
                      int(endpoint.address >> 16 & 0xFF), int(endpoint.address >> 8 & 0xFF),
                      int(endpoint.address & 0xFF), endpoint.port);
    }
    return text;
}

} // namespace MV
