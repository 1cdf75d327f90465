#pragma once
// Reads what a V4L2 camera offers (pixel formats x frame sizes x frame intervals) and maps it to
// capture formats with frame-rate ranges. Only layouts the camera can hand on as NV12 are kept.
#include <cstdint>
#include <vector>

#include "platform/capture/CaptureDeviceFormat.h"
#include "platform/capture/V4L2Io.h"

namespace platform {

class V4L2FormatEnumerator {
public:
    // In the driver's order: for each pixel format, each size, one range per discrete interval
    // (minimum = maximum) or one range for a stepwise or continuous span. Stepwise and continuous
    // sizes give the standard frame sizes that fall on their steps.
    static std::vector<CaptureDeviceFormat> formats(V4L2Io& io, int fd);
    static bool convertible(uint32_t pixelFormat);
};

}  // namespace platform
