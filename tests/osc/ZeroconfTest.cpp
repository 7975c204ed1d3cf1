// Publication of the OSC port as a DNS-SD service, seen through avahi-browse from a
// loopback-only Avahi daemon that the test fixture starts (tests/osc/avahi-fixture).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "SystemInfo.h"

namespace {

using MV::test::ListeningUnit;
using MV::test::OscTestClient;
using MV::test::PingRoundTrip;
using MV::test::WaitUntil;

struct BrowsedService {
    std::string name;
    std::string interfaceName;
    std::string protocol;
    std::string address;
    int port = 0;
};

std::string RunAndRead(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) {
            output.append(buffer, got);
        }
        pclose(pipe);
    }
    return output;
}

// avahi-browse escapes names: "\DDD" (a decimal byte) and "\x" (the character itself).
std::string Unescape(const std::string& text) {
    std::string plain;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 >= text.size()) {
            plain.push_back(text[i]);
        } else if (i + 3 < text.size() &&
                   std::isdigit(static_cast<unsigned char>(text[i + 1])) != 0) {
            plain.push_back(char(std::stoi(text.substr(i + 1, 3))));
            i += 3;
        } else {
            plain.push_back(text[i + 1]);
            i += 1;
        }
    }
    return plain;
}

std::vector<std::string> Split(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = line.find(separator, start);
        fields.push_back(line.substr(start, end - start));
        if (end == std::string::npos) {
            return fields;
        }
        start = end + 1;
    }
}

// The resolved "_osc._udp" services the daemon knows now.
std::vector<BrowsedService> BrowseOSCServices() {
    std::vector<BrowsedService> services;
    const std::string output = RunAndRead(
        "timeout 20 avahi-browse --resolve --terminate --parsable _osc._udp 2>/dev/null");
    for (const std::string& line : Split(output, '\n')) {
        const std::vector<std::string> fields = Split(line, ';');
        if (fields.size() >= 10 && fields[0] == "=") {
            services.push_back({Unescape(fields[3]), fields[1], fields[2], fields[7],
                                std::atoi(fields[8].c_str())});
        }
    }
    return services;
}

// The names published on `port`.
std::vector<std::string> NamesOnPort(int port) {
    std::vector<std::string> names;
    for (const BrowsedService& service : BrowseOSCServices()) {
        if (service.port == port) {
            names.push_back(service.name);
        }
    }
    return names;
}

bool Published(const std::string& name, int port) {
    const std::vector<std::string> names = NamesOnPort(port);
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Only a daemon the fixture started is known to be loopback-only.
std::string DaemonStatus() {
    std::string status = RunAndRead(std::string(FLUXET_AVAHI_FIXTURE) + " status");
    while (!status.empty() && status.back() == '\n') {
        status.pop_back();
    }
    return status;
}

class Zeroconf : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string status = DaemonStatus();
        if (status != "ours") {
            GTEST_SKIP()
                << "no loopback-only Avahi daemon from tests/osc/avahi-fixture is running ("
                << status << "); the fixture could not start one here";
        }
    }
};

TEST_F(Zeroconf, TheListeningPortIsPublishedAndFollowsTheOffset) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    // Instances of parallel test runs may contend for the name: give the daemon's conflict
    // resolution time.
    ASSERT_TRUE(
        WaitUntil([&] { return Published(server.PublishedServiceName(), unit.Port()); }, 90.0));
    // Another instance may hold the plain name; ours is then an alternative of it.
    const std::string name = server.PublishedServiceName();
    EXPECT_EQ(name.rfind("Fluxet 1.2.1 on " + MV::ComputerName(), 0), 0u) << name;
    for (const BrowsedService& service : BrowseOSCServices()) {
        if (service.port == unit.Port()) {
            EXPECT_EQ(service.interfaceName, "lo");
            EXPECT_EQ(service.protocol, "IPv4");
            EXPECT_EQ(service.address, "127.0.0.1");
        }
    }

    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(WaitUntil(
        [&] { return Published(server.PublishedServiceName(), unit.BasePort() + 6); }, 90.0));
    // One browse may itself take up to 20 s while other instances come and go.
    EXPECT_TRUE(WaitUntil([&] { return NamesOnPort(unit.BasePort() + 5).empty(); }, 90.0))
        << "withdrawn from the old port";
    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_EQ(server.PublishedServiceName(), "");
    EXPECT_TRUE(WaitUntil([&] { return NamesOnPort(unit.BasePort() + 6).empty(); }, 90.0));
}

// Each unit sets the base port preference when made, so neither moves after the other exists.
TEST_F(Zeroconf, TwoInstancesOnOneComputerGetNamesOfTheirOwn) {
    ListeningUnit first(5);
    ListeningUnit second(5);
    MV::OSCHelper& a = first.Unit().OSCServer();
    MV::OSCHelper& b = second.Unit().OSCServer();
    ASSERT_TRUE(WaitUntil([&] { return Published(a.PublishedServiceName(), first.Port()); }, 90.0));
    ASSERT_TRUE(
        WaitUntil([&] { return Published(b.PublishedServiceName(), second.Port()); }, 90.0));
    EXPECT_NE(a.PublishedServiceName(), b.PublishedServiceName());
}

// Without a reachable daemon: one line on standard output for the whole process, and OSC
// works on. Run in a fresh process of this program whose system bus address leads nowhere.
TEST(ZeroconfWithoutDaemon, OneLineIsPrintedAndOSCWorksOn) {
    if (std::getenv("FLUXET_ZEROCONF_CHILD") != nullptr) {
        ListeningUnit first(5);
        ListeningUnit second(5);
        OscTestClient client;
        std::printf("first %s, second %s\n",
                    PingRoundTrip(client, first.Port()) ? "answers" : "silent",
                    PingRoundTrip(client, second.Port()) ? "answers" : "silent");
        return;
    }
    const std::string printed = RunAndRead(
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus FLUXET_ZEROCONF_CHILD=1 '" +
        std::filesystem::read_symlink("/proc/self/exe").string() +
        "' --gtest_filter=ZeroconfWithoutDaemon.OneLineIsPrintedAndOSCWorksOn; echo exit $?");
    EXPECT_NE(printed.find("\nexit 0\n"), std::string::npos) << printed;
    std::size_t lines = 0;
    for (std::size_t at = printed.find("Zeroconf: "); at != std::string::npos;
         at = printed.find("Zeroconf: ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << printed;
    EXPECT_NE(printed.find("first answers, second answers"), std::string::npos) << printed;
}

} // namespace
