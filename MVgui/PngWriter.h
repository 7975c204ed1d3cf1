// Writes images as PNG files (window screenshots, generated skin images).
#pragma once

#include <cstdint>
#include <string>

namespace MV {

// pixels: rows top first, `channels` samples per pixel (1 grey, 2 grey and alpha, 3 RGB,
// 4 RGBA) of bitDepth 8 or 16 bits (16-bit samples big-endian, as PNG stores them). The file
// is written next to path and renamed over it. False, with the reason, on any failure.
bool WritePng(const std::string& path, int width, int height, int channels, int bitDepth,
              const std::uint8_t* pixels, std::string* reason = nullptr);

} // namespace MV
