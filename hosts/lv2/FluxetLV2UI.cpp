// Fluxet's editor in LV2 hosts: an X11 UI over the instance the host shares through
// instance-access. It embeds in the host's window (ui:parent) and tells the host its size
// (ui:resize), or, for hosts that cannot embed, shows a window of its own (ui:showInterface).
// The host drives its input through ui:idleInterface. Edits go to the unit through the notifying
// parameter service, so the instance reports them to the host as patch:Set with its next block;
// the host's changes reach the knobs through the editor's parameter listener.
//
// Threads: the host calls every entry here on its UI thread, which also handles the editor's
// events (idle). The instance may be cleaned up first, even on another thread: it tells the UI
// under MrvnFluxetLV2::EditorLock(), which every entry here holds too, and the editor lets go of
// the unit before the instance goes on.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include <lv2/core/lv2.h>
#include <lv2/ui/ui.h>

#include "FluxetLV2EntryPoints.h"
#include "FluxetLV2Metadata.h"
#include "MrvnFluxetLV2.h"

// X11 last: its macros (Status, None, Bool) clash with names above.
#include <X11/Xlib.h>

#include "PluginEditor.h"

namespace {

constexpr const char* kInstanceAccessURI = "http://lv2plug.in/ns/ext/instance-access";

const void* FindFeature(const LV2_Feature* const* features, const char* uri) {
    for (const LV2_Feature* const* f = features; f != nullptr && *f != nullptr; ++f) {
        if (std::strcmp((*f)->URI, uri) == 0) {
            return (*f)->data;
        }
    }
    return nullptr;
}

// Why no editor can be shown on this display, or empty when one can.
std::string DisplayProblem() {
    if (::Display* display = XOpenDisplay(nullptr)) {
        XCloseDisplay(display);
        return {};
    }
    const char* name = XDisplayName(nullptr);
    if (name == nullptr || *name == '\0') {
        return "no X display (DISPLAY is not set)";
    }
    return std::string("cannot open the X display '") + name + "'";
}

class FluxetLV2UI final : public MrvnFluxetLV2::EditorLink {
public:
    FluxetLV2UI(MrvnFluxetLV2& plugin, const char* title, ::Window parent,
                const LV2UI_Resize* resize)
        : m_plugin(&plugin), m_title(title), m_parent(parent), m_resize(resize) {}

    // With EditorLock() held, as everything below.
    ~FluxetLV2UI() {
        if (m_plugin != nullptr) {
            m_plugin->DetachEditor(this);
        }
    }
    FluxetLV2UI(const FluxetLV2UI&) = delete;
    FluxetLV2UI& operator=(const FluxetLV2UI&) = delete;

    bool OpenEditor(std::string& error) {
        MV::PluginEditor::Options options;
        options.view.parent = m_parent;
        options.view.title = m_title;
        m_editor = MV::PluginEditor::Open(m_plugin->Unit(), options, error);
        if (m_editor == nullptr) {
            return false;
        }
        m_closed = false;
        ReportSize();
        return true;
    }

    LV2UI_Widget Widget() const {
        return m_parent != 0 && m_editor != nullptr
                   ? reinterpret_cast<LV2UI_Widget>(std::uintptr_t(m_editor->View().XWindow()))
                   : nullptr;
    }

    // Non-zero once the editor's window is closed or gone: the host stops calling, and may show
    // a window of its own again.
    int Idle() {
        if (m_editor == nullptr) {
            return m_closed ? 1 : 0;
        }
        if (!m_editor->ProcessEvents()) {
            m_editor.reset(); // closed by the user, or destroyed with the host's window
            m_closed = true;
            return 1;
        }
        ReportSize();
        return 0;
    }

    int Show() {
        if (m_parent != 0) {
            return m_editor != nullptr ? 0 : 1; // embedded: the host shows it
        }
        if (m_editor != nullptr) {
            m_editor->View().Raise();
            return 0;
        }
        std::string error;
        if (m_plugin == nullptr || !OpenEditor(error)) {
            if (!error.empty()) {
                std::fprintf(stderr, "fluxet.lv2: cannot show the editor: %s\n", error.c_str());
            }
            return 1;
        }
        return 0;
    }

    int Hide() {
        if (m_parent == 0) {
            m_editor.reset();
        }
        return 0;
    }

    int ResizeFromHost(int width, int height) {
        if (m_editor == nullptr || width < 1 || height < 1) {
            return 1;
        }
        m_editor->View().ResizeFromHost(width, height);
        m_reportedWidth = m_editor->View().Width();
        m_reportedHeight = m_editor->View().Height();
        return 0;
    }

    void InstanceGone() override {
        if (m_editor != nullptr) {
            m_editor->DetachFromUnit();
        }
        m_plugin = nullptr;
    }

private:
    // The host hears every size the editor takes (its own, and a corner resize).
    void ReportSize() {
        if (m_resize == nullptr || m_editor == nullptr) {
            return;
        }
        const int width = m_editor->View().Width();
        const int height = m_editor->View().Height();
        if (width != m_reportedWidth || height != m_reportedHeight) {
            m_reportedWidth = width;
            m_reportedHeight = height;
            m_resize->ui_resize(m_resize->handle, width, height);
        }
    }

    MrvnFluxetLV2* m_plugin; // null once the instance is gone
    std::string m_title;
    ::Window m_parent;
    const LV2UI_Resize* m_resize;
    std::unique_ptr<MV::PluginEditor> m_editor;
    bool m_closed = false;
    int m_reportedWidth = 0;
    int m_reportedHeight = 0;
};

FluxetLV2UI* UI(LV2UI_Handle handle) {
    return static_cast<FluxetLV2UI*>(handle);
}

// UI thread.
LV2UI_Handle Instantiate(const LV2UI_Descriptor* /*descriptor*/, const char* pluginURI,
                         const char* /*bundlePath*/, LV2UI_Write_Function /*write*/,
                         LV2UI_Controller /*controller*/, LV2UI_Widget* widget,
                         const LV2_Feature* const* features) {
    const FluxetLV2Variant* variant = nullptr;
    for (const FluxetLV2Variant& candidate : kFluxetLV2Variants) {
        if (pluginURI != nullptr && std::strcmp(pluginURI, candidate.uri) == 0) {
            variant = &candidate;
        }
    }
    auto* plugin =
        static_cast<MrvnFluxetLV2*>(const_cast<void*>(FindFeature(features, kInstanceAccessURI)));
    const auto parent =
        ::Window(reinterpret_cast<std::uintptr_t>(FindFeature(features, LV2_UI__parent)));
    const auto* resize = static_cast<const LV2UI_Resize*>(FindFeature(features, LV2_UI__resize));
    if (variant == nullptr || plugin == nullptr) {
        std::fputs("fluxet.lv2: the editor needs its plug-in instance (instance-access)\n", stderr);
        return nullptr;
    }
    // Without a display the editor declines in one line. A host that embeds then shows controls
    // of its own; a host that would show a window of ours gets a UI that shows nothing, and no
    // show interface to call (ExtensionData), so that it keeps its own prompt.
    if (const std::string problem = DisplayProblem(); !problem.empty()) {
        std::fprintf(stderr, "fluxet.lv2: %s: the editor is not shown\n", problem.c_str());
        if (parent != 0) {
            return nullptr;
        }
    }
    try {
        const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
        auto ui = std::make_unique<FluxetLV2UI>(*plugin, variant->name, parent, resize);
        plugin->AttachEditor(ui.get());
        // Embedded, the editor opens now; on its own, when the host shows it.
        std::string error;
        if (parent != 0 && !ui->OpenEditor(error)) {
            std::fprintf(stderr, "fluxet.lv2: cannot open the editor: %s\n", error.c_str());
            return nullptr;
        }
        if (widget != nullptr) {
            *widget = ui->Widget();
        }
        return ui.release();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fluxet.lv2: cannot open the editor: %s\n", error.what());
        return nullptr;
    }
}

// UI thread.
void Cleanup(LV2UI_Handle handle) {
    const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
    delete UI(handle);
}

// UI thread. The editor reads the values from the unit itself.
void PortEvent(LV2UI_Handle /*handle*/, uint32_t /*port*/, uint32_t /*size*/, uint32_t /*format*/,
               const void* /*buffer*/) {}

int Idle(LV2UI_Handle handle) {
    const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
    return UI(handle)->Idle();
}

int Show(LV2UI_Handle handle) {
    const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
    return UI(handle)->Show();
}

int Hide(LV2UI_Handle handle) {
    const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
    return UI(handle)->Hide();
}

int Resize(LV2UI_Feature_Handle handle, int width, int height) {
    const std::lock_guard lock(MrvnFluxetLV2::EditorLock());
    return UI(handle)->ResizeFromHost(width, height);
}

const LV2UI_Idle_Interface kIdleInterface{Idle};
const LV2UI_Show_Interface kShowInterface{Show, Hide};
const LV2UI_Resize kResizeInterface{nullptr, Resize};

// The host's UI thread (the display check opens a connection).
const void* ExtensionData(const char* uri) {
    if (std::strcmp(uri, LV2_UI__idleInterface) == 0) {
        return &kIdleInterface;
    }
    if (std::strcmp(uri, LV2_UI__showInterface) == 0) {
        return DisplayProblem().empty() ? &kShowInterface : nullptr;
    }
    if (std::strcmp(uri, LV2_UI__resize) == 0) {
        return &kResizeInterface;
    }
    return nullptr;
}

const LV2UI_Descriptor kUIDescriptor{kFluxetLV2UIURI, Instantiate, Cleanup, PortEvent,
                                     ExtensionData};

} // namespace

const LV2UI_Descriptor* FluxetLV2UIDescriptor(uint32_t index) {
    return index == 0 ? &kUIDescriptor : nullptr;
}
