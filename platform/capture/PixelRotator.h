#pragma once
// Turns NV12 frames by quarter turns and mirrors them, on libyuv's SIMD plane turns: a quarter
// turn of a frame costs about two plain copies of it.
#include <memory>

#include "platform/media/PixelBuffer.h"

namespace platform {

class PixelRotator {
public:
    // `quarterTurns` clockwise (0-3), then a left-right mirror when asked. Null for a format other
    // than NV12 or when the buffer can't be made.
    static std::shared_ptr<PixelBuffer> rotate(const PixelBuffer& source, int quarterTurns, bool mirrored);
};

}  // namespace platform
