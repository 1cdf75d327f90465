#pragma once
// What a camera can do, asked of its formats at the moment of the call: frame rates, frame sizes,
// resolutions and capture presets. One operation, configureForHighestFrameRate, changes the device.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kestrune/KNTypes.h"
#include "kestrune/platform/Range.h"
#include "kestrune/platform/SessionPreset.h"
#include "kestrune/platform/capture/CaptureDevice.h"

// The range with the greatest maximum over all formats (the first among equals); none without
// one above 0.
std::optional<platform::FrameRateRange> bestSupportedFrameRateRange(const platform::CaptureDevice& device);
// {minimum rounded up, maximum rounded down} of that range; {0, 0} without one.
platform::Range bestSupportedFrameRateNSRange(const platform::CaptureDevice& device);
// The resolutions of the table whose frame the device has, in table order, repetitions kept.
std::vector<int64_t> supportedResolutions(const platform::CaptureDevice& device);
// One size per format, in format order.
std::vector<KNVideoFrameSize> supportedVideoFrameSizes(const platform::CaptureDevice& device);
// The first supported of High, 1920x1080, 1280x720, Medium, 640x480, 352x288, Low; Low when none is.
platform::SessionPreset bestSupportedSessionPreset(const platform::CaptureDevice& device);
// Inclusive bounds, the rate compared as a double.
bool isFrameRateSupported(const platform::CaptureDevice& device, int64_t frameRate);
// Either orientation matches: 720x1280 is supported by a 1280x720 format.
bool isVideoFrameSizeSupported(const platform::CaptureDevice& device, KNVideoFrameSize size);
bool isResolutionSupported(const platform::CaptureDevice& device, int64_t resolution);
// The format holding the fastest range becomes active at that range's fastest rate.
void configureForHighestFrameRate(platform::CaptureDevice& device);
