#pragma once
// Puts a publisher's audio and video onto one time line: rebases both streams onto a common zero
// and releases frames in timestamp order, each stream waiting for the other while both are on.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "core/KNFrame.h"

class KNInterleaver {
public:
    // A stream whose partner stops arriving holds back at most this much media; older frames
    // are released in order.
    static constexpr uint64_t kMaxWaitSpanMs = 2000;

    struct Entry {
        KNFrame frame;  // timestamp relative to the stream's base
        bool video = false;
        // Audio: length of the ADTS header in front of the payload.
        size_t headerLengthBytes = 0;
        // Sequence header body to write just before this frame.
        std::shared_ptr<const std::vector<uint8_t>> sequenceHeader;
        // Released by the ordering rule rather than passed straight through.
        bool dequeued = false;
    };

    // Forgets everything: waiting frames, bases and offsets.
    void reset();
    // Drops the waiting frames only.
    void clearBuffers();

    // Relative timestamps. The first packet of the stream that starts second gets the other
    // stream's last relative timestamp; each base then follows the smallest timestamp seen.
    uint64_t rebaseVideo(uint64_t timestampMs);
    uint64_t rebaseAudio(uint64_t timestampMs);
    std::optional<uint64_t> videoBase() const { return videoBase_; }
    std::optional<uint64_t> audioBase() const { return audioBase_; }

    // The frames to write now, in order. `partnerOn` tells whether the other stream is sent:
    // when it is not, its waiting frames are thrown away and this stream passes straight through.
    const std::vector<Entry>& pushVideo(Entry entry, bool partnerOn);
    const std::vector<Entry>& pushAudio(Entry entry, bool partnerOn);

    // Everything still waiting, merged by timestamp: what a closing connection still owes.
    const std::vector<Entry>& drain();

    size_t videoWaiting() const { return video_.size(); }
    // Payload bytes of every frame waiting, both streams.
    size_t waitingBytes() const;
    size_t audioWaiting() const { return audio_.size(); }

private:
    const std::vector<Entry>& push(Entry entry, bool partnerOn, std::deque<Entry>& own,
                                   std::deque<Entry>& partner);
    void drainInOrder();
    void releaseOldest();

    std::deque<Entry> video_;
    std::deque<Entry> audio_;
    std::vector<Entry> ready_;
    std::optional<uint64_t> videoBase_;
    std::optional<uint64_t> audioBase_;
    uint64_t videoOffset_ = 0;
    uint64_t audioOffset_ = 0;
};
