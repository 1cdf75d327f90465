#pragma once
// A picture in memory: 8-bit red, green, blue and alpha per pixel, rows top to bottom.
#include <cstddef>
#include <cstdint>
#include <vector>

struct KNImage {
    int32_t width = 0;
    int32_t height = 0;
    size_t bytesPerRow = 0;
    std::vector<uint8_t> rgba;

    // The pixel at (x, y) as {r, g, b, a}; no bounds checks.
    const uint8_t* pixel(int32_t x, int32_t y) const {
        return rgba.data() + static_cast<size_t>(y) * bytesPerRow + static_cast<size_t>(x) * 4;
    }
};
