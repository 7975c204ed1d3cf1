#include "X11EditorView.h"

#include <poll.h>

#include <X11/Xutil.h>

#include "AUHostServices.h"
#include "GLXBridge.h"
#include "Manager.h"
#include "X11ErrorTrap.h"

namespace MV {

namespace {

unsigned ModifierBits(unsigned state) {
    unsigned bits = 0;
    if ((state & ControlMask) != 0) {
        bits |= kModifierCommand; // Ctrl stands for the command key
    }
    if ((state & ShiftMask) != 0) {
        bits |= kModifierShift;
    }
    if ((state & Mod1Mask) != 0) {
        bits |= kModifierOption; // Alt
    }
    return bits;
}

// The host hears the begin and end of every edit gesture of the editor.
void NotifyGesture(Manager& manager, int paramId, AudioUnitEventType type) {
    const CAAUParameter* parameter = manager.Param(paramId);
    if (parameter == nullptr) {
        return;
    }
    AudioUnitEvent event{};
    event.mEventType = type;
    event.mArgument.mParameter = AudioUnitParameter{parameter->mAudioUnit, parameter->mParameterID,
                                                    parameter->mScope, parameter->mElement};
    AUEventListenerNotify(nullptr, nullptr, &event);
}

void BeginEditCallback(int paramId, void* context) {
    NotifyGesture(*static_cast<Manager*>(context), paramId,
                  kAudioUnitEvent_BeginParameterChangeGesture);
}

void EndEditCallback(int paramId, void* context) {
    NotifyGesture(*static_cast<Manager*>(context), paramId,
                  kAudioUnitEvent_EndParameterChangeGesture);
}

} // namespace

X11EditorView::X11EditorView(Manager& manager, ::Display* display, std::string displayName)
    : m_manager(manager), m_display(display), m_displayName(std::move(displayName)) {}

std::unique_ptr<X11EditorView> X11EditorView::Open(Manager& manager, const Options& options,
                                                   std::string& error) {
    const char* name = options.displayName.empty() ? nullptr : options.displayName.c_str();
    ::Display* display = XOpenDisplay(name);
    if (display == nullptr) {
        const char* shown = XDisplayName(name);
        error = std::string("cannot open the X display '") + (shown != nullptr ? shown : "") + "'";
        return nullptr;
    }
    std::unique_ptr<X11EditorView> view(
        new X11EditorView(manager, display, DisplayString(display)));
    if (!view->Create(options, error)) {
        return nullptr;
    }
    return view;
}

bool X11EditorView::Create(const Options& options, std::string& error) {
    int glxErrorBase = 0;
    int glxEventBase = 0;
    if (!glXQueryExtension(m_display, &glxErrorBase, &glxEventBase)) {
        error = "the X server has no GLX extension";
        return false;
    }
    m_manager.CreateControl(0.0f, 0.0f);
    const SInt16* rect = m_manager.FrameRect();
    m_width = std::max(1, rect[3] - rect[1]);
    m_height = std::max(1, rect[2] - rect[0]);

    X11ErrorTrap trap(m_display);
    const int screen = DefaultScreen(m_display);
    GLXFBConfig config = ManagerGLXBridge::ChooseConfig(m_display, screen, 0);
    XVisualInfo* visual = config != nullptr ? glXGetVisualFromFBConfig(m_display, config) : nullptr;
    if (visual == nullptr) {
        error = "no double-buffered GLX visual with a depth buffer";
        return false;
    }
    m_visualId = visual->visualid;
    const ::Window root = RootWindow(m_display, visual->screen);
    m_colormap = XCreateColormap(m_display, root, visual->visual, AllocNone);
    XSetWindowAttributes attributes{};
    attributes.colormap = m_colormap;
    attributes.border_pixel = 0;
    attributes.background_pixmap = None; // the render task paints everything
    attributes.event_mask = ExposureMask | StructureNotifyMask | ButtonPressMask |
                            ButtonReleaseMask | PointerMotionMask | LeaveWindowMask;
    const ::Window parent = options.parent != 0 ? options.parent : root;
    m_window = XCreateWindow(m_display, parent, 0, 0, unsigned(m_width), unsigned(m_height), 0,
                             visual->depth, InputOutput, visual->visual,
                             CWColormap | CWBorderPixel | CWBackPixmap | CWEventMask, &attributes);
    XFree(visual);
    if (options.parent == 0) {
        m_deleteWindow = XInternAtom(m_display, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(m_display, m_window, &m_deleteWindow, 1);
        XStoreName(m_display, m_window, options.title.c_str());
    }
    SetFrameSize(m_width, m_height);
    XMapWindow(m_display, m_window);
    if (const int code = trap.Check(); code != 0) {
        error = "cannot create the editor window (X error " + std::to_string(code) + ")";
        return false;
    }

    m_manager.SetBridge(new ManagerGLXBridge(&m_manager, this));
    m_manager.SetEditProcs(BeginEditCallback, EndEditCallback, &m_manager);
    m_manager.SetCaptureProcs(nullptr, nullptr, nullptr);
    m_manager.CreateRenderTask();
    return true;
}

X11EditorView::~X11EditorView() {
    m_manager.DestroyRenderTask();
    m_manager.SetBridge(nullptr);
    m_manager.SetEditProcs(nullptr, nullptr, nullptr);
    {
        X11ErrorTrap trap(m_display);
        if (m_window != 0) {
            XDestroyWindow(m_display, m_window);
        }
        if (m_colormap != 0) {
            XFreeColormap(m_display, m_colormap);
        }
    }
    XCloseDisplay(m_display);
}

void X11EditorView::SetFrameSize(int width, int height) {
    m_width = std::max(1, width);
    m_height = std::max(1, height);
    if (m_window == 0) {
        return;
    }
    X11ErrorTrap trap(m_display);
    XResizeWindow(m_display, m_window, unsigned(m_width), unsigned(m_height));
    if (m_deleteWindow != 0) {
        // The window manager keeps the size; the editor's own corner changes it.
        XSizeHints* hints = XAllocSizeHints();
        if (hints != nullptr) {
            hints->flags = PMinSize | PMaxSize;
            hints->min_width = hints->max_width = m_width;
            hints->min_height = hints->max_height = m_height;
            XSetWMNormalHints(m_display, m_window, hints);
            XFree(hints);
        }
    }
}

void X11EditorView::TakeKeyboardFocus() {
    if (m_window == 0) {
        return;
    }
    X11ErrorTrap trap(m_display);
    XSetInputFocus(m_display, m_window, RevertToParent, CurrentTime);
}

bool X11EditorView::WaitForEvents(int timeoutMs) {
    if (XPending(m_display) > 0) {
        return true;
    }
    pollfd descriptor{ConnectionNumber(m_display), POLLIN, 0};
    return poll(&descriptor, 1, timeoutMs) > 0 && XPending(m_display) > 0;
}

bool X11EditorView::ProcessEvents() {
    while (!m_closed && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        HandleEvent(event);
    }
    return !m_closed;
}

void X11EditorView::HandleEvent(const XEvent& event) {
    switch (event.type) {
    case Expose:
        if (event.xexpose.count == 0) {
            m_manager.NudgeGUI();
        }
        break;
    case ConfigureNotify:
        if (event.xconfigure.window == m_window) {
            m_width = event.xconfigure.width;
            m_height = event.xconfigure.height;
        }
        break;
    case DestroyNotify:
        if (event.xdestroywindow.window == m_window) {
            m_window = 0;
            m_closed = true;
        }
        break;
    case ClientMessage:
        if (m_deleteWindow != 0 && Atom(event.xclient.data.l[0]) == m_deleteWindow) {
            m_closed = true;
        }
        break;
    case ButtonPress: {
        const CGPoint point{double(event.xbutton.x), FlipY(event.xbutton.y)};
        const unsigned modifiers = ModifierBits(event.xbutton.state);
        const unsigned button = event.xbutton.button;
        if (button >= 4 && button <= 7) {
            if (!m_mouseTracking) {
                m_manager.HandleMouseWheel(point, button == 4 || button == 7 ? 1.0f : -1.0f,
                                           modifiers);
            }
        } else if (button <= 3) {
            m_manager.HandleMouseNoLoopDown(point, modifiers, 1, button == 3);
            m_mouseTracking = true;
        }
        break;
    }
    case MotionNotify: {
        const CGPoint point{double(event.xmotion.x), FlipY(event.xmotion.y)};
        if (m_mouseTracking) {
            m_manager.HandleMouseNoLoopDragged(point, ModifierBits(event.xmotion.state));
        } else {
            m_manager.HandleMouseMove(point);
        }
        break;
    }
    case ButtonRelease:
        if (event.xbutton.button <= 3 && m_mouseTracking) {
            const CGPoint point{double(event.xbutton.x), FlipY(event.xbutton.y)};
            m_manager.HandleMouseNoLoopUp(point, ModifierBits(event.xbutton.state));
            m_mouseTracking = false;
        }
        break;
    case LeaveNotify:
        if (!m_mouseTracking) {
            m_manager.HandleMouseMove(CGPoint{-1e6, -1e6}); // nothing is hovered outside
        }
        break;
    default:
        break;
    }
}

} // namespace MV
