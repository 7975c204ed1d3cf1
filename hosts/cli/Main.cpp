// The `fluxet` program: the commands run with the process's streams and Fluxet's own unit.
#include <atomic>
#include <csignal>
#include <iostream>

#include <unistd.h>

#include "Commands.h"
#include "MrvnFluxet.h"

namespace {

std::atomic<bool> g_interrupted{false};

// Signal handler; only sets the flag that the render loop checks between blocks, so that
// the temporary output is removed on the way out.
extern "C" void HandleInterrupt(int /*signal*/) {
    g_interrupted.store(true, std::memory_order_relaxed);
}

} // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = &HandleInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    MrvnCli::MrvnCliContext context{std::cout, std::cerr, &MrvnFluxetEntry};
    context.errIsTerminal = ::isatty(STDERR_FILENO) != 0;
    context.interrupted = &g_interrupted;
    return MrvnCli::RunFluxet(std::vector<std::string>(argv + 1, argv + argc), context);
}
