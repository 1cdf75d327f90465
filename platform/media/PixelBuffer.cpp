#include "platform/media/PixelBuffer.h"

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {
// Rows aligned for the encoder's SIMD loads.
constexpr size_t kRowAlignmentBytes = 64;

size_t alignUp(size_t n) { return (n + kRowAlignmentBytes - 1) / kRowAlignmentBytes * kRowAlignmentBytes; }
}  // namespace

std::shared_ptr<PixelBuffer> PixelBuffer::create(int32_t width, int32_t height, PixelFormat format) {
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
    if (format == PixelFormat::NV12VideoRange && (width % 2 != 0 || height % 2 != 0)) return nullptr;
    if (format != PixelFormat::NV12VideoRange && format != PixelFormat::BGRA) return nullptr;
    std::shared_ptr<PixelBuffer> buffer(new PixelBuffer(width, height, format));
    if (!buffer->storage_) return nullptr;
    return buffer;
}

PixelBuffer::PixelBuffer(int32_t width, int32_t height, PixelFormat format)
    : width_(width), height_(height), format_(format) {
    size_t total = 0;
    if (format == PixelFormat::NV12VideoRange) {
        stride_[0] = alignUp(static_cast<size_t>(width));
        stride_[1] = stride_[0];
        offset_[1] = stride_[0] * static_cast<size_t>(height);
        total = offset_[1] + stride_[1] * static_cast<size_t>(height / 2);
    } else {
        stride_[0] = alignUp(static_cast<size_t>(width) * 4);
        total = stride_[0] * static_cast<size_t>(height);
    }
    storage_ = static_cast<uint8_t*>(std::aligned_alloc(kRowAlignmentBytes, alignUp(total)));
    if (!storage_) return;
    if (format == PixelFormat::NV12VideoRange) {
        std::memset(storage_, 16, offset_[1]);  // video-range black
        std::memset(storage_ + offset_[1], 128, total - offset_[1]);
    } else {
        for (size_t i = 0; i < total; i += 4) {
            storage_[i] = storage_[i + 1] = storage_[i + 2] = 0;
            storage_[i + 3] = 255;
        }
    }
}

PixelBuffer::~PixelBuffer() { std::free(storage_); }

uint8_t* PixelBuffer::planeData(size_t plane) {
    return plane < planeCount() ? storage_ + offset_[plane] : nullptr;
}

const uint8_t* PixelBuffer::planeData(size_t plane) const {
    return plane < planeCount() ? storage_ + offset_[plane] : nullptr;
}

size_t PixelBuffer::bytesPerRow(size_t plane) const { return plane < planeCount() ? stride_[plane] : 0; }

int32_t PixelBuffer::planeWidth(size_t plane) const {
    if (plane >= planeCount()) return 0;
    return plane == 0 ? width_ : width_ / 2;
}

int32_t PixelBuffer::planeHeight(size_t plane) const {
    if (plane >= planeCount()) return 0;
    return plane == 0 ? height_ : height_ / 2;
}

}  // namespace platform
