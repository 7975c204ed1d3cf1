// What the fuzz targets share: the description of a target (its inputs, seeds and checks),
// the checks themselves, a private set of folders for everything a target writes, and the
// regression inputs kept from earlier runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "AUTypes.h"

namespace MV::fuzz {

using Input = std::vector<char>;

struct FuzzTarget {
    // Names the target's program (fluxet_NAME_fuzz), seed and regression folders, dictionary.
    const char* name;
    // Handles one input; a fault it finds ends the process through FuzzCheck.
    void (*handle)(const std::uint8_t* data, std::size_t size);
    // Inputs that start the fuzzer (and the replay test) in every corner of the target.
    std::vector<Input> (*seeds)();
    // Inputs longer than this are cut: the target reads no more.
    std::size_t maxLength;
};

const FuzzTarget& OSCPacketTarget();
const FuzzTarget& StateTarget();
const FuzzTarget& PropertyListTarget();
const FuzzTarget& MidiFileTarget();
const FuzzTarget& LV2AtomTarget();
const std::vector<const FuzzTarget*>& AllTargets();

// Ends the process with the message on standard error when ok is false: the fuzzer keeps the
// input that did it, and a replay test fails.
void FuzzCheck(bool ok, const char* what);

// Whether rendered output must be finite: always, unless FLUXET_FUZZ_CHECK_FINITE is 0 (to go
// on fuzzing for other faults while one is known).
bool CheckFiniteOutput();
// Checks every sample of the channels (when CheckFiniteOutput()).
void CheckFinite(const std::vector<std::vector<Float32>>& channels, const char* where);
void CheckFinite(const float* samples, std::size_t count, const char* where);

// One folder for the process, made on first use, that stands for the user's configuration and
// data folders and holds the scripts the targets run; OSC servers listen on 127.0.0.1 only.
// Returns its path.
const std::string& HermeticFolder();

// The inputs kept in tests/fuzz/regressions/<target>/ (faults found before, fixed since).
std::vector<Input> RegressionInputs(const FuzzTarget& target);

// An input made from a seed the way a fuzzer starts out: bytes flipped, cut, a word made huge,
// two inputs glued together.
Input Mutate(const std::vector<Input>& seeds, std::mt19937& generator);

// Reads the fuzz input from the front; past its end every read gives zeros.
class InputReader {
public:
    InputReader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_at >= m_size; }
    std::size_t Left() const { return Empty() ? 0 : m_size - m_at; }
    std::uint8_t Byte() { return Empty() ? 0 : m_data[m_at++]; }
    std::uint32_t Word(unsigned bytes = 4);
    std::vector<std::uint8_t> Bytes(std::size_t count);

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

} // namespace MV::fuzz
