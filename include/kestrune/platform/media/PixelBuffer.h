#pragma once
// An uncompressed image in one of the two layouts the pipeline uses: bi-planar 4:2:0 video range
// ('420v', camera frames) and packed BGRA ('BGRA', host images).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kestrune/platform/media/MediaStatus.h"

namespace platform {

enum class PixelFormat : uint32_t {
    NV12VideoRange = fourCC("420v"),
    BGRA = fourCC("BGRA"),
};

class PixelBuffer {
public:
    // Width and height must be positive and, for NV12, even. The image starts black.
    static std::shared_ptr<PixelBuffer> create(int32_t width, int32_t height, PixelFormat format);

    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;
    ~PixelBuffer();

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    PixelFormat pixelFormat() const { return format_; }

    // NV12: plane 0 is luma, plane 1 interleaved Cb/Cr at half size. BGRA: one plane.
    size_t planeCount() const { return format_ == PixelFormat::NV12VideoRange ? 2 : 1; }
    uint8_t* planeData(size_t plane);
    const uint8_t* planeData(size_t plane) const;
    size_t bytesPerRow(size_t plane) const;
    int32_t planeWidth(size_t plane) const;
    int32_t planeHeight(size_t plane) const;

private:
    PixelBuffer(int32_t width, int32_t height, PixelFormat format);

    int32_t width_;
    int32_t height_;
    PixelFormat format_;
    size_t stride_[2] = {0, 0};
    size_t offset_[2] = {0, 0};
    uint8_t* storage_ = nullptr;
};

}  // namespace platform
