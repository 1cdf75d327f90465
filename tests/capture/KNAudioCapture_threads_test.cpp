#include "capture/KNAudioCapture.h"

#include <gtest/gtest.h>

#include "AudioCaptureTestSupport.h"
#include "support/TestServer.h"

using namespace audiotest;
using kntest::waitFor;
using namespace std::chrono_literals;

namespace {

class KNAudioCaptureThreadsTest : public ::testing::Test {
protected:
    void SetUp() override {
        useSyntheticMicrophone(48000);
        delegate->slowFor = 3ms;
    }
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

// Each cycle waits for a buffer, so every stop lands while a slow delivery may be under way.
TEST_F(KNAudioCaptureThreadsTest, NoBufferArrivesAfterAStopReturnsOverManyCycles) {
    auto capture = KNAudioCapture::initWithAudioConfiguration();
    capture->setConfigureAudioSessionManually(true);
    capture->setDelegate(delegate);
    for (int cycle = 0; cycle < 200; ++cycle) {
        const int before = delegate->count.load();
        delegate->closed = false;
        capture->setRunning(true);
        ASSERT_TRUE(waitFor([&] { return delegate->count.load() > before; }, 5s)) << "cycle " << cycle;
        capture->setRunning(false);
        delegate->closed = true;
    }
    capture->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return capture->isRunning(); }, 5s));
    delegate->closed = false;
    capture.reset();
    delegate->closed = true;
    EXPECT_EQ(delegate->lateCallbacks.load(), 0);
}

TEST_F(KNAudioCaptureThreadsTest, EndSessionAndInterruptionsRacingDeliveriesLeaveNoLateBuffer) {
    auto session = platform::AudioSession::shared();
    for (int round = 0; round < 20; ++round) {
        auto local = std::make_shared<RecordingDelegate>();
        local->slowFor = 3ms;
        auto capture = KNAudioCapture::initWithAudioConfiguration();
        capture->setConfigureAudioSessionManually(true);
        capture->setDelegate(local);
        capture->setRunning(true);
        ASSERT_TRUE(waitFor([&] { return local->count.load() > 0; }, 5s));
        session->postInterruption(platform::kAudioSessionInterruptionTypeBegan, 0);
        session->postInterruption(platform::kAudioSessionInterruptionTypeEnded,
                                  platform::kAudioSessionInterruptionOptionShouldResume);
        capture->endSession();
        local->closed = true;
        session->flushNotifications();
        capture->taskQueue()->sync([] {});
        EXPECT_EQ(local->lateCallbacks.load(), 0);
    }
}

}  // namespace
