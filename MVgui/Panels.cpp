#include "Panels.h"

#include <cstdio>
#include <sstream>

#include "FluxetParameters.h"
#include "GL.h"
#include "Label.h"
#include "Manager.h"
#include "MrvnFluxet.h"
#include "Preferences.h"

namespace MV {

namespace {

constexpr Vec4 kCaptionColour{0.80f, 0.82f, 0.86f, 1.0f};
constexpr float kFieldBack[3] = {0.065f, 0.072f, 0.088f};
constexpr float kFieldFocus[3] = {0.10f, 0.15f, 0.20f};
constexpr float kPanelBack[3] = {0.105f, 0.115f, 0.135f};

void Quad(const Bounds& box, const float (&colour)[3], float inset) {
    glColor3f(colour[0], colour[1], colour[2]);
    DrawFilledQuad(box.min[0] + inset, box.min[1] + inset, box.max[0] - inset, box.max[1] - inset);
}

void AddCaption(Manager& panel, const std::string& text, float x, float y) {
    auto* label = new Label(&panel, text.c_str(), x, y, Label::kLeft, 0.0f, 0.0f);
    label->SetBackgroundColour(Vec4{0.0f, 0.0f, 0.0f, 0.0f});
    label->SetForegroundColour(kCaptionColour);
    panel.RootGroup()->AddChild(label);
}

// A setting the check box shows: its class-wide flag and its preference. With nudge, turning
// it on wakes the editor's render task, which may sleep until the next change.
void AddSetting(Manager& panel, Manager* editor, const char* caption, std::atomic<bool>& flag,
                const char* key, float y, bool nudge = false) {
    panel.RootGroup()->AddChild(
        new CheckBox(&panel, caption, flag, 20.0f, y, [&flag, key, nudge, editor](bool on) {
            flag = on;
            SetPrefInt(key, on ? 1 : 0);
            if (on && nudge && editor != nullptr) {
                editor->NudgeGUI();
            }
        }));
}

} // namespace

// ---- NumberField

NumberField::NumberField(Manager* manager, const std::string& text, float x, float y, float w,
                         float h)
    : ControlBase(manager), m_text(text.substr(0, kMaxDigits)) {
    m_bounds = Bounds(x, y, x + w, y + h);
}

long NumberField::Value() const {
    return m_text.empty() ? 0 : std::stol(m_text);
}

void NumberField::Render() const {
    const Font* font = m_manager->ThirdFont();
    Quad(m_bounds, kFieldBack, 0.0f);
    if (m_manager->KeyboardFocus() == this) {
        Quad(m_bounds, kFieldFocus, 1.0f);
    }
    if (font == nullptr) {
        return;
    }
    glColor4f(kCaptionColour.r, kCaptionColour.g, kCaptionColour.b, 1.0f);
    const float width = font->GetStringWidth(m_text.c_str());
    m_cachedText.Update(font, m_text, m_bounds.max[0] - width - 3.0f, m_bounds.min[1] + 4.0f);
    m_cachedText.Draw(font);
}

void NumberField::MouseDown(const CGPoint& /*point*/, unsigned /*modifiers*/, int /*clickCount*/) {
    m_manager->SetFocusToWindow();
    m_manager->SetKeyboardFocusElement(this);
}

bool NumberField::Keypress(unsigned char key) {
    if (key == kKeyBackspace) {
        if (!m_text.empty()) {
            m_text.pop_back();
        }
        return true;
    }
    if (key == kKeyEnter || key == kKeyReturn) {
        return true;
    }
    // Only what keeps the text a whole number; anything else is refused here and goes on.
    if (key < '0' || key > '9') {
        return false;
    }
    if (m_text.size() < std::size_t(kMaxDigits)) {
        m_text += char(key);
    }
    return true;
}

// ---- CheckBox

CheckBox::CheckBox(Manager* manager, const char* caption, bool checked, float x, float y,
                   Toggled toggled)
    : ControlBase(manager), m_caption(caption), m_checked(checked), m_toggled(std::move(toggled)) {
    float width = 0.0f;
    if (const Font* font = manager->LabelFont()) {
        width = font->GetStringWidth(m_caption.c_str()) + 8.0f;
    }
    m_bounds = Bounds(x, y, x + kBoxSize + width, y + kBoxSize);
}

void CheckBox::Render() const {
    const Bounds box(m_bounds.min[0], m_bounds.min[1], m_bounds.min[0] + kBoxSize,
                     m_bounds.min[1] + kBoxSize);
    Quad(box, kFieldBack, 0.0f);
    glColor3f(kCaptionColour.r, kCaptionColour.g, kCaptionColour.b);
    DrawRectOutline(box.min[0], box.min[1], box.max[0], box.max[1]);
    if (m_checked) {
        const float colour[3] = {0.55f, 0.78f, 1.00f};
        Quad(box, colour, 3.0f);
    }
}

void CheckBox::MouseUp(const CGPoint& point, unsigned /*modifiers*/) {
    if (!m_bounds.Contains(point.x, point.y)) {
        return; // released elsewhere: no click
    }
    m_checked = !m_checked;
    if (m_toggled) {
        m_toggled(m_checked);
    }
}

void CheckBox::DrawLabel(const Font* font) {
    Bounds world = m_bounds;
    if (m_parent != nullptr) {
        m_parent->TransformBounds(world);
    }
    glColor4f(kCaptionColour.r, kCaptionColour.g, kCaptionColour.b, kCaptionColour.a);
    m_cachedCaption.Update(font, m_caption, world.min[0] + kBoxSize + 8.0f, world.min[1] + 2.0f);
    m_cachedCaption.Draw(font);
}

// ---- SettingsPanel

std::string SettingsPanel::VersionText() {
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d", int((MrvnFluxet::kVersion >> 16) & 0xFF),
                  int((MrvnFluxet::kVersion >> 8) & 0xFF), int(MrvnFluxet::kVersion & 0xFF));
    return text;
}

SettingsPanel::SettingsPanel(Manager& panel, Manager* editor) {
    panel.SetWindowSize(kWidth, kHeight);
    panel.SetBackgroundColour(kPanelBack[0], kPanelBack[1], kPanelBack[2]);
    AddCaption(panel, "Fluxet " + VersionText(), 16.0f, 188.0f);
    AddCaption(panel, "OSC base port", 16.0f, 152.0f);
    m_port =
        new NumberField(&panel, std::to_string(g_OSCBasePort.load()), 200.0f, 134.0f, 70.0f, 20.0f);
    panel.RootGroup()->AddChild(m_port);
    AddSetting(panel, editor, "Eye candy: knobs glow while turned", Manager::ms_enableEyeCandy,
               kPrefEnableEyeCandy, 100.0f);
    AddSetting(panel, editor, "Constant redraw (about 30 frames a second)",
               Manager::ms_enableConstantRedraw, kPrefEnableConstantRedraw, 76.0f, true);
    AddSetting(panel, editor, "Floating tooltip", Manager::ms_enableTooltip,
               kPrefEnableFloatingTooltip, 52.0f);
    panel.RootGroup()->AddChild(new BrimButton(
        &panel, "Close",
        [](Button* /*button*/, void* self) {
            static_cast<SettingsPanel*>(self)->m_closeRequested = true;
        },
        this, float(kWidth) - 86.0f, 12.0f, 70.0f, 22.0f, -1));
}

void SettingsPanel::Apply(Manager* editor) const {
    const long port = m_port->Value();
    if (editor == nullptr || port < 1 || port > 65535) {
        return;
    }
    SetPrefInt(kPrefOSCBasePort, int(port));
    g_OSCBasePort.store(SInt32(port));
    if (const CAAUParameter* offset = editor->Param(kParam_OSCPortOffset)) {
        editor->SetParamFromEditor(*offset, offset->GetValue());
    }
}

// ---- MessagePanel

MessagePanel::MessagePanel(const std::string& text) {
    // Whole words, about 50 characters to a line: what the label font fits into kWidth.
    constexpr std::size_t kLineLength = 50;
    std::istringstream words(text);
    std::string word;
    std::string line;
    while (words >> word) {
        if (!line.empty() && line.size() + 1 + word.size() > kLineLength) {
            m_lines.push_back(line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty() || m_lines.empty()) {
        m_lines.push_back(line);
    }
}

int MessagePanel::Height() const {
    return 64 + 18 * int(m_lines.size());
}

void MessagePanel::Build(Manager& panel) {
    const int height = Height();
    panel.SetWindowSize(kWidth, height);
    panel.SetBackgroundColour(kPanelBack[0], kPanelBack[1], kPanelBack[2]);
    float y = float(height) - 14.0f;
    for (const std::string& line : m_lines) {
        AddCaption(panel, line, 16.0f, y);
        y -= 18.0f;
    }
    panel.RootGroup()->AddChild(new BrimButton(
        &panel, "OK",
        [](Button* /*button*/, void* self) {
            static_cast<MessagePanel*>(self)->m_closeRequested = true;
        },
        this, float(kWidth) - 86.0f, 12.0f, 70.0f, 22.0f, -1));
}

} // namespace MV
