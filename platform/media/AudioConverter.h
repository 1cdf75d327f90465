#pragma once
// Audio format queries and the audio converter: linear PCM of any common layout, rate and channel
// count into AAC packets of 1024 frames (libavcodec's native encoder), or into other linear PCM
// (libswresample).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/media/FormatDescription.h"
#include "platform/media/MediaStatus.h"

namespace platform {

constexpr MediaStatus kAudioFormatErrUnsupportedDataFormat = static_cast<MediaStatus>(fourCC("fmt?"));
constexpr MediaStatus kAudioConverterErrFormatNotSupported = static_cast<MediaStatus>(fourCC("fmt?"));
constexpr MediaStatus kAudioConverterErrUnspecified = static_cast<MediaStatus>(fourCC("what"));
constexpr MediaStatus kAudioConverterErrBadPropertyValue = static_cast<MediaStatus>(fourCC("!val"));
constexpr MediaStatus kAudioConverterErrBufferTooSmall = static_cast<MediaStatus>(fourCC("!siz"));
constexpr MediaStatus kAudioConverterErrNoEncoder = static_cast<MediaStatus>(fourCC("!enc"));

// One codec the platform offers: component type, format it produces, maker.
struct AudioClassDescription {
    uint32_t type = 0;
    uint32_t subtype = 0;
    uint32_t manufacturer = 0;
    friend bool operator==(const AudioClassDescription&, const AudioClassDescription&) = default;
};
constexpr uint32_t kAudioEncoderComponentType = fourCC("aenc");
// Our software codecs, backed by libavcodec.
constexpr uint32_t kAudioCodecManufacturerSoftware = fourCC("lavc");

namespace AudioFormat {
// Fills in what the format implies: for AAC 1024 frames a packet and no fixed sizes; for linear
// PCM the packed sizes from bits and channels. Fails for a rate or channel count the format
// can't carry (AAC: the 13 rates of its sampling-frequency table, 1 to 8 channels).
MediaStatus completeFormatInfo(AudioStreamDescription* description);
// The encoders that produce `formatId`; empty when there are none.
std::vector<AudioClassDescription> encoders(uint32_t formatId);
}  // namespace AudioFormat

struct AudioBuffer {
    uint32_t numberChannels = 0;
    uint32_t dataByteSize = 0;
    void* data = nullptr;
};
// One buffer for interleaved audio, one per channel otherwise.
struct AudioBufferList {
    static constexpr uint32_t kMaxBuffers = 8;
    uint32_t numberBuffers = 0;
    AudioBuffer buffers[kMaxBuffers];
};
struct AudioStreamPacketDescription {
    int64_t startOffset = 0;
    uint32_t variableFramesInPacket = 0;
    uint32_t dataByteSize = 0;
};

class AudioConverter;
// Asked for up to *ioNumberFrames frames of input, the proc points `ioData` at the frames it has
// and sets *ioNumberFrames to their count (only what its buffers hold is ever read). Returning 0
// with 0 frames ends the input of this fill: what the converter holds is finished (a partial AAC
// packet is padded with silence). Returning another status keeps what the converter holds for the
// next fill, which then answers that status.
using AudioConverterInputProc = MediaStatus (*)(AudioConverter* converter, uint32_t* ioNumberFrames,
                                                AudioBufferList* ioData, void* userData);

class AudioConverter {
public:
    struct PrimeInfo {
        uint32_t leadingFrames = 0;
        uint32_t trailingFrames = 0;
    };

    // PCM to PCM.
    static MediaStatus create(const AudioStreamDescription& input, const AudioStreamDescription& output,
                              std::shared_ptr<AudioConverter>* converter);
    // PCM to a compressed format with the first of `classes` that can do it.
    static MediaStatus createSpecific(const AudioStreamDescription& input, const AudioStreamDescription& output,
                                      const std::vector<AudioClassDescription>& classes,
                                      std::shared_ptr<AudioConverter>* converter);

    virtual ~AudioConverter() = default;

    virtual const AudioStreamDescription& inputDescription() const = 0;
    virtual const AudioStreamDescription& outputDescription() const = 0;

    // Bits per second of the encoded stream; taken between packets. Refused outside what the
    // format can carry at the output's rate and channels.
    virtual MediaStatus setEncodeBitRate(uint32_t bitsPerSecond) = 0;
    virtual uint32_t encodeBitRate() const = 0;
    // The AudioSpecificConfig for AAC; empty for PCM.
    virtual std::vector<uint8_t> magicCookie() const = 0;
    // Frames of priming before the first input frame in the decoded output.
    virtual PrimeInfo primeInfo() const = 0;
    // The largest packet a fill can produce, in bytes.
    virtual uint32_t maximumOutputPacketSize() const = 0;
    // Input frames converted and waiting for the next packet (in output frames).
    virtual size_t bufferedFrames() const = 0;

    // Produces up to *ioOutputPackets packets (AAC) or frames (PCM) into `output`, pulling input
    // through `proc`; *ioOutputPackets becomes what was produced. AAC packets lie back to back
    // in output->buffers[0], described in `packetDescriptions` (may be null). A packet larger than
    // the room left fails with kAudioConverterErrBufferTooSmall and is kept for the next fill.
    virtual MediaStatus fillComplexBuffer(AudioConverterInputProc proc, void* userData, uint32_t* ioOutputPackets,
                                          AudioBufferList* output,
                                          std::vector<AudioStreamPacketDescription>* packetDescriptions) = 0;
    // Drops converted input and finished packets that no fill has taken.
    virtual void reset() = 0;
};

}  // namespace platform
