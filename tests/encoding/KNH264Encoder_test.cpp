// KNH264Encoder: one frame's output (parameter sets, the NAL walk over untrusted lengths,
// timestamps, failures) and its lifecycle on a real session.
#include "encoding/KNH264Encoder.h"

#include <gtest/gtest.h>

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
        {"key frame starting with its picture", prefixed({kIdr, kSei}), true, {kIdr, kSei}},
        {"key frame starting with a non-IDR slice", prefixed({{0x01, 0xAA}, kSei}), true, {{0x01, 0xAA}, kSei}},
        {"inter frame", prefixed({kAud, kSlice, kSlice}), false, {kAud, kSlice, kSlice}},
        {"key frame without a format", prefixed({kAud, kIdr}), true, {kIdr}, true, false},
        {"key frame of exactly a prefix", {0, 0, 0, 0}, true, {}},
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
            EXPECT_EQ(*events[0].first, kSps);
            EXPECT_EQ(*events[0].second, kPps);
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

TEST(KNH264EncoderLifecycle, TimesStartAtZeroAfterEveryStartAndStopFinishesPendingFrames) {
    EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    rig.encoder->startEncodingWithResolutionHeight(640, 480);  // changes nothing
    rig.encoder->encode(nullptr);
    rig.encoder->encode(SampleBuffer::createWithData(BlockBuffer::createWithBytes({1, 2, 3}), nullptr, 1, SampleTiming{}));
    rig.encoder->encode(pattern(0, MediaTime::make(900, 600)));
    rig.encoder->encode(pattern(1, MediaTime::make(1500, 600)));
    ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, 2));
    EXPECT_EQ(rig.delegate->errors(), std::vector<std::string>(2, "encode 40003 Bad sample buffer"));
    EXPECT_EQ(lastPts(rig), MediaTime::make(600, 600)) << "a refused buffer is no first frame";
    EXPECT_EQ(rig.encoder->resolution(), KNVideoFrameSizeMake(320, 240));

    // 30 noisy 720p frames at once: a busy session drops waiting frames, never the newest, and
    // keeps their order; the stop waits for what it kept.
    rig.encoder->stopEncoding();
    rig.encoder->startEncodingWithResolutionHeight(1280, 720);
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 4; ++i) frames.push_back(makePatternFrame(1280, 720, i, 30));
    for (int i = 0; i < 30; ++i) rig.encoder->encode(videoSample(frames[i % 4], MediaTime::make(10 + i, 30)));
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    EXPECT_FALSE(rig.encoder->started());
    const auto kept = rig.delegate->events(Kind::SampleBuffer);
    EXPECT_LT(kept.size(), 2u + 30u);
    for (size_t i = 3; i < kept.size(); ++i)
        EXPECT_GT(kept[i].buffer->presentationTimeStamp(), kept[i - 1].buffer->presentationTimeStamp());
    EXPECT_EQ(lastPts(rig), MediaTime::make(29, 30));
    const size_t before = rig.delegate->events().size();
    rig.encoder->encode(pattern(9, MediaTime::make(9, 30)));
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), before) << "frames of a stopped encoder are dropped silently";
}

TEST(KNH264EncoderLifecycle, StartFailuresAreReportedAndLeaveTheEncoderStarted) {
    // A refused bit rate skips the later properties (the bad interval here) but still encodes; an
    // interval beyond 32 bits' sign turns negative on the way; without a session every frame fails.
    const std::tuple<int32_t, uint64_t, int32_t, std::vector<std::string>> cases[] = {
        {800000, 30, 15, {"start 40000 Encoder does not support resolution:15x15", "encode 40004 Failed to encode frame"}},
        {0, uint64_t{1} << 31, 240, {"start 40001 Bitrate: 0 not supporter"}},
        {800000, uint64_t{1} << 31, 240, {"start 40002 Key frame interval: 2147483648 not supporter"}},
    };
    for (const auto& [bitrate, interval, size, errors] : cases) {
        SCOPED_TRACE(errors[0]);
        EncoderRig rig;
        rig.encoder->updateBitrate(bitrate);
        rig.encoder->setKeyFrameInterval(interval);
        rig.encoder->startEncodingWithResolutionHeight(size, size);
        drain(*rig.encoder);
        EXPECT_TRUE(rig.encoder->started());
        rig.encoder->encode(pattern(0, MediaTime::make(0, 30)));
        rig.encoder->stopEncoding();
        drain(*rig.encoder);
        EXPECT_EQ(rig.delegate->errors(), errors);
        EXPECT_EQ(rig.delegate->count(Kind::SampleBuffer), errors.size() == 1 ? 1u : 0u);
    }
}
