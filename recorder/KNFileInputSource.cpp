#include "kestrune/KNFileInputSource.h"

#include <cmath>
#include <filesystem>
#include <system_error>

#include "kestrune/KNAssetsLibrary.h"
#include "kestrune/platform/media/Asset.h"
#include "kestrune/platform/media/AssetReaderTrackOutput.h"
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
    std::shared_ptr<platform::AssetReaderTrackOutput> video;
    std::shared_ptr<platform::AssetReaderTrackOutput> audio;
    std::shared_ptr<platform::DispatchQueue> queue;  // readerQueue as the start found it
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

// Pending turns hold the source only weakly: a source the host lets go of stops reading.
KNFileInputSource::~KNFileInputSource() {
    if (assetReader_) assetReader_->cancelReading();
}

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

std::shared_ptr<platform::DispatchQueue> KNFileInputSource::queue() const {
    std::lock_guard lock(mutex_);
    return readerQueue_;
}

std::shared_ptr<platform::DispatchQueue> KNFileInputSource::readerQueue() const { return queue(); }

void KNFileInputSource::setReaderQueue(std::shared_ptr<platform::DispatchQueue> queue) {
    std::lock_guard lock(mutex_);
    if (queue) readerQueue_ = std::move(queue);
}

std::shared_ptr<KNAssetsLibrary> KNFileInputSource::assetLibrary() const {
    std::lock_guard lock(mutex_);
    return assetLibrary_;
}

void KNFileInputSource::setAssetLibrary(std::shared_ptr<KNAssetsLibrary> library) {
    std::lock_guard lock(mutex_);
    assetLibrary_ = std::move(library);
}

std::shared_ptr<platform::Asset> KNFileInputSource::currentAsset() const {
    std::lock_guard lock(mutex_);
    return currentAsset_;
}

void KNFileInputSource::setCurrentAsset(std::shared_ptr<platform::Asset> asset) {
    std::lock_guard lock(mutex_);
    currentAsset_ = std::move(asset);
}

std::shared_ptr<platform::AssetReaderTrackOutput> KNFileInputSource::videoAssetTrackOutput() const {
    std::lock_guard lock(mutex_);
    return videoAssetTrackOutput_;
}

void KNFileInputSource::setVideoAssetTrackOutput(std::shared_ptr<platform::AssetReaderTrackOutput> output) {
    std::lock_guard lock(mutex_);
    videoAssetTrackOutput_ = std::move(output);
}

std::shared_ptr<platform::AssetReaderTrackOutput> KNFileInputSource::audioAssetTrackOutput() const {
    std::lock_guard lock(mutex_);
    return audioAssetTrackOutput_;
}

void KNFileInputSource::setAudioAssetTrackOutput(std::shared_ptr<platform::AssetReaderTrackOutput> output) {
    std::lock_guard lock(mutex_);
    audioAssetTrackOutput_ = std::move(output);
}

void KNFileInputSource::setAssetReader(std::shared_ptr<platform::AssetReader> reader) {
    std::lock_guard lock(mutex_);
    assetReader_ = std::move(reader);
}

std::shared_ptr<platform::AssetReader> KNFileInputSource::assetReader() const {
    std::lock_guard lock(mutex_);
    return assetReader_;
}

void KNFileInputSource::startReadingWithError(std::shared_ptr<KNError>* error) {
    const auto refuse = [&](const char* message) {
        if (error) *error = refusal(message);
    };
    std::unique_lock lock(mutex_);
    if (!videoURL_) return refuse("No video URL provided.");
    // A reader still opening, or not yet started on the queue, counts as started: one at most.
    const auto status = assetReader_ ? assetReader_->status() : platform::AssetReaderStatus::Completed;
    if (opening_ || status == platform::AssetReaderStatus::Reading || status == platform::AssetReaderStatus::Unknown) {
        return refuse("Reader already started.");
    }
    if (videoURL_->isFileURL() && !videoURL_->filePath()) return refuse("Failed to create the asset with given URL.");
    opening_ = true;
    const uint64_t generation = ++generation_;
    const std::string path = videoURL_->filePath().value_or(std::string());
    // Opened without the lock: a slow disk delays this call only, never a stop or an accessor.
    lock.unlock();
    std::error_code ec;
    // A FIFO or a device would block the open until someone writes to it.
    auto reader = !path.empty() && std::filesystem::is_regular_file(path, ec) ? platform::AssetReader::create(path)
                                                                              : nullptr;
    lock.lock();
    opening_ = false;
    if (generation != generation_.load()) return;  // stopped meanwhile: nothing starts
    currentAsset_ = platform::Asset::createWithURL(*videoURL_);
    assetReader_ = reader;
    videoAssetTrackOutput_ = nullptr;
    audioAssetTrackOutput_ = nullptr;
    if (!reader) return refuse("Failed to create the asset with given URL.");
    auto reading = std::make_shared<Reading>();
    reading->reader = reader;
    reading->generation = generation;
    reading->queue = readerQueue_;
    // The reader's samples are fresh buffers: nothing to copy.
    for (auto* output : {&reading->video, &reading->audio}) {
        *output = platform::AssetReaderTrackOutput::create(reader, output == &reading->video ? platform::AssetTrack::Video
                                                                                            : platform::AssetTrack::Audio);
        if (*output) (*output)->setAlwaysCopiesSampleData(false);
    }
    videoAssetTrackOutput_ = reading->video;
    audioAssetTrackOutput_ = reading->audio;
    reading->queue->async([weak = weak_from_this(), reading] {
        if (auto self = weak.lock()) self->open(reading);
    });
}

void KNFileInputSource::stopReading() {
    ++generation_;
    std::shared_ptr<platform::AssetReader> reader;
    {
        std::lock_guard lock(mutex_);
        reader.swap(assetReader_);
        videoAssetTrackOutput_ = nullptr;
        audioAssetTrackOutput_ = nullptr;
    }
    // Turns hold their own reference and end at their next look; nothing here waits for them.
    if (reader) reader->cancelReading();
}

bool KNFileInputSource::current(const Reading& reading) const {
    return reading.generation == generation_.load() && reading.reader->status() == platform::AssetReaderStatus::Reading;
}

void KNFileInputSource::open(const std::shared_ptr<Reading>& reading) {
    if (reading->generation != generation_.load()) return;
    const double nominal = reading->reader->nominalFrameRate();
    frameRate_.store(std::isfinite(nominal) ? static_cast<int64_t>(std::trunc(nominal)) : 0);
    if (!reading->reader->startReading()) return;
    if (reading->video) videoTurn(reading);
    if (reading->audio) audioTurn(reading);
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
    auto sample = reading->video->copyNextSampleBuffer();
    if (!sample) return;
    const double delay = reading->delayUntil(sample->presentationTimeStamp().seconds());
    reading->queue->afterSeconds(std::max(delay, 0.0), [weak = weak_from_this(), reading, sample] {
        auto self = weak.lock();
        if (!self || !self->current(*reading)) return;
        self->deliver(true, sample);
        self->videoTurn(reading);
    });
}

// Reads one buffer, schedules each of its pieces at its own time, and reads the next buffer when
// the last piece is due.
void KNFileInputSource::audioTurn(const std::shared_ptr<Reading>& reading) {
    if (!current(*reading)) return;
    auto buffer = reading->audio->copyNextSampleBuffer();
    if (!buffer) return;
    double lastDelay = 0;
    for (int64_t offset = 0; offset < buffer->numSamples(); offset += kMaxAudioPieceFrames) {
        auto piece = buffer->copyForRange(offset, std::min(kMaxAudioPieceFrames, buffer->numSamples() - offset));
        if (!piece) break;
        lastDelay = std::max(reading->delayUntil(piece->presentationTimeStamp().seconds()), 0.0);
        reading->queue->afterSeconds(lastDelay, [weak = weak_from_this(), piece] {
            if (auto self = weak.lock()) self->deliver(false, piece);
        });
    }
    reading->queue->afterSeconds(lastDelay, [weak = weak_from_this(), reading] {
        if (auto self = weak.lock()) self->audioTurn(reading);
    });
}
