#include "capture/KNCaptureDeviceCapabilities.h"

#include <cmath>

#include "core/KNNumeric.h"
#include "core/KNUtils.h"

namespace {

struct Best {
    const platform::CaptureDeviceFormat* format = nullptr;
    const platform::FrameRateRange* range = nullptr;
};

Best fastest(const platform::CaptureDevice& device) {
    Best best;
    double bestMax = 0.0;
    for (const auto& format : device.formats()) {
        for (const auto& range : format.videoSupportedFrameRateRanges) {
            if (range.maxFrameRate > bestMax) {
                bestMax = range.maxFrameRate;
                best = {&format, &range};
            }
        }
    }
    return best;
}

}  // namespace

std::optional<platform::FrameRateRange> bestSupportedFrameRateRange(const platform::CaptureDevice& device) {
    const Best best = fastest(device);
    if (!best.range) return std::nullopt;
    return *best.range;
}

platform::Range bestSupportedFrameRateNSRange(const platform::CaptureDevice& device) {
    auto best = bestSupportedFrameRateRange(device);
    if (!best) return {0, 0};
    return {KNSaturatingCast<uint64_t>(std::ceil(best->minFrameRate)),
            KNSaturatingCast<uint64_t>(std::floor(best->maxFrameRate))};
}

std::vector<int64_t> supportedResolutions(const platform::CaptureDevice& device) {
    std::vector<int64_t> supported;
    for (int64_t resolution : KNUtils::utils()->allResolutions()) {
        if (isResolutionSupported(device, resolution)) supported.push_back(resolution);
    }
    return supported;
}

std::vector<KNVideoFrameSize> supportedVideoFrameSizes(const platform::CaptureDevice& device) {
    std::vector<KNVideoFrameSize> sizes;
    for (const auto& format : device.formats()) sizes.push_back(KNVideoFrameSizeMake(format.width, format.height));
    return sizes;
}

platform::SessionPreset bestSupportedSessionPreset(const platform::CaptureDevice& device) {
    using namespace platform;
    for (const char* preset : {kSessionPresetHigh, kSessionPreset1920x1080, kSessionPreset1280x720,
                               kSessionPresetMedium, kSessionPreset640x480, kSessionPreset352x288, kSessionPresetLow}) {
        if (device.supportsSessionPreset(preset)) return preset;
    }
    return kSessionPresetLow;
}

bool isFrameRateSupported(const platform::CaptureDevice& device, int64_t frameRate) {
    const double rate = static_cast<double>(frameRate);
    for (const auto& format : device.formats()) {
        for (const auto& range : format.videoSupportedFrameRateRanges) {
            if (range.minFrameRate <= rate && rate <= range.maxFrameRate) return true;
        }
    }
    return false;
}

bool isVideoFrameSizeSupported(const platform::CaptureDevice& device, KNVideoFrameSize size) {
    for (const auto& format : device.formats()) {
        const int64_t width = format.width;
        const int64_t height = format.height;
        if ((width == size.width && height == size.height) || (height == size.width && width == size.height)) {
            return true;
        }
    }
    return false;
}

bool isResolutionSupported(const platform::CaptureDevice& device, int64_t resolution) {
    return isVideoFrameSizeSupported(device, KNUtils::utils()->frameSizeForResolution(resolution));
}

void configureForHighestFrameRate(platform::CaptureDevice& device) {
    const Best best = fastest(device);
    if (!best.range || !device.lockForConfiguration()) return;
    device.setActiveFormat(*best.format);
    device.setActiveVideoMinFrameDuration(best.range->minFrameDuration);
    device.setActiveVideoMaxFrameDuration(best.range->minFrameDuration);
    device.unlockForConfiguration();
}
