#pragma once
// Synthetic video frames and an H.264 decoder (libavcodec) for the tests of the encoding road.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

#include "platform/media/SampleBuffer.h"

namespace kntest {

using Unit = std::vector<uint8_t>;

// A moving picture: diagonal gradient and vertical bars drifting with `index`, plus optional
// noise (amplitude in luma steps) that keeps the encoder from compressing it to nothing.
inline std::shared_ptr<platform::PixelBuffer> makePatternFrame(int32_t width, int32_t height, int index,
                                                               int noiseAmplitude = 0) {
    auto frame = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12VideoRange);
    uint32_t seed = 2166136261u ^ static_cast<uint32_t>(index);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = frame->planeData(0) + y * frame->bytesPerRow(0);
        for (int32_t x = 0; x < width; ++x) {
            int v = 16 + ((x + y + 4 * index) % 200);
            if (((x + 8 * index) / 64) % 2 == 0) v = (v + 60) % 220 + 16;
            if (noiseAmplitude > 0) {
                seed = seed * 1664525u + 1013904223u;
                v += static_cast<int>(seed >> 24) % (2 * noiseAmplitude + 1) - noiseAmplitude;
            }
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

// Fills a rectangle of an NV12 frame with one luma value.
inline void fillLuma(platform::PixelBuffer& frame, int32_t x0, int32_t y0, int32_t w, int32_t h, uint8_t luma) {
    for (int32_t y = y0; y < y0 + h; ++y) {
        std::memset(frame.planeData(0) + y * frame.bytesPerRow(0) + x0, luma, static_cast<size_t>(w));
    }
}

inline void appendAnnexB(std::vector<uint8_t>& stream, const Unit& unit) {
    stream.insert(stream.end(), {0, 0, 0, 1});
    stream.insert(stream.end(), unit.begin(), unit.end());
}

// The NAL units of 4-byte length-prefixed data (well-formed input assumed).
inline std::vector<Unit> splitLengthPrefixed(const uint8_t* data, size_t size) {
    std::vector<Unit> units;
    for (size_t at = 0; at + 4 <= size;) {
        const size_t length = (size_t{data[at]} << 24) | (size_t{data[at + 1]} << 16) | (size_t{data[at + 2]} << 8) |
                              data[at + 3];
        if (at + 4 + length > size) break;
        units.emplace_back(data + at + 4, data + at + 4 + length);
        at += 4 + length;
    }
    return units;
}

inline int nalType(const Unit& unit) { return unit.empty() ? -1 : unit[0] & 0x1F; }

// A key frame is one whose first sample attachment lacks the not-sync key.
inline bool isKeyFrame(const platform::SampleBuffer& buffer) {
    auto attachments = buffer.sampleAttachmentsArray(false);
    return attachments.empty() || !attachments[0].contains(platform::kSampleAttachmentNotSync);
}

inline Unit parameterSet(const platform::SampleBuffer& buffer, size_t index) {
    const uint8_t* p = nullptr;
    size_t n = 0;
    buffer.formatDescription()->h264ParameterSetAtIndex(index, &p, &n);
    return Unit(p, p + n);
}

// An encoded frame in Annex-B form, the parameter sets in front of a key frame.
inline std::vector<uint8_t> accessUnit(const platform::SampleBuffer& buffer) {
    std::vector<uint8_t> stream;
    if (isKeyFrame(buffer)) {
        appendAnnexB(stream, parameterSet(buffer, 0));
        appendAnnexB(stream, parameterSet(buffer, 1));
    }
    for (const auto& u : splitLengthPrefixed(buffer.dataBuffer()->data(), buffer.dataBuffer()->size())) {
        appendAnnexB(stream, u);
    }
    return stream;
}

// entropy_coding_mode_flag of a PPS: after two exp-Golomb numbers (pps id, sps id).
inline bool ppsUsesCabac(const Unit& pps) {
    size_t bit = 8;  // past the NAL header
    auto readBit = [&]() -> int {
        if (bit / 8 >= pps.size()) return 0;
        const int b = (pps[bit / 8] >> (7 - bit % 8)) & 1;
        ++bit;
        return b;
    };
    for (int number = 0; number < 2; ++number) {
        int zeros = 0;
        while (readBit() == 0 && zeros < 32) ++zeros;
        for (int i = 0; i < zeros; ++i) readBit();
    }
    return readBit() == 1;
}

struct DecodedFrame {
    int width = 0, height = 0;
    bool keyFrame = false;
    AVPictureType pictureType = AV_PICTURE_TYPE_NONE;
    std::vector<uint8_t> luma;  // width * height, no padding

    double meanLuma(int x0, int y0, int w, int h) const {
        double sum = 0;
        for (int y = y0; y < y0 + h; ++y) {
            for (int x = x0; x < x0 + w; ++x) sum += luma[static_cast<size_t>(y) * width + x];
        }
        return sum / (double(w) * h);
    }
    // Luma PSNR against the source picture, in dB.
    double psnr(const platform::PixelBuffer& source) const {
        double squared = 0;
        for (int y = 0; y < height; ++y) {
            const uint8_t* a = source.planeData(0) + y * source.bytesPerRow(0);
            for (int x = 0; x < width; ++x) {
                const double d = double(a[x]) - luma[static_cast<size_t>(y) * width + x];
                squared += d * d;
            }
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
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
    }
    ~H264Decoder() {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&context_);
    }
    H264Decoder(const H264Decoder&) = delete;
    H264Decoder& operator=(const H264Decoder&) = delete;

    // One access unit in Annex-B form; false when the decoder rejects it.
    bool decode(const std::vector<uint8_t>& accessUnit) {
        av_packet_unref(packet_);
        if (av_new_packet(packet_, static_cast<int>(accessUnit.size())) < 0) return false;
        std::memcpy(packet_->data, accessUnit.data(), accessUnit.size());
        return avcodec_send_packet(context_, packet_) >= 0 && drain();
    }
    bool flush() { return avcodec_send_packet(context_, nullptr) >= 0 && drain(); }

    const std::vector<DecodedFrame>& frames() const { return frames_; }
    int profile() const { return context_->profile; }
    int errors() const { return errors_; }

private:
    bool drain() {
        for (;;) {
            const int rc = avcodec_receive_frame(context_, frame_);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return true;
            if (rc < 0) return false;
            if (frame_->decode_error_flags != 0) ++errors_;
            DecodedFrame f{frame_->width, frame_->height, frame_->key_frame != 0, frame_->pict_type, {}};
            f.luma.resize(static_cast<size_t>(f.width) * static_cast<size_t>(f.height));
            for (int y = 0; y < f.height; ++y) {
                std::memcpy(f.luma.data() + static_cast<size_t>(y) * f.width,
                            frame_->data[0] + static_cast<ptrdiff_t>(y) * frame_->linesize[0],
                            static_cast<size_t>(f.width));
            }
            frames_.push_back(std::move(f));
            av_frame_unref(frame_);
        }
    }

    AVCodecContext* context_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    std::vector<DecodedFrame> frames_;
    int errors_ = 0;
};

}  // namespace kntest
