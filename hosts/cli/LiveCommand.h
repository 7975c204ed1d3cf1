// `fluxet live` as other commands build on it: one instance running in real time with its
// options, and whatever a command runs beside the live loop (fluxet editor opens the editor).
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "CliSupport.h"
#include "HostedUnit.h"
#include "RenderOptions.h"

namespace MrvnCli {

struct MrvnLiveExtension {
    // The command's name in messages; empty: "live".
    std::string command;
    // The command's usage and description for --help (empty: live's), and the lines of its
    // own options, printed after live's.
    std::string help;
    std::string optionsHelp;
    // Options besides live's.
    std::vector<MrvnOptionRule> options;
    // After the options are read, before the unit exists; throws to refuse to run.
    std::function<void()> checkEnvironment;
    // Once the unit is set up and announced, before the first block. Setting stop ends the
    // loop after its current block.
    std::function<void(MrvnHostedUnit& unit, std::atomic<bool>& stop)> start;
    // After the loop ended (also when it failed), before the state is saved.
    std::function<void()> finish;
};

// The options lines of `fluxet live --help`.
extern const char* const kLiveOptionsHelp;

// `fluxet live` with an extension. The loop runs on the calling thread.
int RunLiveWith(const std::vector<std::string>& args, MrvnCliContext& context,
                const MrvnLiveExtension& extension);

} // namespace MrvnCli
