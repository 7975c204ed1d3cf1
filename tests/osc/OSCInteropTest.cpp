// A real `fluxet live` process spoken to by liblo's oscsend and heard by liblo's oscdump: an
// OSC implementation of its own on the other side. Everything stays on 127.0.0.1.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "FluxetParameters.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using namespace MV::test;

TEST(OSCInterop, LiveAnswersLibloClients) {
    if (std::system("command -v oscsend >/dev/null && command -v oscdump >/dev/null") != 0) {
        GTEST_SKIP() << "liblo-tools (oscsend, oscdump) is not installed";
    }
    TemporaryPreferences preferences;
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    const std::filesystem::path scripts = std::filesystem::path(preferences.Folder()) / "scripts";
    std::filesystem::create_directories(scripts);
    std::ofstream(scripts / "remote.lua") << "function sum(a, b) return a + b, \"sum\" end\n";

    const int base = FindFreeBasePort({5, 50});
    const int port = base + 5;
    const std::string dump = std::to_string(base + 50);
    const std::string replyTo = "127.0.0.1:" + dump;

    Child live(std::string(FLUXET_PROGRAM) + " live --duration 120 --osc-base-port " +
               std::to_string(base) + " --set 'OSC Port Offset=5' --scripts " + scripts.string());
    ASSERT_TRUE(live.Started());
    const auto& banner = live.ReadUntil(
        [](const auto& lines) { return HasLine(lines, "running; stop with Ctrl-C"); });
    ASSERT_TRUE(HasLine(
        banner, "OSC: listening on UDP port " + std::to_string(port) +
                    " (127.0.0.1): Fluxet 1.2.1 at osc.udp://127.0.0.1:" + std::to_string(port)))
        << ::testing::PrintToString(banner);
    EXPECT_TRUE(HasLine(banner, "OSC: published as ") || HasLine(banner, "OSC: not published") ||
                HasLine(banner, "OSC: publishing as "));

    Child listener("timeout 60 oscdump -L " + dump);
    ASSERT_TRUE(listener.Started());
    ASSERT_TRUE(WaitUntil([&] { return !IsUdpPortFree(base + 50); }));

    const std::string server = std::to_string(port);
    const auto send = [&](const std::string& args) {
        EXPECT_EQ(std::system(("oscsend 127.0.0.1 " + server + " " + args).c_str()), 0) << args;
    };
    send("/ping ss " + replyTo + " /pong");
    send("/registerUpdate iss 3 " + replyTo + " /changed");
    send("/set if 3 0.5");
    send("/getInfo iss 15 " + replyTo + " /info");
    send("/call sssii sum " + replyTo + " /sum 2 3");
    send("/getAll ss " + replyTo + " /all");

    // The change notification comes from the server's notify task, maybe after the rest.
    const auto& heard = listener.ReadUntil([](const auto& lines) {
        return CountLines(lines, " /all if ") == 16 && HasLine(lines, "/changed ");
    });
    EXPECT_TRUE(HasLine(heard, "/pong ss \"osc.udp://127.0.0.1:" + server + "\" \"Fluxet 1.2.1\""))
        << ::testing::PrintToString(heard);
    EXPECT_TRUE(HasLine(heard, "/changed if 3 0.500000"));
    EXPECT_TRUE(HasLine(heard, "/info ifffsi 15 0.000000 100.000000 0.000000 \"OSC Port Offset\" " +
                                   std::to_string(astParamInfos[15].unit)));
    EXPECT_TRUE(HasLine(heard, "/sum fs 5.000000 \"sum\""));
    ASSERT_EQ(CountLines(heard, " /all if "), 16u);
    EXPECT_TRUE(HasLine(heard, "/all if 3 0.500000"));
    EXPECT_TRUE(HasLine(heard, "/all if 15 5.000000"));

    live.Signal(SIGINT);
    const auto& ending =
        live.ReadUntil([](const auto& lines) { return HasLine(lines, "stopped after "); });
    EXPECT_TRUE(HasLine(ending, "stopped after "));
    const int status = live.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
