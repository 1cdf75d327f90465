#pragma once
// A KNH264EncoderDelegate that records every call in order, with waits on what has arrived.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "encoding/KNH264Encoder.h"
#include "support/VideoTestMedia.h"

namespace kntest {

struct H264Event {
    enum class Kind { SpsPps, Unit, SampleBuffer, StartError, EncodeError };
    explicit H264Event(Kind k) : kind(k) {}
    Kind kind;
    KNH264EncoderDelegate::Bytes first;   // SPS or the unit
    KNH264EncoderDelegate::Bytes second;  // PPS
    bool keyFrame = false;
    uint64_t timestampMs = 0;
    std::shared_ptr<platform::SampleBuffer> buffer;
    std::shared_ptr<KNError> error;
};

class H264RecordingDelegate : public KNH264EncoderDelegate {
public:
    using Kind = H264Event::Kind;

    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        H264Event e(Kind::SpsPps);
        e.first = sps;
        e.second = pps;
        add(std::move(e));
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        H264Event e(Kind::Unit);
        e.first = data;
        e.keyFrame = isKeyFrame;
        e.timestampMs = timestampMs;
        add(std::move(e));
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*,
                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override {
        H264Event e(Kind::SampleBuffer);
        e.buffer = sampleBuffer;
        add(std::move(e));
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        H264Event e(Kind::StartError);
        e.error = error;
        add(std::move(e));
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        H264Event e(Kind::EncodeError);
        e.error = error;
        add(std::move(e));
    }

    std::vector<H264Event> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::vector<H264Event> eventsOf(Kind kind) {
        std::vector<H264Event> picked;
        for (auto& e : events()) {
            if (e.kind == kind) picked.push_back(e);
        }
        return picked;
    }
    size_t count(Kind kind) {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& e : events_) n += e.kind == kind ? 1 : 0;
        return n;
    }
    bool waitFor(Kind kind, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            size_t c = 0;
            for (const auto& e : events_) c += e.kind == kind ? 1 : 0;
            return c >= n;
        });
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

private:
    void add(H264Event e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<H264Event> events_;
};

inline std::shared_ptr<platform::SampleBuffer> videoSample(std::shared_ptr<platform::PixelBuffer> image,
                                                           platform::MediaTime pts,
                                                           platform::MediaTime duration = platform::MediaTime::make(1, 30)) {
    platform::SampleTiming timing;
    timing.presentationTimeStamp = pts;
    timing.duration = duration;
    return platform::SampleBuffer::createWithImageBuffer(std::move(image), timing);
}

// Waits until everything queued on the encoder so far (a stop included) has run.
inline void drain(KNH264Encoder& encoder) {
    encoder.encodingQueue()->sync([] {});
}

}  // namespace kntest
