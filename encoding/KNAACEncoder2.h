#pragma once
// The push streamer's AAC encoder: the host's PCM with the host's timestamps, or its sample buffers.
#include <memory>

#include "encoding/KNAACEncoderBase.h"
#include "kestrune/KNAudioDefaults.h"
#include "platform/media/SampleBuffer.h"

class KNAACEncoder2 : public KNAACEncoderBase {
public:
    static std::shared_ptr<KNAACEncoder2> create(Platform platform = Platform::system());

    // Always queued; the ADTS timestamps count from the first chunk after a start.
    void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) override;
    // Linear PCM of any common layout, rate and channel count, converted to the encoder's rate
    // and channels. A buffer of up to 1024 frames at the encoder's rate makes one packet (a short
    // one is padded with silence); other buffers are cut into packets as their frames fill them.
    void encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer);

private:
    explicit KNAACEncoder2(Platform platform);
};
