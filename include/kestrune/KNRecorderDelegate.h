#pragma once
// What the camera recorder tells its host. Every report is optional (the default does nothing)
// and arrives synchronously on the thread where its event arose, named with each; a host that
// updates its interface from one hops to its own thread itself.
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrune/KNRecorderState.h"

class KNError;
class KNInfo;
class KNRecorder;
class KNWarning;

namespace platform {
class SampleBuffer;
}  // namespace platform

class KNRecorderDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    virtual ~KNRecorderDelegate() = default;

    // 2 then 1 while a start runs, 3 then 0 on every stop. On the thread that changes the state:
    // the caller's for the host's start and stop, the main queue for stops after lost network, an
    // encoder failure or a connection failure before the first connection.
    virtual void recorderDidChangeState(KNRecorder& /*recorder*/, KNRecorderState /*state*/) {}
    // The camera started (1001) or stopped (1002) running.
    virtual void recorderDidReceiveInfo(KNRecorder& /*recorder*/, const std::shared_ptr<KNInfo>& /*info*/) {}
    // A set-up step or change refused while not idle (0), or another warning; the caller's thread.
    virtual void recorderDidReceiveWarning(KNRecorder& /*recorder*/, const std::shared_ptr<KNWarning>& /*warning*/) {}
    // 10001 camera runtime error, 70001 video encoder, 60001 audio encoder (main queue), 80001 a
    // destination failed to connect (the destinations' queue), 90001 local recording.
    virtual void recorderDidReceiveError(KNRecorder& /*recorder*/, const std::shared_ptr<KNError>& /*error*/) {}
    // 0 not reachable, 1 WiFi, 2 cellular; on the network monitor's queue.
    virtual void recorderDidChangeNetworkStatus(KNRecorder& /*recorder*/, int64_t /*status*/) {}
    // Every camera frame before it is blacked out or encoded, on the video encoder's queue.
    virtual void recorderDidOutputSampleBufferFromCaptureOutput(
        KNRecorder& /*recorder*/, const std::shared_ptr<platform::SampleBuffer>& /*sampleBuffer*/,
        const void* /*captureOutput*/) {}
    // 16-bit PCM as handed to the audio encoder (silence while audio is off), on the microphone's thread.
    virtual void recorderDidOutputAudioBuffer(KNRecorder& /*recorder*/, const Bytes& /*buffer*/) {}
    // Kilobytes sent in the last second over all destinations, on the destinations' queue.
    virtual void recorderDidUpdateBitrate(KNRecorder& /*recorder*/, uint64_t /*kilobytes*/) {}
    // A destination dropped a packet, on the destinations' queue.
    virtual void recorderDidDropRtmpPacket(KNRecorder& /*recorder*/) {}
    // Seconds since the first connection, every half second on the main run loop.
    virtual void recorderDidUpdateStreamTime(KNRecorder& /*recorder*/, double /*seconds*/) {}
    // Seconds since the recording was asked to start, every half second on the run loop of the
    // thread that asked (a thread that runs no run loop gets none).
    virtual void recorderDidUpdateRecordTime(KNRecorder& /*recorder*/, double /*seconds*/) {}
};
