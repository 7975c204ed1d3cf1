#include "FuzzSupport.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "FileLocations.h"
#include "Preferences.h"

namespace MV::fuzz {

const std::vector<const FuzzTarget*>& AllTargets() {
    static const std::vector<const FuzzTarget*> targets{&OSCPacketTarget(), &StateTarget(),
                                                        &PropertyListTarget(), &MidiFileTarget(),
                                                        &LV2AtomTarget()};
    return targets;
}

void FuzzCheck(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
}

bool CheckFiniteOutput() {
    static const bool check = [] {
        const char* value = std::getenv("FLUXET_FUZZ_CHECK_FINITE");
        return value == nullptr || std::string(value) != "0";
    }();
    return check;
}

void CheckFinite(const float* samples, std::size_t count, const char* where) {
    if (!CheckFiniteOutput()) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        FuzzCheck(std::isfinite(samples[i]), where);
    }
}

void CheckFinite(const std::vector<std::vector<Float32>>& channels, const char* where) {
    for (const std::vector<Float32>& channel : channels) {
        CheckFinite(channel.data(), channel.size(), where);
    }
}

const std::string& HermeticFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/fluxet-fuzz-XXXXXX";
        FuzzCheck(mkdtemp(pattern) != nullptr, "a private folder can be made in /tmp");
        const std::filesystem::path root = pattern;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "FLUXET_LOCAL_DATA_DIR",
                                 "FLUXET_SYSTEM_DATA_DIR"}) {
            std::filesystem::create_directories(root / name);
            setenv(name, (root / name).c_str(), 1);
        }
        std::filesystem::create_directories(root / "scripts");
        MV::SetScriptFolderOverride((root / "scripts").string());
        // Only a port offset a target sets opens a port: on this computer only, well away
        // from the ports of tests that may run beside it.
        SetPrefString(kPrefOSCBindAddress, "127.0.0.1");
        SetPrefInt(kPrefOSCBasePort, 47000 + int(getpid() % 1000) * 10);
        return root.string();
    }();
    return folder;
}

std::vector<Input> RegressionInputs(const FuzzTarget& target) {
    std::vector<Input> inputs;
    const std::filesystem::path folder =
        std::filesystem::path(FLUXET_FUZZ_REGRESSIONS) / target.name;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        std::ifstream file(entry.path(), std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    return inputs;
}

Input Mutate(const std::vector<Input>& seeds, std::mt19937& generator) {
    Input input = seeds[generator() % seeds.size()];
    if (input.empty()) {
        return input;
    }
    switch (generator() % 4) {
    case 0: // bytes flipped
        for (int n = 0; n < 1 + int(generator() % 4); ++n) {
            input[generator() % input.size()] = char(generator());
        }
        break;
    case 1: // cut short
        input.resize(generator() % input.size());
        break;
    case 2: // a size or count made huge
        input[generator() % input.size()] = char(0x7F + generator() % 2 * 0x80);
        break;
    default: { // two inputs glued together
        const Input& other = seeds[generator() % seeds.size()];
        input.insert(input.end(), other.begin(), other.end());
        break;
    }
    }
    return input;
}

std::uint32_t InputReader::Word(unsigned bytes) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < bytes; ++i) {
        value = (value << 8) | Byte();
    }
    return value;
}

std::vector<std::uint8_t> InputReader::Bytes(std::size_t count) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < count && !Empty(); ++i) {
        bytes.push_back(Byte());
    }
    return bytes;
}

} // namespace MV::fuzz
