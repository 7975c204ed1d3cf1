// A small layout built in C++ for trying the toolkit out: titled groups of parameter boxes (each
// a caption in the label texture and a bar showing the parameter's value), the banner and the
// info line of the hovered parameter. The layout script replaces it in the product.
#pragma once

#include <string>

#include "GuiTypes.h"
#include "UIElement.h"

namespace MV {

class Manager;

// A box showing one parameter: it hovers like a control (the info line shows the parameter)
// and fills with the parameter's knob position.
class DemoParamBox : public UIElement {
public:
    DemoParamBox(Manager* manager, int param, const std::string& caption, float x, float y, float w,
                 float h);

    void Update() override;
    void Render() const override;
    void ExtendBounds(Bounds& box) const override { box.Expand(m_bounds); }
    UIElement* HitTest(const CGPoint& point) override;
    void MouseEntered() override;
    void MouseExited() override;
    void DrawLabel(const Font* font) override;

    int ParamId() const { return m_param; }
    float Normalised() const { return m_normalised; }

    static constexpr Vec4 kFaceColour{0.22f, 0.25f, 0.31f, 1.0f};
    static constexpr Vec4 kBarColour{0.35f, 0.65f, 0.95f, 1.0f};
    static constexpr Vec4 kCaptionColour{0.85f, 0.85f, 0.85f, 1.0f};

private:
    int m_param;
    std::string m_caption;
    float m_normalised = 0.0f;
};

// The demo's window size.
constexpr int kDemoWidth = 800;
constexpr int kDemoHeight = 400;
// The background colour of the demo, and where its banner lies (layout units).
constexpr Vec4 kDemoBackground{0.10f, 0.11f, 0.14f, 1.0f};
constexpr float kDemoBannerY = 360.0f;

// Builds the demo on a new manager (before its view opens). Fonts are looked for in fontFolder
// first (a build's resource folder), then by name as the font lookup goes.
void BuildDemoLayout(Manager& manager, const std::string& fontFolder);

} // namespace MV
