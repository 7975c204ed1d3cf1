#include <filesystem>
#include <ostream>

#include "AudioFiles.h"
#include "Commands.h"
#include "DemoSignal.h"
#include "Render.h"

namespace MrvnCli {

namespace {

constexpr Float64 kDemoSampleRate = 48000.0;

// Contrasting sounds: a wide chorus, a flanger, an echo and a vibrato.
constexpr const char* kDemoPresets[] = {"Ensemble", "Flangey", "Simple Delay", "Wobbly"};

const char* const kDemoHelp =
    "usage: fluxet demo [DIR]\n"
    "\n"
    "Writes a short synthesised piece (dry.wav) and its renders through four contrasting\n"
    "factory presets into DIR (default fluxet-demo), and prints each file's path.\n";

std::string FileNameFor(std::string preset) {
    for (char& c : preset) {
        c = c == ' ' ? '-' : char(std::tolower(static_cast<unsigned char>(c)));
    }
    return preset + ".wav";
}

} // namespace

int RunDemo(const std::vector<std::string>& args, MrvnCliContext& context) {
    const MrvnParsedArguments parsed = ParseArguments(args, {});
    if (parsed.help) {
        context.out << kDemoHelp;
        return kExitSuccess;
    }
    if (parsed.positionals.size() > 1) {
        ThrowUsage("demo takes at most one DIR");
    }
    const std::filesystem::path folder = parsed.positionals.empty()
                                             ? std::filesystem::path("fluxet-demo")
                                             : std::filesystem::path(parsed.positionals[0]);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        ThrowFailure("cannot create " + Quoted(folder.string()) + ": " + error.message());
    }

    const std::string dry = (folder / "dry.wav").string();
    WriteSoundFile(dry, SynthesizeDemoSignal(kDemoSampleRate), kDemoSampleRate);
    context.out << dry << std::endl;

    for (const char* preset : kDemoPresets) {
        MrvnRenderOptions options;
        options.preset = preset;
        options.tail = true;
        options.quiet = true;
        const std::string output = (folder / FileNameFor(preset)).string();
        RenderFile(options, dry, output, context);
        context.out << output << std::endl;
    }
    return kExitSuccess;
}

} // namespace MrvnCli
