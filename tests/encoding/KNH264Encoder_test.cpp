// KNH264Encoder: how one frame's output is handed on (parameter sets, the NAL walk over trusted
// and untrusted lengths, timestamps, failures), and its lifecycle on a real session (start,
// rebasing of presentation times, stop, start failures, frames it must refuse).
#include "encoding/KNH264Encoder.h"

#include <gtest/gtest.h>

#include "H264RecordingDelegate.h"

using namespace platform;
using kntest::H264RecordingDelegate;
using Kind = kntest::H264Event::Kind;

namespace {

const std::vector<uint8_t> kSps = {0x67, 0x4D, 0x00, 0x1F, 0xAB};
const std::vector<uint8_t> kPps = {0x68, 0xEE, 0x3C, 0x80};

std::vector<uint8_t> prefixed(const std::vector<std::vector<uint8_t>>& units) {
    std::vector<uint8_t> data;
    for (const auto& u : units) {
        uint32_t n = static_cast<uint32_t>(u.size());
        data.insert(data.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
        data.insert(data.end(), u.begin(), u.end());
    }
    return data;
}

std::shared_ptr<SampleBuffer> encodedFrame(std::vector<uint8_t> data, bool keyFrame, bool withFormat = true) {
    auto format = withFormat ? FormatDescription::createH264(320, 240, {kSps, kPps}) : nullptr;
    SampleTiming timing;
    timing.presentationTimeStamp = MediaTime::make(0, 30);
    size_t size = data.size();
    auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(std::move(data)), format, 1, timing, {size});
    if (!keyFrame) buffer->setSampleAttachment(0, kSampleAttachmentNotSync, false);  // presence decides
    return buffer;
}

struct Fixture {
    Fixture() { encoder->setDelegate(delegate); }
    std::shared_ptr<KNH264Encoder> encoder = KNH264Encoder::create();
    std::shared_ptr<H264RecordingDelegate> delegate = std::make_shared<H264RecordingDelegate>();
};

// Delivered units as (first byte, key flag, timestamp).
std::vector<std::tuple<uint8_t, bool, uint64_t>> units(H264RecordingDelegate& delegate) {
    std::vector<std::tuple<uint8_t, bool, uint64_t>> out;
    for (const auto& e : delegate.eventsOf(Kind::Unit)) out.emplace_back((*e.first)[0], e.keyFrame, e.timestampMs);
    return out;
}

std::vector<Kind> kinds(H264RecordingDelegate& delegate) {
    std::vector<Kind> out;
    for (const auto& e : delegate.events()) out.push_back(e.kind);
    return out;
}

const std::vector<uint8_t> kAud = {0x09, 0x10};
const std::vector<uint8_t> kIdr = {0x65, 0x88, 0x84};
const std::vector<uint8_t> kSei = {0x06, 0x05, 0x01};
const std::vector<uint8_t> kSlice = {0x41, 0x9A, 0x02};

}  // namespace

TEST(KNH264EncoderOutput, KeyFramesSendParameterSetsFirstAndHoldBackOnlyANonPictureFirstUnit) {
    {
        Fixture f;
        f.encoder->handleOutput(1234.9, kMediaNoErr, encodedFrame(prefixed({kAud, kIdr, kSei}), true));
        auto events = f.delegate->events();
        ASSERT_EQ(kinds(*f.delegate),
                  (std::vector<Kind>{Kind::SpsPps, Kind::Unit, Kind::Unit, Kind::SampleBuffer}));
        EXPECT_EQ(*events[0].first, kSps);
        EXPECT_EQ(*events[0].second, kPps);
        EXPECT_EQ(units(*f.delegate), (std::vector<std::tuple<uint8_t, bool, uint64_t>>{{0x65, true, 1234},
                                                                                         {0x06, true, 1235}}));
        EXPECT_EQ(*events[1].first, kIdr) << "units carry no length prefix";
    }
    {
        Fixture f;
        f.encoder->setExtraSpsPps(false);
        f.encoder->handleOutput(50.0, kMediaNoErr, encodedFrame(prefixed({kAud, kIdr, kSei}), true));
        EXPECT_EQ(units(*f.delegate), (std::vector<std::tuple<uint8_t, bool, uint64_t>>{
                                          {0x09, true, 50}, {0x65, true, 51}, {0x06, true, 52}}));
    }
    {
        // A key frame that starts with its picture keeps it (the parameter sets live elsewhere).
        Fixture f;
        f.encoder->handleOutput(7.0, kMediaNoErr, encodedFrame(prefixed({kIdr, kSei}), true));
        EXPECT_EQ(units(*f.delegate),
                  (std::vector<std::tuple<uint8_t, bool, uint64_t>>{{0x65, true, 7}, {0x06, true, 8}}));
    }
    {
        Fixture f;
        f.encoder->handleOutput(7.0, kMediaNoErr, encodedFrame(prefixed({{0x01, 0xAA}, kSei}), true));
        EXPECT_EQ(units(*f.delegate),
                  (std::vector<std::tuple<uint8_t, bool, uint64_t>>{{0x01, true, 7}, {0x06, true, 8}}));
    }
}

TEST(KNH264EncoderOutput, NonKeyFramesDeliverEveryUnitWithoutParameterSets) {
    Fixture f;
    f.encoder->handleOutput(99.99, kMediaNoErr, encodedFrame(prefixed({kAud, kSlice, kSlice}), false));
    EXPECT_EQ(kinds(*f.delegate), (std::vector<Kind>{Kind::Unit, Kind::Unit, Kind::Unit, Kind::SampleBuffer}));
    EXPECT_EQ(units(*f.delegate), (std::vector<std::tuple<uint8_t, bool, uint64_t>>{
                                      {0x09, false, 99}, {0x41, false, 100}, {0x41, false, 101}}));
}

TEST(KNH264EncoderOutput, TheWalkNeverReadsPastTheData) {
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        std::vector<std::vector<uint8_t>> delivered;
    };
    auto good = prefixed({kSlice});
    std::vector<uint8_t> truncatedSecond = prefixed({kSlice, {0x41, 0x01, 0x02, 0x03}});
    truncatedSecond.resize(truncatedSecond.size() - 2);
    std::vector<uint8_t> hugeLength = {0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00};
    std::vector<uint8_t> pastEnd = {0x00, 0x00, 0x00, 0x10, 0x41, 0xAA};
    std::vector<uint8_t> zeroThenSlice = prefixed({{}, kSlice});
    const Case cases[] = {
        {"exactly the prefix", {0x00, 0x00, 0x00, 0x00}, {}},
        {"shorter than a prefix", {0x00, 0x00, 0x03}, {}},
        {"length past the end", pastEnd, {}},
        {"length near 2^32", hugeLength, {}},
        {"second unit cut short", truncatedSecond, {kSlice}},
        {"empty unit skipped", zeroThenSlice, {kSlice}},
        {"trailing bytes", [&] { auto d = good; d.insert(d.end(), {0, 0}); return d; }(), {kSlice}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame(c.data, false));
        std::vector<std::vector<uint8_t>> delivered;
        for (const auto& e : f.delegate->eventsOf(Kind::Unit)) delivered.push_back(*e.first);
        EXPECT_EQ(delivered, c.delivered);
        EXPECT_EQ(f.delegate->count(Kind::SampleBuffer), 1u);
        EXPECT_EQ(f.delegate->count(Kind::EncodeError), 0u);
    }
    {
        // Exactly 4 bytes on a key frame: no unit, but parameter sets and the buffer still come.
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame({0, 0, 0, 0}, true));
        EXPECT_EQ(kinds(*f.delegate), (std::vector<Kind>{Kind::SpsPps, Kind::SampleBuffer}));
    }
    {
        // No bytes at all can't be read.
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame({}, false));
        auto errors = f.delegate->eventsOf(Kind::EncodeError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].error->errorCodes(), std::vector<int64_t>{40004});
        EXPECT_EQ(errors[0].error->message(), "Failed to encode frame");
    }
}

TEST(KNH264EncoderOutput, FailedAndEmptyOutputs) {
    {
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaErrEncoderFailed, encodedFrame(prefixed({kSlice}), false));
        ASSERT_EQ(kinds(*f.delegate), std::vector<Kind>{Kind::EncodeError});
        auto error = f.delegate->events()[0].error;
        EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{40004});
        EXPECT_EQ(error->message(), "Encoding failed");
    }
    {
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaNoErr, nullptr);  // a dropped frame
        f.encoder->handleOutput(5.0, kMediaNoErr, SampleBuffer::createWithData(nullptr, nullptr, 0, SampleTiming{}));
        EXPECT_TRUE(f.delegate->events().empty());
    }
    {
        // Without a format description the units still go out, the parameter sets can't.
        Fixture f;
        f.encoder->handleOutput(5.0, kMediaNoErr, encodedFrame(prefixed({kAud, kIdr}), true, false));
        EXPECT_EQ(kinds(*f.delegate), (std::vector<Kind>{Kind::Unit, Kind::SampleBuffer}));
    }
}

namespace {

// Encodes one frame and waits for its sample buffer.
void encodeAndWait(Fixture& f, std::shared_ptr<SampleBuffer> sample) {
    size_t before = f.delegate->count(Kind::SampleBuffer);
    f.encoder->encode(std::move(sample));
    ASSERT_TRUE(f.delegate->waitFor(Kind::SampleBuffer, before + 1));
}

}  // namespace

TEST(KNH264EncoderLifecycle, PresentationTimesStartAtZeroAfterEveryStart) {
    Fixture f;
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    kntest::drain(*f.encoder);
    EXPECT_TRUE(f.encoder->started());
    EXPECT_TRUE(f.encoder->firstPacket());
    encodeAndWait(f, kntest::videoSample(kntest::makePatternFrame(320, 240, 0), MediaTime::make(900, 600)));
    encodeAndWait(f, kntest::videoSample(kntest::makePatternFrame(320, 240, 1), MediaTime::make(1500, 600)));
    EXPECT_FALSE(f.encoder->firstPacket());
    EXPECT_EQ(f.encoder->firstPacketTimeValue(), 900);
    auto buffers = f.delegate->eventsOf(Kind::SampleBuffer);
    ASSERT_EQ(buffers.size(), 2u);
    EXPECT_EQ(buffers[0].buffer->presentationTimeStamp(), MediaTime::make(0, 600));
    EXPECT_EQ(buffers[1].buffer->presentationTimeStamp(), MediaTime::make(600, 600));
    EXPECT_EQ(buffers[1].buffer->presentationTimeStamp().timeScale, 600);

    f.encoder->stopEncoding();
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    kntest::drain(*f.encoder);
    EXPECT_TRUE(f.encoder->firstPacket());
    encodeAndWait(f, kntest::videoSample(kntest::makePatternFrame(320, 240, 2), MediaTime::make(3000, 600)));
    EXPECT_EQ(f.delegate->eventsOf(Kind::SampleBuffer).back().buffer->presentationTimeStamp(),
              MediaTime::make(0, 600));
    EXPECT_EQ(f.delegate->count(Kind::EncodeError), 0u);
}

TEST(KNH264EncoderLifecycle, ASecondStartChangesNothingAndStopFinishesPendingFrames) {
    Fixture f;
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    f.encoder->startEncodingWithResolutionHeight(640, 480);
    kntest::drain(*f.encoder);
    EXPECT_EQ(f.encoder->resolution(), KNVideoFrameSizeMake(320, 240));

    for (int i = 0; i < 6; ++i) {
        f.encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, i), MediaTime::make(i, 30)));
    }
    f.encoder->stopEncoding();
    kntest::drain(*f.encoder);
    EXPECT_FALSE(f.encoder->started());
    // The newest frame is never the one a busy session drops, and the stop waited for it.
    auto buffers = f.delegate->eventsOf(Kind::SampleBuffer);
    ASSERT_FALSE(buffers.empty());
    EXPECT_EQ(buffers.back().buffer->presentationTimeStamp(), MediaTime::make(5, 30));
    EXPECT_EQ(buffers.back().buffer->formatDescription()->width(), 320);

    size_t before = f.delegate->events().size();
    f.encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, 9), MediaTime::make(9, 30)));
    f.encoder->stopEncoding();
    kntest::drain(*f.encoder);
    EXPECT_EQ(f.delegate->events().size(), before) << "frames of a stopped encoder are dropped silently";
}

TEST(KNH264EncoderLifecycle, AStopRightAfterAStartStillStops) {
    Fixture f;
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    f.encoder->stopEncoding();  // the start hasn't run yet
    kntest::drain(*f.encoder);
    EXPECT_FALSE(f.encoder->started());
    f.encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, 0), MediaTime::make(0, 30)));
    kntest::drain(*f.encoder);
    EXPECT_TRUE(f.delegate->events().empty());
}

TEST(KNH264EncoderLifecycle, StartFailuresAreReportedAndLeaveTheEncoderStarted) {
    {
        Fixture f;
        f.encoder->startEncodingWithResolutionHeight(15, 15);
        kntest::drain(*f.encoder);
        auto errors = f.delegate->eventsOf(Kind::StartError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].error->errorCodes(), std::vector<int64_t>{40000});
        EXPECT_EQ(errors[0].error->message(), "Encoder does not support resolution:15x15");
        EXPECT_TRUE(f.encoder->started());
        f.encoder->encode(kntest::videoSample(kntest::makePatternFrame(320, 240, 0), MediaTime::make(0, 30)));
        kntest::drain(*f.encoder);
        auto frameErrors = f.delegate->eventsOf(Kind::EncodeError);
        ASSERT_EQ(frameErrors.size(), 1u);
        EXPECT_EQ(frameErrors[0].error->errorCodes(), std::vector<int64_t>{40004});
        EXPECT_EQ(frameErrors[0].error->message(), "Failed to encode frame");
        f.encoder->stopEncoding();
        kntest::drain(*f.encoder);
        EXPECT_FALSE(f.encoder->started());
    }
    {
        // A refused bit rate skips the later properties but the session still encodes.
        Fixture f;
        f.encoder->setBitrate(0);
        f.encoder->setKeyFrameInterval(uint64_t{1} << 31);
        f.encoder->startEncodingWithResolutionHeight(320, 240);
        kntest::drain(*f.encoder);
        auto errors = f.delegate->eventsOf(Kind::StartError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].error->errorCodes(), std::vector<int64_t>{40001});
        EXPECT_EQ(errors[0].error->message(), "Bitrate: 0 not supporter");
        encodeAndWait(f, kntest::videoSample(kntest::makePatternFrame(320, 240, 0), MediaTime::make(0, 30)));
    }
    {
        // An interval beyond 32 bits' sign turns negative on the way and is refused.
        Fixture f;
        f.encoder->setKeyFrameInterval(uint64_t{1} << 31);
        f.encoder->startEncodingWithResolutionHeight(320, 240);
        kntest::drain(*f.encoder);
        auto errors = f.delegate->eventsOf(Kind::StartError);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].error->errorCodes(), std::vector<int64_t>{40002});
        EXPECT_EQ(errors[0].error->message(), "Key frame interval: 2147483648 not supporter");
    }
}

TEST(KNH264EncoderLifecycle, SampleBuffersWithoutAnImageAreRefused) {
    Fixture f;
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    f.encoder->encode(nullptr);
    SampleTiming timing;
    timing.presentationTimeStamp = MediaTime::make(0, 30);
    f.encoder->encode(SampleBuffer::createWithData(BlockBuffer::createWithBytes({1, 2, 3}), nullptr, 1, timing));
    kntest::drain(*f.encoder);
    auto errors = f.delegate->eventsOf(Kind::EncodeError);
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& e : errors) {
        EXPECT_EQ(e.error->errorCodes(), std::vector<int64_t>{40003});
        EXPECT_EQ(e.error->message(), "Bad sample buffer");
    }
    EXPECT_TRUE(f.encoder->firstPacket()) << "a refused buffer is no first frame";
}

TEST(KNH264EncoderLifecycle, BitrateUpdatesBeforeAStartAreKeptForIt) {
    Fixture f;
    f.encoder->updateBitrate(0);
    EXPECT_EQ(f.encoder->bitrate(), 0);
    f.encoder->startEncodingWithResolutionHeight(320, 240);
    kntest::drain(*f.encoder);
    auto errors = f.delegate->eventsOf(Kind::StartError);
    ASSERT_EQ(errors.size(), 1u) << "the stored rate is what the start applies";
    EXPECT_EQ(errors[0].error->errorCodes(), std::vector<int64_t>{40001});
}
