#include "capture/KNAudioCapture.h"

#include <gtest/gtest.h>

#include <thread>

#include "AudioCaptureTestSupport.h"
#include "kestrune/KNTypes.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
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

// Every second render fails; the other half are delivered (muted: as zeros of the rendered size).
struct HalfFailingUnit : ScriptedUnit {
    platform::MediaStatus render(platform::AudioUnitRenderActionFlags* flags, const platform::AudioTimeStamp* time,
                                 uint32_t bus, uint32_t frames, platform::AudioBufferList* data) override {
        if (++renders % 2 == 0) return platform::kAudioUnitErrCannotDoInCurrentContext;
        ++rendered;
        return ScriptedUnit::render(flags, time, bus, frames, data);
    }
    std::atomic<int> renders{0};
    std::atomic<int> rendered{0};
};

TEST_F(KNAudioCaptureTest, MutedBuffersAreZerosOfTheRenderedSizeAndAFailedRenderDeliversNothing) {
    for (bool muted : {false, true}) {
        SCOPED_TRACE(muted);
        delegate = std::make_shared<RecordingDelegate>();
        auto unit = std::make_shared<HalfFailingUnit>();
        ScopedComponent component(unit);
        auto capture = makeCapture(delegate);
        capture->setMuted(muted);
        capture->setRunning(true);
        ASSERT_TRUE(waitFor([&] { return unit->renders.load() >= 20; }, 5s));
        capture->setRunning(false);
        const auto deliveries = delegate->taken();
        EXPECT_EQ(static_cast<int>(deliveries.size()), unit->rendered.load());
        for (const Delivery& d : deliveries) {
            ASSERT_EQ(d.bytes.size(), 512u);
            const bool silent = d.bytes == std::vector<uint8_t>(512, 0);
            EXPECT_EQ(silent, muted);
        }
    }
}

TEST_F(KNAudioCaptureTest, TheAudioSessionIsSetUpForRecordingUnlessTheHostDoesIt) {
    session->setHardwareSampleRate(48000.5);
    auto capture = KNAudioCapture::createWithAudioConfiguration();
    capture->setConfigureAudioSessionManually(true);
    EXPECT_EQ(session->preferredSampleRate(), 0.0);
    EXPECT_FALSE(session->isActive());
    EXPECT_NE(session->category(), platform::kAudioSessionCategoryPlayAndRecord);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    EXPECT_NE(session->category(), platform::kAudioSessionCategoryPlayAndRecord);
    capture->setRunning(false);

    capture->setConfigureAudioSessionManually(false);
    EXPECT_EQ(session->preferredSampleRate(), 48000.0);
    EXPECT_EQ(session->category(), platform::kAudioSessionCategoryPlayAndRecord);
    EXPECT_EQ(session->categoryOptions(), 0x19u);
    EXPECT_TRUE(session->isActive());
    // Each start sets the category again.
    session->setCategoryWithOptions(platform::kAudioSessionCategoryPlayAndRecord, 0);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    EXPECT_EQ(session->categoryOptions(), 0x19u);
    capture->setRunning(false);
}

TEST_F(KNAudioCaptureTest, AMicrophoneThatCannotBeMadeIsAnnouncedOnTheMainQueueForEachFailedStep) {
    platform::AudioComponentDescription description{platform::kAudioUnitTypeOutput,
                                                    platform::kAudioUnitSubTypeMicrophoneIO,
                                                    platform::kAudioUnitManufacturerSystem, 0, 0};
    auto refusing = platform::AudioComponent::registerComponent(
        description, [](std::shared_ptr<platform::AudioInputUnit>*) { return platform::kAudioUnitErrNoDevice; });
    std::atomic<int> heard{0};
    std::atomic<bool> onMain{true};
    const auto token = platform::NotificationCenter::defaultCenter().addObserver(
        LFAudioComponentFailedToCreateNotification, nullptr, [&](const platform::Notification& n) {
            onMain = onMain && n.object == nullptr && platform::DispatchQueue::main()->isCurrent();
            ++heard;
        });
    auto capture = makeCapture(delegate);
    EXPECT_TRUE(platform::RunLoop::main().runUntil([&] { return heard.load() == 2; }, 5000ms));
    platform::NotificationCenter::defaultCenter().removeObserver(token);
    platform::AudioComponent::unregisterComponent(refusing);
    EXPECT_TRUE(onMain.load());
    capture->setRunning(true);
    capture->setRunning(false);
    EXPECT_EQ(delegate->count.load(), 0);
}

TEST_F(KNAudioCaptureTest, AStopThatReturnedIsNotUndoneByAResumeQueuedBeforeIt) {
    auto unit = std::make_shared<ScriptedUnit>();
    ScopedComponent component(unit);
    auto capture = makeCapture(delegate);
    capture->setRunning(true);
    capture->taskQueue()->sync([] {});
    session->postInterruption(platform::kAudioSessionInterruptionTypeBegan, 0);
    session->flushNotifications();
    // The queue is held while a stop waits behind it and the interruption's end queues its resume.
    std::atomic<bool> release{false};
    std::atomic<bool> holding{false};
    capture->taskQueue()->async([&] {
        holding = true;
        while (!release.load()) std::this_thread::yield();
    });
    ASSERT_TRUE(waitFor([&] { return holding.load(); }, 5s));
    std::thread stopper([&] { capture->setRunning(false); });
    ASSERT_TRUE(waitFor([&] { return !capture->running(); }, 5s));
    session->postInterruption(platform::kAudioSessionInterruptionTypeEnded,
                              platform::kAudioSessionInterruptionOptionShouldResume);
    session->flushNotifications();
    release = true;
    stopper.join();
    capture->taskQueue()->sync([] {});
    EXPECT_FALSE(unit->isRunning());
    EXPECT_FALSE(capture->isRunning());
}

}  // namespace
