#include "MidiSchedule.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include <smf.h>

#include "CliSupport.h"
#include "TransportEvents.h"

namespace MrvnCli {

namespace {

// libsmf reports through GLib's log; while a file loads, its complaints are kept for the
// one error line instead of being printed.
class GLogCapture {
public:
    GLogCapture() { m_previous = g_log_set_default_handler(&GLogCapture::Handle, this); }
    ~GLogCapture() { g_log_set_default_handler(m_previous, nullptr); }
    GLogCapture(const GLogCapture&) = delete;
    GLogCapture& operator=(const GLogCapture&) = delete;

    const std::string& LastProblem() const { return m_lastProblem; }

private:
    static void Handle(const gchar* /*domain*/, GLogLevelFlags level, const gchar* message,
                       gpointer self) {
        if ((level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING)) != 0 &&
            message != nullptr) {
            static_cast<GLogCapture*>(self)->m_lastProblem = message;
        }
    }

    GLogFunc m_previous = nullptr;
    std::string m_lastProblem;
};

bool IsChannelMessage(const smf_event_t& event) {
    return event.midi_buffer_length >= 2 && event.midi_buffer[0] >= 0x80 &&
           event.midi_buffer[0] < 0xF0;
}

} // namespace

} // namespace MrvnCli

#if defined(__SANITIZE_ADDRESS__)
// libsmf loses its song object when a file fails to load (it returns before freeing it); the
// loss is the library's and happens once per rejected file, so the leak checker is told.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:smf_new\n";
}
// Keeps a rejected file's error the only line on standard error.
extern "C" const char* __lsan_default_options() {
    return "print_suppressions=0";
}
#endif

namespace MrvnCli {

std::vector<MrvnMidiEvent> LoadMidiFile(const std::string& path, Float64 sampleRate) {
    GLogCapture log;
    const std::unique_ptr<smf_t, void (*)(smf_t*)> smf(smf_load(path.c_str()), smf_delete);
    if (!smf) {
        std::string reason = log.LastProblem();
        if (reason.empty()) {
            reason = "not a Standard MIDI File";
        }
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": " + reason);
    }
    std::vector<MrvnMidiEvent> events;
    while (smf_event_t* event = smf_get_next_event(smf.get())) {
        if (smf_event_is_metadata(event) || event->midi_buffer_length <= 0) {
            continue;
        }
        if (!IsChannelMessage(*event) && !smf_event_is_sysex(event)) {
            continue;
        }
        const double frame = std::round(std::max(0.0, event->time_seconds) * sampleRate);
        events.push_back(
            {UInt64(frame), std::vector<UInt8>(event->midi_buffer,
                                               event->midi_buffer + event->midi_buffer_length)});
    }
    std::stable_sort(
        events.begin(), events.end(),
        [](const MrvnMidiEvent& a, const MrvnMidiEvent& b) { return a.frame < b.frame; });
    return events;
}

MrvnTempoMap LoadMidiTempoMap(const std::string& path) {
    GLogCapture log;
    const std::unique_ptr<smf_t, void (*)(smf_t*)> smf(smf_load(path.c_str()), smf_delete);
    if (!smf) {
        ThrowFailure("cannot read MIDI file " + Quoted(path) + ": " + log.LastProblem());
    }
    MrvnTempoMap map;
    map.pulsesPerQuarter = UInt32(std::max(smf->ppqn, 1));
    for (int i = 0; const smf_tempo_t* tempo = smf_get_tempo_by_number(smf.get(), i); ++i) {
        map.marks.push_back({UInt64(std::max(tempo->time_pulses, 0)), tempo->time_seconds,
                             double(tempo->microseconds_per_quarter_note),
                             UInt32(std::max(tempo->numerator, 1)),
                             UInt32(std::max(tempo->denominator, 1))});
    }
    return map;
}

MrvnMidiSchedule::MrvnMidiSchedule(std::vector<MrvnMidiEvent> events, std::size_t perRenderCall)
    : m_events(std::move(events)), m_perRenderCall(perRenderCall) {}

void MrvnMidiSchedule::RenderBlock(UInt64 start, UInt32 frames, bool last, const Sink& sink,
                                   const RenderCall& render) {
    if (frames == 0) {
        return;
    }
    const UInt64 end = start + frames;
    for (UInt64 from = start;;) {
        // Events due after the last block come on its last frame, and one already behind is
        // due at once.
        const auto placed = [&](const MrvnMidiEvent& event) {
            return std::clamp(event.frame, from, end - 1);
        };
        // The events this call takes and where it ends.
        std::size_t count = 0;
        std::size_t beforeFrame = 0; // events placed before the latest one's frame
        UInt64 until = end;
        bool left = false;
        for (std::size_t i = m_next; i < m_events.size(); ++i) {
            if (m_events[i].frame >= end && !last) {
                break;
            }
            const UInt64 at = placed(m_events[i]);
            if (i == m_next || at != placed(m_events[i - 1])) {
                beforeFrame = count;
            }
            if (count == m_perRenderCall) {
                until = at;
                count = at > from ? beforeFrame : count;
                left = true;
                break;
            }
            ++count;
        }
        for (const std::size_t stop = m_next + count; m_next < stop; ++m_next) {
            const MrvnMidiEvent& event = m_events[m_next];
            if (sink(event, UInt32(placed(event) - from))) {
                ++m_delivered;
            } else {
                ++m_refused;
            }
        }
        render(UInt32(from - start), UInt32(until - from));
        if (!left) {
            return;
        }
        from = until;
    }
}

} // namespace MrvnCli
