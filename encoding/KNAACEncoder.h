#pragma once
// The camera recorder's AAC encoder: microphone PCM, stamped with the host clock when handed in.
#include <memory>

#include "encoding/KNAACEncoderBase.h"
#include "kestrune/KNAudioDefaults.h"
#include "kestrune/KNAudioResampler.h"

class KNAACEncoder : public KNAACEncoderBase {
public:
    static std::shared_ptr<KNAACEncoder> create(Platform platform = Platform::system());

    // Dropped while stopped; `timestamp` is set aside for the host clock read now (milliseconds).
    void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) override;

    // Made with the encoder; takes no part in encoding.
    const std::shared_ptr<KNAudioResampler>& resampler() const { return resampler_; }

private:
    explicit KNAACEncoder(Platform platform);
    std::shared_ptr<KNAudioResampler> resampler_;
};
