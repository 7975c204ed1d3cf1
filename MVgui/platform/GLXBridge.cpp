#include "GLXBridge.h"

#include <cstdio>
#include <cstring>

#include "Manager.h"
#include "X11EditorView.h"
#include "X11ErrorTrap.h"

namespace MV {

namespace {

void Report(const char* line) {
    std::printf("MVgui: %s\n", line);
    std::fflush(stdout);
}

GLXFBConfig PickConfig(::Display* display, int screen, const int* attributes, VisualID visual) {
    int count = 0;
    GLXFBConfig* configs = glXChooseFBConfig(display, screen, attributes, &count);
    if (configs == nullptr) {
        return nullptr;
    }
    GLXFBConfig chosen = nullptr;
    for (int i = 0; i < count && chosen == nullptr; ++i) {
        int id = 0;
        glXGetFBConfigAttrib(display, configs[i], GLX_VISUAL_ID, &id);
        if (id != 0 && (visual == 0 || VisualID(id) == visual)) {
            chosen = configs[i];
        }
    }
    XFree(configs);
    return chosen;
}

} // namespace

GLXFBConfig ManagerGLXBridge::ChooseConfig(::Display* display, int screen, VisualID visual) {
    // Attribute and value pairs, one pair a line.
    // clang-format off
    int attributes[] = {GLX_X_RENDERABLE, True,
                        GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT | GLX_PBUFFER_BIT,
                        GLX_RENDER_TYPE, GLX_RGBA_BIT,
                        GLX_DOUBLEBUFFER, True,
                        GLX_RED_SIZE, 8,
                        GLX_GREEN_SIZE, 8,
                        GLX_BLUE_SIZE, 8,
                        GLX_DEPTH_SIZE, 16,
                        None};
    // clang-format on
    if (GLXFBConfig config = PickConfig(display, screen, attributes, visual)) {
        return config;
    }
    attributes[3] = GLX_WINDOW_BIT; // a server without pbuffers
    return PickConfig(display, screen, attributes, visual);
}

ManagerGLXBridge::ManagerGLXBridge(Manager* manager, X11EditorView* view)
    : m_manager(manager), m_view(view), m_displayName(view->DisplayName()),
      m_window(view->XWindow()), m_visual(view->WindowVisual()) {}

ManagerGLXBridge::~ManagerGLXBridge() {
    ShutdownGL();
}

bool ManagerGLXBridge::InitGL() {
    m_display = XOpenDisplay(m_displayName.c_str());
    if (m_display == nullptr) {
        Report("the render task cannot open the X display");
        return false;
    }
    X11ErrorTrap trap(m_display);
    m_config = ChooseConfig(m_display, DefaultScreen(m_display), m_visual);
    if (m_config == nullptr) {
        Report("the render task finds no GLX configuration for the window");
        return false;
    }
    m_context = glXCreateNewContext(m_display, m_config, GLX_RGBA_TYPE, nullptr, True);
    if (m_context == nullptr || trap.Check() != 0) {
        Report("cannot create a GLX context");
        return false;
    }
    if (!glXMakeContextCurrent(m_display, m_window, m_window, m_context) || trap.Check() != 0) {
        m_windowLost = true;
        return false;
    }
    m_windowCurrent = true;
    return true;
}

bool ManagerGLXBridge::InitGLOffscreen(int w, int h) {
    if (m_display == nullptr || m_context == nullptr) {
        return false;
    }
    const bool highDensity = m_manager->IsRetina();
    m_bufferWidth = highDensity ? 2048 : 1024;
    m_bufferHeight = highDensity ? 1024 : 512;
    // The window's own configuration: Mesa's software path presents a pbuffer like a window, and
    // refuses one of another depth.
    int drawables = 0;
    glXGetFBConfigAttrib(m_display, m_config, GLX_DRAWABLE_TYPE, &drawables);
    if ((drawables & GLX_PBUFFER_BIT) == 0) {
        return false;
    }
    X11ErrorTrap trap(m_display);
    const int size[] = {GLX_PBUFFER_WIDTH, m_bufferWidth, GLX_PBUFFER_HEIGHT, m_bufferHeight, None};
    m_pbuffer = glXCreatePbuffer(m_display, m_config, size);
    // Sharing the on-screen context's objects lets the labels use the fonts' atlases as they are.
    m_offscreenContext = glXCreateNewContext(m_display, m_config, GLX_RGBA_TYPE, m_context, True);
    if (m_pbuffer == 0 || m_offscreenContext == nullptr || trap.Check() != 0) {
        return false;
    }
    m_offscreenBuffer = std::make_unique<unsigned char[]>(std::size_t(m_bufferWidth) *
                                                          std::size_t(m_bufferHeight) * 4);
    m_width = w;
    m_height = h;
    MakeOffscreenCurrent();
    return true;
}

void ManagerGLXBridge::MakeOffscreenCurrent() {
    if (m_offscreenContext == nullptr) {
        return;
    }
    glXMakeContextCurrent(m_display, m_pbuffer, m_pbuffer, m_offscreenContext);
    m_offscreenCurrent = true;
    m_windowCurrent = false;
    glViewport(0, m_bufferHeight - m_height, m_width, m_height);
}

void ManagerGLXBridge::CaptureOffscreen() {
    glFinish();
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    const std::size_t rowBytes = std::size_t(m_bufferWidth) * 4;
    for (int row = 0; row < m_bufferHeight; ++row) {
        // GL's row 0 is the bottom one; the buffer holds the top row first.
        glReadPixels(0, row, m_bufferWidth, 1, GL_BGRA, GL_UNSIGNED_INT_8_8_8_8_REV,
                     m_offscreenBuffer.get() + std::size_t(m_bufferHeight - 1 - row) * rowBytes);
    }
}

bool ManagerGLXBridge::MakeCurrent() {
    if (m_display == nullptr || m_context == nullptr || m_windowLost) {
        return false;
    }
    if (m_offscreenCurrent) {
        CaptureOffscreen();
        m_offscreenCurrent = false;
    }
    if (m_windowCurrent) {
        return true;
    }
    X11ErrorTrap trap(m_display);
    if (!glXMakeContextCurrent(m_display, m_window, m_window, m_context) || trap.Check() != 0) {
        m_windowLost = true;
        return false;
    }
    m_windowCurrent = true;
    return true;
}

void ManagerGLXBridge::SwapBuffers() {
    if (m_display == nullptr || !m_windowCurrent) {
        return;
    }
    X11ErrorTrap trap(m_display);
    glXSwapBuffers(m_display, m_window);
    if (trap.Check() != 0) {
        m_windowLost = true;
        m_windowCurrent = false;
    }
}

void ManagerGLXBridge::ShutdownGL() {
    if (m_display == nullptr) {
        return;
    }
    {
        X11ErrorTrap trap(m_display);
        glXMakeContextCurrent(m_display, None, None, nullptr);
        if (m_offscreenContext != nullptr) {
            glXDestroyContext(m_display, m_offscreenContext);
        }
        if (m_pbuffer != 0) {
            glXDestroyPbuffer(m_display, m_pbuffer);
        }
        if (m_context != nullptr) {
            glXDestroyContext(m_display, m_context);
        }
    }
    m_offscreenContext = nullptr;
    m_pbuffer = 0;
    m_context = nullptr;
    m_config = nullptr;
    m_offscreenBuffer.reset();
    m_offscreenCurrent = false;
    m_windowCurrent = false;
    XCloseDisplay(m_display);
    m_display = nullptr;
}

void ManagerGLXBridge::SetFocusToWindow() {
    m_view->TakeKeyboardFocus();
}

void ManagerGLXBridge::SetFrameSize(int w, int h) {
    m_view->SetFrameSize(w, h);
}

int ManagerGLXBridge::GetFrameHeight() const {
    return m_view->Height();
}

} // namespace MV
