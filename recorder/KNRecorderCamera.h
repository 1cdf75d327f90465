#pragma once
// The recorder's camera controls on the pipeline's real capture session. Caller's thread only.
#include <memory>

#include "recorder/KNRecorderCameraControls.h"

class KNCaptureSession;

class KNRecorderCamera final : public KNRecorderCameraControls {
public:
    explicit KNRecorderCamera(std::shared_ptr<KNCaptureSession> capture) : capture_(std::move(capture)) {}

    bool isCameraPresent(int64_t camera) const override;
    bool hasTorch() const override;
    bool isTorchModeSupported(int64_t torchMode) const override;
    bool isTorchAvailable() const override;
    bool isTorchActive() const override;
    TorchLevelOutcome setTorchModeOnWithLevel(float level) override;
    bool isFrameRateSupported(int64_t frameRate) const override;
    bool isResolutionSupported(int64_t resolution) const override;
    std::shared_ptr<platform::CaptureDevice> currentCamera() const override;
    std::shared_ptr<platform::CaptureSession> session() const override;

private:
    const std::shared_ptr<KNCaptureSession> capture_;
};
