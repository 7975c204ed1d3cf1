#include "Texture.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <png.h>

#include "Bundle.h"
#include "GL.h"
#include "Manager.h"
#include "PngErrors.h"

namespace MV {

namespace {

// Where the decoder reads from: the next byte and how many remain.
struct PngReadCursor {
    const std::uint8_t* next;
    int remaining;
};

// libpng reads through this; a read past the end gets zeros, which libpng then reports as a
// damaged file.
void PngRead(png_structp png, png_bytep out, png_size_t count) {
    auto* cursor = static_cast<PngReadCursor*>(png_get_io_ptr(png));
    const auto available = std::size_t(cursor->remaining > 0 ? cursor->remaining : 0);
    const std::size_t n = count < available ? count : available;
    std::memcpy(out, cursor->next, n);
    std::memset(out + n, 0, count - n);
    cursor->next += n;
    cursor->remaining -= int(n);
}

bool IsPowerOfTwo(png_uint_32 value) {
    return value != 0 && (value & (value - 1)) == 0;
}

void Report(const std::string& line) {
    std::printf("MVgui: %s\n", line.c_str());
    std::fflush(stdout);
}

// The libpng part; no C++ object with a destructor lives across its setjmp.
bool DecodeRows(const std::uint8_t* data, std::size_t size, TextureImage& image, char* error) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, PngError, PngWarning);
    if (png == nullptr) {
        std::snprintf(error, kPngErrorTextSize, "cannot create a PNG decoder");
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_read_struct(&png, nullptr, nullptr);
        std::snprintf(error, kPngErrorTextSize, "cannot create a PNG decoder");
        return false;
    }
    PngReadCursor cursor{data, size > 0x7fffffff ? 0x7fffffff : int(size)};
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_set_user_limits(png, 8192, 8192);
    png_set_read_fn(png, &cursor, PngRead);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    const png_uint_32 width = png_get_image_width(png, info);
    const png_uint_32 height = png_get_image_height(png, info);
    const int channels = png_get_channels(png, info);
    const int depth = png_get_bit_depth(png, info);
    if (!IsPowerOfTwo(width) || !IsPowerOfTwo(height) || (channels != 3 && channels != 4) ||
        depth != 8) {
        std::snprintf(error, kPngErrorTextSize,
                      "refused: %ux%u, %d channels of %d bits (needs power-of-two sides, RGB or "
                      "RGBA, 8 bits)",
                      unsigned(width), unsigned(height), channels, depth);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_bytepp rows = png_get_rows(png, info);
    const std::size_t rowBytes = std::size_t(width) * std::size_t(channels);
    image.width = int(width);
    image.height = int(height);
    image.channels = channels;
    image.pixels.resize(rowBytes * height);
    for (png_uint_32 row = 0; row < height; ++row) {
        std::memcpy(image.pixels.data() + row * rowBytes, rows[row], rowBytes);
    }
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

} // namespace

bool DecodePng(const std::uint8_t* data, std::size_t size, TextureImage& image,
               std::string* reason) {
    char error[kPngErrorTextSize] = "not a PNG image";
    image = TextureImage{};
    if (data == nullptr || size < 8 || png_sig_cmp(data, 0, 8) != 0) {
        if (reason != nullptr) {
            *reason = error;
        }
        return false;
    }
    const bool decoded = DecodeRows(data, size, image, error);
    if (!decoded) {
        image = TextureImage{};
        if (reason != nullptr) {
            *reason = error;
        }
    }
    return decoded;
}

bool ReadTextureImage(const std::string& path, bool highDensity, TextureImage& image,
                      std::string* reason) {
    FileLoader file;
    bool doubleResolution = false;
    if (highDensity && path.size() >= 5) {
        const std::string variant =
            path.substr(0, path.size() - 4) + "_hi" + path.substr(path.size() - 4);
        doubleResolution = file.ReadFile(variant);
    }
    if (!doubleResolution && !file.ReadFile(path)) {
        if (reason != nullptr) {
            *reason = "cannot be read";
        }
        return false;
    }
    if (!DecodePng(file.Data(), std::size_t(file.Size()), image, reason)) {
        return false;
    }
    image.doubleResolution = doubleResolution;
    return true;
}

std::string SearchBundle(const std::string& name, const Bundle* bundle) {
    if (bundle == nullptr) {
        return {};
    }
    std::string path = bundle->ResourcePath(name);
    return path.size() < 256 ? path : std::string();
}

Texture::Texture(Manager* manager, const std::string& name, const Bundle* skinBundle)
    : m_name(name) {
    m_path = SearchBundle(name, skinBundle);
    if (m_path.empty()) {
        const auto plugin = FindPluginBundle(kPluginBundleIdentifier);
        m_path = SearchBundle(name, plugin.get());
    }
    if (m_path.empty()) {
        Report("texture not found: " + name);
    }
    manager->AddTexture(this);
}

void Texture::Load(bool highDensity) {
    if (m_loadAttempted) {
        return;
    }
    m_loadAttempted = true;
    if (m_path.empty()) {
        return;
    }
    TextureImage image;
    std::string reason;
    if (!ReadTextureImage(m_path, highDensity, image, &reason)) {
        Report("texture " + m_path + ": " + reason);
        return;
    }
    const bool rgba = image.channels == 4;
    glGenTextures(1, &m_texture);
    glBindTexture(GL_TEXTURE_2D, m_texture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, rgba ? 4 : 3, image.width, image.height, 0,
                 rgba ? GL_RGBA : GL_RGB, GL_UNSIGNED_BYTE, image.pixels.data());
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    SetTextureSampling();
    glBindTexture(GL_TEXTURE_2D, 0);
    m_width = image.doubleResolution ? image.width / 2 : image.width;
    m_height = image.doubleResolution ? image.height / 2 : image.height;
}

void Texture::Unload() {
    if (m_texture != 0) {
        glDeleteTextures(1, &m_texture);
        m_texture = 0;
    }
}

void Texture::Bind() const {
    glBindTexture(GL_TEXTURE_2D, m_texture);
}

} // namespace MV
