#pragma once
// One encoded frame waiting in an RTMP publisher's interleaving buffers: an H.264 NAL unit or an
// ADTS-framed AAC packet. The bytes are shared, never copied, between the destinations.
#include <cstdint>
#include <memory>
#include <vector>

class KNFrame {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;

    static std::shared_ptr<KNFrame> create() { return std::make_shared<KNFrame>(); }

    const Bytes& data() const { return data_; }
    void setData(Bytes data) { data_ = std::move(data); }
    // Milliseconds from the stream's start.
    uint64_t timestamp() const { return timestamp_; }
    void setTimestamp(uint64_t timestampMs) { timestamp_ = timestampMs; }
    // Always false for audio.
    bool keyframe() const { return keyframe_; }
    void setKeyframe(bool keyframe) { keyframe_ = keyframe; }

private:
    Bytes data_;
    uint64_t timestamp_ = 0;
    bool keyframe_ = false;
};
