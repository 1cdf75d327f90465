#include "platform/audio/AudioSession.h"

#include <gtest/gtest.h>

#include <any>
#include <cmath>
#include <cstdlib>
#include <thread>

#include "platform/NotificationCenter.h"

namespace {

using namespace platform;

class AudioSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("KESTRUNE_AUDIO_BACKEND", "synthetic", 1);
        session->reset();
    }
    std::shared_ptr<AudioSession> session = AudioSession::shared();
};

TEST_F(AudioSessionTest, ThePreferredRateTakesEffectWhenTheSessionBecomesActive) {
    struct Case {
        double preferred;
        bool taken;
        double rateOnceActive;
    };
    const Case cases[] = {{44100, true, 44100}, {16000, true, 16000}, {4000, false, 48000}, {NAN, false, 48000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.preferred);
        session->reset();
        EXPECT_EQ(session->sampleRate(), 48000);
        EXPECT_EQ(session->setPreferredSampleRate(c.preferred), c.taken);
        EXPECT_EQ(session->sampleRate(), 48000);
        session->setActive(true);
        EXPECT_EQ(session->sampleRate(), c.rateOnceActive);
    }
}

TEST_F(AudioSessionTest, NotificationsComeFromTheSessionsQueueWithTheirKeys) {
    struct Seen {
        std::string name;
        int64_t value = -1;
        int64_t option = -1;
        std::thread::id thread;
    };
    std::vector<Seen> seen;
    auto collect = [&](const Notification& n) {
        Seen s{n.name, -1, -1, std::this_thread::get_id()};
        for (const char* key : {kAudioSessionInterruptionTypeKey, kAudioSessionRouteChangeReasonKey}) {
            if (n.userInfo.count(key)) s.value = std::any_cast<int64_t>(n.userInfo.at(key));
        }
        if (n.userInfo.count(kAudioSessionInterruptionOptionKey)) {
            s.option = std::any_cast<int64_t>(n.userInfo.at(kAudioSessionInterruptionOptionKey));
        }
        seen.push_back(s);
    };
    auto& center = NotificationCenter::defaultCenter();
    const auto a = center.addObserver(kAudioSessionInterruptionNotification, session, collect);
    const auto b = center.addObserver(kAudioSessionRouteChangeNotification, session, collect);
    session->postInterruption(kAudioSessionInterruptionTypeBegan, 0);
    session->postInterruption(kAudioSessionInterruptionTypeEnded, kAudioSessionInterruptionOptionShouldResume);
    session->setCategoryWithOptions(kAudioSessionCategoryPlayAndRecord, 0);
    session->setCategoryWithOptions(kAudioSessionCategoryPlayAndRecord, 0x19);
    session->flushNotifications();
    center.removeObserver(a);
    center.removeObserver(b);

    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].name, kAudioSessionInterruptionNotification);
    EXPECT_EQ(seen[0].value, kAudioSessionInterruptionTypeBegan);
    EXPECT_EQ(seen[0].option, -1);
    EXPECT_EQ(seen[1].option, kAudioSessionInterruptionOptionShouldResume);
    EXPECT_EQ(seen[2].name, kAudioSessionRouteChangeNotification);
    EXPECT_EQ(seen[2].value, kAudioSessionRouteChangeReasonCategoryChange);
    for (const Seen& s : seen) EXPECT_NE(s.thread, std::this_thread::get_id());
}

}  // namespace
