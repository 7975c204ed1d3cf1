#include "TexturedKnob.h"

#include <algorithm>
#include <cmath>

#include "GL.h"
#include "Manager.h"
#include "Texture.h"

namespace MV {

namespace {

// The "eye candy": doubles the vertex colour, so that a colour above 1 (the highlight of a knob
// being turned) brightens the image instead of saturating.
const char* const kVertexShader = "varying vec2 uv;\n"
                                  "varying vec4 color;\n"
                                  "void main()\n"
                                  "{\n"
                                  "gl_Position = ftransform();\n"
                                  "uv = gl_MultiTexCoord0.st;\n"
                                  "color.rgb = gl_Color.rgb * 2.0;\n"
                                  "color.a = gl_Color.a;\n"
                                  "}\n";
const char* const kFragmentShader = "uniform sampler2D tex;\n"
                                    "varying vec2 uv;\n"
                                    "varying vec4 color;\n"
                                    "void main()\n"
                                    "{\n"
                                    "vec4 diffuse = texture2D( tex, uv );\n"
                                    "gl_FragColor.rgba = color * diffuse.rgba;\n"
                                    "}\n";

// Where the value arc starts (225 degrees, the lower left) and how far the rest of the ring
// reaches past the arc's two ends.
constexpr float kArcStart = 3.9269907f;
constexpr float kRestStart = -2.2061944f;
constexpr float kRestSpan = 5.9831853f;

// Half the pointer strip's width on the image, scaled by the half-diagonal over the radius.
constexpr float kPointerTexture = 2.1213202f;
constexpr float kPointerWidth = 3.0f;

// An angle a knob never has, so that the next SetAngle rebuilds.
constexpr float kInvalidAngle = TexturedKnobRenderInfo::kUnset;

struct Point {
    float x, y;
    float u, v;
};

std::uint8_t ColourByte(float channel, float factor) {
    if (!(channel > 0.0f)) {
        return 0;
    }
    return std::uint8_t(std::min(channel * factor, 255.0f));
}

unsigned CompileShader(GLenum type, const char* source) {
    const GLuint shader = glCreateShader(type);
    glShaderSource(shader, 1, &source, nullptr);
    glCompileShader(shader);
    return shader;
}

} // namespace

// ---- TexturedKnobRenderer

TexturedKnobRenderer::TexturedKnobRenderer(Manager* manager, Texture* texture, float faceX,
                                           float faceY, float size, float secondX, float secondY)
    : Effect(manager), m_texture(texture), m_faceX(faceX), m_faceY(faceY), m_size(size),
      m_secondX(secondX), m_secondY(secondY) {}

TexturedKnobRenderer::~TexturedKnobRenderer() = default;

int TexturedKnobRenderer::Add() {
    m_knobs.emplace_back();
    m_knobs.back().visible = true;
    if (!m_vertices.empty()) {
        m_vertices.resize(m_knobs.size() * kVerticesPerKnob, KnobVertex{});
    }
    return int(m_knobs.size()) - 1;
}

void TexturedKnobRenderer::SetVisible(int index, bool visible) {
    if (index >= 0 && index < KnobCount()) {
        m_knobs[std::size_t(index)].visible = visible;
    }
}

void TexturedKnobRenderer::SetPlacement(int index, float centreX, float centreY, float radius) {
    if (index < 0 || index >= KnobCount()) {
        return;
    }
    TexturedKnobRenderInfo& knob = m_knobs[std::size_t(index)];
    if (knob.centreX != centreX || knob.centreY != centreY || knob.radius != radius) {
        knob.centreX = centreX;
        knob.centreY = centreY;
        knob.radius = radius;
        knob.angle = kInvalidAngle; // built again at the next SetAngle
    }
}

void TexturedKnobRenderer::InitialiseRendering() {
    if (GLEW_VERSION_2_0 && GLEW_ARB_vertex_shader && GLEW_ARB_fragment_shader) {
        m_vertexShader = CompileShader(GL_VERTEX_SHADER, kVertexShader);
        m_fragmentShader = CompileShader(GL_FRAGMENT_SHADER, kFragmentShader);
        m_program = glCreateProgram();
        glAttachShader(m_program, m_vertexShader);
        glAttachShader(m_program, m_fragmentShader);
        glLinkProgram(m_program);
        m_samplerLocation = glGetUniformLocation(m_program, "tex");
        glUseProgram(0);
    }
    // A missing image draws the knobs untextured rather than not at all.
    const int width = m_texture != nullptr && m_texture->Width() > 0 ? m_texture->Width() : 1;
    const int height = m_texture != nullptr && m_texture->Height() > 0 ? m_texture->Height() : 1;
    InitialiseGeometry(width, height);
}

void TexturedKnobRenderer::InitialiseGeometry(int textureWidth, int textureHeight) {
    const auto w = float(textureWidth);
    const auto h = float(textureHeight);
    const float half = m_size / 2.0f;
    m_faceU = (m_faceX + half) / w;
    m_faceV = (m_faceY + half) / h;
    m_faceDU = m_size * 0.70710677f / w;
    m_faceDV = m_size * 0.70710677f / h;
    m_secondU = (m_secondX + half) / w;
    m_secondV = (m_secondY + half) / h;
    m_vertices.assign(m_knobs.size() * kVerticesPerKnob, KnobVertex{});
    for (int i = 0; i < KnobCount(); ++i) {
        SetAngle(i, m_knobs[std::size_t(i)].angle);
    }
}

void TexturedKnobRenderer::SetAngle(int index, float radians) {
    if (m_vertices.empty() || index < 0 || index >= KnobCount() ||
        radians == m_knobs[std::size_t(index)].angle) {
        return;
    }
    m_knobs[std::size_t(index)].angle = radians;
    BuildMesh(index);
}

void TexturedKnobRenderer::BuildMesh(int index) {
    const TexturedKnobRenderInfo& knob = m_knobs[std::size_t(index)];
    const float theta = knob.angle;
    const float cx = knob.centreX;
    const float cy = knob.centreY;
    const float r = knob.radius;
    const Point centre{cx, cy, m_faceU, m_faceV};
    const Point centreRest{cx, cy, m_secondU, m_secondV};

    // The value arc, the face image turned with the knob.
    Point arc[4];
    for (int k = 0; k < 4; ++k) {
        const float a = kArcStart - float(k) * 0.33333334f * theta;
        const float b = kArcStart - float(3 - k) * 0.33333334f * theta;
        arc[k] = Point{cx + r * std::cos(a), cy + r * std::sin(a), m_faceU - m_faceDU * std::cos(b),
                       m_faceV - m_faceDV * std::sin(b)};
    }
    // The pointer strip along the arc's end, on its clockwise side.
    const float end = kArcStart - theta;
    const float ox = kPointerWidth * std::sin(end);
    const float oy = -kPointerWidth * std::cos(end);
    const float tu = r != 0.0f ? -kPointerTexture * m_faceDU / r : 0.0f;
    const float tv = r != 0.0f ? kPointerTexture * m_faceDV / r : 0.0f;
    const Point a{cx + ox, cy + oy, m_faceU + tu, m_faceV + tv};
    const Point d{arc[3].x + ox, arc[3].y + oy, arc[3].u + tu, arc[3].v + tv};
    // The rest of the ring, the second image as it is.
    Point rest[5];
    for (int k = 0; k < 5; ++k) {
        const float g = kRestStart + float(k) / 4.0f * (kRestSpan - theta);
        rest[k] = Point{cx + r * std::cos(g), cy + r * std::sin(g),
                        m_secondU + m_faceDU * std::cos(g), m_secondV - m_faceDV * std::sin(g)};
    }

    const Point order[kVerticesPerKnob] = {
        centre,     arc[1],  arc[0],  centre,     arc[2],  arc[1],  centre,     arc[3],  arc[2],
        centre,     a,       arc[3],  arc[3],     a,       d,       centreRest, rest[0], rest[1],
        centreRest, rest[1], rest[2], centreRest, rest[2], rest[3], centreRest, rest[3], rest[4]};
    KnobVertex* out = m_vertices.data() + std::size_t(index) * kVerticesPerKnob;
    for (int i = 0; i < kVerticesPerKnob; ++i) {
        out[i].u = order[i].u;
        out[i].v = order[i].v;
        out[i].x = order[i].x;
        out[i].y = order[i].y;
        out[i].z = 0.0f;
    }
    ++m_meshBuilds;
}

void TexturedKnobRenderer::SetColour(int index, const Vec4& colour) {
    if (m_vertices.empty() || index < 0 || index >= KnobCount() ||
        colour == m_knobs[std::size_t(index)].colour) {
        return;
    }
    m_knobs[std::size_t(index)].colour = colour;
    PackColour(index);
}

void TexturedKnobRenderer::PackColour(int index) {
    const Vec4& colour = m_knobs[std::size_t(index)].colour;
    // The shader doubles the colour: half the scale leaves room for the highlight.
    const float factor = m_program != 0 && m_eyeCandyInUse ? 127.5f : 255.0f;
    const std::uint8_t packed[4] = {ColourByte(colour.r, factor), ColourByte(colour.g, factor),
                                    ColourByte(colour.b, factor),
                                    std::uint8_t(std::clamp(colour.a, 0.0f, 1.0f) * 255.0f)};
    KnobVertex* out = m_vertices.data() + std::size_t(index) * kVerticesPerKnob;
    for (int i = 0; i < kVerticesPerKnob; ++i) {
        std::copy(packed, packed + 4, out[i].rgba);
    }
}

void TexturedKnobRenderer::Render2d() {
    if (m_vertices.empty()) {
        return;
    }
    glEnable(GL_ALPHA_TEST);
    glAlphaFunc(GL_GREATER, 0.0f);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(1.0f, 1.0f, 1.0f, 1.0f);

    const bool eyeCandy = m_program != 0 && Manager::ms_enableEyeCandy;
    if (eyeCandy != m_eyeCandyInUse) {
        m_eyeCandyInUse = eyeCandy;
        for (int i = 0; i < KnobCount(); ++i) {
            PackColour(i);
        }
    }
    if (m_texture != nullptr) {
        m_texture->Bind();
    }
    glEnable(GL_TEXTURE_2D);
    if (eyeCandy) {
        glUseProgram(m_program);
        glUniform1i(m_samplerLocation, 0);
    }
    glInterleavedArrays(GL_T2F_C4UB_V3F, 0, m_vertices.data());
    // One draw per run of visible knobs.
    int runStart = -1;
    for (int i = 0; i <= KnobCount(); ++i) {
        const bool visible = i < KnobCount() && m_knobs[std::size_t(i)].visible;
        if (visible && runStart < 0) {
            runStart = i;
        } else if (!visible && runStart >= 0) {
            glDrawArrays(GL_TRIANGLES, runStart * kVerticesPerKnob,
                         (i - runStart) * kVerticesPerKnob);
            runStart = -1;
        }
    }
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, 0);
    if (eyeCandy) {
        glUseProgram(0);
    }
    glDisable(GL_BLEND);
    glDisable(GL_ALPHA_TEST);
}

void TexturedKnobRenderer::ShutdownRendering() {
    if (m_program != 0) {
        glDetachShader(m_program, m_vertexShader);
        glDetachShader(m_program, m_fragmentShader);
        glDeleteShader(m_vertexShader);
        glDeleteShader(m_fragmentShader);
        glDeleteProgram(m_program);
    }
    m_vertexShader = 0;
    m_fragmentShader = 0;
    m_program = 0;
}

// ---- TexturedKnob

TexturedKnob::TexturedKnob(Manager* manager, TexturedKnobRenderer* renderer, int paramIndex,
                           float x, float y, float size)
    : Knob(manager, paramIndex, x, y, size), m_renderer(renderer), m_index(renderer->Add()) {}

void TexturedKnob::Update() {
    Control::Update();
    m_renderer->SetAngle(m_index, m_normalised * 4.712389f);
    const float target = m_manager->EditingParam() == ParamId() ? 1.0f : 0.0f;
    m_highlight += (target - m_highlight) * 0.3f;
    if (std::fabs(m_highlight - target) < 1.0f / 255.0f) {
        m_highlight = target;
    }
    const float factor = 1.0f + 0.25f * m_highlight;
    m_renderer->SetColour(m_index, Vec4{m_baseColour.r * factor, m_baseColour.g * factor,
                                        m_baseColour.b * factor, m_baseColour.a});
}

void TexturedKnob::FinalPosition() {
    Bounds world;
    GetWorldBounds(world);
    const float centreX = (world.min[0] + world.max[0]) / 2.0f;
    const float centreY = (world.min[1] + world.max[1]) / 2.0f;
    m_renderer->SetPlacement(m_index, centreX, centreY, (world.max[0] - centreX) * 1.4142135f);
}

void TexturedKnob::SetVisible(bool visible) {
    Knob::SetVisible(visible);
    m_renderer->SetVisible(m_index, visible);
}

} // namespace MV
