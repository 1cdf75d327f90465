#pragma once
// Receives a video data output's frames, on the queue given with the delegate.
#include <memory>

namespace platform {

class CaptureConnection;
class CaptureVideoDataOutput;
class SampleBuffer;

class CaptureVideoDataOutputSampleBufferDelegate {
public:
    virtual ~CaptureVideoDataOutputSampleBufferDelegate() = default;
    virtual void captureOutputDidOutputSampleBufferFromConnection(const std::shared_ptr<CaptureVideoDataOutput>& output,
                                                                  const std::shared_ptr<SampleBuffer>& sampleBuffer,
                                                                  const std::shared_ptr<CaptureConnection>& connection) = 0;
    // A frame was discarded because the previous one was still being delivered. Runs on the
    // capture thread, not on the delegate's queue.
    virtual void captureOutputDidDropSampleBufferFromConnection(const std::shared_ptr<CaptureVideoDataOutput>& /*output*/,
                                                                const std::shared_ptr<SampleBuffer>& /*sampleBuffer*/,
                                                                const std::shared_ptr<CaptureConnection>& /*connection*/) {}
};

}  // namespace platform
