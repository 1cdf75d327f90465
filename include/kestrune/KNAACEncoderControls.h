#pragma once
// What a host may do with an AAC encoder of the library (the push streamer's among them). Only
// the library's encoders implement it.
#include <cstdint>
#include <memory>
#include <vector>

class KNAACEncoderBase;

class KNAACEncoderControls {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    virtual ~KNAACEncoderControls() = default;
    KNAACEncoderControls(const KNAACEncoderControls&) = delete;
    KNAACEncoderControls& operator=(const KNAACEncoderControls&) = delete;

    virtual uint64_t sampleRate() const = 0;
    virtual uint64_t channelsNumber() const = 0;
    virtual uint64_t bitRate() const = 0;
    // A running encoder takes it between packets.
    virtual void setBitRate(uint64_t bitRate) = 0;
    virtual bool started() const = 0;
    // The encoder has made its converter for the stream it was given.
    virtual bool isConfigured() const = 0;
    // The AudioSpecificConfig; null until configured.
    virtual Bytes magicCookie() const = 0;

private:
    friend class KNAACEncoderBase;
    KNAACEncoderControls() = default;
};
