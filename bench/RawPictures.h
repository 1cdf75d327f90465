#pragma once
// The raw pictures the video benches feed to both sides: the same NV12 frames, in memory for
// KNH264Encoder and packed for ffmpeg's standard input.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/PixelBuffer.h"

namespace knbench {

// A camera-like picture: moving gradients and bars, with a little sensor noise unless `noise` is
// false (much less work for the encoder, so what comes after it shows).
inline std::shared_ptr<platform::PixelBuffer> picture(int index, int32_t width, int32_t height, bool noise = true) {
    auto frame = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12VideoRange);
    uint32_t seed = 0x9E3779B9u * uint32_t(index + 1);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = frame->planeData(0) + y * frame->bytesPerRow(0);
        for (int32_t x = 0; x < width; ++x) {
            seed = seed * 1664525u + 1013904223u;
            int v = 16 + ((x / 2 + y + 6 * index) % 200) + (noise ? int(seed >> 29) - 4 : 0);
            if (((x + 12 * index) / 80) % 3 == 0) v += 30;
            row[x] = uint8_t(v < 16 ? 16 : (v > 235 ? 235 : v));
        }
    }
    for (int32_t y = 0; y < height / 2; ++y) {
        uint8_t* row = frame->planeData(1) + y * frame->bytesPerRow(1);
        for (int32_t x = 0; x < width / 2; ++x) {
            row[2 * x] = uint8_t(96 + (x + index) % 64);
            row[2 * x + 1] = uint8_t(96 + (y + 2 * index) % 64);
        }
    }
    return frame;
}

inline std::vector<uint8_t> packed(const platform::PixelBuffer& frame) {
    std::vector<uint8_t> bytes;
    bytes.reserve(size_t(frame.width()) * size_t(frame.height()) * 3 / 2);
    for (size_t plane = 0; plane < 2; ++plane) {
        for (int32_t y = 0; y < frame.planeHeight(plane); ++y) {
            const uint8_t* row = frame.planeData(plane) + y * frame.bytesPerRow(plane);
            bytes.insert(bytes.end(), row, row + frame.width());
        }
    }
    return bytes;
}

}  // namespace knbench
