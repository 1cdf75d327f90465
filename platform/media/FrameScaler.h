#pragma once
// Brings images of any size in either pixel format to one size in NV12, as the encoder takes
// them: stretched, or (trimming) filled keeping the aspect ratio with the overflow cropped evenly
// from both sides.
#include <cstdint>
#include <memory>

#include "platform/media/PixelBuffer.h"

struct SwsContext;

namespace platform {

class FrameScaler {
public:
    FrameScaler(int32_t width, int32_t height);
    ~FrameScaler();
    FrameScaler(const FrameScaler&) = delete;
    FrameScaler& operator=(const FrameScaler&) = delete;

    // The image itself when it already fits, else a converted copy that stays valid until the
    // next call. Null when the conversion fails.
    const PixelBuffer* scale(const PixelBuffer& image, bool trim);

private:
    const int32_t width_;
    const int32_t height_;
    SwsContext* context_ = nullptr;
    std::shared_ptr<PixelBuffer> output_;
};

}  // namespace platform
