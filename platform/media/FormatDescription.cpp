#include "platform/media/FormatDescription.h"

namespace platform {

AudioStreamDescription AudioStreamDescription::pcmInt16(double sampleRate, uint32_t channels) {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatId = kFormatLinearPCM;
    d.formatFlags = kFlagIsSignedInteger | kFlagIsPacked;
    d.bytesPerFrame = 2 * channels;
    d.bytesPerPacket = d.bytesPerFrame;
    d.framesPerPacket = 1;
    d.channelsPerFrame = channels;
    d.bitsPerChannel = 16;
    return d;
}

AudioStreamDescription AudioStreamDescription::pcmFloat32(double sampleRate, uint32_t channels) {
    AudioStreamDescription d = pcmInt16(sampleRate, channels);
    d.formatFlags = kFlagIsFloat | kFlagIsPacked;
    d.bytesPerFrame = 4 * channels;
    d.bytesPerPacket = d.bytesPerFrame;
    d.bitsPerChannel = 32;
    return d;
}

AudioStreamDescription AudioStreamDescription::aac(double sampleRate, uint32_t channels, uint32_t objectType) {
    AudioStreamDescription d;
    d.sampleRate = sampleRate;
    d.formatId = kFormatMPEG4AAC;
    d.formatFlags = objectType;
    d.framesPerPacket = 1024;
    d.channelsPerFrame = channels;
    return d;
}

std::shared_ptr<const FormatDescription> FormatDescription::createH264(
    int32_t width, int32_t height, std::vector<std::vector<uint8_t>> parameterSets, int32_t nalUnitHeaderLength) {
    if (width <= 0 || height <= 0 || parameterSets.size() < 2) return nullptr;
    for (const auto& set : parameterSets) {
        if (set.empty()) return nullptr;
    }
    if (nalUnitHeaderLength != 1 && nalUnitHeaderLength != 2 && nalUnitHeaderLength != 4) return nullptr;
    std::shared_ptr<FormatDescription> d(new FormatDescription());
    d->mediaType_ = MediaType::Video;
    d->subType_ = kCodecH264;
    d->width_ = width;
    d->height_ = height;
    d->parameterSets_ = std::move(parameterSets);
    d->nalUnitHeaderLength_ = nalUnitHeaderLength;
    return d;
}

std::shared_ptr<const FormatDescription> FormatDescription::createVideo(uint32_t codecType, int32_t width,
                                                                        int32_t height) {
    if (width <= 0 || height <= 0) return nullptr;
    std::shared_ptr<FormatDescription> d(new FormatDescription());
    d->mediaType_ = MediaType::Video;
    d->subType_ = codecType;
    d->width_ = width;
    d->height_ = height;
    return d;
}

std::shared_ptr<const FormatDescription> FormatDescription::createAudio(const AudioStreamDescription& description,
                                                                        std::vector<uint8_t> magicCookie) {
    if (!(description.sampleRate > 0) || description.channelsPerFrame == 0 || description.formatId == 0) {
        return nullptr;
    }
    std::shared_ptr<FormatDescription> d(new FormatDescription());
    d->mediaType_ = MediaType::Audio;
    d->subType_ = description.formatId;
    d->audio_ = description;
    d->magicCookie_ = std::move(magicCookie);
    return d;
}

MediaStatus FormatDescription::h264ParameterSetAtIndex(size_t index, const uint8_t** data, size_t* sizeBytes) const {
    if (index >= parameterSets_.size()) return kMediaErrBadIndex;
    if (data) *data = parameterSets_[index].data();
    if (sizeBytes) *sizeBytes = parameterSets_[index].size();
    return kMediaNoErr;
}

}  // namespace platform
