#include "X11EditorView.h"

#include <poll.h>

#include <cstdlib>

#include <X11/Xutil.h>
#include <X11/keysym.h>

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

// The key codes the editor knows for the keys that are not text; 0 for the others.
unsigned char EditingKey(KeySym keysym) {
    switch (keysym) {
    case XK_BackSpace:
        return kKeyBackspace;
    case XK_Return:
    case XK_KP_Enter:
    case XK_ISO_Enter:
        return kKeyEnter;
    case XK_Left:
    case XK_KP_Left:
        return kKeyLeft;
    case XK_Right:
    case XK_KP_Right:
        return kKeyRight;
    case XK_Up:
    case XK_KP_Up:
        return kKeyUp;
    case XK_Down:
    case XK_KP_Down:
        return kKeyDown;
    default:
        return 0;
    }
}

// The text a key types as UTF-8, or 0 bytes. Latin-1 and Unicode key symbols carry their code
// point; other keys (the keypad's digits, for one) type what Xlib's table gives when that is
// plain ASCII.
int KeyText(KeySym keysym, const char* lookedUp, int lookedUpLength, unsigned char (&out)[4]) {
    unsigned long code = 0;
    if ((keysym >= 0x20 && keysym <= 0x7e) || (keysym >= 0xa0 && keysym <= 0xff)) {
        code = keysym;
    } else if ((keysym & 0xff000000) == 0x01000000) {
        code = keysym & 0x00ffffff;
    } else if (lookedUpLength == 1 && lookedUp[0] >= 0x20 && lookedUp[0] <= 0x7e) {
        code = static_cast<unsigned char>(lookedUp[0]);
    }
    if (code == 0 || code > 0x10ffff) {
        return 0;
    }
    if (code < 0x80) {
        out[0] = static_cast<unsigned char>(code);
        return 1;
    }
    if (code < 0x800) {
        out[0] = static_cast<unsigned char>(0xc0 | (code >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (code & 0x3f));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = static_cast<unsigned char>(0xe0 | (code >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3f));
        out[2] = static_cast<unsigned char>(0x80 | (code & 0x3f));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xf0 | (code >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((code >> 12) & 0x3f));
    out[2] = static_cast<unsigned char>(0x80 | ((code >> 6) & 0x3f));
    out[3] = static_cast<unsigned char>(0x80 | (code & 0x3f));
    return 4;
}

} // namespace

X11EditorView::X11EditorView(Manager& manager, ::Display* display, std::string displayName)
    : m_manager(&manager), m_display(display), m_displayName(std::move(displayName)) {}

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
    m_manager->CreateControl(0.0f, 0.0f);
    const SInt16* rect = m_manager->FrameRect();
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
                            ButtonReleaseMask | PointerMotionMask | LeaveWindowMask | KeyPressMask |
                            KeyReleaseMask | FocusChangeMask;
    m_parent = options.parent;
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

    m_manager->SetBridge(new ManagerGLXBridge(m_manager, this));
    m_manager->SetEditProcs(BeginEditCallback, EndEditCallback, m_manager);
    m_manager->SetCaptureProcs(nullptr, nullptr, nullptr);
    m_manager->CreateRenderTask();
    return true;
}

X11EditorView::~X11EditorView() {
    ReleaseManager();
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

void X11EditorView::ReleaseManager() {
    if (m_manager == nullptr) {
        return;
    }
    m_manager->DestroyRenderTask();
    m_manager->SetBridge(nullptr);
    m_manager->SetEditProcs(nullptr, nullptr, nullptr);
    m_manager = nullptr;
    m_mouseTracking = false;
    if (m_window != 0) {
        X11ErrorTrap trap(m_display);
        XSetWindowBackground(m_display, m_window, BlackPixel(m_display, DefaultScreen(m_display)));
        XClearWindow(m_display, m_window);
    }
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

void X11EditorView::ResizeFromHost(int width, int height) {
    SetFrameSize(width, height);
    FollowSize(m_width, m_height);
}

void X11EditorView::FollowSize(int width, int height) {
    m_width = std::max(1, width);
    m_height = std::max(1, height);
    if (m_manager != nullptr) {
        m_manager->SetWindowSize(m_width, m_height);
        m_manager->NudgeGUI();
    }
}

void X11EditorView::Raise() {
    if (m_window == 0) {
        return;
    }
    X11ErrorTrap trap(m_display);
    XMapRaised(m_display, m_window);
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
    case DestroyNotify:
        if (event.xdestroywindow.window == m_window) {
            m_window = 0;
            m_closed = true;
            if (m_manager != nullptr) {
                m_manager->DestroyRenderTask(); // nothing to draw into any more
            }
        }
        return;
    case ClientMessage:
        if (m_deleteWindow != 0 && Atom(event.xclient.data.l[0]) == m_deleteWindow) {
            m_closed = true;
        }
        return;
    case ConfigureNotify:
        // Not a size the view set itself (those it knows already).
        if (event.xconfigure.window == m_window &&
            (event.xconfigure.width != m_width || event.xconfigure.height != m_height)) {
            FollowSize(event.xconfigure.width, event.xconfigure.height);
        }
        return;
    default:
        break;
    }
    if (m_manager == nullptr) {
        return; // released: the window shows nothing and takes no input
    }
    Manager& manager = *m_manager;
    switch (event.type) {
    case Expose:
        if (event.xexpose.count == 0) {
            manager.NudgeGUI();
        }
        break;
    case ButtonPress:
        HandlePress(event.xbutton);
        break;
    case MotionNotify: {
        const CGPoint point{double(event.xmotion.x), FlipY(event.xmotion.y)};
        if (m_mouseTracking) {
            manager.HandleMouseNoLoopDragged(point, ModifierBits(event.xmotion.state));
        } else {
            manager.HandleMouseMove(point);
        }
        break;
    }
    case ButtonRelease:
        if (event.xbutton.button <= 3 && m_mouseTracking) {
            const CGPoint point{double(event.xbutton.x), FlipY(event.xbutton.y)};
            manager.HandleMouseNoLoopUp(point, ModifierBits(event.xbutton.state));
            m_mouseTracking = false;
        }
        break;
    case KeyPress:
    case KeyRelease:
        HandleKey(event.xkey);
        break;
    case FocusOut:
        // The window lost the keyboard: not to one of its own children, not for a grab, and
        // not the pointer's implicit focus, which ends when the window takes the keyboard.
        if (event.xfocus.mode == NotifyNormal && event.xfocus.detail != NotifyInferior &&
            event.xfocus.detail != NotifyPointer) {
            manager.HandleWindowFocusRelinquish();
        }
        break;
    case LeaveNotify:
        if (!m_mouseTracking) {
            manager.HandleMouseMove(CGPoint{-1e6, -1e6}); // nothing is hovered outside
        }
        break;
    default:
        break;
    }
}

int X11EditorView::ClickCount(const XButtonEvent& event) {
    const bool again = event.button == m_lastPress.button && m_lastPress.count > 0 &&
                       event.time - m_lastPress.time <= Time(kDoubleClickMs) &&
                       std::abs(event.x - m_lastPress.x) <= kDoubleClickDistance &&
                       std::abs(event.y - m_lastPress.y) <= kDoubleClickDistance;
    m_lastPress =
        LastPress{event.button, event.time, event.x, event.y, again ? m_lastPress.count + 1 : 1};
    return m_lastPress.count;
}

void X11EditorView::HandlePress(const XButtonEvent& event) {
    const CGPoint point{double(event.x), FlipY(event.y)};
    const unsigned modifiers = ModifierBits(event.state);
    const unsigned button = event.button;
    if (button >= 4 && button <= 7) {
        if (!m_mouseTracking) {
            m_manager->HandleMouseWheel(point, button == 4 || button == 7 ? 1.0f : -1.0f,
                                        modifiers);
        }
    } else if (button <= 3) {
        TakeKeyboardFocus();
        m_manager->HandleMouseNoLoopDown(point, modifiers, ClickCount(event), button == 3);
        m_mouseTracking = true;
    }
}

void X11EditorView::HandleKey(const XKeyEvent& event) {
    const unsigned keycode = event.keycode & 0xff;
    if (event.type == KeyRelease) {
        // A release goes where its press went.
        if (!m_keysUsed[keycode]) {
            PassKeyOn(event);
        }
        m_keysUsed[keycode] = false;
        return;
    }
    char lookedUp[16];
    KeySym keysym = NoSymbol;
    XKeyEvent copy = event;
    const int length = XLookupString(&copy, lookedUp, sizeof lookedUp, &keysym, nullptr);
    unsigned char bytes[4];
    int count = 0;
    if (const unsigned char key = EditingKey(keysym); key != 0) {
        bytes[count++] = key;
    } else if ((event.state & (ControlMask | Mod1Mask)) == 0) {
        // With Ctrl or Alt held a key is a command, not text.
        count = KeyText(keysym, lookedUp, length, bytes);
    }
    bool used = false;
    for (int i = 0; i < count; ++i) {
        used = m_manager->HandleKeypress(bytes[i]) || used;
    }
    m_keysUsed[keycode] = used;
    if (!used) {
        PassKeyOn(event);
    }
}

void X11EditorView::PassKeyOn(const XKeyEvent& event) {
    if (m_parent == 0) {
        return; // a window of its own: nobody else wants the key
    }
    XEvent forwarded{};
    forwarded.xkey = event;
    forwarded.xkey.window = m_parent;
    forwarded.xkey.subwindow = None;
    X11ErrorTrap trap(m_display);
    XSendEvent(m_display, m_parent, True, event.type == KeyPress ? KeyPressMask : KeyReleaseMask,
               &forwarded);
}

} // namespace MV
