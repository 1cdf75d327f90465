#include "platform/media/FrameScaler.h"

#include <algorithm>

extern "C" {
#include <libswscale/swscale.h>
}

namespace platform {

namespace {

struct CropRect {
    int32_t x = 0, y = 0, width = 0, height = 0;
};

// Centre crop of a src-sized image to the dst aspect ratio, on even coordinates (NV12 chroma).
CropRect trimRect(int32_t srcW, int32_t srcH, int32_t dstW, int32_t dstH) {
    CropRect r{0, 0, srcW, srcH};
    int64_t lhs = static_cast<int64_t>(srcW) * dstH;
    int64_t rhs = static_cast<int64_t>(dstW) * srcH;
    if (lhs > rhs) {
        r.width = static_cast<int32_t>(static_cast<int64_t>(srcH) * dstW / dstH) & ~1;
        r.x = ((srcW - r.width) / 2) & ~1;
    } else if (lhs < rhs) {
        r.height = static_cast<int32_t>(static_cast<int64_t>(srcW) * dstH / dstW) & ~1;
        r.y = ((srcH - r.height) / 2) & ~1;
    }
    r.width = std::max(r.width, 2);
    r.height = std::max(r.height, 2);
    return r;
}

}  // namespace

FrameScaler::FrameScaler(int32_t width, int32_t height) : width_(width), height_(height) {}

FrameScaler::~FrameScaler() {
    if (context_) sws_freeContext(context_);
}

const PixelBuffer* FrameScaler::scale(const PixelBuffer& image, bool trim) {
    if (image.pixelFormat() == PixelFormat::NV12VideoRange && image.width() == width_ && image.height() == height_) {
        return &image;
    }
    if (!output_) output_ = PixelBuffer::create(width_, height_, PixelFormat::NV12VideoRange);
    if (!output_) return nullptr;
    CropRect crop = trim ? trimRect(image.width(), image.height(), width_, height_)
                         : CropRect{0, 0, image.width(), image.height()};
    const uint8_t* src[4] = {nullptr, nullptr, nullptr, nullptr};
    int srcStride[4] = {0, 0, 0, 0};
    AVPixelFormat srcFormat;
    if (image.pixelFormat() == PixelFormat::NV12VideoRange) {
        srcFormat = AV_PIX_FMT_NV12;
        src[0] = image.planeData(0) + crop.y * image.bytesPerRow(0) + crop.x;
        src[1] = image.planeData(1) + (crop.y / 2) * image.bytesPerRow(1) + crop.x;
        srcStride[0] = static_cast<int>(image.bytesPerRow(0));
        srcStride[1] = static_cast<int>(image.bytesPerRow(1));
    } else {
        srcFormat = AV_PIX_FMT_BGRA;
        src[0] = image.planeData(0) + crop.y * image.bytesPerRow(0) + crop.x * 4;
        srcStride[0] = static_cast<int>(image.bytesPerRow(0));
    }
    context_ = sws_getCachedContext(context_, crop.width, crop.height, srcFormat, width_, height_, AV_PIX_FMT_NV12,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context_) return nullptr;
    uint8_t* dst[4] = {output_->planeData(0), output_->planeData(1), nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(output_->bytesPerRow(0)), static_cast<int>(output_->bytesPerRow(1)), 0, 0};
    if (sws_scale(context_, src, srcStride, 0, crop.height, dst, dstStride) != height_) return nullptr;
    return output_.get();
}

}  // namespace platform
