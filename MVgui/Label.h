// A static text of the layout script: drawn once into the label texture, on a box of its own.
#pragma once

#include <string>

#include "Control.h"
#include "Font.h"

namespace MV {

class Label : public ControlBase {
public:
    // Where x lies on the label: its centre, its left edge or its right edge.
    enum Justification { kCentred = 0, kLeft = 1, kRight = 2 };

    // With width and height 0 the box fits the text in the manager's label font (3 units of
    // padding) and hangs below y; a width centres the text in it, ignoring the justification,
    // and a height centres it vertically. Without a label font the box is empty.
    Label(Manager* manager, const char* text, float x, float y, int justification, float width,
          float height);

    void DrawLabel(const Font* font) override;

    const std::string& Text() const { return m_text; }
    float TextOffsetX() const { return m_textOffsetX; }
    float TextOffsetY() const { return m_textOffsetY; }
    const Vec4& BackgroundColour() const { return m_backgroundColour; }
    const Vec4& ForegroundColour() const { return m_foregroundColour; }
    void SetBackgroundColour(const Vec4& colour) { m_backgroundColour = colour; }
    void SetForegroundColour(const Vec4& colour) { m_foregroundColour = colour; }

private:
    std::string m_text;
    Vec4 m_backgroundColour{1.0f, 1.0f, 1.0f, 1.0f};
    Vec4 m_foregroundColour{0.0f, 0.0f, 0.0f, 1.0f};
    float m_textOffsetX = 0.0f;
    float m_textOffsetY = 0.0f;
    CachedText m_cachedText;
};

} // namespace MV
