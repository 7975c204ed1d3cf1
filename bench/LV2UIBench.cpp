// The plug-in's editor as an LV2 host runs it, on the X server in $DISPLAY: the built bundle
// loaded through lilv, its UI embedded in a window of this program and driven by idle calls.
// Measures the time from the UI's instantiation to its first frame on the screen, and what an
// idle call costs when no event is waiting (constant redraw off, as after a user's choice).
//
// Under Xvfb with Mesa's software renderer (one command):
//   LIBGL_ALWAYS_SOFTWARE=1 xvfb-run -a -s '-screen 0 1280x1024x24 -nolisten tcp -noreset'
//       build/bench/fluxet_lv2_ui_bench
#include <dlfcn.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <lilv/lilv.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include "FluxetLV2Metadata.h"
#include "Preferences.h"

// X11 last: its macros clash with names above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// A host: lilv's world with the built bundle, a URID map, a display of its own.
class Host {
public:
    Host() {
        char folder[] = "/tmp/fluxet-lv2-ui-bench-XXXXXX";
        if (mkdtemp(folder) != nullptr) {
            m_config = folder;
            setenv("XDG_CONFIG_HOME", folder, 1);
        }
        SetPrefInt(kPrefEnableConstantRedraw, 0);
        LilvNode* bundle = lilv_new_file_uri(m_world, nullptr, FLUXET_LV2_BUNDLE_DIR "/");
        lilv_world_load_bundle(m_world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(m_world, kFluxetLV2StereoURI);
        m_plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(m_world), uri);
        lilv_node_free(uri);
        void* object = dlopen(FLUXET_LV2_BUNDLE_DIR "/fluxet.so", RTLD_NOW | RTLD_LOCAL);
        const auto entry =
            object != nullptr
                ? reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(object, "lv2ui_descriptor"))
                : nullptr;
        m_ui = entry != nullptr ? entry(0) : nullptr;
        if (m_plugin == nullptr || m_ui == nullptr || m_display == nullptr) {
            std::fprintf(stderr, "fluxet_lv2_ui_bench: no plug-in, UI or display\n");
            std::exit(1);
        }
    }
    ~Host() {
        XCloseDisplay(m_display);
        lilv_world_free(m_world);
        std::error_code ignored;
        std::filesystem::remove_all(m_config, ignored);
    }
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    LilvInstance* Instantiate() {
        const LV2_Feature* features[] = {&m_mapFeature, nullptr};
        LilvInstance* instance = lilv_plugin_instantiate(m_plugin, 48000.0, features);
        lilv_instance_activate(instance);
        return instance;
    }
    ::Window HostWindow() {
        const ::Window window =
            XCreateSimpleWindow(m_display, DefaultRootWindow(m_display), 0, 0, 720, 360, 0, 0, 0);
        XMapWindow(m_display, window);
        XSync(m_display, False);
        return window;
    }
    LV2UI_Handle InstantiateUI(LilvInstance* instance, ::Window parent, ::Window& widget) {
        const LV2_Feature instanceAccess{"http://lv2plug.in/ns/ext/instance-access",
                                         lilv_instance_get_handle(instance)};
        const LV2_Feature parentFeature{LV2_UI__parent,
                                        reinterpret_cast<void*>(std::uintptr_t(parent))};
        const LV2_Feature idle{LV2_UI__idleInterface, nullptr};
        const LV2_Feature* features[] = {&m_mapFeature, &instanceAccess, &parentFeature, &idle,
                                         nullptr};
        LV2UI_Widget shown = nullptr;
        LV2UI_Handle handle = m_ui->instantiate(m_ui, kFluxetLV2StereoURI, FLUXET_LV2_BUNDLE_DIR,
                                                nullptr, nullptr, &shown, features);
        widget = ::Window(reinterpret_cast<std::uintptr_t>(shown));
        return handle;
    }
    int Idle(LV2UI_Handle handle) const {
        static const auto* idle =
            static_cast<const LV2UI_Idle_Interface*>(m_ui->extension_data(LV2_UI__idleInterface));
        return idle->idle(handle);
    }
    // Something drawn in the window's middle (the editor's background is not black).
    bool Drawn(::Window window) const {
        XImage* image = XGetImage(m_display, window, 360, 180, 1, 1, AllPlanes, ZPixmap);
        const bool drawn = image != nullptr && XGetPixel(image, 0, 0) != 0;
        if (image != nullptr) {
            XDestroyImage(image);
        }
        return drawn;
    }
    void Cleanup(LilvInstance* instance, LV2UI_Handle ui, ::Window parent) {
        m_ui->cleanup(ui);
        XDestroyWindow(m_display, parent);
        lilv_instance_deactivate(instance);
        lilv_instance_free(instance);
    }

private:
    LV2_URID Map(const char* uri) { return m_ids.emplace(uri, m_ids.size() + 1).first->second; }

    std::string m_config;
    LilvWorld* m_world = lilv_world_new();
    const LilvPlugin* m_plugin = nullptr;
    const LV2UI_Descriptor* m_ui = nullptr;
    ::Display* m_display = XOpenDisplay(nullptr);
    std::map<std::string, LV2_URID> m_ids;
    LV2_URID_Map m_map{this, [](LV2_URID_Map_Handle self, const char* uri) {
                           return static_cast<Host*>(self)->Map(uri);
                       }};
    LV2_Feature m_mapFeature{LV2_URID__map, &m_map};
};

Host& TheHost() {
    static Host host;
    return host;
}

// From the UI's instantiation (layout script, fonts, window, GL) to its first frame on the screen.
void BM_UIToFirstFrame(benchmark::State& state) {
    Host& host = TheHost();
    std::vector<double> times;
    for (auto _ : state) {
        LilvInstance* instance = host.Instantiate();
        const ::Window parent = host.HostWindow();
        const auto start = Clock::now();
        ::Window widget = 0;
        LV2UI_Handle ui = host.InstantiateUI(instance, parent, widget);
        while (!host.Drawn(widget)) {
            host.Idle(ui);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        times.push_back(seconds * 1e3);
        host.Cleanup(instance, ui, parent);
    }
    state.counters["median_ms"] = Median(times);
}
BENCHMARK(BM_UIToFirstFrame)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);

// One idle call while nothing happens: what a host pays some 30 times a second.
void BM_IdleWithoutEvents(benchmark::State& state) {
    Host& host = TheHost();
    LilvInstance* instance = host.Instantiate();
    const ::Window parent = host.HostWindow();
    ::Window widget = 0;
    LV2UI_Handle ui = host.InstantiateUI(instance, parent, widget);
    while (!host.Drawn(widget)) {
        host.Idle(ui);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(host.Idle(ui));
    }
    host.Cleanup(instance, ui, parent);
}
BENCHMARK(BM_IdleWithoutEvents)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
