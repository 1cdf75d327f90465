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

    std::shared_ptr<KNH264Encoder> videoEncoder = KNH264Encoder::create();
    std::shared_ptr<KNAACEncoder2> audioEncoder = KNAACEncoder2::create();
    std::shared_ptr<KNStreamSourcesManager> streamSources = KNStreamSourcesManager::create();
    std::shared_ptr<KNLocalSaver> localSaver = KNLocalSaver::create();
    std::atomic<int64_t> state{KNStreamerStateIdle};
    std::atomic<uint64_t> lastVideoTimestampMs{0};

    mutable std::mutex mutex_;  // guards the fields below
    std::weak_ptr<KNStreamerDelegate> delegate;
    std::shared_ptr<KNStreamerSettings> settings;
    std::shared_ptr<KNStreamerVideoSettings> videoSettings;
    std::shared_ptr<KNStreamerAudioSettings> audioSettings;

    // Set once by create(), before anything can report. A report holds the streamer for its call,
    // so no lock is held while the host's delegate runs (it may stop the streamer from there).
    std::weak_ptr<KNStreamer> owner;

    void setUp() {
        auto self = shared_from_this();
        videoEncoder->setDelegate(self);
        audioEncoder->setDelegate(self);
        streamSources->setDelegate(self);
        settings = KNStreamerSettings::defaultSettings();
        settings->addObserver(self);
        videoSettings = KNStreamerVideoSettings::defaultSettings();
        videoSettings->addObserver(self);
        audioSettings = KNStreamerAudioSettings::defaultSettings();
        audioSettings->addObserver(self);
        localSaver->setDelegate(self);
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
        metadata->setAudioSampleSize(static_cast<int32_t>(audioEncoder->sampleSize()));
        // The sequence header's channel count comes from this flag.
        metadata->setAudioStereo(audio->channelsNumber() >= 2);
        streamSources->setMetadata(metadata);
    }

    void startEncoders() {
        auto audio = get(audioSettings);
        audioEncoder->setSampleRate(audio->sampleRate());
        audioEncoder->setBitRate(audio->outputBitrate());
        audioEncoder->setChannelsNumber(audio->channelsNumber());
        audioEncoder->startEncoding();
        videoEncoder->setExtraSpsPps(false);
        videoEncoder->setKeyFrameInterval(kKeyFrameIntervalFrames);
        videoEncoder->updateBitrate(KNNarrowBitrate(get(videoSettings)->outputBitrate()));
        const KNVideoFrameSize size = frameSize();
        videoEncoder->startEncodingWithResolutionHeight(static_cast<int32_t>(size.width),
                                                        static_cast<int32_t>(size.height));
    }

    // Both encoders stopped and done: everything they held has been handed on.
    void stopEncoders() {
        audioEncoder->stopEncoding();
        videoEncoder->stopEncoding();
        audioEncoder->encoderQueue()->sync([] {});
        videoEncoder->encodingQueue()->sync([] {});
    }

    void reportSaverFailure(const std::shared_ptr<KNError>& error) {
        reportError(KNError::errorWithCodesMessage({kLocalSaverErrorCode}, error ? error->message() : std::nullopt));
    }

    // From the start, and again once the AAC encoder has the magic cookie the audio track needs.
    void startLocalSavingIfNeeded() {
        const KNVideoFrameSize size = frameSize();
        localSaver->setVideoWidthHeight(static_cast<int32_t>(size.width), static_cast<int32_t>(size.height));
        localSaver->setAudioSampleRate(get(audioSettings)->sampleRate());
        localSaver->setFilename(KNUtils::utils()->nameForLocalFile());
        if (!get(settings)->localSave() || localSaver->started()) return;
        if (get(audioSettings)->sendingAudio() && !audioEncoder->isConfigured()) return;
        std::weak_ptr<Pipeline> weak = weak_from_this();
        localSaver->startSavingStream([weak](std::shared_ptr<KNError> error) {
            if (auto self = weak.lock()) self->reportSaverFailure(error);
        });
    }

    // The file is finished on the saver's queue after the stop has returned.
    void stopLocalSaving() {
        if (!get(settings)->localSave()) return;
        std::weak_ptr<Pipeline> weak = weak_from_this();
        localSaver->stopSavingStream([weak](std::optional<platform::URL> url, std::shared_ptr<KNError> error) {
            auto self = weak.lock();
            if (!self) return;
            if (error || !url) {
                self->reportSaverFailure(error);
                return;
            }
            KNAssetsLibrary::create()->addVideoWithURLCompletionBlock(*url, [weak](bool success, std::shared_ptr<KNError> moveError) {
                auto owner = weak.lock();
                if (owner && !success) owner->reportError(moveError);
            });
        });
    }

    bool locked(std::shared_ptr<KNError>* reason) const {
        if (state.load() == KNStreamerStateIdle) return false;
        if (reason) *reason = KNError::errorWithCodesMessage({0}, kLockedMessage);
        return true;
    }

    // Settings.
    bool streamerSettingsLockedReason(KNStreamerSettings*, std::shared_ptr<KNError>* reason) override {
        return locked(reason);
    }
    void streamerSettingsDidChangeAdaptiveBitrate(KNStreamerSettings*, bool on) override {
        streamSources->setAdaptiveBitRateOn(on);
    }
    void streamerSettingsDidChangeLocalSave(KNStreamerSettings*, bool localSave) override {
        std::shared_ptr<KNError> error;
        localSaver->setSavingEnabledError(localSave, &error);
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
        videoEncoder->updateBitrate(KNNarrowBitrate(bitrate));
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
        streamSources->setVideoSPSAndPPS(sps, pps);
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        if (!data || !isPictureSlice(*data)) return;
        // Frames are stamped with the host clock when handed over: two handed over within one
        // millisecond would share a timestamp, which a recording can't hold.
        uint64_t last = lastVideoTimestampMs.load();
        while (!lastVideoTimestampMs.compare_exchange_weak(last, std::max(timestampMs, last + 1))) {
        }
        streamSources->sendVideoPacketIsKeyFrameTimestamp(data, isKeyFrame, std::max(timestampMs, last + 1));
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*,
                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override {
        localSaver->writeEncodedVideo(sampleBuffer);
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        reportError(error);
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        reportError(error);
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime, uint64_t timestamp) override {
        streamSources->sendAudioPacketTimestamp(data, timestamp);
    }
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime presentationTime) override {
        localSaver->writeEncodedAudioDurationPresentationTime(data, duration, presentationTime);
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase*) override {
        localSaver->setMagicCookie(audioEncoder->magicCookie());
        localSaver->setAudioDecoderDelay(audioEncoder->decoderDelay());
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
        videoEncoder->updateBitrate(KNNarrowBitrate(bitsPerSecond));
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

KNStreamer::~KNStreamer() = default;

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
    pipeline_->startEncoders();
    pipeline_->startLocalSavingIfNeeded();
    pipeline_->changeState(KNStreamerStateStreaming);
    if (completion) completion(true, nullptr);
}

void KNStreamer::stopStreaming() {
    pipeline_->changeState(KNStreamerStateStopping);
    // The encoders finish first, so that their last frames reach the file.
    pipeline_->stopEncoders();
    pipeline_->stopLocalSaving();
    pipeline_->changeState(KNStreamerStateIdle);
}

void KNStreamer::sendVideoBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (sampleBuffer) pipeline_->videoEncoder->encode(sampleBuffer);
}

void KNStreamer::sendAudioBuffer(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) {
    if (sampleBuffer) pipeline_->audioEncoder->encode(sampleBuffer);
}

void KNStreamer::sendAudioDataTimestamp(Bytes data, uint64_t timestamp) {
    pipeline_->audioEncoder->encodeAudioDataTimestamp(std::move(data), timestamp);
}

std::shared_ptr<KNStreamSource> KNStreamer::addStreamSourceWithInfo(std::shared_ptr<KNStreamInfo> info) {
    auto source = pipeline_->streamSources->addSourceWithStreamInfo(std::move(info));
    source->setSendingAudio(pipeline_->get(pipeline_->audioSettings)->sendingAudio());
    source->setSendingVideo(pipeline_->get(pipeline_->videoSettings)->sendingVideo());
    return source;
}

void KNStreamer::removeStreamSource(const std::shared_ptr<KNStreamSource>& source) {
    pipeline_->streamSources->closeConnectionToSource(source);
    pipeline_->streamSources->removeSource(source);
}
