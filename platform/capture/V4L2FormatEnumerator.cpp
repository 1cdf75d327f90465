#include "platform/capture/V4L2FormatEnumerator.h"

#include <linux/videodev2.h>

#include <limits>

namespace platform {

namespace {

// Drivers answer EINVAL past their last entry; a broken one is cut off here.
constexpr uint32_t kMaxEntries = 256;

struct Size2 {
    uint32_t width;
    uint32_t height;
};

// The frames the video parameter tables name, smallest first.
constexpr Size2 kStandardSizes[] = {{192, 144},  {256, 144},  {320, 240},   {352, 288},   {426, 240},
                                    {480, 360},  {640, 360},  {640, 480},   {854, 480},   {960, 540},
                                    {1280, 720}, {1920, 1080}, {2560, 1440}, {3840, 2160}, {7680, 4320}};

bool onSteps(uint32_t value, uint32_t min, uint32_t max, uint32_t step) {
    if (value < min || value > max) return false;
    return step == 0 || (value - min) % step == 0;
}

std::vector<Size2> sizesOf(V4L2Io& io, int fd, uint32_t pixelFormat) {
    std::vector<Size2> sizes;
    for (uint32_t index = 0; index < kMaxEntries; ++index) {
        v4l2_frmsizeenum size{};
        size.index = index;
        size.pixel_format = pixelFormat;
        if (io.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
        if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
            sizes.push_back({size.discrete.width, size.discrete.height});
            continue;
        }
        const auto& s = size.stepwise;
        const uint32_t stepW = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS ? 1 : s.step_width;
        const uint32_t stepH = size.type == V4L2_FRMSIZE_TYPE_CONTINUOUS ? 1 : s.step_height;
        for (const Size2& standard : kStandardSizes) {
            if (onSteps(standard.width, s.min_width, s.max_width, stepW) &&
                onSteps(standard.height, s.min_height, s.max_height, stepH)) {
                sizes.push_back(standard);
            }
        }
        break;  // a stepwise or continuous answer is the only one
    }
    return sizes;
}

// An interval of n/d seconds as a duration; none for a zero part.
MediaTime durationOf(const v4l2_fract& interval) {
    if (interval.numerator == 0 || interval.denominator == 0) return MediaTime::invalid();
    if (interval.denominator <= static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
        return MediaTime::make(interval.numerator, static_cast<int32_t>(interval.denominator));
    }
    return MediaTime::makeWithSeconds(static_cast<double>(interval.numerator) / interval.denominator, 1000000000);
}

FrameRateRange rangeOf(const v4l2_fract& shortest, const v4l2_fract& longest) {
    FrameRateRange range;
    range.minFrameDuration = durationOf(shortest);
    range.maxFrameDuration = durationOf(longest);
    range.maxFrameRate = static_cast<double>(shortest.denominator) / shortest.numerator;
    range.minFrameRate = static_cast<double>(longest.denominator) / longest.numerator;
    return range;
}

std::vector<FrameRateRange> rangesOf(V4L2Io& io, int fd, uint32_t pixelFormat, const Size2& size) {
    std::vector<FrameRateRange> ranges;
    for (uint32_t index = 0; index < kMaxEntries; ++index) {
        v4l2_frmivalenum interval{};
        interval.index = index;
        interval.pixel_format = pixelFormat;
        interval.width = size.width;
        interval.height = size.height;
        if (io.ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) != 0) break;
        if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
            if (!durationOf(interval.discrete).isValid()) continue;
            ranges.push_back(rangeOf(interval.discrete, interval.discrete));
            continue;
        }
        const auto& s = interval.stepwise;
        if (durationOf(s.min).isValid() && durationOf(s.max).isValid()) ranges.push_back(rangeOf(s.min, s.max));
        break;
    }
    return ranges;
}

}  // namespace

bool V4L2FormatEnumerator::convertible(uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_MJPEG:
        return true;
    default:
        return false;
    }
}

std::vector<CaptureDeviceFormat> V4L2FormatEnumerator::formats(V4L2Io& io, int fd) {
    std::vector<CaptureDeviceFormat> formats;
    for (uint32_t index = 0; index < kMaxEntries; ++index) {
        v4l2_fmtdesc description{};
        description.index = index;
        description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (io.ioctl(fd, VIDIOC_ENUM_FMT, &description) != 0) break;
        if (!convertible(description.pixelformat)) continue;
        for (const Size2& size : sizesOf(io, fd, description.pixelformat)) {
            // NV12 needs even sides, and the pixel buffers a bound.
            if (size.width == 0 || size.height == 0 || size.width % 2 || size.height % 2) continue;
            if (size.width > 16384 || size.height > 16384) continue;
            CaptureDeviceFormat format;
            format.width = static_cast<int32_t>(size.width);
            format.height = static_cast<int32_t>(size.height);
            format.nativePixelFormat = description.pixelformat;
            format.compressed = description.pixelformat == V4L2_PIX_FMT_MJPEG;
            format.videoSupportedFrameRateRanges = rangesOf(io, fd, description.pixelformat, size);
            formats.push_back(std::move(format));
        }
    }
    return formats;
}

}  // namespace platform
