#pragma once
// A camera as a session input. Made only of a device that can be opened now.
#include <memory>

#include "platform/capture/CaptureError.h"

namespace platform {

class CaptureDevice;

class CaptureDeviceInput {
public:
    // Null, with the reason in `error` when given, when the device can't be opened.
    static std::shared_ptr<CaptureDeviceInput> deviceInputWithDevice(std::shared_ptr<CaptureDevice> device,
                                                                     CaptureError* error = nullptr);

    const std::shared_ptr<CaptureDevice>& device() const { return device_; }

private:
    explicit CaptureDeviceInput(std::shared_ptr<CaptureDevice> device) : device_(std::move(device)) {}
    const std::shared_ptr<CaptureDevice> device_;
};

}  // namespace platform
