#pragma once
// A KNH264EncoderDelegate that records every call in order, with waits on what has arrived, and
// the helpers the encoder's tests share.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "encoding/KNH264Encoder.h"
#include "support/VideoTestMedia.h"

namespace kntest {

struct H264Event {
    enum class Kind { SpsPps, Unit, SampleBuffer, StartError, EncodeError };
    Kind kind;
    KNH264EncoderDelegate::Bytes first{};   // SPS or the unit
    KNH264EncoderDelegate::Bytes second{};  // PPS
    bool keyFrame = false;
    uint64_t timestampMs = 0;
    std::shared_ptr<platform::SampleBuffer> buffer{};
    std::shared_ptr<KNError> error{};
};

class H264RecordingDelegate : public KNH264EncoderDelegate {
public:
    using Kind = H264Event::Kind;

    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        add({.kind = Kind::SpsPps, .first = sps, .second = pps});
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override {
        add({.kind = Kind::Unit, .first = data, .keyFrame = isKeyFrame, .timestampMs = timestampMs});
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>& b) override {
        add({.kind = Kind::SampleBuffer, .buffer = b});
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        add({.kind = Kind::StartError, .error = error});
    }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& error) override {
        add({.kind = Kind::EncodeError, .error = error});
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
    size_t count(Kind kind) { return eventsOf(kind).size(); }
    bool waitFor(Kind kind, size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return size_t(std::count_if(events_.begin(), events_.end(), [&](auto& e) { return e.kind == kind; })) >= n;
        });
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

// An encoder with a recording delegate.
struct EncoderRig {
    EncoderRig() { encoder->setDelegate(delegate); }
    std::shared_ptr<KNH264Encoder> encoder = KNH264Encoder::create();
    std::shared_ptr<H264RecordingDelegate> delegate = std::make_shared<H264RecordingDelegate>();
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
inline void drain(KNH264Encoder& encoder) { encoder.encodingQueue()->sync([] {}); }

// One frame as the delegate received it: each frame ends with its sample buffer.
struct EncodedFrame {
    bool parameterSetsFirst = false;  // SPS/PPS arrived before this frame's first unit
    std::vector<H264Event> units;
    std::shared_ptr<platform::SampleBuffer> buffer;
    std::vector<uint8_t> accessUnit;  // rebuilt from the calls alone, in Annex-B form
};

inline std::vector<EncodedFrame> framesOf(const std::vector<H264Event>& events) {
    std::vector<EncodedFrame> frames;
    EncodedFrame current;
    for (const auto& e : events) {
        if (e.kind == H264Event::Kind::SpsPps) {
            current.parameterSetsFirst = current.units.empty();
            appendAnnexB(current.accessUnit, *e.first);
            appendAnnexB(current.accessUnit, *e.second);
        } else if (e.kind == H264Event::Kind::Unit) {
            current.units.push_back(e);
            appendAnnexB(current.accessUnit, *e.first);
        } else if (e.kind == H264Event::Kind::SampleBuffer) {
            current.buffer = e.buffer;
            frames.push_back(std::move(current));
            current = EncodedFrame{};
        }
    }
    return frames;
}

}  // namespace kntest
