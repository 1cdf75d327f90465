// A live bit-rate change really moves the encoder's output: measured on the encoded bytes of a
// stream with its own clock (the frames' presentation times), not on wall time.
#include <gtest/gtest.h>

#include "H264RecordingDelegate.h"
#include "encoding/KNH264Encoder.h"

using namespace platform;
using Kind = kntest::H264Event::Kind;

TEST(KNH264EncoderBitrate, LiveChangesAreFollowedWhateverTheFrameRate) {
    constexpr int32_t kWidth = 640, kHeight = 360;
    constexpr int kSegmentSeconds = 8;
    constexpr int kSettleSeconds = 3;  // the encoder may take this long to reach a new rate
    // Noisy frames: incompressible enough that the encoder must spend what it is given.
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < 16; ++i) pictures.push_back(kntest::makePatternFrame(kWidth, kHeight, i, 24));

    struct Case {
        std::vector<int32_t> rates;  // one segment each, changed live
        int fps;
    };
    for (const Case& c : {Case{{3000000, 500000, 3000000}, 30}, Case{{1000000}, 15}, Case{{1000000}, 60}}) {
        kntest::EncoderRig rig;
        rig.encoder->setKeyFrameInterval(uint64_t(2 * c.fps));
        rig.encoder->updateBitrate(c.rates[0]);
        rig.encoder->startEncodingWithResolutionHeight(kWidth, kHeight);
        int frame = 0;
        for (int32_t rate : c.rates) {
            rig.encoder->updateBitrate(rate);
            size_t bytes = 0;
            for (int i = 0; i < kSegmentSeconds * c.fps; ++i, ++frame) {
                rig.encoder->encode(kntest::videoSample(pictures[size_t(frame) % pictures.size()],
                                                        MediaTime::make(frame, c.fps), MediaTime::make(1, c.fps)));
                ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(frame) + 1));
                if (i >= kSettleSeconds * c.fps) {
                    bytes += rig.delegate->eventsOf(Kind::SampleBuffer).back().buffer->dataBuffer()->size();
                }
            }
            const double measured = bytes * 8.0 / 1000.0 / (kSegmentSeconds - kSettleSeconds);
            SCOPED_TRACE(testing::Message() << c.fps << " fps, asked " << rate / 1000 << " kbit/s, measured " << measured);
            EXPECT_GT(measured, rate / 1000.0 * 0.6);
            EXPECT_LT(measured, rate / 1000.0 * 1.4);
        }
        rig.encoder->stopEncoding();
        kntest::drain(*rig.encoder);
    }
}
