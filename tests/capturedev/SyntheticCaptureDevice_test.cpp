// The synthetic camera's pictures as an H.264 encoder sees them: the detailed one must fill the
// bit rate it is given (a bit-rate test on the plain one proves nothing).
#include <gtest/gtest.h>

#include <atomic>

#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/media/CompressionSession.h"

using namespace platform;

namespace {

constexpr int32_t kWidth = 1280;
constexpr int32_t kHeight = 720;
constexpr int kFrames = 90;  // three seconds at 30 fps
constexpr int32_t kAskedBps = 3000000;

void countBytes(void* outputContext, void*, MediaStatus, uint32_t, std::shared_ptr<SampleBuffer> sampleBuffer) {
    if (sampleBuffer && sampleBuffer->dataBuffer()) {
        *static_cast<std::atomic<size_t>*>(outputContext) += sampleBuffer->dataBuffer()->size();
    }
}

// Bits per second an encoder asked for kAskedBps makes of the picture.
double encodedBps(bool detailed) {
    std::atomic<size_t> bytes{0};
    auto session = CompressionSession::create(kWidth, kHeight, &countBytes, &bytes);
    EXPECT_TRUE(session);
    if (!session) return 0;
    session->setProperty(CompressionProperty::RealTime, false);  // every frame encoded, none dropped
    session->setProperty(CompressionProperty::AverageBitRate, kAskedBps);
    session->setProperty(CompressionProperty::MaxKeyFrameInterval, int32_t{60});
    for (int i = 0; i < kFrames; ++i) {
        auto frame = PixelBuffer::create(kWidth, kHeight, PixelFormat::NV12VideoRange);
        SyntheticCaptureDevice::draw(*frame, static_cast<uint32_t>(i), detailed);
        session->encodeFrame(frame, MediaTime::make(i, 30), MediaTime::make(1, 30), nullptr);
    }
    session->completeFrames();
    session->invalidate();
    return static_cast<double>(bytes.load()) * 8.0 / (kFrames / 30.0);
}

}  // namespace

TEST(SyntheticCaptureDevice, TheDetailedPictureFillsTheAskedBitRateAndThePlainOneDoesNot) {
    EXPECT_NEAR(encodedBps(true), kAskedBps, kAskedBps * 0.2);
    EXPECT_LT(encodedBps(false), kAskedBps / 3.0);
}
