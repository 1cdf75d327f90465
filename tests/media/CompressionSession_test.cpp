// The x264-backed compression session delivers nothing once invalidated, even when the output
// callback itself invalidates it (an encoder's last reference going inside its callback). Its
// stream, queueing and drops are checked through the encoder's tests.
#include "platform/media/CompressionSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

using namespace platform;

namespace {

struct Collector {
    static void callback(void* self, void*, MediaStatus status, uint32_t, std::shared_ptr<SampleBuffer>) {
        auto* c = static_cast<Collector*>(self);
        if (c->onOutput) c->onOutput();
        EXPECT_EQ(status, kMediaNoErr);
        EXPECT_FALSE(c->closed) << "output after invalidate";
        ++c->outputs;
    }
    std::function<void()> onOutput;
    std::atomic<bool> closed{false};
    std::atomic<int> outputs{0};
};

void feedTenFrames(Collector& collector, std::shared_ptr<CompressionSession>& session) {
    session = CompressionSession::create(640, 360, &Collector::callback, &collector);
    EXPECT_EQ(session->setProperty(CompressionProperty::RealTime, true), kMediaNoErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
    for (int i = 0; i < 10; ++i)
        session->encodeFrame(kntest::makePatternFrame(640, 360, i), MediaTime::make(i, 30), MediaTime::make(1, 30), nullptr);
}

}  // namespace

TEST(CompressionSession, NothingIsDeliveredAfterInvalidateEvenFromTheOutputCallback) {
    {
        Collector collector;
        std::shared_ptr<CompressionSession> session;
        feedTenFrames(collector, session);
        session->invalidate();
        collector.closed = true;
        EXPECT_EQ(session->encodeFrame(kntest::makePatternFrame(640, 360, 0), MediaTime::make(0, 30), MediaTime(), nullptr),
                  kMediaErrInvalidSession);
        EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, 100000), kMediaErrInvalidSession);
        EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    }
    Collector collector;
    std::shared_ptr<CompressionSession> session;
    collector.onOutput = [&] { session->invalidate(); };
    feedTenFrames(collector, session);
    ASSERT_TRUE(kntest::waitFor([&] { return collector.outputs > 0; }, std::chrono::seconds(10)));
    EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    EXPECT_EQ(collector.outputs, 1);
}
