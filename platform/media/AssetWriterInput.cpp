#include "platform/media/AssetWriterInput.h"

#include "platform/media/AssetWriter.h"

namespace platform {

std::shared_ptr<AssetWriterInput> AssetWriterInput::create(FormatDescription::MediaType mediaType,
                                                           std::shared_ptr<const FormatDescription> sourceFormatHint) {
    return std::shared_ptr<AssetWriterInput>(new AssetWriterInput(mediaType, std::move(sourceFormatHint)));
}

bool AssetWriterInput::isReadyForMoreMediaData() const {
    auto writer = writer_.lock();
    return writer && !finished_.load() && writer->isReadyForInput(index_);
}

bool AssetWriterInput::appendSampleBuffer(const std::shared_ptr<SampleBuffer>& sample) {
    auto writer = writer_.lock();
    return writer && !finished_.load() && sample && writer->append(index_, sample);
}

}  // namespace platform
