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

// Each cycle waits for a buffer, so stops land while a slow delivery may be under way.
TEST_F(KNAudioCaptureThreadsTest, NoBufferArrivesAfterAStopReturnsOverManyCycles) {
    auto capture = makeCapture(delegate);
    for (int cycle = 0; cycle < 200; ++cycle) {
        const int before = delegate->count.load();
        delegate->closed = false;
        capture->setRunning(true);
        ASSERT_TRUE(waitFor([&] { return delegate->count.load() > before; }, 5s)) << "cycle " << cycle;
        capture->setRunning(false);
        delegate->closed = true;
    }
    const int before = delegate->count.load();
    delegate->closed = false;
    capture->setRunning(true);
    ASSERT_TRUE(waitFor([&] { return delegate->count.load() > before; }, 5s));
    // Letting go ends the session while a slow delivery may be under way.
    capture.reset();
    delegate->closed = true;
    // A late buffer would have come within a few periods: another microphone's ten mark the time.
    auto clockDelegate = std::make_shared<RecordingDelegate>();
    auto clock = makeCapture(clockDelegate);
    clock->setRunning(true);
    EXPECT_TRUE(waitFor([&] { return clockDelegate->count.load() >= 10; }, 5s));
    clock->setRunning(false);
    EXPECT_EQ(delegate->lateCallbacks.load(), 0);
}

}  // namespace
