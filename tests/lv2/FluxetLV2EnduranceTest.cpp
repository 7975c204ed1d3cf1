// The built bundle through many lives in one process, as in a host where a musician adds and
// removes the effect all evening: OSC on, a script timer and MIDI in every block while packets
// keep arriving. Nothing may pile up (threads, descriptors, memory) and no close may hang.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

#include "LV2TestHost.h"

namespace MV::test {
namespace {

constexpr int kCycles = 1000;
constexpr int kWarmUp = 100; // process-wide threads start, allocator arenas grow
constexpr int kOffset = 7;   // one of the hermetic environment's free ports
constexpr uint32_t kBlock = 256;
// Resident memory may move by allocator caching; a leak of a few kilobytes per cycle may not.
constexpr long kMemorySlackKiB = 4096;
// AddressSanitizer keeps freed memory in quarantine, so there its leak checker stands in.
#ifdef __SANITIZE_ADDRESS__
constexpr bool kResidentMemoryTells = false;
#else
constexpr bool kResidentMemoryTells = true;
#endif

std::size_t Entries(const char* folder) {
    const auto entries = std::filesystem::directory_iterator(folder);
    return std::size_t(std::distance(begin(entries), end(entries)));
}

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Usage {
    std::size_t threads = Entries("/proc/self/task");
    std::size_t descriptors = Entries("/proc/self/fd");
    long residentKiB = ResidentKiB();
};

// All but the port offset and the timer's Spread.
constexpr int kSentParameters[] = {kParam_DryLevel, kParam_SpeedFine, kParam_DepthFine,
                                   kParam_Shape,    kParam_Feedback,  kParam_DepthLFODepth};

// Packets of every kind the address space answers, from one thread, until stopped.
class PacketSender {
public:
    explicit PacketSender(int port)
        : m_thread([this, port] {
              const OscTestClient client;
              const std::string reply = client.Address();
              for (int i = 0; !m_stop.load(); ++i) {
                  const int id = kSentParameters[i % std::size(kSentParameters)];
                  client.Send(port, Message("/set", id, astParamInfos[id].defaultValue));
                  client.Send(port, Message("/get", id, reply, "/value"));
                  client.Send(port, Message("/registerUpdate", id, reply, "/update"));
                  client.Send(port, Message("/ping", reply, "/pong"));
                  while (client.Receive(0)) {
                      m_replies.fetch_add(1);
                  }
                  SleepMilliseconds(1);
              }
          }) {}
    ~PacketSender() {
        m_stop.store(true);
        m_thread.join();
    }
    int Replies() const { return m_replies.load(); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_replies{0};
    std::thread m_thread;
};

TEST(FluxetLV2Endurance, ManyLivesLeaveNothingBehindAndEveryCloseIsQuick) {
    // Spread moves only by the timer, Bias by controllers.
    const UserScript script("requestPeriodicCallback(0.01, function()\n"
                            "    setParameter('Spread', math.random())\n"
                            "end)\n"
                            "requestAllCC(function(channel, controller, value)\n"
                            "    setParameter('Bias', value / 127)\n"
                            "end)\n");
    const int port = g_oscBasePort + kOffset;
    const PacketSender sender(port);
    const OscTestClient probe;
    ControlSequence control;
    Usage warm;
    double slowestClose = 0.0;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        if (cycle == kWarmUp) {
            warm = Usage();
        }
        // Each life lasts until it has answered over OSC and its timer has called the script.
        auto instance = std::make_unique<LV2TestInstance>(kFluxetLV2StereoURI, kBlock);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        bool answered = false, timed = false;
        for (int block = 0; !answered || !timed; ++block) {
            ASSERT_LT(std::chrono::steady_clock::now(), deadline)
                << "life " << cycle << (answered ? "" : ": no OSC answer")
                << (timed ? "" : ": no timer call");
            control.Clear();
            if (block == 0) {
                control.PatchSet(0, kParam_OSCPortOffset, kOffset);
            }
            control.MIDI(10, {0xB0, 1, uint8_t(block % 128)});
            control.MIDI(20, {uint8_t(block % 2 == 0 ? 0x90 : 0x80), 60, 100});
            for (const ReportedValue& report : instance->Run(kBlock, &control)) {
                timed = timed || report.property == ParameterURID(kParam_Spread);
            }
            answered = PingRoundTrip(probe, port, 1) || answered; // paces the blocks too
        }
        const auto start = std::chrono::steady_clock::now();
        instance.reset();
        const double close =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        slowestClose = std::max(slowestClose, close);
        ASSERT_LT(close, 1.0) << "close of life " << cycle << " hung";
        probe.Drain();
    }
    // Tasks left to finish on their own may still be ending.
    WaitUntil([&] { return Usage().threads <= warm.threads; }, 2.0);
    const Usage end;
    EXPECT_LE(end.threads, warm.threads);
    EXPECT_LE(end.descriptors, warm.descriptors);
    if (kResidentMemoryTells) {
        EXPECT_LE(end.residentKiB - warm.residentKiB, kMemorySlackKiB)
            << "resident memory after warm-up " << warm.residentKiB << " KiB, at the end "
            << end.residentKiB << " KiB";
    }
    EXPECT_GT(sender.Replies(), 0) << "no instance answered a packet";
    std::printf("%d lives; slowest close %.1f ms; %d replies; threads %zu -> %zu, descriptors %zu "
                "-> %zu, resident memory %ld -> %ld KiB\n",
                kCycles, slowestClose * 1000, sender.Replies(), warm.threads, end.threads,
                warm.descriptors, end.descriptors, warm.residentKiB, end.residentKiB);
}

} // namespace
} // namespace MV::test
