// KNH264Encoder's NAL walk over untrusted lengths, the session's invalidation, and the stream
// it makes: rebuilt from the delegate calls alone it decodes as asked, at the bit rate asked.
#include "encoding/KNH264Encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "support/VideoTestMedia.h"

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

}  // namespace

TEST(KNH264EncoderOutput, UnitsOfOneFrameAndAWalkThatNeverReadsPastTheData) {
    const struct {
        std::vector<uint8_t> data;
        bool key;
        std::vector<Unit> delivered;
    } cases[] = {
        {prefixed({kAud, kIdr, kSei}), true, {kIdr, kSei}},  // the leading non-picture unit gives way to SPS/PPS
        {prefixed({{0x01, 0xAA}, kSei}), true, {{0x01, 0xAA}, kSei}},  // a picture is never held back
        {prefixed({kAud, kSlice, kSlice}), false, {kAud, kSlice, kSlice}},
        {{0, 0, 3}, false, {}},
        {{0, 0, 0, 0x10, 0x41, 0xAA}, false, {}},
        {{0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x00}, false, {}},
        {prefixed({kSlice}, {0, 0, 0, 4, 0x41, 0x01}), false, {kSlice}},
        {prefixed({{}, kSlice}), false, {kSlice}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        EncoderRig rig;
        const size_t size = c.data.size();
        auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(c.data), FormatDescription::createH264(320, 240, {kSps, kPps}),
                                                   1, SampleTiming{}, {size});
        if (!c.key) buffer->setSampleAttachment(0, kSampleAttachmentNotSync, false);
        rig.encoder->handleOutput(1234.9, kMediaNoErr, buffer);
        auto events = rig.delegate->events();
        if (c.key) {
            ASSERT_EQ(events[0].kind, Kind::SpsPps);
            events.erase(events.begin());
        }
        ASSERT_EQ(events.size(), c.delivered.size() + 1);
        EXPECT_EQ(events.back().kind, Kind::SampleBuffer);
        for (size_t i = 0; i < c.delivered.size(); ++i) {
            EXPECT_EQ(*events[i].first, c.delivered[i]);
            EXPECT_EQ(events[i].timestampMs, 1234 + i);
        }
    }
}

TEST(CompressionSession, NothingIsDeliveredAfterInvalidateEvenFromTheOutputCallback) {
    struct Collector {
        std::function<void()> onOutput = [] {};
        std::atomic<bool> closed{false};
        std::atomic<int> outputs{0};
    };
    auto callback = [](void* self, void*, MediaStatus status, uint32_t, std::shared_ptr<SampleBuffer>) {
        auto* c = static_cast<Collector*>(self);
        EXPECT_FALSE(c->closed || status != kMediaNoErr) << "output after invalidate";
        ++c->outputs;
        c->onOutput();  // last: the invalidate lets the waiting flush return
    };
    for (bool realTime : {true, false}) {
        Collector c;
        auto session = CompressionSession::create(640, 360, callback, &c);
        session->setProperty(CompressionProperty::RealTime, realTime);
        ASSERT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
        if (!realTime) c.onOutput = [&] { session->invalidate(); };
        for (int i = 0; i < 5; ++i)  // fewer than x264 holds back when not in real time
            session->encodeFrame(makePatternFrame(640, 360, i), MediaTime::make(i, 30), MediaTime::make(1, 30), nullptr);
        if (realTime) {
            session->invalidate();
            c.closed = true;
            EXPECT_EQ(session->encodeFrame(makePatternFrame(640, 360, 0), MediaTime::make(9, 30), MediaTime(), nullptr),
                      kMediaErrInvalidSession);
        } else {
            session->completeFrames();  // delivers held frames one by one; the first invalidates
            EXPECT_EQ(c.outputs, 1);
        }
    }
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
        // One at a time, at a camera's pace: nothing is dropped.
        rig.encoder->encode(videoSample(sources.back(), MediaTime::make(1000 + i * 20, 600)));
        ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(i) + 1)) << "frame " << i;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->count(Kind::Error), 0u);
    const auto spsPps = rig.delegate->events(Kind::SpsPps);
    ASSERT_FALSE(spsPps.empty());
    EXPECT_EQ((*spsPps[0].first)[1], 77) << "profile_idc Main";
    EXPECT_EQ((*spsPps[0].second)[1] & 0xE0, 0xE0) << "pps_id 0, sps_id 0, CABAC";

    const auto frames = framesOf(rig.delegate->events());
    ASSERT_EQ(frames.size(), size_t(kFrames));
    H264Decoder decoder;
    double worstPsnr = 99;
    decoder.onFrame = [&](const AVFrame& f) {
        const int n = decoder.frames - 1;
        ASSERT_EQ(std::pair(f.width, f.height), std::pair(1280, 720));
        EXPECT_NE(f.pict_type, AV_PICTURE_TYPE_B);
        EXPECT_EQ(f.key_frame != 0, n % kInterval == 0) << n;
        const PixelBuffer& source = *sources[size_t(n)];
        double squared = 0;
        for (int y = 0; y < 720; ++y)
            for (int x = 0; x < 1280; ++x)
                squared += std::pow(source.planeData(0)[y * source.bytesPerRow(0) + x] - f.data[0][y * f.linesize[0] + x], 2);
        worstPsnr = std::min(worstPsnr, 10 * std::log10(255.0 * 255 * 1280 * 720 / std::max(squared, 1.0)));
    };
    for (int i = 0; i < kFrames; ++i) {
        SCOPED_TRACE(i);
        const auto& frame = frames[size_t(i)];
        const bool key = isKeyFrame(*frame.buffer);
        EXPECT_EQ(key, i % kInterval == 0);
        EXPECT_EQ(frame.parameterSetsFirst, key) << "SPS and PPS precede every key frame's units, only those";
        EXPECT_EQ(frame.buffer->presentationTimeStamp(), MediaTime::make(i * 20, 600));
        int pictures = 0;
        for (size_t u = 0; u < frame.units.size(); ++u) {
            EXPECT_EQ(frame.units[u].keyFrame, key);
            EXPECT_EQ(frame.units[u].timestampMs, frame.units[0].timestampMs + u);
            const int type = (*frame.units[u].first)[0] & 0x1F;
            pictures += type >= 1 && type <= 5;
        }
        EXPECT_EQ(pictures, 1) << "no picture lost";
        ASSERT_TRUE(decoder.decode(&frame.accessUnit));
    }
    ASSERT_TRUE(decoder.decode(nullptr));
    EXPECT_EQ(decoder.frames, kFrames);
    EXPECT_EQ(decoder.errors, 0);
    EXPECT_GT(worstPsnr, 32.0);
}

// Measured on the encoded bytes against the frames' own clock, not wall time.
TEST(KNH264EncoderBitrate, LiveChangesAreFollowed) {
    constexpr int kFps = 30, kSegmentSeconds = 8, kSettleSeconds = 3;
    std::vector<std::shared_ptr<PixelBuffer>> pictures;  // noisy: the encoder must spend what it is given
    for (int i = 0; i < 16; ++i) pictures.push_back(makePatternFrame(640, 360, i, 24));
    EncoderRig rig;
    rig.encoder->setKeyFrameInterval(2 * kFps);
    rig.encoder->updateBitrate(3000000);
    rig.encoder->startEncodingWithResolutionHeight(640, 360);
    int frame = 0;
    for (int32_t rate : {3000000, 500000, 3000000}) {
        rig.encoder->updateBitrate(rate);
        size_t bytes = 0;
        for (int i = 0; i < kSegmentSeconds * kFps; ++i, ++frame) {
            rig.encoder->encode(videoSample(pictures[size_t(frame) % pictures.size()], MediaTime::make(frame, kFps)));
            ASSERT_TRUE(rig.delegate->waitFor(Kind::SampleBuffer, size_t(frame) + 1));
            if (i >= kSettleSeconds * kFps) bytes += rig.delegate->events(Kind::SampleBuffer).back().buffer->dataBuffer()->size();
        }
        const double measured = bytes * 8.0 / 1000.0 / (kSegmentSeconds - kSettleSeconds);
        EXPECT_GT(measured, rate / 1000.0 * 0.6) << rate;
        EXPECT_LT(measured, rate / 1000.0 * 1.4) << rate;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
}
