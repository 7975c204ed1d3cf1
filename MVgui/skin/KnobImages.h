// The default skin's knob images, drawn here rather than by hand so that they can be made again
// at any resolution: one texture holding three value rings (amber, teal and violet faces, one per
// kind of control) and the dim track the rest of a knob shows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace MV::skin {

// An RGBA image, rows top first, straight (not premultiplied) alpha.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgba;
};

// The knob texture: square images of side `side` pixels in one row, each in the middle of a
// slot twice as wide, since a knob samples its image out to the circle around the image's
// square: the faces at x = side / 2, 5 side / 2 and 9 side / 2, the track at 13 side / 2
// (y = 0 for all). side 64 is the normal texture (512 x 64), 128 its double-resolution variant.
Image DrawKnobTexture(int side);

// The files the skin ships, their image sides, and where they go.
struct SkinFile {
    const char* name;
    int side;
};
constexpr SkinFile kSkinFiles[] = {{"knob.png", 64}, {"knob_hi.png", 128}};

// Writes every skin file into folder; false with the reason on the first failure.
bool WriteSkinImages(const std::string& folder, std::string& reason);

} // namespace MV::skin
