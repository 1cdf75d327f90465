#pragma once
// How frames leave for one consumer: the orientation they are turned to (the sensor's own is
// landscape right) and whether they are mirrored. Read by the capture thread for every frame.
#include <atomic>
#include <memory>

#include "kestrune/platform/capture/CaptureTypes.h"

namespace platform {

class CaptureConnection {
public:
    static std::shared_ptr<CaptureConnection> create() { return std::shared_ptr<CaptureConnection>(new CaptureConnection()); }

    bool isVideoOrientationSupported() const { return true; }
    CaptureVideoOrientation videoOrientation() const { return orientation_.load(); }
    // A value outside 1-4 is refused.
    bool setVideoOrientation(CaptureVideoOrientation orientation);
    bool isVideoMirroringSupported() const { return true; }
    bool isVideoMirrored() const { return mirrored_.load(); }
    void setVideoMirrored(bool mirrored) { mirrored_.store(mirrored); }

    // Clockwise quarter turns from the sensor's orientation to this connection's.
    static int quarterTurnsFor(CaptureVideoOrientation orientation);

private:
    CaptureConnection() = default;
    std::atomic<CaptureVideoOrientation> orientation_{CaptureVideoOrientation::LandscapeRight};
    std::atomic<bool> mirrored_{false};
};

}  // namespace platform
