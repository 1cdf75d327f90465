#include "kestrune/KNStreamer.h"

#include <algorithm>
#include <mutex>

#include "core/KNMetadata.h"
#include "core/KNUtils.h"
#include "encoding/KNAACEncoder2.h"
#include "encoding/KNH264Encoder.h"
#include "encoding/KNLocalSaver.h"
#include "kestrune/KNAssetsLibrary.h"
#include "kestrune/KNError.h"
#include "kestrune/KNStreamInfo.h"
#include "kestrune/KNStreamSource.h"
#include "kestrune/KNStreamerAudioSettings.h"
#include "kestrune/KNStreamerSettings.h"
#include "kestrune/KNStreamerVideoSettings.h"
#include "platform/DispatchQueue.h"
#include "recorder/KNStreamerBitrate.h"
#include "transport/KNStreamSourcesManager.h"

namespace {

constexpr int32_t kStreamFrameRate = 30;        // announced; the frames carry their own times
constexpr uint64_t kKeyFrameIntervalFrames = 20;
constexpr const char* kLockedMessage = "Operation not allowed while streaming.";
constexpr int64_t kLocalSaverErrorCode = 90001;

// Coded slices (unit types 1 to 5). The session opens each key frame with a delimiter unit; sent
// alone it would make a video message without a picture, which players report as damage.
bool isPictureSlice(const std::vector<uint8_t>& unit) {
    const int type = unit.empty() ? 0 : (unit[0] & 0x1F);
    return type >= 1 && type <= 5;
}

}  // namespace

// Everything the streamer owns and the one object its components and settings call back. The
// settings hold it weakly, so it lives exactly as long as the streamer.
struct KNStreamer::Pipeline : KNH264EncoderDelegate,
                              KNAACEncoderDelegate,
                              KNStreamSourcesManagerDelegate,
                              KNLocalSaverDelegate,
                              KNStreamerSettingsObserver,
                              KNStreamerVideoSettingsObserver,
                              KNStreamerAudioSettingsObserver,
                              std::enable_shared_from_this<Pipeline> {
    using Bytes = KNStreamer::Bytes;

    std::atomic<int64_t> state{KNStreamerStateIdle};
    std::atomic<uint64_t> lastVideoTimestampMs{0};
    // A saver start has been asked for in this session.
    std::atomic<bool> saverStartIssued{false};
    // Saver stops still on their way through the encoders' queues.
    std::atomic<int> saverStopsUnderWay{0};

    mutable std::mutex mutex_;  // guards the fields below
    std::weak_ptr<KNStreamerDelegate> delegate;
    std::shared_ptr<KNStreamerSettings> settings;
    std::shared_ptr<KNStreamerVideoSettings> videoSettings;
    std::shared_ptr<KNStreamerAudioSettings> audioSettings;
    std::shared_ptr<KNH264Encoder> videoEncoder_ = KNH264Encoder::create();
    std::shared_ptr<KNAACEncoder2> audioEncoder_ = KNAACEncoder2::create();
    std::shared_ptr<KNStreamSourcesManager> streamSources_ = KNStreamSourcesManager::create();
    std::shared_ptr<KNLocalSaver> localSaver_ = KNLocalSaver::create();

    // Set once by create(), before anything can report. A report holds the streamer for its call,
    // so no lock is held while the host's delegate runs (it may stop the streamer from there).
    std::weak_ptr<KNStreamer> owner;

    // The host may replace any of them at any moment, from any thread.
    std::shared_ptr<KNH264Encoder> videoEncoder() const { return get(videoEncoder_); }
    std::shared_ptr<KNAACEncoder2> audioEncoder() const { return get(audioEncoder_); }
    std::shared_ptr<KNStreamSourcesManager> streamSources() const { return get(streamSources_); }
    std::shared_ptr<KNLocalSaver> localSaver() const { return get(localSaver_); }

    template <class T, class Controls>
    void replace(std::shared_ptr<T>& field, const std::shared_ptr<Controls>& replacement) {
        auto component = std::dynamic_pointer_cast<T>(replacement);
        if (!component) return;
        // The old one is let go of after the lock (declared later, released first): its end may
        // wait on work that calls back in here.
        std::lock_guard lock(mutex_);
        field.swap(component);
    }

    void setUp() {
        auto self = shared_from_this();
        videoEncoder()->setDelegate(self);
        audioEncoder()->setDelegate(self);
        streamSources()->setDelegate(self);
        settings = KNStreamerSettings::defaultSettings();
        settings->addObserver(self);
        videoSettings = KNStreamerVideoSettings::defaultSettings();
        videoSettings->addObserver(self);
        audioSettings = KNStreamerAudioSettings::defaultSettings();
        audioSettings->addObserver(self);
        localSaver()->setDelegate(self);
        // A destination switched on before the first start announces the stream as it will be.
        updateMetadata();
    }

    template <class T>
    std::shared_ptr<T> get(const std::shared_ptr<T>& field) const {
        std::lock_guard lock(mutex_);
        return field;
    }

    void tellDelegate(const std::function<void(KNStreamerDelegate&, KNStreamer*)>& call) {
        auto streamer = owner.lock();
        auto target = get(delegate.lock());
        if (streamer && target) call(*target, streamer.get());
    }
    void reportError(const std::shared_ptr<KNError>& error) {
        tellDelegate([&](KNStreamerDelegate& d, KNStreamer* s) { d.streamerDidReceiveError(s, error); });
    }
    void changeState(KNStreamerState next) {
        state.store(next);
        tellDelegate([&](KNStreamerDelegate& d, KNStreamer* s) { d.streamerDidChangeState(s, next); });
    }

    // Width and height for the encoder, the saver and the metadata.
    KNVideoFrameSize frameSize() const {
        auto video = get(videoSettings);
        const KNVideoFrameSize size = KNVideoFrameSizeWithCGSize(video->resolutionSize());
        const auto width = static_cast<int32_t>(std::clamp<int64_t>(size.width, 0, INT32_MAX));
        const auto height = static_cast<int32_t>(std::clamp<int64_t>(size.height, 0, INT32_MAX));
        return video->resolutionInverted() ? KNVideoFrameSize{height, width} : KNVideoFrameSize{width, height};
    }

    void updateMetadata() {
        auto video = get(videoSettings);
        auto audio = get(audioSettings);
        const KNVideoFrameSize size = frameSize();
        auto metadata = KNMetadata::create();
        metadata->setVideoCodecId("avc1");
        metadata->setVideoWidth(static_cast<int32_t>(size.width));
        metadata->setVideoHeight(static_cast<int32_t>(size.height));
        metadata->setVideoFramerate(kStreamFrameRate);
        metadata->setVideoBitrate(KNNarrowBitrate(video->outputBitrate()));
        metadata->setAudioCodecId("mp4a");
        metadata->setAudioSampleRate(KNNarrowBitrate(audio->sampleRate()));
        metadata->setAudioBitrate(KNNarrowBitrate(audio->outputBitrate()));
        metadata->setAudioSampleSize(static_cast<int32_t>(audioEncoder()->sampleSize()));
        // The sequence header's channel count comes from this flag.
        metadata->setAudioStereo(audio->channelsNumber() >= 2);
        streamSources()->setMetadata(metadata);
    }

    void startEncoders() {
        auto audio = get(audioSettings);
        audioEncoder()->setSampleRate(audio->sampleRate());
        audioEncoder()->setBitRate(audio->outputBitrate());
        audioEncoder()->setChannelsNumber(audio->channelsNumber());
        audioEncoder()->startEncoding();
        videoEncoder()->setExtraSpsPps(false);
        videoEncoder()->setKeyFrameInterval(kKeyFrameIntervalFrames);
        videoEncoder()->updateBitrate(KNNarrowBitrate(get(videoSettings)->outputBitrate()));
        const KNVideoFrameSize size = frameSize();
        videoEncoder()->startEncodingWithResolutionHeight(static_cast<int32_t>(size.width),
                                                        static_cast<int32_t>(size.height));
    }

    // Runs `task` once both encoders have handled everything queued on them so far (a stop
    // flushes the H.264 session there, so its last frames have then reached the saver's queue).
    // Nothing waits: a host may start or stop from any callback, on any of these threads.
    void afterEncoders(std::function<void()> task) {
        audioEncoder()->encoderQueue()->async([self = shared_from_this(), task = std::move(task)]() mutable {
            self->videoEncoder()->encodingQueue()->async(std::move(task));
        });
    }

    void reportSaverFailure(const std::shared_ptr<KNError>& error) {
        reportError(KNError::errorWithCodesMessage({kLocalSaverErrorCode}, error ? error->message() : std::nullopt));
    }

    void setUpLocalSaver() {
        const KNVideoFrameSize size = frameSize();
        localSaver()->setVideoWidthHeight(static_cast<int32_t>(size.width), static_cast<int32_t>(size.height));
        localSaver()->setAudioSampleRate(get(audioSettings)->sampleRate());
        localSaver()->setFilename(KNUtils::utils()->nameForLocalFile());
    }

    // From the start, and again once the AAC encoder has the magic cookie the audio track needs
    // (on its queue). One start a session: the two can race. A saver started before the cookie
    // came (an encoder still configured from the last session) adds it to the samples later.
    void startLocalSavingIfNeeded() {
        setUpLocalSaver();
        // Not the saver's started(): an earlier session's file may still be on its way to the end.
        if (!get(settings)->localSave()) return;
        if (get(audioSettings)->sendingAudio() && !audioEncoder()->isConfigured()) return;
        if (saverStartIssued.exchange(true)) return;
        const auto start = [self = shared_from_this()] {
            std::weak_ptr<Pipeline> weak = self;
            self->localSaver()->startSavingStream([weak](std::shared_ptr<KNError> error) {
                if (auto owner = weak.lock()) owner->reportSaverFailure(error);
            });
        };
        // Straight onto the saver's queue, ahead of this session's first frames; behind an earlier
        // session's stop, though, which is still on its way through the encoders' queues.
        if (saverStopsUnderWay.load() == 0) start();
        else afterEncoders(start);
    }

    // The file is finished behind the encoders' last output, after the stop has returned; the
    // pipeline lives until it has been moved, even if the host lets go of the streamer.
    void stopLocalSaving() {
        saverStartIssued.store(false);
        if (!get(settings)->localSave()) return;
        ++saverStopsUnderWay;
        afterEncoders([self = shared_from_this()] {
            self->localSaver()->stopSavingStream([self](std::optional<platform::URL> url, std::shared_ptr<KNError> error) {
                if (error || !url) {
                    self->reportSaverFailure(error);
                    return;
                }
                KNAssetsLibrary::create()->addVideoWithURLCompletionBlock(
                    *url, [self](bool success, std::shared_ptr<KNError> moveError) {
                        if (!success) self->reportError(moveError);
                    });
            });
            // Queued on the saver before the count drops: a start that sees 0 lands behind it.
            --self->saverStopsUnderWay;
        });
    }

    bool locked(std::shared_ptr<KNError>* reason) const {
        // A streamer the host let go of locks nothing, though its last file is still being finished.
        if (state.load() == KNStreamerStateIdle || owner.expired()) return false;
        if (reason) *reason = KNError::errorWithCodesMessage({0}, kLockedMessage);
        return true;
    }

    // Settings.
    bool streamerSettingsLockedReason(KNStreamerSettings*, std::shared_ptr<KNError>* reason) override {
        return locked(reason);
    }
    void streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings*, bool on) override {
        streamSources()->setAdaptiveBitRateOn(on);
    }
    void streamerSettingsDidChangeLocalSave(KNStreamerSettings*, bool localSave) override {
        std::shared_ptr<KNError> error;
        localSaver()->setSavingEnabledError(localSave, &error);
        if (error) reportError(error);
    }
    bool streamerVideoSettingsSettingsLockedReason(KNStreamerVideoSettings*, std::shared_ptr<KNError>* reason) override {
        return locked(reason);
    }
    void streamerVideoSettingsDidChangeResolution(KNStreamerVideoSettings*, int64_t) override { updateMetadata(); }
    void streamerVideoSettingsDidChangeVideoFrameSize(KNStreamerVideoSettings*, KNVideoFrameSize) override {
        updateMetadata();
    }
    void streamerVideoSettingsDidChangeResolutionInverted(KNStreamerVideoSettings*, bool) override { updateMetadata(); }
    void streamerVideoSettingsDidChangeOutputBitrate(KNStreamerVideoSettings*, int64_t bitrate) override {
        videoEncoder()->updateBitrate(KNNarrowBitrate(bitrate));
        updateMetadata();
    }
    bool streamerAudioSettingsSettingsLockedReason(KNStreamerAudioSettings*, std::shared_ptr<KNError>* reason) override {
        return locked(reason);
    }
    void streamerAudioSettingsDidChangeBitrate(KNStreamerAudioSettings*, uint64_t) override { updateMetadata(); }
    void streamerAudioSettingsDidChangeSampleRate(KNStreamerAudioSettings*, uint64_t) override { updateMetadata(); }
    void streamerAudioSettingsDidChangeChannelsNumber(KNStreamerAudioSettings*, uint64_t) override {
        updateMetadata();
    }

    // Encoders.
    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        streamSources()->setVideoSPSAndPPS(sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        if (!data || !isPictureSlice(*data)) return;
        // Frames are stamped with the host clock when handed over: two handed over within one
        // millisecond would share a timestamp, which a recording can't hold.
        uint64_t last = lastVideoTimestampMs.load();
        while (!lastVideoTimestampMs.compare_exchange_weak(last, std::max(timestampMs, last + 1))) {
        }
        streamSources()->sendVideoPacketIsKeyFrameTimestamp(data, isKeyFrame, std::max(timestampMs, last + 1));
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*,
                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override {
        localSaver()->writeEncodedVideo(sampleBuffer);
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        reportError(error);
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        reportError(error);
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime, uint64_t timestamp) override {
        streamSources()->sendAudioPacketTimestamp(data, timestamp);
    }
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime presentationTime) override {
        localSaver()->writeEncodedAudioDurationPresentationTime(data, duration, presentationTime);
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase*) override {
        // Also when saving started without waiting: the saver then adds the cookie to the samples.
        localSaver()->setMagicCookie(audioEncoder()->magicCookie());
        localSaver()->setAudioDecoderDelay(audioEncoder()->decoderDelay());
        startLocalSavingIfNeeded();
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError> error) override {
        reportError(error);
    }

    // Destinations.
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager*,
                                                                    const std::shared_ptr<KNStreamSource>&,
                                                                    const std::shared_ptr<KNError>& error) override {
        reportError(error);
    }
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager*, uint64_t bitsPerSecond) override {
        videoEncoder()->updateBitrate(KNNarrowBitrate(bitsPerSecond));
    }

    // Saver.
    void localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver*, std::shared_ptr<KNError> error) override {
        reportError(error);
    }
    void localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver*, std::shared_ptr<KNError> error) override {
        reportError(error);
    }
};

std::shared_ptr<KNStreamer> KNStreamer::create() {
    std::shared_ptr<KNStreamer> streamer(new KNStreamer());
    streamer->pipeline_->owner = streamer;
    streamer->pipeline_->setUp();
    return streamer;
}

KNStreamer::KNStreamer() : pipeline_(std::make_shared<Pipeline>()) {}

// Let go of while streaming: stopped as by stopStreaming, without telling anyone, and the file
// is finished all the same.
KNStreamer::~KNStreamer() {
    if (pipeline_->state.exchange(KNStreamerStateIdle) == KNStreamerStateIdle) return;
    pipeline_->audioEncoder()->stopEncoding();
    pipeline_->videoEncoder()->stopEncoding();
    pipeline_->stopLocalSaving();
}

std::shared_ptr<KNStreamerDelegate> KNStreamer::delegate() const { return pipeline_->get(pipeline_->delegate.lock()); }

void KNStreamer::setDelegate(std::weak_ptr<KNStreamerDelegate> delegate) {
    std::lock_guard lock(pipeline_->mutex_);
    pipeline_->delegate = std::move(delegate);
}

std::shared_ptr<KNStreamerSettings> KNStreamer::settings() const { return pipeline_->get(pipeline_->settings); }

void KNStreamer::setSettings(std::shared_ptr<KNStreamerSettings> settings) {
    std::lock_guard lock(pipeline_->mutex_);
    pipeline_->settings = std::move(settings);
}

std::shared_ptr<KNStreamerVideoSettings> KNStreamer::videoSettings() const {
    return pipeline_->get(pipeline_->videoSettings);
}

void KNStreamer::setVideoSettings(std::shared_ptr<KNStreamerVideoSettings> settings) {
    std::lock_guard lock(pipeline_->mutex_);
    pipeline_->videoSettings = std::move(settings);
}

std::shared_ptr<KNStreamerAudioSettings> KNStreamer::audioSettings() const {
    return pipeline_->get(pipeline_->audioSettings);
}

void KNStreamer::setAudioSettings(std::shared_ptr<KNStreamerAudioSettings> settings) {
    std::lock_guard lock(pipeline_->mutex_);
    pipeline_->audioSettings = std::move(settings);
}

std::shared_ptr<KNH264EncoderControls> KNStreamer::videoEncoder() const { return pipeline_->videoEncoder(); }

void KNStreamer::setVideoEncoder(std::shared_ptr<KNH264EncoderControls> encoder) {
    pipeline_->replace(pipeline_->videoEncoder_, encoder);
}

std::shared_ptr<KNAACEncoderControls> KNStreamer::audioEncoder() const { return pipeline_->audioEncoder(); }

// Refuses the camera recorder's AAC encoder too: same controls, but not the host's timestamps.
void KNStreamer::setAudioEncoder(std::shared_ptr<KNAACEncoderControls> encoder) {
    pipeline_->replace(pipeline_->audioEncoder_, encoder);
}

std::shared_ptr<KNStreamSourcesControls> KNStreamer::streamSources() const { return pipeline_->streamSources(); }

void KNStreamer::setStreamSources(std::shared_ptr<KNStreamSourcesControls> streamSources) {
    pipeline_->replace(pipeline_->streamSources_, streamSources);
}

std::shared_ptr<KNLocalSaverControls> KNStreamer::localSaver() const { return pipeline_->localSaver(); }

void KNStreamer::setLocalSaver(std::shared_ptr<KNLocalSaverControls> localSaver) {
    pipeline_->replace(pipeline_->localSaver_, localSaver);
}

KNStreamerState KNStreamer::currentState() const { return static_cast<KNStreamerState>(pipeline_->state.load()); }

void KNStreamer::setCurrentState(KNStreamerState state) { pipeline_->state.store(state); }

void KNStreamer::startStreamingWithCompletion(Completion completion) {
    const auto audio = audioSettings();
    if (audio && !KNStreamerAudioSettings::isSupportedChannelsNumber(audio->channelsNumber())) {
        if (completion) completion(false, KNStreamerAudioSettings::unsupportedChannelsNumberError());
        return;
    }
    pipeline_->updateMetadata();
    pipeline_->changeState(KNStreamerStateStarting);
    // An earlier session's cookie may not fit this one's rate; the encoder brings the new one.
    pipeline_->localSaver()->setMagicCookie(nullptr);
    pipeline_->startEncoders();
    pipeline_->startLocalSavingIfNeeded();
    pipeline_->changeState(KNStreamerStateStreaming);
    if (completion) completion(true, nullptr);
}

void KNStreamer::stopStreaming() {
    pipeline_->changeState(KNStreamerStateStopping);
    pipeline_->audioEncoder()->stopEncoding();
    pipeline_->videoEncoder()->stopEncoding();
    // Behind the encoders' stops, so that their last frames reach the file.
    pipeline_->stopLocalSaving();
    pipeline_->changeState(KNStreamerStateIdle);
}

void KNStreamer::sendVideoBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (sampleBuffer) pipeline_->videoEncoder()->encode(sampleBuffer);
}

void KNStreamer::sendAudioBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (sampleBuffer) pipeline_->audioEncoder()->encode(sampleBuffer);
}

void KNStreamer::sendAudioDataTimestamp(Bytes data, uint64_t timestamp) {
    pipeline_->audioEncoder()->encodeAudioDataTimestamp(std::move(data), timestamp);
}

std::shared_ptr<KNStreamSource> KNStreamer::addStreamSourceWithInfo(std::shared_ptr<KNStreamInfo> info) {
    auto source = pipeline_->streamSources()->addSourceWithStreamInfo(std::move(info));
    source->setSendingAudio(pipeline_->get(pipeline_->audioSettings)->sendingAudio());
    source->setSendingVideo(pipeline_->get(pipeline_->videoSettings)->sendingVideo());
    return source;
}

void KNStreamer::removeStreamSource(const std::shared_ptr<KNStreamSource>& source) {
    if (!source) return;
    pipeline_->streamSources()->closeConnectionToSource(source);
    pipeline_->streamSources()->removeSource(source);
}

// The wiring, callable on the streamer itself.
bool KNStreamer::streamerSettingsLockedReason(KNStreamerSettings* settings, std::shared_ptr<KNError>* reason) {
    return pipeline_->streamerSettingsLockedReason(settings, reason);
}
void KNStreamer::streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings* settings, bool on) {
    pipeline_->streamerSettingsDidChangeAdaptiveBitrate(settings, on);
}
void KNStreamer::streamerSettingsDidChangeLocalSave(KNStreamerSettings* settings, bool localSave) {
    pipeline_->streamerSettingsDidChangeLocalSave(settings, localSave);
}
bool KNStreamer::streamerVideoSettingsSettingsLockedReason(KNStreamerVideoSettings* settings, std::shared_ptr<KNError>* reason) {
    return pipeline_->streamerVideoSettingsSettingsLockedReason(settings, reason);
}
void KNStreamer::streamerVideoSettingsDidChangeOutputBitrate(KNStreamerVideoSettings* settings, int64_t bitrate) {
    pipeline_->streamerVideoSettingsDidChangeOutputBitrate(settings, bitrate);
}
bool KNStreamer::streamerAudioSettingsSettingsLockedReason(KNStreamerAudioSettings* settings, std::shared_ptr<KNError>* reason) {
    return pipeline_->streamerAudioSettingsSettingsLockedReason(settings, reason);
}
void KNStreamer::H264EncoderDidExtractSpsPps(KNH264Encoder* encoder, const Bytes& sps, const Bytes& pps) {
    pipeline_->H264EncoderDidExtractSpsPps(encoder, sps, pps);
}
void KNStreamer::H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* encoder, const Bytes& data, bool isKeyFrame,
                                                             uint64_t timestampMs) {
    pipeline_->H264EncoderDidEncodeDataIsKeyFrameTimestamp(encoder, data, isKeyFrame, timestampMs);
}
void KNStreamer::H264EncoderDidEncodeSampleBuffer(KNH264Encoder* encoder,
                                                  const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    pipeline_->H264EncoderDidEncodeSampleBuffer(encoder, sampleBuffer);
}
void KNStreamer::H264EncoderDidFailStartingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error) {
    pipeline_->H264EncoderDidFailStartingWithError(encoder, error);
}
void KNStreamer::H264EncoderDidFailEncodingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error) {
    pipeline_->H264EncoderDidFailEncodingWithError(encoder, error);
}
void KNStreamer::AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase* encoder, const Bytes& data,
                                                                            platform::MediaTime duration, uint64_t timestamp) {
    pipeline_->AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(encoder, data, duration, timestamp);
}
void KNStreamer::AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase* encoder, const Bytes& data,
                                                                     platform::MediaTime duration,
                                                                     platform::MediaTime presentationTime) {
    pipeline_->AACEncoderDidEncodeDataWithDurationPresentationTime(encoder, data, duration, presentationTime);
}
void KNStreamer::AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) { pipeline_->AACEncoderDidFinishConfiguring(encoder); }
void KNStreamer::AACEncoderDidFailEncodingWithError(KNAACEncoderBase* encoder, std::shared_ptr<KNError> error) {
    pipeline_->AACEncoderDidFailEncodingWithError(encoder, std::move(error));
}
void KNStreamer::streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager* manager,
                                                                            const std::shared_ptr<KNStreamSource>& source,
                                                                            const std::shared_ptr<KNError>& error) {
    pipeline_->streamSourcesManagerStreamSourceDidFailConnectingWithError(manager, source, error);
}
void KNStreamer::streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager* manager, uint64_t bitsPerSecond) {
    pipeline_->streamSourcesManagerDidEstimateNewBitrate(manager, bitsPerSecond);
}
void KNStreamer::localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver* saver, std::shared_ptr<KNError> error) {
    pipeline_->localSaverDidFailWritingEncodedVideoWithError(saver, std::move(error));
}
void KNStreamer::localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver* saver, std::shared_ptr<KNError> error) {
    pipeline_->localSaverDidFailWritingEncodedAudioWithError(saver, std::move(error));
}
