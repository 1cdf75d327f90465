#include "platform/capture/CaptureDeviceInput.h"

#include "platform/capture/CaptureDevice.h"

namespace platform {

std::shared_ptr<CaptureDeviceInput> CaptureDeviceInput::deviceInputWithDevice(std::shared_ptr<CaptureDevice> device,
                                                                              CaptureError* error) {
    if (!device) {
        if (error) *error = {kCaptureErrorDeviceNotAvailable, "no device"};
        return nullptr;
    }
    if (!device->open(error)) return nullptr;
    return std::shared_ptr<CaptureDeviceInput>(new CaptureDeviceInput(std::move(device)));
}

}  // namespace platform
