#pragma once
// Brings images of any size in either pixel format to one size, as the encoder takes them:
// stretched, or (trimming) filled keeping the aspect ratio with the overflow cropped evenly from
// both sides.
#include <cstdint>
#include <vector>

#include "platform/media/PixelBuffer.h"

struct SwsContext;

namespace platform {

class FrameScaler {
public:
    // What the encoder reads: NV12 (two planes) or, once converted, planar 4:2:0 (three planes),
    // which the encoder interleaves itself more cheaply than the scaler would.
    struct Planes {
        int count = 0;
        const uint8_t* data[3] = {nullptr, nullptr, nullptr};
        int stride[3] = {0, 0, 0};
    };

    FrameScaler(int32_t width, int32_t height);
    ~FrameScaler();
    FrameScaler(const FrameScaler&) = delete;
    FrameScaler& operator=(const FrameScaler&) = delete;

    // The image's own planes when it already fits, else those of a converted copy that stays
    // valid until the next call. False when the conversion fails.
    bool scale(const PixelBuffer& image, bool trim, Planes& planes);

private:
    const int32_t width_;
    const int32_t height_;
    SwsContext* context_ = nullptr;
    std::vector<uint8_t> output_;
};

}  // namespace platform
