// What KNH264Encoder hands its delegate is a real H.264 stream: rebuilt from the delegate calls
// alone (parameter sets, then units) it decodes with libavcodec, frame for frame, at the profile,
// entropy coder, frame types and key-frame rhythm asked for, close to the source picture.
#include <gtest/gtest.h>

#include <map>

#include "H264RecordingDelegate.h"
#include "encoding/KNH264Encoder.h"

using namespace platform;
using kntest::H264RecordingDelegate;
using Kind = kntest::H264Event::Kind;

namespace {

struct EncodedFrame {
    bool parameterSetsFirst = false;  // SPS/PPS arrived before this frame's first unit
    std::vector<kntest::H264Event> units;
    std::shared_ptr<SampleBuffer> buffer;
};

// Splits the delegate's calls into frames: each frame ends with its sample buffer.
std::vector<EncodedFrame> framesOf(const std::vector<kntest::H264Event>& events,
                                   std::vector<uint8_t>& sps, std::vector<uint8_t>& pps) {
    std::vector<EncodedFrame> frames;
    EncodedFrame current;
    for (const auto& e : events) {
        switch (e.kind) {
            case Kind::SpsPps:
                current.parameterSetsFirst = current.units.empty();
                sps = *e.first;
                pps = *e.second;
                break;
            case Kind::Unit: current.units.push_back(e); break;
            case Kind::SampleBuffer:
                current.buffer = e.buffer;
                frames.push_back(std::move(current));
                current = EncodedFrame{};
                break;
            default: ADD_FAILURE() << "unexpected failure report"; break;
        }
    }
    return frames;
}

struct EncodedRun {
    std::vector<std::shared_ptr<PixelBuffer>> sources;
    std::vector<EncodedFrame> frames;
    std::vector<uint8_t> sps, pps;
};

EncodedRun encode(int32_t width, int32_t height, int count, uint64_t keyFrameInterval, bool extraSpsPps) {
    auto encoder = KNH264Encoder::create();
    auto delegate = std::make_shared<H264RecordingDelegate>();
    encoder->setDelegate(delegate);
    encoder->setKeyFrameInterval(keyFrameInterval);
    encoder->setExtraSpsPps(extraSpsPps);
    encoder->updateBitrate(3000000);
    encoder->startEncodingWithResolutionHeight(width, height);
    EncodedRun run;
    for (int i = 0; i < count; ++i) {
        run.sources.push_back(kntest::makePatternFrame(width, height, i));
        // One frame at a time, as a camera's pace would allow: nothing is dropped.
        encoder->encode(kntest::videoSample(run.sources.back(), MediaTime::make(1000 + i * 20, 600)));
        EXPECT_TRUE(delegate->waitFor(Kind::SampleBuffer, size_t(i) + 1)) << "frame " << i;
    }
    encoder->stopEncoding();
    kntest::drain(*encoder);
    run.frames = framesOf(delegate->events(), run.sps, run.pps);
    return run;
}

}  // namespace

TEST(KNH264EncoderDecode, SevenTwentyPFramesAllDecodeAtMainProfileWithCabacAndRegularKeyFrames) {
    constexpr int kFrames = 300;
    constexpr uint64_t kInterval = 30;
    EncodedRun run = encode(1280, 720, kFrames, kInterval, true);
    ASSERT_EQ(run.frames.size(), size_t(kFrames));
    ASSERT_FALSE(run.sps.empty());
    EXPECT_EQ(run.sps[1], 77) << "profile_idc Main";
    EXPECT_TRUE(kntest::ppsUsesCabac(run.pps));

    kntest::H264Decoder decoder;
    for (int i = 0; i < kFrames; ++i) {
        const EncodedFrame& frame = run.frames[size_t(i)];
        SCOPED_TRACE(i);
        bool key = kntest::isKeyFrame(*frame.buffer);
        EXPECT_EQ(key, i % int(kInterval) == 0) << "key frames exactly at the interval";
        EXPECT_EQ(frame.parameterSetsFirst, key) << "SPS and PPS precede every key frame's units, only those";
        EXPECT_EQ(frame.buffer->decodeTimeStamp(), frame.buffer->presentationTimeStamp()) << "no reordering";
        EXPECT_EQ(frame.buffer->presentationTimeStamp(), MediaTime::make(i * 20, 600));

        std::vector<uint8_t> accessUnit;
        if (key) {
            kntest::appendAnnexB(accessUnit, run.sps);
            kntest::appendAnnexB(accessUnit, run.pps);
        }
        int pictures = 0;
        ASSERT_FALSE(frame.units.empty());
        for (size_t u = 0; u < frame.units.size(); ++u) {
            const auto& unit = frame.units[u];
            EXPECT_EQ(unit.keyFrame, key);
            EXPECT_EQ(unit.timestampMs, frame.units[0].timestampMs + u) << "units of one frame count up";
            int type = kntest::nalType(*unit.first);
            pictures += (type >= 1 && type <= 5) ? 1 : 0;
            kntest::appendAnnexB(accessUnit, *unit.first);
        }
        EXPECT_EQ(pictures, 1) << "one slice per frame, never held back";
        ASSERT_TRUE(decoder.decode(accessUnit));
    }
    ASSERT_TRUE(decoder.flush());
    ASSERT_EQ(decoder.frames().size(), size_t(kFrames)) << "every frame decodes";
    EXPECT_EQ(decoder.errors(), 0);
    EXPECT_EQ(decoder.profile(), 77);
    double worstPsnr = 99;
    for (int i = 0; i < kFrames; ++i) {
        const auto& decoded = decoder.frames()[size_t(i)];
        ASSERT_EQ(decoded.width, 1280);
        ASSERT_EQ(decoded.height, 720);
        EXPECT_NE(decoded.pictureType, AV_PICTURE_TYPE_B);
        EXPECT_EQ(decoded.keyFrame, i % int(kInterval) == 0);
        worstPsnr = std::min(worstPsnr, kntest::lumaPsnr(*run.sources[size_t(i)], decoded));
    }
    EXPECT_GT(worstPsnr, 32.0);
}

TEST(KNH264EncoderDecode, WithoutExtraParameterSetsTheDelimiterLeadsEachKeyFrame) {
    EncodedRun run = encode(640, 360, 40, 20, false);
    ASSERT_EQ(run.frames.size(), 40u);
    kntest::H264Decoder decoder;
    for (size_t i = 0; i < run.frames.size(); ++i) {
        const EncodedFrame& frame = run.frames[i];
        std::vector<uint8_t> accessUnit;
        if (kntest::isKeyFrame(*frame.buffer)) {
            ASSERT_EQ(frame.units.size(), 2u);
            EXPECT_EQ(kntest::nalType(*frame.units[0].first), 9);
            EXPECT_EQ(kntest::nalType(*frame.units[1].first), 5);
            EXPECT_EQ(frame.units[1].timestampMs, frame.units[0].timestampMs + 1);
            kntest::appendAnnexB(accessUnit, run.sps);
            kntest::appendAnnexB(accessUnit, run.pps);
        }
        for (const auto& unit : frame.units) kntest::appendAnnexB(accessUnit, *unit.first);
        ASSERT_TRUE(decoder.decode(accessUnit));
    }
    decoder.flush();
    EXPECT_EQ(decoder.frames().size(), 40u);
    EXPECT_EQ(decoder.errors(), 0);
}
