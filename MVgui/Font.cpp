#include "Font.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <unistd.h>

#include <ft2build.h>
#include FT_FREETYPE_H
#include <FTGL/ftgl.h>

#include "Bundle.h"
#include "CriticalSection.h"
#include "FileLocations.h"
#include "GL.h"
#include "StandardAlert.h"

namespace MV {

namespace {

CriticalSection& GlyphEngineLock() {
    static CriticalSection lock;
    return lock;
}

class GlyphEngineGuard {
public:
    GlyphEngineGuard() { LockGlyphEngine(); }
    ~GlyphEngineGuard() { UnlockGlyphEngine(); }
    GlyphEngineGuard(const GlyphEngineGuard&) = delete;
    GlyphEngineGuard& operator=(const GlyphEngineGuard&) = delete;
};

int NextPowerOfTwo(int value) {
    int result = 64;
    while (result < value && result < 4096) {
        result *= 2;
    }
    return result;
}

bool IsReadableFile(const std::string& path) {
    std::error_code error;
    return !path.empty() && std::filesystem::is_regular_file(path, error) &&
           access(path.c_str(), R_OK) == 0;
}

// The first file named fileName below folder, a few levels deep at most.
std::string FindBelow(const std::string& folder, const std::string& fileName) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied,
                                        error);
    for (; !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it.depth() > 4) {
            it.disable_recursion_pending();
            continue;
        }
        if (it->path().filename() == fileName && IsReadableFile(it->path().string())) {
            return it->path().string();
        }
    }
    return {};
}

std::string FindFontFile(const std::string& name, const Bundle* skinBundle) {
    if (IsReadableFile(name)) {
        return name;
    }
    if (name.front() == '/') {
        return {};
    }
    if (skinBundle != nullptr) {
        if (std::string path = skinBundle->ResourcePath(name); !path.empty()) {
            return path;
        }
    }
    if (auto plugin = FindPluginBundle(kPluginBundleIdentifier)) {
        if (std::string path = plugin->ResourcePath(name); !path.empty()) {
            return path;
        }
    }
    const SInt16 domains[] = {kLocalDomain, kUserDomain, kSystemDomain};
    for (const SInt16 domain : domains) {
        if (const std::string folder = GetFontFolder(domain);
            !folder.empty() && IsReadableFile(folder + name)) {
            return folder + name;
        }
    }
    const std::string fileName = std::filesystem::path(name).filename().string();
    for (const SInt16 domain : domains) {
        if (const std::string folder = GetFontFolder(domain); !folder.empty()) {
            if (std::string path = FindBelow(folder, fileName); !path.empty()) {
                return path;
            }
        }
    }
    return {};
}

} // namespace

void LockGlyphEngine() {
    GlyphEngineLock().Enter();
}

void UnlockGlyphEngine() {
    GlyphEngineLock().Exit();
}

// A glyph of the atlas: where FreeType's bitmap landed in the atlas image, and its metrics.
class AtlasGlyph : public FTGlyph {
public:
    AtlasGlyph(FT_GlyphSlot slot, AtlasFont& font);

    // FTGL's own drawing path; the toolkit draws from vertex arrays instead.
    const FTPoint& Render(const FTPoint& /*pen*/, int /*renderMode*/) override { return m_advance; }

    bool usable = false; // false when the bitmap could not be rendered or packed
    unsigned index = 0;  // FreeType's glyph index, for kerning
    float ua = 0, va = 0, ub = 0, vb = 0;
    int width = 0, height = 0;      // bitmap pixels
    float cornerX = 0, cornerY = 0; // bitmap top-left corner from the pen
    float advanceX = 0, advanceY = 0;

private:
    FTPoint m_advance;
};

// A face through FTGL whose glyphs are rendered into a memory image instead of GL textures, so
// that text can be measured and laid out on any thread; the render task uploads the image.
// Every member is used with the glyph engine lock held.
class AtlasFont : public FTFont {
public:
    explicit AtlasFont(const char* path) : FTFont(path) {}

    ~AtlasFont() override = default;

    // Sizes the face and starts an empty atlas for it.
    bool SetPixelSize(unsigned pixels) {
        m_face = nullptr;
        std::fill(std::begin(m_glyphs), std::end(m_glyphs), nullptr);
        m_atlasWidth = NextPowerOfTwo(16 * (int(pixels) + 2));
        m_atlasHeight = NextPowerOfTwo(12 * (int(std::ceil(1.4 * pixels)) + 2));
        m_image.assign(std::size_t(m_atlasWidth) * std::size_t(m_atlasHeight), 0);
        m_penX = 1;
        m_penY = 1;
        m_rowHeight = 0;
        ++m_generation;
        return FaceSize(pixels, 72);
    }

    // The glyph of a byte, made on first use; null when it cannot be made.
    const AtlasGlyph* Glyph(unsigned char c) {
        if (c == 0) {
            return nullptr;
        }
        if (m_glyphs[c] == nullptr) {
            const wchar_t text[2] = {wchar_t(c), 0};
            m_pending = c;
            Advance(text, 1);
            m_pending = 0;
        }
        const AtlasGlyph* glyph = m_glyphs[c];
        return glyph != nullptr && glyph->usable ? glyph : nullptr;
    }

    unsigned CharIndex(unsigned char c) const {
        return m_face != nullptr ? FT_Get_Char_Index(m_face, c) : 0;
    }

    // Pair kerning in pixels, which FTGL keeps to itself.
    FTPoint Kerning(unsigned left, unsigned right) const {
        FT_Vector delta{0, 0};
        if (m_face != nullptr && FT_HAS_KERNING(m_face) &&
            FT_Get_Kerning(m_face, left, right, FT_KERNING_UNFITTED, &delta) == 0) {
            return FTPoint(double(delta.x) / 64.0, double(delta.y) / 64.0);
        }
        return FTPoint(0.0, 0.0);
    }

    // Packs a rendered bitmap; false when the atlas is full.
    bool Pack(const FT_Bitmap& bitmap, AtlasGlyph& glyph) {
        const int w = int(bitmap.width);
        const int h = int(bitmap.rows);
        if (m_penX + w + 1 > m_atlasWidth) {
            m_penX = 1;
            m_penY += m_rowHeight + 1;
            m_rowHeight = 0;
        }
        if (w + 2 > m_atlasWidth || m_penY + h + 1 > m_atlasHeight) {
            return false;
        }
        for (int row = 0; row < h; ++row) {
            const unsigned char* source = bitmap.buffer + std::ptrdiff_t(row) * bitmap.pitch;
            std::copy(source, source + w,
                      m_image.begin() + std::ptrdiff_t(m_penY + row) * m_atlasWidth + m_penX);
        }
        glyph.ua = float(m_penX) / float(m_atlasWidth);
        glyph.va = float(m_penY) / float(m_atlasHeight);
        glyph.ub = float(m_penX + w) / float(m_atlasWidth);
        glyph.vb = float(m_penY + h) / float(m_atlasHeight);
        m_penX += w + 1;
        m_rowHeight = std::max(m_rowHeight, h);
        ++m_generation;
        return true;
    }

    // Render task, GL context current: the atlas texture, uploaded when glyphs were added.
    unsigned Texture() {
        if (m_texture == 0) {
            glGenTextures(1, &m_texture);
            m_uploaded = 0;
        }
        glBindTexture(GL_TEXTURE_2D, m_texture);
        if (m_uploaded != m_generation) {
            glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
            glTexImage2D(GL_TEXTURE_2D, 0, GL_ALPHA8, m_atlasWidth, m_atlasHeight, 0, GL_ALPHA,
                         GL_UNSIGNED_BYTE, m_image.data());
            SetTextureSampling();
            glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
            m_uploaded = m_generation;
        }
        return m_texture;
    }

    // Render task, GL context current.
    void DeleteTexture() {
        if (m_texture != 0) {
            glDeleteTextures(1, &m_texture);
            m_texture = 0;
        }
    }

protected:
    FTGlyph* MakeGlyph(FT_GlyphSlot slot) override {
        m_face = slot->face;
        auto* glyph = new AtlasGlyph(slot, *this);
        if (m_pending != 0) {
            m_glyphs[m_pending] = glyph;
        }
        return glyph;
    }

private:
    FT_Face m_face = nullptr;
    AtlasGlyph* m_glyphs[256] = {}; // owned by FTGL's glyph list
    unsigned char m_pending = 0;
    int m_atlasWidth = 64;
    int m_atlasHeight = 64;
    std::vector<unsigned char> m_image;
    int m_penX = 1;
    int m_penY = 1;
    int m_rowHeight = 0;
    std::uint64_t m_generation = 0;
    std::uint64_t m_uploaded = 0;
    unsigned m_texture = 0;
};

AtlasGlyph::AtlasGlyph(FT_GlyphSlot slot, AtlasFont& font)
    : FTGlyph(slot), m_advance(slot->advance.x / 64.0, slot->advance.y / 64.0) {
    index = slot->glyph_index;
    advanceX = float(slot->advance.x) / 64.0f;
    advanceY = float(slot->advance.y) / 64.0f;
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0 ||
        slot->format != FT_GLYPH_FORMAT_BITMAP) {
        return;
    }
    width = int(slot->bitmap.width);
    height = int(slot->bitmap.rows);
    cornerX = float(slot->bitmap_left);
    cornerY = float(slot->bitmap_top);
    usable = font.Pack(slot->bitmap, *this);
}

// ---- Font

Font* Font::Create(const std::vector<FontChoice>& choices, const Bundle* skinBundle) {
    std::string tried;
    for (const FontChoice& choice : choices) {
        if (choice.name.empty()) {
            continue;
        }
        tried += (tried.empty() ? "" : ", ") + choice.name;
        const std::string path = FindFontFile(choice.name, skinBundle);
        if (path.empty()) {
            continue;
        }
        auto* font = new Font(path.c_str(), choice.size);
        if (font->IsLoaded()) {
            return font;
        }
        delete font;
        tried.clear(); // the alert already named the failure
    }
    if (!tried.empty()) {
        std::printf("MVgui: font not found: %s\n", tried.c_str());
        std::fflush(stdout);
    }
    return nullptr;
}

Font::Font(const char* path, int size) : m_path(path != nullptr ? path : ""), m_size(size) {
    bool loaded = false;
    {
        GlyphEngineGuard guard;
        auto engine = std::make_unique<AtlasFont>(m_path.c_str());
        if (engine->Error() == 0 && m_size > 0 && engine->SetPixelSize(unsigned(m_size))) {
            m_engine = std::move(engine);
            loaded = true;
        }
    }
    if (!loaded) {
        StandardAlert("Error", "Unable to load font");
    }
}

Font::~Font() {
    GlyphEngineGuard guard;
    // A GL texture still held here belongs to a context that is gone already.
    m_engine.reset();
}

bool Font::IsLoaded() const {
    GlyphEngineGuard guard;
    return m_engine != nullptr;
}

void Font::Preload(int density) {
    GlyphEngineGuard guard;
    if (m_engine == nullptr) {
        return;
    }
    m_density = std::max(1, density);
    m_scale = 1.0f / float(m_density);
    m_engine->DeleteTexture();
    m_engine->SetPixelSize(unsigned(m_density * m_size));
    for (int c = 32; c <= 126; ++c) {
        m_engine->Glyph(static_cast<unsigned char>(c));
    }
    m_engine->Texture();
    glBindTexture(GL_TEXTURE_2D, 0);
}

void Font::Unload() {
    GlyphEngineGuard guard;
    if (m_engine != nullptr) {
        m_engine->DeleteTexture();
        m_engine.reset();
    }
}

float Font::GetStringWidth(const char* text) const {
    float endX = 0.0f;
    if (text == nullptr || *text == '\0') {
        return 0.0f;
    }
    GlyphEngineGuard guard;
    if (m_engine == nullptr) {
        return 0.0f;
    }
    unsigned previous = 0;
    bool havePrevious = false;
    for (const char* p = text; *p != '\0'; ++p) {
        const AtlasGlyph* glyph = m_engine->Glyph(static_cast<unsigned char>(*p));
        if (glyph == nullptr) {
            continue;
        }
        if (havePrevious) {
            endX += float(m_engine->Kerning(previous, glyph->index).Xf());
        }
        endX += glyph->advanceX;
        previous = glyph->index;
        havePrevious = true;
    }
    return endX * m_scale;
}

void Font::StringSize(const char* text, float& width, float& height) const {
    width = 0.0f;
    height = 0.0f;
    if (text == nullptr) {
        return;
    }
    GlyphEngineGuard guard;
    if (m_engine == nullptr) {
        return;
    }
    for (const char* p = text; *p != '\0'; ++p) {
        if (const AtlasGlyph* glyph = m_engine->Glyph(static_cast<unsigned char>(*p))) {
            width += glyph->advanceX;
            height = std::max(height, glyph->cornerY);
        }
    }
    width *= m_scale;
    height *= m_scale;
}

float Font::LineHeight() const {
    GlyphEngineGuard guard;
    return m_engine != nullptr ? m_engine->LineHeight() : 0.0f;
}

float Font::Ascender() const {
    GlyphEngineGuard guard;
    return m_engine != nullptr ? m_engine->Ascender() : 0.0f;
}

float Font::Descender() const {
    GlyphEngineGuard guard;
    return m_engine != nullptr ? m_engine->Descender() : 0.0f;
}

int Font::DrawIntoBuffer(FontVertex* out, const char* text, float x, float y, float* endX) const {
    m_layoutCount.fetch_add(1, std::memory_order_relaxed);
    float penX = x;
    float penY = y;
    int quads = 0;
    if (text != nullptr) {
        GlyphEngineGuard guard;
        if (m_engine != nullptr) {
            const float s = m_scale;
            const char* p = text;
            while (*p != '\0' && m_engine->Glyph(static_cast<unsigned char>(*p)) == nullptr) {
                ++p;
            }
            for (; *p != '\0'; ++p) {
                const AtlasGlyph* glyph = m_engine->Glyph(static_cast<unsigned char>(*p));
                if (glyph == nullptr) {
                    continue;
                }
                const unsigned next = m_engine->CharIndex(static_cast<unsigned char>(p[1]));
                const FTPoint kerning = m_engine->Kerning(glyph->index, next);
                float x0 = penX + glyph->cornerX * s;
                float y0 = penY + glyph->cornerY * s;
                if (m_density == 1) {
                    x0 = std::floor(x0);
                    y0 = std::floor(y0);
                }
                const float x1 = x0 + float(glyph->width) * s;
                const float y1 = y0 - float(glyph->height) * s;
                FontVertex* quad = out + 4 * quads;
                quad[0] = FontVertex{glyph->ua, glyph->va, x0, y0, 0.0f};
                quad[1] = FontVertex{glyph->ua, glyph->vb, x0, y1, 0.0f};
                quad[2] = FontVertex{glyph->ub, glyph->vb, x1, y1, 0.0f};
                quad[3] = FontVertex{glyph->ub, glyph->va, x1, y0, 0.0f};
                ++quads;
                penX += s * (kerning.Xf() + glyph->advanceX);
                penY += s * (kerning.Yf() + glyph->advanceY);
            }
        }
    }
    if (endX != nullptr) {
        *endX = penX;
    }
    return 4 * quads;
}

void Font::BindAtlas() const {
    GlyphEngineGuard guard;
    if (m_engine != nullptr) {
        m_engine->Texture();
    } else {
        glBindTexture(GL_TEXTURE_2D, 0);
    }
}

void Font::DrawFromBuffer(const FontVertex* vertices, int count) const {
    if (count <= 0) {
        return;
    }
    BindAtlas();
    BeginTextDrawing();
    glInterleavedArrays(GL_T2F_V3F, 0, vertices);
    glDrawArrays(GL_QUADS, 0, count);
    EndTextDrawing();
}

// ---- CachedText

float CachedText::Update(const Font* font, const char* text, float x, float y) {
    if (font == nullptr) {
        return m_endX;
    }
    const char* value = text != nullptr ? text : "";
    if (m_text == value && m_x == x && m_y == y) {
        return m_endX;
    }
    m_text = value;
    m_x = x;
    m_y = y;
    m_vertices.resize(4 * m_text.size());
    const int written = font->DrawIntoBuffer(m_vertices.data(), m_text.c_str(), x, y, &m_endX);
    m_vertices.resize(std::size_t(written));
    return m_endX;
}

float CachedText::Update(const Font* font, const std::string& text, float x, float y) {
    return Update(font, text.c_str(), x, y);
}

void CachedText::Draw(const Font* font) const {
    if (font != nullptr && !m_vertices.empty()) {
        font->DrawFromBuffer(m_vertices.data(), int(m_vertices.size()));
    }
}

} // namespace MV
