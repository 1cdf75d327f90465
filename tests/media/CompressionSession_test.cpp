// The x264-backed compression session: queueing and drops, flush and invalidation. Its stream is
// decoded, and foreign-sized frames fed to it, through the encoder's own tests.
#include "platform/media/CompressionSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "support/VideoTestMedia.h"

using namespace platform;

namespace {

struct Output {
    uintptr_t frame;
    uint32_t flags;
    std::shared_ptr<SampleBuffer> buffer;
};

struct Collector {
    static void callback(void* self, void* frame, MediaStatus status, uint32_t flags, std::shared_ptr<SampleBuffer> buffer) {
        auto* c = static_cast<Collector*>(self);
        if (c->onOutput) c->onOutput();
        EXPECT_EQ(status, kMediaNoErr);
        EXPECT_FALSE(c->closed) << "output after invalidate";
        std::lock_guard<std::mutex> lock(c->mutex);
        c->outputs.push_back({reinterpret_cast<uintptr_t>(frame), flags, std::move(buffer)});
        c->changed.notify_all();
    }
    std::vector<Output> waitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return outputs.size() >= count; }));
        return outputs;
    }

    std::function<void()> onOutput;
    std::atomic<bool> closed{false};
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Output> outputs;
};

std::shared_ptr<CompressionSession> makeSession(Collector& collector, int32_t width, int32_t height) {
    auto session = CompressionSession::create(width, height, &Collector::callback, &collector);
    EXPECT_EQ(session->setProperty(CompressionProperty::RealTime, true), kMediaNoErr);  // drops instead of waiting
    EXPECT_EQ(session->setProperty(CompressionProperty::AllowFrameReordering, false), kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, 3000000), kMediaNoErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
    return session;
}

MediaStatus encode(CompressionSession& session, std::shared_ptr<PixelBuffer> frame, int index) {
    return session.encodeFrame(std::move(frame), MediaTime::make(index, 30), MediaTime::make(1, 30),
                               reinterpret_cast<void*>(uintptr_t(index)));
}

}  // namespace

TEST(CompressionSession, AFullQueueDropsTheOldestWaitingFramesAndFlushDeliversTheRest) {
    Collector collector;
    auto session = makeSession(collector, 1280, 720);
    constexpr int kFrames = 40;
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 4; ++i) frames.push_back(kntest::makePatternFrame(1280, 720, i, 30));
    for (int i = 0; i < kFrames; ++i) ASSERT_EQ(encode(*session, frames[i % 4], i), kMediaNoErr);
    ASSERT_EQ(session->completeFrames(), kMediaNoErr);
    const auto outputs = collector.waitForCount(0);
    ASSERT_EQ(outputs.size(), size_t(kFrames)) << "every frame is either delivered or reported dropped";
    int dropped = 0;
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(outputs[i].frame, uintptr_t(i)) << "outputs keep submission order";
        dropped += !outputs[i].buffer;
        if (!outputs[i].buffer) EXPECT_TRUE(outputs[i].flags & kEncodeInfoFrameDropped);
        else EXPECT_EQ(outputs[i].buffer->presentationTimeStamp(), MediaTime::make(i, 30));
    }
    EXPECT_GT(dropped, 0) << "40 frames at once can't all wait for a 720p encoder";
    EXPECT_NE(outputs[kFrames - 1].buffer, nullptr) << "the newest frame is never the one dropped";
}

TEST(CompressionSession, NothingIsDeliveredAfterInvalidateEvenFromTheOutputCallback) {
    {
        Collector collector;
        auto session = makeSession(collector, 640, 360);
        for (int i = 0; i < 10; ++i) encode(*session, kntest::makePatternFrame(640, 360, i), i);
        session->invalidate();
        collector.closed = true;
        EXPECT_EQ(encode(*session, kntest::makePatternFrame(640, 360, 0), 0), kMediaErrInvalidSession);
        EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, 100000), kMediaErrInvalidSession);
        EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    }
    Collector collector;  // as when an encoder's last reference goes inside its output callback
    std::shared_ptr<CompressionSession> session;
    collector.onOutput = [&] { session->invalidate(); };
    session = makeSession(collector, 320, 240);
    for (int i = 0; i < 5; ++i) encode(*session, kntest::makePatternFrame(320, 240, i), i);
    collector.waitForCount(1);
    EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    EXPECT_EQ(collector.waitForCount(1).size(), 1u);
}
