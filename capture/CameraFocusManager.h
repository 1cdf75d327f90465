#pragma once
// Turns touches on the camera preview into focus and exposure: a tap focuses and exposes
// continuously at the point and releases a lock; a long press locks both there until the next
// tap. Each touch shows a CameraFocusSquare that fades out and then leaves the preview. Lock
// changes are announced with RTAutoExposer_AutoFocusLockNotification (kestrune/KNTapToFocus.h).
//
// Main thread only: the recognizers call it there.
#include <memory>

#include "platform/Geometry.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureTypes.h"
#include "platform/capture/CaptureVideoPreviewLayer.h"
#include "platform/ui/GestureRecognizer.h"
#include "platform/ui/View.h"

class CameraFocusManager : public std::enable_shared_from_this<CameraFocusManager> {
public:
    // Seconds the indicator takes to fade.
    static constexpr double kIndicatorFadeSeconds = 1.5;

    static std::shared_ptr<CameraFocusManager> create() { return std::make_shared<CameraFocusManager>(); }

    void addTapToFocusFeatureForPreviewVideoPreviewLayerAndVideoCpatureInput(
        std::shared_ptr<platform::View> preview, std::shared_ptr<platform::CaptureVideoPreviewLayer> previewLayer,
        std::shared_ptr<platform::CaptureDeviceInput> input);
    void removeTapToFocus();
    void changeVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input);

    void focusAndExposeTap(platform::GestureRecognizer& recognizer);
    // Acts once per lock, whatever the recognizer's state; a press that locks neither focus nor
    // exposure (no points of interest, the camera can't be locked or refuses) announces no lock.
    void focusAndExposeLongPress(platform::GestureRecognizer& recognizer);
    // True when focus or exposure took the mode at the point; false when the camera could not be
    // locked for configuration, has no points of interest for the modes, or refused them.
    bool focusWithModeExposeWithModeAtDevicePointMonitorSubjectAreaChange(platform::FocusMode focusMode,
                                                                          platform::ExposureMode exposureMode,
                                                                          platform::Point point, bool monitor);

    bool AE_AF_Lock() const { return lock_; }
    void setAE_AF_Lock(bool lock) { lock_ = lock; }
    const std::shared_ptr<platform::CaptureVideoPreviewLayer>& previewOutput() const { return previewOutput_; }
    void setPreviewOutput(std::shared_ptr<platform::CaptureVideoPreviewLayer> layer) { previewOutput_ = std::move(layer); }
    const std::shared_ptr<platform::CaptureDeviceInput>& videoInput() const { return videoInput_; }
    void setVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input) { videoInput_ = std::move(input); }
    const std::shared_ptr<platform::View>& preview() const { return preview_; }
    void setPreview(std::shared_ptr<platform::View> preview) { preview_ = std::move(preview); }
    const std::shared_ptr<platform::TapGestureRecognizer>& tapRecognizer() const { return tapRecognizer_; }
    void setTapRecognizer(std::shared_ptr<platform::TapGestureRecognizer> r) { tapRecognizer_ = std::move(r); }
    const std::shared_ptr<platform::LongPressGestureRecognizer>& longPressRecognizer() const {
        return longPressRecognizer_;
    }
    void setLongPressRecognizer(std::shared_ptr<platform::LongPressGestureRecognizer> r) {
        longPressRecognizer_ = std::move(r);
    }

private:
    // The device point of the touch, after showing the indicator there.
    platform::Point markTouch(platform::GestureRecognizer& recognizer);
    void announceLock();

    bool lock_ = false;
    std::shared_ptr<platform::CaptureVideoPreviewLayer> previewOutput_;
    std::shared_ptr<platform::CaptureDeviceInput> videoInput_;
    std::shared_ptr<platform::View> preview_;
    std::shared_ptr<platform::TapGestureRecognizer> tapRecognizer_;
    std::shared_ptr<platform::LongPressGestureRecognizer> longPressRecognizer_;
};
