#include "recorder/KNRecorderCamera.h"

#include "capture/KNCaptureDeviceCapabilities.h"
#include "capture/KNCaptureSession.h"
#include "core/KNConverter.h"
#include "platform/capture/CaptureError.h"

namespace {

platform::TorchMode platformTorchMode(int64_t torchMode) {
    return static_cast<platform::TorchMode>(KNConverter::converter()->captureTorchModeForTorchMode(torchMode));
}

}  // namespace

bool KNRecorderCamera::isCameraPresent(int64_t camera) const {
    const auto position =
        static_cast<platform::CaptureDevicePosition>(KNConverter::converter()->captureDevicePositionForCamera(camera));
    for (const auto& device : platform::CaptureDevice::devicesWithMediaType(platform::MediaType::Video)) {
        if (device->position() == position) return true;
    }
    return false;
}

bool KNRecorderCamera::hasTorch() const {
    const auto device = currentCamera();
    return device && device->hasTorch();
}

bool KNRecorderCamera::isTorchModeSupported(int64_t torchMode) const {
    const auto device = currentCamera();
    return device && device->isTorchModeSupported(platformTorchMode(torchMode));
}

bool KNRecorderCamera::isTorchAvailable() const {
    const auto device = currentCamera();
    return device && device->isTorchAvailable();
}

bool KNRecorderCamera::isTorchActive() const {
    const auto device = currentCamera();
    return device && device->isTorchActive();
}

KNRecorderCameraControls::TorchLevelOutcome KNRecorderCamera::setTorchModeOnWithLevel(float level) {
    const auto device = currentCamera();
    if (!device || !device->lockForConfiguration()) return {false, std::nullopt};
    platform::CaptureError error;
    const bool set = device->setTorchModeOnWithLevel(level, &error);
    device->unlockForConfiguration();
    if (set) return {true, std::nullopt};
    return {true, error.code};
}

bool KNRecorderCamera::isFrameRateSupported(int64_t frameRate) const {
    const auto device = currentCamera();
    return device && ::isFrameRateSupported(*device, frameRate);
}

bool KNRecorderCamera::isResolutionSupported(int64_t resolution) const {
    const auto device = currentCamera();
    return device && ::isResolutionSupported(*device, resolution);
}

std::shared_ptr<platform::CaptureDevice> KNRecorderCamera::currentCamera() const { return capture_->currentCamera(); }

std::shared_ptr<platform::CaptureSession> KNRecorderCamera::session() const { return capture_->session(); }

