// Knobs drawn from a skin image: every knob that shares one image is drawn by one renderer from
// one interleaved vertex array, with as few draw calls as there are runs of visible knobs.
//
// A knob is a disc around its box (the box's square is the image's square) cut into two pies:
// the value arc, from the lower left clockwise through the knob's angle, shows the face image
// turned with the knob; the rest shows a second image that does not turn; a narrow strip along
// the arc's end carries the pointer. The knob's mesh is rebuilt only when its angle changes and
// its colour words only when its colour changes.
#pragma once

#include <cstdint>
#include <vector>

#include "Control.h"
#include "UIElement.h"

namespace MV {

class Texture;
class TexturedKnobRenderer;

// One knob as its renderer sees it.
struct TexturedKnobRenderInfo {
    // Differs from every real colour and angle, so that the first ones are always applied.
    static constexpr float kUnset = 1000000.0f;

    Vec4 colour{kUnset, kUnset, kUnset, kUnset};
    float centreX = 0.0f;
    float centreY = 0.0f;
    float radius = 0.0f;
    float angle = kUnset;
    bool visible = false;
};

// One vertex of a knob mesh: the fixed-function interleaved format of two float texture
// coordinates, four colour bytes and three float coordinates (z is 0).
struct KnobVertex {
    float u, v;
    std::uint8_t rgba[4];
    float x, y, z;
};
static_assert(sizeof(KnobVertex) == 24, "six 32-bit words per vertex");

class TexturedKnobRenderer : public Effect {
public:
    static constexpr int kVerticesPerKnob = 27;

    // faceX, faceY: the face image's top-left corner in texture pixels; size: both images'
    // side; secondX, secondY: the second image's corner. The creator appends the renderer to
    // the manager's effects.
    TexturedKnobRenderer(Manager* manager, Texture* texture, float faceX, float faceY, float size,
                         float secondX, float secondY);
    ~TexturedKnobRenderer() override;

    // Main thread, while the layout is built: a new knob entry; returns its index.
    int Add();
    // Render task. Rebuild a knob's mesh or colour words when they changed.
    void SetAngle(int index, float radians);
    void SetColour(int index, const Vec4& colour);
    // Main thread or render task, with the tree guard held.
    void SetVisible(int index, bool visible);
    void SetPlacement(int index, float centreX, float centreY, float radius);

    // Render task: the shader (when the driver has shaders), then the geometry.
    void InitialiseRendering() override;
    // The texture coordinates and the zeroed vertex array for a texture of that pixel size;
    // no GL call (InitialiseRendering's second half).
    void InitialiseGeometry(int textureWidth, int textureHeight);
    void Render2d() override;
    void ShutdownRendering() override;

    const TexturedKnobRenderInfo& Entry(int index) const { return m_knobs[std::size_t(index)]; }
    int KnobCount() const { return int(m_knobs.size()); }
    const KnobVertex* Vertices(int index) const {
        return m_vertices.data() + std::size_t(index) * kVerticesPerKnob;
    }
    bool HasGeometry() const { return !m_vertices.empty(); }
    // How many times a knob's mesh was built (for tests of the rebuild rule).
    std::uint64_t MeshBuilds() const { return m_meshBuilds; }
    bool UsingEyeCandy() const { return m_eyeCandyInUse; }
    bool HasShader() const { return m_program != 0; }

private:
    void BuildMesh(int index);
    void PackColour(int index);

    std::vector<TexturedKnobRenderInfo> m_knobs;
    Texture* m_texture;
    float m_faceX;
    float m_faceY;
    float m_size;
    float m_faceU = 0.0f;
    float m_faceV = 0.0f;
    float m_faceDU = 0.0f;
    float m_faceDV = 0.0f;
    float m_secondX;
    float m_secondY;
    float m_secondU = 0.0f;
    float m_secondV = 0.0f;
    bool m_eyeCandyInUse = true;
    std::vector<KnobVertex> m_vertices;
    unsigned m_vertexShader = 0;
    unsigned m_fragmentShader = 0;
    unsigned m_program = 0;
    int m_samplerLocation = -1;
    std::uint64_t m_meshBuilds = 0;
};

// A knob drawn by a renderer; it brightens while its edit gesture is open.
class TexturedKnob : public Knob {
public:
    TexturedKnob(Manager* manager, TexturedKnobRenderer* renderer, int paramIndex, float x, float y,
                 float size);

    void Update() override;
    void Render() const override {}
    void FinalPosition() override;
    void DrawLabel(const Font* /*font*/) override {}
    void SetVisible(bool visible) override;

    int RendererIndex() const { return m_index; }
    float Highlight() const { return m_highlight; }
    void SetBaseColour(const Vec4& colour) { m_baseColour = colour; }

private:
    TexturedKnobRenderer* m_renderer;
    int m_index;
    Vec4 m_baseColour{1.0f, 1.0f, 1.0f, 1.0f};
    float m_highlight = 0.0f;
};

} // namespace MV
