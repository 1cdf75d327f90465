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

#include "kestrune/KNAACEncoderControls.h"
#include "kestrune/KNH264EncoderControls.h"
#include "kestrune/KNLocalSaverControls.h"
#include "kestrune/KNStreamSourcesControls.h"

class KNAACEncoderBase;
class KNError;
class KNH264Encoder;
class KNLocalSaver;
class KNStreamer;
class KNStreamSourcesManager;
class KNStreamInfo;
class KNStreamSource;
class KNStreamerSettings;
class KNStreamerAudioSettings;
class KNStreamerVideoSettings;
namespace platform {
class SampleBuffer;
struct MediaTime;
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

    // The pipeline it owns, made with it. A replacement is stored only: the streamer doesn't
    // become its delegate, and the one it replaces keeps reporting to the streamer. Only the
    // library's components exist to hand in (another streamer's, say); null is refused, and so
    // is an AAC encoder that isn't a push streamer's.
    std::shared_ptr<KNH264EncoderControls> videoEncoder() const;
    void setVideoEncoder(std::shared_ptr<KNH264EncoderControls> encoder);
    std::shared_ptr<KNAACEncoderControls> audioEncoder() const;
    void setAudioEncoder(std::shared_ptr<KNAACEncoderControls> encoder);
    std::shared_ptr<KNStreamSourcesControls> streamSources() const;
    void setStreamSources(std::shared_ptr<KNStreamSourcesControls> streamSources);
    std::shared_ptr<KNLocalSaverControls> localSaver() const;
    void setLocalSaver(std::shared_ptr<KNLocalSaverControls> localSaver);

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

    // What the streamer does as observer of its settings and as delegate of its encoders, its
    // destinations and its saver, callable as those components call it (on their threads). A
    // host rarely needs them: they are how the pipeline is wired.
    bool streamerSettingsLockedReason(KNStreamerSettings* settings, std::shared_ptr<KNError>* reason);
    void streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings* settings, bool on);
    void streamerSettingsDidChangeLocalSave(KNStreamerSettings* settings, bool localSave);
    bool streamerVideoSettingsSettingsLockedReason(KNStreamerVideoSettings* settings, std::shared_ptr<KNError>* reason);
    void streamerVideoSettingsDidChangeOutputBitrate(KNStreamerVideoSettings* settings, int64_t bitrate);
    bool streamerAudioSettingsSettingsLockedReason(KNStreamerAudioSettings* settings, std::shared_ptr<KNError>* reason);
    void H264EncoderDidExtractSpsPps(KNH264Encoder* encoder, const Bytes& sps, const Bytes& pps);
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* encoder, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs);
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder* encoder, const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);
    void H264EncoderDidFailStartingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error);
    void H264EncoderDidFailEncodingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error);
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase* encoder, const Bytes& data,
                                                                    platform::MediaTime duration, uint64_t timestamp);
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase* encoder, const Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime presentationTime);
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder);
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase* encoder, std::shared_ptr<KNError> error);
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager* manager,
                                                                    const std::shared_ptr<KNStreamSource>& source,
                                                                    const std::shared_ptr<KNError>& error);
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager* manager, uint64_t bitsPerSecond);
    void localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver* saver, std::shared_ptr<KNError> error);
    void localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver* saver, std::shared_ptr<KNError> error);

    struct Pipeline;

private:
    KNStreamer();
    std::shared_ptr<Pipeline> pipeline_;
};
