#include "platform/capture/CaptureSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureVideoDataOutput.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/media/SampleBuffer.h"
#include "support/TestServer.h"

using namespace std::chrono_literals;
using kntest::waitFor;
using namespace platform;

namespace {

constexpr auto kTimeout = 10s;

double nowSeconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct Frame {
    std::shared_ptr<SampleBuffer> sample;
    bool onQueue = false;
    double ageSeconds = 0;
};

class Recorder : public CaptureVideoDataOutputSampleBufferDelegate {
public:
    explicit Recorder(std::shared_ptr<DispatchQueue> queue, std::chrono::milliseconds work = 0ms)
        : queue_(std::move(queue)), work_(work) {}

    void captureOutputDidOutputSampleBufferFromConnection(const std::shared_ptr<CaptureVideoDataOutput>&,
                                                          const std::shared_ptr<SampleBuffer>& sample,
                                                          const std::shared_ptr<CaptureConnection>&) override {
        Frame frame{sample, queue_->isCurrent(), nowSeconds() - sample->presentationTimeStamp().seconds()};
        if (inside_.fetch_add(1) != 0) overlapped_ = true;
        std::this_thread::sleep_for(work_);  // the consumer's own work
        inside_.fetch_sub(1);
        std::lock_guard lock(mutex_);
        frames_.push_back(frame);
    }

    size_t count() {
        std::lock_guard lock(mutex_);
        return frames_.size();
    }
    std::vector<Frame> frames() {
        std::lock_guard lock(mutex_);
        return frames_;
    }
    bool overlapped() const { return overlapped_.load(); }

private:
    std::shared_ptr<DispatchQueue> queue_;
    std::chrono::milliseconds work_;
    std::atomic<int> inside_{0};
    std::atomic<bool> overlapped_{false};
    std::mutex mutex_;
    std::vector<Frame> frames_;
};

struct Rig {
    std::shared_ptr<SyntheticCaptureDevice> camera = SyntheticCaptureDevice::phoneBackCamera();
    std::shared_ptr<CaptureSession> session = CaptureSession::create();
    std::shared_ptr<CaptureVideoDataOutput> output = CaptureVideoDataOutput::create();
    std::shared_ptr<DispatchQueue> queue = DispatchQueue::createSerial("test.capture.delegate");
    std::shared_ptr<Recorder> recorder;

    explicit Rig(std::chrono::milliseconds work = 0ms) : recorder(std::make_shared<Recorder>(queue, work)) {
        session->addInput(CaptureDeviceInput::deviceInputWithDevice(camera));
        session->addOutput(output);
        session->setSessionPreset(kSessionPreset1280x720);
        output->setSampleBufferDelegate(recorder, queue);
    }
    ~Rig() { session->stopRunning(); }
};

}  // namespace

TEST(CaptureSession, ThirtyFramesASecondReachTheDelegateOnItsQueueInOrderAtTheAskedSize) {
    Rig rig;
    rig.session->startRunning();
    ASSERT_TRUE(waitFor([&] { return rig.recorder->count() >= 15; }, kTimeout));
    rig.session->stopRunning();
    auto frames = rig.recorder->frames();
    std::optional<uint32_t> lastNumber;
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& image = frames[i].sample->imageBuffer();
        EXPECT_TRUE(frames[i].onQueue);
        EXPECT_EQ(image->width(), 1280);
        EXPECT_EQ(image->height(), 720);
        EXPECT_EQ(image->pixelFormat(), PixelFormat::NV12VideoRange);
        auto number = SyntheticCaptureDevice::frameNumberOf(*image);
        ASSERT_TRUE(number.has_value());
        if (lastNumber) {
            EXPECT_GT(*number, *lastNumber);
        }
        lastNumber = number;
        if (i > 0) {
            EXPECT_GT(frames[i].sample->presentationTimeStamp(), frames[i - 1].sample->presentationTimeStamp());
        }
    }
    const double span = frames.back().sample->presentationTimeStamp().seconds() -
                        frames.front().sample->presentationTimeStamp().seconds();
    EXPECT_NEAR(span / static_cast<double>(frames.size() - 1), 1.0 / 30, 0.01);
}

TEST(CaptureSession, ASlowDelegateGetsFewerFramesAndNeverABacklog) {
    Rig rig(100ms);
    rig.session->startRunning();
    const double started = nowSeconds();
    ASSERT_TRUE(waitFor([&] { return rig.recorder->count() >= 8; }, kTimeout));
    const double elapsed = nowSeconds() - started;
    rig.session->stopRunning();
    const auto frames = rig.recorder->frames();
    const double rate = static_cast<double>(frames.size()) / elapsed;
    EXPECT_LE(rate, 11.0);
    EXPECT_GE(rate, 4.0);
    EXPECT_GT(rig.output->droppedFrameCount(), 0u);
    EXPECT_FALSE(rig.recorder->overlapped());
    // A frame waits at most for the one delivery before it, never for a queue of them.
    for (const auto& frame : frames) EXPECT_LT(frame.ageSeconds, 0.25);
}

TEST(CaptureSession, NoFrameReachesTheDelegateAfterStopReturns) {
    for (int round = 0; round < 5; ++round) {
        Rig rig(5ms);
        rig.session->startRunning();
        ASSERT_TRUE(waitFor([&] { return rig.recorder->count() >= 2; }, kTimeout));
        rig.session->stopRunning();
        const size_t atStop = rig.recorder->count();
        // Anything already queued on the delegate's queue has run once this returns.
        rig.queue->sync([] {});
        EXPECT_EQ(rig.recorder->count(), atStop);
    }
}

TEST(CaptureSession, ConnectionOrientationTurnsFramesAndMovesTheMarkedCorner) {
    struct Row {
        CaptureVideoOrientation orientation;
        int32_t width;
        int32_t height;
        int32_t markerX;
        int32_t markerY;
    };
    constexpr int32_t m = SyntheticCaptureDevice::kMarkerSize;
    const Row rows[] = {
        {CaptureVideoOrientation::LandscapeRight, 1280, 720, 0, 0},
        {CaptureVideoOrientation::Portrait, 720, 1280, 720 - m, 0},
    };
    for (const Row& row : rows) {
        Rig rig;
        auto connection = rig.output->connectionWithMediaType(MediaType::Video);
        ASSERT_NE(connection, nullptr);
        connection->setVideoOrientation(row.orientation);
        rig.session->startRunning();
        ASSERT_TRUE(waitFor([&] { return rig.recorder->count() >= 1; }, kTimeout));
        rig.session->stopRunning();
        const auto& image = *rig.recorder->frames().front().sample->imageBuffer();
        SCOPED_TRACE(static_cast<int>(row.orientation));
        EXPECT_EQ(image.width(), row.width);
        EXPECT_EQ(image.height(), row.height);
        EXPECT_TRUE(SyntheticCaptureDevice::isMarkedAt(image, row.markerX, row.markerY));
        EXPECT_FALSE(SyntheticCaptureDevice::isMarkedAt(image, row.width - m - row.markerX, row.height - m - row.markerY));
    }
}

TEST(CaptureSession, NotificationsComeOutsideTheLocksAndARuntimeErrorStopsTheSession) {
    Rig rig;
    std::vector<std::string> seen;
    std::mutex mutex;
    auto token = NotificationCenter::defaultCenter().addObserver("", rig.session, [&](const Notification& n) {
        // Reading the session from an observer would deadlock if the post held its lock.
        const bool running = rig.session->isRunning();
        std::lock_guard lock(mutex);
        seen.push_back(n.name + (running ? ":running" : ":stopped"));
    });
    rig.session->startRunning();
    ASSERT_TRUE(waitFor([&] { return rig.recorder->count() >= 1; }, kTimeout));
    rig.camera->simulateRuntimeError({kCaptureErrorDeviceFailed, "unplugged"});
    ASSERT_TRUE(waitFor(
        [&] {
            std::lock_guard lock(mutex);
            return seen.size() >= 3;
        },
        kTimeout));
    NotificationCenter::defaultCenter().removeObserver(token);
    std::lock_guard lock(mutex);
    const std::vector<std::string> expected{std::string(kCaptureSessionDidStartRunningNotification) + ":running",
                                            std::string(kCaptureSessionRuntimeErrorNotification) + ":running",
                                            std::string(kCaptureSessionDidStopRunningNotification) + ":stopped"};
    EXPECT_EQ(seen, expected);
}
