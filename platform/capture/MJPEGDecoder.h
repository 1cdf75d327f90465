#pragma once
// Decodes the JPEG images a webcam sends in its MJPEG formats into NV12 (video range).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/media/PixelBuffer.h"

struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct SwsContext;

namespace platform {

class MJPEGDecoder {
public:
    MJPEGDecoder();
    ~MJPEGDecoder();
    MJPEGDecoder(const MJPEGDecoder&) = delete;
    MJPEGDecoder& operator=(const MJPEGDecoder&) = delete;

    // The image at width x height (scaled when the camera sent another size); null when the bytes
    // aren't one whole image.
    std::shared_ptr<PixelBuffer> decode(const uint8_t* data, size_t bytes, int32_t width, int32_t height);

private:
    struct ScalerKey {
        int sourceWidth = 0;
        int sourceHeight = 0;
        int sourceFormat = 0;
        int width = 0;
        int height = 0;
        bool fullRange = false;
        bool operator==(const ScalerKey&) const = default;
    };
    static SwsContext* makeScaler(const ScalerKey& key);

    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
    ScalerKey scalerKey_;
};

}  // namespace platform
