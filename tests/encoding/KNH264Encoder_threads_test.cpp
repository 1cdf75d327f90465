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
using kntest::H264RecordingDelegate;
using Kind = kntest::H264Event::Kind;

namespace {

struct Fixture {
    Fixture() { encoder->setDelegate(delegate); }
    std::shared_ptr<KNH264Encoder> encoder = KNH264Encoder::create();
    std::shared_ptr<H264RecordingDelegate> delegate = std::make_shared<H264RecordingDelegate>();
};

// Decodes the delegate's output in order; answers the decoded frames' sizes.
std::vector<std::pair<int, int>> decodeAll(H264RecordingDelegate& delegate) {
    kntest::H264Decoder decoder;
    std::vector<uint8_t> accessUnit;
    for (const auto& e : delegate.events()) {
        if (e.kind == Kind::SpsPps) {
            kntest::appendAnnexB(accessUnit, *e.first);
            kntest::appendAnnexB(accessUnit, *e.second);
        } else if (e.kind == Kind::Unit) {
            kntest::appendAnnexB(accessUnit, *e.first);
        } else if (e.kind == Kind::SampleBuffer) {
            EXPECT_TRUE(decoder.decode(accessUnit));
            accessUnit.clear();
        }
    }
    decoder.flush();
    EXPECT_EQ(decoder.errors(), 0);
    std::vector<std::pair<int, int>> sizes;
    for (const auto& f : decoder.frames()) sizes.emplace_back(f.width, f.height);
    return sizes;
}

}  // namespace

TEST(KNH264EncoderThreads, RestartsWithFramesInFlightBeginEachSessionWithAKeyFrame) {
    Fixture f;
    auto picture = kntest::makePatternFrame(160, 120, 3);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (int i = 0; feeding.load(); ++i) {
            f.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
            if (i % 20 == 0) kntest::drain(*f.encoder);  // keep the queue short
        }
    });
    const FormatDescription* previous = nullptr;
    auto newestFormat = [&]() -> const FormatDescription* {
        auto buffers = f.delegate->eventsOf(Kind::SampleBuffer);
        return buffers.empty() ? nullptr : buffers.back().buffer->formatDescription().get();
    };
    for (int cycle = 0; cycle < 15; ++cycle) {
        f.encoder->startEncodingWithResolutionHeight(160, 120);
        // Each session delivers something before it is stopped.
        if (!kntest::waitFor([&] { return newestFormat() && newestFormat() != previous; }, 10s)) {
            ADD_FAILURE() << "session " << cycle << " delivered nothing";
            break;
        }
        previous = newestFormat();
        f.encoder->stopEncoding();
    }
    feeding.store(false);
    feeder.join();
    kntest::drain(*f.encoder);
    EXPECT_FALSE(f.encoder->started());

    // A new session shows as a new format description; its first frame must be a key frame.
    const FormatDescription* lastFormat = nullptr;
    int sessions = 0;
    for (const auto& e : f.delegate->eventsOf(Kind::SampleBuffer)) {
        if (e.buffer->formatDescription().get() != lastFormat) {
            ++sessions;
            lastFormat = e.buffer->formatDescription().get();
            EXPECT_TRUE(kntest::isKeyFrame(*e.buffer));
        }
    }
    EXPECT_EQ(sessions, 15);
    EXPECT_EQ(f.delegate->count(Kind::EncodeError), 0u);
    EXPECT_EQ(f.delegate->count(Kind::StartError), 0u);
    decodeAll(*f.delegate);
}

TEST(KNH264EncoderThreads, AChangeOfResolutionSwitchesSizeAtAKeyFrame) {
    Fixture f;
    f.encoder->setKeyFrameInterval(100);
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    std::thread feeder([&] {
        for (int i = 0; i < 60; ++i) {
            // Frames of the old size keep coming for a while; the new session trims them.
            auto picture = i < 40 ? kntest::makePatternFrame(320, 240, i) : kntest::makePatternFrame(640, 360, i);
            f.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
            kntest::drain(*f.encoder);
        }
    });
    ASSERT_TRUE(f.delegate->waitFor(Kind::SampleBuffer, 10));
    f.encoder->changeResolutionHeight(640, 360);
    feeder.join();
    f.encoder->stopEncoding();
    kntest::drain(*f.encoder);
    EXPECT_EQ(f.encoder->resolution(), KNVideoFrameSizeMake(640, 360));

    auto buffers = f.delegate->eventsOf(Kind::SampleBuffer);
    int switches = 0;
    int32_t width = 320;
    for (const auto& e : buffers) {
        int32_t w = e.buffer->formatDescription()->width();
        if (w != width) {
            ++switches;
            width = w;
            EXPECT_TRUE(kntest::isKeyFrame(*e.buffer));
        }
    }
    EXPECT_EQ(switches, 1);
    EXPECT_EQ(width, 640);
    auto sizes = decodeAll(*f.delegate);
    ASSERT_EQ(sizes.size(), buffers.size()) << "every delivered frame decodes";
    EXPECT_EQ(sizes.front(), std::make_pair(320, 240));
    EXPECT_EQ(sizes.back(), std::make_pair(640, 360));
}

TEST(KNH264EncoderThreads, StopsIssuedBeforeTheirStartHasRunStillStop) {
    Fixture f;
    auto picture = kntest::makePatternFrame(160, 120, 0);
    for (int i = 0; i < 100; ++i) {
        std::thread starter([&] { f.encoder->startEncodingWithResolutionHeight(160, 120); });
        starter.join();
        f.encoder->encode(kntest::videoSample(picture, MediaTime::make(i, 30)));
        f.encoder->stopEncoding();
    }
    kntest::drain(*f.encoder);
    EXPECT_FALSE(f.encoder->started());
    size_t delivered = f.delegate->events().size();
    f.encoder->encode(kntest::videoSample(picture, MediaTime::make(1000, 30)));
    kntest::drain(*f.encoder);
    EXPECT_EQ(f.delegate->events().size(), delivered) << "no session may survive the last stop";
}

TEST(KNH264EncoderThreads, BitrateUpdatesRacingWithStopsNeverTouchAReleasedSession) {
    Fixture f;
    auto picture = kntest::makePatternFrame(320, 240, 0);
    std::atomic<bool> running{true};
    std::atomic<int> updates{0};
    std::vector<std::thread> updaters;
    for (int t = 0; t < 3; ++t) {
        updaters.emplace_back([&, t] {
            for (int i = 0; running.load(); ++i) {
                f.encoder->updateBitrate(300000 + ((i * 7 + t) % 10) * 270000);
                updates.fetch_add(1);
            }
        });
    }
    for (int cycle = 0; cycle < 30; ++cycle) {
        f.encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 3; ++i) f.encoder->encode(kntest::videoSample(picture, MediaTime::make(cycle * 3 + i, 30)));
        f.encoder->stopEncoding();
        if (cycle % 5 == 0) kntest::drain(*f.encoder);
    }
    kntest::drain(*f.encoder);
    running.store(false);
    for (auto& t : updaters) t.join();
    EXPECT_GT(updates.load(), 0);
    EXPECT_FALSE(f.encoder->started());
    EXPECT_EQ(f.delegate->count(Kind::EncodeError), 0u);
}

TEST(KNH264EncoderThreads, AnEncoderReleasedWhileItsSessionDeliversGoesAwayCleanly) {
    auto delegate = std::make_shared<H264RecordingDelegate>();
    std::weak_ptr<KNH264Encoder> weak;
    {
        auto encoder = KNH264Encoder::create();
        encoder->setDelegate(delegate);
        weak = encoder;
        encoder->startEncodingWithResolutionHeight(320, 240);
        for (int i = 0; i < 8; ++i) {
            encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, i), MediaTime::make(i, 30)));
        }
    }
    EXPECT_TRUE(kntest::waitFor([&] { return weak.expired(); }, 10s));
}
