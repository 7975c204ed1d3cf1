#include "DemoLayout.h"

#include <vector>

#include "Font.h"
#include "GL.h"
#include "Manager.h"

namespace MV {

namespace {

Font* MakeFont(const std::string& folder, const char* file, int size) {
    std::vector<Font::FontChoice> choices;
    if (!folder.empty()) {
        choices.push_back({folder + "/" + file, size});
    }
    choices.push_back({file, size});
    return Font::Create(choices);
}

} // namespace

DemoParamBox::DemoParamBox(Manager* manager, int param, const std::string& caption, float x,
                           float y, float w, float h)
    : UIElement(manager), m_param(param), m_caption(caption) {
    m_bounds = Bounds(x, y, x + w, y + h);
}

void DemoParamBox::Update() {
    if (const CAAUParameter* parameter = m_manager->Param(m_param)) {
        m_normalised = AUParameterValueToLinear(parameter->GetValue(), parameter);
    }
}

void DemoParamBox::Render() const {
    const float barTop = m_bounds.min[1] + 6.0f;
    glColor4f(kFaceColour.r, kFaceColour.g, kFaceColour.b, kFaceColour.a);
    DrawFilledQuad(m_bounds.min[0], m_bounds.min[1], m_bounds.max[0], barTop);
    glColor4f(kBarColour.r, kBarColour.g, kBarColour.b, kBarColour.a);
    DrawFilledQuad(m_bounds.min[0], m_bounds.min[1],
                   m_bounds.min[0] + m_bounds.Width() * m_normalised, barTop);
}

UIElement* DemoParamBox::HitTest(const CGPoint& point) {
    return m_bounds.Contains(point.x, point.y) ? this : nullptr;
}

void DemoParamBox::MouseEntered() {
    m_manager->SetMouseOverParam(m_param, this);
}

void DemoParamBox::MouseExited() {
    if (m_manager->MouseOverParam() == m_param) {
        m_manager->SetMouseOverParam(-1, nullptr);
    }
}

void DemoParamBox::DrawLabel(const Font* font) {
    Bounds world;
    GetWorldBounds(world);
    glColor4f(kFaceColour.r, kFaceColour.g, kFaceColour.b, kFaceColour.a);
    DrawFilledQuad(world.min[0], world.min[1] + 6.0f, world.max[0], world.max[1]);
    std::vector<FontVertex> vertices(4 * m_caption.size());
    const int count = font->DrawIntoBuffer(vertices.data(), m_caption.c_str(), world.min[0] + 6.0f,
                                           world.min[1] + 12.0f, nullptr);
    glColor4f(kCaptionColour.r, kCaptionColour.g, kCaptionColour.b, kCaptionColour.a);
    font->DrawFromBuffer(vertices.data(), count);
}

void BuildDemoLayout(Manager& manager, const std::string& fontFolder) {
    manager.SetFonts(MakeFont(fontFolder, "DejaVuSans.ttf", 12),
                     MakeFont(fontFolder, "DejaVuSansCondensed.ttf", 11),
                     MakeFont(fontFolder, "DejaVuSansMono.ttf", 11));
    manager.SetWindowSize(kDemoWidth, kDemoHeight);
    manager.SetBackgroundColour(kDemoBackground.r, kDemoBackground.g, kDemoBackground.b);
    manager.SetBannerY(kDemoBannerY);
    manager.SetHelpStrings(nullptr);

    struct Column {
        const char* title;
        std::vector<int> params;
    };
    const Column columns[] = {
        {"Levels", {0, 1, 8, 9, 10}},
        {"Speed and depth", {2, 3, 4, 5, 6}},
        {"Shape and LFOs", {7, 11, 12, 13, 14, 15}},
    };
    const float margins[4] = {18.0f, 10.0f, 10.0f, 10.0f};
    float x = 30.0f;
    for (const Column& column : columns) {
        auto* group = new NamedGroup(&manager, column.title, margins);
        manager.RootGroup()->AddChild(group);
        float y = 300.0f;
        for (const int param : column.params) {
            const CAAUParameter* parameter = manager.Param(param);
            const std::string caption =
                parameter != nullptr ? parameter->GetName() : "Parameter " + std::to_string(param);
            group->AddChild(new DemoParamBox(&manager, param, caption, x, y, 220.0f, 34.0f));
            y -= 44.0f;
        }
        x += 250.0f;
    }
}

} // namespace MV
