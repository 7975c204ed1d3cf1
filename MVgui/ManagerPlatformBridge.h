// What the Manager needs from the window system: GL contexts on its render task and a few
// window services on the main thread. MVgui/platform/ implements it for X11 and GLX.
#pragma once

#include <string>

namespace MV {

class ManagerPlatformBridge {
public:
    virtual ~ManagerPlatformBridge() = default;

    // Render task, after GL set-up and on a resize event: bring the drawable to the view's size.
    virtual void RenderTaskHandleResize() = 0;
    // Render task, first: create the on-screen context and make it current; true on success.
    virtual bool InitGL() = 0;
    // Render task, after the elements are set up. The result is not used.
    virtual bool PostInitGL() = 0;
    // Render task, only without framebuffer objects: an off-screen context of w x h pixels
    // whose pixels (4 bytes each, BGRA, top row first) OffscreenPixels() then gives.
    virtual bool InitGLOffscreen(int w, int h) = 0;
    // Render task: the on-screen context current; false skips the frame. Leaving the off-screen
    // context, this also captures its pixels for OffscreenPixels().
    virtual bool MakeCurrent() = 0;
    // Render task: the off-screen context current, its viewport on the top rows of its buffer.
    virtual void MakeOffscreenCurrent() = 0;
    // The off-screen pixels captured by the last MakeCurrent: a buffer of 1024 x 512 pixels
    // (2048 x 1024 on a high-density display) at 4 bytes each; null without one.
    virtual const unsigned char* OffscreenPixels() const = 0;
    // Render task, last: destroy the contexts.
    virtual void ShutdownGL() = 0;
    // Render task: present the frame.
    virtual void SwapBuffers() = 0;

    // Main thread.
    virtual void SetFocusToWindow() = 0;
    // Main thread: resize the view to w x h window units (a corner resize).
    virtual void SetFrameSize(int w, int h) = 0;
    virtual int GetFrameHeight() const = 0;
    virtual void CenterWindow(void* window) = 0;
    virtual void RunPropertyTextFieldDialog(int id, const std::string& prompt,
                                            const std::string& text) = 0;
    virtual void RunPropertyDialog(int id, int which) = 0;
    // Render task, in InitGL: converts a size in window units to framebuffer pixels in place.
    virtual void UpdateSizesForRetina(int& w, int& h) = 0;
};

} // namespace MV
