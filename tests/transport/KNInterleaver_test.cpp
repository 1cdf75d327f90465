// Order of release and the common time line, as tables of feeds.
#include "transport/KNInterleaver.h"

#include <gtest/gtest.h>

#include <string>

struct Step { char stream; uint64_t timestampMs; bool partnerOn = true; };

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
            out += std::string(&f == &ready.front() ? "" : " ") + (f.video ? 'V' : 'A') + std::to_string(f.frame.timestamp());
        }
    }
    return out;
}

TEST(KNInterleaver, ReleasesEachStreamOnlyUpToThePartnersFront) {
    const std::tuple<const char*, std::vector<Step>, const char*> cases[] = {
        {"video waits for audio", {{'V', 0}, {'V', 33}, {'A', 0}, {'A', 23}, {'V', 66}}, "||A0||V0"},
        {"audio then video", {{'A', 0}, {'A', 23}, {'V', 10}, {'A', 46}, {'V', 40}}, "|||A0|V10"},
        {"equal timestamps: the running block sends", {{'A', 20}, {'V', 20}, {'V', 30}, {'A', 40}}, "|V20||A20"},
        {"only the partner's front counts", {{'A', 10}, {'A', 50}, {'V', 5}, {'V', 30}, {'V', 60}}, "||V5||"},
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

TEST(KNInterleaver, AStalledPartnerHoldsFramesForAtMostTheWaitSpan) {
    KNInterleaver interleaver;
    std::vector<Step> steps = {{'A', 0}, {'V', 10}};
    for (uint64_t t = 40; t <= KNInterleaver::kMaxWaitSpanMs + 10; t += 40) steps.push_back({'V', t});
    run(interleaver, steps);
    EXPECT_EQ(interleaver.audioWaiting(), 1u);
    EXPECT_EQ(interleaver.videoWaiting(), steps.size() - 1);

    // Past the span the oldest frames leave, the partner's first, and the wait stays within bounds.
    EXPECT_EQ(run(interleaver, {{'V', KNInterleaver::kMaxWaitSpanMs + 11}}), "A0 V10");
    for (uint64_t t = KNInterleaver::kMaxWaitSpanMs + 51; t < 3 * KNInterleaver::kMaxWaitSpanMs; t += 40) {
        KNInterleaver::Entry entry;
        entry.frame.setTimestamp(t);
        const auto& ready = interleaver.pushVideo(entry, true);
        ASSERT_FALSE(ready.empty()) << t;
        EXPECT_LE(t - (ready.back().frame.timestamp() + 40), KNInterleaver::kMaxWaitSpanMs) << t;
    }
    EXPECT_EQ(interleaver.audioWaiting(), 0u);
}

// Video joins at audio's last time; a first timestamp of 0 is a real base; an older packet lowers it.
TEST(KNInterleaver, RebasesBothStreamsOntoOneZero) {
    const std::pair<std::vector<std::pair<char, uint64_t>>, std::vector<uint64_t>> cases[] = {
        {{{'A', 5000}, {'A', 5023}, {'A', 5046}, {'V', 9000}, {'V', 9033}, {'A', 5069}}, {0, 23, 46, 46, 79, 69}},
        {{{'A', 0}, {'A', 23}, {'A', 46}}, {0, 23, 46}},
        {{{'V', 100}, {'V', 90}, {'V', 133}}, {0, 0, 43}},
    };
    for (const auto& [input, expected] : cases) {
        KNInterleaver interleaver;
        std::vector<uint64_t> relative;
        for (auto [stream, ts] : input) relative.push_back(stream == 'V' ? interleaver.rebaseVideo(ts) : interleaver.rebaseAudio(ts));
        EXPECT_EQ(relative, expected);
    }
}
