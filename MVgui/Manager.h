// The centre of one open editor: it owns the elements, textures, fonts and render passes,
// binds controls to the plug-in's parameters, routes the view's input to the elements and
// runs the render task that draws the window.
//
// Threads. The main thread builds the layout, calls CreateControl, every Handle... operation,
// the Set... operations and CreateRenderTask/DestroyRenderTask. The render task owns the GL
// context and reads the tree every frame. Both hold the tree guard (TreeGuard()) while they
// touch the element tree, the hover set, the captured and focus elements, the mouse-over and
// editing ids and the window sizes: every public operation here takes it itself, so callers
// need not. The class-wide settings are atomics, shared by every editor in the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AUTypes.h"
#include "CAAUParameter.h"
#include "CriticalSection.h"
#include "Font.h"
#include "GuiTypes.h"
#include "ManagerPlatformBridge.h"
#include "MrvnShared.h"
#include "Task.h"

namespace MV {

class Effect;
class Group;
class StaticText;
class Texture;
class UIElement;

// Timings of the render task, for tests and benchmarks. Any thread.
struct RenderStats {
    std::uint64_t framesDrawn = 0;  // frames presented since the task started
    std::uint64_t lastDrawNs = 0;   // update and drawing of the last frame, swap included
    std::uint64_t firstFrameNs = 0; // from a working GL context to the first frame presented
    bool glReady = false;           // GL set-up finished with a working context
    bool framebufferLabels = false; // the label texture is drawn through a framebuffer object
};

class Manager {
public:
    // The render pass torn down last at GL shutdown; a derived manager may supply its own.
    class RenderingShutdowner {
    public:
        virtual ~RenderingShutdowner() = default;
        virtual void ShutdownRendering() {}
    };

    // Render-task event bits; bits set before the task wakes arrive together.
    enum : std::uint32_t {
        kRenderEventQuit = 1,
        kRenderEventPause = 4,
        kRenderEventNudge = 8,
        kRenderEventResize = 16,
        kRenderEventRedrawLabels = 32,
    };

    // How the label texture is drawn: through a framebuffer object when the driver has them,
    // or always through the bridge's off-screen context.
    enum class LabelPath { kAutomatic, kOffscreen };

    // The largest editor a corner resize makes, and the smallest.
    static constexpr int kMaxWidth = 1024;
    static constexpr int kMaxHeight = 512;
    static constexpr int kMinWidth = 128;
    static constexpr int kMinHeight = 64;
    // The size used when the layout gives none.
    static constexpr int kFallbackWidth = 800;
    static constexpr int kFallbackHeight = 400;
    // Wait between frames with constant redraw on, and for the render task's end.
    static constexpr long kConstantRedrawWaitMs = 33;
    static constexpr long kRenderTaskStopTimeoutMs = 10000;
    // Bytes a value text (FormatParamValue) may need.
    static constexpr int kValueTextSize = 64;

    using EditProc = void (*)(int paramId, void* context);
    using BeginCaptureProc = void (*)(void* context);
    using EndCaptureProc = void (*)(void* context, const CGPoint* point);

    // Main thread. Reads the class-wide settings from the preferences and the unit's parameter
    // count and live values; a null or silent unit gives no parameters.
    explicit Manager(AudioUnit audioUnit);
    // Main thread. Stops the render task, then deletes everything the manager owns.
    virtual ~Manager();
    Manager(const Manager&) = delete;
    Manager& operator=(const Manager&) = delete;

    // ---- Building the layout (main thread, before CreateRenderTask)

    // Fonts that failed to load are stored as absent. The manager owns all three.
    void SetFonts(Font* infoFont, Font* labelFont, Font* thirdFont);
    // A null-terminated list; entry i gets help id -2 - i.
    void SetHelpStrings(const char** strings);
    // The id of an equal text already stored, else a new id below every id in use.
    int AddHelpString(const char* text);
    void SetWindowSize(int w, int h);
    void SetBannerY(float y);
    void SetBannerBounds(float x0, float y0, float x1, float y1);
    void SetBannerMode(int mode) { m_bannerMode = mode; }
    void SetBannerTextX(float x) { m_bannerTextX = x; }
    void SetInfoTextX(float x) { m_infoTextX = x; }
    void SetBannerColour(const Vec4& colour) { m_bannerColour = colour; }
    void SetBackgroundColour(float r, float g, float b);
    void SetNeedPass2(bool need) { m_needPass2 = need; }
    // Fixes the layout metrics and the view rectangle and places the banner text. A layout
    // without a usable size gets the fallback size, with one line on standard output.
    void CreateControl(float x, float y);

    // Registration of owned objects (constructors of elements and textures call these).
    void AddElement(UIElement* element);
    void AddTexture(Texture* texture);
    void AddEffect(Effect* effect);
    void AddExtraFont(Font* font);

    // The view's wiring (main thread, before CreateRenderTask). The manager owns the bridge.
    void SetBridge(ManagerPlatformBridge* bridge);
    void SetEditProcs(EditProc begin, EditProc end, void* context);
    void SetCaptureProcs(BeginCaptureProc begin, EndCaptureProc end, void* context);
    // For drivers without framebuffer objects, and to compare both paths.
    void SetLabelPath(LabelPath path) { m_labelPath = path; }

    // ---- Input (main thread)

    bool HandleKeypress(unsigned char key);
    void SetKeyboardFocusElement(UIElement* element);
    void SetFocusToWindow();
    void HandleWindowFocusRelinquish();
    void HandleMouseMove(const CGPoint& point);
    void HandleMouseNoLoopDown(const CGPoint& point, unsigned modifiers, int clickCount,
                               bool rightButton);
    void HandleMouseNoLoopDragged(const CGPoint& point, unsigned modifiers);
    void HandleMouseNoLoopUp(const CGPoint& point, unsigned modifiers);
    void HandleMouseWheel(const CGPoint& point, float delta, unsigned modifiers);
    // Window units to layout units.
    CGPoint ScaledMousePos(const CGPoint& point) const;

    // Edit gestures and what the info line shows (main thread; controls call these).
    void SetEditingParam(int paramId);
    void UnsetEditingParam(int paramId);
    void SetMouseOverParam(int id, UIElement* element);

    // Any thread: wake the render task for a frame, or to redraw the label texture first.
    void NudgeGUI() const;
    void RequestRedrawLabels() const;

    // ---- Render task (Manager.cpp starts it; ManagerRender.cpp is its body)

    void CreateRenderTask();
    void DestroyRenderTask();
    bool IsRenderTaskRunning() const { return m_renderTaskRunning; }
    RenderStats Stats() const;

    // The value text of a parameter, at most kValueTextSize bytes with the zero.
    static void FormatParamValue(const CAAUParameter& param, char* out);
    // Render task: name, value and unit of a parameter on the info line.
    void DrawParamValue(Font* font, int param, float x, float y, char* tooltip);
    void FinalPositions();
    void LoadTextures();
    void UnloadTextures();

    // ---- Hooks for a derived manager

    // Render task, every frame before drawing: the tree's Update, then every effect's.
    virtual void Update();
    virtual void InitialiseRendering() {}
    virtual RenderingShutdowner* CreateRenderingShutdowner();
    // The label texture as the window's background.
    virtual void DrawBackground();
    // Draws more after a parameter's unit on the info line.
    virtual void ExtendParamValue(Font* font, int param, float& x, float& y, char*& tooltip);
    // Draws into the label texture before the labels.
    virtual void RenderBackground() {}

    // ---- What elements and views read

    CriticalSection& TreeGuard() const { return m_treeGuard; }
    Group* RootGroup() const { return m_rootGroup; }
    AudioUnit Unit() const { return m_audioUnit; }
    int NumParams() const { return int(m_params.size()); }
    // Null outside 0 to NumParams() - 1.
    const CAAUParameter* Param(int index) const;
    const DataToGui* LiveValues() const { return m_pDataToGui; }
    Font* InfoFont() const { return m_pInfoFont; }
    Font* LabelFont() const { return m_pLabelFont; }
    Font* ThirdFont() const { return m_pThirdFont; }
    // The first text pass (info font: banner, group titles, button captions) and the second
    // (label font).
    StaticText* BannerText() const { return m_pBannerText; }
    StaticText* SecondText() const { return m_pSecondText; }
    ManagerPlatformBridge* Bridge() const { return m_pBridge; }
    UIElement* KeyboardFocus() const { return m_pKeyboardFocus; }
    UIElement* Captured() const { return m_pCaptured; }
    int EditingParam() const { return m_editingParam; }
    int MouseOverParam() const { return m_mouseOverParam; }
    bool IsHovered(const UIElement* element) const;
    // Null when the id has no text.
    const char* HelpString(int id) const;
    int InstanceIndex() const { return m_instanceIndex; }
    const int* WindowSize() const { return m_windowSize; }
    const int* ViewportSize() const { return m_viewportSize; }
    const int* DesignSize() const { return m_designSize; }
    // The view rectangle: top, left, bottom, right.
    const SInt16* FrameRect() const { return m_frameRect; }
    bool IsRetina() const { return m_retina; }
    bool IsResizing() const { return m_resizing; }
    float Aspect() const { return m_aspect; }
    float FrameRate() const { return m_frameRate; }
    float FrameTime() const { return m_frameTime; }
    double Elapsed() const { return m_elapsed; }
    const Vec4& BackgroundColour() const { return m_backgroundColour; }

    // ---- Class-wide settings, shared by every editor in the process (any thread)

    static std::atomic<bool> ms_enableEyeCandy;
    static std::atomic<bool> ms_enableConstantRedraw;
    static std::atomic<bool> ms_enableTooltip;
    static std::atomic<int> ms_instanceCount;
    static std::atomic<AudioUnit> ms_lastTouchedParamEditAU;
    static std::atomic<int> ms_lastTouchedParamId;
    // The banner and info text colour; the last skin loaded sets it for every editor.
    static void SetBannerTextColour(const Vec4& colour);
    static Vec4 BannerTextColour();

protected:
    // Render task (ManagerRender.cpp). InitGL follows the bridge's InitGL and ShutdownGL its
    // MakeCurrent (the task makes those calls itself); Draw is the frame between MakeCurrent and
    // SwapBuffers, run with the tree guard held.
    void InitGL(bool contextReady);
    void RedrawLabels();
    void Draw();
    void Draw3d();
    void Draw2d();
    void Render() const;
    void ShutdownGL(bool current);

    std::vector<UIElement*> m_elements;
    std::vector<Texture*> m_textures;
    std::vector<Effect*> m_effects;
    std::vector<Font*> m_extraFonts;
    Group* m_rootGroup = nullptr;
    bool m_needPass2 = false;
    ManagerPlatformBridge* m_pBridge = nullptr;
    EditProc m_beginEditProc = nullptr;
    EditProc m_endEditProc = nullptr;
    void* m_editProcContext = nullptr;
    BeginCaptureProc m_beginCaptureProc = nullptr;
    EndCaptureProc m_endCaptureProc = nullptr;
    void* m_captureProcContext = nullptr;
    UIElement* m_pCaptured = nullptr;
    unsigned m_captureModifiers = 0;
    Font* m_pInfoFont = nullptr;
    Font* m_pLabelFont = nullptr;
    Font* m_pThirdFont = nullptr;
    StaticText* m_pBannerText = nullptr;
    StaticText* m_pSecondText = nullptr;
    std::vector<CAAUParameter> m_params;
    int m_instanceIndex = 0;
    unsigned m_labelTexture = 0;
    unsigned m_labelFramebuffer = 0;
    SInt16 m_frameRect[4] = {0, 0, 0, 0};
    std::map<UIElement*, Bounds> m_hovered;
    int m_mouseOverParam = -1;
    int m_editingParam = -1;
    UIElement* m_pMouseOver = nullptr;
    UIElement* m_pTooltipElement = nullptr;
    UIElement* m_pKeyboardFocus = nullptr;
    float m_lightTarget[2] = {0.0f, 0.0f};
    struct Tooltip {
        float alpha = 0.0f;
        float x = 0.0f;
        float y = 0.0f;
        float width = 0.0f;
        float height = 0.0f;
        char text[256] = {};
    } m_tooltip;
    std::map<int, std::string> m_helpStrings;
    mutable int m_cachedHelpId = -1;
    mutable const char* m_cachedHelpText = nullptr;
    Vec4 m_bannerColour{0.9f, 0.9f, 0.9f, 0.1f};
    Vec4 m_backgroundColour{0.0f, 0.0f, 0.0f, 0.0f};
    Bounds m_bannerBounds;
    int m_bannerMode = 0;
    float m_bannerTextX = 60.0f;
    float m_infoTextX = -1.0f;
    float m_aspect = 1.0f;
    float m_twoOverWidth = 2.0f;
    float m_twoOverHeight = 2.0f;
    float m_fieldOfView = 65.0f;
    float m_eyeDistance = 1.0f;
    float m_halfWidth = 0.5f;
    float m_halfHeight = 0.5f;
    float m_frameRate = 0.0f;
    float m_frameTime = 0.0f;
    double m_elapsed = 0.0;
    int m_viewportSize[2] = {1, 1};
    int m_windowSize[2] = {1, 1};
    int m_pixelSize[2] = {1, 1};
    int m_designSize[2] = {1, 1};
    bool m_resizing = false;
    double m_resizeStartX = 0.0;
    double m_resizeStartFromTop = 0.0;
    int m_resizeStartWidth = 0;
    int m_resizeStartHeight = 0;
    bool m_retina = false;
    float m_light1Position[4] = {0.0f, 0.0f, 50.0f, 1.0f};
    CachedText m_nameText;
    CachedText m_valueText;
    CachedText m_unitText;
    CachedText m_helpText;
    CachedText m_tooltipText;
    const DataToGui* m_pDataToGui = nullptr;
    bool m_renderTaskRunning = false;
    RenderingShutdowner* m_pShutdowner = nullptr;
    AudioUnit m_audioUnit;
    // How long DestroyRenderTask waits for the task before letting it go.
    long m_stopTimeoutMs = kRenderTaskStopTimeoutMs;

private:
    struct RenderTaskShared;
    static int RenderTask(void* parameter);
    void RenderTaskMain(RenderTaskShared& shared);
    // Main thread: the new size of a corner resize from the drag point.
    void ResizeFromCorner(const CGPoint& point);
    void SetViewportFromWindow();
    // Render task: update and draw a frame; false when the task was let go meanwhile and must
    // touch nothing of the manager any more. Requests that arrive meanwhile go to pending.
    bool RenderOneFrame(RenderTaskShared& shared, std::uint32_t& pending);
    // Render task: the label texture's storage, or the off-screen context.
    void CreateLabelTexture(bool contextReady);

    mutable CriticalSection m_treeGuard;
    LabelPath m_labelPath = LabelPath::kAutomatic;
    bool m_useFramebuffer = false;
    // The banner text's colour as the render task last copied it from the class-wide one.
    Vec4 m_bannerTextColourCopy;
    Task m_renderTask;
    std::shared_ptr<RenderTaskShared> m_renderShared;
    // The same block for signalling from any thread; null while no task runs.
    std::atomic<RenderTaskShared*> m_renderEvents{nullptr};
    bool m_abandonedRenderTask = false;
    std::atomic<std::uint64_t> m_framesDrawn{0};
    std::atomic<std::uint64_t> m_lastDrawNs{0};
    std::atomic<std::uint64_t> m_firstFrameNs{0};
    std::atomic<bool> m_glReady{false};
    std::atomic<bool> m_framebufferLabels{false};
    std::uint64_t m_glReadyClock = 0;
};

} // namespace MV
