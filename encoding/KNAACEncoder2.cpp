#include "encoding/KNAACEncoder2.h"

std::shared_ptr<KNAACEncoder2> KNAACEncoder2::create(Platform platform) {
    auto encoder = std::shared_ptr<KNAACEncoder2>(new KNAACEncoder2(std::move(platform)));
    return encoder;
}

KNAACEncoder2::KNAACEncoder2(Platform platform)
    : KNAACEncoderBase(kKNAudioSampleRate2, Timestamps::Caller, std::move(platform)) {}

void KNAACEncoder2::encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) {
    enqueueRechunk(std::move(data), timestamp);
}

void KNAACEncoder2::encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer) {
    enqueueSampleBuffer(std::move(sampleBuffer));
}
