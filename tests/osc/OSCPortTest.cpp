// The port rule with real sockets, a port in use, and the tasks' life cycle.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "AUHostServices.h"
#include "AudioUnitAPI.h"
#include "BlockingCalls.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using namespace MV::test;
using MV::test::BlockingCallCounter;

// The local address (hexadecimal, as the kernel lists it) of the UDP socket on `port`, or empty.
std::string LocalAddressOfUdpPort(int port) {
    std::ifstream table("/proc/net/udp");
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    for (std::string slot, local, rest; table >> slot >> local && std::getline(table, rest);) {
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted) {
            return local.substr(0, local.size() - 5);
        }
    }
    return {};
}

// A descriptor's output, readable while other threads write (to a file nobody has to drain).
class Capture {
public:
    explicit Capture(int descriptor) : m_descriptor(descriptor), m_saved(dup(descriptor)) {
        std::fflush(nullptr);
        dup2(fileno(m_file), descriptor);
    }
    ~Capture() {
        Finish();
        std::fclose(m_file);
    }
    std::string Text() {
        std::fflush(nullptr);
        std::string text(std::size_t(lseek(fileno(m_file), 0, SEEK_CUR)), '\0');
        text.resize(std::size_t(std::max(pread(fileno(m_file), text.data(), text.size(), 0), 0l)));
        return text;
    }
    bool WaitFor(const std::string& text) {
        return WaitUntil([&] { return Text().find(text) != std::string::npos; });
    }
    std::string Finish() {
        if (m_saved >= 0) {
            std::fflush(nullptr);
            dup2(m_saved, m_descriptor);
            close(std::exchange(m_saved, -1));
        }
        return Text();
    }

private:
    std::FILE* m_file = std::tmpfile();
    int m_descriptor;
    int m_saved;
};

// What `action` printed once `awaited` appeared (asserted outside, where messages show).
template <class Action>
std::pair<bool, std::string> Printed(Action action, const std::string& awaited = {}) {
    Capture output(STDOUT_FILENO);
    action();
    const bool found = awaited.empty() || output.WaitFor(awaited);
    return {found, output.Finish()};
}

bool Answers(int port) {
    return PingRoundTrip(OscTestClient(), port, 5000);
}

bool Reinitialise(ListeningUnit& unit) {
    AudioUnitUninitialize(unit.Host().Unit());
    return AudioUnitInitialize(unit.Host().Unit()) == noErr;
}

TEST(OSCPortRule, OffsetsBasesPresetsAndBindAddressesChooseTheListeningPort) {
    ListeningUnit unit(0);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    const int base = unit.BasePort();
    EXPECT_TRUE(server.HasTasks());
    EXPECT_EQ(server.BoundPort(), 0) << "OSC is off until an offset is set";
    EXPECT_TRUE(IsUdpPortFree(base + 5));

    ASSERT_TRUE(unit.MoveTo(5));
    EXPECT_EQ(LocalAddressOfUdpPort(base + 5), "0100007F") << "the tests' bind address, 127.0.0.1";
    EXPECT_TRUE(Answers(base + 5));
    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(IsUdpPortFree(base + 5)) << "the old port is closed";
    EXPECT_TRUE(Answers(base + 6));
    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_TRUE(IsUdpPortFree(base + 6));
    EXPECT_TRUE(server.HasTasks()) << "the receive task only goes idle";
    EXPECT_EQ(server.Port(), 0);

    ASSERT_TRUE(unit.MoveTo(5)) << "and listens again at the next offset";
    for (int i = 0; i < 20; ++i) {
        unit.Host().SetParameter(kParam_OSCPortOffset, 5.0f);
    }
    EXPECT_TRUE(Answers(base + 5)) << "setting the same offset again keeps listening";
    // The bind address is read at initialisation: empty is every address.
    SetPrefString(kPrefOSCBindAddress, "");
    ASSERT_TRUE(Reinitialise(unit));
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == base + 5; }));
    EXPECT_EQ(LocalAddressOfUdpPort(base + 5), "00000000") << "any address";
    EXPECT_TRUE(Answers(base + 5));

    // The reapply property moves the port to a new base.
    const int newBase = FindFreeBasePort({5});
    g_OSCBasePort.store(newBase);
    const UInt8 any = 1;
    ASSERT_EQ(AudioUnitSetProperty(unit.Host().Unit(), kMrvnProperty_ReapplyOSCPort,
                                   kAudioUnitScope_Global, 0, &any, sizeof any),
              noErr);
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == newBase + 5; }));
    EXPECT_TRUE(IsUdpPortFree(base + 5));
    EXPECT_TRUE(Answers(newBase + 5));

    // A factory preset (offset 0 in every one) turns OSC off.
    const AUPreset preset{1, nullptr};
    ASSERT_EQ(AudioUnitSetProperty(unit.Host().Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &preset, sizeof preset),
              noErr);
    EXPECT_TRUE(WaitUntil([&] { return server.BoundPort() == 0; }));
}

TEST(OSCPortRule, APortInUseIsReportedAndTheNextChangeRecovers) {
    ListeningUnit unit(0);
    const int base = unit.BasePort();
    // A socket holding the port on any address, as another program would.
    const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{AF_INET, htons(std::uint16_t(base + 7)), {htonl(INADDR_ANY)}, {}};
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto [found, printed] =
        Printed([&] { unit.Host().SetParameter(kParam_OSCPortOffset, 7.0f); },
                "std::runtime_error in TaskMain(): unable to bind udp socket\n");
    EXPECT_TRUE(found) << printed;
    EXPECT_EQ(unit.Unit().OSCServer().BoundPort(), 0);
    close(blocker);

    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(Answers(base + 6));
    ASSERT_TRUE(unit.MoveTo(7)) << "the freed port works at the next change";
    EXPECT_TRUE(Answers(base + 7));
}

// Registrations outlive the tasks; changes meanwhile wait in the ring (63), the rest reported.
TEST(OSCTasks, NotificationsQueueWithoutTasksUpToTheRingCapacity) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    OscTestClient watcher;
    OscTestClient client;
    client.Send(unit.Port(), Message("/registerUpdate", 4, watcher.Address(), "/four"));
    ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    EXPECT_EQ(Printed([&] { server.CreateTask(); }).second,
              "Warning: Attempt to recreate OSC task\n");
    EXPECT_TRUE(Answers(unit.Port())) << "the running tasks are unchanged";
    AudioUnitUninitialize(unit.Host().Unit());
    ASSERT_FALSE(server.HasTasks());
    EXPECT_EQ(server.BoundPort(), 0);
    EXPECT_TRUE(IsUdpPortFree(unit.Port()));
    EXPECT_EQ(Printed([&] { server.DestroyTask(); }).second, "") << "nothing to end";
    for (int i = 0; i < 70; ++i) {
        unit.Host().SetParameter(4, float(i));
    }
    std::string overflows;
    for (int i = 0; i < 7; ++i) {
        overflows += "OSCHelper::SetParamQueue::Write() overflow\n";
    }
    Capture errors(STDERR_FILENO);
    ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    for (int i = 0; i < 63; ++i) {
        ASSERT_EQ(watcher.Next(), "#bundle /four ,if 4 " + std::to_string(i)) << i;
    }
    unit.Host().SetParameter(4, 100.0f);
    EXPECT_EQ(watcher.Next(), "#bundle /four ,if 4 100");
    // The drops are reported once the ring has been read, which may be after the next send.
    errors.WaitFor(overflows);
    EXPECT_EQ(errors.Finish(), overflows);
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == unit.Port(); }));
    EXPECT_TRUE(Answers(unit.Port())) << "initialising again listens again";
}

// Automation and MIDI scripts move the port on the render thread: that takes no lock and makes
// no blocking call (the tasks do the socket work), and the port still moves.
TEST(OSCTasks, ThePortMovesFromTheRenderPathWithoutLockOrBlockingCall) {
    ListeningUnit unit(5);
    const MV::OSCHelper& server = unit.Unit().OSCServer();
    const AudioUnitParameter offset{unit.Host().Unit(), kParam_OSCPortOffset,
                                    kAudioUnitScope_Global, 0};
    for (const int next : {6, 0, 7}) {
        std::size_t calls = 0;
        std::string names;
        {
            const BlockingCallCounter counter;
            ASSERT_EQ(AUParameterSet(nullptr, nullptr, &offset, float(next), 0), noErr);
            calls = counter.Calls();
            names = counter.Names();
        }
        EXPECT_EQ(calls, 0u) << "offset " << next << ": " << names;
        const int port = next == 0 ? 0 : unit.BasePort() + next;
        EXPECT_TRUE(WaitUntil([&] { return server.BoundPort() == port; })) << next;
    }
    EXPECT_TRUE(Answers(unit.BasePort() + 7));
}

// Port moves, a flood and restarts at once must not touch a closed socket (ThreadSanitizer).
TEST(OSCTasks, PortChangesFloodsAndRestartsTogether) {
    ListeningUnit unit(5);
    std::atomic<bool> stop{false};
    std::thread mover([&] {
        for (int i = 0; !stop.load(); ++i) {
            unit.Host().SetParameter(kParam_OSCPortOffset, float(5 + i % 3));
        }
    });
    std::thread flooder([&] {
        OscTestClient client;
        const Packet packet = Message("/set", 2, 0.5f);
        while (!stop.load()) {
            for (int offset = 5; offset < 8; ++offset) {
                client.Send(unit.BasePort() + offset, packet);
            }
        }
    });
    for (int i = 0; i < 20; ++i) {
        ASSERT_TRUE(Reinitialise(unit));
    }
    stop.store(true);
    mover.join();
    flooder.join();
    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(Answers(unit.BasePort() + 6));
}

} // namespace
