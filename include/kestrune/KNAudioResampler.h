#pragma once
// A 48000 Hz to 44100 Hz converter of 16-bit stereo PCM, kept for hosts that drive it themselves.
#include <cstdint>
#include <memory>

#include "kestrune/platform/media/MediaStatus.h"

namespace platform {
class AudioConverter;
class SampleBuffer;
struct AudioBufferList;
}  // namespace platform

class KNAudioResampler {
public:
    static std::shared_ptr<KNAudioResampler> create();

    // Null if it could not be made.
    const std::shared_ptr<platform::AudioConverter>& audioConverter() const { return audioConverter_; }
    // Answers its argument.
    std::shared_ptr<platform::SampleBuffer> testSample(std::shared_ptr<platform::SampleBuffer> sample) const;

private:
    KNAudioResampler() = default;
    std::shared_ptr<platform::AudioConverter> audioConverter_;
};

// An input callback for a converter fed from one buffer list passed as `inUserData`: hands on its
// first buffer and claims a frame per two bytes (the converter reads no further than the buffer).
platform::MediaStatus inInputDataProc(platform::AudioConverter* inAudioConverter, uint32_t* ioNumberDataPackets,
                                      platform::AudioBufferList* ioData, void* inUserData);
