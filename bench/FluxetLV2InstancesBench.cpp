// Many stereo instances of the built bundle in one process, as a mixing session puts a chorus on
// many tracks: each with its OSC server on (127.0.0.1 only), a user script whose CC callback
// sets a parameter, and a CC message in every 128-frame block, rendered at the pace of 48 kHz
// audio. Reports the share of one core the process uses meanwhile (in its least busy second:
// other programs on the machine make the others dearer), and per instance the time to
// create and initialise it, its memory and its threads. The same again with OSC off and no
// user script, and the threads left once every instance is gone.
//
// usage: fluxet_lv2_instances_bench [--instances N] [--seconds S] [--midi 0] [--bundle DIR]
// (--midi 0 leaves the blocks without MIDI, for comparison; --bundle measures another build's
// bundle instead of this build's)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <lv2/atom/forge.h>
#include <lv2/midi/midi.h>
#include <lv2/state/state.h>
#include <unistd.h>

#include "FluxetLV2Metadata.h"
#include "FluxetParameters.h"
#include "LV2BenchHost.h"
#include "OscTestSupport.h"
#include "Preferences.h"

namespace {

using fluxet_bench::LV2BenchInstance;
using fluxet_bench::LV2BenchWorld;

constexpr std::uint32_t kBlock = 128;
constexpr double kSampleRate = 48000.0;
constexpr const char* kStereo = "http://morvane.com/plugins/fluxet/stereo";

std::size_t Threads() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/task");
    return std::size_t(std::distance(begin(entries), end(entries)));
}

double ResidentMiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0;
    long resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// base + 1 .. base + count free on 127.0.0.1.
int FreeBasePort(int count) {
    for (int base = 20000 + int(getpid() % 2000) * 16; base < 60000; base += 97) {
        bool free = true;
        for (int offset = 1; offset <= count && free; ++offset) {
            free = MV::test::IsUdpPortFree(base + offset);
        }
        if (free) {
            return base;
        }
    }
    return 0;
}

// The "OSC Port Offset" of a session being restored; every other value stays.
struct PortOffsetState {
    LV2_URID key;
    LV2_URID intType;
    std::int32_t offset;
};

const void* RetrievePortOffset(LV2_State_Handle handle, uint32_t key, size_t* size, uint32_t* type,
                               uint32_t* flags) {
    const auto* state = static_cast<const PortOffsetState*>(handle);
    if (key != state->key) {
        return nullptr;
    }
    *size = sizeof(state->offset);
    *type = state->intType;
    *flags = LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE;
    return &state->offset;
}

struct Result {
    double createMs = 0;    // median
    double slowestMs = 0;   // of one instance
    double memoryMiB = 0;   // per instance
    double threads = 0;     // per instance
    double coreShare = 0;   // of one core, the whole process while rendering (least second)
    double renderShare = 0; // of one core, the rendering thread alone (least second)
};

Result Measure(LV2BenchWorld& world, int count, double seconds, bool osc, int basePort, bool midi) {
    const LilvPlugin* plugin = world.Plugin(kStereo);
    if (plugin == nullptr) {
        std::fputs("the stereo plug-in is not in the bundle\n", stderr);
        std::exit(1);
    }
    Result result;
    const std::size_t threadsBefore = Threads();
    const double memoryBefore = ResidentMiB();
    std::vector<std::unique_ptr<LV2BenchInstance>> instances;
    std::vector<double> createMs;
    for (int i = 0; i < count; ++i) {
        const double start = fluxet_bench::WallSeconds();
        instances.push_back(std::make_unique<LV2BenchInstance>(world, plugin));
        createMs.push_back((fluxet_bench::WallSeconds() - start) * 1000.0);
    }
    if (osc) {
        for (int i = 0; i < count; ++i) {
            PortOffsetState state{world.Map(FluxetLV2ParameterURI(kParam_OSCPortOffset).c_str()),
                                  world.Map(LV2_ATOM__Int), i + 1};
            const auto* interface = static_cast<const LV2_State_Interface*>(
                lilv_instance_get_extension_data(instances[i]->Instance(), LV2_STATE__interface));
            interface->restore(lilv_instance_get_handle(instances[i]->Instance()),
                               RetrievePortOffset, &state, 0, world.Features());
        }
        // Every server answers before the clock starts (they open their ports meanwhile).
        const MV::test::OscTestClient client;
        for (int i = 0; i < count; ++i) {
            if (!MV::test::WaitUntil(
                    [&] { return MV::test::PingRoundTrip(client, basePort + i + 1, 100); })) {
                std::fprintf(stderr, "instance %d does not answer OSC\n", i);
                std::exit(1);
            }
        }
    }
    result.slowestMs = *std::max_element(createMs.begin(), createMs.end());
    std::nth_element(createMs.begin(), createMs.begin() + count / 2, createMs.end());
    result.createMs = createMs[count / 2];
    result.memoryMiB = (ResidentMiB() - memoryBefore) / count;
    result.threads = double(Threads() - threadsBefore) / count;

    // A controller message in every block, its value moving.
    LV2_URID_Map* map = world.UridMap();
    const LV2_URID midiEvent = world.Map(LV2_MIDI__MidiEvent);
    LV2_Atom_Forge forge;
    lv2_atom_forge_init(&forge, map);
    // The share of one core is taken over windows of a second each, and the least of them
    // counts: the machine's other work falls on some windows, not on the program.
    const auto windowBlocks = std::uint64_t(kSampleRate / kBlock);
    const auto blocks = std::max(windowBlocks, std::uint64_t(seconds * kSampleRate / kBlock));
    const double period = kBlock / kSampleRate;
    const double wallStart = fluxet_bench::WallSeconds();
    double windowWall = wallStart;
    double windowProcess = fluxet_bench::ProcessSeconds();
    double windowThread = fluxet_bench::ThreadSeconds();
    result.coreShare = result.renderShare = 1e9;
    for (std::uint64_t b = 0; b < blocks; ++b) {
        for (auto& instance : instances) {
            LV2BenchInstance::AtomBuffer* events = instance->EventInput();
            lv2_atom_forge_set_buffer(&forge, reinterpret_cast<uint8_t*>(events->storage.data()),
                                      events->storage.size() * sizeof(std::uint64_t));
            LV2_Atom_Forge_Frame frame;
            lv2_atom_forge_sequence_head(&forge, &frame, 0);
            if (midi) {
                const uint8_t cc[3] = {0xB0, 21, uint8_t(b % 128)};
                lv2_atom_forge_frame_time(&forge, int64_t(b % kBlock));
                lv2_atom_forge_atom(&forge, sizeof(cc), midiEvent);
                lv2_atom_forge_write(&forge, cc, sizeof(cc));
            }
            lv2_atom_forge_pop(&forge, &frame);
            instance->Run(kBlock);
        }
        const double next = wallStart + double(b + 1) * period;
        const double now = fluxet_bench::WallSeconds();
        if (next > now) {
            std::this_thread::sleep_for(std::chrono::duration<double>(next - now));
        }
        if ((b + 1) % windowBlocks == 0) {
            const double wall = fluxet_bench::WallSeconds();
            const double process = fluxet_bench::ProcessSeconds();
            const double thread = fluxet_bench::ThreadSeconds();
            result.coreShare =
                std::min(result.coreShare, (process - windowProcess) / (wall - windowWall));
            result.renderShare =
                std::min(result.renderShare, (thread - windowThread) / (wall - windowWall));
            windowWall = wall;
            windowProcess = process;
            windowThread = thread;
        }
    }
    instances.clear();
    return result;
}

void Print(const char* what, const Result& r) {
    std::printf("%-34s %6.2f %% of one core (rendering thread %5.2f %%), per instance: "
                "created in %.2f ms (median; slowest %.2f ms), %.2f MiB, %.2f threads\n",
                what, r.coreShare * 100.0, r.renderShare * 100.0, r.createMs, r.slowestMs,
                r.memoryMiB, r.threads);
}

} // namespace

int main(int argc, char** argv) {
    int count = 64;
    double seconds = 10.0;
    bool midi = true;
    const char* bundle = FLUXET_LV2_BUNDLE_DIR;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--instances") == 0) {
            count = std::max(1, std::atoi(argv[i + 1]));
        } else if (std::strcmp(argv[i], "--bundle") == 0) {
            bundle = argv[i + 1];
        } else if (std::strcmp(argv[i], "--midi") == 0) {
            midi = std::atoi(argv[i + 1]) != 0;
        } else if (std::strcmp(argv[i], "--seconds") == 0) {
            seconds = std::max(0.1, std::atof(argv[i + 1]));
        }
    }

    // Preferences and scripts of this run only.
    char pattern[] = "/tmp/fluxet-instances-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::filesystem::path root = pattern;
    for (const char* name :
         {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR", "FLUXET_SYSTEM_DATA_DIR"}) {
        std::filesystem::create_directories(root / name);
        setenv(name, (root / name).c_str(), 1);
    }
    const int basePort = FreeBasePort(count);
    SetPrefInt(kPrefOSCBasePort, basePort);
    SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
    const std::filesystem::path scripts = root / "XDG_DATA_HOME/Morvane/Fluxet/Scripts";

    LV2BenchWorld world(kSampleRate, std::int32_t(kBlock), bundle);
    const std::size_t threadsAtStart = Threads();
    std::printf("machine: %s\n", fluxet_bench::MachineDescription().c_str());
    std::printf("%d stereo instances, %u-frame blocks at %.0f Hz for %.0f s, %s\n", count, kBlock,
                kSampleRate, seconds, midi ? "a CC in every block" : "no MIDI");

    std::filesystem::create_directories(scripts);
    std::ofstream(scripts / "cc.lua") << "requestCC(21, function(channel, controller, value)\n"
                                         "    setParameter(\"Dry Level\", value / 127)\n"
                                         "end)\n";
    Print("OSC on, CC script:", Measure(world, count, seconds, true, basePort, midi));
    std::filesystem::remove(scripts / "cc.lua");
    Print("OSC off, no user script:", Measure(world, count, seconds, false, basePort, midi));
    // Threads that stop with the last instance may take a moment to be gone.
    std::size_t left = Threads();
    for (int i = 0; i < 100 && left > threadsAtStart; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        left = Threads();
    }
    std::printf("threads after the last instance: %zu more than before the first\n",
                left - std::min(left, threadsAtStart));
    std::filesystem::remove_all(root);
    return 0;
}
