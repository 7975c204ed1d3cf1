// The OSC port as a DNS-SD service, browsed from the fixture's loopback-only Avahi daemon.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

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

// The resolved "_osc._udp" services the daemon knows now, "interface;protocol;address" by port.
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
            services.emplace(std::atoi(f[8].c_str()), f[1] + ";" + f[2] + ";" + f[7]);
        }
    }
    return services;
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

// Long waits: parallel runs contend for names, and one browse may take 20 s.
TEST_F(Zeroconf, EachListeningPortIsPublishedUnderANameOfItsOwnAndFollowsTheOffset) {
    const auto published = [](int port, bool is) {
        return WaitUntil([&] { return (Services().count(port) != 0) == is; }, 90.0);
    };
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    ASSERT_TRUE(published(unit.Port(), true));
    // Another instance may hold the plain name; ours is then an alternative of it.
    EXPECT_EQ(server.PublishedServiceName().rfind("Fluxet 1.2.1 on " + MV::ComputerName(), 0), 0u)
        << server.PublishedServiceName();
    const auto services = Services();
    for (auto [at, end] = services.equal_range(unit.Port()); at != end; ++at) {
        EXPECT_EQ(at->second, "lo;IPv4;127.0.0.1");
    }
    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(published(unit.BasePort() + 6, true));
    EXPECT_TRUE(published(unit.BasePort() + 5, false)) << "withdrawn from the old port";

    // A second instance (its base port preference set when it is made, which the first no
    // longer reads) gets a name of its own.
    ListeningUnit other(5);
    ASSERT_TRUE(published(other.Port(), true));
    EXPECT_NE(other.Unit().OSCServer().PublishedServiceName(), server.PublishedServiceName());

    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_EQ(server.PublishedServiceName(), "");
    EXPECT_TRUE(published(unit.BasePort() + 6, false));
}

} // namespace
