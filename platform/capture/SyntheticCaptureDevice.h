#pragma once
// A camera without hardware: NV12 frames paced by the monotonic clock at the active frame rate,
// showing a moving bar, the frame's number and a marked top-left corner, so that order, timing
// and rotation can be checked on the frames that come out. With the detailed picture the bar
// moves over noise that changes every frame, so that an encoder spends whatever bit rate it is
// given, as it does on a busy real scene.
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureThread.h"

namespace platform {

class SyntheticCaptureDevice : public CaptureDevice {
public:
    static std::shared_ptr<SyntheticCaptureDevice> create(std::string uniqueID, std::string localizedName,
                                                          CaptureDevicePosition position,
                                                          std::vector<CaptureDeviceFormat> formats,
                                                          CaptureDeviceControls controls);
    // What a phone's cameras offer: 352x288 to 1920x1080 at up to 30 fps, 1280x720 and 640x480 also
    // at 60; the back one with 16x zoom, a torch and focus/exposure points, the front one with 4x
    // zoom, exposure points and no torch.
    static std::shared_ptr<SyntheticCaptureDevice> phoneBackCamera();
    static std::shared_ptr<SyntheticCaptureDevice> phoneFrontCamera();

    // The side of the marked square in the top-left corner, in pixels.
    static constexpr int32_t kMarkerSize = 32;
    // The frame number drawn into a frame as the camera made it; none when the cells aren't there.
    static std::optional<uint32_t> frameNumberOf(const PixelBuffer& frame);
    // Whether the square of kMarkerSize at (x, y) is the marker's bright luma.
    static bool isMarkedAt(const PixelBuffer& frame, int32_t x, int32_t y);
    // Paints frame `number` of the plain or the detailed picture into `frame`.
    static void draw(PixelBuffer& frame, uint32_t number, bool detailed);

    ~SyntheticCaptureDevice() override;

    bool startStreaming(FrameSink sink, FailureSink failure) override;
    void stopStreaming() override;

    // Test hooks: another owner holds the device (locks fail), and a stream failure.
    void setHeldElsewhere(bool held) { heldElsewhere_.store(held); }
    void setDetailedPicture(bool detailed) { detailedPicture_.store(detailed); }
    bool detailedPicture() const { return detailedPicture_.load(); }
    void simulateRuntimeError(CaptureError error);
    bool isInUseByAnotherOwner() const override { return heldElsewhere_.load(); }

private:
    using CaptureDevice::CaptureDevice;

    void run(FrameSink sink, FailureSink failure);
    std::optional<CaptureError> takePendingError();

    std::atomic<bool> heldElsewhere_{false};
    std::atomic<bool> detailedPicture_{false};
    std::mutex mutex_;
    std::optional<CaptureError> pendingError_;
    CaptureThread thread_;
};

}  // namespace platform
