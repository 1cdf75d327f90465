// A live bit-rate change really moves the encoder's output: measured on the encoded bytes of a
// stream with its own clock (the frames' presentation times), not on wall time.
#include <gtest/gtest.h>

#include "H264RecordingDelegate.h"
#include "encoding/KNH264Encoder.h"

using namespace platform;
using kntest::H264RecordingDelegate;
using Kind = kntest::H264Event::Kind;

namespace {

constexpr int32_t kWidth = 640, kHeight = 360;
constexpr int kSegmentSeconds = 8;
constexpr int kSettleSeconds = 3;  // the encoder may take this long to reach a new rate

// Encodes one segment per rate at `fps` (by presentation time) and answers the rate measured
// over each segment's settled part, in kbit/s.
std::vector<double> measure(const std::vector<int32_t>& rates, int fps) {
    // Noisy frames: incompressible enough that the encoder must spend what it is given.
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < 16; ++i) pictures.push_back(kntest::makePatternFrame(kWidth, kHeight, i, 24));

    auto encoder = KNH264Encoder::create();
    auto delegate = std::make_shared<H264RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->setKeyFrameInterval(uint64_t(2 * fps));
    encoder->updateBitrate(rates[0]);
    encoder->startEncodingWithResolutionHeight(kWidth, kHeight);

    std::vector<double> measured;
    int frame = 0;
    for (int32_t rate : rates) {
        encoder->updateBitrate(rate);
        size_t bytes = 0;
        for (int i = 0; i < kSegmentSeconds * fps; ++i, ++frame) {
            encoder->encode(kntest::videoSample(pictures[size_t(frame) % pictures.size()], MediaTime::make(frame, fps),
                                                MediaTime::make(1, fps)));
            EXPECT_TRUE(delegate->waitFor(Kind::SampleBuffer, size_t(frame) + 1));
            if (i >= kSettleSeconds * fps) bytes += delegate->eventsOf(Kind::SampleBuffer).back().buffer->dataBuffer()->size();
        }
        measured.push_back(bytes * 8.0 / 1000.0 / (kSegmentSeconds - kSettleSeconds));
    }
    encoder->stopEncoding();
    kntest::drain(*encoder);
    return measured;
}

void expectNear(const std::vector<int32_t>& rates, const std::vector<double>& measured) {
    ASSERT_EQ(rates.size(), measured.size());
    for (size_t i = 0; i < rates.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "asked " << rates[i] / 1000 << " kbit/s, measured " << measured[i]);
        EXPECT_GT(measured[i], rates[i] / 1000.0 * 0.6);
        EXPECT_LT(measured[i], rates[i] / 1000.0 * 1.4);
    }
}

}  // namespace

TEST(KNH264EncoderBitrate, ALiveChangeFromThreeMegabitsToHalfAMegabitAndBackIsFollowed) {
    std::vector<int32_t> rates = {3000000, 500000, 3000000};
    expectNear(rates, measure(rates, 30));
}

TEST(KNH264EncoderBitrate, TheRateHoldsPerSecondWhateverTheFrameRate) {
    std::vector<int32_t> rates = {1000000};
    expectNear(rates, measure(rates, 15));
    expectNear(rates, measure(rates, 60));
}
