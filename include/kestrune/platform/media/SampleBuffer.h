#pragma once
// A timed media sample: an uncompressed image, or bytes (encoded frames, PCM, AAC packets) with
// their format description, timing and attachments. Shared by pointer; only the attachments and
// the output presentation time change after creation, and those under a lock.
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "kestrune/platform/media/BlockBuffer.h"
#include "kestrune/platform/media/FormatDescription.h"
#include "kestrune/platform/media/MediaTime.h"
#include "kestrune/platform/media/PixelBuffer.h"

namespace platform {

using AttachmentValue = std::variant<bool, int64_t, double, std::string, MediaTime>;
using Attachments = std::map<std::string, AttachmentValue>;

// Per-sample: present (whatever its value) on a frame that is not a sync (key) frame.
inline constexpr const char* kSampleAttachmentNotSync = "NotSync";
inline constexpr const char* kSampleAttachmentDependsOnOthers = "DependsOnOthers";
// Per-buffer: decoder priming to drop from the start of the buffer (a MediaTime).
inline constexpr const char* kBufferAttachmentTrimDurationAtStart = "TrimDurationAtStart";

struct SampleTiming {
    MediaTime duration;
    MediaTime presentationTimeStamp;
    MediaTime decodeTimeStamp;  // invalid when it equals the presentation time
};

class SampleBuffer {
public:
    // An uncompressed video frame. Without a format description one is made from the image.
    static std::shared_ptr<SampleBuffer> createWithImageBuffer(std::shared_ptr<PixelBuffer> image,
                                                               const SampleTiming& timing,
                                                               std::shared_ptr<const FormatDescription> format = nullptr);
    // `numSamples` samples of bytes; `timing` is the first sample's presentation/decode time and the
    // whole buffer's duration. `sampleSizes` is empty (unknown), one entry (all equal) or one per sample.
    static std::shared_ptr<SampleBuffer> createWithData(std::shared_ptr<BlockBuffer> data,
                                                        std::shared_ptr<const FormatDescription> format,
                                                        int64_t numSamples, const SampleTiming& timing,
                                                        std::vector<size_t> sampleSizes = {});
    // Linear PCM of `numFrames` frames from `presentationTimeStamp`; the duration follows from the
    // format's sample rate. Null when the bytes don't hold exactly that many frames.
    static std::shared_ptr<SampleBuffer> createAudioPCM(std::shared_ptr<BlockBuffer> data,
                                                        std::shared_ptr<const FormatDescription> format,
                                                        int64_t numFrames, MediaTime presentationTimeStamp);

    SampleBuffer(const SampleBuffer&) = delete;
    SampleBuffer& operator=(const SampleBuffer&) = delete;

    const std::shared_ptr<PixelBuffer>& imageBuffer() const { return image_; }
    const std::shared_ptr<BlockBuffer>& dataBuffer() const { return data_; }
    const std::shared_ptr<const FormatDescription>& formatDescription() const { return format_; }
    bool dataIsReady() const { return image_ != nullptr || data_ != nullptr; }

    int64_t numSamples() const { return numSamples_; }
    // 0 when unknown or out of range.
    size_t sampleSize(int64_t index) const;
    size_t totalSampleSize() const;

    MediaTime presentationTimeStamp() const { return timing_.presentationTimeStamp; }
    MediaTime decodeTimeStamp() const { return timing_.decodeTimeStamp; }
    MediaTime duration() const { return timing_.duration; }
    // The presentation time unless one was set for output.
    MediaTime outputPresentationTimeStamp() const;
    void setOutputPresentationTimeStamp(MediaTime time);

    // One dictionary per sample. With `createIfNecessary` a missing array is made of empty ones;
    // without, an array never made reads as empty. Answers a copy.
    std::vector<Attachments> sampleAttachmentsArray(bool createIfNecessary) const;
    void setSampleAttachment(int64_t sampleIndex, const std::string& key, AttachmentValue value);
    std::optional<AttachmentValue> attachment(const std::string& key) const;
    void setAttachment(const std::string& key, AttachmentValue value);
    void removeAttachment(const std::string& key);
    // The first sample is a sync (key) frame: it carries no NotSync attachment.
    bool isSync() const;

    // Samples [start, start + count) of a data buffer with known, equal sample sizes (PCM), with
    // the time of the first of them; attachments are not carried over. Null when out of range.
    std::shared_ptr<SampleBuffer> copyForRange(int64_t start, int64_t count) const;

private:
    SampleBuffer() = default;

    std::shared_ptr<PixelBuffer> image_;
    std::shared_ptr<BlockBuffer> data_;
    std::shared_ptr<const FormatDescription> format_;
    int64_t numSamples_ = 0;
    std::vector<size_t> sampleSizes_;
    SampleTiming timing_;

    mutable std::mutex mutex_;
    std::optional<MediaTime> outputPresentationTimeStamp_;
    mutable std::optional<std::vector<Attachments>> sampleAttachments_;
    Attachments attachments_;
};

}  // namespace platform
