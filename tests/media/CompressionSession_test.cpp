// The x264-backed compression session delivers nothing once invalidated, even from inside its output
// callback (an encoder's last reference going there). Its stream and drops: see the encoder's tests.
#include "platform/media/CompressionSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "support/VideoTestMedia.h"

using namespace platform;

namespace {

struct Collector {
    static void callback(void* self, void*, MediaStatus status, uint32_t, std::shared_ptr<SampleBuffer>) {
        auto* c = static_cast<Collector*>(self);
        EXPECT_FALSE(c->closed || status != kMediaNoErr) << "output after invalidate";
        ++c->outputs;
        // Last: the invalidate lets the waiting flush return, and the test may then end.
        if (c->onOutput) c->onOutput();
    }
    std::function<void()> onOutput;
    std::atomic<bool> closed{false};
    std::atomic<int> outputs{0};
};

void feedFrames(Collector& collector, std::shared_ptr<CompressionSession>& session, bool realTime = true) {
    session = CompressionSession::create(640, 360, &Collector::callback, &collector);
    EXPECT_EQ(session->setProperty(CompressionProperty::RealTime, realTime), kMediaNoErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
    for (int i = 0; i < 5; ++i)  // fewer than x264 holds back when not in real time
        session->encodeFrame(kntest::makePatternFrame(640, 360, i), MediaTime::make(i, 30), MediaTime::make(1, 30), nullptr);
}

}  // namespace

TEST(CompressionSession, NothingIsDeliveredAfterInvalidateEvenFromTheOutputCallback) {
    {
        Collector collector;
        std::shared_ptr<CompressionSession> session;
        feedFrames(collector, session);
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
    feedFrames(collector, session, false);  // not real time: x264 holds frames back for the flush
    session->completeFrames();                  // which delivers them one by one; the first invalidates
    EXPECT_EQ(collector.outputs, 1);
}
