#include "transport/KNInterleaver.h"

#include <gtest/gtest.h>

#include <string>

struct Step {
    char stream;
    uint64_t timestampMs;
    bool partnerOn = true;
};

// What each step releases, steps separated by "|", frames as V<ts>/A<ts>.
static std::string run(KNInterleaver& interleaver, const std::vector<Step>& steps) {
    std::string out;
    for (const auto& step : steps) {
        KNInterleaver::Entry entry;
        entry.frame.setTimestamp(step.timestampMs);
        const auto& ready = step.stream == 'V' ? interleaver.pushVideo(entry, step.partnerOn)
                                               : interleaver.pushAudio(entry, step.partnerOn);
        out += &step == &steps.front() ? "" : "|";
        for (const auto& f : ready) {
            out += std::string(&f == &ready.front() ? "" : " ") + (f.video ? "V" : "A") + std::to_string(f.frame.timestamp());
        }
    }
    return out;
}

// Each frame leaves as soon as the partner has reached its time, whichever stream's packet came.
TEST(KNInterleaver, ReleasesEachStreamOnlyUpToThePartnersFront) {
    const std::tuple<const char*, std::vector<Step>, const char*> cases[] = {
        {"video waits for audio", {{'V', 0}, {'V', 33}, {'A', 0}, {'A', 23}, {'V', 66}}, "||A0|V0 A23|"},
        {"audio then video", {{'A', 0}, {'A', 23}, {'V', 10}, {'A', 46}, {'V', 40}}, "||A0 V10||A23 V40"},
        {"equal times: the arriving stream first", {{'V', 20}, {'A', 20}, {'V', 40}, {'A', 40}}, "|A20||V20 V40"},
        {"audio off: video passes, waiting audio is thrown away",
         {{'A', 0}, {'V', 5, false}, {'V', 40, false}, {'A', 50}, {'V', 60}}, "|V5|V40||A50"},
        {"video off: audio passes and flushes its own waiting frames",
         {{'A', 0}, {'A', 23}, {'A', 46, false}}, "||A0 A23 A46"},
    };
    for (const auto& [name, steps, released] : cases) {
        KNInterleaver interleaver;
        EXPECT_EQ(run(interleaver, steps), released) << name;
    }
}

// Past the span the oldest frames leave in order.
TEST(KNInterleaver, AStalledPartnerHoldsFramesForAtMostTheWaitSpan) {
    constexpr uint64_t span = KNInterleaver::kMaxWaitSpanMs;
    KNInterleaver interleaver;
    EXPECT_EQ(run(interleaver, {{'A', 0}, {'V', 10}}), "|A0");
    std::vector<Step> steps;
    for (uint64_t t = 40; t <= span + 10; t += 40) steps.push_back({'V', t});
    EXPECT_EQ(run(interleaver, steps).find_first_not_of('|'), std::string::npos);
    EXPECT_EQ(run(interleaver, {{'V', span + 11}, {'V', span + 51}}), "V10|V40");
}

// Streams arriving in any mix of jitter: what leaves is in time order, and no frame is held once
// the partner has a frame at or past its time.
TEST(KNInterleaver, ReleasesInTimeOrderWithoutHoldingSettledFrames) {
    uint32_t seed = 7;
    auto next = [&seed](uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % bound;
    };
    KNInterleaver interleaver;
    uint64_t video = 0;
    uint64_t audio = 0;
    uint64_t lastReleased = 0;
    for (int i = 0; i < 2000; ++i) {
        const bool isVideo = next(2) == 0;
        KNInterleaver::Entry entry;
        entry.frame.setTimestamp(isVideo ? (video += 25 + next(16)) : (audio += 25 + next(16)));
        const auto& ready = isVideo ? interleaver.pushVideo(entry, true) : interleaver.pushAudio(entry, true);
        for (const auto& frame : ready) {
            ASSERT_GE(frame.frame.timestamp(), lastReleased) << "step " << i;
            lastReleased = frame.frame.timestamp();
        }
        // Both streams waiting means one of them still has a frame the other has passed.
        ASSERT_FALSE(interleaver.videoWaiting() > 0 && interleaver.audioWaiting() > 0) << "step " << i;
    }
}
