#include "Manager.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>

#include "AudioUnitAPI.h"
#include "Preferences.h"
#include "RenderTaskShared.h"
#include "StaticText.h"
#include "Texture.h"
#include "UIElement.h"

namespace MV {

std::atomic<bool> Manager::ms_enableEyeCandy{true};
std::atomic<bool> Manager::ms_enableConstantRedraw{true};
std::atomic<bool> Manager::ms_enableTooltip{false};
std::atomic<int> Manager::ms_instanceCount{0};
std::atomic<AudioUnit> Manager::ms_lastTouchedParamEditAU{nullptr};
std::atomic<int> Manager::ms_lastTouchedParamId{-1};

namespace {

// The banner text colour, four components read together.
std::mutex g_bannerTextColourMutex;
Vec4 g_bannerTextColour{0.5f, 0.5f, 0.5f, 1.0f};

template <class T> OSStatus GetGlobalProperty(AudioUnit unit, AudioUnitPropertyID id, T& out) {
    UInt32 size = sizeof(T);
    return AudioUnitGetProperty(unit, id, kAudioUnitScope_Global, 0, &out, &size);
}

void CopyText(char* out, const char* text, std::size_t limit) {
    std::snprintf(out, limit, "%s", text);
}

} // namespace

void Manager::SetBannerTextColour(const Vec4& colour) {
    std::lock_guard lock(g_bannerTextColourMutex);
    g_bannerTextColour = colour;
}

Vec4 Manager::BannerTextColour() {
    std::lock_guard lock(g_bannerTextColourMutex);
    return g_bannerTextColour;
}

Manager::Manager(AudioUnit audioUnit) : m_audioUnit(audioUnit) {
    ms_enableEyeCandy = GetPrefInt(kPrefEnableEyeCandy, 1) != 0;
    ms_enableConstantRedraw = GetPrefInt(kPrefEnableConstantRedraw, 1) != 0;
    ms_enableTooltip = GetPrefInt(kPrefEnableFloatingTooltip, 0) != 0;
    m_instanceIndex = ms_instanceCount.fetch_add(1);

    UInt32 count = 0;
    if (audioUnit != nullptr &&
        GetGlobalProperty(audioUnit, kMrvnProperty_NumParameters, count) != noErr) {
        count = 0;
    }
    m_params.reserve(count);
    for (UInt32 i = 0; i < count; ++i) {
        m_params.emplace_back(audioUnit, i, kAudioUnitScope_Global, 0);
    }

    m_rootGroup = new Group(this);
    m_pBannerText = new StaticText(this, false);
    m_pSecondText = new StaticText(this, true);
    m_effects.push_back(m_pBannerText);
    m_effects.push_back(m_pSecondText);

    void* liveValues = nullptr;
    if (audioUnit != nullptr &&
        GetGlobalProperty(audioUnit, kMrvnProperty_DataToGui, liveValues) == noErr) {
        m_pDataToGui = static_cast<const DataToGui*>(liveValues);
    }
}

Manager::~Manager() {
    DestroyRenderTask();
    // A task that was let go touches nothing but its shared block and the bridge call it is
    // stuck in (it never waits on the X server with the guard held): the bridge stays.
    CriticalSectionGuard guard(m_treeGuard);
    for (UIElement* element : m_elements) {
        delete element;
    }
    for (Texture* texture : m_textures) {
        delete texture;
    }
    for (Effect* effect : m_effects) {
        delete effect;
    }
    // One font may serve in several roles.
    std::set<Font*> fonts(m_extraFonts.begin(), m_extraFonts.end());
    fonts.insert({m_pInfoFont, m_pLabelFont, m_pThirdFont});
    for (Font* font : fonts) {
        delete font;
    }
    delete m_pShutdowner;
    if (!m_abandonedRenderTask) {
        delete m_pBridge;
    }
}

// ---- Layout

void Manager::SetFonts(Font* infoFont, Font* labelFont, Font* thirdFont) {
    const auto usable = [](Font* font) -> Font* {
        if (font != nullptr && !font->IsLoaded()) {
            delete font;
            return nullptr;
        }
        return font;
    };
    CriticalSectionGuard guard(m_treeGuard);
    std::set<Font*> previous{m_pInfoFont, m_pLabelFont, m_pThirdFont};
    m_pInfoFont = usable(infoFont);
    m_pLabelFont = usable(labelFont);
    m_pThirdFont = usable(thirdFont);
    for (Font* font : previous) {
        if (font != m_pInfoFont && font != m_pLabelFont && font != m_pThirdFont) {
            delete font;
        }
    }
}

void Manager::SetHelpStrings(const char** strings) {
    CriticalSectionGuard guard(m_treeGuard);
    for (int i = 0; strings != nullptr && strings[i] != nullptr; ++i) {
        m_helpStrings[-2 - i] = strings[i];
    }
    m_cachedHelpId = -1;
}

int Manager::AddHelpString(const char* text) {
    CriticalSectionGuard guard(m_treeGuard);
    const std::string value = text != nullptr ? text : "";
    int lowest = -1;
    for (const auto& [id, stored] : m_helpStrings) {
        if (stored == value) {
            return id;
        }
        lowest = std::min(lowest, id);
    }
    const int id = lowest - 1;
    m_helpStrings[id] = value;
    return id;
}

const char* Manager::HelpString(int id) const {
    CriticalSectionGuard guard(m_treeGuard);
    if (id != m_cachedHelpId) {
        const auto found = m_helpStrings.find(id);
        m_cachedHelpId = id;
        m_cachedHelpText = found != m_helpStrings.end() ? found->second.c_str() : nullptr;
    }
    return m_cachedHelpText;
}

void Manager::SetViewportFromWindow() {
    m_viewportSize[0] = m_windowSize[0] * m_pixelSize[0] / std::max(1, m_designSize[0]);
    m_viewportSize[1] = m_windowSize[1] * m_pixelSize[1] / std::max(1, m_designSize[1]);
}

void Manager::SetWindowSize(int w, int h) {
    CriticalSectionGuard guard(m_treeGuard);
    m_windowSize[0] = w;
    m_windowSize[1] = h;
    SetViewportFromWindow();
}

void Manager::SetBannerY(float y) {
    CriticalSectionGuard guard(m_treeGuard);
    const float height =
        m_pInfoFont != nullptr ? m_pInfoFont->LineHeight() * m_pInfoFont->Scale() : 5.0f;
    m_bannerBounds = Bounds(20.0f, y, float(m_windowSize[0]) - 20.0f, y + height);
}

void Manager::SetBannerBounds(float x0, float y0, float x1, float y1) {
    CriticalSectionGuard guard(m_treeGuard);
    m_bannerBounds = Bounds(x0, y0, x1, y1);
}

void Manager::SetBackgroundColour(float r, float g, float b) {
    CriticalSectionGuard guard(m_treeGuard);
    m_backgroundColour = Vec4{r, g, b, 0.0f};
}

void Manager::CreateControl(float x, float y) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_windowSize[0] < kMinWidth || m_windowSize[1] < kMinHeight) {
        std::printf("MVgui: the layout gives no usable window size (%d x %d); using %d x %d\n",
                    m_windowSize[0], m_windowSize[1], kFallbackWidth, kFallbackHeight);
        std::fflush(stdout);
        m_windowSize[0] = kFallbackWidth;
        m_windowSize[1] = kFallbackHeight;
        SetViewportFromWindow();
    }
    if (m_pInfoFont != nullptr && m_bannerMode != 2) {
        char banner[128];
        std::snprintf(banner, sizeof banner, "%sfluxet %d.%d.%d",
                      m_bannerMode == 0 ? "morvane : " : "", 1, 2, 1);
        const float textY = m_bannerBounds.min[1] - m_pInfoFont->Descender() * m_pInfoFont->Scale();
        m_pBannerText->Add(banner, m_bannerTextX, textY, &m_bannerTextColourCopy);
    }
    m_bannerTextColourCopy = BannerTextColour();
    // The layout's unit system from here on; GL set-up measures the pixel size again.
    m_designSize[0] = m_pixelSize[0] = m_windowSize[0];
    m_designSize[1] = m_pixelSize[1] = m_windowSize[1];
    SetViewportFromWindow();

    const auto width = float(m_windowSize[0]);
    const auto height = float(m_windowSize[1]);
    m_aspect = width / height;
    m_twoOverWidth = 2.0f / width;
    m_twoOverHeight = 2.0f / height;
    m_fieldOfView = 65.0f;
    m_eyeDistance = 1.0f / (std::tan(0.567232f) * m_twoOverHeight);
    m_halfWidth = width / 2.0f;
    m_halfHeight = height / 2.0f;
    m_lightTarget[0] = m_halfWidth;
    m_lightTarget[1] = m_halfHeight;

    m_frameRect[0] = SInt16(y);
    m_frameRect[1] = SInt16(x);
    m_frameRect[2] = SInt16(y + height);
    m_frameRect[3] = SInt16(x + width);
}

void Manager::AddElement(UIElement* element) {
    CriticalSectionGuard guard(m_treeGuard);
    m_elements.push_back(element);
}

void Manager::AddTexture(Texture* texture) {
    CriticalSectionGuard guard(m_treeGuard);
    m_textures.push_back(texture);
}

void Manager::AddEffect(Effect* effect) {
    CriticalSectionGuard guard(m_treeGuard);
    m_effects.push_back(effect);
}

void Manager::AddExtraFont(Font* font) {
    CriticalSectionGuard guard(m_treeGuard);
    m_extraFonts.push_back(font);
}

void Manager::SetBridge(ManagerPlatformBridge* bridge) {
    CriticalSectionGuard guard(m_treeGuard);
    if (bridge != m_pBridge) {
        if (!m_abandonedRenderTask) { // else the task may still be inside it
            delete m_pBridge;
        }
        m_pBridge = bridge;
    }
}

void Manager::SetEditProcs(EditProc begin, EditProc end, void* context) {
    CriticalSectionGuard guard(m_treeGuard);
    m_beginEditProc = begin;
    m_endEditProc = end;
    m_editProcContext = context;
}

void Manager::SetCaptureProcs(BeginCaptureProc begin, EndCaptureProc end, void* context) {
    CriticalSectionGuard guard(m_treeGuard);
    m_beginCaptureProc = begin;
    m_endCaptureProc = end;
    m_captureProcContext = context;
}

const CAAUParameter* Manager::Param(int index) const {
    return index >= 0 && index < int(m_params.size()) ? &m_params[std::size_t(index)] : nullptr;
}

bool Manager::IsHovered(const UIElement* element) const {
    CriticalSectionGuard guard(m_treeGuard);
    return m_hovered.count(const_cast<UIElement*>(element)) != 0;
}

// ---- Input

bool Manager::HandleKeypress(unsigned char key) {
    CriticalSectionGuard guard(m_treeGuard);
    return m_pKeyboardFocus != nullptr && m_pKeyboardFocus->Keypress(key);
}

void Manager::SetKeyboardFocusElement(UIElement* element) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_pKeyboardFocus != nullptr && m_pKeyboardFocus != element) {
        m_pKeyboardFocus->LostFocus();
    }
    m_pKeyboardFocus = element;
}

void Manager::SetFocusToWindow() {
    if (m_pBridge != nullptr) {
        m_pBridge->SetFocusToWindow();
    }
}

void Manager::HandleWindowFocusRelinquish() {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_pKeyboardFocus != nullptr) {
        m_pKeyboardFocus->LostFocus();
    }
    m_pKeyboardFocus = nullptr;
}

CGPoint Manager::ScaledMousePos(const CGPoint& point) const {
    if (m_windowSize[0] == m_designSize[0] && m_windowSize[1] == m_designSize[1]) {
        return point;
    }
    CGPoint scaled = point;
    if (m_windowSize[0] > 0) {
        scaled.x *= double(m_designSize[0]) / double(m_windowSize[0]);
    }
    if (m_windowSize[1] > 0) {
        scaled.y *= double(m_designSize[1]) / double(m_windowSize[1]);
    }
    return scaled;
}

void Manager::HandleMouseMove(const CGPoint& point) {
    CriticalSectionGuard guard(m_treeGuard);
    Group::ms_hitTestIncludesGroups = true;
    const CGPoint scaled = ScaledMousePos(point);
    UIElement* hit = m_rootGroup->HitTest(scaled);
    if (hit == m_rootGroup) {
        hit = nullptr;
    }
    const bool isNew = hit == nullptr || m_hovered.count(hit) == 0;
    for (auto it = m_hovered.begin(); it != m_hovered.end();) {
        if (!it->second.Contains(scaled.x, scaled.y)) {
            UIElement* left = it->first;
            it = m_hovered.erase(it);
            left->MouseExited();
        } else {
            ++it;
        }
    }
    if (isNew) {
        if (hit != nullptr) {
            Bounds world;
            hit->GetWorldBounds(world);
            m_hovered[hit] = world;
            hit->MouseEntered();
        }
        m_pMouseOver = hit;
    }
    Group::ms_hitTestIncludesGroups = false;
}

void Manager::HandleMouseNoLoopDown(const CGPoint& point, unsigned modifiers, int clickCount,
                                    bool /*rightButton*/) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_pKeyboardFocus != nullptr) {
        UIElement* focus = m_pKeyboardFocus;
        m_pKeyboardFocus = nullptr;
        focus->LostFocus();
    }
    if (point.x - point.y > double(m_windowSize[0] - 16)) {
        m_resizing = true;
        m_resizeStartX = point.x;
        m_resizeStartFromTop = double(m_windowSize[1]) - point.y;
        m_resizeStartWidth = m_windowSize[0];
        m_resizeStartHeight = m_windowSize[1];
    } else {
        const CGPoint scaled = ScaledMousePos(point);
        m_pCaptured = m_rootGroup->HitTest(scaled);
        m_captureModifiers = modifiers;
        if (m_pCaptured == nullptr) {
            return;
        }
        m_pCaptured->MouseDown(scaled, modifiers, clickCount);
    }
    if (m_beginCaptureProc != nullptr) {
        m_beginCaptureProc(m_captureProcContext);
    }
}

void Manager::ResizeFromCorner(const CGPoint& point) {
    const double frameHeight = m_pBridge != nullptr ? m_pBridge->GetFrameHeight() : m_windowSize[1];
    const double dx = point.x - m_resizeStartX;
    const double dy = (frameHeight - point.y) - m_resizeStartFromTop;
    const float aspect = m_aspect > 0.0f ? m_aspect : 1.0f;
    int width = 0;
    int height = 0;
    if (std::fabs(dx) > std::fabs(dy)) {
        width = std::min(int(dx + m_resizeStartWidth), kMaxWidth);
        height = int(float(width) / aspect);
        if (height >= kMaxHeight + 1) {
            height = kMaxHeight;
            width = int(aspect * float(kMaxHeight));
        }
    } else {
        height = std::min(int(dy + m_resizeStartHeight), kMaxHeight);
        width = int(float(height) * aspect);
        if (width >= kMaxWidth + 1) {
            width = kMaxWidth;
            height = int(float(kMaxWidth) / aspect);
        }
    }
    // Never smaller than the minimum (nor zero or negative), the aspect ratio kept.
    if (width < kMinWidth) {
        width = kMinWidth;
        height = int(float(width) / aspect);
    }
    if (height < kMinHeight) {
        height = kMinHeight;
        width = std::min(int(float(height) * aspect), kMaxWidth);
    }
    height = std::max(height, 1);
    if (m_pBridge != nullptr) {
        m_pBridge->SetFrameSize(width, height);
    }
    m_windowSize[0] = width;
    m_windowSize[1] = height;
    SetViewportFromWindow();
    if (RenderTaskShared* shared = m_renderEvents.load(std::memory_order_acquire)) {
        shared->events.Set(kRenderEventResize);
    }
}

void Manager::HandleMouseNoLoopDragged(const CGPoint& point, unsigned modifiers) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_resizing) {
        ResizeFromCorner(point);
        return;
    }
    if (m_pCaptured == nullptr) {
        return;
    }
    const CGPoint scaled = ScaledMousePos(point);
    if (modifiers != m_captureModifiers) {
        m_pCaptured->MouseUp(scaled, m_captureModifiers);
        m_pCaptured->MouseDown(scaled, modifiers, 1);
        m_captureModifiers = modifiers;
    }
    m_pCaptured->MouseDrag(scaled, modifiers);
}

void Manager::HandleMouseNoLoopUp(const CGPoint& point, unsigned modifiers) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_resizing) {
        m_resizing = false;
        if (m_endCaptureProc != nullptr) {
            m_endCaptureProc(m_captureProcContext, &point);
        }
        return;
    }
    if (m_pCaptured != nullptr) {
        if (m_endCaptureProc != nullptr) {
            m_endCaptureProc(m_captureProcContext, &point);
        }
        m_pCaptured->MouseUp(ScaledMousePos(point), modifiers);
        if (m_editingParam != -1) {
            if (m_endEditProc != nullptr) {
                m_endEditProc(m_editingParam, m_editProcContext);
            }
            m_editingParam = -1;
        }
    }
    m_pCaptured = nullptr;
}

void Manager::HandleMouseWheel(const CGPoint& point, float delta, unsigned modifiers) {
    CriticalSectionGuard guard(m_treeGuard);
    HandleMouseNoLoopDown(point, modifiers, 1, false);
    const CGPoint moved{point.x, point.y + double(delta) * 10.0};
    HandleMouseNoLoopDragged(moved, modifiers);
    HandleMouseNoLoopUp(moved, modifiers);
}

void Manager::SetEditingParam(int paramId) {
    CriticalSectionGuard guard(m_treeGuard);
    if (paramId == m_editingParam) {
        return;
    }
    if (m_editingParam != -1 && m_endEditProc != nullptr) {
        m_endEditProc(m_editingParam, m_editProcContext);
    }
    m_editingParam = paramId;
    if (m_beginEditProc != nullptr) {
        m_beginEditProc(paramId, m_editProcContext);
    }
    ms_lastTouchedParamEditAU = m_audioUnit;
    ms_lastTouchedParamId = paramId;
}

void Manager::UnsetEditingParam(int paramId) {
    CriticalSectionGuard guard(m_treeGuard);
    if (m_editingParam == -1 || m_editingParam != paramId) {
        return;
    }
    if (m_endEditProc != nullptr) {
        m_endEditProc(paramId, m_editProcContext);
    }
    m_editingParam = -1;
}

void Manager::SetMouseOverParam(int id, UIElement* element) {
    CriticalSectionGuard guard(m_treeGuard);
    m_mouseOverParam = id;
    m_pTooltipElement = element;
    if (!ms_enableConstantRedraw) {
        NudgeGUI();
    }
}

void Manager::NudgeGUI() const {
    if (RenderTaskShared* shared = m_renderEvents.load(std::memory_order_acquire)) {
        shared->events.Set(kRenderEventNudge);
    }
}

void Manager::RequestRedrawLabels() const {
    if (RenderTaskShared* shared = m_renderEvents.load(std::memory_order_acquire)) {
        shared->events.Set(kRenderEventRedrawLabels);
    }
}

// ---- The render task's start and end

void Manager::CreateRenderTask() {
    if (m_renderTaskRunning) {
        std::printf("double call to CreateRenderTask()\n");
        std::fflush(stdout);
        return;
    }
    if (m_pShutdowner == nullptr) {
        m_pShutdowner = CreateRenderingShutdowner();
    }
    auto shared = std::make_shared<RenderTaskShared>(this);
    // The task holds its own reference, so that a task let go after a missed time-out still
    // finds its event group and semaphore.
    auto* parameter = new std::shared_ptr<RenderTaskShared>(shared);
    m_renderShared = shared;
    m_renderEvents.store(shared.get(), std::memory_order_release);
    if (const int status = m_renderTask.Start(&Manager::RenderTask, parameter, "MVgui render");
        status != 0) {
        delete parameter;
        m_renderEvents.store(nullptr, std::memory_order_release);
        m_renderShared.reset();
        std::printf("MPCreateTask returned %d\n", status);
        std::fflush(stdout);
        return;
    }
    m_renderTaskRunning = true;
}

void Manager::DestroyRenderTask() {
    if (!m_renderTaskRunning) {
        return;
    }
    RenderTaskShared& shared = *m_renderShared;
    shared.events.Set(kRenderEventQuit);
    const bool ended = m_renderTask.ShutDown(shared.done, m_stopTimeoutMs, [&shared] {
        shared.abandoned = true;
        std::printf("DestroyRenderTask timeout on shutdown\n");
        std::fflush(stdout);
    });
    if (!ended) {
        m_abandonedRenderTask = true;
    }
    m_renderEvents.store(nullptr, std::memory_order_release);
    m_renderShared.reset();
    m_renderTaskRunning = false;
}

RenderStats Manager::Stats() const {
    RenderStats stats;
    stats.framesDrawn = m_framesDrawn.load(std::memory_order_acquire);
    stats.lastDrawNs = m_lastDrawNs.load(std::memory_order_relaxed);
    stats.firstFrameNs = m_firstFrameNs.load(std::memory_order_relaxed);
    stats.glReady = m_glReady.load(std::memory_order_acquire);
    stats.framebufferLabels = m_framebufferLabels.load(std::memory_order_relaxed);
    return stats;
}

int Manager::RenderTask(void* parameter) {
    std::unique_ptr<std::shared_ptr<RenderTaskShared>> own(
        static_cast<std::shared_ptr<RenderTaskShared>*>(parameter));
    const std::shared_ptr<RenderTaskShared> shared = *own;
    shared->manager->RenderTaskMain(*shared);
    shared->done.Signal();
    return 0;
}

// ---- Parameters on the info line

void Manager::FormatParamValue(const CAAUParameter& param, char* out) {
    const AudioUnitParameterValue value = param.GetValue();
    const auto index = long(value);
    const std::vector<std::string>& names = param.GetValueNames();
    if (param.HasNamedParams() && index >= 0 && std::size_t(index) < names.size()) {
        CopyText(out, names[std::size_t(index)].c_str(), kValueTextSize);
        return;
    }
    const bool shortOrEmptyList =
        param.HasNamedParams() &&
        (index < 0 || std::size_t(index) >= names.size() || names[std::size_t(index)].empty());
    if (!shortOrEmptyList) {
        if (param.ValuesHaveStrings()) {
            AudioUnitParameterStringFromValue request{param.mParameterID, &value, nullptr};
            UInt32 size = sizeof request;
            if (AudioUnitGetProperty(param.mAudioUnit, kAudioUnitProperty_ParameterStringFromValue,
                                     kAudioUnitScope_Global, 0, &request, &size) == noErr &&
                request.outString != nullptr) {
                CopyText(out, request.outString, kValueTextSize);
                return;
            }
        } else if (param.ValueUnit() == kAudioUnitParameterUnit_Boolean) {
            CopyText(out, value != 0.0f ? "On" : "Off", kValueTextSize);
            return;
        }
    }
    if (param.IsIndexedParam()) {
        std::snprintf(out, 32, "%d", int(value));
        return;
    }
    char text[kAUParameterFormatValueBufferSize];
    AUParameterFormatValue(value, &param, text, 4);
    CopyText(out, text, kValueTextSize);
}

void Manager::ExtendParamValue(Font* /*font*/, int /*param*/, float& /*x*/, float& /*y*/,
                               char*& /*tooltip*/) {}

Manager::RenderingShutdowner* Manager::CreateRenderingShutdowner() {
    return new RenderingShutdowner();
}

void Manager::FinalPositions() {
    CriticalSectionGuard guard(m_treeGuard);
    for (UIElement* element : m_elements) {
        element->FinalPosition();
    }
}

void Manager::LoadTextures() {
    for (Texture* texture : m_textures) {
        if (!texture->IsExcluded()) {
            texture->Load(m_retina);
        }
    }
}

void Manager::UnloadTextures() {
    for (Texture* texture : m_textures) {
        texture->Unload();
    }
}

} // namespace MV
