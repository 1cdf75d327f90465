// KNH264Encoder: how one frame's output is handed on (parameter sets, the NAL walk over trusted
// and untrusted lengths, timestamps, failures), and its lifecycle on a real session (start,
// rebasing of presentation times, stop, start failures, frames it must refuse).
#include "encoding/KNH264Encoder.h"

#include <gtest/gtest.h>

#include <functional>

#include "H264RecordingDelegate.h"

using namespace platform;
using kntest::EncoderRig;
using kntest::Unit;
using Kind = kntest::H264Event::Kind;

namespace {

const Unit kSps = {0x67, 0x4D, 0x00, 0x1F, 0xAB}, kPps = {0x68, 0xEE, 0x3C, 0x80};
const Unit kAud = {0x09, 0x10}, kIdr = {0x65, 0x88, 0x84}, kSei = {0x06, 0x05, 0x01}, kSlice = {0x41, 0x9A, 0x02};

std::vector<uint8_t> prefixed(const std::vector<Unit>& units) {
    std::vector<uint8_t> data;
    for (const auto& u : units) {
        const uint32_t n = static_cast<uint32_t>(u.size());
        data.insert(data.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        data.insert(data.end(), u.begin(), u.end());
    }
    return data;
}

std::shared_ptr<SampleBuffer> encodedFrame(std::vector<uint8_t> data, bool keyFrame, bool withFormat = true) {
    SampleTiming timing;
    timing.presentationTimeStamp = MediaTime::make(0, 30);
    const size_t size = data.size();
    auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(std::move(data)),
                                               withFormat ? FormatDescription::createH264(320, 240, {kSps, kPps}) : nullptr,
                                               1, timing, {size});
    if (!keyFrame) buffer->setSampleAttachment(0, kSampleAttachmentNotSync, false);  // presence decides
    return buffer;
}

void expectError(const std::shared_ptr<KNError>& error, int64_t code, const std::string& message) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{code});
    EXPECT_EQ(error->message(), message);
}

}  // namespace

TEST(KNH264EncoderOutput, UnitsParameterSetsAndTimestampsOfOneFrame) {
    std::vector<uint8_t> truncatedSecond = prefixed({kSlice, {0x41, 0x01, 0x02, 0x03}});
    truncatedSecond.resize(truncatedSecond.size() - 2);
    auto trailing = prefixed({kSlice});
    trailing.insert(trailing.end(), {0, 0});
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        bool key;
        std::vector<Unit> delivered;  // in order, timestamps counting up from the frame's
        bool extraSpsPps = true;
        bool withFormat = true;
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
        {"exactly the prefix", {0, 0, 0, 0}, false, {}},
        {"shorter than a prefix", {0, 0, 3}, false, {}},
        {"length past the end", {0, 0, 0, 0x10, 0x41, 0xAA}, false, {}},
        {"length near 2^32", {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00}, false, {}},
        {"second unit cut short", truncatedSecond, false, {kSlice}},
        {"empty unit skipped", prefixed({{}, kSlice}), false, {kSlice}},
        {"trailing bytes", trailing, false, {kSlice}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderRig rig;
        rig.encoder->setExtraSpsPps(c.extraSpsPps);
        rig.encoder->handleOutput(1234.9, kMediaNoErr, encodedFrame(c.data, c.key, c.withFormat));
        auto events = rig.delegate->events();
        const bool spsPps = c.key && c.withFormat;
        ASSERT_EQ(events.size(), c.delivered.size() + (spsPps ? 2 : 1));
        if (spsPps) {
            ASSERT_EQ(events[0].kind, Kind::SpsPps);
            EXPECT_EQ(*events[0].first, kSps);
            EXPECT_EQ(*events[0].second, kPps);
            events.erase(events.begin());
        }
        EXPECT_EQ(events.back().kind, Kind::SampleBuffer);
        for (size_t i = 0; i < c.delivered.size(); ++i) {
            ASSERT_EQ(events[i].kind, Kind::Unit);
            EXPECT_EQ(*events[i].first, c.delivered[i]) << "units carry no length prefix";
            EXPECT_EQ(events[i].keyFrame, c.key);
            EXPECT_EQ(events[i].timestampMs, 1234 + i);
        }
    }
}

TEST(KNH264EncoderOutput, FailedEmptyAndDroppedOutputs) {
    EncoderRig rig;
    rig.encoder->handleOutput(5.0, kMediaErrEncoderFailed, encodedFrame(prefixed({kSlice}), false));
    rig.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame({}, false));  // no bytes can't be read
    auto errors = rig.delegate->eventsOf(Kind::EncodeError);
    ASSERT_EQ(errors.size(), 2u);
    expectError(errors[0].error, 40004, "Encoding failed");
    expectError(errors[1].error, 40004, "Failed to encode frame");
    EXPECT_EQ(rig.delegate->count(Kind::Unit), 0u);

    // A dropped frame and a buffer without data pass silently.
    const size_t before = rig.delegate->events().size();
    rig.encoder->handleOutput(5.0, kMediaNoErr, nullptr);
    rig.encoder->handleOutput(5.0, kMediaNoErr, SampleBuffer::createWithData(nullptr, nullptr, 0, SampleTiming{}));
    EXPECT_EQ(rig.delegate->events().size(), before);
}

namespace {

std::shared_ptr<SampleBuffer> pattern(int index, MediaTime pts) {
    return kntest::videoSample(kntest::makePatternFrame(320, 240, index), pts);
}

// Encodes one frame and waits for its sample buffer.
void encodeAndWait(EncoderRig& rig, std::shared_ptr<SampleBuffer> sample) {
    const size_t before = rig.delegate->count(Kind::SampleBuffer);
    rig.encoder->encode(std::move(sample));
    ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, before + 1));
}

MediaTime lastPts(EncoderRig& rig) {
    return rig.delegate->eventsOf(Kind::SampleBuffer).back().buffer->presentationTimeStamp();
}

}  // namespace

TEST(KNH264EncoderLifecycle, PresentationTimesStartAtZeroAfterEveryStartAndStopFinishesPendingFrames) {
    EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    rig.encoder->startEncodingWithResolutionHeight(640, 480);  // changes nothing
    encodeAndWait(rig, pattern(0, MediaTime::make(900, 600)));
    EXPECT_EQ(lastPts(rig), MediaTime::make(0, 600));
    encodeAndWait(rig, pattern(1, MediaTime::make(1500, 600)));
    EXPECT_EQ(lastPts(rig), MediaTime::make(600, 600));
    EXPECT_EQ(lastPts(rig).timeScale, 600);
    EXPECT_EQ(rig.encoder->resolution(), KNVideoFrameSizeMake(320, 240));

    rig.encoder->stopEncoding();
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    for (int i = 0; i < 6; ++i) rig.encoder->encode(pattern(i, MediaTime::make(10 + i, 30)));
    rig.encoder->stopEncoding();
    kntest::drain(*rig.encoder);
    EXPECT_FALSE(rig.encoder->started());
    // The new start's first frame is time zero; the newest frame is never the one a busy session
    // drops, and the stop waited for it.
    EXPECT_EQ(lastPts(rig), MediaTime::make(5, 30));
    EXPECT_EQ(rig.delegate->eventsOf(Kind::SampleBuffer).back().buffer->formatDescription()->width(), 320);
    EXPECT_EQ(rig.delegate->count(Kind::EncodeError), 0u);

    const size_t before = rig.delegate->events().size();
    rig.encoder->encode(pattern(9, MediaTime::make(9, 30)));
    kntest::drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->events().size(), before) << "frames of a stopped encoder are dropped silently";
}

TEST(KNH264EncoderLifecycle, StartFailuresAreReportedAndLeaveTheEncoderStarted) {
    struct Case {
        const char* name;
        std::function<void(KNH264Encoder&)> setUp;
        int32_t width, height;
        int64_t code;
        const char* message;
    };
    const Case cases[] = {
        {"size", [](KNH264Encoder&) {}, 15, 15, 40000, "Encoder does not support resolution:15x15"},
        // A refused bit rate skips the later properties (the bad interval here) but still encodes.
        {"bit rate", [](KNH264Encoder& e) { e.setBitrate(0); e.setKeyFrameInterval(uint64_t{1} << 31); }, 320, 240,
         40001, "Bitrate: 0 not supporter"},
        {"rate stored before the start", [](KNH264Encoder& e) { e.updateBitrate(0); }, 320, 240, 40001,
         "Bitrate: 0 not supporter"},
        // An interval beyond 32 bits' sign turns negative on the way.
        {"interval", [](KNH264Encoder& e) { e.setKeyFrameInterval(uint64_t{1} << 31); }, 320, 240, 40002,
         "Key frame interval: 2147483648 not supporter"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EncoderRig rig;
        c.setUp(*rig.encoder);
        rig.encoder->startEncodingWithResolutionHeight(c.width, c.height);
        kntest::drain(*rig.encoder);
        auto errors = rig.delegate->eventsOf(Kind::StartError);
        ASSERT_EQ(errors.size(), 1u);
        expectError(errors[0].error, c.code, c.message);
        EXPECT_TRUE(rig.encoder->started());
        rig.encoder->encode(pattern(0, MediaTime::make(0, 30)));
        rig.encoder->stopEncoding();
        kntest::drain(*rig.encoder);
        EXPECT_FALSE(rig.encoder->started());
        if (c.code == 40000) {  // no session: the frame fails
            ASSERT_EQ(rig.delegate->count(Kind::EncodeError), 1u);
            expectError(rig.delegate->eventsOf(Kind::EncodeError)[0].error, 40004, "Failed to encode frame");
        } else if (c.code == 40001) {
            EXPECT_EQ(rig.delegate->count(Kind::SampleBuffer), 1u);
        }
    }
}

TEST(KNH264EncoderLifecycle, SampleBuffersWithoutAnImageAreRefused) {
    EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    rig.encoder->encode(nullptr);
    SampleTiming timing;
    timing.presentationTimeStamp = MediaTime::make(0, 30);
    rig.encoder->encode(SampleBuffer::createWithData(BlockBuffer::createWithBytes({1, 2, 3}), nullptr, 1, timing));
    kntest::drain(*rig.encoder);
    auto errors = rig.delegate->eventsOf(Kind::EncodeError);
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& e : errors) expectError(e.error, 40003, "Bad sample buffer");
    EXPECT_TRUE(rig.encoder->firstPacket()) << "a refused buffer is no first frame";
}
