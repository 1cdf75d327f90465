// KNH264Encoder: one frame's output (parameter sets, the NAL walk over untrusted lengths,
// timestamps, failures), its lifecycle on a real session, and the stream it makes: rebuilt from
// the delegate calls alone it decodes at the profile, frame types, key frames and bit rate asked for.
#include "encoding/KNH264Encoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "H264RecordingDelegate.h"

using namespace platform;
using namespace kntest;

namespace {

const Unit kSps = {0x67, 0x4D, 0x00, 0x1F, 0xAB}, kPps = {0x68, 0xEE, 0x3C, 0x80};
const Unit kAud = {0x09, 0x10}, kIdr = {0x65, 0x88, 0x84}, kSei = {0x06, 0x05, 0x01}, kSlice = {0x41, 0x9A, 0x02};

std::vector<uint8_t> prefixed(const std::vector<Unit>& units, std::vector<uint8_t> tail = {}) {
    std::vector<uint8_t> data;
    for (const auto& u : units) {
        const uint32_t n = static_cast<uint32_t>(u.size());
        data.insert(data.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        data.insert(data.end(), u.begin(), u.end());
    }
    data.insert(data.end(), tail.begin(), tail.end());
    return data;
}

std::shared_ptr<SampleBuffer> encodedFrame(std::vector<uint8_t> data, bool keyFrame, bool withFormat = true) {
    const size_t size = data.size();
    auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(std::move(data)),
                                               withFormat ? FormatDescription::createH264(320, 240, {kSps, kPps}) : nullptr,
                                               1, SampleTiming{}, {size});
    if (!keyFrame) buffer->setSampleAttachment(0, kSampleAttachmentNotSync, false);  // presence decides
    return buffer;
}

std::shared_ptr<SampleBuffer> pattern(int index, MediaTime pts) { return videoSample(makePatternFrame(320, 240, index), pts); }

MediaTime lastPts(EncoderRig& rig) { return rig.delegate->events(Kind::SampleBuffer).back().buffer->presentationTimeStamp(); }

}  // namespace

TEST(KNH264EncoderOutput, UnitsParameterSetsAndTimestampsOfOneFrame) {
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool key;
        std::vector<Unit> delivered;  // in order, timestamps counting up from the frame's
        bool extraSpsPps = true, withFormat = true;
    };
    const Case cases[] = {
        // A key frame's leading non-picture unit is held back unless extra parameter sets are off.
        {"key frame", prefixed({kAud, kIdr, kSei}), true, {kIdr, kSei}},
        {"key frame, no extra parameter sets", prefixed({kAud, kIdr, kSei}), true, {kAud, kIdr, kSei}, false},
        {"key frame starting with a non-IDR slice", prefixed({{0x01, 0xAA}, kSei}), true, {{0x01, 0xAA}, kSei}},
        {"inter frame", prefixed({kAud, kSlice, kSlice}), false, {kAud, kSlice, kSlice}},
        {"key frame without a format", prefixed({kAud, kIdr}), true, {kIdr}, true, false},
        // Untrusted lengths: the walk never reads past the data.
        {"shorter than a prefix", {0, 0, 3}, false, {}},
        {"length past the end", {0, 0, 0, 0x10, 0x41, 0xAA}, false, {}},
        {"length near 2^32", {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00}, false, {}},
        {"second unit cut short", prefixed({kSlice}, {0, 0, 0, 4, 0x41, 0x01}), false, {kSlice}},
        {"empty unit skipped", prefixed({{}, kSlice}), false, {kSlice}},
        {"trailing bytes", prefixed({kSlice}, {0, 0}), false, {kSlice}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderRig rig;
        rig.encoder->setExtraSpsPps(c.extraSpsPps);
        rig.encoder->handleOutput(1234.9, kMediaNoErr, encodedFrame(c.data, c.key, c.withFormat));
        auto events = rig.delegate->events();
        if (c.key && c.withFormat) {
            ASSERT_EQ(events[0].kind, Kind::SpsPps);
            EXPECT_EQ(std::tie(*events[0].first, *events[0].second), std::tie(kSps, kPps));
            events.erase(events.begin());
        }
        ASSERT_EQ(events.size(), c.delivered.size() + 1);
        EXPECT_EQ(events.back().kind, Kind::SampleBuffer);
        for (size_t i = 0; i < c.delivered.size(); ++i) {
            ASSERT_EQ(events[i].kind, Kind::Unit);
            EXPECT_EQ(*events[i].first, c.delivered[i]) << "units carry no length prefix";
            EXPECT_EQ(events[i].keyFrame, c.key);
            EXPECT_EQ(events[i].timestampMs, 1234 + i);
        }
    }

    EncoderRig rig;
    rig.encoder->handleOutput(5.0, kMediaErrEncoderFailed, encodedFrame(prefixed({kSlice}), false));
    rig.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame({}, false));
    rig.encoder->handleOutput(5.0, kMediaNoErr, nullptr);  // a dropped frame passes silently
    EXPECT_EQ(rig.delegate->errors(), (std::vector<std::string>{"encode 40004 Encoding failed", "encode 40004 Failed to encode frame"}));
    EXPECT_EQ(rig.delegate->count(Kind::Unit), 0u);
}

TEST(KNH264EncoderLifecycle, TimesStartAtZeroAfterEveryStartStopFinishesPendingFramesAndFailuresAreReported) {
    EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    rig.encoder->startEncodingWithResolutionHeight(640, 480);  // changes nothing
    rig.encoder->encode(nullptr);
    rig.encoder->encode(SampleBuffer::createWithData(BlockBuffer::createWithBytes({1, 2, 3}), nullptr, 1, SampleTiming{}));
    rig.encoder->encode(pattern(0, MediaTime::make(900, 600)));
    rig.encoder->encode(pattern(1, MediaTime::make(1500, 600)));
    ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, 2));
    EXPECT_EQ(lastPts(rig), MediaTime::make(600, 600)) << "a refused buffer is no first frame";

    // 30 noisy 720p frames at once: a busy session drops waiting frames, never the newest, and
    // keeps their order; the stop waits for what it kept.
    rig.encoder->stopEncoding();
    rig.encoder->startEncodingWithResolutionHeight(1280, 720);
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 4; ++i) frames.push_back(makePatternFrame(1280, 720, i, 30));
    for (int i = 0; i < 30; ++i) rig.encoder->encode(videoSample(frames[i % 4], MediaTime::make(10 + i, 30)));
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    const auto kept = rig.delegate->events(Kind::SampleBuffer);
    EXPECT_LT(kept.size(), 2u + 30u);
    for (size_t i = 3; i < kept.size(); ++i)
        EXPECT_GT(kept[i].buffer->presentationTimeStamp(), kept[i - 1].buffer->presentationTimeStamp());
    EXPECT_EQ(lastPts(rig), MediaTime::make(29, 30));
    const size_t before = rig.delegate->events().size();
    rig.encoder->encode(pattern(9, MediaTime::make(9, 30)));
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), before) << "frames of a stopped encoder are dropped silently";

    // Start failures leave the encoder started: a frame still encodes, or fails without a session.
    // A refused bit rate skips the later properties (the bad interval here); an interval beyond
    // 32 bits' sign turns negative on the way.
    const size_t delivered = rig.delegate->count(Kind::SampleBuffer);
    for (auto [size, bitrate] : {std::pair{15, 800000}, {240, 0}, {240, 800000}}) {
        rig.encoder->updateBitrate(bitrate);
        rig.encoder->setKeyFrameInterval(size == 15 ? 30 : uint64_t{1} << 31);
        rig.encoder->startEncodingWithResolutionHeight(size, size);
        rig.encoder->encode(pattern(0, MediaTime::make(0, 30)));
        rig.encoder->stopEncoding();
        drain(*rig.encoder);  // the start reads the bit rate when it runs, not when queued
    }
    EXPECT_EQ(rig.delegate->count(Kind::SampleBuffer), delivered + 2);
    EXPECT_EQ(rig.delegate->errors(),
              (std::vector<std::string>{"encode 40003 Bad sample buffer", "encode 40003 Bad sample buffer",
                                        "start 40000 Encoder does not support resolution:15x15", "encode 40004 Failed to encode frame",
                                        "start 40001 Bitrate: 0 not supporter", "start 40002 Key frame interval: 2147483648 not supporter"}));
}

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
    // pps_id 0 and sps_id 0 (one bit each), then entropy_coding_mode_flag.
    EXPECT_EQ((*spsPps[0].second)[1] & 0xE0, 0xE0) << "CABAC";

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
