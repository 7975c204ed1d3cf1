#include "UIElement.h"

#include "GL.h"
#include "Manager.h"
#include "StaticText.h"

namespace MV {

// ---- UIElement

UIElement::UIElement(Manager* manager) : m_manager(manager) {
    m_manager->AddElement(this);
}

void UIElement::MouseDown(const CGPoint& /*point*/, unsigned /*modifiers*/, int /*clickCount*/) {}
void UIElement::MouseDrag(const CGPoint& /*point*/, unsigned /*modifiers*/) {}
void UIElement::MouseUp(const CGPoint& /*point*/, unsigned /*modifiers*/) {}

UIElement* UIElement::HitTest(const CGPoint& /*point*/) {
    return nullptr;
}

bool UIElement::Keypress(unsigned char /*key*/) {
    return false;
}

void UIElement::GetWorldBounds(Bounds& box) const {
    ExtendBounds(box);
    if (m_parent != nullptr) {
        m_parent->TransformBounds(box);
    }
}

float UIElement::GetWidth() const {
    Bounds box;
    ExtendBounds(box);
    return box.max[0] - box.min[0];
}

float UIElement::GetHeight() const {
    Bounds box;
    ExtendBounds(box);
    return box.max[1] - box.min[1];
}

// ---- Group

bool Group::ms_hitTestIncludesGroups = false;

Group::Group(Manager* manager) : UIElement(manager) {}

void Group::AddChild(UIElement* child) {
    CriticalSectionGuard guard(m_manager->TreeGuard());
    m_children.push_back(child);
    child->m_parent = this;
    child->SetVisible(m_visible);
}

void Group::TransformBounds(Bounds& box) const {
    for (const Group* group = this; group != nullptr; group = group->m_parent) {
        box.Offset(group->m_position[0], group->m_position[1], group->m_position[2]);
    }
}

void Group::SetPosition(float x, float y, float z) {
    CriticalSectionGuard guard(m_manager->TreeGuard());
    m_position[0] = x;
    m_position[1] = y;
    m_position[2] = z;
}

void Group::Update() {
    for (UIElement* child : m_children) {
        child->Update();
    }
}

void Group::Render() const {
    glPushMatrix();
    glTranslatef(m_position[0], m_position[1], m_position[2]);
    for (const UIElement* child : m_children) {
        child->Render();
    }
    glPopMatrix();
}

void Group::RenderPass2() const {
    glPushMatrix();
    glTranslatef(m_position[0], m_position[1], m_position[2]);
    for (const UIElement* child : m_children) {
        child->RenderPass2();
    }
    glPopMatrix();
}

Bounds Group::ChildrenBounds() const {
    Bounds children;
    for (const UIElement* child : m_children) {
        child->ExtendBounds(children);
    }
    return children;
}

void Group::ExtendBounds(Bounds& box) const {
    Bounds own = ChildrenBounds();
    own.Offset(m_position[0], m_position[1], m_position[2]);
    box.Expand(own);
}

UIElement* Group::HitTest(const CGPoint& point) {
    if (!m_visible) {
        return nullptr;
    }
    const CGPoint local{point.x - double(m_position[0]), point.y - double(m_position[1])};
    for (UIElement* child : m_children) {
        if (UIElement* hit = child->HitTest(local)) {
            return hit;
        }
    }
    if (ms_hitTestIncludesGroups && m_bounds.Contains(point.x, point.y)) {
        return this;
    }
    return nullptr;
}

void Group::SetVisible(bool visible) {
    m_visible = visible;
    for (UIElement* child : m_children) {
        child->SetVisible(visible);
    }
}

// ---- NamedGroup

Vec4 NamedGroup::ms_activeTargetColour{0.5f, 0.8f, 1.0f, 0.6f};
Vec4 NamedGroup::ms_inactiveTargetColour{0.5f, 0.5f, 0.5f, 0.5f};

NamedGroup::NamedGroup(Manager* manager, const char* name, const float* margins)
    : Group(manager), m_name(name != nullptr ? name : ""), m_colour(ms_inactiveTargetColour),
      m_targetColour(ms_inactiveTargetColour) {
    if (margins != nullptr) {
        for (int i = 0; i < 4; ++i) {
            m_margins[i] = margins[i];
        }
    }
}

void NamedGroup::ExtendBounds(Bounds& box) const {
    Bounds own = ChildrenBounds();
    own.min[0] -= m_margins[2];
    own.min[1] -= m_margins[1];
    own.max[0] += m_margins[3];
    own.max[1] += m_margins[0];
    own.Offset(m_position[0], m_position[1], m_position[2]);
    box.Expand(own);
}

void NamedGroup::FinalPosition() {
    Bounds world;
    GetWorldBounds(world);
    m_bounds = world;
    const float x0 = world.min[0];
    const float y0 = world.min[1];
    const float x1 = world.max[0];
    const float y1 = world.max[1];
    float titleWidth = 0.0f;
    if (Font* font = m_manager->InfoFont()) {
        const float lineHeight = font->LineHeight() * font->Scale();
        const float descender = font->Descender() * font->Scale();
        m_titleId = m_manager->BannerText()->Add(m_name, x0 + 10.0f,
                                                 y1 - lineHeight / 2.0f - descender, &m_colour);
        m_manager->BannerText()->SetVisible(m_titleId, m_visible);
        titleWidth = font->GetStringWidth(m_name.c_str());
    }
    const float outline[12] = {
        x0 + 10.0f, y1, x0, y1, x0, y0, x1, y0, x1, y1, x0 + 10.0f + titleWidth, y1};
    for (int i = 0; i < 12; ++i) {
        m_outline[i] = outline[i];
    }
}

void NamedGroup::Render() const {
    if (!m_visible) {
        return;
    }
    Group::Render();
    m_colour = Vec4{0.85f * m_colour.r + 0.15f * m_targetColour.r,
                    0.85f * m_colour.g + 0.15f * m_targetColour.g,
                    0.85f * m_colour.b + 0.15f * m_targetColour.b,
                    0.85f * m_colour.a + 0.15f * m_targetColour.a};
    // The outline is in world coordinates already.
    glPushMatrix();
    glLoadIdentity();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(m_colour.r, m_colour.g, m_colour.b, m_colour.a);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, m_outline);
    glDrawArrays(GL_LINE_STRIP, 0, 6);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_BLEND);
    glPopMatrix();
}

void NamedGroup::MouseEntered() {
    m_targetColour = ms_activeTargetColour;
}

void NamedGroup::MouseExited() {
    m_targetColour = ms_inactiveTargetColour;
}

void NamedGroup::SetVisible(bool visible) {
    Group::SetVisible(visible);
    if (m_manager->InfoFont() != nullptr && m_titleId >= 0) {
        m_manager->BannerText()->SetVisible(m_titleId, visible);
    }
}

} // namespace MV
