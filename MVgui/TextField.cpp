#include "TextField.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "GL.h"
#include "Manager.h"

namespace MV {

namespace {

bool BeginsWithLetter(const char* text) {
    return std::isalpha(static_cast<unsigned char>(text[0])) != 0;
}

// A format is used only when it holds exactly one floating-point conversion (flags, width and
// precision allowed) besides "%%": anything else would make printf read what was never passed.
bool IsFloatFormat(const std::string& format) {
    int conversions = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            continue;
        }
        if (++i < format.size() && format[i] == '%') {
            continue;
        }
        while (i < format.size() && std::strchr("-+ #0", format[i]) != nullptr) {
            ++i;
        }
        while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i])) != 0) {
            ++i;
        }
        if (i < format.size() && format[i] == '.') {
            ++i;
            while (i < format.size() && std::isdigit(static_cast<unsigned char>(format[i])) != 0) {
                ++i;
            }
        }
        if (i >= format.size() || std::strchr("fFeEgG", format[i]) == nullptr) {
            return false;
        }
        ++conversions;
    }
    return conversions == 1;
}

void DrawQuad(const Bounds& box, const float (&colour)[3], float inset) {
    glColor3f(colour[0], colour[1], colour[2]);
    DrawFilledQuad(box.min[0] + inset, box.min[1] + inset, box.max[0] - inset, box.max[1] - inset);
}

void DrawText(const Font* font, CachedText& line, const char* text, float x, float y,
              const Vec4& colour) {
    glColor4f(colour.r, colour.g, colour.b, colour.a);
    line.Update(font, text, x, y);
    line.Draw(font);
}

} // namespace

// ---- TextField

TextField::TextField(Manager* manager, int paramIndex, float x, float y, float w, float h,
                     const char* format)
    : Control(manager, paramIndex), m_format(format != nullptr ? format : "") {
    m_bounds = Bounds(x, y, x + w, y + h);
    if (!m_format.empty() && !IsFloatFormat(m_format)) {
        std::printf("MVgui: text field format '%s' ignored: it needs exactly one "
                    "floating-point conversion\n",
                    m_format.c_str());
        std::fflush(stdout);
        m_format.clear();
    }
}

void TextField::Render() const {
    if (m_manager->ThirdFont() != nullptr) {
        PrepareText();
        DoRender();
    }
}

void TextField::PrepareText() const {
    const Font* font = m_manager->ThirdFont();
    if (font == nullptr) {
        return;
    }
    if (m_cursor < 0) {
        const float value = m_param.GetValue();
        if (value != m_lastValue) {
            m_lastValue = value;
            char text[Manager::kValueTextSize];
            Manager::FormatParamValue(m_param, text);
            if (!m_format.empty() && !BeginsWithLetter(text)) {
                std::snprintf(text, sizeof text, m_format.c_str(), double(value));
            }
            text[sizeof m_text - 1] = '\0';
            std::memcpy(m_text, text, sizeof m_text);
            m_textWidth = font->GetStringWidth(m_text);
        }
    } else if (m_cursor != m_lastCursor) {
        m_lastCursor = m_cursor;
        m_textWidth = font->GetStringWidth(m_text);
    }
}

void TextField::DoRender() const {
    const Font* font = m_manager->ThirdFont();
    DrawQuad(m_bounds, m_backgroundColour, 0.0f);
    if (m_manager->KeyboardFocus() == this) {
        DrawQuad(m_bounds, m_cursor >= 0 ? m_changedColour : m_activeColour, 1.0f);
    }
    const Vec4 colour{m_textColour[0], m_textColour[1], m_textColour[2], 1.0f};
    DrawText(font, m_cachedText, m_text, m_bounds.max[0] - m_textWidth - 1.0f,
             m_bounds.min[1] + 2.0f, colour);
}

void TextField::MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) {
    m_manager->SetFocusToWindow();
    Control::MouseDown(point, modifiers, clickCount);
    m_manager->SetKeyboardFocusElement(this);
}

void TextField::StartEditing(char c) {
    std::memset(m_text, 0, sizeof m_text);
    m_text[0] = c;
    m_cursor = 0;
}

bool TextField::Keypress(unsigned char key) {
    switch (key) {
    case kKeyEnter:
    case kKeyReturn: {
        float value = 0.0f;
        if (std::sscanf(m_text, "%f", &value) == 1) {
            Commit(value);
        }
        return true;
    }
    case kKeyBackspace:
        if (m_cursor >= 0) {
            m_text[m_cursor] = '\0';
            --m_cursor;
            if (m_cursor < 0) {
                m_lastValue = kRefresh; // nothing typed any more: show the value again
            }
        }
        return true;
    case kKeyRight:
    case kKeyUp:
        Keypress(kKeyReturn);
        Commit(m_param.GetValue() + FindIncrement());
        return true;
    case kKeyLeft:
    case kKeyDown:
        Keypress(kKeyReturn);
        Commit(m_param.GetValue() - FindIncrement());
        return true;
    case '-':
        if (m_cursor < 0) {
            StartEditing('-');
        }
        return true;
    default:
        break;
    }
    const bool digit = key >= '0' && key <= '9';
    if (!digit && key != '.') {
        return false;
    }
    if (key == '.' && m_cursor >= 0 && std::strchr(m_text, '.') != nullptr) {
        return true;
    }
    if (m_cursor < 0) {
        StartEditing(char(key));
    } else if (m_cursor + 1 < kTextSize - 1) {
        m_text[++m_cursor] = char(key);
    }
    return true;
}

void TextField::LostFocus() {
    m_cursor = -1;
    m_lastCursor = -1;
    m_lastValue = kRefresh;
}

float TextField::FindIncrement() const {
    const char* point = std::strrchr(m_text, '.');
    if (BeginsWithLetter(m_text) || point == nullptr) {
        return 1.0f;
    }
    return std::pow(10.0f, -float(std::strlen(point + 1)));
}

void TextField::Commit(float value) {
    m_manager->SetEditingParam(ParamId());
    m_manager->SetParamFromEditor(m_param, value);
    m_manager->UnsetEditingParam(ParamId());
    m_cursor = -1;
    m_lastCursor = -1;
    m_lastValue = kRefresh;
}

// ---- DropDown

DropDown::DropDown(Manager* manager, int paramIndex, float x, float y, float w, float h)
    : Control(manager, paramIndex) {
    m_bounds = Bounds(x, y, x + w, y + h);
    if (m_param.HasNamedParams()) {
        for (std::string name : m_param.GetValueNames()) {
            if (name.size() > 127) {
                name.resize(127);
            }
            std::replace_if(
                name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; }, '?');
            m_items.push_back(name);
        }
    }
    m_itemTexts.resize(m_items.size());
}

int DropDown::CurrentItem() const {
    const auto count = int(m_items.size());
    const float value = m_param.GetValue();
    const int index = std::isfinite(value) ? int(std::clamp(value, -1.0f, float(count))) : 0;
    return std::clamp(index, 0, std::max(count - 1, 0));
}

bool DropDown::InsideList(const CGPoint& point, bool upperEdges) const {
    const double dx = point.x - double(m_listWorldX);
    const double dy = point.y - double(m_listWorldY);
    if (upperEdges) {
        return dx >= 0.0 && dx <= m_listWidth && dy >= 0.0 && dy <= m_listHeight;
    }
    return dx >= 0.0 && dx < m_listWidth && dy >= 0.0 && dy < m_listHeight;
}

void DropDown::MouseDown(const CGPoint& point, unsigned modifiers, int clickCount) {
    const auto count = int(m_items.size());
    if (count > 0) {
        m_highlighted = CurrentItem();
        Bounds world;
        GetWorldBounds(world);
        m_itemHeight = world.Height();
        m_listWidth = world.Width();
        m_listHeight = float(count) * m_itemHeight;
        // The current value's row lies over the control; row 0 is the top row.
        const float below = float(count - 1 - m_highlighted) * m_itemHeight;
        m_listWorldX = world.min[0];
        m_listWorldY = world.min[1] - below;
        m_listLocalX = m_bounds.min[0];
        m_listLocalY = m_bounds.min[1] - below;
        // Inside the window.
        const auto windowHeight = float(m_manager->DesignSize()[1]);
        float shift = 0.0f;
        if (m_listWorldY < 0.0f) {
            shift = -m_listWorldY;
        } else if (m_listWorldY + m_listHeight > windowHeight) {
            shift = windowHeight - (m_listWorldY + m_listHeight);
        }
        m_listWorldY += shift;
        m_listLocalY += shift;
    }
    Control::MouseDown(point, modifiers, clickCount);
}

void DropDown::MouseDrag(const CGPoint& point, unsigned /*modifiers*/) {
    if (IsOpen() && InsideList(point, true)) {
        const double fromTop = double(m_listHeight) - (point.y - double(m_listWorldY));
        // The list's bottom edge counts as its last row.
        m_highlighted = std::min(int(fromTop / double(m_itemHeight)), int(m_items.size()) - 1);
    }
}

void DropDown::MouseUp(const CGPoint& point, unsigned modifiers) {
    if (IsOpen() && InsideList(point, false)) {
        m_manager->SetParamFromEditor(m_param, float(m_highlighted));
    }
    m_highlighted = -1;
    Control::MouseUp(point, modifiers);
}

// ---- ALDropDown

ALDropDown::ALDropDown(Manager* manager, int paramIndex, float x, float y, float w, float h)
    : DropDown(manager, paramIndex, x, y, w, h) {}

void ALDropDown::DrawLabel(const Font* /*font*/) {
    Bounds world;
    GetWorldBounds(world);
    glColor4f(kFaceColour.r, kFaceColour.g, kFaceColour.b, kFaceColour.a);
    DrawFilledQuad(world.min[0], world.min[1], world.max[0], world.max[1]);
}

void ALDropDown::Render() const {
    const Font* font = m_manager->ThirdFont();
    if (!m_visible || font == nullptr || m_items.empty()) {
        return;
    }
    const std::string& name = m_items[std::size_t(CurrentItem())];
    const float width = font->GetStringWidth(name.c_str());
    DrawText(font, m_faceText, name.c_str(), (m_bounds.min[0] + m_bounds.max[0] - width) / 2.0f,
             m_bounds.min[1] + 2.0f, kTextColour);
}

void ALDropDown::RenderPass2() const {
    const Font* font = m_manager->ThirdFont();
    if (!m_visible || !IsOpen()) {
        return;
    }
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(kListColour.r, kListColour.g, kListColour.b, kListColour.a);
    DrawFilledQuad(m_listLocalX, m_listLocalY, m_listLocalX + m_listWidth,
                   m_listLocalY + m_listHeight);
    glDisable(GL_BLEND);
    if (font == nullptr) {
        return;
    }
    const auto count = int(m_items.size());
    for (int i = 0; i < count; ++i) {
        const std::string& name = m_items[std::size_t(i)];
        const float width = font->GetStringWidth(name.c_str());
        const Vec4 colour = i == m_highlighted ? Vec4{1.0f, 1.0f, 1.0f, 1.0f} : kTextColour;
        DrawText(font, m_itemTexts[std::size_t(i)], name.c_str(),
                 m_listLocalX + (m_listWidth - width) / 2,
                 m_listLocalY + 1.0f + float(count - 1 - i) * m_itemHeight, colour);
    }
}

} // namespace MV
