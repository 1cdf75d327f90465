#pragma once
// The push road: the host hands over its own video frames and PCM (for instance what
// KNFileInputSource reads), the streamer encodes them as H.264 and AAC and publishes them to the
// destinations the host adds and switches on. Start, stop, the sending calls and the adding and
// removing of destinations run on the caller's thread; state changes and the start's completion
// are delivered there, synchronously. Nothing needs a run loop of the host's.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class KNError;
class KNStreamer;
class KNStreamInfo;
class KNStreamSource;
class KNStreamerSettings;
class KNStreamerAudioSettings;
class KNStreamerVideoSettings;
namespace platform {
class SampleBuffer;
}

// Not the camera recorder's numbering: here 1 is starting and 2 streaming.
enum KNStreamerState : int64_t {
    KNStreamerStateIdle = 0,
    KNStreamerStateStarting = 1,
    KNStreamerStateStreaming = 2,
    KNStreamerStateStopping = 3,
};

// Both optional. State changes come on the thread that starts or stops; errors on the thread of
// the component that failed (an encoder's queue, the destinations' delegate queue, the saver's).
class KNStreamerDelegate {
public:
    virtual ~KNStreamerDelegate() = default;
    virtual void streamerDidChangeState(KNStreamer* /*streamer*/, KNStreamerState /*state*/) {}
    virtual void streamerDidReceiveError(KNStreamer* /*streamer*/, const std::shared_ptr<KNError>& /*error*/) {}
};

class KNStreamer {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    using Completion = std::function<void(bool success, std::shared_ptr<KNError> error)>;

    // Idle, with the default settings. Dropping the last reference ends its threads and
    // connections: the settings objects hold it only weakly.
    static std::shared_ptr<KNStreamer> create();
    ~KNStreamer();
    KNStreamer(const KNStreamer&) = delete;
    KNStreamer& operator=(const KNStreamer&) = delete;

    std::shared_ptr<KNStreamerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNStreamerDelegate> delegate);
    // While the streamer isn't idle their guarded setters refuse with code 0 "Operation not
    // allowed while streaming.". A replacement object isn't observed by the streamer.
    std::shared_ptr<KNStreamerSettings> settings() const;
    void setSettings(std::shared_ptr<KNStreamerSettings> settings);
    std::shared_ptr<KNStreamerVideoSettings> videoSettings() const;
    void setVideoSettings(std::shared_ptr<KNStreamerVideoSettings> settings);
    std::shared_ptr<KNStreamerAudioSettings> audioSettings() const;
    void setAudioSettings(std::shared_ptr<KNStreamerAudioSettings> settings);
    KNStreamerState currentState() const;
    // Stores only; the delegate isn't told.
    void setCurrentState(KNStreamerState state);

    // 1 then 2, and the completion with true. Connects nothing. Refused only when the audio
    // settings hold a channel count the stream can't carry (see KNStreamerAudioSettings): then the
    // completion gets false and error 50002, and nothing starts.
    void startStreamingWithCompletion(Completion completion = {});
    // 3 then 0. The encoders finish what they hold; destinations stay connected.
    void stopStreaming();

    // In any state, from any thread: handed at once to the encoders' queues. Video is stamped
    // with the host clock when handed over; audio keeps the buffer's times or `timestamp` (ms).
    void sendVideoBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);
    void sendAudioBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);
    // Signed 16-bit interleaved PCM at the audio settings' rate and channels.
    void sendAudioDataTimestamp(Bytes data, uint64_t timestamp);

    // A new destination, off, with the current audio and video switches; switch it on to connect.
    std::shared_ptr<KNStreamSource> addStreamSourceWithInfo(std::shared_ptr<KNStreamInfo> info);
    // Closes it first when connected.
    void removeStreamSource(const std::shared_ptr<KNStreamSource>& source);

    struct Pipeline;

private:
    KNStreamer();
    std::shared_ptr<Pipeline> pipeline_;
};
