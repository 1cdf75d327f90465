#pragma once
// What a sample buffer's bytes are: a video format (raw image layout or H.264 with its parameter
// sets) or an audio format (stream description plus the codec's magic cookie).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrune/platform/media/MediaStatus.h"

namespace platform {

// Field for field the platform's 40-byte audio stream description.
struct AudioStreamDescription {
    static constexpr uint32_t kFormatLinearPCM = fourCC("lpcm");
    static constexpr uint32_t kFormatMPEG4AAC = fourCC("aac ");
    // Format flags of linear PCM.
    static constexpr uint32_t kFlagIsFloat = 1u << 0;
    static constexpr uint32_t kFlagIsBigEndian = 1u << 1;
    static constexpr uint32_t kFlagIsSignedInteger = 1u << 2;
    static constexpr uint32_t kFlagIsPacked = 1u << 3;
    static constexpr uint32_t kFlagIsNonInterleaved = 1u << 5;
    // Format flags of AAC: the MPEG-4 audio object type.
    static constexpr uint32_t kAACObjectMain = 1;
    static constexpr uint32_t kAACObjectLC = 2;

    double sampleRate = 0;
    uint32_t formatId = 0;
    uint32_t formatFlags = 0;
    uint32_t bytesPerPacket = 0;
    uint32_t framesPerPacket = 0;
    uint32_t bytesPerFrame = 0;
    uint32_t channelsPerFrame = 0;
    uint32_t bitsPerChannel = 0;
    uint32_t reserved = 0;

    // Packed, interleaved, native-endian signed 16-bit PCM.
    static AudioStreamDescription pcmInt16(double sampleRate, uint32_t channels);
    // Packed, interleaved, native-endian 32-bit float PCM.
    static AudioStreamDescription pcmFloat32(double sampleRate, uint32_t channels);
    // AAC packets of 1024 frames with variable size.
    static AudioStreamDescription aac(double sampleRate, uint32_t channels, uint32_t objectType = kAACObjectLC);

    bool isLinearPCM() const { return formatId == kFormatLinearPCM; }
    friend bool operator==(const AudioStreamDescription&, const AudioStreamDescription&) = default;
};

class FormatDescription {
public:
    enum class MediaType { Video, Audio };
    static constexpr uint32_t kCodecH264 = fourCC("avc1");

    // An H.264 format: parameterSets holds the SPS first, then the PPS (each without start code or
    // length prefix). Null when either is missing or empty.
    static std::shared_ptr<const FormatDescription> createH264(int32_t width, int32_t height,
                                                               std::vector<std::vector<uint8_t>> parameterSets,
                                                               int32_t nalUnitHeaderLength = 4);
    // A video format without codec data, e.g. the pixel format of raw images.
    static std::shared_ptr<const FormatDescription> createVideo(uint32_t codecType, int32_t width, int32_t height);
    static std::shared_ptr<const FormatDescription> createAudio(const AudioStreamDescription& description,
                                                                std::vector<uint8_t> magicCookie = {});

    MediaType mediaType() const { return mediaType_; }
    // The codec or pixel-format four-character code ('avc1', '420v', 'lpcm', 'aac ').
    uint32_t mediaSubType() const { return subType_; }
    int32_t width() const { return width_; }
    int32_t height() const { return height_; }

    size_t h264ParameterSetCount() const { return parameterSets_.size(); }
    int32_t nalUnitHeaderLength() const { return nalUnitHeaderLength_; }
    // kMediaErrBadIndex for an index past the sets (or for a format that has none).
    MediaStatus h264ParameterSetAtIndex(size_t index, const uint8_t** data, size_t* sizeBytes) const;

    // Null for a video format.
    const AudioStreamDescription* audioStreamDescription() const {
        return mediaType_ == MediaType::Audio ? &audio_ : nullptr;
    }
    const std::vector<uint8_t>& magicCookie() const { return magicCookie_; }

private:
    FormatDescription() = default;

    MediaType mediaType_ = MediaType::Video;
    uint32_t subType_ = 0;
    int32_t width_ = 0;
    int32_t height_ = 0;
    std::vector<std::vector<uint8_t>> parameterSets_;
    int32_t nalUnitHeaderLength_ = 0;
    AudioStreamDescription audio_;
    std::vector<uint8_t> magicCookie_;
};

}  // namespace platform
