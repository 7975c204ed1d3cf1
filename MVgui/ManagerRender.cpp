// The render task of an editor: GL set-up, the label texture, and the drawing of each frame.
//
// Threading, and why it is safe:
// - Each open editor draws on a thread of its own (the render task), started by
//   CreateRenderTask and ended by DestroyRenderTask. Only that thread touches GL: the bridge
//   opens a separate X connection and GLX context for it (MVgui/platform/), so Xlib needs no
//   XInitThreads, which a plug-in may not call in its host's process. The main thread keeps
//   its own X connection for the window and its input.
// - The element tree, hover and focus state and the window sizes are shared with the main
//   thread. Both sides hold the manager's tree guard while they touch them: the render task
//   for Update and the drawing of a frame, the main thread inside every Handle... and Set...
//   operation. Calls that may wait on the X server (making the context current, presenting the
//   frame, creating and destroying contexts) run outside the guard, so input is never held up
//   by a slow server.
// - Glyph rendering is serialised by the font engine's own process-wide lock (Font.h).
// - The task sleeps on its event group: 33 ms between frames with constant redraw, otherwise
//   until the main thread signals a change. It ends within DestroyRenderTask's time-out; a task
//   that misses it is let go with a message, finds the shared block's abandoned flag set at its
//   next step and returns without touching the manager again.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "GL.h"
#include "Manager.h"
#include "RenderTaskShared.h"
#include "StaticText.h"
#include "SystemInfo.h"
#include "Texture.h"
#include "UIElement.h"

namespace MV {

namespace {

// GLEW keeps its entry points in globals shared by every editor of the process: load them once,
// from the first render task that has a context.
bool InitialiseGlew() {
    static std::mutex mutex;
    static bool loaded = false;
    std::lock_guard lock(mutex);
    if (!loaded) {
        glewExperimental = GL_TRUE;
        loaded = glewInit() == GLEW_OK;
        // GLEW may leave an error from its probing behind.
        while (glGetError() != GL_NO_ERROR) {
        }
    }
    return loaded;
}

void SetLight(GLenum light, const GLfloat (&diffuse)[4], const GLfloat (&specular)[4],
              const GLfloat* position) {
    glLightfv(light, GL_DIFFUSE, diffuse);
    glLightfv(light, GL_SPECULAR, specular);
    glLightfv(light, GL_POSITION, position);
}

void AppendText(char* buffer, std::size_t size, const char* separator, const char* text) {
    const std::size_t used = std::strlen(buffer);
    if (used < size) {
        std::snprintf(buffer + used, size - used, "%s%s", separator, text);
    }
}

} // namespace

void Manager::RenderTaskMain(RenderTaskShared& shared) {
    // After each bridge call that may wait on the X server, a task that was let go meanwhile
    // returns at once: the manager may be gone.
    const bool contextReady = m_pBridge != nullptr && m_pBridge->InitGL();
    if (shared.abandoned) {
        return;
    }
    InitGL(contextReady);
    std::uint64_t previousClock = UpTimeNanoseconds();
    float previousRate = 0.0f;
    std::uint32_t pending = 0;
    for (;;) {
        if (!RenderOneFrame(shared, pending)) {
            return;
        }
        const std::uint64_t now = UpTimeNanoseconds();
        const double dt = std::max(double(now - previousClock) * 1e-9, 1e-6);
        previousClock = now;
        const auto rate = float(1.0 / dt);
        const float mean = (rate + previousRate) / 2.0f;
        previousRate = rate;
        m_frameTime = float(dt);
        m_frameRate = mean > 1e6f ? 0.0f : mean;
        m_elapsed += dt;

        const std::uint32_t bits =
            pending != 0 ? pending | shared.events.Wait(0)
                         : shared.events.Wait(ms_enableConstantRedraw ? kConstantRedrawWaitMs
                                                                      : kWaitForever);
        pending = 0;
        if (shared.abandoned) {
            return;
        }
        if ((bits & kRenderEventQuit) != 0) {
            break;
        }
        if ((bits & kRenderEventResize) != 0 && m_pBridge != nullptr) {
            m_pBridge->RenderTaskHandleResize();
            if (shared.abandoned) {
                return;
            }
        }
        if ((bits & kRenderEventPause) != 0) {
            const std::uint32_t resumed = shared.events.Wait(kWaitForever);
            if (shared.abandoned) {
                return;
            }
            if ((resumed & kRenderEventQuit) != 0) {
                break;
            }
        }
        if ((bits & kRenderEventRedrawLabels) != 0 && m_pBridge != nullptr) {
            const bool current = m_pBridge->MakeCurrent();
            if (shared.abandoned) {
                return;
            }
            if (current) {
                CriticalSectionGuard guard(m_treeGuard);
                RedrawLabels();
            }
        }
    }
    const bool current = m_pBridge != nullptr && m_pBridge->MakeCurrent();
    if (shared.abandoned) {
        return;
    }
    ShutdownGL(current);
}

bool Manager::RenderOneFrame(RenderTaskShared& shared, std::uint32_t& pending) {
    const std::uint64_t start = UpTimeNanoseconds();
    const bool current = m_pBridge != nullptr && m_pBridge->MakeCurrent();
    if (shared.abandoned) {
        return false;
    }
    {
        CriticalSectionGuard guard(m_treeGuard);
        // The frame shows every change made before the guard was taken: the nudges that came
        // meanwhile are drawn now, not again; other requests wait for the frame's end.
        pending |= shared.events.Wait(0) & ~std::uint32_t(kRenderEventNudge);
        Update();
        if (!current) {
            return true; // the view is away: the controls still follow their parameters
        }
        Draw();
    }
    m_pBridge->SwapBuffers();
    if (shared.abandoned) {
        return false;
    }
    const std::uint64_t end = UpTimeNanoseconds();
    m_lastDrawNs.store(end - start, std::memory_order_relaxed);
    if (m_framesDrawn.load(std::memory_order_relaxed) == 0 && m_glReadyClock != 0) {
        m_firstFrameNs.store(end - m_glReadyClock, std::memory_order_relaxed);
    }
    m_framesDrawn.fetch_add(1, std::memory_order_release);
    return true;
}

void Manager::Update() {
    m_bannerTextColourCopy = BannerTextColour();
    m_rootGroup->Update();
    for (Effect* effect : m_effects) {
        effect->Update();
    }
}

void Manager::InitGL(bool contextReady) {
    const std::uint64_t readyClock = UpTimeNanoseconds();
    CriticalSectionGuard guard(m_treeGuard);
    m_designSize[0] = m_windowSize[0];
    m_designSize[1] = m_windowSize[1];
    m_viewportSize[0] = m_windowSize[0];
    m_viewportSize[1] = m_windowSize[1];
    if (m_pBridge != nullptr) {
        m_pBridge->UpdateSizesForRetina(m_viewportSize[0], m_viewportSize[1]);
    }
    m_pixelSize[0] = m_viewportSize[0];
    m_pixelSize[1] = m_viewportSize[1];
    const int scale = std::max(1, m_pixelSize[0] / std::max(1, m_windowSize[0]));
    m_retina = scale > 1;

    const bool ready = contextReady && InitialiseGlew();
    if (ready) {
        m_glReadyClock = readyClock;
        m_pBridge->RenderTaskHandleResize();
        glDisable(GL_MULTISAMPLE);
        glHint(GL_LINE_SMOOTH_HINT, GL_NICEST);
        LoadTextures();
        for (Font* font : {m_pInfoFont, m_pLabelFont, m_pThirdFont}) {
            if (font != nullptr) {
                font->Preload(scale);
            }
        }
        for (Font* font : m_extraFonts) {
            font->Preload(scale);
        }
        FinalPositions();
        for (UIElement* element : m_elements) {
            element->InitialiseRendering();
        }
        for (Effect* effect : m_effects) {
            effect->InitialiseRendering();
        }
        InitialiseRendering();
        m_pBridge->PostInitGL();
    }
    m_useFramebuffer =
        ready && m_labelPath == LabelPath::kAutomatic && GLEW_ARB_framebuffer_object != GL_FALSE;
    CreateLabelTexture(ready);
    // The off-screen context shares the on-screen one's objects, so the label font's atlas
    // serves both and needs no second preload.
    if (ready) {
        RedrawLabels();
        m_framebufferLabels.store(m_useFramebuffer, std::memory_order_relaxed);
        m_glReady.store(true, std::memory_order_release);
    }
}

void Manager::CreateLabelTexture(bool contextReady) {
    if (m_pBridge == nullptr) {
        return;
    }
    const int width = m_retina ? 2048 : 1024;
    const int height = m_retina ? 1024 : 512;
    if (m_useFramebuffer) {
        glGenTextures(1, &m_labelTexture);
        glGenFramebuffers(1, &m_labelFramebuffer);
        glBindTexture(GL_TEXTURE_2D, m_labelTexture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_RGBA, GL_UNSIGNED_BYTE,
                     nullptr);
        SetTextureSampling();
        glBindFramebuffer(GL_FRAMEBUFFER, m_labelFramebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, m_labelTexture,
                               0);
        const GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glBindTexture(GL_TEXTURE_2D, 0);
        if (status == GL_FRAMEBUFFER_COMPLETE) {
            return;
        }
        glDeleteFramebuffers(1, &m_labelFramebuffer);
        m_labelFramebuffer = 0;
        m_useFramebuffer = false;
    } else {
        glGenTextures(1, &m_labelTexture);
    }
    if (!m_pBridge->InitGLOffscreen(m_pixelSize[0], m_pixelSize[1]) && contextReady) {
        std::printf("MVgui: no off-screen context; labels are not drawn\n");
        std::fflush(stdout);
    }
}

void Manager::RedrawLabels() {
    if (m_labelTexture == 0) {
        return;
    }
    if (m_useFramebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, m_labelFramebuffer);
        glDrawBuffer(GL_COLOR_ATTACHMENT0);
        glViewport(0, 0, m_pixelSize[0], m_pixelSize[1]);
    } else {
        m_pBridge->MakeOffscreenCurrent();
    }
    glClearColor(m_backgroundColour.r, m_backgroundColour.g, m_backgroundColour.b, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glDisable(GL_CULL_FACE);
    glDisable(GL_LIGHTING);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    if (m_useFramebuffer) {
        glScalef(1.0f, -1.0f, 1.0f); // texture row 0 holds the top of the window
    }
    glTranslatef(-1.0f, -1.0f, 0.0f);
    glScalef(m_twoOverWidth, m_twoOverHeight, 1.0f);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();

    RenderBackground();
    if (m_pLabelFont != nullptr) {
        for (UIElement* element : m_elements) {
            if (element->IsVisible()) {
                element->DrawLabel(m_pLabelFont);
            }
        }
    }

    const int width = m_retina ? 2048 : 1024;
    const int height = m_retina ? 1024 : 512;
    if (m_useFramebuffer) {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDrawBuffer(GL_BACK);
        return;
    }
    glFlush();
    m_pBridge->MakeCurrent();
    if (const unsigned char* pixels = m_pBridge->OffscreenPixels()) {
        glBindTexture(GL_TEXTURE_2D, m_labelTexture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, width, height, 0, GL_BGRA,
                     GL_UNSIGNED_INT_8_8_8_8_REV, pixels);
        SetTextureSampling();
        glBindTexture(GL_TEXTURE_2D, 0);
    }
}

void Manager::Draw() {
    glViewport(0, 0, m_viewportSize[0], m_viewportSize[1]);
    glClear(GL_DEPTH_BUFFER_BIT);

    glDepthRange(0.1, 1.0);
    glEnable(GL_DEPTH_TEST);
    glDepthMask(GL_TRUE);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    gluPerspective(m_fieldOfView, m_aspect, m_eyeDistance, 100.0 * m_eyeDistance);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glTranslatef(-m_halfWidth, -m_halfHeight, -m_eyeDistance);
    Draw3d();

    glDepthRange(0.0, 0.1);
    glDisable(GL_DEPTH_TEST);
    glDepthMask(GL_FALSE);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    DrawBackground();

    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glTranslatef(-1.0f, -1.0f, 0.0f);
    glScalef(m_twoOverWidth, m_twoOverHeight, 1.0f);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    Draw2d();
}

void Manager::Draw3d() {
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glEnable(GL_LIGHTING);
    const GLfloat ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
    glEnable(GL_LIGHT0);
    const GLfloat position[4] = {1.0f, 1.0f, 1.0f, 1.0f};
    SetLight(GL_LIGHT0, {0.6f, 0.6f, 0.6f, 1.0f}, {0.3f, 0.3f, 0.3f, 1.0f}, position);
    const GLfloat specular[4] = {0.7f, 0.5f, 0.5f, 1.0f};
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 40.0f);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specular);
    glColorMaterial(GL_FRONT_AND_BACK, GL_AMBIENT_AND_DIFFUSE);
    glEnable(GL_COLOR_MATERIAL);
    for (const Effect* effect : m_effects) {
        effect->Render3d();
    }
    glDisable(GL_COLOR_MATERIAL);
    glDisable(GL_LIGHT0);
    glDisable(GL_LIGHTING);
    glDisable(GL_CULL_FACE);
}

void Manager::DrawBackground() {
    glDisable(GL_LIGHTING);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);
    const float textureWidth = m_retina ? 2048.0f : 1024.0f;
    const float textureHeight = m_retina ? 1024.0f : 512.0f;
    const float s = float(m_pixelSize[0]) / textureWidth;
    const float t = float(m_pixelSize[1]) / textureHeight;
    const GLfloat vertices[8] = {-1.0f, 1.0f, 1.0f, 1.0f, 1.0f, -1.0f, -1.0f, -1.0f};
    const GLfloat coordinates[8] = {0.0f, 0.0f, s, 0.0f, s, t, 0.0f, t};
    glBindTexture(GL_TEXTURE_2D, m_labelTexture);
    glEnable(GL_TEXTURE_2D);
    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, vertices);
    glTexCoordPointer(2, GL_FLOAT, 0, coordinates);
    glDrawArrays(GL_QUADS, 0, 4);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void Manager::Draw2d() {
    glDisable(GL_CULL_FACE);
    glDisable(GL_LIGHTING);
    const GLfloat ambient[4] = {0.2f, 0.2f, 0.2f, 1.0f};
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, ambient);
    const GLfloat directional[4] = {0.6f, 0.6f, 0.5f, 0.0f};
    SetLight(GL_LIGHT0, {0.8f, 0.8f, 0.8f, 1.0f}, {0.2f, 0.2f, 0.2f, 1.0f}, directional);

    if (m_pMouseOver != nullptr) {
        Bounds world;
        m_pMouseOver->GetWorldBounds(world);
        if (!world.IsEmpty()) {
            m_lightTarget[0] = (world.min[0] + world.max[0]) / 2.0f;
            m_lightTarget[1] = (world.min[1] + world.max[1]) / 2.0f;
        }
    }
    m_light1Position[0] = 0.9f * m_light1Position[0] + 0.1f * m_lightTarget[0];
    m_light1Position[1] = 0.9f * m_light1Position[1] + 0.1f * m_lightTarget[1];
    SetLight(GL_LIGHT1, {0.9f, 0.9f, 0.9f, 1.0f}, {0.5f, 0.5f, 0.7f, 1.0f}, m_light1Position);
    const GLfloat specular[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, 40.0f);
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, specular);
    glEnable(GL_COLOR_MATERIAL);

    char tooltip[sizeof m_tooltip.text] = {};
    const bool tooltipEnabled = ms_enableTooltip;
    Font* font = m_pInfoFont;
    if (font != nullptr) {
        glEnable(GL_BLEND);
        glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
        glColor4f(m_bannerColour.r, m_bannerColour.g, m_bannerColour.b, m_bannerColour.a);
        if (!m_bannerBounds.IsEmpty()) {
            DrawFilledQuad(m_bannerBounds.min[0], m_bannerBounds.min[1], m_bannerBounds.max[0],
                           m_bannerBounds.max[1]);
        }
        glDisable(GL_BLEND);
        float x = m_infoTextX;
        if (x < 0.0f) {
            x = m_bannerMode == 2 ? 25.0f : float(m_pixelSize[0]) / 2.0f + 15.0f;
        }
        const float y = m_bannerBounds.min[1] - font->Descender() * font->Scale();
        const Vec4& colour = m_bannerTextColourCopy;
        glColor4f(colour.r, colour.g, colour.b, colour.a);
        const int id = m_editingParam != -1 ? m_editingParam : m_mouseOverParam;
        if (id >= 0) {
            DrawParamValue(font, id, x, y, tooltipEnabled ? tooltip : nullptr);
        } else if (id <= -2) {
            if (const char* help = HelpString(id)) {
                m_helpText.Update(font, help, x, y);
                m_helpText.Draw(font);
                std::snprintf(tooltip, sizeof tooltip, "%s", help);
            }
        }
    }

    Render();

    if (font != nullptr && tooltipEnabled) {
        if (m_pTooltipElement != nullptr && tooltip[0] != '\0') {
            m_tooltip.alpha = 0.84f * m_tooltip.alpha + 0.16f;
            std::memcpy(m_tooltip.text, tooltip, sizeof tooltip);
            Bounds world;
            m_pTooltipElement->GetWorldBounds(world);
            const float width = font->GetStringWidth(m_tooltip.text);
            const float maxX = float(m_pixelSize[0]) - 5.0f - width;
            m_tooltip.width = width;
            m_tooltip.x =
                std::max(5.0f, std::min((world.min[0] + world.max[0] - width) / 2.0f, maxX));
            m_tooltip.y = (world.min[1] + world.max[1]) / 2.0f;
            m_tooltip.height = font->LineHeight() * font->Scale();
        } else {
            m_tooltip.alpha *= 0.89f;
            if (m_tooltip.alpha < 0.003921569f) {
                m_tooltip.alpha = 0.0f;
            }
        }
        if (m_tooltip.alpha > 0.0f) {
            glEnable(GL_BLEND);
            glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
            glColor4f(0.7f, 0.7f, 0.7f, m_tooltip.alpha * 0.5f);
            DrawFilledQuad(m_tooltip.x - 5.0f, m_tooltip.y, m_tooltip.x + m_tooltip.width + 5.0f,
                           m_tooltip.y + m_tooltip.height);
            glDisable(GL_BLEND);
            glColor4f(0.8f, 0.8f, 0.8f, m_tooltip.alpha * 0.9f);
            m_tooltipText.Update(font, m_tooltip.text, m_tooltip.x,
                                 m_tooltip.y - font->Descender() * font->Scale());
            m_tooltipText.Draw(font);
        }
    }
    glDisable(GL_COLOR_MATERIAL);
}

void Manager::Render() const {
    m_rootGroup->Render();
    glDepthMask(GL_FALSE);
    for (Effect* effect : m_effects) {
        effect->Render2d();
    }
    if (m_needPass2) {
        m_rootGroup->RenderPass2();
    }
}

void Manager::DrawParamValue(Font* font, int param, float x, float y, char* tooltip) {
    const CAAUParameter* parameter = Param(param);
    if (font == nullptr || parameter == nullptr) {
        return;
    }
    const std::size_t tooltipSize = sizeof m_tooltip.text;
    const float column = x + 150.0f;
    const std::string& name = parameter->GetName();
    const float nameWidth = font->GetStringWidth(name.c_str());
    m_nameText.Update(font, name, column - nameWidth - 10.0f, y);
    m_nameText.Draw(font);
    if (tooltip != nullptr) {
        std::snprintf(tooltip, tooltipSize, "%s", name.c_str());
    }

    char value[kValueTextSize];
    FormatParamValue(*parameter, value);
    m_valueText.Update(font, value, column, y);
    m_valueText.Draw(font);
    if (tooltip != nullptr) {
        AppendText(tooltip, tooltipSize, " ", value);
    }

    const AudioUnitParameterUnit unit = parameter->ValueUnit();
    if (parameter->HasUnitName() && unit != kAudioUnitParameterUnit_Boolean &&
        unit != kAudioUnitParameterUnit_MIDINoteNumber) {
        const std::string unitName = parameter->GetUnitName().substr(0, 63);
        const float end = m_unitText.Update(font, unitName, column + 40.0f, y);
        m_unitText.Draw(font);
        if (tooltip != nullptr) {
            AppendText(tooltip, tooltipSize, " ", unitName.c_str());
        }
        x = end + 10.0f;
    }
    char* cursor = tooltip != nullptr ? tooltip + std::strlen(tooltip) : nullptr;
    ExtendParamValue(font, param, x, y, cursor);
}

void Manager::ShutdownGL(bool current) {
    if (m_pBridge == nullptr) {
        return;
    }
    {
        CriticalSectionGuard guard(m_treeGuard);
        if (current) {
            UnloadTextures();
        }
        for (Font* font : {m_pInfoFont, m_pLabelFont, m_pThirdFont}) {
            if (font != nullptr) {
                font->Unload();
            }
        }
        for (Font* font : m_extraFonts) {
            font->Unload();
        }
        for (Effect* effect : m_effects) {
            effect->ShutdownRendering();
        }
        if (m_pShutdowner != nullptr) {
            m_pShutdowner->ShutdownRendering();
        }
        if (current) {
            if (m_labelTexture != 0) {
                glDeleteTextures(1, &m_labelTexture);
            }
            if (m_labelFramebuffer != 0) {
                glDeleteFramebuffers(1, &m_labelFramebuffer);
            }
        }
        m_labelTexture = 0;
        m_labelFramebuffer = 0;
    }
    m_pBridge->ShutdownGL(); // last: the task may be let go while the bridge waits
}

} // namespace MV
