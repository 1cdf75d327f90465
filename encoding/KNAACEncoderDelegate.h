#pragma once
// What an AAC encoder tells its owner. Every operation is optional and comes on the encoder's queue.
#include <cstdint>
#include <memory>
#include <vector>

#include "kestrune/KNError.h"
#include "platform/media/MediaTime.h"

class KNAACEncoderBase;

class KNAACEncoderDelegate {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    virtual ~KNAACEncoderDelegate() = default;

    // One raw AAC packet, for the local file: presentation time counted from the first packet.
    virtual void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase* /*encoder*/,
                                                                     const Bytes& /*data*/,
                                                                     platform::MediaTime /*duration*/,
                                                                     platform::MediaTime /*presentationTime*/) {}
    // The same packet behind its 7-byte ADTS header, for publishing; timestamp in milliseconds.
    virtual void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase* /*encoder*/,
                                                                            const Bytes& /*data*/,
                                                                            platform::MediaTime /*duration*/,
                                                                            uint64_t /*timestamp*/) {}
    // The converter exists and took the bit rate: its magic cookie and decoder delay can be read.
    virtual void AACEncoderDidFinishConfiguring(KNAACEncoderBase* /*encoder*/) {}
    virtual void AACEncoderDidFailEncodingWithError(KNAACEncoderBase* /*encoder*/,
                                                    std::shared_ptr<KNError> /*error*/) {}
};
