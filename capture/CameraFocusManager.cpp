#include "capture/CameraFocusManager.h"

#include <cstdio>

#include "capture/CameraFocusSquare.h"
#include "kestrune/KNTapToFocus.h"
#include "platform/NotificationCenter.h"
#include "platform/capture/CaptureDevice.h"

void CameraFocusManager::addTapToFocusFeatureForPreviewVideoPreviewLayerAndVideoCpatureInput(
    std::shared_ptr<platform::View> preview, std::shared_ptr<platform::CaptureVideoPreviewLayer> previewLayer,
    std::shared_ptr<platform::CaptureDeviceInput> input) {
    previewOutput_ = std::move(previewLayer);
    videoInput_ = std::move(input);
    preview_ = std::move(preview);
    // Recognizers don't own their target.
    std::weak_ptr<CameraFocusManager> weak = weak_from_this();
    tapRecognizer_ = platform::TapGestureRecognizer::createWithAction([weak](platform::GestureRecognizer& r) {
        if (auto self = weak.lock()) self->focusAndExposeTap(r);
    });
    longPressRecognizer_ = platform::LongPressGestureRecognizer::createWithAction([weak](platform::GestureRecognizer& r) {
        if (auto self = weak.lock()) self->focusAndExposeLongPress(r);
    });
    if (preview_) {
        preview_->addGestureRecognizer(tapRecognizer_);
        preview_->addGestureRecognizer(longPressRecognizer_);
    }
}

void CameraFocusManager::removeTapToFocus() {
    if (preview_) {
        preview_->removeGestureRecognizer(tapRecognizer_);
        preview_->removeGestureRecognizer(longPressRecognizer_);
    }
    videoInput_ = nullptr;
    previewOutput_ = nullptr;
    preview_ = nullptr;
    tapRecognizer_ = nullptr;
    longPressRecognizer_ = nullptr;
}

void CameraFocusManager::changeVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input) {
    videoInput_ = nullptr;
    videoInput_ = std::move(input);
}

platform::Point CameraFocusManager::markTouch(platform::GestureRecognizer& recognizer) {
    const platform::Point touch = recognizer.locationInView(recognizer.view());
    const platform::Point devicePoint =
        previewOutput_ ? previewOutput_->captureDevicePointOfInterestForPoint(touch) : platform::Point{0.5, 0.5};
    const double half = squareLength / 2;
    auto square = CameraFocusSquare::createWithFrame({{touch.x - half, touch.y - half}, {squareLength, squareLength}});
    square->setBackgroundColor(platform::Color::clearColor());
    if (previewOutput_) previewOutput_->addSublayer(square->layer());
    square->setNeedsDisplay();
    // The indicator leaves the preview once faded, so taps don't pile layers up.
    platform::View::animateWithDurationAnimationsCompletion(
        kIndicatorFadeSeconds, [&square] { square->setAlpha(0.0); },
        [square](bool) { square->layer()->removeFromSuperlayer(); });
    return devicePoint;
}

void CameraFocusManager::announceLock() {
    platform::NotificationCenter::defaultCenter().post(RTAutoExposer_AutoFocusLockNotification, nullptr,
                                                        {{RTAutoExposer_AutoFocusLockKey, lock_}});
}

void CameraFocusManager::focusAndExposeTap(platform::GestureRecognizer& recognizer) {
    const platform::Point devicePoint = markTouch(recognizer);
    focusWithModeExposeWithModeAtDevicePointMonitorSubjectAreaChange(
        platform::FocusMode::ContinuousAutoFocus, platform::ExposureMode::ContinuousAutoExposure, devicePoint, true);
    // Unlocked is the safe state, so a tap releases the flag even when the camera refused.
    if (lock_) {
        lock_ = false;
        announceLock();
    }
}

void CameraFocusManager::focusAndExposeLongPress(platform::GestureRecognizer& recognizer) {
    if (lock_) return;
    const platform::Point devicePoint = markTouch(recognizer);
    if (!focusWithModeExposeWithModeAtDevicePointMonitorSubjectAreaChange(
            platform::FocusMode::Locked, platform::ExposureMode::Locked, devicePoint, true)) {
        return;
    }
    lock_ = true;
    announceLock();
}

bool CameraFocusManager::focusWithModeExposeWithModeAtDevicePointMonitorSubjectAreaChange(
    platform::FocusMode focusMode, platform::ExposureMode exposureMode, platform::Point point, bool monitor) {
    auto device = videoInput_ ? videoInput_->device() : nullptr;
    platform::CaptureError error{platform::kCaptureErrorDeviceNotAvailable, "no camera input"};
    if (!device || !device->lockForConfiguration(&error)) {
        std::fprintf(stderr, "%s\n", error.message.c_str());
        return false;
    }
    bool applied = false;
    if (device->isFocusPointOfInterestSupported() && device->isFocusModeSupported(focusMode)) {
        device->setFocusPointOfInterest(point);
        applied = device->setFocusMode(focusMode);
    }
    if (device->isExposurePointOfInterestSupported() && device->isExposureModeSupported(exposureMode)) {
        device->setExposurePointOfInterest(point);
        applied = device->setExposureMode(exposureMode) || applied;
    }
    device->setSubjectAreaChangeMonitoringEnabled(monitor);
    device->unlockForConfiguration();
    return applied;
}
