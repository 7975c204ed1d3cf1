// A render pass that draws fixed strings (group titles, captions, the banner) with one of the
// manager's fonts, all laid out into one vertex buffer.
#pragma once

#include <string>
#include <vector>

#include "Font.h"
#include "GuiTypes.h"
#include "UIElement.h"

namespace MV {

class StaticText : public Effect {
public:
    struct Entry {
        std::string text;
        float x = 0.0f;
        float y = 0.0f;
        const Vec4* colour = nullptr; // owned by the caller, read at every draw
        int firstVertex = 0;
        int vertexCount = 0; // 4 per byte
        bool visible = true;
    };

    // useLabelFont: the manager's label font, else its info font.
    StaticText(Manager* manager, bool useLabelFont);

    // Main thread or render task, with the tree guard held. Returns the entry's index.
    int Add(const std::string& text, float x, float y, const Vec4* colour);
    void SetVisible(int index, bool visible);
    const std::vector<Entry>& Entries() const { return m_entries; }

    // Render task: lays every entry out (also done lazily when entries were added).
    void InitialiseRendering() override;
    void Render2d() override;

private:
    const Font* PassFont() const;

    bool m_useLabelFont;
    std::vector<Entry> m_entries;
    std::vector<FontVertex> m_vertices;
    bool m_dirty = true;
};

} // namespace MV
