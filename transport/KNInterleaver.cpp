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
    // This stream leaves up to the partner's front, on equal times first. What that uncovers of
    // the partner's frames leaves at once too, rather than in the partner's next turn: the
    // order is the same, but a video frame no longer waits a whole frame for its own successor
    // once the audio has caught up with it, nor audio for the next audio packet.
    for (auto* from = &own, *other = &partner; !from->empty() && !other->empty(); std::swap(from, other)) {
        const uint64_t otherFront = other->front().frame.timestamp();
        if (from->front().frame.timestamp() > otherFront) {
            if (from == &own) continue;  // the partner's turn may still release some of its own
            break;
        }
        while (!from->empty() && from->front().frame.timestamp() <= otherFront) {
            ready_.push_back(std::move(from->front()));
            ready_.back().dequeued = true;
            from->pop_front();
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

size_t KNInterleaver::waitingBytes() const {
    size_t bytes = 0;
    for (const auto* stream : {&video_, &audio_}) {
        for (const auto& entry : *stream) bytes += entry.frame.data() ? entry.frame.data()->size() : 0;
    }
    return bytes;
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
