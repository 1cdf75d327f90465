// What KNH264Encoder hands its delegate is a real H.264 stream: rebuilt from the delegate calls
// alone (parameter sets, then units) it decodes with libavcodec, frame for frame, at the profile,
// entropy coder, frame types and key-frame rhythm asked for, close to the source picture.
#include <gtest/gtest.h>

#include "H264RecordingDelegate.h"
#include "encoding/KNH264Encoder.h"

using namespace platform;
using Kind = kntest::H264Event::Kind;

TEST(KNH264EncoderDecode, EveryFrameDecodesAtMainProfileWithCabacAndRegularKeyFrames) {
    struct Case {
        int32_t width, height;
        int frames;
        int interval;
        bool extraSpsPps;
    };
    for (const Case c : {Case{1280, 720, 300, 30, true}, Case{640, 360, 40, 20, false}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " extra parameter sets " << c.extraSpsPps);
        kntest::EncoderRig rig;
        rig.encoder->setKeyFrameInterval(uint64_t(c.interval));
        rig.encoder->setExtraSpsPps(c.extraSpsPps);
        rig.encoder->updateBitrate(3000000);
        rig.encoder->startEncodingWithResolutionHeight(c.width, c.height);
        std::vector<std::shared_ptr<PixelBuffer>> sources;
        for (int i = 0; i < c.frames; ++i) {
            sources.push_back(kntest::makePatternFrame(c.width, c.height, i));
            // One frame at a time, as a camera's pace would allow: nothing is dropped.
            rig.encoder->encode(kntest::videoSample(sources.back(), MediaTime::make(1000 + i * 20, 600)));
            ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(i) + 1)) << "frame " << i;
        }
        rig.encoder->stopEncoding();
        kntest::drain(*rig.encoder);
        EXPECT_EQ(rig.delegate->count(Kind::EncodeError) + rig.delegate->count(Kind::StartError), 0u);
        const auto spsPps = rig.delegate->eventsOf(Kind::SpsPps);
        ASSERT_FALSE(spsPps.empty());
        EXPECT_EQ((*spsPps[0].first)[1], 77) << "profile_idc Main";
        EXPECT_TRUE(kntest::ppsUsesCabac(*spsPps[0].second));

        const auto frames = kntest::framesOf(rig.delegate->events());
        ASSERT_EQ(frames.size(), size_t(c.frames));
        kntest::H264Decoder decoder;
        for (int i = 0; i < c.frames; ++i) {
            SCOPED_TRACE(i);
            const auto& frame = frames[size_t(i)];
            const bool key = kntest::isKeyFrame(*frame.buffer);
            EXPECT_EQ(key, i % c.interval == 0) << "key frames exactly at the interval";
            EXPECT_EQ(frame.parameterSetsFirst, key) << "SPS and PPS precede every key frame's units, only those";
            EXPECT_EQ(frame.buffer->decodeTimeStamp(), frame.buffer->presentationTimeStamp()) << "no reordering";
            EXPECT_EQ(frame.buffer->presentationTimeStamp(), MediaTime::make(i * 20, 600));
            ASSERT_FALSE(frame.units.empty());
            int pictures = 0;
            for (size_t u = 0; u < frame.units.size(); ++u) {
                EXPECT_EQ(frame.units[u].keyFrame, key);
                EXPECT_EQ(frame.units[u].timestampMs, frame.units[0].timestampMs + u) << "units of one frame count up";
                const int type = kntest::nalType(*frame.units[u].first);
                pictures += (type >= 1 && type <= 5) ? 1 : 0;
            }
            EXPECT_EQ(pictures, 1) << "one slice per frame, never held back";
            if (key && !c.extraSpsPps) {  // the delimiter leads, the picture follows
                ASSERT_EQ(frame.units.size(), 2u);
                EXPECT_EQ(kntest::nalType(*frame.units[0].first), 9);
            }
            ASSERT_TRUE(decoder.decode(frame.accessUnit));
        }
        ASSERT_TRUE(decoder.flush());
        ASSERT_EQ(decoder.frames().size(), size_t(c.frames)) << "every frame decodes";
        EXPECT_EQ(decoder.errors(), 0);
        EXPECT_EQ(decoder.profile(), 77);
        double worstPsnr = 99;
        for (int i = 0; i < c.frames; ++i) {
            const auto& decoded = decoder.frames()[size_t(i)];
            ASSERT_EQ(decoded.width, c.width);
            ASSERT_EQ(decoded.height, c.height);
            EXPECT_NE(decoded.pictureType, AV_PICTURE_TYPE_B);
            EXPECT_EQ(decoded.keyFrame, i % c.interval == 0);
            worstPsnr = std::min(worstPsnr, decoded.psnr(*sources[size_t(i)]));
        }
        EXPECT_GT(worstPsnr, 32.0);
    }
}
