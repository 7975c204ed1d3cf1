// `fluxet editor`: a live instance, as `fluxet live` runs it, with Fluxet's editor in a window
// of its own. The live loop renders on the command's thread; the window, its input and the
// layout script live on a second thread, which plays the part of a host's user-interface
// thread. Closing the window (or Ctrl-C, or the duration) stops both.
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "AudioUnitAPI.h"
#include "Commands.h"
#include "LiveCommand.h"
#include "PngWriter.h"

// X11 last: its macros (Status, None, Bool) clash with names above.
#include <X11/Xlib.h>

#include "PluginEditor.h"
#include "X11Screenshot.h"

namespace MrvnCli {

namespace {

const char* const kEditorHelp =
    "usage: fluxet editor [--screenshot FILE.png] [--print-changes] [--constant-redraw on|off]\n"
    "                     [--input FILE] [--output FILE] [--duration SECONDS]\n"
    "                     [--osc-base-port N] [OPTIONS]\n"
    "\n"
    "Runs one instance of the effect in real time, as 'fluxet live' does (scripts, timers and\n"
    "OSC server included), and shows its editor in a window titled \"Fluxet\": drag a knob up or\n"
    "down (with Shift for fine steps), double-click it for its default, click a value and type\n"
    "a new one. Changes made by MIDI scripts and OSC clients show on the knobs. Closing the\n"
    "window stops the instance. Needs an X display ($DISPLAY).\n"
    "\n";

const char* const kEditorOptionsHelp =
    "  --screenshot FILE.png write the window's image once its first frames are drawn, then\n"
    "                        stop\n"
    "  --print-changes       print \"changed NAME VALUE\" for every change made in the editor\n"
    "  --constant-redraw on|off\n"
    "                        redraw about 30 times a second, or only when something changed\n"
    "                        (for this run; the default is the preference \"Enable constant\n"
    "                        redraw\")\n";

// How long the window may take to show its first frames before a screenshot gives up.
constexpr auto kFirstFramesTimeout = std::chrono::seconds(60);

struct EditorOptions {
    std::string screenshot;
    bool printChanges = false;
    std::optional<bool> constantRedraw;
};

// The editor's thread: opens the window over the unit, handles its events and stops the live
// loop when the window closes, the program is interrupted or the screenshot is written.
class EditorThread {
public:
    EditorThread(const EditorOptions& options, MrvnCliContext& context)
        : m_options(options), m_context(context) {}
    ~EditorThread() { Stop(); }
    EditorThread(const EditorThread&) = delete;
    EditorThread& operator=(const EditorThread&) = delete;

    void Start(MrvnHostedUnit& unit, std::atomic<bool>& stop) {
        m_unit = unit.Unit();
        m_stopLoop = &stop;
        m_thread = std::thread([this] { Run(); });
    }

    void Stop() {
        m_closing.store(true, std::memory_order_release);
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    // What went wrong on the editor's thread, or nothing.
    std::string Error() {
        std::lock_guard lock(m_errorMutex);
        return m_error;
    }

private:
    void Run() {
        try {
            RunWindow();
        } catch (const std::exception& error) {
            Fail(error.what());
        }
        m_stopLoop->store(true, std::memory_order_release);
    }

    void RunWindow() {
        MV::PluginEditor::Options options;
        options.view.title = "Fluxet";
        if (m_options.printChanges) {
            options.paramEditedProc = &ParamEdited;
            options.paramEditedContext = this;
        }
        options.constantRedraw = m_options.constantRedraw;
        std::string error;
        const std::unique_ptr<MV::PluginEditor> editor =
            MV::PluginEditor::Open(m_unit, options, error);
        if (editor == nullptr) {
            Fail("cannot open the editor: " + error);
            return;
        }
        MV::Manager& manager = editor->GetManager();
        const auto opened = std::chrono::steady_clock::now();
        while (!m_closing.load(std::memory_order_acquire) && !m_context.Interrupted()) {
            editor->WaitForEvents(20);
            if (!editor->ProcessEvents()) {
                return; // the window was closed
            }
            if (m_options.screenshot.empty()) {
                continue;
            }
            if (manager.Stats().framesDrawn < 2) {
                manager.NudgeGUI(); // also without constant redraw
                if (std::chrono::steady_clock::now() - opened > kFirstFramesTimeout) {
                    Fail("the editor drew no frames: no screenshot");
                    return;
                }
                continue;
            }
            WriteScreenshot(*editor);
            return;
        }
    }

    void WriteScreenshot(MV::PluginEditor& editor) {
        MV::X11EditorView& view = editor.View();
        XSync(view.XDisplay(), False);
        int width = 0;
        int height = 0;
        std::vector<std::uint8_t> rgb;
        std::string reason;
        if (!MV::CaptureWindow(view.XDisplay(), view.XWindow(), width, height, rgb)) {
            Fail("cannot read the editor's window for the screenshot");
        } else if (!MV::WritePng(m_options.screenshot, width, height, 3, 8, rgb.data(), &reason)) {
            Fail("cannot write " + Quoted(m_options.screenshot) + ": " + reason);
        }
    }

    void Fail(const std::string& message) {
        std::lock_guard lock(m_errorMutex);
        if (m_error.empty()) {
            m_error = message;
        }
    }

    static void ParamEdited(int paramId, AudioUnitParameterValue value, void* context) {
        auto& self = *static_cast<EditorThread*>(context);
        // One write per line: the live loop may print beside it.
        self.m_context.out << "changed " + ParameterName(self.m_unit, paramId) + " " +
                                  FormatFloat(value) + "\n"
                           << std::flush;
    }

    static std::string ParameterName(AudioUnit unit, int paramId) {
        AudioUnitParameterInfo info{};
        UInt32 size = sizeof info;
        if (AudioUnitGetProperty(unit, kAudioUnitProperty_ParameterInfo, kAudioUnitScope_Global,
                                 AudioUnitElement(paramId), &info, &size) == noErr &&
            info.cfNameString != nullptr) {
            return info.cfNameString;
        }
        return std::to_string(paramId);
    }

    const EditorOptions& m_options;
    MrvnCliContext& m_context;
    AudioUnit m_unit = nullptr;
    std::atomic<bool>* m_stopLoop = nullptr;
    std::atomic<bool> m_closing{false};
    std::thread m_thread;
    std::mutex m_errorMutex;
    std::string m_error;
};

// Refuses to start without a display, before anything else happens.
void CheckDisplay() {
    ::Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        const char* name = XDisplayName(nullptr);
        ThrowFailure(name != nullptr && *name != '\0'
                         ? "cannot open the X display " + Quoted(name) +
                               ": the editor needs one (or use 'fluxet live')"
                         : std::string("no X display (DISPLAY is not set): the editor needs one "
                                       "(or use 'fluxet live')"));
    }
    XCloseDisplay(display);
}

} // namespace

int RunEditor(const std::vector<std::string>& args, MrvnCliContext& context) {
    EditorOptions options;
    MrvnLiveExtension extension;
    extension.command = "editor";
    extension.help = kEditorHelp;
    extension.optionsHelp = kEditorOptionsHelp;
    extension.options.push_back({"--screenshot", "", "FILE.png", [&](const std::string& v) {
                                     if (v.empty()) {
                                         ThrowUsage("--screenshot needs a file name");
                                     }
                                     options.screenshot = v;
                                 }});
    extension.options.push_back(
        {"--print-changes", "", "", [&](const std::string&) { options.printChanges = true; }});
    extension.options.push_back({"--constant-redraw", "", "on|off", [&](const std::string& v) {
                                     if (v != "on" && v != "off") {
                                         ThrowUsage("--constant-redraw takes on or off, not " +
                                                    Quoted(v));
                                     }
                                     options.constantRedraw = v == "on";
                                 }});
    extension.checkEnvironment = &CheckDisplay;
    EditorThread editor(options, context);
    extension.start = [&editor](MrvnHostedUnit& unit, std::atomic<bool>& stop) {
        editor.Start(unit, stop);
    };
    extension.finish = [&editor] { editor.Stop(); };
    const int status = RunLiveWith(args, context, extension);
    if (const std::string error = editor.Error(); !error.empty()) {
        ThrowFailure(error);
    }
    return status;
}

} // namespace MrvnCli
