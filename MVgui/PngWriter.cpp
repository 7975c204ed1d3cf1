#include "PngWriter.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <png.h>

#include "PngErrors.h"

namespace MV {

namespace {

int ColourType(int channels) {
    switch (channels) {
    case 1:
        return PNG_COLOR_TYPE_GRAY;
    case 2:
        return PNG_COLOR_TYPE_GRAY_ALPHA;
    case 3:
        return PNG_COLOR_TYPE_RGB;
    default:
        return PNG_COLOR_TYPE_RGBA;
    }
}

// The libpng part; no C++ object with a destructor lives across its setjmp.
bool WriteRows(std::FILE* file, int width, int height, int channels, int bitDepth, png_bytep* rows,
               char* error) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, PngError, PngWarning);
    if (png == nullptr) {
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), bitDepth, ColourType(channels),
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_rows(png, info, rows);
    png_write_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

} // namespace

bool WritePng(const std::string& path, int width, int height, int channels, int bitDepth,
              const std::uint8_t* pixels, std::string* reason) {
    const auto fail = [reason](const std::string& text) {
        if (reason != nullptr) {
            *reason = text;
        }
        return false;
    };
    if (width <= 0 || height <= 0 || channels < 1 || channels > 4 ||
        (bitDepth != 8 && bitDepth != 16) || pixels == nullptr) {
        return fail("unsupported image");
    }
    const std::size_t rowBytes =
        std::size_t(width) * std::size_t(channels) * std::size_t(bitDepth / 8);
    std::vector<png_bytep> rows(static_cast<std::size_t>(height));
    for (int row = 0; row < height; ++row) {
        rows[std::size_t(row)] = const_cast<png_bytep>(pixels + std::size_t(row) * rowBytes);
    }
    const std::string temporary = path + ".part";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return fail("cannot write " + temporary);
    }
    char error[kPngErrorTextSize] = "cannot encode the image";
    const bool written = WriteRows(file, width, height, channels, bitDepth, rows.data(), error);
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return fail(written ? "cannot write " + path : std::string(error));
    }
    return true;
}

} // namespace MV
