#include "capture/KNAudioCapture.h"

#include <gtest/gtest.h>

#include <cstring>

#include "AudioCaptureTestSupport.h"
#include "platform/RunLoop.h"
#include "support/TestServer.h"

using namespace audiotest;
using kntest::waitFor;
using namespace std::chrono_literals;
using platform::AudioSession;

namespace {

class KNAudioCaptureTest : public ::testing::Test {
protected:
    void SetUp() override { useSyntheticMicrophone(48000); }

    std::shared_ptr<KNAudioCapture> makeCapture() {
        auto capture = KNAudioCapture::initWithAudioConfiguration();
        capture->setConfigureAudioSessionManually(true);
        capture->setDelegate(delegate);
        return capture;
    }
    bool waitForDeliveries(int count) {
        return waitFor([&] { return delegate->count.load() >= count; }, 5s);
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(KNAudioCaptureTest, ToneArrivesAsMonoPcmWithFrameCountingTimesAtEachSessionRate) {
    struct Case {
        double sessionRate;
        uint64_t deliveredRate;
    };
    const Case cases[] = {{48000, 48000}, {44100.7, 44100}, {16000, 16000}, {250000, 192000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sessionRate);
        AudioSession::shared()->setHardwareSampleRate(c.sessionRate);
        delegate = std::make_shared<RecordingDelegate>();
        auto capture = makeCapture();
        EXPECT_EQ(capture->deliveredSampleRate(), c.deliveredRate);
        capture->setRunning(true);
        ASSERT_TRUE(waitForDeliveries(3));
        capture->setRunning(false);
        const auto deliveries = delegate->taken();
        uint64_t expectedTime = deliveries.front().timestamp;
        bool heard = false;
        for (const Delivery& d : deliveries) {
            EXPECT_EQ(d.timestamp, expectedTime);
            EXPECT_EQ(d.bytes.size() % 2, 0u);
            EXPECT_LE(d.bytes.size(), 2048u);
            EXPECT_NE(d.thread, std::this_thread::get_id());
            expectedTime += d.bytes.size() / 2;
            for (size_t i = 0; i + 1 < d.bytes.size(); i += 2) heard = heard || d.bytes[i] || d.bytes[i + 1];
        }
        EXPECT_TRUE(heard);
    }
}

TEST_F(KNAudioCaptureTest, RateTheDeviceCanNotTakeIsTheRateReported) {
    auto unit = std::make_shared<ScriptedUnit>(44100);
    ScopedComponent component(unit);
    auto capture = makeCapture();
    EXPECT_EQ(capture->deliveredSampleRate(), 44100u);
    EXPECT_EQ(unit->deliveredSampleRate(), 44100);
}

TEST_F(KNAudioCaptureTest, MutedRendersZerosAndFailedRenderDeliversNothing) {
    auto unit = std::make_shared<ScriptedUnit>();
    ScopedComponent component(unit);
    auto capture = makeCapture();
    capture->setMuted(true);
    capture->setRunning(true);
    ASSERT_TRUE(waitForDeliveries(2));
    capture->setRunning(false);
    for (const Delivery& d : delegate->taken()) {
        EXPECT_EQ(d.bytes.size(), 512u);
        EXPECT_EQ(d.bytes, std::vector<uint8_t>(512, 0));
    }
    capture->setMuted(false);
    unit->failRender = true;
    const int before = delegate->count.load();
    const int rendersBefore = unit->renders.load();
    capture->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return unit->renders.load() > rendersBefore + 3; }, 5s));
    capture->setRunning(false);
    EXPECT_EQ(delegate->count.load(), before);
}

TEST_F(KNAudioCaptureTest, RunningStartsOnceStopsAtOnceAndEndSessionTwiceIsHarmless) {
    auto unit = std::make_shared<ScriptedUnit>();
    ScopedComponent component(unit);
    auto capture = makeCapture();
    capture->setRunning(false);
    capture->setRunning(true);
    capture->setRunning(true);
    ASSERT_TRUE(waitForDeliveries(1));
    capture->taskQueue()->sync([] {});
    EXPECT_EQ(unit->starts.load(), 1);
    EXPECT_TRUE(capture->isRunning());
    capture->setRunning(false);
    EXPECT_FALSE(unit->isRunning());
    EXPECT_FALSE(capture->isRunning());

    capture->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return unit->isRunning(); }, 5s));
    capture->endSession();
    EXPECT_FALSE(unit->isRunning());
    EXPECT_EQ(capture->componetInstance(), nullptr);
    EXPECT_TRUE(capture->running());
    capture->endSession();
    capture->setRunning(false);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    EXPECT_EQ(unit->starts.load(), 2);
}

TEST_F(KNAudioCaptureTest, AudioSessionIsSetUpOnlyWhenTheHostLeavesItToUs) {
    auto session = AudioSession::shared();
    session->setHardwareSampleRate(48000.5);
    auto capture = KNAudioCapture::initWithAudioConfiguration();
    session->clearRecordedCalls();
    capture->setConfigureAudioSessionManually(true);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    EXPECT_TRUE(session->recordedCalls().empty());
    capture->setRunning(false);

    capture->setConfigureAudioSessionManually(false);
    const std::vector<std::string> setUp{"setPreferredSampleRate: 48000.0", "setCategory:withOptions: PlayAndRecord 25",
                                         "setActive:withOptions: 1 1", "setActive: 1"};
    EXPECT_EQ(session->recordedCalls(), setUp);
    session->clearRecordedCalls();
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    const std::vector<std::string> start{"setCategory:withOptions: PlayAndRecord 25"};
    EXPECT_EQ(session->recordedCalls(), start);
    capture->setRunning(false);
}

TEST_F(KNAudioCaptureTest, InterruptionsStopAndResumeOnlyARunningCapture) {
    struct Case {
        const char* name;
        bool running;
        int64_t endOption;
        bool runsAfterEnd;
    };
    const Case cases[] = {
        {"resume", true, platform::kAudioSessionInterruptionOptionShouldResume, true},
        {"no resume", true, 0, false},
        {"switched off", false, platform::kAudioSessionInterruptionOptionShouldResume, false},
    };
    auto session = AudioSession::shared();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto unit = std::make_shared<ScriptedUnit>();
        ScopedComponent component(unit);
        auto capture = makeCapture();
        capture->setRunning(c.running);
        capture->taskQueue()->sync([] {});
        session->postInterruption(platform::kAudioSessionInterruptionTypeBegan, 0);
        session->flushNotifications();
        EXPECT_FALSE(unit->isRunning());
        EXPECT_EQ(capture->isRunning(), c.running);
        session->postInterruption(platform::kAudioSessionInterruptionTypeEnded, c.endOption);
        session->flushNotifications();
        capture->taskQueue()->sync([] {});
        EXPECT_EQ(unit->isRunning(), c.runsAfterEnd);
        EXPECT_EQ(unit->starts.load(), c.running ? 1 + c.runsAfterEnd : 0);
        capture->endSession();
    }
}

TEST_F(KNAudioCaptureTest, OnlyACategoryChangeReachesTheDelegate) {
    auto capture = makeCapture();
    auto session = AudioSession::shared();
    for (int64_t reason : {0, 1, 2, 4, 5, 6, 7, 8, -1}) session->postRouteChange(reason);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 0);
    session->postRouteChange(platform::kAudioSessionRouteChangeReasonCategoryChange);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 1);

    // Setting the category the session already has changes nothing.
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, 0);
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, 25);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 2);
    capture->endSession();
    session->postRouteChange(platform::kAudioSessionRouteChangeReasonCategoryChange);
    session->flushNotifications();
    EXPECT_EQ(delegate->routeChanges.load(), 2);
}

TEST_F(KNAudioCaptureTest, EachFailedUnitStepPostsTheFailureOnTheMainQueue) {
    struct Case {
        const char* name;
        platform::MediaStatus createStatus;
        bool failInitialize;
        int posts;  // a unit that was never made can't be initialised either
    };
    const Case cases[] = {{"create", platform::kAudioUnitErrNoDevice, false, 2}, {"initialize", 0, true, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto unit = std::make_shared<ScriptedUnit>();
        unit->failInitialize = c.failInitialize;
        ScopedComponent component(unit, c.createStatus);
        std::atomic<int> posts{0};
        std::atomic<bool> onMainWithoutObject{true};
        auto token = platform::NotificationCenter::defaultCenter().addObserver(
            LFAudioComponentFailedToCreateNotification, nullptr, [&](const platform::Notification& n) {
                if (!platform::RunLoop::main().isRunningOnThisThread() || n.object) onMainWithoutObject = false;
                ++posts;
            });
        auto capture = makeCapture();
        ASSERT_NE(capture, nullptr);
        // The main queue runs in order: once this marker ran, every post queued at creation has too.
        std::atomic<bool> marker{false};
        platform::DispatchQueue::main()->async([&] { marker = true; });
        EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return marker.load(); }, 5s));
        EXPECT_EQ(posts.load(), c.posts);
        EXPECT_TRUE(onMainWithoutObject.load());
        capture->setRunning(true);
        capture->setRunning(false);
        EXPECT_EQ(delegate->count.load(), 0);
        platform::NotificationCenter::defaultCenter().removeObserver(token);
    }
}

}  // namespace
