#pragma once
// What a KNH264Encoder hands its owner. The three outputs arrive on the compression session's own
// thread, in the order parameter sets, NAL units, sample buffer. A stop waits on encodingQueue for
// the last of them, so they must never sync onto that queue.
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrune/KNError.h"
#include "platform/media/SampleBuffer.h"

class KNH264Encoder;

class KNH264EncoderDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    virtual ~KNH264EncoderDelegate() = default;

    // On every key frame, before its NAL units; neither carries a start code or length prefix.
    virtual void H264EncoderDidExtractSpsPps(KNH264Encoder* encoder, const Bytes& sps, const Bytes& pps) = 0;
    // One NAL unit without its length prefix; the units of one frame carry t, t+1, ... milliseconds.
    virtual void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* encoder, const Bytes& data,
                                                             bool isKeyFrame, uint64_t timestampMs) = 0;
    // The encoded frame as the session produced it (length-prefixed units, parameter sets in its
    // format description).
    virtual void H264EncoderDidEncodeSampleBuffer(KNH264Encoder* encoder,
                                                  const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) = 0;
    virtual void H264EncoderDidFailStartingWithError(KNH264Encoder* /*encoder*/,
                                                     const std::shared_ptr<KNError>& /*error*/) {}
    virtual void H264EncoderDidFailEncodingWithError(KNH264Encoder* /*encoder*/,
                                                     const std::shared_ptr<KNError>& /*error*/) {}
};
