#include "platform/capture/PixelRotator.h"

#include <libyuv/planar_functions.h>
#include <libyuv/rotate.h>

#include <cstddef>

namespace platform {

namespace {

libyuv::RotationMode modeFor(int quarterTurns) {
    switch (quarterTurns & 3) {
    case 1:
        return libyuv::kRotate90;
    case 2:
        return libyuv::kRotate180;
    case 3:
        return libyuv::kRotate270;
    default:
        return libyuv::kRotate0;
    }
}

// One plane of 1-byte (luma) or 2-byte (interleaved chroma) elements. `width` and `height` are
// the source's, in elements. A mirror after k quarter turns is the same as k + 2 turns written
// bottom row first, which libyuv does by a negative destination stride.
template <typename Element>
void turnPlane(const uint8_t* source, int sourceStride, uint8_t* output, int outputStride, int outputRows, int width,
               int height, int quarterTurns, bool mirrored) {
    constexpr int kSize = static_cast<int>(sizeof(Element));
    if (mirrored && (quarterTurns & 3) == 0) {
        if constexpr (kSize == 1) {
            libyuv::MirrorPlane(source, sourceStride, output, outputStride, width, height);
        } else {
            libyuv::MirrorUVPlane(source, sourceStride, output, outputStride, width, height);
        }
        return;
    }
    if (mirrored) {
        output += static_cast<ptrdiff_t>(outputRows - 1) * outputStride;
        outputStride = -outputStride;
        quarterTurns += 2;
    }
    const auto mode = modeFor(quarterTurns);
    if constexpr (kSize == 1) {
        libyuv::RotatePlane(source, sourceStride, output, outputStride, width, height, mode);
    } else {
        // Rows are 64-byte aligned, so a chroma pair is always a whole 16-bit element.
        libyuv::RotatePlane_16(reinterpret_cast<const uint16_t*>(source), sourceStride / kSize,
                               reinterpret_cast<uint16_t*>(output), outputStride / kSize, width, height, mode);
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
    turnPlane<uint8_t>(source.planeData(0), static_cast<int>(source.bytesPerRow(0)), output->planeData(0),
                       static_cast<int>(output->bytesPerRow(0)), output->planeHeight(0), source.planeWidth(0),
                       source.planeHeight(0), quarterTurns, mirrored);
    turnPlane<uint16_t>(source.planeData(1), static_cast<int>(source.bytesPerRow(1)), output->planeData(1),
                        static_cast<int>(output->bytesPerRow(1)), output->planeHeight(1), source.planeWidth(1),
                        source.planeHeight(1), quarterTurns, mirrored);
    return output;
}

}  // namespace platform
