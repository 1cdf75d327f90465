#pragma once
// One track of an asset writer: passthrough samples (already encoded) described by a format hint.
#include <atomic>
#include <memory>

#include "platform/media/FormatDescription.h"
#include "platform/media/SampleBuffer.h"

namespace platform {

class AssetWriter;

class AssetWriterInput {
public:
    // No output settings: samples go into the file as they are. The hint tells the track's codec;
    // an H.264 hint needs no parameter sets, the first sample's format description brings them.
    static std::shared_ptr<AssetWriterInput> create(FormatDescription::MediaType mediaType,
                                                    std::shared_ptr<const FormatDescription> sourceFormatHint);

    FormatDescription::MediaType mediaType() const { return mediaType_; }
    const std::shared_ptr<const FormatDescription>& sourceFormatHint() const { return hint_; }
    bool expectsMediaDataInRealTime() const { return realTime_.load(); }
    void setExpectsMediaDataInRealTime(bool realTime) { realTime_.store(realTime); }

    // False before the input is added to a writing writer, after markAsFinished, and while the
    // writer holds as much early media as it will before the file's header can be written.
    bool isReadyForMoreMediaData() const;
    // The output presentation time is the sample's time in the file. False when the writer
    // refused the sample (not ready, out of order, or an I/O failure, which fails the writer).
    bool appendSampleBuffer(const std::shared_ptr<SampleBuffer>& sample);
    void markAsFinished() { finished_.store(true); }
    bool isFinished() const { return finished_.load(); }

private:
    friend class AssetWriter;
    AssetWriterInput(FormatDescription::MediaType mediaType, std::shared_ptr<const FormatDescription> hint)
        : mediaType_(mediaType), hint_(std::move(hint)) {}

    const FormatDescription::MediaType mediaType_;
    const std::shared_ptr<const FormatDescription> hint_;
    std::atomic<bool> realTime_{false};
    std::atomic<bool> finished_{false};
    // Set once by the writer that adds it.
    std::weak_ptr<AssetWriter> writer_;
    size_t index_ = 0;
};

}  // namespace platform
