#include <cmath>
#include <filesystem>
#include <ostream>

#include "AudioFiles.h"
#include "Commands.h"
#include "FileLocations.h"
#include "MidiSchedule.h"
#include "Progress.h"
#include "Render.h"
#include "TransportEvents.h"

namespace MrvnCli {

MrvnBlockBuffers::MrvnBlockBuffers(UInt32 channels, UInt32 frames)
    : in(channels, std::vector<Float32>(frames)), out(channels, std::vector<Float32>(frames)) {
    for (UInt32 c = 0; c < channels; ++c) {
        inPointers.push_back(in[c].data());
        outPointers.push_back(out[c].data());
    }
}

MrvnMidiSchedule::Sink MidiSinkFor(MrvnHostedUnit& unit) {
    return [&unit](const MrvnMidiEvent& event, UInt32 offset) {
        if (event.transport) {
            MrvnTransportEvent change = *event.transport;
            change.offsetSampleFrame = offset;
            return unit.SendTransport(change);
        }
        if (event.IsSysEx()) {
            return unit.SendSysEx(event.bytes.data(), UInt32(event.bytes.size()));
        }
        return unit.SendMIDIEvent(event.bytes[0], event.bytes[1],
                                  event.bytes.size() > 2 ? event.bytes[2] : 0, offset);
    };
}

namespace {

const char* const kRenderHelp =
    "usage: fluxet render [OPTIONS] INPUT OUTPUT\n"
    "\n"
    "Renders INPUT (any file libsndfile reads) through the effect into OUTPUT, keeping its\n"
    "sample rate and channels. OUTPUT's extension picks the format: .wav or .aiff/.aif\n"
    "(32-bit float), .flac (24-bit), .ogg (Vorbis). OUTPUT is replaced only after a\n"
    "successful render.\n"
    "\n"
    "Options:\n";

} // namespace

MrvnScriptFolderScope::MrvnScriptFolderScope(const std::string& folder) {
    if (folder.empty()) {
        return;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        ThrowFailure("script folder " + Quoted(folder) + " does not exist");
    }
    MV::SetScriptFolderOverride(folder);
    m_active = true;
}

MrvnScriptFolderScope::~MrvnScriptFolderScope() {
    if (m_active) {
        MV::SetScriptFolderOverride({});
    }
}

MrvnRenderSession::MrvnRenderSession(const MrvnRenderOptions& options, Float64 sampleRate,
                                     UInt32 channels, ComponentRoutine entry, std::ostream* notes)
    : m_scripts(options.scriptsFolder), m_unit(std::make_unique<MrvnHostedUnit>(entry)) {
    // Every name is checked before anything of the unit changes.
    std::optional<AUPreset> preset;
    if (options.preset) {
        preset = FindFactoryPreset(*m_unit, *options.preset);
    }
    std::vector<MrvnParameterSetting> settings;
    for (const std::string& text : options.settings) {
        settings.push_back(ParseParameterSetting(*m_unit, text));
        if (notes != nullptr && !options.quiet && !settings.back().note.empty()) {
            *notes << "fluxet: note: " << settings.back().note << std::endl;
        }
    }

    m_unit->Configure(sampleRate, channels, options.blockSize);
    if (!options.stateFile.empty()) {
        m_unit->RestoreState(options.stateFile);
    }
    if (preset) {
        m_unit->LoadFactoryPreset(preset->presetNumber);
    }
    for (const MrvnParameterSetting& setting : settings) {
        m_unit->SetParameter(setting.id, setting.value);
    }
    m_unit->Initialize();
    if (options.tail) {
        m_tailFrames = UInt64(std::ceil(m_unit->TailTime() * sampleRate));
    }
}

MrvnRenderResult RenderFile(const MrvnRenderOptions& options, const std::string& input,
                            const std::string& output, MrvnCliContext& context) {
    const std::optional<int> format = OutputFormatForPath(output);
    if (!format) {
        ThrowUsage("cannot tell the format of " + Quoted(output) +
                   ": use .wav, .flac, .aiff, .aif or .ogg");
    }
    MrvnSoundFileReader reader(input);
    const UInt32 channels = reader.Channels();
    const Float64 sampleRate = reader.SampleRate();

    std::vector<MrvnMidiEvent> events;
    if (!options.midiFile.empty()) {
        events = LoadMidiFile(options.midiFile, sampleRate);
    }
    const std::size_t midiEvents = events.size();
    MrvnMidiSchedule schedule(WithTransport(std::move(events), TransportFor(options, sampleRate)),
                              MrvnHostedUnit::MessagesPerRender());

    MrvnRenderSession session(options, sampleRate, channels, context.entry, &context.err);
    MrvnHostedUnit& unit = session.Unit();
    MrvnSoundFileWriter writer(output, *format, sampleRate, channels);

    const UInt64 inputFrames = reader.Frames();
    const UInt64 total = inputFrames + session.TailFrames();
    const UInt32 block = options.blockSize;
    MrvnBlockBuffers buffers(channels, block);
    const MrvnMidiSchedule::Sink toUnit = MidiSinkFor(unit);

    MrvnProgressBar progress(context.err, context.errIsTerminal && !options.quiet);
    UInt64 done = 0;
    while (done < total) {
        if (context.Interrupted()) {
            throw MrvnCliError(kExitInterrupted, "interrupted");
        }
        const UInt32 frames = UInt32(std::min<UInt64>(block, total - done));
        // A file shorter than its header says, and the tail, are silence.
        UInt32 got = 0;
        if (done < inputFrames) {
            got = reader.Read(buffers.in, UInt32(std::min<UInt64>(frames, inputFrames - done)));
        }
        for (UInt32 c = 0; c < channels; ++c) {
            std::fill(buffers.in[c].begin() + got, buffers.in[c].begin() + frames, 0.0f);
        }
        schedule.RenderBlock(
            done, frames, done + frames == total, toUnit, [&](UInt32 offset, UInt32 count) {
                unit.Render(buffers.inPointers.data(), buffers.outPointers.data(), count, offset);
            });
        writer.Write(buffers.outPointers.data(), frames);
        done += frames;
        progress.Update(done, total);
    }
    progress.Finish();

    if (!options.saveStateFile.empty()) {
        unit.SaveState(options.saveStateFile);
    }
    writer.Commit();
    return {total, channels, sampleRate, midiEvents, schedule.Refused()};
}

int RunRender(const std::vector<std::string>& args, MrvnCliContext& context) {
    MrvnRenderOptions options;
    const MrvnParsedArguments parsed = ParseRenderOptions(args, options);
    if (parsed.help) {
        context.out << kRenderHelp << kRenderOptionsHelp;
        return kExitSuccess;
    }
    if (parsed.positionals.size() != 2) {
        ThrowUsage("render needs INPUT and OUTPUT");
    }
    const MrvnRenderResult result =
        RenderFile(options, parsed.positionals[0], parsed.positionals[1], context);
    if (result.midiRefused != 0) {
        context.err << "fluxet: warning: the effect refused " << result.midiRefused << " of "
                    << result.midiEvents << " MIDI events" << std::endl;
    }
    if (!options.quiet) {
        context.out << "wrote " << parsed.positionals[1] << ": " << result.frames << " frames, "
                    << result.channels << (result.channels == 1 ? " channel, " : " channels, ")
                    << FormatFloat(Float32(result.sampleRate)) << " Hz";
        if (!options.midiFile.empty()) {
            context.out << ", " << result.midiEvents << " MIDI events";
        }
        context.out << "\n";
    }
    return kExitSuccess;
}

} // namespace MrvnCli
