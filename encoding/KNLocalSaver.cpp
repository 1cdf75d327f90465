#include "encoding/KNLocalSaver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/Documents.h"
#include "platform/media/AudioConverter.h"

using platform::AssetFileType;
using platform::AssetWriter;
using platform::AssetWriterInput;
using platform::AssetWriterStatus;
using platform::FormatDescription;
using platform::MediaTime;
using platform::SampleBuffer;

namespace {

constexpr int64_t kErrorResolution = 110000;
constexpr int64_t kErrorAudioFormat = 110001;
constexpr int64_t kErrorFile = 110002;
constexpr int64_t kErrorState = 110003;
constexpr int64_t kErrorSwitch = 110004;
constexpr int64_t kErrorWrite = 110005;
constexpr int64_t kErrorBothOff = 110006;
constexpr int32_t kMaxDimension = 16384;
// " (2)" ... " (999)": how far a name that is taken gets a suffix.
constexpr int kMaxNameSuffix = 999;

std::shared_ptr<KNError> error(int64_t code, const std::string& message) {
    return KNError::errorWithCodesMessage({code}, message);
}

void refuse(std::shared_ptr<KNError>* out, int64_t code, const std::string& message) {
    if (out) *out = error(code, message);
}

}  // namespace

KNLocalSaver::Platform KNLocalSaver::Platform::system() {
    return {[](const std::string& path, AssetFileType type) { return AssetWriter::create(path, type); }};
}

std::shared_ptr<KNLocalSaver> KNLocalSaver::create(Platform platform) {
    return std::shared_ptr<KNLocalSaver>(new KNLocalSaver(std::move(platform)));
}

KNLocalSaver::KNLocalSaver(Platform platform)
    : platform_(std::move(platform)),
      localSaverQueue_(platform::DispatchQueue::createSerial("com.KestruneSDK.LocalSaverQueue")) {}

std::shared_ptr<KNLocalSaverDelegate> KNLocalSaver::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNLocalSaver::setDelegate(std::weak_ptr<KNLocalSaverDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::string KNLocalSaver::filename() const {
    std::lock_guard lock(mutex_);
    return filename_;
}

void KNLocalSaver::setFilename(std::string filename) {
    std::lock_guard lock(mutex_);
    filename_ = std::move(filename);
}

KNLocalSaver::Bytes KNLocalSaver::magicCookie() const {
    std::lock_guard lock(mutex_);
    return magicCookie_;
}

void KNLocalSaver::setMagicCookie(Bytes cookie) {
    std::lock_guard lock(mutex_);
    magicCookie_ = std::move(cookie);
}

void KNLocalSaver::setVideoWidthHeight(int32_t width, int32_t height) {
    // As the platform stores a signed value in an unsigned field.
    width_.store(static_cast<uint64_t>(static_cast<int64_t>(width)));
    height_.store(static_cast<uint64_t>(static_cast<int64_t>(height)));
}

void KNLocalSaver::setSavingEnabledError(bool enabled, std::shared_ptr<KNError>* error) {
    std::lock_guard lock(mutex_);
    if (startedLocked()) {
        refuse(error, kErrorSwitch, "Cannot enable/disable local saving while already started");
        return;
    }
    savingEnabled_.store(enabled);
}

void KNLocalSaver::setSavingAudioAndVideoError(bool audio, bool video, std::shared_ptr<KNError>* error) {
    std::lock_guard lock(mutex_);
    if (startedLocked()) {
        refuse(error, kErrorSwitch, "Cannot enable/disable audio/video while already started");
        return;
    }
    if (!audio && !video) {
        refuse(error, kErrorBothOff, "Cannot disable both audio and video. Disable saving insead.");
        return;
    }
    savingAudio_.store(audio);
    savingVideo_.store(video);
}

std::shared_ptr<AssetWriter> KNLocalSaver::fileAssetWriter() const {
    std::lock_guard lock(mutex_);
    return fileAssetWriter_;
}

std::shared_ptr<AssetWriterInput> KNLocalSaver::videoAssetWriterInput() const {
    std::lock_guard lock(mutex_);
    return videoAssetWriterInput_;
}

std::shared_ptr<AssetWriterInput> KNLocalSaver::audioAssetWriterInput() const {
    std::lock_guard lock(mutex_);
    return audioAssetWriterInput_;
}

std::shared_ptr<const FormatDescription> KNLocalSaver::videoFormatDescription() const {
    std::lock_guard lock(mutex_);
    return videoFormatDescription_;
}

std::shared_ptr<const FormatDescription> KNLocalSaver::audioFormatDescription() const {
    std::lock_guard lock(mutex_);
    return audioFormatDescription_;
}

bool KNLocalSaver::started() const {
    std::lock_guard lock(mutex_);
    return startedLocked();
}

bool KNLocalSaver::startedLocked() const {
    // A file being finished is no longer being written: the next recording may start.
    return fileAssetWriter_ && fileAssetWriter_->status() == AssetWriterStatus::Writing && !finishing_;
}

void KNLocalSaver::startSavingStream(StartCompletion completion) {
    if (!savingEnabled_.load()) return;
    localSaverQueue_->async([self = shared_from_this(), completion = std::move(completion)] {
        auto failure = self->startOnQueue();
        if (failure && completion) completion(failure);
    });
}

std::shared_ptr<KNError> KNLocalSaver::startOnQueue() {
    std::lock_guard lock(mutex_);
    if (startedLocked()) return error(kErrorState, "Local saver already started");
    if (auto failure = makeFormatDescriptions()) return failure;
    if (auto failure = makeWriter()) return failure;
    firstAudioPacketTimeValue_.store(-1);
    firstVideoPacketTimeValue_.store(-1);
    origin_ = MediaTime::invalid();
    if (!fileAssetWriter_->startWriting()) {
        std::error_code ec;
        std::filesystem::remove(fileAssetWriter_->outputPath(), ec);
        return error(kErrorState, "Failed to start writing stream in locally");
    }
    firstAudioPacket_.store(true);
    fileAssetWriter_->startSessionAtSourceTime(MediaTime::zero());
    return nullptr;
}

std::shared_ptr<KNError> KNLocalSaver::makeFormatDescriptions() {
    if (savingVideo_.load()) {
        const auto w = static_cast<int64_t>(width_.load());
        const auto h = static_cast<int64_t>(height_.load());
        videoFormatDescription_ =
            w > 0 && h > 0 && w <= kMaxDimension && h <= kMaxDimension
                ? FormatDescription::createVideo(FormatDescription::kCodecH264, static_cast<int32_t>(w),
                                                 static_cast<int32_t>(h))
                : nullptr;
        if (!videoFormatDescription_) return error(kErrorResolution, "Resolution not supported for local saving");
    }
    if (savingAudio_.load()) {
        platform::AudioStreamDescription description;
        description.sampleRate = static_cast<double>(audioSampleRate_.load());
        description.formatId = platform::AudioStreamDescription::kFormatMPEG4AAC;
        description.formatFlags = 1;
        description.channelsPerFrame = 1;
        if (platform::AudioFormat::completeFormatInfo(&description) != platform::kMediaNoErr) {
            return error(kErrorAudioFormat, "Failed to get format description with given sample rate");
        }
        audioFormatDescription_ =
            FormatDescription::createAudio(description, magicCookie_ ? *magicCookie_ : std::vector<uint8_t>{});
        if (!audioFormatDescription_) {
            return error(kErrorAudioFormat, "Failed to create format description with given sample rate");
        }
    }
    return nullptr;
}

std::string KNLocalSaver::reservePathWithExtension(const std::string& extension) const {
    const std::string base = platform::documentsDirectory() + "/" + filename_;
    // The name is taken by creating the file: another saver choosing the same name in the same
    // instant (or an earlier recording) gets the next suffix, and a link planted there is never
    // followed. The earlier file is never removed.
    for (int n = 1; n <= kMaxNameSuffix; ++n) {
        const std::string path = n == 1 ? base + "." + extension : base + " (" + std::to_string(n) + ")." + extension;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) return "";
    }
    return "";
}

std::shared_ptr<KNError> KNLocalSaver::makeWriter() {
    const bool video = savingVideo_.load();
    const bool audio = savingAudio_.load();
    const std::string path = reservePathWithExtension(video ? "mp4" : "m4a");
    if (path.empty()) return error(kErrorFile, "Failed to remove existing file with same name");
    fileAssetWriter_ = platform_.newAssetWriter(path, video ? AssetFileType::MPEG4 : AssetFileType::AppleM4A);
    videoAssetWriterInput_ = nullptr;
    audioAssetWriterInput_ = nullptr;
    writerFailure_ = nullptr;
    finishing_ = false;
    if (!fileAssetWriter_) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return error(kErrorFile, "Failed to create file");
    }
    const auto addInput = [&](FormatDescription::MediaType type, const auto& hint) {
        auto input = AssetWriterInput::create(type, hint);
        input->setExpectsMediaDataInRealTime(true);
        if (fileAssetWriter_->canAddInput(*input)) fileAssetWriter_->addInput(input);
        return input;
    };
    if (video) videoAssetWriterInput_ = addInput(FormatDescription::MediaType::Video, videoFormatDescription_);
    if (audio) audioAssetWriterInput_ = addInput(FormatDescription::MediaType::Audio, audioFormatDescription_);
    return nullptr;
}

void KNLocalSaver::stopSavingStream(StopCompletion completion) {
    if (!savingEnabled_.load()) return;
    localSaverQueue_->async([self = shared_from_this(), completion = std::move(completion)] {
        self->stopOnQueue(completion);
    });
}

void KNLocalSaver::stopOnQueue(const StopCompletion& completion) {
    firstAudioPacketTimeValue_.store(-1);
    firstVideoPacketTimeValue_.store(-1);
    std::unique_lock lock(mutex_);
    if (!startedLocked()) {
        // A writer that failed while recording answers with its failure, once.
        auto failure = std::exchange(writerFailure_, nullptr);
        lock.unlock();
        if (completion) completion(std::nullopt, failure ? failure : error(kErrorState, "Local saver not running"));
        return;
    }
    if (audioAssetWriterInput_) audioAssetWriterInput_->markAsFinished();
    if (videoAssetWriterInput_) videoAssetWriterInput_->markAsFinished();
    finishing_ = true;
    auto writer = fileAssetWriter_;
    lock.unlock();
    // The writer stays alive in the handler until its end, whatever the saver does meanwhile.
    writer->finishWritingWithCompletionHandler([writer, completion] {
        if (!completion) return;
        if (writer->status() == AssetWriterStatus::Completed) {
            completion(writer->outputURL(), nullptr);
        } else {
            completion(std::nullopt, error(kErrorState, "Failed to finish writing"));
        }
    });
}

void KNLocalSaver::writeEncodedVideo(std::shared_ptr<SampleBuffer> sampleBuffer) {
    if (!savingEnabled_.load() || !savingVideo_.load() || !sampleBuffer) return;
    localSaverQueue_->async([self = shared_from_this(), sampleBuffer = std::move(sampleBuffer)] {
        self->writeVideoOnQueue(sampleBuffer);
    });
}

void KNLocalSaver::writeVideoOnQueue(const std::shared_ptr<SampleBuffer>& sampleBuffer) {
    const auto delegate = this->delegate();
    if (!sampleBuffer->dataIsReady()) reportVideoFailure("Failed to prepare data for writing");
    const MediaTime pts = sampleBuffer->presentationTimeStamp();
    auto input = videoAssetWriterInput();
    if (firstVideoPacketTimeValue_.load() == -1) {
        // Frames before the first key frame can't be decoded: a recording opens on a key frame.
        if (!sampleBuffer->isSync() || !pts.isNumeric()) input = nullptr;
        else firstVideoPacketTimeValue_.store(pts.value);
    }
    if (input && input->isReadyForMoreMediaData()) {
        sampleBuffer->setOutputPresentationTimeStamp(pts - originFor(pts));
        if (!input->appendSampleBuffer(sampleBuffer)) {
            reportVideoFailure("Failed to append data");
            noteWriterFailure(kErrorWrite, "Failed to append data");
        }
    }
    if (delegate) delegate->localSaverDidWriteEncodedVideo(this);
}

void KNLocalSaver::writeEncodedAudioDurationPresentationTime(Bytes data, MediaTime duration,
                                                             MediaTime presentationTime) {
    if (!savingEnabled_.load() || !savingAudio_.load()) return;
    localSaverQueue_->async([self = shared_from_this(), data = std::move(data), duration, presentationTime] {
        self->writeAudioOnQueue(data, duration, presentationTime);
    });
}

void KNLocalSaver::writeAudioOnQueue(const Bytes& data, MediaTime duration, MediaTime presentationTime) {
    if (firstAudioPacketTimeValue_.load() == -1) firstAudioPacketTimeValue_.store(presentationTime.value);
    const auto input = audioAssetWriterInput();
    const bool ready = input && input->isReadyForMoreMediaData();
    // Both tracks count from one origin, so that what was captured together plays together.
    const MediaTime output = ready ? presentationTime - originFor(presentationTime) : presentationTime;
    const platform::SampleTiming timing{duration, output, MediaTime::invalid()};
    // The block refers to the packet's bytes and keeps them alive as long as the sample lives.
    auto block = platform::BlockBuffer::createSharing(data);
    if (!block) return reportAudioFailure("Failed to audio buffer data");
    auto sample = SampleBuffer::createWithData(block, currentAudioFormatDescription(), 1, timing, {block->size()});
    if (!sample) return reportAudioFailure("Failed to audio sample");
    if (!sample->dataIsReady()) return reportAudioFailure("Failed to prepare data for writing");
    if (ready) {
        if (firstAudioPacket_.exchange(false)) {
            const uint64_t delay = audioDecoderDelay_.load();
            const uint64_t rate = audioSampleRate_.load();
            if (delay <= INT64_MAX && rate > 0 && rate <= INT32_MAX) {
                sample->setAttachment(platform::kBufferAttachmentTrimDurationAtStart,
                                      MediaTime::make(static_cast<int64_t>(delay), static_cast<int32_t>(rate)));
            }
        }
        if (!input->appendSampleBuffer(sample)) {
            noteWriterFailure(kErrorWrite, "Failed to append audio sample");
            return reportAudioFailure("Failed to append audio sample");
        }
    }
    if (const auto delegate = this->delegate()) delegate->localSaverDidWriteEncodedAudio(this);
}

MediaTime KNLocalSaver::originFor(MediaTime time) {
    if (!origin_.isNumeric()) origin_ = time;
    return origin_;
}

std::shared_ptr<const FormatDescription> KNLocalSaver::currentAudioFormatDescription() {
    std::lock_guard lock(mutex_);
    // Saving started before the encoder had configured itself: its configuration, come since,
    // goes with the samples so that the file's audio track can be decoded.
    if (audioFormatDescription_ && audioFormatDescription_->magicCookie().empty() && magicCookie_ &&
        !magicCookie_->empty() && audioFormatDescription_->audioStreamDescription()) {
        if (auto described = FormatDescription::createAudio(*audioFormatDescription_->audioStreamDescription(), *magicCookie_)) {
            audioFormatDescription_ = described;
        }
    }
    return audioFormatDescription_;
}

void KNLocalSaver::noteWriterFailure(int64_t code, const std::string& message) {
    std::lock_guard lock(mutex_);
    if (fileAssetWriter_ && fileAssetWriter_->status() == AssetWriterStatus::Failed && !writerFailure_) {
        writerFailure_ = error(code, message);
    }
}

void KNLocalSaver::reportVideoFailure(const std::string& message) {
    if (const auto delegate = this->delegate())
        delegate->localSaverDidFailWritingEncodedVideoWithError(this, error(kErrorWrite, message));
}

void KNLocalSaver::reportAudioFailure(const std::string& message) {
    if (const auto delegate = this->delegate())
        delegate->localSaverDidFailWritingEncodedAudioWithError(this, error(kErrorWrite, message));
}
