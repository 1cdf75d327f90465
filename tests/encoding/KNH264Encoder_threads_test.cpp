// KNH264Encoder under concurrent use: restarts and changes of size with frames in flight, stops
// issued before their start has run, bit-rate updates racing with stops, and the encoder released
// while its session still delivers. Meant for ThreadSanitizer and AddressSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "H264RecordingDelegate.h"
#include "encoding/KNH264Encoder.h"
#include "support/TestServer.h"

using namespace platform;
using namespace std::chrono_literals;
using kntest::EncoderRig;
using Kind = kntest::H264Event::Kind;

namespace {

// Decodes everything delivered, in order; answers each decoded frame's size.
std::vector<std::pair<int, int>> decodeAll(kntest::H264RecordingDelegate& delegate) {
    kntest::H264Decoder decoder;
    for (const auto& frame : kntest::framesOf(delegate.events())) EXPECT_TRUE(decoder.decode(frame.accessUnit));
    decoder.flush();
    EXPECT_EQ(decoder.errors(), 0);
    std::vector<std::pair<int, int>> sizes;
    for (const auto& f : decoder.frames()) sizes.emplace_back(f.width, f.height);
    return sizes;
}

// The frames where the format description changes (a new session): each must be a key frame.
int sessionsStartingOnKeyFrames(kntest::H264RecordingDelegate& delegate) {
    const FormatDescription* last = nullptr;
    int sessions = 0;
    for (const auto& e : delegate.eventsOf(Kind::SampleBuffer)) {
        if (e.buffer->formatDescription().get() == last) continue;
        ++sessions;
        last = e.buffer->formatDescription().get();
        EXPECT_TRUE(kntest::isKeyFrame(*e.buffer)) << "session " << sessions;
    }
    return sessions;
}

}  // namespace

TEST(KNH264EncoderThreads, RestartsWithFramesInFlightBeginEachSessionWithAKeyFrame) {
    EncoderRig rig;
    auto picture = kntest::makePatternFrame(160, 120, 3);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding.load(); ++i) {
            rig.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
            if (i % 20 == 0) kntest::drain(*rig.encoder);  // keep the queue short
        }
    });
    auto newestFormat = [&]() -> const FormatDescription* {
        auto buffers = rig.delegate->eventsOf(Kind::SampleBuffer);
        return buffers.empty() ? nullptr : buffers.back().buffer->formatDescription().get();
    };
    const FormatDescription* previous = nullptr;
    for (int cycle = 0; cycle < 15; ++cycle) {
        rig.encoder->startEncodingWithResolutionHeight(160, 120);
        // Each session delivers something before it is stopped.
        if (!kntest::waitFor([&] { return newestFormat() && newestFormat() != previous; }, 10s)) {
            ADD_FAILURE() << "session " << cycle << " delivered nothing";
            break;
        }
        previous = newestFormat();
        rig.encoder->stopEncoding();
    }
    feeding.store(false);
    feeder.join();
    kntest::drain(*rig.encoder);
    EXPECT_FALSE(rig.encoder->started());
    EXPECT_EQ(sessionsStartingOnKeyFrames(*rig.delegate), 15);
    EXPECT_EQ(rig.delegate->count(Kind::EncodeError) + rig.delegate->count(Kind::StartError), 0u);
    decodeAll(*rig.delegate);
}

TEST(KNH264EncoderThreads, AChangeOfResolutionSwitchesSizeAtAKeyFrame) {
    EncoderRig rig;
    rig.encoder->setKeyFrameInterval(100);
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    std::thread feeder([&] {
        for (int i = 0; i < 60; ++i) {
            // Frames of the old size keep coming for a while; the new session trims them.
            auto picture = i < 40 ? kntest::makePatternFrame(320, 240, i) : kntest::makePatternFrame(640, 360, i);
            rig.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
            kntest::drain(*rig.encoder);
        }
    });
    ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, 10));
    rig.encoder->changeResolutionHeight(640, 360);
    feeder.join();
    rig.encoder->stopEncoding();
    kntest::drain(*rig.encoder);
    EXPECT_EQ(rig.encoder->resolution(), KNVideoFrameSizeMake(640, 360));
    EXPECT_EQ(sessionsStartingOnKeyFrames(*rig.delegate), 2);
    auto sizes = decodeAll(*rig.delegate);
    ASSERT_EQ(sizes.size(), rig.delegate->count(Kind::SampleBuffer)) << "every delivered frame decodes";
    EXPECT_EQ(sizes.front(), std::make_pair(320, 240));
    EXPECT_EQ(sizes.back(), std::make_pair(640, 360));
}

TEST(KNH264EncoderThreads, StopsIssuedBeforeTheirStartHasRunStillStop) {
    EncoderRig rig;
    auto picture = kntest::makePatternFrame(160, 120, 0);
    for (int i = 0; i < 100; ++i) {
        std::thread starter([&] { rig.encoder->startEncodingWithResolutionHeight(160, 120); });
        starter.join();
        rig.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
        rig.encoder->stopEncoding();
    }
    kntest::drain(*rig.encoder);
    EXPECT_FALSE(rig.encoder->started());
    const size_t delivered = rig.delegate->events().size();
    rig.encoder->encode(kntest::videoSample(picture, MediaTime::make(1000, 30)));
    kntest::drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), delivered) << "no session may survive the last stop";
}

TEST(KNH264EncoderThreads, BitrateUpdatesRacingWithStopsNeverTouchAReleasedSession) {
    EncoderRig rig;
    auto picture = kntest::makePatternFrame(320, 240, 0);
    std::atomic<bool> running{true};
    std::atomic<int> updates{0};
    std::vector<std::thread> updaters;
    for (int t = 0; t < 3; ++t) {
        updaters.emplace_back([&, t] {
            for (int i = 0; running.load(); ++i, ++updates) rig.encoder->updateBitrate(300000 + ((i * 7 + t) % 10) * 270000);
        });
    }
    for (int cycle = 0; cycle < 30; ++cycle) {
        rig.encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 3; ++i) rig.encoder->encode(kntest::videoSample(picture, MediaTime::make(cycle * 3 + i, 30)));
        rig.encoder->stopEncoding();
        if (cycle % 5 == 0) kntest::drain(*rig.encoder);
    }
    kntest::drain(*rig.encoder);
    running.store(false);
    for (auto& t : updaters) t.join();
    EXPECT_GT(updates.load(), 0);
    EXPECT_FALSE(rig.encoder->started());
    EXPECT_EQ(rig.delegate->count(Kind::EncodeError), 0u);
}

TEST(KNH264EncoderThreads, AnEncoderReleasedWhileItsSessionDeliversGoesAwayCleanly) {
    std::weak_ptr<KNH264Encoder> weak;
    std::shared_ptr<kntest::H264RecordingDelegate> delegate;  // outlives the encoder
    {
        EncoderRig rig;
        weak = rig.encoder;
        delegate = rig.delegate;
        rig.encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 8; ++i) {
            rig.encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, i), MediaTime::make(i, 30)));
        }
    }
    EXPECT_TRUE(kntest::waitFor([&] { return weak.expired(); }, 10s));
}
