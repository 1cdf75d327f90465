#pragma once
// One way a camera can run: a pixel layout and frame size, the frame rates it offers, and its
// zoom limit.
#include <cstdint>
#include <vector>

#include "kestrune/platform/media/MediaTime.h"
#include "kestrune/platform/media/PixelBuffer.h"

namespace platform {

struct FrameRateRange {
    double minFrameRate = 0;
    double maxFrameRate = 0;
    MediaTime minFrameDuration;  // 1 / maxFrameRate
    MediaTime maxFrameDuration;  // 1 / minFrameRate

    // Durations from rates given as frames per `timeScale`-ths of a second, e.g. 30000/1001.
    static FrameRateRange make(double minFrameRate, double maxFrameRate);
    bool operator==(const FrameRateRange&) const = default;
};

struct CaptureDeviceFormat {
    // What the frames handed on are ('420v'); a backend may convert to it.
    uint32_t mediaSubType = static_cast<uint32_t>(PixelFormat::NV12VideoRange);
    int32_t width = 0;
    int32_t height = 0;
    std::vector<FrameRateRange> videoSupportedFrameRateRanges;
    double videoMaxZoomFactor = 1.0;
    bool videoHDRSupported = false;
    // The backend's own layout behind this format (a V4L2 four-cc), 0 for synthetic formats.
    uint32_t nativePixelFormat = 0;
    // The backend decodes each frame (MJPEG): costlier than an uncompressed layout of the same size.
    bool compressed = false;

    bool operator==(const CaptureDeviceFormat&) const = default;
};

}  // namespace platform
