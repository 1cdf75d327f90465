#include "transport/KNInterleaver.h"

#include <algorithm>

namespace {

// A base that is taken while the other stream already runs lines this stream up with it.
uint64_t rebase(std::optional<uint64_t>& base, uint64_t& offset, uint64_t partnerOffset,
                uint64_t timestampMs) {
    if (!base) base = timestampMs >= partnerOffset ? timestampMs - partnerOffset : timestampMs;
    base = std::min(*base, timestampMs);
    offset = timestampMs - *base;
    return offset;
}

}  // namespace

void KNInterleaver::reset() {
    clearBuffers();
    videoBase_.reset();
    audioBase_.reset();
    videoOffset_ = 0;
    audioOffset_ = 0;
}

void KNInterleaver::clearBuffers() {
    video_.clear();
    audio_.clear();
}

uint64_t KNInterleaver::rebaseVideo(uint64_t timestampMs) {
    return rebase(videoBase_, videoOffset_, audioOffset_, timestampMs);
}

uint64_t KNInterleaver::rebaseAudio(uint64_t timestampMs) {
    return rebase(audioBase_, audioOffset_, videoOffset_, timestampMs);
}

const std::vector<KNInterleaver::Entry>& KNInterleaver::pushVideo(Entry entry, bool partnerOn) {
    entry.video = true;
    return push(std::move(entry), partnerOn, video_, audio_);
}

const std::vector<KNInterleaver::Entry>& KNInterleaver::pushAudio(Entry entry, bool partnerOn) {
    entry.video = false;
    return push(std::move(entry), partnerOn, audio_, video_);
}

const std::vector<KNInterleaver::Entry>& KNInterleaver::push(Entry entry, bool partnerOn,
                                                             std::deque<Entry>& own,
                                                             std::deque<Entry>& partner) {
    ready_.clear();
    if (!partnerOn) {
        partner.clear();
        for (auto& waiting : own) ready_.push_back(std::move(waiting));
        own.clear();
        ready_.push_back(std::move(entry));
        return ready_;
    }

    own.push_back(std::move(entry));
    // Only the partner's front as it is now counts; its own frames leave in its own turn.
    if (!partner.empty()) {
        const uint64_t partnerFront = partner.front().frame.timestamp();
        while (!own.empty() && own.front().frame.timestamp() <= partnerFront) {
            ready_.push_back(std::move(own.front()));
            ready_.back().dequeued = true;
            own.pop_front();
        }
    }
    // The partner has gone quiet: what has waited too long leaves in order, the partner's
    // older frames with it, so the wait stays bounded and nothing is lost.
    while (own.size() > 1 && own.back().frame.timestamp() > own.front().frame.timestamp() &&
           own.back().frame.timestamp() - own.front().frame.timestamp() > kMaxWaitSpanMs) {
        releaseOldest();
    }
    return ready_;
}

void KNInterleaver::releaseOldest() {
    const bool takeVideo = audio_.empty() ||
        (!video_.empty() && video_.front().frame.timestamp() <= audio_.front().frame.timestamp());
    auto& from = takeVideo ? video_ : audio_;
    ready_.push_back(std::move(from.front()));
    ready_.back().dequeued = true;
    from.pop_front();
}

const std::vector<KNInterleaver::Entry>& KNInterleaver::drain() {
    ready_.clear();
    drainInOrder();
    return ready_;
}

void KNInterleaver::drainInOrder() {
    while (!video_.empty() || !audio_.empty()) releaseOldest();
}
