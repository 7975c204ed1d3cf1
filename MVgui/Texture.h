// Skin images: PNG files found in the skin or the plug-in's resources, decoded from memory and
// uploaded as GL textures on the render task. Only RGB and RGBA images of 8 bits per channel
// whose sides are powers of two are accepted; anything else (or a damaged file) leaves the
// texture empty with one line on standard output, and the editor draws on without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace MV {

class Bundle;
class Manager;

// A decoded image, rows top first, 3 or 4 bytes per pixel.
struct TextureImage {
    int width = 0;
    int height = 0;
    int channels = 0;
    bool doubleResolution = false; // the "_hi" variant was read
    std::vector<std::uint8_t> pixels;
};

// Decodes PNG bytes; false (with the reason) for a damaged file or a refused format. libpng's
// errors return here; they never end the process.
bool DecodePng(const std::uint8_t* data, std::size_t size, TextureImage& image,
               std::string* reason = nullptr);

// Reads and decodes the file at path, or its "_hi" variant (knob.png: knob_hi.png) first when
// highDensity asks for it and the path has more than four characters.
bool ReadTextureImage(const std::string& path, bool highDensity, TextureImage& image,
                      std::string* reason = nullptr);

// The path of a readable resource of that name in bundle, or an empty string.
std::string SearchBundle(const std::string& name, const Bundle* bundle);

class Texture {
public:
    // Main thread: finds the file in the skin, else in the plug-in's resources (one line when
    // it is in neither) and registers with the manager, which owns the texture.
    Texture(Manager* manager, const std::string& name, const Bundle* skinBundle);
    ~Texture() = default;
    Texture(const Texture&) = delete;
    Texture& operator=(const Texture&) = delete;

    // Render task, GL context current. A texture is loaded at most once in its life.
    void Load(bool highDensity);
    void Unload();
    void Bind() const;

    const std::string& Name() const { return m_name; }
    const std::string& Path() const { return m_path; }
    unsigned GLName() const { return m_texture; }
    bool LoadAttempted() const { return m_loadAttempted; }
    bool IsExcluded() const { return m_excluded; }
    void SetExcluded(bool excluded) { m_excluded = excluded; }
    // In layout units: the "_hi" variant reports half its pixel size.
    int Width() const { return m_width; }
    int Height() const { return m_height; }

private:
    std::string m_name;
    std::string m_path;
    unsigned m_texture = 0;
    bool m_loadAttempted = false;
    bool m_excluded = false;
    int m_width = 0;
    int m_height = 0;
};

} // namespace MV
