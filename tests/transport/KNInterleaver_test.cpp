// Order of release and the common time line, as tables of feeds.
#include "transport/KNInterleaver.h"

#include <gtest/gtest.h>

#include <sstream>

struct Step {
    char stream;           // 'V' or 'A'
    uint64_t timestampMs;  // relative, already rebased
    bool partnerOn = true;
};

// What each step releases, steps separated by "|", frames as V<ts>/A<ts>.
static std::string run(KNInterleaver& interleaver, const std::vector<Step>& steps) {
    std::ostringstream out;
    for (size_t i = 0; i < steps.size(); ++i) {
        KNInterleaver::Entry entry;
        entry.frame.setTimestamp(steps[i].timestampMs);
        const auto& ready = steps[i].stream == 'V' ? interleaver.pushVideo(entry, steps[i].partnerOn)
                                                   : interleaver.pushAudio(entry, steps[i].partnerOn);
        if (i) out << "|";
        for (size_t j = 0; j < ready.size(); ++j) {
            out << (j ? " " : "") << (ready[j].video ? 'V' : 'A') << ready[j].frame.timestamp();
        }
    }
    return out.str();
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

    // Past the span the oldest frames leave, the partner's older one first, until the wait is
    // back within bounds; it stays there as video goes on alone.
    const uint64_t first = KNInterleaver::kMaxWaitSpanMs + 11;
    for (uint64_t t = first; t < 3 * KNInterleaver::kMaxWaitSpanMs; t += 40) {
        KNInterleaver::Entry entry;
        entry.frame.setTimestamp(t);
        const auto& ready = interleaver.pushVideo(entry, true);
        ASSERT_FALSE(ready.empty()) << t;
        if (t == first) {
            ASSERT_EQ(ready.size(), 2u);
            EXPECT_FALSE(ready[0].video);
            EXPECT_EQ(ready[1].frame.timestamp(), 10u);
        }
        EXPECT_EQ(interleaver.audioWaiting(), 0u);
        EXPECT_LE(t - (ready.back().frame.timestamp() + 40), KNInterleaver::kMaxWaitSpanMs) << t;
    }
}

TEST(KNInterleaver, RebasesBothStreamsOntoOneZero) {
    const std::tuple<const char*, std::vector<std::pair<char, uint64_t>>, std::vector<uint64_t>> cases[] = {
        {"audio starts first; video joins at audio's last time",
         {{'A', 5000}, {'A', 5023}, {'A', 5046}, {'V', 9000}, {'V', 9033}, {'A', 5069}},
         {0, 23, 46, 46, 79, 69}},
        // A first timestamp of 0 is a real base: the second packet must not restart at 0.
        {"zero-based stream", {{'A', 0}, {'A', 23}, {'A', 46}}, {0, 23, 46}},
        {"a packet older than the base lowers it", {{'V', 100}, {'V', 90}, {'V', 133}}, {0, 0, 43}},
    };
    for (const auto& [name, input, expected] : cases) {
        KNInterleaver interleaver;
        std::vector<uint64_t> relative;
        for (const auto& [stream, ts] : input) {
            relative.push_back(stream == 'V' ? interleaver.rebaseVideo(ts) : interleaver.rebaseAudio(ts));
        }
        EXPECT_EQ(relative, expected) << name;
    }

}
