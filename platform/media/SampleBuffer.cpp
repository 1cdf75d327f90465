#include "platform/media/SampleBuffer.h"

#include <cmath>
#include <limits>

namespace platform {

std::shared_ptr<SampleBuffer> SampleBuffer::createWithImageBuffer(std::shared_ptr<PixelBuffer> image,
                                                                  const SampleTiming& timing,
                                                                  std::shared_ptr<const FormatDescription> format) {
    if (!image) return nullptr;
    if (!format) {
        format = FormatDescription::createVideo(static_cast<uint32_t>(image->pixelFormat()), image->width(),
                                                image->height());
    }
    std::shared_ptr<SampleBuffer> buffer(new SampleBuffer());
    buffer->image_ = std::move(image);
    buffer->format_ = std::move(format);
    buffer->numSamples_ = 1;
    buffer->timing_ = timing;
    return buffer;
}

std::shared_ptr<SampleBuffer> SampleBuffer::createWithData(std::shared_ptr<BlockBuffer> data,
                                                           std::shared_ptr<const FormatDescription> format,
                                                           int64_t numSamples, const SampleTiming& timing,
                                                           std::vector<size_t> sampleSizes) {
    if (numSamples < 0) return nullptr;
    if (sampleSizes.size() > 1 && static_cast<int64_t>(sampleSizes.size()) != numSamples) return nullptr;
    size_t dataBytes = data ? data->size() : 0;
    if (sampleSizes.size() == 1 && sampleSizes[0] * static_cast<size_t>(numSamples) > dataBytes) return nullptr;
    if (sampleSizes.size() > 1) {
        size_t total = 0;
        for (size_t s : sampleSizes) total += s;
        if (total > dataBytes) return nullptr;
    }
    std::shared_ptr<SampleBuffer> buffer(new SampleBuffer());
    buffer->data_ = std::move(data);
    buffer->format_ = std::move(format);
    buffer->numSamples_ = numSamples;
    buffer->sampleSizes_ = std::move(sampleSizes);
    buffer->timing_ = timing;
    return buffer;
}

std::shared_ptr<SampleBuffer> SampleBuffer::createAudioPCM(std::shared_ptr<BlockBuffer> data,
                                                           std::shared_ptr<const FormatDescription> format,
                                                           int64_t numFrames, MediaTime presentationTimeStamp) {
    const AudioStreamDescription* asd = format ? format->audioStreamDescription() : nullptr;
    if (!asd || !asd->isLinearPCM() || asd->bytesPerFrame == 0 || !data || numFrames < 0) return nullptr;
    if (data->size() != static_cast<size_t>(numFrames) * asd->bytesPerFrame) return nullptr;
    SampleTiming timing;
    timing.presentationTimeStamp = presentationTimeStamp;
    double rate = asd->sampleRate;
    if (rate == std::floor(rate) && rate <= std::numeric_limits<int32_t>::max()) {
        timing.duration = MediaTime::make(numFrames, static_cast<int32_t>(rate));
    } else {
        timing.duration = MediaTime::makeWithSeconds(static_cast<double>(numFrames) / rate, 1000000);
    }
    return createWithData(std::move(data), std::move(format), numFrames, timing, {asd->bytesPerFrame});
}

size_t SampleBuffer::sampleSize(int64_t index) const {
    if (index < 0 || index >= numSamples_ || sampleSizes_.empty()) return 0;
    return sampleSizes_.size() == 1 ? sampleSizes_[0] : sampleSizes_[static_cast<size_t>(index)];
}

size_t SampleBuffer::totalSampleSize() const {
    if (sampleSizes_.empty()) return data_ ? data_->size() : 0;
    if (sampleSizes_.size() == 1) return sampleSizes_[0] * static_cast<size_t>(numSamples_);
    size_t total = 0;
    for (size_t s : sampleSizes_) total += s;
    return total;
}

MediaTime SampleBuffer::outputPresentationTimeStamp() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outputPresentationTimeStamp_.value_or(timing_.presentationTimeStamp);
}

void SampleBuffer::setOutputPresentationTimeStamp(MediaTime time) {
    std::lock_guard<std::mutex> lock(mutex_);
    outputPresentationTimeStamp_ = time;
}

std::vector<Attachments> SampleBuffer::sampleAttachmentsArray(bool createIfNecessary) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sampleAttachments_) {
        if (!createIfNecessary) return {};
        sampleAttachments_.emplace(static_cast<size_t>(numSamples_));
    }
    return *sampleAttachments_;
}

void SampleBuffer::setSampleAttachment(int64_t sampleIndex, const std::string& key, AttachmentValue value) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (sampleIndex < 0 || sampleIndex >= numSamples_) return;
    if (!sampleAttachments_) sampleAttachments_.emplace(static_cast<size_t>(numSamples_));
    (*sampleAttachments_)[static_cast<size_t>(sampleIndex)][key] = std::move(value);
}

std::optional<AttachmentValue> SampleBuffer::attachment(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = attachments_.find(key);
    if (it == attachments_.end()) return std::nullopt;
    return it->second;
}

void SampleBuffer::setAttachment(const std::string& key, AttachmentValue value) {
    std::lock_guard<std::mutex> lock(mutex_);
    attachments_[key] = std::move(value);
}

void SampleBuffer::removeAttachment(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    attachments_.erase(key);
}

std::shared_ptr<SampleBuffer> SampleBuffer::copyForRange(int64_t start, int64_t count) const {
    if (!data_ || sampleSizes_.size() != 1 || start < 0 || count <= 0 || start > numSamples_ ||
        count > numSamples_ - start) {
        return nullptr;
    }
    size_t size = sampleSizes_[0];
    const uint8_t* from = data_->data() + static_cast<size_t>(start) * size;
    auto bytes = BlockBuffer::createCopying(from, static_cast<size_t>(count) * size);
    SampleTiming timing;
    const MediaTime& whole = timing_.duration;
    if (whole.isNumeric() && numSamples_ > 0) {
        // Exact for PCM, whose duration is counted in frames at the sample rate.
        auto part = [&](int64_t n) {
            return MediaTime::make(static_cast<int64_t>(static_cast<__int128>(whole.value) * n / numSamples_),
                                   whole.timeScale);
        };
        timing.duration = part(count);
        if (timing_.presentationTimeStamp.isValid()) {
            timing.presentationTimeStamp = timing_.presentationTimeStamp + part(start);
        }
        if (timing_.decodeTimeStamp.isValid()) timing.decodeTimeStamp = timing_.decodeTimeStamp + part(start);
    }
    return createWithData(std::move(bytes), format_, count, timing, {size});
}

bool SampleBuffer::isSync() const {
    const auto attachments = sampleAttachmentsArray(false);
    return attachments.empty() || !attachments[0].contains(kSampleAttachmentNotSync);
}

}  // namespace platform
