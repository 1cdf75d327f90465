#pragma once
// What the pipeline hub tells its owner. Every operation is optional and arrives synchronously on
// the thread where its event arose (see each).
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/SampleBuffer.h"

class KNError;
class KNInfo;
class KNWarning;
class KNInternalRecorder;

class KNInternalRecorderDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    virtual ~KNInternalRecorderDelegate() = default;

    // On the thread that starts or stops (a stop after an event: the main queue or the event's thread).
    virtual void recorderDidChangeState(KNInternalRecorder* /*recorder*/, int64_t /*state*/) {}
    virtual void recorderDidReceiveInfo(KNInternalRecorder* /*recorder*/, const std::shared_ptr<KNInfo>& /*info*/) {}
    virtual void recorderDidReceiveWarning(KNInternalRecorder* /*recorder*/,
                                           const std::shared_ptr<KNWarning>& /*warning*/) {}
    virtual void recorderDidReceiveError(KNInternalRecorder* /*recorder*/, const std::shared_ptr<KNError>& /*error*/) {}
    // On the reachability monitor's queue.
    virtual void recorderDidChangeNetworkStatus(KNInternalRecorder* /*recorder*/, int64_t /*status*/) {}
    // Every camera frame before any black-out, on the video encoder's queue.
    virtual void recorderDidOutputSampleBufferFromCaptureOutput(
        KNInternalRecorder* /*recorder*/, const std::shared_ptr<platform::SampleBuffer>& /*sampleBuffer*/,
        const void* /*captureOutput*/) {}
    // The PCM handed to the audio encoder (silence while audio is off), on the microphone's thread.
    virtual void recorderDidOutputAudioBuffer(KNInternalRecorder* /*recorder*/, const Bytes& /*buffer*/) {}
    // Kilobytes sent in the last second over all destinations.
    virtual void recorderDidUpdateBitrate(KNInternalRecorder* /*recorder*/, uint64_t /*kilobytes*/) {}
    virtual void recorderDidDropPacket(KNInternalRecorder* /*recorder*/) {}
};
