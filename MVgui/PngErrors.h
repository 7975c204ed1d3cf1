// libpng's message callbacks for the toolkit's PNG reader and writer. An error never returns to
// libpng (which would abort): it jumps back to the caller's setjmp, leaving libpng's text in the
// buffer given as the error pointer. Warnings are dropped.
#pragma once

#include <cstdio>

#include <png.h>

namespace MV {

constexpr int kPngErrorTextSize = 128;

[[noreturn]] inline void PngError(png_structp png, png_const_charp message) {
    if (auto* text = static_cast<char*>(png_get_error_ptr(png))) {
        std::snprintf(text, kPngErrorTextSize, "%s", message != nullptr ? message : "");
    }
    png_longjmp(png, 1);
}

inline void PngWarning(png_structp /*png*/, png_const_charp /*message*/) {}

} // namespace MV
