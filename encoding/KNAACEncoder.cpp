#include "encoding/KNAACEncoder.h"

#include "platform/HostClock.h"

std::shared_ptr<KNAACEncoder> KNAACEncoder::create(Platform platform) {
    return std::shared_ptr<KNAACEncoder>(new KNAACEncoder(std::move(platform)));
}

KNAACEncoder::KNAACEncoder(Platform platform)
    : KNAACEncoderBase(kKNAudioSampleRate, Timestamps::HostClock, std::move(platform)),
      resampler_(KNAudioResampler::create()) {}

void KNAACEncoder::encodeAudioDataTimestamp(Bytes data, uint64_t) {
    if (!started()) return;
    const double nowMs = platform::HostClock::now() * 1000.0;
    const uint64_t stamp = nowMs > 0 ? (nowMs < 1.8e19 ? static_cast<uint64_t>(nowMs) : UINT64_MAX) : 0;
    enqueueRechunk(std::move(data), stamp);
}
