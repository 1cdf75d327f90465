// What KNH264Encoder hands its delegate is a real H.264 stream: rebuilt from the delegate calls
// alone it decodes with libavcodec, at the profile, entropy coder, frame types, key-frame rhythm
// and bit rate asked for.
#include <gtest/gtest.h>

#include <cmath>

#include "H264RecordingDelegate.h"

using namespace platform;
using namespace kntest;

TEST(KNH264EncoderDecode, EveryFrameDecodesAtMainProfileWithCabacAndRegularKeyFrames) {
    constexpr int kFrames = 300, kInterval = 30;
    EncoderRig rig;
    rig.encoder->setKeyFrameInterval(kInterval);
    rig.encoder->updateBitrate(3000000);
    rig.encoder->startEncodingWithResolutionHeight(1280, 720);
    std::vector<std::shared_ptr<PixelBuffer>> sources;
    for (int i = 0; i < kFrames; ++i) {
        sources.push_back(makePatternFrame(1280, 720, i));
        // One frame at a time, as a camera's pace would allow: nothing is dropped.
        rig.encoder->encode(videoSample(sources.back(), MediaTime::make(1000 + i * 20, 600)));
        ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(i) + 1)) << "frame " << i;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    EXPECT_TRUE(rig.delegate->errors().empty());
    const auto spsPps = rig.delegate->events(Kind::SpsPps);
    ASSERT_FALSE(spsPps.empty());
    EXPECT_EQ((*spsPps[0].first)[1], 77) << "profile_idc Main";
    EXPECT_TRUE(ppsUsesCabac(*spsPps[0].second));

    const auto frames = framesOf(rig.delegate->events());
    ASSERT_EQ(frames.size(), size_t(kFrames));
    H264Decoder decoder;
    double worstPsnr = 99;
    decoder.onFrame = [&](const AVFrame& f) {
        const int n = decoder.frames - 1;
        ASSERT_EQ(f.width, 1280);
        ASSERT_EQ(f.height, 720);
        EXPECT_NE(f.pict_type, AV_PICTURE_TYPE_B);
        EXPECT_EQ(f.key_frame != 0, n % kInterval == 0) << n;
        double squared = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x)
                squared += std::pow(sources[size_t(n)]->planeData(0)[y * sources[size_t(n)]->bytesPerRow(0) + x] -
                                    f.data[0][y * f.linesize[0] + x], 2);
        worstPsnr = std::min(worstPsnr, 10 * std::log10(255.0 * 255 * 1280 * 720 / std::max(squared, 1.0)));
    };
    for (int i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const auto& frame = frames[size_t(i)];
        const bool key = isKeyFrame(*frame.buffer);
        EXPECT_EQ(key, i % kInterval == 0) << "key frames exactly at the interval";
        EXPECT_EQ(frame.parameterSetsFirst, key) << "SPS and PPS precede every key frame's units, only those";
        EXPECT_EQ(frame.buffer->presentationTimeStamp(), MediaTime::make(i * 20, 600));
        int pictures = 0;
        for (size_t u = 0; u < frame.units.size(); ++u) {
            EXPECT_EQ(frame.units[u].keyFrame, key);
            EXPECT_EQ(frame.units[u].timestampMs, frame.units[0].timestampMs + u) << "units of one frame count up";
            const int type = nalType(*frame.units[u].first);
            pictures += type >= 1 && type <= 5;
        }
        EXPECT_EQ(pictures, 1) << "one slice per frame, never held back";
        ASSERT_TRUE(decoder.decode(frame.accessUnit));
    }
    ASSERT_TRUE(decoder.flush());
    EXPECT_EQ(decoder.frames, kFrames) << "every frame decodes";
    EXPECT_EQ(decoder.errors, 0);
    EXPECT_EQ(decoder.profile(), 77);
    EXPECT_GT(worstPsnr, 32.0);
}

// Measured on the encoded bytes of a stream with its own clock (the frames' times), not wall time.
TEST(KNH264EncoderBitrate, LiveChangesAreFollowedWhateverTheFrameRate) {
    constexpr int kSegmentSeconds = 8, kSettleSeconds = 3;
    std::vector<std::shared_ptr<PixelBuffer>> pictures;  // noisy: the encoder must spend what it is given
    for (int i = 0; i < 16; ++i) pictures.push_back(makePatternFrame(640, 360, i, 24));
    struct Case {
        std::vector<int32_t> rates;  // one segment each, changed live
        int fps;
    };
    for (const Case& c : {Case{{3000000, 500000, 3000000}, 30}, Case{{1000000}, 15}, Case{{1000000}, 60}}) {
        EncoderRig rig;
        rig.encoder->setKeyFrameInterval(uint64_t(2 * c.fps));
        rig.encoder->updateBitrate(c.rates[0]);
        rig.encoder->startEncodingWithResolutionHeight(640, 360);
        int frame = 0;
        for (int32_t rate : c.rates) {
            rig.encoder->updateBitrate(rate);
            size_t bytes = 0;
            for (int i = 0; i < kSegmentSeconds * c.fps; ++i, ++frame) {
                rig.encoder->encode(videoSample(pictures[size_t(frame) % pictures.size()], MediaTime::make(frame, c.fps),
                                                MediaTime::make(1, c.fps)));
                ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(frame) + 1));
                if (i >= kSettleSeconds * c.fps)
                    bytes += rig.delegate->events(Kind::SampleBuffer).back().buffer->dataBuffer()->size();
            }
            const double measured = bytes * 8.0 / 1000.0 / (kSegmentSeconds - kSettleSeconds);
            SCOPED_TRACE(testing::Message() << c.fps << " fps, asked " << rate / 1000 << " kbit/s, measured " << measured);
            EXPECT_GT(measured, rate / 1000.0 * 0.6);
            EXPECT_LT(measured, rate / 1000.0 * 1.4);
        }
        rig.encoder->stopEncoding();
        drain(*rig.encoder);
    }
}
