// `fluxet live`: one instance running in real time, for remote control over OSC. The render
// calls are paced by the clock, the input (a file, looped, or silence) goes through the effect
// until the duration is over or the program is stopped, and the scripts, their timers and the
// OSC server run as they would in a host.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <netinet/in.h>
#include <optional>
#include <ostream>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <osc/OscOutboundPacketStream.h>
#include <osc/OscReceivedElements.h>

#include "AudioFiles.h"
#include "AudioUnitAPI.h"
#include "Commands.h"
#include "FluxetParameters.h"
#include "LiveCommand.h"
#include "MidiSchedule.h"
#include "Preferences.h"
#include "Render.h"
#include "TransportEvents.h"
#include "ZeroconfPublisher.h"

namespace MrvnCli {

namespace {

const char* const kLiveHelp =
    "usage: fluxet live [--input FILE] [--output FILE] [--duration SECONDS]\n"
    "                   [--osc-base-port N] [OPTIONS]\n"
    "\n"
    "Runs one instance of the effect in real time, for remote control over OSC: render calls\n"
    "paced by the clock, FILE's audio looped through the effect (silence, stereo at 48 kHz,\n"
    "without --input), scripts, their timers and the OSC server active, until Ctrl-C, a\n"
    "termination signal or the duration. Prints the OSC port and the name the port is\n"
    "published under. Unless the state, preset or a --set gives \"OSC Port Offset\" a value,\n"
    "the offset is 1, so the instance listens on the base port + 1. A block whose audio is\n"
    "ready more than a block's time late is reported when it happens, and counted at the end.\n"
    "\n";

} // namespace

const char* const kLiveOptionsHelp =
    "Options:\n"
    "  --input FILE          the audio to loop through the effect\n"
    "  --output FILE         write what the effect rendered (replaced when it stops)\n"
    "  --duration SECONDS    stop after that much audio\n"
    "  --osc-base-port N     the OSC base port for this run (instead of the preference\n"
    "                        \"OSC Base Port\", default 7000)\n";

namespace {

constexpr Float64 kSilenceSampleRate = 48000.0;
constexpr UInt32 kSilenceChannels = 2;
// Generous: on a loaded machine the receive task may start late.
constexpr int kPingTimeoutMs = 6000;
constexpr int kPublicationWaitMs = 3000;

struct LiveOptions {
    MrvnRenderOptions render;
    std::string input;
    std::string output;
    std::optional<double> duration;
    std::optional<int> basePort;
};

// The audio to loop: a whole file in memory, or one block of silence.
struct LoopSource {
    Float64 sampleRate = kSilenceSampleRate;
    std::vector<std::vector<Float32>> channels;
    bool silent = true;
};

LoopSource LoadLoop(const std::string& path) {
    LoopSource source;
    if (path.empty()) {
        source.channels.assign(kSilenceChannels, std::vector<Float32>(1, 0.0f));
        return source;
    }
    MrvnSoundFileReader reader(path);
    source.sampleRate = reader.SampleRate();
    source.silent = false;
    std::vector<std::vector<Float32>> block(reader.Channels(), std::vector<Float32>(4096));
    source.channels.assign(reader.Channels(), {});
    for (;;) {
        const UInt32 got = reader.Read(block, 4096);
        if (got == 0) {
            break;
        }
        for (UInt32 c = 0; c < reader.Channels(); ++c) {
            source.channels[c].insert(source.channels[c].end(), block[c].begin(),
                                      block[c].begin() + got);
        }
    }
    if (source.channels.empty() || source.channels[0].empty()) {
        ThrowFailure(Quoted(path) + " holds no audio to loop");
    }
    return source;
}

timespec Now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

void Advance(timespec& time, double seconds) {
    const auto nanoseconds = static_cast<long long>(seconds * 1e9);
    time.tv_sec += time_t(nanoseconds / 1000000000);
    time.tv_nsec += long(nanoseconds % 1000000000);
    if (time.tv_nsec >= 1000000000) {
        time.tv_nsec -= 1000000000;
        time.tv_sec += 1;
    }
}

double SecondsBetween(const timespec& from, const timespec& to) {
    return double(to.tv_sec - from.tv_sec) + double(to.tv_nsec - from.tv_nsec) * 1e-9;
}

// The text the instance's OSC server answers a "/ping" with on the loopback address, asking
// again every 100 ms (its receive task opens the port on its own time), or nothing.
std::optional<std::string> Ping(int port) {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return std::nullopt;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    std::optional<std::string> answer;
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&local), &length) == 0) {
        const std::string replyTo = "127.0.0.1:" + std::to_string(ntohs(local.sin_port));
        char buffer[256];
        osc::OutboundPacketStream ping(buffer, sizeof buffer);
        ping << osc::BeginMessage("/ping") << replyTo.c_str() << "/fluxet/live/pong"
             << osc::EndMessage;
        sockaddr_in server = local;
        server.sin_port = htons(std::uint16_t(port));
        timespec deadline = Now();
        Advance(deadline, kPingTimeoutMs / 1000.0);
        while (!answer && SecondsBetween(Now(), deadline) > 0) {
            sendto(sock, ping.Data(), ping.Size(), 0, reinterpret_cast<sockaddr*>(&server),
                   sizeof server);
            pollfd ready{sock, POLLIN, 0};
            char reply[1024];
            const ssize_t got =
                poll(&ready, 1, 100) > 0 ? recv(sock, reply, sizeof reply, MSG_DONTWAIT) : -1;
            if (got <= 0) {
                continue;
            }
            try {
                const osc::ReceivedPacket packet(reply, osc::osc_bundle_element_size_t(got));
                const osc::ReceivedBundle bundle(packet);
                if (bundle.ElementCount() != 1 || bundle.ElementsBegin()->IsBundle()) {
                    throw osc::MalformedBundleException();
                }
                const osc::ReceivedMessage message(*bundle.ElementsBegin());
                auto args = message.ArgumentStream();
                const char* url = nullptr;
                const char* version = nullptr;
                args >> url >> version;
                answer = std::string(version) + " at " + url;
            } catch (const osc::Exception&) {
                answer = std::string("an unreadable answer");
            }
        }
    }
    close(sock);
    return answer;
}

// A signal ends the sleep early; the loop then looks at the interruption flag.
void SleepUntil(const timespec& deadline) {
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr);
}

// The OSC port offset the unit uses now, through its private property.
SInt32 PortOffset(MrvnHostedUnit& unit) {
    SInt32 offset = 0;
    UInt32 size = sizeof offset;
    AudioUnitGetProperty(unit.Unit(), kMrvnProperty_OSCPortOffset, kAudioUnitScope_Global, 0,
                         &offset, &size);
    return offset;
}

// Restores the preference a run overrode.
class BasePortOverride {
public:
    explicit BasePortOverride(std::optional<int> port) : m_active(port.has_value()) {
        if (m_active) {
            MV::SetPrefIntOverride(kPrefOSCBasePort, *port);
        }
    }
    ~BasePortOverride() {
        if (m_active) {
            MV::ClearPrefIntOverride(kPrefOSCBasePort);
        }
    }
    BasePortOverride(const BasePortOverride&) = delete;
    BasePortOverride& operator=(const BasePortOverride&) = delete;

private:
    bool m_active;
};

void ReportOSC(MrvnHostedUnit& unit, std::ostream& out) {
    const SInt32 offset = PortOffset(unit);
    if (offset == 0) {
        out << "OSC: off (\"OSC Port Offset\" is 0)" << std::endl;
        return;
    }
    const int port = GetPrefInt(kPrefOSCBasePort, kDefaultOSCBasePort) + offset;
    std::string bindAddress;
    GetPrefString(kPrefOSCBindAddress, bindAddress);
    const std::string where = bindAddress.empty() ? "every address" : bindAddress;
    // The server binds on its own task; a ping on the loopback address shows it listens.
    std::optional<std::string> answer;
    if (bindAddress.empty() || bindAddress == "127.0.0.1") {
        answer = Ping(port);
    }
    if (answer) {
        out << "OSC: listening on UDP port " << port << " (" << where << "): " << *answer
            << std::endl;
    } else {
        out << "OSC: UDP port " << port << " (" << where << ")" << std::endl;
    }
    std::optional<MV::ZeroconfService::Published> published = MV::ZeroconfService::Find(port);
    for (int waited = 0; waited < kPublicationWaitMs && MV::ZeroconfService::DaemonReachable() &&
                         !(published && published->established);
         waited += 50) {
        usleep(50000);
        published = MV::ZeroconfService::Find(port);
    }
    if (published && published->established) {
        out << "OSC: published as \"" << published->name << "\" (_osc._udp)" << std::endl;
    } else if (published && MV::ZeroconfService::DaemonReachable()) {
        out << "OSC: publishing as \"" << published->name
            << "\" (_osc._udp; not confirmed by the Avahi daemon yet)" << std::endl;
    } else {
        out << "OSC: not published (no Avahi daemon reachable)" << std::endl;
    }
}

} // namespace

int RunLive(const std::vector<std::string>& args, MrvnCliContext& context) {
    return RunLiveWith(args, context, MrvnLiveExtension{});
}

int RunLiveWith(const std::vector<std::string>& args, MrvnCliContext& context,
                const MrvnLiveExtension& extension) {
    const std::string command = extension.command.empty() ? "live" : extension.command;
    LiveOptions options;
    std::vector<MrvnOptionRule> rules = extension.options;
    AddRenderOptionRules(rules, options.render);
    rules.push_back({"--input", "", "FILE", [&](const std::string& v) { options.input = v; }});
    rules.push_back({"--output", "", "FILE", [&](const std::string& v) { options.output = v; }});
    rules.push_back({"--duration", "", "SECONDS", [&](const std::string& v) {
                         const std::optional<float> seconds = ParseFloat(v);
                         if (!seconds || *seconds <= 0.0f) {
                             ThrowUsage("--duration needs a number of seconds above 0, not " +
                                        Quoted(v));
                         }
                         options.duration = *seconds;
                     }});
    rules.push_back({"--osc-base-port", "", "N", [&](const std::string& v) {
                         const std::optional<unsigned long long> port = ParseUnsigned(v);
                         if (!port || *port == 0 || *port > 65535) {
                             ThrowUsage("--osc-base-port needs a UDP port (1 to 65535), not " +
                                        Quoted(v));
                         }
                         options.basePort = int(*port);
                     }});
    const MrvnParsedArguments parsed = ParseArguments(args, rules);
    if (parsed.help) {
        context.out << (extension.help.empty() ? kLiveHelp : extension.help.c_str())
                    << kLiveOptionsHelp << extension.optionsHelp << kRenderOptionsHelp;
        return kExitSuccess;
    }
    if (!parsed.positionals.empty()) {
        ThrowUsage(command + " takes no arguments besides options (did you mean --input?)");
    }
    if (options.render.tail) {
        ThrowUsage("--tail has no meaning for " + command + ": it runs until it is stopped");
    }
    const std::optional<int> format =
        options.output.empty() ? std::optional<int>(0) : OutputFormatForPath(options.output);
    if (!format) {
        ThrowUsage("cannot tell the format of " + Quoted(options.output) +
                   ": use .wav, .flac, .aiff, .aif or .ogg");
    }

    if (extension.checkEnvironment) {
        extension.checkEnvironment();
    }
    const LoopSource source = LoadLoop(options.input);
    const auto channels = UInt32(source.channels.size());
    std::vector<MrvnMidiEvent> events;
    if (!options.render.midiFile.empty()) {
        events = LoadMidiFile(options.render.midiFile, source.sampleRate);
    }
    MrvnMidiSchedule schedule(
        WithTransport(std::move(events), TransportFor(options.render, source.sampleRate)),
        MrvnHostedUnit::MessagesPerRender());

    const BasePortOverride basePort(options.basePort);
    MrvnRenderSession session(options.render, source.sampleRate, channels, context.entry,
                              &context.err);
    MrvnHostedUnit& unit = session.Unit();
    bool offsetGiven = !options.render.stateFile.empty();
    for (const std::string& text : options.render.settings) {
        offsetGiven = offsetGiven || ParseParameterSetting(unit, text).id ==
                                         AudioUnitParameterID(kParam_OSCPortOffset);
    }
    if (!offsetGiven && PortOffset(unit) == 0) {
        unit.SetParameter(kParam_OSCPortOffset, 1.0f);
    }

    std::optional<MrvnSoundFileWriter> writer;
    if (!options.output.empty()) {
        writer.emplace(options.output, *format, source.sampleRate, channels);
    }

    if (!options.render.quiet) {
        context.out << "fluxet " << command << ": " << FormatFloat(Float32(source.sampleRate))
                    << " Hz, " << channels << (channels == 1 ? " channel" : " channels")
                    << ", blocks of " << options.render.blockSize << " frames, "
                    << (source.silent ? std::string("silence") : Quoted(options.input) + " looped")
                    << std::endl;
        ReportOSC(unit, context.out);
        context.out << "running; stop with Ctrl-C" << std::endl;
    }
    // What runs beside the loop ends when it does, also when the loop fails.
    std::atomic<bool> stop{false};
    struct Finish {
        const MrvnLiveExtension& extension;
        bool done = false;
        void operator()() {
            if (!done && extension.finish) {
                done = true;
                extension.finish();
            }
        }
        ~Finish() { (*this)(); }
    } finish{extension};
    if (extension.start) {
        extension.start(unit, stop);
    }

    const UInt32 block = options.render.blockSize;
    const UInt64 limit =
        options.duration ? UInt64(std::llround(*options.duration * source.sampleRate)) : 0;
    MrvnBlockBuffers buffers(channels, block);
    const MrvnMidiSchedule::Sink toUnit = MidiSinkFor(unit);

    const std::size_t loopLength = source.channels[0].size();
    std::size_t loopPosition = 0;
    UInt64 done = 0;
    UInt64 lateBlocks = 0;
    const timespec start = Now();
    timespec deadline = start;
    while (!context.Interrupted() && !stop.load(std::memory_order_acquire) &&
           (limit == 0 || done < limit)) {
        const UInt32 frames = limit == 0 ? block : UInt32(std::min<UInt64>(block, limit - done));
        for (UInt32 i = 0; i < frames; ++i) {
            for (UInt32 c = 0; c < channels; ++c) {
                buffers.in[c][i] = source.channels[c][loopPosition];
            }
            loopPosition = (loopPosition + 1) % loopLength;
        }
        schedule.RenderBlock(done, frames, false, toUnit, [&](UInt32 offset, UInt32 count) {
            unit.Render(buffers.inPointers.data(), buffers.outPointers.data(), count, offset);
        });
        if (writer) {
            writer->Write(buffers.outPointers.data(), frames);
        }
        done += frames;

        // The next block is due when this one would have finished playing. A block finished
        // more than a block's time after that would have left a sound card without audio.
        Advance(deadline, double(frames) / source.sampleRate);
        const timespec now = Now();
        const double behind = SecondsBetween(deadline, now);
        if (behind > double(block) / source.sampleRate) {
            ++lateBlocks;
            if (!options.render.quiet) {
                // Here in the loop, after the render call: never from inside it. One write per
                // line, so that lines printed beside the loop (fluxet editor) stay whole.
                char line[128];
                std::snprintf(line, sizeof line,
                              "late: the block at %.3f s of audio was ready %lld ms behind its "
                              "time\n",
                              double(done - frames) / source.sampleRate,
                              std::llround(behind * 1000.0));
                context.out << line << std::flush;
            }
            deadline = now; // start counting from now
        } else {
            SleepUntil(deadline);
        }
    }

    finish();
    if (!options.render.saveStateFile.empty()) {
        unit.SaveState(options.render.saveStateFile);
    }
    if (writer) {
        writer->Commit();
    }
    if (!options.render.quiet) {
        context.out << "stopped after " << FormatFloat(Float32(double(done) / source.sampleRate))
                    << " s of audio (" << lateBlocks << (lateBlocks == 1 ? " block" : " blocks")
                    << " late)";
        if (writer) {
            context.out << "; wrote " << options.output;
        }
        context.out << std::endl;
    }
    return kExitSuccess;
}

} // namespace MrvnCli
