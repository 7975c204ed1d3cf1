#include "Label.h"

#include <cmath>

#include "GL.h"
#include "Manager.h"

namespace MV {

Label::Label(Manager* manager, const char* text, float x, float y, int justification, float width,
             float height)
    : ControlBase(manager), m_text(text != nullptr ? text : "") {
    const Font* font = manager->LabelFont();
    if (font == nullptr) {
        return;
    }
    float textWidth = 0.0f;
    float ignored = 0.0f;
    font->StringSize(m_text.c_str(), textWidth, ignored);
    float capitalHeight = 0.0f;
    font->StringSize("M", ignored, capitalHeight);

    float left = 0.0f;
    float right = 0.0f;
    if (width != 0.0f) {
        left = std::floor(x);
        right = std::floor(x + width);
        m_textOffsetX = std::floor((width - textWidth) / 2.0f);
    } else {
        const float boxWidth = std::floor(textWidth) + 6.0f;
        m_textOffsetX = 3.0f;
        left = justification == kLeft    ? std::floor(x)
               : justification == kRight ? std::floor(x - boxWidth)
                                         : std::floor(x - boxWidth / 2.0f);
        right = left + boxWidth;
    }
    float bottom = 0.0f;
    float top = 0.0f;
    if (height != 0.0f) {
        bottom = std::floor(y);
        top = std::floor(y + height);
        m_textOffsetY = std::floor((height - capitalHeight) / 2.0f);
    } else {
        m_textOffsetY = 3.0f;
        bottom = y - (std::floor(capitalHeight) + 6.0f);
        top = y;
    }
    m_bounds = Bounds(left, bottom, right, top);
}

void Label::DrawLabel(const Font* font) {
    if (m_text.empty()) {
        return;
    }
    Bounds world = m_bounds;
    if (m_parent != nullptr) {
        m_parent->TransformBounds(world);
    }
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glColor4f(m_backgroundColour.r, m_backgroundColour.g, m_backgroundColour.b,
              m_backgroundColour.a);
    DrawFilledQuad(world.min[0], world.min[1], world.max[0], world.max[1]);
    glDisable(GL_BLEND);
    glColor4f(m_foregroundColour.r, m_foregroundColour.g, m_foregroundColour.b,
              m_foregroundColour.a);
    m_cachedText.Update(font, m_text, world.min[0] + m_textOffsetX, world.min[1] + m_textOffsetY);
    m_cachedText.Draw(font);
}

} // namespace MV
