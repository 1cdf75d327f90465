#pragma once
// Records every call of a KNH264Encoder in order, and the helpers its tests share.
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>

#include "encoding/KNH264Encoder.h"
#include "support/VideoTestMedia.h"

namespace kntest {

struct H264Event {
    enum class Kind { SpsPps, Unit, SampleBuffer, Error } kind;
    KNH264EncoderDelegate::Bytes first{}, second{};  // SPS and PPS, or the unit
    bool keyFrame = false;
    uint64_t timestampMs = 0;
    std::shared_ptr<platform::SampleBuffer> buffer{};
    std::string error{};  // "start|encode <code> <message>"
};
using Kind = H264Event::Kind;

class H264RecordingDelegate : public KNH264EncoderDelegate {
public:
    void H264EncoderDidExtractSpsPps(KNH264Encoder*, const Bytes& sps, const Bytes& pps) override {
        add({.kind = Kind::SpsPps, .first = sps, .second = pps});
    }
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder*, const Bytes& data, bool key, uint64_t ms) override {
        add({.kind = Kind::Unit, .first = data, .keyFrame = key, .timestampMs = ms});
    }
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder*, const std::shared_ptr<platform::SampleBuffer>& b) override {
        add({.kind = Kind::SampleBuffer, .buffer = b});
    }
    void H264EncoderDidFailStartingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& e) override { fail("start", *e); }
    void H264EncoderDidFailEncodingWithError(KNH264Encoder*, const std::shared_ptr<KNError>& e) override { fail("encode", *e); }

    std::vector<H264Event> events(std::optional<Kind> only = {}) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<H264Event> picked;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(picked), [&](auto& e) { return !only || e.kind == only; });
        return picked;
    }
    std::vector<std::string> errors() {
        std::vector<std::string> picked;
        for (auto& e : events(Kind::Error)) picked.push_back(e.error);
        return picked;
    }
    size_t count(Kind kind) { return events(kind).size(); }
    bool waitFor(Kind kind, size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] {
            return size_t(std::count_if(events_.begin(), events_.end(), [&](auto& e) { return e.kind == kind; })) >= n;
        });
    }

private:
    void fail(const char* when, const KNError& e) {
        add({.kind = Kind::Error, .error = when + (" " + std::to_string(e.errorCodes().at(0))) + " " + e.message().value_or("")});
    }
    void add(H264Event e) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(std::move(e));
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<H264Event> events_;
};

struct EncoderRig {
    EncoderRig() { encoder->setDelegate(delegate); }
    std::shared_ptr<KNH264Encoder> encoder = KNH264Encoder::create();
    std::shared_ptr<H264RecordingDelegate> delegate = std::make_shared<H264RecordingDelegate>();
};

inline std::shared_ptr<platform::SampleBuffer> videoSample(std::shared_ptr<platform::PixelBuffer> image, platform::MediaTime pts,
                                                           platform::MediaTime duration = platform::MediaTime::make(1, 30)) {
    return platform::SampleBuffer::createWithImageBuffer(std::move(image), {duration, pts, platform::MediaTime::invalid()});
}

// Waits until everything queued on the encoder so far (a stop included) has run.
inline void drain(KNH264Encoder& encoder) { encoder.encodingQueue()->sync([] {}); }

// One frame as the delegate received it; each frame ends with its sample buffer.
struct EncodedFrame {
    bool parameterSetsFirst = false;
    std::vector<H264Event> units;
    std::shared_ptr<platform::SampleBuffer> buffer;
    std::vector<uint8_t> accessUnit;  // rebuilt from the calls alone, Annex-B
};

inline std::vector<EncodedFrame> framesOf(const std::vector<H264Event>& events) {
    std::vector<EncodedFrame> frames(1);
    for (const auto& e : events) {
        EncodedFrame& f = frames.back();
        if (e.kind == Kind::SpsPps) {
            f.parameterSetsFirst = f.units.empty();
            appendAnnexB(f.accessUnit, *e.first);
            appendAnnexB(f.accessUnit, *e.second);
        } else if (e.kind == Kind::Unit) {
            f.units.push_back(e);
            appendAnnexB(f.accessUnit, *e.first);
        } else if (e.kind == Kind::SampleBuffer) {
            f.buffer = e.buffer;
            frames.emplace_back();
        }
    }
    frames.pop_back();
    return frames;
}

}  // namespace kntest
