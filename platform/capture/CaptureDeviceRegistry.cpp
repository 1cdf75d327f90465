#include "platform/capture/CaptureDeviceRegistry.h"

#include <cstdlib>

#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/capture/V4L2CaptureDevice.h"

namespace platform {

CaptureDeviceRegistry& CaptureDeviceRegistry::shared() {
    static CaptureDeviceRegistry registry;
    return registry;
}

std::vector<std::shared_ptr<CaptureDevice>> CaptureDeviceRegistry::devices() {
    std::lock_guard lock(mutex_);
    if (devices_) return *devices_;
    const char* chosen = std::getenv("KESTRUNE_CAPTURE_BACKEND");
    std::vector<std::shared_ptr<CaptureDevice>> found;
    // The test pattern only when asked for: a camera that can't be opened is no camera, never a
    // reason to stream a picture nobody filmed.
    if (chosen && std::string(chosen) == "synthetic") {
        backend_ = "synthetic";
        found = {SyntheticCaptureDevice::phoneBackCamera(), SyntheticCaptureDevice::phoneFrontCamera()};
    } else {
        backend_ = "v4l2";
        for (auto& device : V4L2CaptureDevice::scan()) found.push_back(device);
    }
    devices_ = found;
    return found;
}

std::string CaptureDeviceRegistry::backend() {
    devices();
    std::lock_guard lock(mutex_);
    return backend_;
}

void CaptureDeviceRegistry::setDevices(std::vector<std::shared_ptr<CaptureDevice>> devices) {
    std::lock_guard lock(mutex_);
    devices_ = std::move(devices);
    backend_ = "host";
}

void CaptureDeviceRegistry::reset() {
    std::lock_guard lock(mutex_);
    devices_.reset();
    backend_.clear();
}

}  // namespace platform
