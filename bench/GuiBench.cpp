// The editor's drawing cost on the X server it finds in $DISPLAY: the time of one frame (update,
// drawing and presentation) and of the first frame after GL set-up, with the demo layout at
// 800 x 400 over a Fluxet instance, and the frames drawn while nothing changes.
//
// Under Xvfb with Mesa's software renderer (one command):
//   LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s '-screen 0 1280x1024x24 -nolisten tcp -noreset'
//       build/bench/fluxet_gui_bench
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "AudioUnitAPI.h"
#include "DemoLayout.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "X11EditorView.h"

namespace {

using Clock = std::chrono::steady_clock;

// The demo editor over a Fluxet instance, open while it lives.
class Editor {
public:
    explicit Editor(bool constantRedraw) {
        AudioComponentInstanceNew(kFluxetComponentDescription, MrvnFluxetEntry, &m_unit);
        m_manager = std::make_unique<MV::Manager>(m_unit);
        MV::Manager::ms_enableConstantRedraw = constantRedraw;
        MV::BuildDemoLayout(*m_manager, FLUXET_GUI_FONT_DIR);
        std::string error;
        m_view = MV::X11EditorView::Open(*m_manager, {}, error);
        if (m_view == nullptr) {
            std::fprintf(stderr, "fluxet_gui_bench: %s\n", error.c_str());
            std::exit(1);
        }
    }
    ~Editor() {
        m_view.reset();
        m_manager.reset();
        AudioComponentInstanceDispose(m_unit);
    }
    Editor(const Editor&) = delete;
    Editor& operator=(const Editor&) = delete;

    // Handles events until at least n frames were drawn.
    void WaitForFrames(std::uint64_t n) {
        while (m_manager->Stats().framesDrawn < n) {
            m_view->WaitForEvents(1);
            m_view->ProcessEvents();
        }
    }
    void Pump(std::chrono::milliseconds duration) {
        const auto end = Clock::now() + duration;
        while (Clock::now() < end) {
            m_view->WaitForEvents(5);
            m_view->ProcessEvents();
        }
    }

    MV::Manager& Manager() { return *m_manager; }

private:
    AudioUnit m_unit = nullptr;
    std::unique_ptr<MV::Manager> m_manager;
    std::unique_ptr<MV::X11EditorView> m_view;
};

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// One frame on request (constant redraw off), timed by the render task itself.
void BM_Frame(benchmark::State& state) {
    Editor editor(false);
    editor.WaitForFrames(1);
    std::vector<double> frames;
    double hovered = 0.0;
    for (auto _ : state) {
        const std::uint64_t before = editor.Manager().Stats().framesDrawn;
        // Alternate the hovered box so that the info line changes as it does in use.
        hovered = hovered == 0.0 ? 1.0 : 0.0;
        editor.Manager().HandleMouseMove(CGPoint{100.0, 310.0 - 44.0 * hovered});
        editor.Manager().NudgeGUI();
        editor.WaitForFrames(before + 1);
        const double seconds = double(editor.Manager().Stats().lastDrawNs) * 1e-9;
        state.SetIterationTime(seconds);
        frames.push_back(seconds * 1e3);
    }
    state.counters["median_ms"] = Median(frames);
}
BENCHMARK(BM_Frame)->UseManualTime()->Iterations(300)->Unit(benchmark::kMillisecond);

// From a working GL context to the first frame on the screen (textures, font atlases, the
// label texture, the first frame), and from opening the window to the first frame.
void BM_FirstFrame(benchmark::State& state) {
    std::vector<double> afterGL;
    std::vector<double> afterOpen;
    for (auto _ : state) {
        const auto start = Clock::now();
        Editor editor(false);
        editor.WaitForFrames(1);
        const double open = std::chrono::duration<double>(Clock::now() - start).count();
        const double gl = double(editor.Manager().Stats().firstFrameNs) * 1e-9;
        state.SetIterationTime(gl);
        afterGL.push_back(gl * 1e3);
        afterOpen.push_back(open * 1e3);
    }
    state.counters["median_after_gl_ms"] = Median(afterGL);
    state.counters["median_after_open_ms"] = Median(afterOpen);
}
BENCHMARK(BM_FirstFrame)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// Frames drawn in two idle seconds with constant redraw off (the target is none).
void BM_IdleFrames(benchmark::State& state) {
    Editor editor(false);
    editor.WaitForFrames(1);
    editor.Pump(std::chrono::milliseconds(300));
    std::uint64_t idle = 0;
    for (auto _ : state) {
        const std::uint64_t before = editor.Manager().Stats().framesDrawn;
        editor.Pump(std::chrono::milliseconds(2000));
        idle += editor.Manager().Stats().framesDrawn - before;
    }
    state.counters["frames_while_idle"] = double(idle);
}
BENCHMARK(BM_IdleFrames)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    const char* display = std::getenv("DISPLAY");
    if (display == nullptr || *display == '\0') {
        std::fprintf(stderr,
                     "fluxet_gui_bench: needs an X display (for instance under xvfb-run)\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
