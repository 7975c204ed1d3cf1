// Fonts of the editor: one face at one size, its glyphs packed into one atlas texture, and
// strings laid out as arrays of textured quads.
//
// Measuring and laying out text needs no GL context: glyphs are rendered by FreeType into a
// memory image that the render task uploads when it next draws with the font. Everything that
// touches the glyph engine runs under one process-wide lock, because every open editor lays
// text out on its own render task while the engine's library state is shared.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace MV {

class AtlasFont;
class Bundle;

// One corner of a glyph quad: texture coordinate, then position (z is 0). Arrays of these are
// drawn as interleaved arrays, four vertices per glyph.
struct FontVertex {
    float u, v;
    float x, y, z;
};

class Font {
public:
    struct FontChoice {
        std::string name; // a path, or a bare file name to look for
        int size = 0;     // points at 72 dpi: layout units
    };

    // The first font of the list that can be found and loaded, or null. A name is looked for
    // as given, then in the skin, then in the plug-in's resources, then in the font folders of
    // the local, user and system domains (directly, then anywhere below them by file name).
    // A list whose names are found nowhere prints one line.
    static Font* Create(const std::vector<FontChoice>& choices, const Bundle* skinBundle = nullptr);

    // Loads the face; a file that cannot be loaded shows the alert "Unable to load font".
    Font(const char* path, int size);
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;

    // False when the face failed to load, and after Unload.
    bool IsLoaded() const;
    const std::string& Path() const { return m_path; }
    int Size() const { return m_size; }
    int Density() const { return m_density; }
    float Scale() const { return m_scale; }

    // Render task, GL context current: sizes the face for density pixels per unit, renders the
    // printable ASCII glyphs and uploads the atlas.
    void Preload(int density);
    // Render task, GL context current: releases the face and the atlas texture.
    void Unload();

    // Any thread. Advance width of the string as laid out (kerning included), in layout units.
    float GetStringWidth(const char* text) const;
    // Any thread. width: the sum of the glyph advances; height: the tallest glyph top above
    // the baseline; both in layout units.
    void StringSize(const char* text, float& width, float& height) const;
    // Any thread. The face's line height, ascender and descender in pixels; multiply by
    // Scale() for layout units. 0 without a face.
    float LineHeight() const;
    float Ascender() const;
    float Descender() const;

    // Any thread. Writes the quads of text with the pen starting at (x, y), at most 4 per byte,
    // and returns how many vertices it wrote; *endX receives the final pen x when given.
    int DrawIntoBuffer(FontVertex* out, const char* text, float x, float y, float* endX) const;
    // Render task: draws count vertices as quads with the atlas, in the current colour.
    void DrawFromBuffer(const FontVertex* vertices, int count) const;
    // Render task: binds the atlas texture (uploading glyphs added since the last upload).
    void BindAtlas() const;

    // How many times text was laid out with this font (for tests of caching).
    std::uint64_t LayoutCount() const { return m_layoutCount.load(std::memory_order_relaxed); }

private:
    std::string m_path;
    int m_size;
    int m_density = 1;
    float m_scale = 1.0f;
    std::unique_ptr<AtlasFont> m_engine;
    mutable std::atomic<std::uint64_t> m_layoutCount{0};
};

// One changing line of text (a value, a name), laid out again only when it changes.
class CachedText {
public:
    // Lays text out at (x, y) unless text and position are unchanged; returns the end x. Without
    // a font, returns the previous end x.
    float Update(const Font* font, const std::string& text, float x, float y);
    float Update(const Font* font, const char* text, float x, float y);
    // Render task: draws the line in the current colour.
    void Draw(const Font* font) const;

    const std::string& Text() const { return m_text; }
    float EndX() const { return m_endX; }

private:
    std::string m_text;
    float m_x = 0.0f;
    float m_y = 0.0f;
    float m_endX = 0.0f;
    std::vector<FontVertex> m_vertices;
};

// The lock every use of the glyph engine holds (see the top of this file).
void LockGlyphEngine();
void UnlockGlyphEngine();

} // namespace MV
