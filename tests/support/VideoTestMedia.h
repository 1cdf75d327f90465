#pragma once
// Synthetic NV12 frames, H.264 stream helpers and a libavcodec decoder for the video tests.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "platform/media/SampleBuffer.h"

namespace kntest {

using Unit = std::vector<uint8_t>;

// Gradient and bars drifting with `index`; noise (in luma steps) keeps it hard to compress.
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
    for (int32_t y = 0; y < height / 2; ++y) {
        uint8_t* row = frame->planeData(1) + y * frame->bytesPerRow(1);
        for (int32_t x = 0; x < width / 2; ++x) {
            row[2 * x] = static_cast<uint8_t>(64 + (x + index) % 128);
            row[2 * x + 1] = static_cast<uint8_t>(64 + (y + 2 * index) % 128);
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

// entropy_coding_mode_flag: the bit after two exp-Golomb numbers (pps id, sps id).
inline bool ppsUsesCabac(const Unit& pps) {
    size_t bit = 8;
    auto next = [&] {
        const size_t at = bit++;
        return at / 8 < pps.size() ? (pps[at / 8] >> (7 - at % 8)) & 1 : 1;
    };
    for (int n = 0; n < 2; ++n) {
        int zeros = 0;
        while (next() == 0) ++zeros;
        bit += size_t(zeros);
    }
    return next() == 1;
}

struct DecodedFrame {
    int width = 0, height = 0;
    bool keyFrame = false;
    AVPictureType pictureType = AV_PICTURE_TYPE_NONE;
    std::vector<uint8_t> luma;  // width * height

    double psnr(const platform::PixelBuffer& source) const {
        double squared = 0;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) {
                const double d = double(source.planeData(0)[y * source.bytesPerRow(0) + x]) - luma[size_t(y * width + x)];
                squared += d * d;
            }
        const double mse = squared / (double(width) * height);
        return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
    }
};

class H264Decoder {
public:
    H264Decoder() {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
        context_ = avcodec_alloc_context3(codec);
        context_->thread_count = 1;
        avcodec_open2(context_, codec, nullptr);
    }
    ~H264Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // One Annex-B access unit; false when the decoder rejects it.
    bool decode(const std::vector<uint8_t>& unit) {
        if (av_new_packet(packet_, static_cast<int>(unit.size())) < 0) return false;
        std::memcpy(packet_->data, unit.data(), unit.size());
        const int rc = avcodec_send_packet(context_, packet_);
        av_packet_unref(packet_);
        return rc >= 0 && drain();
    }
    bool flush() { return avcodec_send_packet(context_, nullptr) >= 0 && drain(); }

    std::vector<DecodedFrame> frames;
    int errors = 0;
    int profile() const { return context_->profile; }

private:
    bool drain() {
        for (int rc; (rc = avcodec_receive_frame(context_, frame_)) != AVERROR(EAGAIN) && rc != AVERROR_EOF;) {
            if (rc < 0) return false;
            errors += frame_->decode_error_flags != 0;
            DecodedFrame f{frame_->width, frame_->height, frame_->key_frame != 0, frame_->pict_type, {}};
            f.luma.resize(size_t(f.width) * size_t(f.height));
            for (int y = 0; y < f.height; ++y)
                std::memcpy(&f.luma[size_t(y) * size_t(f.width)], frame_->data[0] + y * frame_->linesize[0], size_t(f.width));
            frames.push_back(std::move(f));
            av_frame_unref(frame_);
        }
        return true;
    }

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = av_packet_alloc();
    AVFrame* frame_ = av_frame_alloc();
};

}  // namespace kntest
