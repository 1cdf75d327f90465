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

bool FrameScaler::scale(const PixelBuffer& image, bool trim, Planes& planes) {
    if (image.pixelFormat() == PixelFormat::NV12VideoRange && image.width() == width_ && image.height() == height_) {
        planes.count = 2;
        for (size_t plane = 0; plane < 2; ++plane) {
            planes.data[plane] = image.planeData(plane);
            planes.stride[plane] = static_cast<int>(image.bytesPerRow(plane));
        }
        return true;
    }
    const size_t lumaSize = static_cast<size_t>(width_) * static_cast<size_t>(height_);
    const int chromaWidth = (width_ + 1) / 2;
    const size_t chromaSize = static_cast<size_t>(chromaWidth) * static_cast<size_t>((height_ + 1) / 2);
    output_.resize(lumaSize + 2 * chromaSize);
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
    context_ = sws_getCachedContext(context_, crop.width, crop.height, srcFormat, width_, height_, AV_PIX_FMT_YUV420P,
                                    SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!context_) return false;
    uint8_t* dst[4] = {output_.data(), output_.data() + lumaSize, output_.data() + lumaSize + chromaSize, nullptr};
    int dstStride[4] = {width_, chromaWidth, chromaWidth, 0};
    if (sws_scale(context_, src, srcStride, 0, crop.height, dst, dstStride) != height_) return false;
    planes.count = 3;
    for (size_t plane = 0; plane < 3; ++plane) {
        planes.data[plane] = dst[plane];
        planes.stride[plane] = dstStride[plane];
    }
    return true;
}

}  // namespace platform
