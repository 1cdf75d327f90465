#pragma once
// Records the encoders' output (H.264 sample buffers, raw AAC packets) into Documents/<filename>.mp4,
// or .m4a when only audio is recorded, without re-encoding. Starts, stops and writes run in call
// order on localSaverQueue; the switches, setters and started() may be called from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "encoding/KNLocalSaverDelegate.h"
#include "kestrune/KNLocalSaverControls.h"
#include "platform/DispatchQueue.h"
#include "platform/URL.h"
#include "platform/media/AssetWriter.h"
#include "platform/media/SampleBuffer.h"

class KNLocalSaver : public KNLocalSaverControls, public std::enable_shared_from_this<KNLocalSaver> {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    using StartCompletion = std::function<void(std::shared_ptr<KNError> error)>;
    // The file's URL and no error, or no URL and the error.
    using StopCompletion = std::function<void(std::optional<platform::URL> url, std::shared_ptr<KNError> error)>;

    // The platform's asset writer; tests hand in one with a failing byte sink.
    struct Platform {
        std::function<std::shared_ptr<platform::AssetWriter>(const std::string& path, platform::AssetFileType type)>
            newAssetWriter;
        static Platform system();
    };

    static std::shared_ptr<KNLocalSaver> create(Platform platform = Platform::system());
    KNLocalSaver(const KNLocalSaver&) = delete;
    KNLocalSaver& operator=(const KNLocalSaver&) = delete;

    std::shared_ptr<KNLocalSaverDelegate> delegate() const;
    void setDelegate(std::weak_ptr<KNLocalSaverDelegate> delegate);
    const std::shared_ptr<platform::DispatchQueue>& localSaverQueue() const { return localSaverQueue_; }

    std::string filename() const override;
    void setFilename(std::string filename);
    Bytes magicCookie() const;
    void setMagicCookie(Bytes cookie);
    uint64_t audioSampleRate() const override { return audioSampleRate_.load(); }
    void setAudioSampleRate(uint64_t sampleRate) { audioSampleRate_.store(sampleRate); }
    uint64_t audioDecoderDelay() const { return audioDecoderDelay_.load(); }
    void setAudioDecoderDelay(uint64_t frames) { audioDecoderDelay_.store(frames); }
    uint64_t width() const override { return width_.load(); }
    uint64_t height() const override { return height_.load(); }
    void setVideoWidthHeight(int32_t width, int32_t height);

    bool savingEnabled() const override { return savingEnabled_.load(); }
    bool savingAudio() const override { return savingAudio_.load(); }
    bool savingVideo() const override { return savingVideo_.load(); }
    // Plain setters: no checks.
    void setSavingEnabled(bool enabled) { savingEnabled_.store(enabled); }
    void setSavingAudio(bool audio) { savingAudio_.store(audio); }
    void setSavingVideo(bool video) { savingVideo_.store(video); }
    // Refused while started (110004); both off is refused too (110006). A refusal changes nothing.
    void setSavingEnabledError(bool enabled, std::shared_ptr<KNError>* error);
    void setSavingAudioAndVideoError(bool audio, bool video, std::shared_ptr<KNError>* error) override;

    std::shared_ptr<platform::AssetWriter> fileAssetWriter() const;
    std::shared_ptr<platform::AssetWriterInput> videoAssetWriterInput() const;
    std::shared_ptr<platform::AssetWriterInput> audioAssetWriterInput() const;
    std::shared_ptr<const platform::FormatDescription> videoFormatDescription() const;
    std::shared_ptr<const platform::FormatDescription> audioFormatDescription() const;
    bool firstAudioPacket() const { return firstAudioPacket_.load(); }
    // -1 while no packet of the track has been seen since the last start.
    int64_t firstAudioPacketTimeValue() const { return firstAudioPacketTimeValue_.load(); }
    int64_t firstVideoPacketTimeValue() const { return firstVideoPacketTimeValue_.load(); }
    // A writer exists and is writing.
    bool started() const override;

    // Nothing at all happens while saving is disabled. A successful start calls nothing.
    void startSavingStream(StartCompletion completion);
    // The URL comes only for a file that was finished without fault, on the writer's thread. After
    // the writer failed while recording (the file is closed at once), the stop answers with that
    // failure. A new file never replaces one of the same name: the name gets a suffix.
    void stopSavingStream(StopCompletion completion);
    // Video before the first key frame of a recording is dropped: the file opens on a key frame.
    // Both tracks are rebased to the first packet written of either.
    void writeEncodedVideo(std::shared_ptr<platform::SampleBuffer> sampleBuffer);
    void writeEncodedAudioDurationPresentationTime(Bytes data, platform::MediaTime duration,
                                                   platform::MediaTime presentationTime);

private:
    explicit KNLocalSaver(Platform platform);

    std::shared_ptr<KNError> startOnQueue();
    std::shared_ptr<KNError> makeFormatDescriptions();
    std::shared_ptr<KNError> makeWriter();
    std::string reservePathWithExtension(const std::string& extension) const;
    platform::MediaTime originFor(platform::MediaTime time);
    std::shared_ptr<const platform::FormatDescription> currentAudioFormatDescription();
    void noteWriterFailure(int64_t code, const std::string& message);
    void stopOnQueue(const StopCompletion& completion);
    void writeVideoOnQueue(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer);
    void writeAudioOnQueue(const Bytes& data, platform::MediaTime duration, platform::MediaTime presentationTime);
    void reportVideoFailure(const std::string& message);
    void reportAudioFailure(const std::string& message);
    bool startedLocked() const;

    const Platform platform_;
    const std::shared_ptr<platform::DispatchQueue> localSaverQueue_;

    // Guards the writer and everything made at a start, the delegate and the byte fields, and
    // makes a switch and a start exclude each other.
    mutable std::mutex mutex_;
    std::weak_ptr<KNLocalSaverDelegate> delegate_;
    std::string filename_;
    Bytes magicCookie_;
    std::shared_ptr<platform::AssetWriter> fileAssetWriter_;
    std::shared_ptr<platform::AssetWriterInput> videoAssetWriterInput_;
    std::shared_ptr<platform::AssetWriterInput> audioAssetWriterInput_;
    std::shared_ptr<const platform::FormatDescription> videoFormatDescription_;
    std::shared_ptr<const platform::FormatDescription> audioFormatDescription_;

    std::atomic<uint64_t> audioSampleRate_{0};
    std::atomic<uint64_t> audioDecoderDelay_{0};
    std::atomic<uint64_t> width_{0};
    std::atomic<uint64_t> height_{0};
    std::atomic<bool> savingEnabled_{false};
    std::atomic<bool> savingAudio_{true};
    std::atomic<bool> savingVideo_{true};
    std::atomic<bool> firstAudioPacket_{false};
    std::atomic<int64_t> firstAudioPacketTimeValue_{-1};
    std::atomic<int64_t> firstVideoPacketTimeValue_{-1};
    // The writer's failure while recording, for the stop to answer with.
    std::shared_ptr<KNError> writerFailure_;
    bool finishing_ = false;  // the stop has asked the writer to finish
    // Queue-only: the whole time of the first packet written of either track (video from its
    // first key frame); both tracks are rebased to it, so a track that starts later starts late.
    platform::MediaTime origin_ = platform::MediaTime::invalid();
};
