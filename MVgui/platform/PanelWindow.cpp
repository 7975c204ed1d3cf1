#include "PanelWindow.h"

namespace MV {

std::unique_ptr<PanelWindow> PanelWindow::Open(const std::string& title, const std::string& display,
                                               const std::function<void(Manager&)>& build,
                                               std::string& error) {
    std::unique_ptr<PanelWindow> window(new PanelWindow);
    // A new manager reads the display settings from the preferences; an editor of this process
    // may have set them otherwise for the run.
    const bool eyeCandy = Manager::ms_enableEyeCandy;
    const bool constantRedraw = Manager::ms_enableConstantRedraw;
    const bool tooltip = Manager::ms_enableTooltip;
    window->m_manager = std::make_unique<Manager>(nullptr);
    Manager::ms_enableEyeCandy = eyeCandy;
    Manager::ms_enableConstantRedraw = constantRedraw;
    Manager::ms_enableTooltip = tooltip;

    Manager& manager = *window->m_manager;
    Font* text = Font::Create({{"DejaVuSans.ttf", 12}});
    Font* digits = Font::Create({{"DejaVuSansMono.ttf", 12}});
    manager.SetFonts(text, text, digits);
    manager.SetBannerMode(2); // no banner: the panel shows what it needs
    build(manager);

    X11EditorView::Options options;
    options.displayName = display;
    options.title = title;
    window->m_view = X11EditorView::Open(manager, options, error);
    if (window->m_view == nullptr) {
        return nullptr;
    }
    return window;
}

PanelWindow::~PanelWindow() {
    m_view.reset(); // stops the render task before the manager goes
    m_manager.reset();
}

} // namespace MV
