#include "platform/capture/CaptureConnection.h"

namespace platform {

bool CaptureConnection::setVideoOrientation(CaptureVideoOrientation orientation) {
    const auto value = static_cast<int64_t>(orientation);
    if (value < 1 || value > 4) return false;
    orientation_.store(orientation);
    return true;
}

int CaptureConnection::quarterTurnsFor(CaptureVideoOrientation orientation) {
    switch (orientation) {
    case CaptureVideoOrientation::Portrait:
        return 1;
    case CaptureVideoOrientation::LandscapeLeft:
        return 2;
    case CaptureVideoOrientation::PortraitUpsideDown:
        return 3;
    case CaptureVideoOrientation::LandscapeRight:
        break;
    }
    return 0;
}

}  // namespace platform
