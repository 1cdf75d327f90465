#pragma once
// Connects one camera input to one video data output (and to preview observers) while running.
// Inputs, outputs and the preset change at once in the model; what streams changes at the
// outermost commitConfiguration() (or at once outside a begin/commit pair). Start, stop and
// runtime-error notifications are posted outside the session's locks.
//
// Thread-safe. startRunning() and stopRunning() block until the camera has started or stopped;
// after stopRunning() returns no frame reaches any delegate.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/SessionPreset.h"
#include "platform/capture/CaptureError.h"
#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"

namespace platform {

class CaptureDevice;
class CaptureDeviceInput;
class CaptureVideoDataOutput;

class CaptureSession : public std::enable_shared_from_this<CaptureSession> {
public:
    // Sensor-oriented frames for a preview, on the capture thread.
    using FrameObserver = std::function<void(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime)>;

    static std::shared_ptr<CaptureSession> create();
    ~CaptureSession();

    SessionPreset sessionPreset() const;
    // With a camera attached: whether it supports the preset; without: whether the preset is known.
    bool canSetSessionPreset(const SessionPreset& preset) const;
    // A preset that can't be set is refused quietly (false), never thrown.
    bool setSessionPreset(const SessionPreset& preset);

    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs() const;
    std::vector<std::shared_ptr<CaptureVideoDataOutput>> outputs() const;
    // One camera input and one video data output at a time; a camera another owner holds is refused.
    bool canAddInput(const std::shared_ptr<CaptureDeviceInput>& input) const;
    bool addInput(const std::shared_ptr<CaptureDeviceInput>& input);
    void removeInput(const std::shared_ptr<CaptureDeviceInput>& input);
    bool canAddOutput(const std::shared_ptr<CaptureVideoDataOutput>& output) const;
    bool addOutput(const std::shared_ptr<CaptureVideoDataOutput>& output);
    void removeOutput(const std::shared_ptr<CaptureVideoDataOutput>& output);

    void beginConfiguration();
    void commitConfiguration();

    void startRunning();
    void stopRunning();
    bool isRunning() const;

    uint64_t addFrameObserver(FrameObserver observer);
    void removeFrameObserver(uint64_t token);

private:
    struct Targets;
    CaptureSession();

    // Brings the streaming camera and the frame targets in line with the model; needs opMutex_.
    void reconcile(std::vector<std::function<void()>>& posts);
    void deliver(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime);
    void failed(const CaptureError& error);
    void publishTargets();
    static void postAll(std::vector<std::function<void()>>& posts);
    // Ends an operation: reconcile, then the posts with `op` let go, so no observer runs under it.
    void reconcileThenPost(std::unique_lock<std::recursive_mutex>& op, std::vector<std::function<void()>> posts = {});

    // Serialises the operations that start or stop the camera; never taken by the capture thread.
    std::recursive_mutex opMutex_;
    mutable std::mutex mutex_;
    SessionPreset preset_;
    std::vector<std::shared_ptr<CaptureDeviceInput>> inputs_;
    std::vector<std::shared_ptr<CaptureVideoDataOutput>> outputs_;
    int configurationDepth_ = 0;
    bool running_ = false;
    std::shared_ptr<CaptureDevice> streaming_;
    std::vector<std::pair<uint64_t, FrameObserver>> observers_;
    uint64_t nextObserverToken_ = 1;

    // What the capture thread reads per frame, swapped whole.
    std::mutex targetsMutex_;
    std::shared_ptr<const Targets> targets_;
};

}  // namespace platform
