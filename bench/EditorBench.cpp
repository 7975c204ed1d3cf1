// Fluxet's editor (the default skin's layout script over a Fluxet instance) on the X server in
// $DISPLAY: opening it to its first frame, the whole `fluxet editor` program to its first
// frames, the frame time while a knob is turned, and the processor time it takes while nothing
// happens.
//
// Under Xvfb with Mesa's software renderer (one command):
//   LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s '-screen 0 1280x1024x24 -nolisten tcp -noreset'
//       build/bench/fluxet_editor_bench
#include <sys/resource.h>
#include <sys/wait.h>

#include <spawn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "AudioUnitAPI.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "PluginEditor.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// The editor over an instance that renders nothing, handled as `fluxet editor` handles it.
class Editor {
public:
    explicit Editor(bool constantRedraw) {
        AudioComponentInstanceNew(kFluxetComponentDescription, MrvnFluxetEntry, &m_unit);
        MV::PluginEditor::Options options;
        options.constantRedraw = constantRedraw;
        std::string error;
        m_editor = MV::PluginEditor::Open(m_unit, options, error);
        if (m_editor == nullptr) {
            std::fprintf(stderr, "fluxet_editor_bench: %s\n", error.c_str());
            std::exit(1);
        }
    }
    ~Editor() {
        m_editor.reset();
        AudioComponentInstanceDispose(m_unit);
    }
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    void WaitForFrames(std::uint64_t n) {
        while (Manager().Stats().framesDrawn < n) {
            m_editor->WaitForEvents(1);
            m_editor->ProcessEvents();
        }
    }
    // The program's event loop for a while.
    void Pump(std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            m_editor->WaitForEvents(20);
            m_editor->ProcessEvents();
        }
    }

    MV::Manager& Manager() { return m_editor->GetManager(); }

private:
    AudioUnit m_unit = nullptr;
    std::unique_ptr<MV::PluginEditor> m_editor;
};

// From opening (the layout script, fonts, the window) to the first frame on the screen.
void BM_OpenToFirstFrame(benchmark::State& state) {
    std::vector<double> afterOpen;
    std::vector<double> afterGL;
    for (auto _ : state) {
        const auto start = Clock::now();
        Editor editor(false);
        editor.WaitForFrames(1);
        const double open = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(open);
        afterOpen.push_back(open * 1e3);
        afterGL.push_back(double(editor.Manager().Stats().firstFrameNs) * 1e-6);
    }
    state.counters["median_ms"] = Median(afterOpen);
    state.counters["median_after_gl_ms"] = Median(afterGL);
}
BENCHMARK(BM_OpenToFirstFrame)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// The whole program, from its start to its exit after the screenshot of its first frames
// (instance, scripts, OSC off, editor, screenshot, shut-down).
void BM_ProgramToScreenshot(benchmark::State& state) {
    const std::string shot =
        (std::filesystem::temp_directory_path() / "fluxet-editor-bench.png").string();
    const char* argv[] = {FLUXET_PROGRAM, "editor", "--quiet",           "--constant-redraw",
                          "off",          "--set",  "OSC Port Offset=0", "--screenshot",
                          shot.c_str(),   nullptr};
    std::vector<double> runs;
    for (auto _ : state) {
        const auto start = Clock::now();
        pid_t pid = 0;
        int status = 1;
        if (posix_spawn(&pid, argv[0], nullptr, nullptr, const_cast<char**>(argv), environ) == 0) {
            waitpid(pid, &status, 0);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (status != 0) {
            state.SkipWithError("fluxet editor failed");
            break;
        }
        state.SetIterationTime(seconds);
        runs.push_back(seconds * 1e3);
    }
    std::filesystem::remove(shot);
    state.counters["median_ms"] = Median(runs);
}
BENCHMARK(BM_ProgramToScreenshot)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

// A knob turned by the mouse: every step a new value, a frame on request.
void BM_FrameWhileTurningAKnob(benchmark::State& state) {
    Editor editor(false);
    editor.WaitForFrames(1);
    MV::Manager& manager = editor.Manager();
    // The Feedback knob's centre in the default skin (resources/gui.lua), y upwards.
    const CGPoint knob{207.0, 126.0};
    manager.HandleMouseNoLoopDown(knob, 0, 1, false);
    std::vector<double> frames;
    double dy = 0.0;
    for (auto _ : state) {
        const std::uint64_t before = manager.Stats().framesDrawn;
        dy = dy >= 60.0 ? -60.0 : dy + 1.0;
        manager.HandleMouseNoLoopDragged(CGPoint{knob.x, knob.y + dy}, 0);
        manager.NudgeGUI();
        editor.WaitForFrames(before + 1);
        const double seconds = double(manager.Stats().lastDrawNs) * 1e-9;
        state.SetIterationTime(seconds);
        frames.push_back(seconds * 1e3);
    }
    manager.HandleMouseNoLoopUp(knob, 0);
    state.counters["median_ms"] = Median(frames);
}
BENCHMARK(BM_FrameWhileTurningAKnob)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMillisecond);

// The process's processor time while the open editor waits for something to happen, as a
// share of one core: constant redraw off (the target: under 1 %) and on (30 frames a second).
void BM_IdleProcessorTime(benchmark::State& state) {
    const bool constantRedraw = state.range(0) != 0;
    Editor editor(constantRedraw);
    editor.WaitForFrames(1);
    editor.Pump(std::chrono::milliseconds(500));
    double share = 0.0;
    for (auto _ : state) {
        const double cpu = CpuSeconds();
        const auto start = Clock::now();
        editor.Pump(std::chrono::milliseconds(5000));
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        share = (CpuSeconds() - cpu) / wall;
    }
    state.counters["core_percent"] = share * 100.0;
}
BENCHMARK(BM_IdleProcessorTime)
    ->ArgName("constant_redraw")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        std::fprintf(stderr,
                     "fluxet_editor_bench: needs an X display (for instance under xvfb-run)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
