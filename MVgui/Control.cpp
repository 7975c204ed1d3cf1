#include "Control.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "GL.h"
#include "Manager.h"
#include "MrvnShared.h"
#include "StaticText.h"

namespace MV {

namespace {

void DrawBlendedQuad(const Bounds& box, const Vec4& colour) {
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(colour.r, colour.g, colour.b, colour.a);
    DrawFilledQuad(box.min[0], box.min[1], box.max[0], box.max[1]);
    glDisable(GL_BLEND);
}

void DrawOutline(const Bounds& box) {
    DrawRectOutline(box.min[0], box.min[1], box.max[0], box.max[1]);
}

Vec4 Mix(const Vec4& a, float weightA, const Vec4& b, float weightB) {
    return Vec4{weightA * a.r + weightB * b.r, weightA * a.g + weightB * b.g,
                weightA * a.b + weightB * b.b, weightA * a.a + weightB * b.a};
}

bool IsIntegerUnit(AudioUnitParameterUnit unit) {
    return unit == kAudioUnitParameterUnit_Indexed || unit == kAudioUnitParameterUnit_Boolean ||
           unit == kAudioUnitParameterUnit_MIDINoteNumber || unit == kAudioUnitParameterUnit_Beats;
}

} // namespace

void AddCentredCaption(Manager* manager, const std::string& caption, const Bounds& world,
                       const Vec4* colour) {
    const Font* font = manager->InfoFont();
    if (font == nullptr) {
        return;
    }
    const float width = font->GetStringWidth(caption.c_str());
    const float lineHeight = font->LineHeight() * font->Scale();
    const float descender = font->Descender() * font->Scale();
    const float x = (world.min[0] + world.max[0] - width) / 2.0f;
    const float y = (world.min[1] + world.max[1] - lineHeight) / 2.0f - descender;
    manager->BannerText()->Add(caption, x, y, colour);
}

// ---- ControlBase

ControlBase::ControlBase(Manager* manager) : UIElement(manager) {}

void ControlBase::ExtendBounds(Bounds& box) const {
    box.Expand(m_bounds);
}

UIElement* ControlBase::HitTest(const CGPoint& point) {
    return m_bounds.Contains(point.x, point.y) ? this : nullptr;
}

float ControlBase::NormalisedFromParam(const CAAUParameter& param) const {
    return AUParameterValueToLinear(param.GetValue(), &param);
}

void ControlBase::SetParamFromNormalised(const CAAUParameter& param, float& normalised) const {
    AudioUnitParameterValue value = 0.0f;
    if (m_integerValued) {
        const float minimum = param.GetMinValue();
        const float range = param.GetMaxValue() - minimum;
        value = std::floor(normalised * range + minimum + 0.5f);
        normalised = (value - minimum) / range;
    } else {
        value = AUParameterValueFromLinear(normalised, &param);
    }
    m_manager->SetParamFromEditor(param, value);
}

void ControlBase::GetNormalisedAsIntegerValued(const CAAUParameter& param, float& normalised) {
    const float minimum = param.GetMinValue();
    const float range = param.GetMaxValue() - minimum;
    normalised = (std::floor(normalised * range + minimum + 0.5f) - minimum) / range;
}

// ---- Control

Control::Control(Manager* manager, int paramIndex) : ControlBase(manager) {
    if (const CAAUParameter* param = manager->Param(paramIndex)) {
        m_param = *param;
    } else {
        m_param.mParameterID = AudioUnitParameterID(paramIndex);
    }
    m_integerValued = IsIntegerUnit(m_param.ValueUnit());
}

void Control::Update() {
    m_normalised = NormalisedFromParam(m_param);
}

void Control::MouseDown(const CGPoint& /*point*/, unsigned /*modifiers*/, int /*clickCount*/) {
    m_manager->SetEditingParam(ParamId());
}

void Control::MouseUp(const CGPoint& /*point*/, unsigned /*modifiers*/) {
    m_manager->UnsetEditingParam(ParamId());
}

void Control::MouseEntered() {
    m_manager->SetMouseOverParam(ParamId(), this);
}

void Control::MouseExited() {
    if (m_manager->MouseOverParam() == ParamId()) {
        m_manager->SetMouseOverParam(-1, nullptr);
    }
}

// ---- Knob

Knob::Knob(Manager* manager, int paramIndex, float x, float y, float size)
    : Control(manager, paramIndex) {
    m_bounds = Bounds(x, y, x + size, y + size);
}

void Knob::Render() const {
    const float cx = (m_bounds.min[0] + m_bounds.max[0]) / 2.0f;
    const float cy = (m_bounds.min[1] + m_bounds.max[1]) / 2.0f;
    const float angle = m_normalised * 4.712385f - 2.3561926f;
    glColor3f(0.0f, 1.0f, 0.0f);
    DrawOutline(m_bounds);
    const GLfloat line[4] = {cx, cy, cx + std::sin(angle) * (m_bounds.max[0] - cx),
                             cy + std::cos(angle) * (m_bounds.max[1] - cy)};
    glColor3f(1.0f, 1.0f, 0.0f);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(2, GL_FLOAT, 0, line);
    glDrawArrays(GL_LINES, 0, 2);
    glDisableClientState(GL_VERTEX_ARRAY);
}

void Knob::MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) {
    // The gesture opens first, so that a reset to the default is part of it: a host recording
    // touch automation then records the reset as well.
    Control::MouseDown(point, modifiers, clickCount);
    // The value now, not the last frame's: before the first frame, or between frames while
    // constant redraw is off, that one may be old, and the drag would jump.
    m_normalised = NormalisedFromParam(m_param);
    const bool command = (modifiers & kModifierCommand) != 0;
    bool changed = true;
    if (command && clickCount == 2) {
        m_manager->SetParamFromEditor(m_param, 0.0f);
    } else if (command || clickCount == 2) {
        m_manager->SetParamFromEditor(m_param, m_param.GetDefaultValue());
    } else if (m_integerValued && m_param.GetMinValue() == 0.0f && m_param.GetMaxValue() == 1.0f) {
        m_manager->SetParamFromEditor(m_param, 1.0f - m_param.GetValue());
    } else {
        changed = false;
    }
    if (changed) {
        m_normalised = NormalisedFromParam(m_param);
    }
    m_dragStart = point;
    m_dragStartValue = m_normalised;
}

void Knob::MouseDrag(const CGPoint& point, unsigned modifiers) {
    const float sensitivity =
        (modifiers & kModifierShift) != 0 ? kFineSensitivity : kDragSensitivity;
    float normalised = m_dragStartValue + float(point.y - m_dragStart.y) * sensitivity;
    normalised = std::clamp(normalised, 0.0f, 1.0f);
    if ((modifiers & kModifierOption) != 0) {
        GetNormalisedAsIntegerValued(m_param, normalised);
    }
    m_normalised = normalised;
    SetParamFromNormalised(m_param, m_normalised);
}

// ---- Button

Button::Button(Manager* manager, const char* label, Callback callback, void* user, float x, float y,
               float w, float h, int helpId)
    : ControlBase(manager), m_label(label != nullptr ? label : ""), m_callback(callback),
      m_user(user), m_helpId(helpId) {
    m_bounds = Bounds(x, y, x + w, y + h);
}

void Button::Render() const {
    glColor3f(0.0f, 1.0f, 0.0f);
    DrawOutline(m_bounds);
}

void Button::MouseUp(const CGPoint& /*point*/, unsigned /*modifiers*/) {
    if (m_callback != nullptr) {
        m_callback(this, m_user);
    }
}

void Button::MouseEntered() {
    m_manager->SetMouseOverParam(m_helpId, this);
}

void Button::MouseExited() {
    if (m_manager->MouseOverParam() == m_helpId) {
        m_manager->SetMouseOverParam(-1, nullptr);
    }
}

StatefulButton::StatefulButton(Manager* manager, const char* label, Callback callback, void* user,
                               float x, float y, float w, float h, int helpId, Type type)
    : Button(manager, label, callback, user, x, y, w, h, helpId), m_type(type) {}

// ---- BrimButton

BrimButton::BrimButton(Manager* manager, const char* label, Callback callback, void* user, float x,
                       float y, float w, float h, int helpId)
    : Button(manager, label, callback, user, x, y, w, h, helpId) {}

void BrimButton::Render() const {
    m_colour = Mix(m_colour, 0.85f, m_targetColour, 0.15f);
    DrawBlendedQuad(m_bounds, m_colour);
}

void BrimButton::MouseEntered() {
    m_targetColour = kHoverColour;
    Button::MouseEntered();
}

void BrimButton::MouseExited() {
    m_targetColour = kRestColour;
    Button::MouseExited();
}

void BrimButton::FinalPosition() {
    Bounds world;
    GetWorldBounds(world);
    AddCentredCaption(m_manager, m_label, world, &m_labelColour);
}

// ---- TeskButton

TeskButton::TeskButton(Manager* manager, const char* label, float x, float y, float w, float h,
                       int paramIndex)
    : Control(manager, paramIndex), m_label(label != nullptr ? label : "") {
    m_bounds = Bounds(x, y, x + w, y + h);
}

void TeskButton::Update() {
    Control::Update();
    m_targetColour = m_normalised != 0.0f ? kOnColour : kOffColour;
}

void TeskButton::Render() const {
    m_colour = Mix(m_colour, 0.5f, m_targetColour, 0.5f);
    DrawBlendedQuad(m_bounds, m_colour);
}

void TeskButton::MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) {
    Control::MouseDown(point, modifiers, clickCount); // first, as for a knob's reset
    m_normalised = NormalisedFromParam(m_param) != 0.0f ? 0.0f : 1.0f;
    SetParamFromNormalised(m_param, m_normalised);
}

void TeskButton::FinalPosition() {
    Bounds world;
    GetWorldBounds(world);
    AddCentredCaption(m_manager, m_label, world, &m_labelColour);
}

// ---- InfoDisplay

InfoDisplay::InfoDisplay(Manager* manager, float x, float y, float w, float h,
                         const DataToGui* values)
    : UIElement(manager), m_values(values),
      // Never equal to a value, so that the first frame shows the values.
      m_lastSpeed(std::numeric_limits<float>::quiet_NaN()),
      m_lastDepth(std::numeric_limits<float>::quiet_NaN()) {
    m_bounds = Bounds(x, y, x + w, y + h);
}

void InfoDisplay::ExtendBounds(Bounds& box) const {
    box.Expand(m_bounds);
}

void InfoDisplay::Render() const {
    const Font* font = m_manager->InfoFont();
    if (font == nullptr) {
        return;
    }
    const float speed = m_values != nullptr ? m_values->speedHz.load(std::memory_order_relaxed) : 0;
    const float depth = m_values != nullptr ? m_values->swingMs.load(std::memory_order_relaxed) : 0;
    if (!(speed == m_lastSpeed)) {
        m_lastSpeed = speed;
        std::snprintf(m_speedText, sizeof m_speedText, "Speed: %8.4fHz", double(speed));
    }
    if (!(depth == m_lastDepth)) {
        m_lastDepth = depth;
        std::snprintf(m_depthText, sizeof m_depthText, "Depth: %8.2fms", double(depth));
    }
    const Vec4 colour = Manager::BannerTextColour();
    glColor4f(colour.r, colour.g, colour.b, colour.a);
    m_speedLine.Update(font, m_speedText, m_bounds.min[0], m_bounds.min[1]);
    m_speedLine.Draw(font);
    m_depthLine.Update(font, m_depthText, m_bounds.min[0] + kDepthOffset, m_bounds.min[1]);
    m_depthLine.Draw(font);
}

} // namespace MV
