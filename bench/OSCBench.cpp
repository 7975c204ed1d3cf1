// OSC server throughput and latency on the loopback interface: "/set" messages handled with
// every change notified, "/get" round trips, notification fan-out, what NotifySetParam costs
// the thread that sets a parameter (possibly the audio thread), and how long a render with a
// MIDI callback takes while an OSC call runs in the script.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <vector>

#include "AudioUnitAPI.h"
#include "FluxetParameters.h"
#include "MrvnFluxet.h"
#include "OscTestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using MV::test::ListeningUnit;
using MV::test::MessageBuilder;
using MV::test::OscTestClient;

void Register(ListeningUnit& unit, const OscTestClient& watcher, int id, const char* path) {
    OscTestClient sender;
    sender.Send(unit.Port(),
                (MessageBuilder("/registerUpdate") << id << watcher.Address() << path).Finish());
    MV::test::PingRoundTrip(sender, unit.Port());
}

// "/set" messages from one sender, each change sent on to a registered client: batches of
// 32, and the next batch only once all 32 notifications arrived.
void BM_SetWithEveryChangeNotified(benchmark::State& state) {
    ListeningUnit unit(5);
    OscTestClient sender;
    OscTestClient watcher;
    Register(unit, watcher, 3, "/changed");
    constexpr int kBatch = 32;
    std::vector<MV::test::Packet> packets;
    for (int i = 0; i < kBatch; ++i) {
        packets.push_back((MessageBuilder("/set") << 3 << float(i % 100) * 0.01f).Finish());
    }
    std::int64_t handled = 0;
    for (auto _ : state) {
        for (const auto& packet : packets) {
            sender.Send(unit.Port(), packet);
        }
        for (int i = 0; i < kBatch; ++i) {
            if (!watcher.Receive(5000)) {
                state.SkipWithError("a notification was lost");
                return;
            }
        }
        handled += kBatch;
    }
    state.SetItemsProcessed(handled);
    state.counters["sets_per_second"] =
        benchmark::Counter(double(handled), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SetWithEveryChangeNotified)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One "/get" and its reply, one at a time; the percentiles of the round trips.
void BM_GetRoundTrip(benchmark::State& state) {
    ListeningUnit unit(5);
    OscTestClient client;
    const auto packet = (MessageBuilder("/get") << 2 << client.Address() << "/v").Finish();
    std::vector<double> microseconds;
    microseconds.reserve(200000);
    for (auto _ : state) {
        const auto start = Clock::now();
        client.Send(unit.Port(), packet);
        if (!client.Receive(5000)) {
            state.SkipWithError("no reply");
            return;
        }
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(microseconds.begin(), microseconds.end());
    const auto at = [&](double fraction) {
        return microseconds[std::min(microseconds.size() - 1,
                                     std::size_t(fraction * double(microseconds.size())))];
    };
    state.counters["p50_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = microseconds.back();
}
BENCHMARK(BM_GetRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// One host change sent to 16 registered clients (16 packets, each from a fresh socket).
void BM_NotificationFanOutTo16Clients(benchmark::State& state) {
    ListeningUnit unit(5);
    std::vector<std::unique_ptr<OscTestClient>> watchers;
    for (int i = 0; i < 16; ++i) {
        watchers.push_back(std::make_unique<OscTestClient>());
        Register(unit, *watchers.back(), kParam_Bias, "/bias");
    }
    float value = 0.0f;
    for (auto _ : state) {
        value = value >= 50.0f ? -50.0f : value + 1.0f;
        unit.Host().SetParameter(kParam_Bias, value);
        for (const auto& watcher : watchers) {
            if (!watcher->Receive(5000)) {
                state.SkipWithError("a notification was lost");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(BM_NotificationFanOutTo16Clients)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The caller's cost of NotifySetParam (it may run on the audio thread). Unwatched: a bounds
// check and a flag. Watched: one ring write while the notification task is busy with earlier
// changes, which it reaches without being woken. The first change after a quiet spell must
// also wake the sleeping task (one futex system call): measured on its own below.
void BM_NotifySetParam(benchmark::State& state) {
    const bool watched = state.range(0) != 0;
    ListeningUnit unit(5);
    std::vector<std::unique_ptr<OscTestClient>> watchers;
    if (watched) {
        // Sixteen packets per change keep the task busy while the batch is written.
        for (int i = 0; i < 16; ++i) {
            watchers.push_back(std::make_unique<OscTestClient>());
            Register(unit, *watchers.back(), 6, "/six");
        }
    }
    MV::OSCHelper& server = unit.Unit().OSCServer();
    constexpr int kBatch = 48;
    std::int64_t calls = 0;
    for (auto _ : state) {
        state.PauseTiming();
        while (server.PendingNotifications() != 0) {
        }
        for (const auto& watcher : watchers) {
            watcher->Drain();
        }
        server.NotifySetParam(6, -1.0f); // wakes the task
        state.ResumeTiming();
        for (int i = 0; i < kBatch; ++i) {
            server.NotifySetParam(6, float(i));
        }
        calls += kBatch;
    }
    state.SetItemsProcessed(calls);
    state.counters["ns_per_call"] = benchmark::Counter(
        double(calls), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_NotifySetParam)->Arg(0)->Arg(1)->ArgName("watched")->Iterations(400);

// The first watched change after a quiet spell: the ring write and the wake-up of the sleeping
// notification task.
void BM_NotifySetParamWakingTheTask(benchmark::State& state) {
    ListeningUnit unit(5);
    OscTestClient watcher;
    Register(unit, watcher, 6, "/six");
    MV::OSCHelper& server = unit.Unit().OSCServer();
    server.NotifySetParam(6, 1.0f);
    for (auto _ : state) {
        state.PauseTiming();
        if (!watcher.Receive(5000)) {
            state.SkipWithError("a notification was lost");
            return;
        }
        // Let the task go back to sleep.
        MV::test::SleepMilliseconds(1);
        state.ResumeTiming();
        server.NotifySetParam(6, 1.0f);
    }
}
BENCHMARK(BM_NotifySetParamWakingTheTask)->Unit(benchmark::kMicrosecond)->Iterations(400);

// A render call of 256 frames carrying one controller whose callback runs, while a function
// called over OSC keeps the script busy (arg 1) or not (arg 0): the render waits for that
// call to give way at its next instruction hook, never for its end. Percentiles of the renders.
void BM_RenderWithMidiCallbackDuringAnOscCall(benchmark::State& state) {
    const bool busy = state.range(0) != 0;
    MV::test::TemporaryPreferences folder;
    OscTestClient sender;
    std::ofstream(folder.Folder() + "/bench.lua") << R"(
requestCC(20, function(channel, controller, value) seen = value end)
function busy() sendOSC(")" << sender.Address() << R"(", "/busy")
    while not stop do end
    sendOSC(")" << sender.Address() << R"(", "/done") end
requestCC(21, function() stop = true end)
)";
    ListeningUnit unit(5, folder.Folder());
    unit.Unit().ScriptHost().SetCallbackTimeLimitMs(0);
    const std::vector<std::vector<Float32>> input(2, std::vector<Float32>(256, 0.1f));
    std::vector<std::vector<Float32>> output;
    if (busy) {
        sender.Send(unit.Port(), (MessageBuilder("/exec") << std::string("busy")).Finish());
        if (!sender.Receive(5000)) {
            state.SkipWithError("the OSC call did not start");
            return;
        }
    }
    std::vector<double> microseconds;
    for (auto _ : state) {
        MusicDeviceMIDIEvent(unit.Host().Unit(), 0xB0, 20, 1, 128);
        const auto start = Clock::now();
        unit.Host().Render(input, 0, 256, output);
        microseconds.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    MusicDeviceMIDIEvent(unit.Host().Unit(), 0xB0, 21, 1, 0);
    unit.Host().Render(input, 0, 256, output);
    if (busy && !sender.Receive(5000)) {
        state.SkipWithError("the OSC call did not run to its end");
        return;
    }
    std::sort(microseconds.begin(), microseconds.end());
    state.counters["p50_us"] = microseconds[microseconds.size() / 2];
    state.counters["p99_us"] = microseconds[microseconds.size() * 99 / 100];
    state.counters["max_us"] = microseconds.back();
}
BENCHMARK(BM_RenderWithMidiCallbackDuringAnOscCall)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("busy")
    ->Iterations(2000)
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
