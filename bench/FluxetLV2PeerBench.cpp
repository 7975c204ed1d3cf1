// Cost per frame of LV2 plug-ins side by side in one process, at several block sizes. Each row
// is one plug-in at its defaults or at one of its presets; every row and block size is timed
// once per round, and the best round of each counts, so that load from other programs falls on
// all of them alike. The time is the rendering thread's own CPU time around run() calls.
//
// usage: fluxet_lv2_peer_bench [--frames N] [--rounds R] [--blocks 16,64,...]
//                              [--reference LABEL] ROW...
// ROW is "label|plug-in URI" or "label|plug-in URI|preset label". The table shows nanoseconds
// per frame and the ratio to the reference row (the first row unless named).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "LV2BenchHost.h"

namespace {

using fluxet_bench::LV2BenchInstance;
using fluxet_bench::LV2BenchWorld;

struct Row {
    std::string label;
    std::string uri;
    std::string preset;
    std::unique_ptr<LV2BenchInstance> instance;
    std::vector<double> best; // seconds per frame, by block size
};

std::vector<std::uint32_t> ParseBlocks(const char* text) {
    std::vector<std::uint32_t> blocks;
    for (const char* at = text; *at != '\0';) {
        char* end = nullptr;
        const unsigned long value = std::strtoul(at, &end, 10);
        if (end == at || value == 0) {
            return {};
        }
        blocks.push_back(std::uint32_t(value));
        at = *end == ',' ? end + 1 : end;
    }
    return blocks;
}

int Usage() {
    std::fputs("usage: fluxet_lv2_peer_bench [--frames N] [--rounds R] [--blocks 16,64,...] "
               "[--reference LABEL] 'label|uri[|preset]'...\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::uint32_t frames = 480000;
    int rounds = 7;
    std::vector<std::uint32_t> blocks = {16, 32, 64, 128, 512, 4096};
    std::string reference;
    std::unique_ptr<LV2BenchWorld> world; // outlives the instances
    std::vector<Row> rows;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--frames" && hasValue) {
            frames = std::uint32_t(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--rounds" && hasValue) {
            rounds = std::atoi(argv[++i]);
        } else if (arg == "--blocks" && hasValue) {
            blocks = ParseBlocks(argv[++i]);
        } else if (arg == "--reference" && hasValue) {
            reference = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            const std::size_t bar = arg.find('|');
            const std::size_t second = bar == std::string::npos ? bar : arg.find('|', bar + 1);
            if (bar == std::string::npos) {
                return Usage();
            }
            Row row;
            row.label = arg.substr(0, bar);
            row.uri = arg.substr(bar + 1, second == std::string::npos ? second : second - bar - 1);
            row.preset = second == std::string::npos ? "" : arg.substr(second + 1);
            rows.push_back(std::move(row));
        }
    }
    if (rows.empty() || blocks.empty() || frames == 0 || rounds < 1) {
        return Usage();
    }
    std::uint32_t largest = 0;
    for (std::uint32_t block : blocks) {
        largest = std::max(largest, block);
    }

    world = std::make_unique<LV2BenchWorld>(48000.0, std::int32_t(largest));
    for (Row& row : rows) {
        const LilvPlugin* plugin = world->Plugin(row.uri);
        if (plugin == nullptr) {
            std::fprintf(stderr, "%s: not installed, left out\n", row.label.c_str());
            continue;
        }
        row.instance = std::make_unique<LV2BenchInstance>(*world, plugin);
        if (!row.preset.empty() && !row.instance->ApplyPreset(row.preset)) {
            std::fprintf(stderr, "%s: no preset \"%s\"\n", row.label.c_str(), row.preset.c_str());
            return 1;
        }
        row.best.assign(blocks.size(), std::numeric_limits<double>::infinity());
    }

    for (int round = 0; round < rounds; ++round) {
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const std::uint32_t block = blocks[b];
            const std::uint32_t runs = (frames + block - 1) / block;
            for (Row& row : rows) {
                if (row.instance == nullptr) {
                    continue;
                }
                LV2BenchInstance& instance = *row.instance;
                const double start = fluxet_bench::ThreadSeconds();
                for (std::uint32_t r = 0; r < runs; ++r) {
                    instance.Run(block);
                }
                const double perFrame =
                    (fluxet_bench::ThreadSeconds() - start) / (double(runs) * block);
                row.best[b] = std::min(row.best[b], perFrame);
            }
        }
    }

    const Row* ref = nullptr;
    for (const Row& row : rows) {
        if (row.instance != nullptr && (reference.empty() || row.label == reference)) {
            ref = &row;
            break;
        }
    }
    if (ref == nullptr) {
        std::fprintf(stderr, "no reference row \"%s\"\n", reference.c_str());
        return 1;
    }
    std::printf("machine: %s\n", fluxet_bench::MachineDescription().c_str());
    const char* loops = std::getenv("FLUXET_LOOPS");
    std::printf("%u frames per block size and row, best of %d rounds; FLUXET_LOOPS=%s\n", frames,
                rounds, loops != nullptr ? loops : "(unset)");
    std::printf("ns per frame (thread CPU time), and the ratio to %s\n", ref->label.c_str());
    std::printf("%-30s", "plug-in");
    for (std::uint32_t block : blocks) {
        std::printf("%16u", block);
    }
    std::printf("\n");
    for (const Row& row : rows) {
        if (row.instance == nullptr) {
            continue;
        }
        std::printf("%-30s", row.label.c_str());
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            char cell[32];
            std::snprintf(cell, sizeof cell, "%.2f x%.2f", row.best[b] * 1e9,
                          row.best[b] / ref->best[b]);
            std::printf("%16s", cell);
        }
        std::printf("\n");
    }
    return 0;
}
