// KNH264Encoder's restarts and stops raced by frames, bit-rate updates and session ends.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

using namespace platform;
using namespace std::chrono_literals;
using namespace kntest;

// A change of resolution is a stop and a start; frames of the old size keep coming meanwhile.
TEST(KNH264EncoderThreads, RestartsAndSizeChangesWithFramesInFlightBeginEachSessionWithAKeyFrame) {
    EncoderRig rig;
    auto picture = makePatternFrame(160, 120, 3);  // foreign to every other session: scaled to fill
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding; ++i) {
            rig.encoder->encode(videoSample(picture, MediaTime::make(i, 30)));
            if (i % 20 == 0) drain(*rig.encoder);  // keep the queue short
        }
    });
    const FormatDescription* previous = nullptr;
    for (int cycle = 0; cycle < 16; ++cycle) {
        rig.encoder->changeResolutionHeight(cycle % 2 ? 320 : 160, cycle % 2 ? 240 : 120);
        auto newest = [&] {
            auto f = rig.delegate->waitForFrame(1);
            return f ? f->formatDescription().get() : nullptr;
        };
        ASSERT_TRUE(waitFor([&] { return newest() != previous; }, 10s)) << "session " << cycle;
        previous = newest();
    }
    rig.encoder->stopEncoding();
    feeding = false;
    feeder.join();
    drain(*rig.encoder);
    int sessions = 0;
    for (const FormatDescription* last = nullptr; const auto& e : rig.delegate->events()) {
        if (!e.buffer || e.buffer->formatDescription().get() == last) continue;
        last = e.buffer->formatDescription().get();
        EXPECT_EQ(last->width(), ++sessions % 2 ? 160 : 320);
        EXPECT_TRUE(isKeyFrame(*e.buffer)) << "session " << sessions << " begins with a key frame";
    }
    EXPECT_EQ(sessions, 16);
}

TEST(KNH264EncoderThreads, StopsRightAfterStartsWithUpdatesAndSessionEndsRacingLeaveNoSession) {
    EncoderRig rig;
    auto picture = makePatternFrame(320, 240, 0);
    std::atomic<bool> running{true};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; running; ++i) {
                if (t == 0 && i % 50 == 0) rig.encoder->endEncodingSession();
                rig.encoder->updateBitrate(300000 + ((i * 7 + t) % 10) * 270000);
            }
        });
    for (int cycle = 0; cycle < 60 && !rig.encoder->started(); ++cycle) {
        std::promise<void> gate;  // holds the queue: each stop is issued before its start has run
        rig.encoder->encodingQueue()->async([held = gate.get_future().share()] { held.wait(); });
        rig.encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 3; ++i) rig.encoder->encode(videoSample(picture, MediaTime::make(cycle * 3 + i, 30)));
        rig.encoder->stopEncoding();
        gate.set_value();
        drain(*rig.encoder);
    }
    running = false;
    for (auto& t : threads) t.join();
    EXPECT_FALSE(rig.encoder->started());
    const size_t delivered = rig.delegate->events().size();
    rig.encoder->encode(videoSample(picture, MediaTime::make(1000, 30)));
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), delivered) << "no session may survive the last stop";
}
