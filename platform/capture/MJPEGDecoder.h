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

    // Null when the bytes aren't one whole image of this size.
    std::shared_ptr<PixelBuffer> decode(const uint8_t* data, size_t bytes, int32_t width, int32_t height);

private:
    AVCodecContext* context_ = nullptr;
    AVFrame* frame_ = nullptr;
    AVPacket* packet_ = nullptr;
    SwsContext* scaler_ = nullptr;
};

}  // namespace platform
