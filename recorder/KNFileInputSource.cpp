#include "kestrune/KNFileInputSource.h"

#include <cmath>

#include "kestrune/KNAssetsLibrary.h"
#include "kestrune/KNError.h"
#include "platform/DispatchQueue.h"
#include "platform/HostClock.h"

namespace {

constexpr int64_t kMaxAudioPieceFrames = 1024;

std::shared_ptr<KNError> refusal(const char* message) { return KNError::errorWithCodesMessage({0}, message); }

}  // namespace

// One start's reading: touched only on readerQueue.
struct KNFileInputSource::Reading {
    std::shared_ptr<platform::AssetReader> reader;
    uint64_t generation = 0;
    bool anchored = false;
    double anchorHostSeconds = 0;
    double anchorMediaSeconds = 0;

    // Host-clock seconds until `mediaSeconds` is due; the first sample asked about sets the anchor.
    double delayUntil(double mediaSeconds) {
        const double now = platform::HostClock::now();
        if (!anchored) {
            anchored = true;
            anchorHostSeconds = now;
            anchorMediaSeconds = mediaSeconds;
        }
        return anchorHostSeconds + (mediaSeconds - anchorMediaSeconds) - now;
    }
};

std::shared_ptr<KNFileInputSource> KNFileInputSource::create() {
    return std::shared_ptr<KNFileInputSource>(new KNFileInputSource());
}

KNFileInputSource::KNFileInputSource()
    : readerQueue_(platform::DispatchQueue::createSerial("com.KestruneSDK.FileInputSourceQueue",
                                                         platform::DispatchQueue::global())),
      assetLibrary_(KNAssetsLibrary::create()) {}

KNFileInputSource::~KNFileInputSource() = default;

std::shared_ptr<KNFileInputSourceDelegate> KNFileInputSource::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void KNFileInputSource::setDelegate(std::weak_ptr<KNFileInputSourceDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::optional<platform::URL> KNFileInputSource::videoURL() const {
    std::lock_guard lock(mutex_);
    return videoURL_;
}

void KNFileInputSource::setVideoURL(std::optional<platform::URL> url) {
    std::lock_guard lock(mutex_);
    videoURL_ = std::move(url);
}

std::shared_ptr<platform::AssetReader> KNFileInputSource::assetReader() const {
    std::lock_guard lock(mutex_);
    return assetReader_;
}

void KNFileInputSource::startReadingWithError(std::shared_ptr<KNError>* error) {
    const auto refuse = [&](const char* message) {
        if (error) *error = refusal(message);
    };
    std::lock_guard lock(mutex_);
    if (!videoURL_) return refuse("No video URL provided.");
    // A reader not yet opened on the queue counts as started: one reader at most.
    const auto status = assetReader_ ? assetReader_->status() : platform::AssetReaderStatus::Completed;
    if (status == platform::AssetReaderStatus::Reading || status == platform::AssetReaderStatus::Unknown) {
        return refuse("Reader already started.");
    }
    if (videoURL_->isFileURL() && !videoURL_->filePath()) return refuse("Failed to create the asset with given URL.");
    const std::string path = videoURL_->filePath().value_or(videoURL_->absoluteString());
    assetReader_ = platform::AssetReader::create(path);
    if (!assetReader_) return refuse("Failed to create the asset with given URL.");
    auto reading = std::make_shared<Reading>();
    reading->reader = assetReader_;
    reading->generation = ++generation_;
    readerQueue_->async([self = shared_from_this(), reading] { self->open(reading); });
}

void KNFileInputSource::stopReading() {
    ++generation_;
    std::shared_ptr<platform::AssetReader> reader = assetReader();
    if (reader) reader->cancelReading();
    // Dropped on the queue, so that no turn holds the field while it goes.
    const auto drop = [this] {
        std::lock_guard lock(mutex_);
        assetReader_.reset();
    };
    if (readerQueue_->isCurrent()) {
        drop();
    } else {
        readerQueue_->sync(drop);
    }
}

bool KNFileInputSource::current(const Reading& reading) const {
    return reading.generation == generation_.load() && reading.reader->status() == platform::AssetReaderStatus::Reading;
}

void KNFileInputSource::open(const std::shared_ptr<Reading>& reading) {
    if (reading->generation != generation_.load()) return;
    const double nominal = reading->reader->nominalFrameRate();
    frameRate_.store(std::isfinite(nominal) ? static_cast<int64_t>(std::trunc(nominal)) : 0);
    if (!reading->reader->startReading()) return;
    if (reading->reader->hasTrack(platform::AssetTrack::Video)) videoTurn(reading);
    if (reading->reader->hasTrack(platform::AssetTrack::Audio)) audioTurn(reading);
}

void KNFileInputSource::deliver(bool video, const std::shared_ptr<platform::SampleBuffer>& sample) {
    auto target = delegate();
    if (!target) return;
    if (video) {
        target->fileInputSourceDidReadVideoSample(this, sample);
    } else {
        target->fileInputSourceDidReadAudioSample(this, sample);
    }
}

// Reads one frame and hands it over when its time comes, then reads the next.
void KNFileInputSource::videoTurn(const std::shared_ptr<Reading>& reading) {
    if (!current(*reading)) return;
    auto sample = reading->reader->copyNextSampleBuffer(platform::AssetTrack::Video);
    if (!sample) return;
    const double delay = reading->delayUntil(sample->presentationTimeStamp().seconds());
    readerQueue_->afterSeconds(std::max(delay, 0.0), [self = shared_from_this(), reading, sample] {
        if (!self->current(*reading)) return;
        self->deliver(true, sample);
        self->videoTurn(reading);
    });
}

// Reads one buffer, schedules each of its pieces at its own time, and reads the next buffer when
// the last piece is due.
void KNFileInputSource::audioTurn(const std::shared_ptr<Reading>& reading) {
    if (!current(*reading)) return;
    auto buffer = reading->reader->copyNextSampleBuffer(platform::AssetTrack::Audio);
    if (!buffer) return;
    double lastDelay = 0;
    for (int64_t offset = 0; offset < buffer->numSamples(); offset += kMaxAudioPieceFrames) {
        auto piece = buffer->copyForRange(offset, std::min(kMaxAudioPieceFrames, buffer->numSamples() - offset));
        if (!piece) break;
        lastDelay = std::max(reading->delayUntil(piece->presentationTimeStamp().seconds()), 0.0);
        readerQueue_->afterSeconds(lastDelay, [self = shared_from_this(), piece] { self->deliver(false, piece); });
    }
    readerQueue_->afterSeconds(lastDelay, [self = shared_from_this(), reading] { self->audioTurn(reading); });
}
