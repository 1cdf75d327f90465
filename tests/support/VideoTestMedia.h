#pragma once
// Synthetic NV12 frames, H.264 stream helpers and a libavcodec decoder for the video tests.
#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/media/SampleBuffer.h"

namespace kntest {

using Unit = std::vector<uint8_t>;

// Gradient and bars drifting with `index` on grey chroma; noise (in luma steps) keeps it hard to compress.
inline std::shared_ptr<platform::PixelBuffer> makePatternFrame(int32_t width, int32_t height, int index, int noise = 0) {
    auto frame = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12VideoRange);
    uint32_t seed = 2166136261u ^ static_cast<uint32_t>(index);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = frame->planeData(0) + y * frame->bytesPerRow(0);
        for (int32_t x = 0; x < width; ++x) {
            int v = 16 + ((x + y + 4 * index) % 200);
            if (((x + 8 * index) / 64) % 2 == 0) v = (v + 60) % 220 + 16;
            seed = seed * 1664525u + 1013904223u;
            if (noise > 0) v += static_cast<int>(seed >> 24) % (2 * noise + 1) - noise;
            row[x] = static_cast<uint8_t>(std::clamp(v, 16, 235));
        }
    }
    return frame;
}

inline void appendAnnexB(std::vector<uint8_t>& stream, const Unit& unit) {
    stream.insert(stream.end(), {0, 0, 0, 1});
    stream.insert(stream.end(), unit.begin(), unit.end());
}

inline int nalType(const Unit& unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }

inline bool isKeyFrame(const platform::SampleBuffer& buffer) {
    auto attachments = buffer.sampleAttachmentsArray(false);
    return attachments.empty() || !attachments[0].contains(platform::kSampleAttachmentNotSync);
}

// libavcodec's decoder, one Annex-B access unit at a time; each picture goes to `onFrame`.
class H264Decoder {
public:
    H264Decoder() {
        context_->thread_count = 1;
        avcodec_open2(context_, codec_, nullptr);
    }
    ~H264Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // False when the decoder rejects the unit.
    bool decode(const std::vector<uint8_t>& unit) {
        if (av_new_packet(packet_, static_cast<int>(unit.size())) < 0) return false;
        std::memcpy(packet_->data, unit.data(), unit.size());
        const int rc = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        return rc >= 0 && drain();
    }
    bool flush() { return avcodec_send_packet(context_, nullptr) >= 0 && drain(); }

    std::function<void(const AVFrame&)> onFrame = [](const AVFrame&) {};
    int frames = 0, errors = 0;

private:
    bool drain() {
        for (int rc; (rc = avcodec_receive_frame(context_, frame_)) != AVERROR(EAGAIN) && rc != AVERROR_EOF;) {
            if (rc < 0) return false;
            ++frames;
            errors += frame_->decode_error_flags != 0;
            onFrame(*frame_);
            av_frame_unref(frame_);
        }
        return true;
    }

    const AVCodec* codec_ = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context_ = avcodec_alloc_context3(codec_);
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
};

}  // namespace kntest
