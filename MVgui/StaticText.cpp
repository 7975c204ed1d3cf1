#include "StaticText.h"

#include "GL.h"
#include "Manager.h"

namespace MV {

StaticText::StaticText(Manager* manager, bool useLabelFont)
    : Effect(manager), m_useLabelFont(useLabelFont) {}

int StaticText::Add(const std::string& text, float x, float y, const Vec4* colour) {
    Entry entry;
    entry.text = text;
    entry.x = x;
    entry.y = y;
    entry.colour = colour;
    entry.vertexCount = int(4 * text.size());
    m_entries.push_back(std::move(entry));
    m_dirty = true;
    return int(m_entries.size()) - 1;
}

void StaticText::SetVisible(int index, bool visible) {
    if (index >= 0 && index < int(m_entries.size())) {
        m_entries[std::size_t(index)].visible = visible;
    }
}

const Font* StaticText::PassFont() const {
    return m_useLabelFont ? m_manager->LabelFont() : m_manager->InfoFont();
}

void StaticText::InitialiseRendering() {
    m_dirty = false;
    const Font* font = PassFont();
    if (font == nullptr) {
        return;
    }
    int total = 0;
    for (Entry& entry : m_entries) {
        entry.firstVertex = total;
        total += entry.vertexCount;
    }
    // Bytes without a glyph leave their quads zeroed: degenerate, so they draw nothing.
    m_vertices.assign(std::size_t(total), FontVertex{});
    for (const Entry& entry : m_entries) {
        font->DrawIntoBuffer(m_vertices.data() + entry.firstVertex, entry.text.c_str(), entry.x,
                             entry.y, nullptr);
    }
}

void StaticText::Render2d() {
    const Font* font = PassFont();
    if (m_entries.empty() || font == nullptr) {
        return;
    }
    if (m_dirty) {
        InitialiseRendering();
    }
    font->BindAtlas();
    BeginTextDrawing();
    glInterleavedArrays(GL_T2F_V3F, 0, m_vertices.data());
    for (const Entry& entry : m_entries) {
        if (!entry.visible || entry.vertexCount == 0) {
            continue;
        }
        const Vec4 colour = entry.colour != nullptr ? *entry.colour : Vec4{1, 1, 1, 1};
        glColor4f(colour.r, colour.g, colour.b, colour.a);
        glDrawArrays(GL_QUADS, entry.firstVertex, entry.vertexCount);
    }
    EndTextDrawing();
}

} // namespace MV
