// Publication of the OSC port as a DNS-SD service, seen through avahi-browse from a
// loopback-only Avahi daemon that the test fixture starts (tests/osc/avahi-fixture).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "SystemInfo.h"

namespace {

using namespace MV::test;

std::string RunAndRead(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        for (int c = std::fgetc(pipe); c != EOF; c = std::fgetc(pipe)) {
            output.push_back(char(c));
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
        } else if (i + 3 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
            plain.push_back(char(std::stoi(text.substr(i + 1, 3))));
            i += 3;
        } else {
            plain.push_back(text[++i]);
        }
    }
    return plain;
}

// The resolved "_osc._udp" services the daemon knows now, "name;interface;protocol;address"
// under their ports.
std::multimap<int, std::string> Services() {
    std::multimap<int, std::string> services;
    std::istringstream lines(RunAndRead(
        "timeout 20 avahi-browse --resolve --terminate --parsable _osc._udp 2>/dev/null"));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::vector<std::string> f;
        for (std::string field; std::getline(fields, field, ';');) {
            f.push_back(field);
        }
        if (f.size() >= 9 && f[0] == "=") {
            services.emplace(std::atoi(f[8].c_str()),
                             Unescape(f[3]) + ";" + f[1] + ";" + f[2] + ";" + f[7]);
        }
    }
    return services;
}

bool Published(const std::string& name, int port) {
    const auto services = Services();
    for (auto [at, end] = services.equal_range(port); at != end; ++at) {
        if (at->second.rfind(name + ";", 0) == 0) {
            return true;
        }
    }
    return false;
}

class Zeroconf : public ::testing::Test {
protected:
    void SetUp() override {
        // Only a daemon the fixture started is known to be loopback-only.
        const std::string status = RunAndRead(std::string(FLUXET_AVAHI_FIXTURE) + " status");
        if (status != "ours\n") {
            GTEST_SKIP()
                << "no loopback-only Avahi daemon from tests/osc/avahi-fixture is running ("
                << status << "); the fixture could not start one here";
        }
    }
};

// Instances of parallel test runs may contend for a name: the waits give the daemon's conflict
// resolution time, and one browse may itself take up to 20 s.
TEST_F(Zeroconf, EachListeningPortIsPublishedUnderANameOfItsOwnAndFollowsTheOffset) {
    const auto published = [](ListeningUnit& unit, int port) {
        MV::OSCHelper& server = unit.Unit().OSCServer();
        return WaitUntil([&] { return Published(server.PublishedServiceName(), port); }, 90.0);
    };
    const auto withdrawn = [](int port) {
        return WaitUntil([&] { return Services().count(port) == 0; }, 90.0);
    };
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    ASSERT_TRUE(published(unit, unit.Port()));
    // Another instance may hold the plain name; ours is then an alternative of it.
    const std::string name = server.PublishedServiceName();
    EXPECT_EQ(name.rfind("Fluxet 1.2.1 on " + MV::ComputerName(), 0), 0u) << name;
    const auto services = Services();
    for (auto [at, end] = services.equal_range(unit.Port()); at != end; ++at) {
        EXPECT_EQ(at->second.substr(at->second.find(';')), ";lo;IPv4;127.0.0.1");
    }
    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(published(unit, unit.BasePort() + 6));
    EXPECT_TRUE(withdrawn(unit.BasePort() + 5)) << "withdrawn from the old port";

    // A second instance (its base port preference set when it is made, which the first no
    // longer reads) gets a name of its own.
    ListeningUnit other(5);
    ASSERT_TRUE(published(other, other.Port()));
    EXPECT_NE(other.Unit().OSCServer().PublishedServiceName(), server.PublishedServiceName());

    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_EQ(server.PublishedServiceName(), "");
    EXPECT_TRUE(withdrawn(unit.BasePort() + 6));
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
    const std::size_t first = printed.find("Zeroconf: ");
    EXPECT_NE(first, std::string::npos) << printed;
    EXPECT_EQ(printed.find("Zeroconf: ", first + 1), std::string::npos) << printed;
    EXPECT_NE(printed.find("first answers, second answers"), std::string::npos) << printed;
}

} // namespace
