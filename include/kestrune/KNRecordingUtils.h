#pragma once
// Turns a camera frame into an image of its full width and height (BT.601 video range, as the
// camera delivers). Stateless.
#include <cstdint>
#include <memory>

#include "kestrune/KNImage.h"

namespace platform {
class PixelBuffer;
class SampleBuffer;
}  // namespace platform

class KNRecordingUtils {
public:
    static std::shared_ptr<KNRecordingUtils> recordingUtils() { return std::make_shared<KNRecordingUtils>(); }

    // The orientation does not turn or tag the picture. Null for a buffer without a picture.
    std::shared_ptr<KNImage> imageFromSampleBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer,
                                                   int64_t orientation) const;
    // NV12 or BGRA; null for anything else.
    std::shared_ptr<KNImage> screenshotOfVideoStream(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) const;
};
