#pragma once
// What a host may do with the push streamer's H.264 encoder. Only the library's encoder
// implements it; the streamer hands it out and takes it back.
#include <cstdint>

#include "kestrune/KNTypes.h"

class KNH264Encoder;

class KNH264EncoderControls {
public:
    virtual ~KNH264EncoderControls() = default;
    KNH264EncoderControls(const KNH264EncoderControls&) = delete;
    KNH264EncoderControls& operator=(const KNH264EncoderControls&) = delete;

    // Bits per second.
    virtual int32_t bitrate() const = 0;
    // Frames; 0 means no limit.
    virtual uint64_t keyFrameInterval() const = 0;
    virtual KNVideoFrameSize resolution() const = 0;
    virtual bool started() const = 0;
    // Frames dropped because encoding fell behind, since creation.
    virtual uint64_t droppedFrameCount() const = 0;
    // Applies at once, on the caller's thread.
    virtual void updateBitrate(int32_t bitrateBps) = 0;

private:
    friend class KNH264Encoder;
    KNH264EncoderControls() = default;
};
