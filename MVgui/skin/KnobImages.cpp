#include "KnobImages.h"

#include <algorithm>
#include <cmath>

#include "PngWriter.h"

namespace MV::skin {

namespace {

struct Colour {
    float r, g, b;
};

// The three face colours, then the track's.
constexpr Colour kFaces[] = {{1.00f, 0.60f, 0.16f}, {0.20f, 0.76f, 0.88f}, {0.68f, 0.52f, 1.00f}};
constexpr Colour kTrack{0.25f, 0.27f, 0.31f};
constexpr Colour kPointer{0.94f, 0.95f, 0.97f};

// Radii as fractions of half the image side: the ring the value lights, and the pointer line
// inside it. The knob's box is the image's square, so 1 is the box's edge.
constexpr float kRingInner = 0.70f;
constexpr float kRingOuter = 0.94f;
constexpr float kPointerInner = 0.24f;
constexpr float kPointerOuter = 0.58f;
// The pointer is drawn on the clockwise side of the image's lower-right diagonal, where the
// knob's pointer strip samples it; this wide (in pixels of a 64-pixel image) covers the strip
// of knobs down to 32 units.
constexpr float kPointerWidth = 6.0f / 32.0f;

// Samples per pixel side: edges are the coverage of 8 x 8 samples.
constexpr int kSamples = 8;

// What one sample of an image shows: a colour and whether anything is there.
struct Sample {
    Colour colour;
    bool covered;
};

// x, y from the image centre in units of half the side, y growing downwards as in the file.
Sample FaceSample(float x, float y, const Colour& face) {
    const float radius = std::sqrt(x * x + y * y);
    // Along the lower-right diagonal, and across it towards the lower left.
    const float along = (x + y) * 0.70710677f;
    const float across = (y - x) * 0.70710677f;
    if (along >= kPointerInner && along <= kPointerOuter && across >= 0.0f &&
        across <= kPointerWidth) {
        return {kPointer, true};
    }
    if (radius >= kRingInner && radius <= kRingOuter) {
        return {face, true};
    }
    return {face, false};
}

Sample TrackSample(float x, float y) {
    const float radius = std::sqrt(x * x + y * y);
    return {kTrack, radius >= kRingInner && radius <= kRingOuter};
}

std::uint8_t Byte(float value) {
    return std::uint8_t(std::lround(std::clamp(value, 0.0f, 1.0f) * 255.0f));
}

// Draws one square image at (left, 0) of the texture.
template <class Shade> void DrawSquare(Image& image, int left, int side, Shade shade) {
    const float half = float(side) / 2.0f;
    for (int py = 0; py < side; ++py) {
        for (int px = 0; px < side; ++px) {
            float r = 0.0f;
            float g = 0.0f;
            float b = 0.0f;
            int covered = 0;
            Colour fallback{};
            for (int sy = 0; sy < kSamples; ++sy) {
                for (int sx = 0; sx < kSamples; ++sx) {
                    const float x = (float(px) + (float(sx) + 0.5f) / kSamples - half) / half;
                    const float y = (float(py) + (float(sy) + 0.5f) / kSamples - half) / half;
                    const Sample sample = shade(x, y);
                    fallback = sample.colour;
                    if (sample.covered) {
                        r += sample.colour.r;
                        g += sample.colour.g;
                        b += sample.colour.b;
                        ++covered;
                    }
                }
            }
            // Uncovered pixels keep a colour of their image, so that filtering at the edges
            // blends towards it rather than towards black.
            const Colour colour =
                covered > 0 ? Colour{r / float(covered), g / float(covered), b / float(covered)}
                            : fallback;
            std::uint8_t* out =
                image.rgba.data() +
                (std::size_t(py) * std::size_t(image.width) + std::size_t(left + px)) * 4;
            out[0] = Byte(colour.r);
            out[1] = Byte(colour.g);
            out[2] = Byte(colour.b);
            out[3] = Byte(float(covered) / float(kSamples * kSamples));
        }
    }
}

} // namespace

Image DrawKnobTexture(int side) {
    Image image;
    image.width = 8 * side;
    image.height = side;
    image.rgba.assign(std::size_t(image.width) * std::size_t(image.height) * 4, 0);
    for (int i = 0; i < 3; ++i) {
        const Colour face = kFaces[i];
        DrawSquare(image, (4 * i + 1) * side / 2, side,
                   [&face](float x, float y) { return FaceSample(x, y, face); });
    }
    DrawSquare(image, 13 * side / 2, side, &TrackSample);
    return image;
}

bool WriteSkinImages(const std::string& folder, std::string& reason) {
    for (const SkinFile& file : kSkinFiles) {
        const Image image = DrawKnobTexture(file.side);
        if (!WritePng(folder + "/" + file.name, image.width, image.height, 4, 8, image.rgba.data(),
                      &reason)) {
            return false;
        }
    }
    return true;
}

} // namespace MV::skin
