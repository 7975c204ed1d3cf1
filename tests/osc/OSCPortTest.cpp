// The port rule with real sockets: which port the server listens on as the offset, the base
// port and the bind address change, what it prints when a port is taken, and the tasks'
// life cycle.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "AudioUnitAPI.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using MV::test::IsUdpPortFree;
using MV::test::ListeningUnit;
using MV::test::MessageBuilder;
using MV::test::OscTestClient;
using MV::test::PingRoundTrip;
using MV::test::StdoutCapture;
using MV::test::WaitUntil;

// The local address (hexadecimal, as the kernel lists it) of the UDP socket on `port`, or empty.
std::string LocalAddressOfUdpPort(int port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // header
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        if (local.size() > 5 && local.substr(local.size() - 5) == wanted) {
            return local.substr(0, local.size() - 5);
        }
    }
    return {};
}

// A socket that holds a UDP port on any address, as another program would.
class PortBlocker {
public:
    explicit PortBlocker(int port) : m_socket(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(std::uint16_t(port));
        m_bound = bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~PortBlocker() { Release(); }
    bool Bound() const { return m_bound; }
    void Release() {
        if (m_socket >= 0) {
            close(m_socket);
            m_socket = -1;
        }
    }

private:
    int m_socket;
    bool m_bound = false;
};

// What `action` printed, waiting for `awaited` when given. Assertions are made outside the
// capture, which would swallow their messages.
template <class Action>
std::pair<bool, std::string> Printed(Action action, const std::string& awaited = {}) {
    StdoutCapture output;
    action();
    const bool found = awaited.empty() || output.WaitFor(awaited);
    return {found, output.Finish()};
}

bool Answers(int port) {
    OscTestClient client;
    return PingRoundTrip(client, port, 5000);
}

TEST(OSCPortRule, OffsetsOpenMoveAndCloseTheListeningPort) {
    ListeningUnit unit(0);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    const int base = unit.BasePort();
    EXPECT_TRUE(server.HasTasks());
    EXPECT_EQ(server.BoundPort(), 0) << "OSC is off until an offset is set";
    EXPECT_TRUE(IsUdpPortFree(base + 5));

    ASSERT_TRUE(unit.MoveTo(5));
    EXPECT_FALSE(IsUdpPortFree(base + 5));
    EXPECT_TRUE(Answers(base + 5));

    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(IsUdpPortFree(base + 5)) << "the old port is closed";
    EXPECT_TRUE(Answers(base + 6));

    ASSERT_TRUE(unit.MoveTo(0));
    EXPECT_TRUE(IsUdpPortFree(base + 6));
    EXPECT_TRUE(server.HasTasks()) << "the receive task only goes idle";
    EXPECT_EQ(server.Port(), 0);

    ASSERT_TRUE(unit.MoveTo(5)) << "and listens again at the next offset";
    EXPECT_TRUE(Answers(base + 5));
}

TEST(OSCPortRule, SettingTheSameOffsetAgainKeepsListening) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    for (int i = 0; i < 20; ++i) {
        unit.Host().SetParameter(kParam_OSCPortOffset, 5.0f);
    }
    EXPECT_TRUE(Answers(unit.Port()));
    EXPECT_EQ(server.BoundPort(), unit.Port());
    // A factory preset (offset 0 in every one) turns OSC off.
    const AUPreset preset{1, nullptr};
    ASSERT_EQ(AudioUnitSetProperty(unit.Host().Unit(), kAudioUnitProperty_PresentPreset,
                                   kAudioUnitScope_Global, 0, &preset, sizeof preset),
              noErr);
    EXPECT_TRUE(WaitUntil([&] { return server.BoundPort() == 0; }));
}

TEST(OSCPortRule, APortInUseIsReportedAndTheNextChangeRecovers) {
    ListeningUnit unit(0);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    const int base = unit.BasePort();
    PortBlocker blocker(base + 7);
    ASSERT_TRUE(blocker.Bound());
    const auto [found, printed] =
        Printed([&] { unit.Host().SetParameter(kParam_OSCPortOffset, 7.0f); },
                "std::runtime_error in TaskMain(): unable to bind udp socket\n");
    EXPECT_TRUE(found) << printed;
    EXPECT_EQ(server.BoundPort(), 0);
    blocker.Release();

    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(Answers(base + 6));
    ASSERT_TRUE(unit.MoveTo(7)) << "the freed port works at the next change";
    EXPECT_TRUE(Answers(base + 7));
}

TEST(OSCPortRule, TheBindAddressPreferenceChoosesLoopbackOrEveryAddress) {
    ListeningUnit unit(5);
    EXPECT_EQ(LocalAddressOfUdpPort(unit.Port()), "0100007F") << "127.0.0.1";

    // Read at initialisation: re-initialise with the preference cleared.
    SetPrefString(kPrefOSCBindAddress, "");
    AudioUnitUninitialize(unit.Host().Unit());
    ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == unit.Port(); }));
    EXPECT_EQ(LocalAddressOfUdpPort(unit.Port()), "00000000") << "any address";
    EXPECT_TRUE(Answers(unit.Port()));
}

unsigned long NoAddress(const char*) {
    return 0;
}

TEST(OSCPortRule, ABindAddressThatIsNotOursIsReportedAndNothingListens) {
    ListeningUnit unit(0);
    SetPrefString(kPrefOSCBindAddress, "no.such.host.invalid");
    // Never ask a name server from a test.
    MV::OSCHelper::SetHostResolver(&NoAddress);
    AudioUnitUninitialize(unit.Host().Unit());
    ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    const auto [found, printed] =
        Printed([&] { unit.Host().SetParameter(kParam_OSCPortOffset, 5.0f); },
                "std::runtime_error in TaskMain(): OSC Bind Address 'no.such.host.invalid' is "
                "not an IPv4 address");
    EXPECT_TRUE(found) << printed;
    MV::OSCHelper::SetHostResolver(nullptr);
    EXPECT_EQ(unit.Unit().OSCServer().BoundPort(), 0);
    EXPECT_TRUE(IsUdpPortFree(unit.BasePort() + 5));
}

TEST(OSCPortRule, TheReapplyPropertyMovesThePortToANewBase) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    const int newBase = MV::test::FindFreeBasePort({5});
    g_OSCBasePort.store(newBase);
    const UInt8 any = 1;
    ASSERT_EQ(AudioUnitSetProperty(unit.Host().Unit(), kMrvnProperty_ReapplyOSCPort,
                                   kAudioUnitScope_Global, 0, &any, sizeof any),
              noErr);
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == newBase + 5; }));
    EXPECT_TRUE(IsUdpPortFree(unit.Port()));
    EXPECT_TRUE(Answers(newBase + 5));
}

TEST(OSCPortRule, ABasePortOverrideAppliesForTheRunAndIsNeverStored) {
    MV::test::TemporaryPreferences preferences;
    const int storedBase = MV::test::FindFreeBasePort({3});
    const int overrideBase = MV::test::FindFreeBasePort({3});
    SetPrefInt(kPrefOSCBasePort, storedBase);
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    MV::SetPrefIntOverride(kPrefOSCBasePort, overrideBase);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 7000), overrideBase);
    {
        MV::test::UnitHost host(kFluxetComponentDescription, &MrvnFluxetEntry);
        ASSERT_EQ(host.Configure(44100.0, 1), noErr);
        // An offset set before initialisation is listened on as soon as the tasks run.
        host.SetParameter(kParam_OSCPortOffset, 3.0f);
        ASSERT_EQ(host.Initialize(), noErr);
        MV::OSCHelper& server = host.Object<MrvnFluxet>().OSCServer();
        ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == overrideBase + 3; }));
        EXPECT_TRUE(Answers(overrideBase + 3));
    }
    MV::ClearPrefIntOverride(kPrefOSCBasePort);
    EXPECT_EQ(GetPrefInt(kPrefOSCBasePort, 7000), storedBase) << "the file was not written";
}

TEST(OSCTasks, ASecondCreateTaskWarnsAndCleanupEndsTheTasks) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    EXPECT_EQ(Printed([&] { server.CreateTask(); }).second,
              "Warning: Attempt to recreate OSC task\n");
    EXPECT_TRUE(Answers(unit.Port())) << "the running tasks are unchanged";

    AudioUnitUninitialize(unit.Host().Unit());
    EXPECT_FALSE(server.HasTasks());
    EXPECT_EQ(server.BoundPort(), 0);
    EXPECT_TRUE(IsUdpPortFree(unit.Port()));
    EXPECT_EQ(Printed([&] { server.DestroyTask(); }).second, "") << "nothing to end";
    // Initialising again listens again on the port the offset gives.
    ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    ASSERT_TRUE(WaitUntil([&] { return server.BoundPort() == unit.Port(); }));
    EXPECT_TRUE(Answers(unit.Port()));
}

TEST(OSCTasks, NotificationsQueueWithoutTasksUpToTheRingCapacity) {
    ListeningUnit unit(5);
    MV::OSCHelper& server = unit.Unit().OSCServer();
    OscTestClient watcher;
    OscTestClient client;
    client.Send(unit.Port(),
                (MessageBuilder("/registerUpdate") << 4 << watcher.Address() << "/four").Finish());
    ASSERT_TRUE(PingRoundTrip(client, unit.Port()));
    AudioUnitUninitialize(unit.Host().Unit());
    ASSERT_FALSE(server.HasTasks());

    for (int i = 0; i < 70; ++i) {
        unit.Host().SetParameter(4, float(i));
    }
    // Registrations outlive the tasks; the queued changes go out once the tasks run again,
    // and the seven that did not fit are reported on standard error.
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    for (int i = 0; i < 63; ++i) {
        const auto note = watcher.ReceiveReply();
        ASSERT_TRUE(note) << i;
        EXPECT_EQ(std::get<float>(note->args[1]), float(i));
    }
    unit.Host().SetParameter(4, 100.0f);
    const auto latest = watcher.ReceiveReply();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(latest);
    EXPECT_EQ(std::get<float>(latest->args[1]), 100.0f);
    std::size_t overflows = 0;
    for (std::size_t at = errors.find("OSCHelper::SetParamQueue::Write() overflow\n");
         at != std::string::npos;
         at = errors.find("OSCHelper::SetParamQueue::Write() overflow\n", at + 1)) {
        ++overflows;
    }
    EXPECT_EQ(overflows, 7u);
}

// Ports move on one thread while another floods the server and a third re-initialises: no
// packet, break or shutdown may be lost or touch a closed socket (ThreadSanitizer watches).
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
        const auto packet = (MessageBuilder("/set") << 2 << 0.5f).Finish();
        while (!stop.load()) {
            for (int offset = 5; offset < 8; ++offset) {
                client.Send(unit.BasePort() + offset, packet);
            }
        }
    });
    for (int i = 0; i < 20; ++i) {
        AudioUnitUninitialize(unit.Host().Unit());
        ASSERT_EQ(AudioUnitInitialize(unit.Host().Unit()), noErr);
    }
    stop.store(true);
    mover.join();
    flooder.join();
    // Settle on one port, which then answers.
    ASSERT_TRUE(unit.MoveTo(6));
    EXPECT_TRUE(Answers(unit.BasePort() + 6));
}

} // namespace
