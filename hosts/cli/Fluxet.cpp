#include <ostream>

#include "Commands.h"

#ifndef FLUXET_VERSION
#error "FLUXET_VERSION must name the program's version"
#endif

namespace MrvnCli {

namespace {

constexpr MrvnCommand kCommands[] = {
#define FLUXET_COMMAND(name, function, summary) {(name), &(function), (summary)},
#include "Commands.def"
#undef FLUXET_COMMAND
};

void PrintHelp(std::ostream& out) {
    out << "usage: fluxet COMMAND [OPTIONS] [ARGUMENTS]\n"
           "       fluxet --help | --version\n"
           "\n"
           "Fluxet, a modulated-delay effect (chorus, flanger, vibrato, ensemble, delay).\n"
           "\n"
           "Commands:\n";
    for (const MrvnCommand& command : kCommands) {
        std::string name = command.name;
        name.resize(10, ' ');
        out << "  " << name << command.summary << "\n";
    }
    out << "\nRun 'fluxet COMMAND --help' for a command's options.\n";
}

} // namespace

std::span<const MrvnCommand> CommandTable() {
    return kCommands;
}

int RunFluxet(const std::vector<std::string>& args, MrvnCliContext& context) {
    std::string helpHint = "fluxet --help";
    try {
        if (args.empty()) {
            ThrowUsage("no command given");
        }
        const std::string& first = args.front();
        if (first == "--help" || first == "-h" || first == "help") {
            PrintHelp(context.out);
            return kExitSuccess;
        }
        if (first == "--version") {
            context.out << "fluxet " << FLUXET_VERSION << "\n";
            return kExitSuccess;
        }
        for (const MrvnCommand& command : kCommands) {
            if (first == command.name) {
                helpHint = "fluxet " + first + " --help";
                return command.run(std::vector<std::string>(args.begin() + 1, args.end()), context);
            }
        }
        ThrowUsage(first.starts_with("-") ? "unknown option " + Quoted(first)
                                          : "unknown command " + Quoted(first));
    } catch (const MrvnCliError& error) {
        context.err << "fluxet: " << error.what();
        if (error.Status() == kExitUsage) {
            context.err << " (try '" << (error.Hint().empty() ? helpHint : error.Hint()) << "')";
        }
        context.err << std::endl;
        return error.Status();
    } catch (const std::bad_alloc&) {
        context.err << "fluxet: out of memory" << std::endl;
        return kExitFailure;
    } catch (const std::exception& error) {
        context.err << "fluxet: " << error.what() << std::endl;
        return kExitFailure;
    }
}

} // namespace MrvnCli
