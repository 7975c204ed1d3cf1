// The Manager's window-system bridge on X11: the render task's own X connection, a GLX context
// on the editor's window, and a pbuffer context for drivers without framebuffer objects.
//
// Threads: InitGL, PostInitGL, InitGLOffscreen, MakeCurrent, MakeOffscreenCurrent,
// RenderTaskHandleResize, SwapBuffers, ShutdownGL and UpdateSizesForRetina run on the render
// task and use only the render task's connection. SetFrameSize, GetFrameHeight and
// SetFocusToWindow run on the main thread and go to the view. Requests that can fail because
// the window went away (the host destroyed it first) are made under an error trap, so a lost
// window skips frames instead of ending the process.
#pragma once

#include <memory>
#include <string>

#include <GL/glx.h>

#include "ManagerPlatformBridge.h"

namespace MV {

class Manager;
class X11EditorView;

class ManagerGLXBridge : public ManagerPlatformBridge {
public:
    ManagerGLXBridge(Manager* manager, X11EditorView* view);
    ~ManagerGLXBridge() override;

    // A double-buffered RGB configuration with a depth buffer that can also draw into pbuffers
    // where the server allows it; with visual non-zero, the one with that visual. Null if none.
    static GLXFBConfig ChooseConfig(::Display* display, int screen, VisualID visual);

    void RenderTaskHandleResize() override {}
    bool InitGL() override;
    bool PostInitGL() override { return true; }
    bool InitGLOffscreen(int w, int h) override;
    bool MakeCurrent() override;
    void MakeOffscreenCurrent() override;
    const unsigned char* OffscreenPixels() const override { return m_offscreenBuffer.get(); }
    void ShutdownGL() override;
    void SwapBuffers() override;

    void SetFocusToWindow() override;
    void SetFrameSize(int w, int h) override;
    int GetFrameHeight() const override;
    void CenterWindow(void* /*window*/) override {}
    void RunPropertyTextFieldDialog(int /*id*/, const std::string& /*prompt*/,
                                    const std::string& /*text*/) override {}
    void RunPropertyDialog(int /*id*/, int /*which*/) override {}
    void UpdateSizesForRetina(int& /*w*/, int& /*h*/) override {}

private:
    // Copies the pbuffer into the pixel buffer, top row first.
    void CaptureOffscreen();

    Manager* m_manager;
    X11EditorView* m_view;
    // Copied at construction so that the render task never reads the view.
    std::string m_displayName;
    ::Window m_window;
    VisualID m_visual;

    std::unique_ptr<unsigned char[]> m_offscreenBuffer;
    int m_width = 0;
    int m_height = 0;
    int m_bufferWidth = 0;
    int m_bufferHeight = 0;

    ::Display* m_display = nullptr;
    GLXFBConfig m_config = nullptr;
    GLXContext m_context = nullptr;
    GLXContext m_offscreenContext = nullptr;
    GLXPbuffer m_pbuffer = 0;
    bool m_offscreenCurrent = false;
    bool m_windowCurrent = false;
    bool m_windowLost = false;
};

} // namespace MV
