#pragma once
// The camera controls the recorder needs beyond what the pipeline's capture session answers: the
// torch, presence and capability queries. A capture session that also implements this face gets
// them; one that doesn't answers as a camera without torch.
#include <cstdint>
#include <memory>
#include <optional>

namespace platform {
class CaptureDevice;
class CaptureSession;
}  // namespace platform

class KNRecorderCameraControls {
public:
    // How a torch-level request ended: not locked, refused with the platform's code, or set.
    struct TorchLevelOutcome {
        bool locked = false;
        std::optional<int64_t> platformError;
    };
    // The platform's code for "this torch level is unavailable".
    static constexpr int64_t kTorchLevelUnavailable = -11846;

    virtual ~KNRecorderCameraControls() = default;
    virtual bool isCameraPresent(int64_t camera) const = 0;
    virtual bool hasTorch() const = 0;
    virtual bool isTorchModeSupported(int64_t torchMode) const = 0;
    virtual bool isTorchAvailable() const = 0;
    virtual bool isTorchActive() const = 0;
    virtual TorchLevelOutcome setTorchModeOnWithLevel(float level) = 0;
    virtual bool isFrameRateSupported(int64_t frameRate) const = 0;
    virtual bool isResolutionSupported(int64_t resolution) const = 0;
    virtual std::shared_ptr<platform::CaptureDevice> currentCamera() const = 0;
    virtual std::shared_ptr<platform::CaptureSession> session() const = 0;
};
