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

TEST(KNInterleaver, ReleasesEachStreamOnlyUpToThePartnersFront) {
    const std::tuple<const char*, std::vector<Step>, const char*> cases[] = {
        {"video waits for audio", {{'V', 0}, {'V', 33}, {'A', 0}, {'A', 23}, {'V', 66}}, "||A0||V0"},
        {"audio then video", {{'A', 0}, {'A', 23}, {'V', 10}, {'A', 46}, {'V', 40}}, "|||A0|V10"},
        {"audio off: video passes, waiting audio is thrown away",
         {{'A', 0}, {'V', 5, false}, {'V', 40, false}, {'A', 50}, {'V', 60}}, "|V5|V40||"},
        {"video off: audio passes and flushes its own waiting frames",
         {{'A', 0}, {'A', 23}, {'A', 46, false}}, "||A0 A23 A46"},
    };
    for (const auto& [name, steps, released] : cases) {
        KNInterleaver interleaver;
        EXPECT_EQ(run(interleaver, steps), released) << name;
    }
}

// Past the span the oldest frames leave, the partner's first.
TEST(KNInterleaver, AStalledPartnerHoldsFramesForAtMostTheWaitSpan) {
    constexpr uint64_t span = KNInterleaver::kMaxWaitSpanMs;
    KNInterleaver interleaver;
    std::vector<Step> steps = {{'A', 0}, {'V', 10}};
    for (uint64_t t = 40; t <= span + 10; t += 40) steps.push_back({'V', t});
    EXPECT_EQ(run(interleaver, steps).find_first_not_of('|'), std::string::npos);
    EXPECT_EQ(run(interleaver, {{'V', span + 11}, {'V', span + 51}}), "A0 V10|V40");
}
