#pragma once
// Synthetic frames, a delegate recording every call of a KNH264Encoder, and a libavcodec decoder.
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "encoding/KNH264Encoder.h"

namespace kntest {

using Unit = std::vector<uint8_t>;

// Drifting gradient and bars; noise (in luma steps) makes it hard to compress.
inline std::shared_ptr<platform::PixelBuffer> makePatternFrame(int32_t width, int32_t height, int index, int noise = 0) {
    auto frame = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12VideoRange);
    uint32_t seed = 2166136261u ^ static_cast<uint32_t>(index);
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            int v = 16 + ((x + y + 4 * index) % 200);
            if (((x + 8 * index) / 64) % 2 == 0) v = (v + 60) % 220 + 16;
            seed = seed * 1664525u + 1013904223u;
            if (noise > 0) v += static_cast<int>(seed >> 24) % (2 * noise + 1) - noise;
            frame->planeData(0)[y * frame->bytesPerRow(0) + x] = static_cast<uint8_t>(std::clamp(v, 16, 235));
        }
    return frame;
}

inline std::shared_ptr<platform::SampleBuffer> videoSample(std::shared_ptr<platform::PixelBuffer> image, platform::MediaTime pts) {
    const platform::SampleTiming timing{platform::MediaTime::make(1, 30), pts, platform::MediaTime::invalid()};
    return platform::SampleBuffer::createWithImageBuffer(std::move(image), timing);
}

inline bool isKeyFrame(const platform::SampleBuffer& buffer) {
    auto attachments = buffer.sampleAttachmentsArray(false);
    return attachments.empty() || !attachments[0].contains(platform::kSampleAttachmentNotSync);
}

struct H264Event {
    KNH264EncoderDelegate::Bytes first{}, second{};  // the unit, or SPS and PPS
    bool keyFrame = false;
    uint64_t timestampMs = 0;
    std::shared_ptr<platform::SampleBuffer> buffer{};  // set on the call that ends a frame
};

class H264RecordingDelegate : public KNH264EncoderDelegate {
public:
    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override { add({sps, pps}); }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool key, uint64_t ms) override {
        add({data, nullptr, key, ms});
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>& b) override { add({.buffer = b}); }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>&) override { ++errors; }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>&) override { ++errors; }

    std::vector<H264Event> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The newest frame once `n` have come (none after 10 s).
    std::shared_ptr<platform::SampleBuffer> waitForFrame(size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return frames_.size() >= n; }) && n ? frames_.back() : nullptr;
    }
    std::atomic<size_t> errors{0};

private:
    void add(H264Event e) {
        std::lock_guard lock(mutex_);
        if (e.buffer) frames_.push_back(e.buffer);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<H264Event> events_;
    std::vector<std::shared_ptr<platform::SampleBuffer>> frames_;
};

struct EncoderRig {
    EncoderRig() { encoder->setDelegate(delegate); }
    std::shared_ptr<KNH264Encoder> encoder = KNH264Encoder::create();
    std::shared_ptr<H264RecordingDelegate> delegate = std::make_shared<H264RecordingDelegate>();
};

inline void drain(KNH264Encoder& encoder) { encoder.encodingQueue()->sync([] {}); }

// libavcodec's decoder, an Annex-B access unit at a time (nullptr flushes).
struct H264Decoder {
    H264Decoder() {
        context->thread_count = 1;
        avcodec_open2(context, codec, nullptr);
    }
    ~H264Decoder() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&context);
    }
    bool decode(const std::vector<uint8_t>* unit) {
        if (unit && av_new_packet(packet, int(unit->size())) < 0) return false;
        if (unit) std::memcpy(packet->data, unit->data(), unit->size());
        const int rc = avcodec_send_packet(context, unit ? packet : nullptr);
        av_packet_unref(packet);
        for (int r; rc >= 0 && (r = avcodec_receive_frame(context, frame)) != AVERROR(EAGAIN) && r != AVERROR_EOF;) {
            if (r < 0) return false;
            ++frames;
            errors += frame->decode_error_flags != 0;
            onFrame(*frame);
            av_frame_unref(frame);
        }
        return rc >= 0;
    }
    std::function<void(const AVFrame&)> onFrame = [](const AVFrame&) {};
    int frames = 0, errors = 0;
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
};

}  // namespace kntest
