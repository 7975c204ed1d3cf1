// Publication of the OSC port as a DNS-SD service, seen through avahi-browse from a
// loopback-only Avahi daemon that the test fixture starts (tests/osc/avahi-fixture).
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "SystemInfo.h"

extern char** environ;

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

bool Published(const std::string& name, int port) {
    for (const BrowsedService& service : BrowseOSCServices()) {
        if (service.name == name && service.port == port) {
            return true;
        }
    }
    return false;
}

bool AnyPublishedOnPort(int port) {
    for (const BrowsedService& service : BrowseOSCServices()) {
        if (service.port == port) {
            return true;
        }
    }
    return false;
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
    const std::string expected = "Fluxet 1.2.1 on " + MV::ComputerName();
    // Instances of parallel test runs may contend for the name: give the daemon's conflict
    // resolution time.
    ASSERT_TRUE(
        WaitUntil([&] { return Published(server.PublishedServiceName(), unit.Port()); }, 90.0));
    // Another instance may hold the plain name; ours is then an alternative of it.
    const std::string name = server.PublishedServiceName();
    EXPECT_EQ(name.rfind(expected, 0), 0u) << name;
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
    EXPECT_TRUE(WaitUntil([&] { return !AnyPublishedOnPort(unit.BasePort() + 5); }))
        << "withdrawn from the old port";

    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_EQ(server.PublishedServiceName(), "");
    EXPECT_TRUE(WaitUntil([&] { return !AnyPublishedOnPort(unit.BasePort() + 6); }));
}

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
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::vector<std::string> environment = {"FLUXET_ZEROCONF_CHILD=1",
                                            "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/bus"};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (std::string(*variable).rfind("DBUS_SYSTEM_BUS_ADDRESS=", 0) != 0) {
            environment.emplace_back(*variable);
        }
    }
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    std::string self = "/proc/self/exe";
    std::string filter = "--gtest_filter=ZeroconfWithoutDaemon.OneLineIsPrintedAndOSCWorksOn";
    char* argv[] = {self.data(), filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, self.c_str(), &actions, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(output[1]);
    std::string printed;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(output[0], buffer, sizeof buffer)) > 0) {
        printed.append(buffer, std::size_t(got));
    }
    close(output[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;

    std::size_t lines = 0;
    for (std::size_t at = printed.find("Zeroconf: "); at != std::string::npos;
         at = printed.find("Zeroconf: ", at + 1)) {
        ++lines;
    }
    EXPECT_EQ(lines, 1u) << printed;
    EXPECT_NE(printed.find("first answers, second answers"), std::string::npos) << printed;
}

} // namespace
