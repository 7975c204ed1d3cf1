// fluxet_gui_demo: the toolkit's demo layout in a window over a Fluxet instance.
//
//   fluxet_gui_demo [--seconds N] [--screenshot FILE.png] [--offscreen-labels]
//                   [--constant-redraw on|off] [--parent WINDOW]
//
// Hover a box to see its parameter on the info line; drag the bottom-right corner to resize.
// Under Xvfb: xvfb-run -s '-screen 0 1024x768x24' build/MVgui/demo/fluxet_gui_demo
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "AudioUnitAPI.h"
#include "DemoLayout.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "PngWriter.h"
#include "X11EditorView.h"
#include "X11Screenshot.h"

#ifndef FLUXET_GUI_FONT_DIR
#define FLUXET_GUI_FONT_DIR ""
#endif

namespace {

int Usage() {
    std::fprintf(stderr, "usage: fluxet_gui_demo [--seconds N] [--screenshot FILE.png] "
                         "[--offscreen-labels] [--constant-redraw on|off] [--parent WINDOW]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    double seconds = -1.0;
    std::string screenshot;
    bool offscreenLabels = false;
    int constantRedraw = -1;
    MV::X11EditorView::Options options;
    options.title = "Fluxet (toolkit demo)";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--seconds" && hasValue) {
            seconds = std::strtod(argv[++i], nullptr);
        } else if (arg == "--screenshot" && hasValue) {
            screenshot = argv[++i];
        } else if (arg == "--offscreen-labels") {
            offscreenLabels = true;
        } else if (arg == "--constant-redraw" && hasValue) {
            constantRedraw = std::strcmp(argv[++i], "off") != 0 ? 1 : 0;
        } else if (arg == "--parent" && hasValue) {
            options.parent = std::strtoul(argv[++i], nullptr, 0);
        } else {
            return Usage();
        }
    }

    AudioUnit unit = nullptr;
    if (AudioComponentInstanceNew(kFluxetComponentDescription, MrvnFluxetEntry, &unit) != noErr) {
        std::fprintf(stderr, "fluxet_gui_demo: cannot open a Fluxet instance\n");
        return 1;
    }
    int status = 0;
    {
        MV::Manager manager(unit);
        if (constantRedraw >= 0) {
            MV::Manager::ms_enableConstantRedraw = constantRedraw != 0;
        }
        if (offscreenLabels) {
            manager.SetLabelPath(MV::Manager::LabelPath::kOffscreen);
        }
        MV::BuildDemoLayout(manager, FLUXET_GUI_FONT_DIR);
        std::string error;
        auto view = MV::X11EditorView::Open(manager, options, error);
        if (view == nullptr) {
            std::fprintf(stderr, "fluxet_gui_demo: %s\n", error.c_str());
            status = 1;
        } else {
            const auto start = std::chrono::steady_clock::now();
            for (;;) {
                view->WaitForEvents(20);
                if (!view->ProcessEvents()) {
                    break;
                }
                const double elapsed =
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                if (!screenshot.empty() && manager.Stats().framesDrawn < 2) {
                    manager.NudgeGUI(); // also without constant redraw
                } else if (!screenshot.empty()) {
                    int width = 0;
                    int height = 0;
                    std::vector<std::uint8_t> rgb;
                    std::string reason;
                    if (!MV::CaptureWindow(view->XDisplay(), view->XWindow(), width, height, rgb) ||
                        !MV::WritePng(screenshot, width, height, 3, 8, rgb.data(), &reason)) {
                        std::fprintf(stderr, "fluxet_gui_demo: no screenshot %s\n", reason.c_str());
                        status = 1;
                    }
                    break;
                }
                if (seconds >= 0.0 && elapsed >= seconds) {
                    break;
                }
            }
        }
    }
    AudioComponentInstanceDispose(unit);
    return status;
}
