#pragma once
// An RGBA colour, components in [0, 1].

namespace platform {

struct Color {
    double red = 0;
    double green = 0;
    double blue = 0;
    double alpha = 0;

    static Color clearColor() { return {0, 0, 0, 0}; }
    static Color whiteColor() { return {1, 1, 1, 1}; }
    static Color blueColor() { return {0, 0, 1, 1}; }
    bool operator==(const Color&) const = default;
};

}  // namespace platform
