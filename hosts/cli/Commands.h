// The commands of the `fluxet` program and the dispatcher that runs them.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "CliSupport.h"

namespace MrvnCli {

using MrvnCommandFunction = int (*)(const std::vector<std::string>& args, MrvnCliContext& context);

#define FLUXET_COMMAND(name, function, summary)                                                    \
    int function(const std::vector<std::string>& args, MrvnCliContext& context);
#include "Commands.def"
#undef FLUXET_COMMAND

struct MrvnCommand {
    const char* name;
    MrvnCommandFunction run;
    const char* summary;
};

std::span<const MrvnCommand> CommandTable();

// The whole program: args are the words after the program's name. Prints errors as one line
// on the context's error stream and returns the exit status.
int RunFluxet(const std::vector<std::string>& args, MrvnCliContext& context);

} // namespace MrvnCli
