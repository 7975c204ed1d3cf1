// Geometry, colours, modifier bits and key codes of the editor toolkit.
#pragma once

#include <algorithm>

// A mouse position in window units, y growing upwards from the bottom-left corner.
struct CGPoint {
    double x = 0.0;
    double y = 0.0;
};

namespace MV {

// Modifier bits as the view delivers them; no other bit is tested.
enum : unsigned {
    kModifierCommand = 0x100,
    kModifierShift = 0x200,
    kModifierOption = 0x800,
};

// Key codes handed to the keyboard focus: printable characters are their own bytes.
enum : unsigned char {
    kKeyEnter = 3,
    kKeyBackspace = 8,
    kKeyReturn = 13,
    kKeyLeft = 28,
    kKeyRight = 29,
    kKeyUp = 30,
    kKeyDown = 31,
};

// An RGBA colour, each component 0 to 1.
struct Vec4 {
    float r = 0.0f;
    float g = 0.0f;
    float b = 0.0f;
    float a = 0.0f;

    bool operator==(const Vec4&) const = default;
};

// A box in three dimensions; z is carried along but never tested.
struct Bounds {
    static constexpr float kEmptyMin = 1e10f;
    static constexpr float kEmptyMax = -1e10f;

    float min[3] = {kEmptyMin, kEmptyMin, kEmptyMin};
    float max[3] = {kEmptyMax, kEmptyMax, kEmptyMax};

    Bounds() = default;
    Bounds(float x0, float y0, float x1, float y1) : min{x0, y0, 0.0f}, max{x1, y1, 0.0f} {}

    bool IsEmpty() const { return min[0] > max[0] || min[1] > max[1]; }

    // The component-wise union with other.
    void Expand(const Bounds& other) {
        for (int i = 0; i < 3; ++i) {
            min[i] = std::min(min[i], other.min[i]);
            max[i] = std::max(max[i], other.max[i]);
        }
    }

    void Offset(float dx, float dy, float dz) {
        min[0] += dx;
        min[1] += dy;
        min[2] += dz;
        max[0] += dx;
        max[1] += dy;
        max[2] += dz;
    }

    // Edges included; x and y only.
    bool Contains(double x, double y) const {
        return x >= min[0] && x <= max[0] && y >= min[1] && y <= max[1];
    }

    float Width() const { return max[0] - min[0]; }
    float Height() const { return max[1] - min[1]; }
};

} // namespace MV
