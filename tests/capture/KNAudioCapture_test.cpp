#include "capture/KNAudioCapture.h"

#include <gtest/gtest.h>

#include "AudioCaptureTestSupport.h"
#include "support/TestServer.h"

using namespace audiotest;
using kntest::waitFor;
using namespace std::chrono_literals;
using platform::AudioSession;

namespace {

class KNAudioCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { useSyntheticMicrophone(48000); }
    bool waitForDeliveries(int count) {
        return waitFor([&] { return delegate->count.load() >= count; }, 5s);
    }
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<AudioSession> session = AudioSession::shared();
};

TEST_F(KNAudioCaptureTest, ToneArrivesWithFrameCountingTimesAtTheRateItReallyHas) {
    // The session's fraction is dropped; a rate the tone can't make is reported as the one it makes.
    const std::pair<double, uint64_t> rates[] = {{48000, 48000}, {44100.7, 44100}, {250000, 192000}};
    for (const auto& [sessionRate, deliveredRate] : rates) {
        SCOPED_TRACE(sessionRate);
        session->setHardwareSampleRate(sessionRate);
        delegate = std::make_shared<RecordingDelegate>();
        auto capture = makeCapture(delegate);
        EXPECT_EQ(capture->deliveredSampleRate(), deliveredRate);
        capture->setRunning(true);
        ASSERT_TRUE(waitForDeliveries(3));
        capture->setRunning(false);
        const auto deliveries = delegate->taken();
        uint64_t expectedTime = deliveries.front().timestamp;
        for (const Delivery& d : deliveries) {
            EXPECT_EQ(d.timestamp, expectedTime);
            EXPECT_LE(d.bytes.size(), 2048u);
            EXPECT_NE(d.bytes, std::vector<uint8_t>(d.bytes.size(), 0));
            expectedTime += d.bytes.size() / 2;
        }
    }
}

TEST_F(KNAudioCaptureTest, RunningStartsOnceStopsAtOnceAndEndSessionTwiceIsHarmless) {
    auto unit = std::make_shared<ScriptedUnit>();
    ScopedComponent component(unit);
    auto capture = makeCapture(delegate);
    capture->setRunning(false);
    capture->setRunning(true);
    capture->setRunning(true);
    ASSERT_TRUE(waitForDeliveries(1));
    EXPECT_EQ(unit->starts.load(), 1);
    capture->setRunning(false);
    EXPECT_FALSE(unit->isRunning());
    capture->setRunning(true);
    capture->endSession();
    EXPECT_FALSE(unit->isRunning());
    capture->endSession();
    capture->setRunning(false);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    EXPECT_EQ(unit->starts.load(), 2);
}

TEST_F(KNAudioCaptureTest, InterruptionsStopAndResumeOnlyARunningCapture) {
    struct Case {
        bool running;
        int64_t endOption;
        int startsAfter;
    };
    const Case cases[] = {{true, platform::kAudioSessionInterruptionOptionShouldResume, 2}, {true, 0, 1}, {false, 1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.running << " " << c.endOption);
        auto unit = std::make_shared<ScriptedUnit>();
        ScopedComponent component(unit);
        auto capture = makeCapture(delegate);
        capture->setRunning(c.running);
        capture->taskQueue()->sync([] {});
        session->postInterruption(platform::kAudioSessionInterruptionTypeBegan, 0);
        session->flushNotifications();
        EXPECT_FALSE(unit->isRunning());
        EXPECT_EQ(capture->isRunning(), c.running);
        session->postInterruption(platform::kAudioSessionInterruptionTypeEnded, c.endOption);
        session->flushNotifications();
        capture->taskQueue()->sync([] {});
        EXPECT_EQ(unit->isRunning(), c.startsAfter == 2);
        EXPECT_EQ(unit->starts.load(), c.startsAfter);
    }
}

TEST_F(KNAudioCaptureTest, OnlyARealCategoryChangeReachesTheDelegateUntilTheSessionEnds) {
    auto capture = makeCapture(delegate);
    for (int64_t reason : {0, 1, 2, 4, 5, 6, 7, 8, -1}) session->postRouteChange(reason);
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, 0);
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, 25);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 1);
    capture->endSession();
    session->postRouteChange(platform::kAudioSessionRouteChangeReasonCategoryChange);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 1);
}

}  // namespace
