#pragma once
// Hands a session's frames, turned as its connection says, to one delegate on one serial queue.
// While a delivery is still pending on that queue a new frame is discarded (when late frames are
// discarded, the default), so a slow consumer gets fewer frames, never a backlog.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/DispatchQueue.h"
#include "platform/capture/CaptureConnection.h"
#include "platform/capture/CaptureTypes.h"
#include "platform/capture/CaptureVideoDataOutputSampleBufferDelegate.h"
#include "platform/media/MediaTime.h"
#include "platform/media/PixelBuffer.h"

namespace platform {

class CaptureVideoDataOutput : public std::enable_shared_from_this<CaptureVideoDataOutput> {
public:
    static std::shared_ptr<CaptureVideoDataOutput> create();

    bool alwaysDiscardsLateVideoFrames() const { return discardsLate_.load(); }
    void setAlwaysDiscardsLateVideoFrames(bool discards) { discardsLate_.store(discards); }
    // The delegate is held weakly; frames go nowhere without both.
    void setSampleBufferDelegate(std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate> delegate,
                                 std::shared_ptr<DispatchQueue> queue);
    std::shared_ptr<CaptureVideoDataOutputSampleBufferDelegate> sampleBufferDelegate() const;
    std::shared_ptr<DispatchQueue> sampleBufferCallbackQueue() const;

    // The connection, once the output is in a session; null otherwise or for audio.
    std::shared_ptr<CaptureConnection> connectionWithMediaType(MediaType type) const;

    // Frames discarded as late since creation.
    uint64_t droppedFrameCount() const { return dropped_.load(); }

    // The session's side.
    void setAttached(bool attached) { attached_.store(attached); }
    void startDelivery();
    // From then on no delegate call starts; one already running is waited for, unless this is
    // called from the delegate's own queue.
    void stopDelivery();
    void deliver(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime, MediaTime duration);

private:
    CaptureVideoDataOutput() = default;

    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::weak_ptr<CaptureVideoDataOutputSampleBufferDelegate> delegate_;
    std::shared_ptr<DispatchQueue> queue_;
    uint64_t generation_ = 0;
    bool accepting_ = false;
    bool delivering_ = false;

    const std::shared_ptr<CaptureConnection> connection_ = CaptureConnection::create();
    std::atomic<bool> discardsLate_{true};
    std::atomic<bool> attached_{false};
    std::atomic<bool> pending_{false};
    std::atomic<uint64_t> dropped_{0};
};

}  // namespace platform
