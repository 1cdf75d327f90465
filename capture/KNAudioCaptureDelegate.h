#pragma once
// What the microphone capture tells its owner. Every operation is optional.
#include <cstdint>
#include <memory>
#include <vector>

class KNAudioCapture;

class KNAudioCaptureDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    virtual ~KNAudioCaptureDelegate() = default;

    // One rendered buffer of signed 16-bit mono PCM at the capture's deliveredSampleRate(), on the
    // unit's capture thread. The timestamp counts frames of the unit's clock, not host time.
    virtual void captureOutputAudioDataTimestamp(KNAudioCapture* /*capture*/, const Bytes& /*audioData*/,
                                                 uint64_t /*timestamp*/) {}
    // The audio session's category changed; on the thread that posted the route change.
    virtual void captureOutputRouteDidChage(KNAudioCapture* /*capture*/) {}
    // The microphone went away (unplugged, broken) and its capture has stopped; on the capture's
    // taskQueue. LFAudioComponentFailedToCreateNotification is posted as well.
    virtual void captureOutputDidFail(KNAudioCapture* /*capture*/) {}
};
