#pragma once
// A delegate that records what an AAC encoder says, and PCM makers for the encoder tests.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "encoding/KNAACEncoderBase.h"

namespace aactest {

struct Packet {
    std::vector<uint8_t> raw;
    std::vector<uint8_t> adts;
    platform::MediaTime duration;
    platform::MediaTime presentationTime;
    uint64_t timestamp = 0;
};

class RecordingDelegate : public KNAACEncoderDelegate {
public:
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase*, const Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime presentationTime) override {
        std::lock_guard lock(mutex);
        packets.push_back({*data, {}, duration, presentationTime, 0});
        events.push_back("raw");
    }
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase*, const Bytes& data,
                                                                    platform::MediaTime duration,
                                                                    uint64_t timestamp) override {
        std::lock_guard lock(mutex);
        if (packets.empty() || !packets.back().adts.empty()) {
            packets.push_back({{}, *data, duration, {}, timestamp});
        } else {
            packets.back().adts = *data;
            packets.back().timestamp = timestamp;
        }
        events.push_back("adts");
    }
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) override {
        std::lock_guard lock(mutex);
        events.push_back("configured");
        cookieAtConfigure = encoder->magicCookie();
        delayAtConfigure = encoder->decoderDelay();
    }
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase*, std::shared_ptr<KNError> error) override {
        std::lock_guard lock(mutex);
        events.push_back("error " + std::to_string(error->errorCodes().at(0)) + " " + error->message().value_or(""));
    }

    std::vector<Packet> takePackets() {
        std::lock_guard lock(mutex);
        return packets;
    }
    // The events so far, which are then forgotten.
    std::vector<std::string> takeEvents() {
        std::lock_guard lock(mutex);
        return std::exchange(events, {});
    }

    std::mutex mutex;
    std::vector<Packet> packets;
    std::vector<std::string> events;
    KNAACEncoderDelegate::Bytes cookieAtConfigure;
    uint64_t delayAtConfigure = 0;
};

// Runs everything queued on the encoder so far.
inline void drain(const std::shared_ptr<KNAACEncoderBase>& encoder) {
    encoder->encoderQueue()->sync([] {});
}

// Signed 16-bit interleaved frames of a sine from frame `start` on, the same in every channel.
inline std::vector<int16_t> toneS16(double frequency, double rate, size_t frames, size_t channels,
                                    size_t start = 0, double amplitude = 0.5) {
    std::vector<int16_t> pcm(frames * channels);
    for (size_t i = 0; i < frames; ++i) {
        const double v = amplitude * std::sin(2 * M_PI * frequency * static_cast<double>(start + i) / rate);
        for (size_t c = 0; c < channels; ++c) pcm[i * channels + c] = static_cast<int16_t>(std::lround(v * 32767));
    }
    return pcm;
}

inline KNAACEncoderBase::Bytes bytesOf(const std::vector<int16_t>& pcm) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(pcm.size() * 2);
    std::memcpy(bytes->data(), pcm.data(), bytes->size());
    return bytes;
}

inline KNAACEncoderBase::Bytes zeroBytes(size_t n) { return std::make_shared<const std::vector<uint8_t>>(n, 0); }

}  // namespace aactest
