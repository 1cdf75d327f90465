#include "platform/capture/PixelRotator.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace platform {

namespace {

constexpr int32_t kTile = 32;

struct Walk {
    ptrdiff_t origin = 0;  // byte offset in the source of the output's (0, 0)
    ptrdiff_t stepX = 0;   // source bytes per output column
    ptrdiff_t stepY = 0;   // source bytes per output row
};

Walk walkFor(int quarterTurns, bool mirrored, int32_t sourceWidth, int32_t sourceHeight, ptrdiff_t stride,
             ptrdiff_t elementBytes, int32_t outputWidth) {
    const ptrdiff_t lastX = (sourceWidth - 1) * elementBytes;
    const ptrdiff_t lastY = (sourceHeight - 1) * stride;
    Walk walk;
    switch (quarterTurns & 3) {
    case 0:
        walk = {0, elementBytes, stride};
        break;
    case 1:  // out(x, y) = in(y, h - 1 - x)
        walk = {lastY, -stride, elementBytes};
        break;
    case 2:
        walk = {lastY + lastX, -elementBytes, -stride};
        break;
    default:  // out(x, y) = in(w - 1 - y, x)
        walk = {lastX, stride, -elementBytes};
        break;
    }
    if (mirrored) {
        walk.origin += (outputWidth - 1) * walk.stepX;
        walk.stepX = -walk.stepX;
    }
    return walk;
}

template <size_t ElementBytes>
void copyPlane(const uint8_t* source, ptrdiff_t sourceStride, int32_t sourceWidth, int32_t sourceHeight,
               uint8_t* output, size_t outputStride, int32_t outputWidth, int32_t outputHeight, int quarterTurns,
               bool mirrored) {
    const Walk walk = walkFor(quarterTurns, mirrored, sourceWidth, sourceHeight, sourceStride, ElementBytes, outputWidth);
    for (int32_t tileY = 0; tileY < outputHeight; tileY += kTile) {
        const int32_t endY = std::min(tileY + kTile, outputHeight);
        for (int32_t tileX = 0; tileX < outputWidth; tileX += kTile) {
            const int32_t endX = std::min(tileX + kTile, outputWidth);
            for (int32_t y = tileY; y < endY; ++y) {
                const uint8_t* from = source + walk.origin + y * walk.stepY + tileX * walk.stepX;
                uint8_t* to = output + outputStride * static_cast<size_t>(y) + static_cast<size_t>(tileX) * ElementBytes;
                for (int32_t x = tileX; x < endX; ++x) {
                    std::memcpy(to, from, ElementBytes);
                    to += ElementBytes;
                    from += walk.stepX;
                }
            }
        }
    }
}

}  // namespace

std::shared_ptr<PixelBuffer> PixelRotator::rotate(const PixelBuffer& source, int quarterTurns, bool mirrored) {
    if (source.pixelFormat() != PixelFormat::NV12VideoRange) return nullptr;
    const bool swaps = (quarterTurns & 1) != 0;
    const int32_t width = swaps ? source.height() : source.width();
    const int32_t height = swaps ? source.width() : source.height();
    auto output = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
    if (!output) return nullptr;
    copyPlane<1>(source.planeData(0), static_cast<ptrdiff_t>(source.bytesPerRow(0)), source.planeWidth(0),
                 source.planeHeight(0), output->planeData(0), output->bytesPerRow(0), output->planeWidth(0),
                 output->planeHeight(0), quarterTurns, mirrored);
    copyPlane<2>(source.planeData(1), static_cast<ptrdiff_t>(source.bytesPerRow(1)), source.planeWidth(1),
                 source.planeHeight(1), output->planeData(1), output->bytesPerRow(1), output->planeWidth(1),
                 output->planeHeight(1), quarterTurns, mirrored);
    return output;
}

}  // namespace platform
