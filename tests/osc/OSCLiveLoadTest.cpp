// A real `fluxet live` process under the load that used to hold its audio: a controller
// callback every few milliseconds from a MIDI file while a client on 127.0.0.1 keeps the
// script busy through "/exec". No block may be late.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "CliTestSupport.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using namespace MV::test;
using MrvnCliTest::SecondsAtPulse;
using MrvnCliTest::TimedBytes;
using MrvnCliTest::WriteMidiFile;

// ThreadSanitizer slows the whole program many times over on a shared machine: there the blocks
// are longer (170 ms), still shorter than a call (200 ms) holding the script would hold them.
#ifdef __SANITIZE_THREAD__
constexpr int kBlockFrames = 8192;
#else
constexpr int kBlockFrames = 2048;
#endif

TEST(OSCLiveLoad, BusyNetworkCallsNeverMakeABlockLate) {
    TemporaryPreferences preferences;
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    const std::filesystem::path folder = preferences.Folder();
    std::filesystem::create_directories(folder / "scripts");
    std::ofstream(folder / "scripts" / "load.lua") << R"lua(
requestCC(1, function(channel, controller, value) setParameter("Depth (fine)", value / 12.7) end)
function slow() local start = time() while time() < start + 0.2 do end end
)lua";
    // A controller about every 10 ms for the whole run.
    std::vector<TimedBytes> events;
    for (int pulse = 0; SecondsAtPulse(pulse) < 6.0; pulse += 10) {
        events.push_back({pulse, {0xB0, 1, UInt8(pulse / 10 % 128)}});
    }
    const std::string midi = (folder / "load.mid").string();
    WriteMidiFile(midi, events);

    const int base = FindFreeBasePort({5});
    Child live(std::string(FLUXET_PROGRAM) + " live --duration 6 --block " +
               std::to_string(kBlockFrames) + " --osc-base-port " + std::to_string(base) +
               " --set 'OSC Port Offset=5' --midi " + midi + " --scripts " +
               (folder / "scripts").string());
    ASSERT_TRUE(live.Started());
    const auto& banner = live.ReadUntil(
        [](const auto& lines) { return HasLine(lines, "running; stop with Ctrl-C"); });
    ASSERT_TRUE(HasLine(banner, "OSC: listening on UDP port " + std::to_string(base + 5)))
        << ::testing::PrintToString(banner);

    std::atomic<bool> stop{false};
    std::thread caller([&] {
        const OscTestClient client;
        const Packet slow = Message("/exec", "slow");
        while (!stop.load()) {
            client.Send(base + 5, slow);
            SleepMilliseconds(210);
        }
    });
    const auto& lines =
        live.ReadUntil([](const auto& read) { return HasLine(read, "stopped after "); });
    stop.store(true);
    caller.join();
    EXPECT_FALSE(HasLine(lines, "late: ")) << ::testing::PrintToString(lines);
    EXPECT_TRUE(HasLine(lines, "stopped after 6 s of audio (0 blocks late)"))
        << ::testing::PrintToString(lines);
    const int status = live.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace
