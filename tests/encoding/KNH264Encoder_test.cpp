// KNH264Encoder's NAL walk, and the stream it makes, decoded and measured.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "support/TestServer.h"
#include "support/VideoTestMedia.h"

using namespace platform;
using namespace kntest;

TEST(KNH264EncoderOutput, UnitsOfOneFrameAndAWalkThatNeverReadsPastTheData) {
    const Unit sei = {0x06, 0x05}, slice = {0x41, 0x9A}, nonIdr = {0x01, 0xAA};
    const struct {
        std::vector<uint8_t> data;
        bool key;
        std::vector<Unit> delivered;
    } cases[] = {
        // Length-prefixed units. A key frame's leading unit gives way to SPS/PPS only when it is not a picture.
        {{0, 0, 0, 2, 0x01, 0xAA, 0, 0, 0, 2, 0x06, 0x05}, true, {nonIdr, sei}},
        {{0, 0, 0, 2, 0x41, 0x9A, 0xFF, 0xFF, 0xFF, 0xFF, 0x41, 0x01}, false, {slice}},  // a length past the end
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.data));
        EncoderRig rig;
        auto format = FormatDescription::createH264(320, 240, {{0x67}, {0x68}});
        auto buffer = SampleBuffer::createWithData(BlockBuffer::createWithBytes(c.data), format, 1, SampleTiming{}, {c.data.size()});
        if (!c.key) buffer->setSampleAttachment(0, kSampleAttachmentNotSync, false);
        rig.encoder->handleOutput(1234.9, kMediaNoErr, buffer);
        auto events = rig.delegate->events();
        ASSERT_EQ(events.size(), c.delivered.size() + 1 + c.key);
        EXPECT_TRUE(events.back().buffer);
        if (c.key) { EXPECT_TRUE(events[0].second) << "parameter sets first"; }
        for (size_t i = 0; i < c.delivered.size(); ++i) {
            EXPECT_EQ(*events[i + c.key].first, c.delivered[i]);
            EXPECT_EQ(events[i + c.key].timestampMs, 1234 + i);
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
        ASSERT_TRUE(rig.delegate->waitForFrame(size_t(i) + 1)) << "frame " << i;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    EXPECT_EQ(rig.delegate->errors, 0u);

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
    // Each frame rebuilt as Annex-B from the calls alone, up to the sample buffer that ends it.
    int frame = 0, pictures = 0, units = 0;
    bool parameterSetsFirst = false;
    std::vector<uint8_t> accessUnit;
    uint64_t firstMs = 0;
    auto append = [&](const Unit& u) {
        accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
        accessUnit.insert(accessUnit.end(), u.begin(), u.end());
    };
    for (const auto& e : rig.delegate->events()) {
        SCOPED_TRACE(frame);
        if (e.second) {  // SPS and PPS
            EXPECT_EQ((*e.first)[1], 77) << "profile_idc Main";
            EXPECT_EQ((*e.second)[1] & 0xE0, 0xE0) << "pps_id 0, sps_id 0, CABAC";
            parameterSetsFirst = accessUnit.empty();
            append(*e.first);
            append(*e.second);
        } else if (e.first) {
            EXPECT_EQ(e.keyFrame, frame % kInterval == 0);
            if (units++ == 0) firstMs = e.timestampMs;
            EXPECT_EQ(e.timestampMs, firstMs + uint64_t(units) - 1) << "units of one frame count up";
            pictures += ((*e.first)[0] & 0x1F) >= 1 && ((*e.first)[0] & 0x1F) <= 5;
            append(*e.first);
        } else {
            const bool key = frame % kInterval == 0;  // SPS and PPS precede every key frame's units, only those
            EXPECT_EQ(std::pair(isKeyFrame(*e.buffer), parameterSetsFirst), std::pair(key, key));
            EXPECT_EQ(pictures, 1) << "no picture lost";
            ASSERT_TRUE(decoder.decode(&accessUnit));
            ++frame;
            pictures = 0;
            parameterSetsFirst = false;
            accessUnit.clear();
            units = 0;
        }
    }
    ASSERT_TRUE(decoder.decode(nullptr));
    EXPECT_EQ(std::tuple(frame, decoder.frames, decoder.errors), std::tuple(kFrames, kFrames, 0)) << "every frame decodes";
    EXPECT_GT(worstPsnr, 32.0);
}

// Key frames come at the interval only: hard cuts to noise, to black and back inside an interval
// (each one a scene change a camera can show) add none.
TEST(KNH264EncoderDecode, HardSceneCutsAddNoKeyFrame) {
    constexpr int kFrames = 90, kInterval = 30;
    EncoderRig rig;
    rig.encoder->setKeyFrameInterval(kInterval);
    rig.encoder->updateBitrate(1000000);
    rig.encoder->startEncodingWithResolutionHeight(320, 240);
    const auto black = PixelBuffer::create(320, 240, PixelFormat::NV12VideoRange);
    std::memset(black->planeData(0), 16, black->bytesPerRow(0) * 240);
    std::memset(black->planeData(1), 128, black->bytesPerRow(1) * 120);
    for (int i = 0; i < kFrames; ++i) {
        const int phase = i % kInterval;
        std::shared_ptr<PixelBuffer> image = makePatternFrame(320, 240, i);
        if (phase >= 8 && phase < 16) image = makePatternFrame(320, 240, 1000 + i, 110);
        if (phase >= 20 && phase < 25) image = black;
        rig.encoder->encode(videoSample(image, MediaTime::make(1000 + i * 20, 600)));
        ASSERT_TRUE(rig.delegate->waitForFrame(size_t(i) + 1)) << "frame " << i;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
    std::vector<int> keyFrames;
    int frame = 0;
    for (const auto& e : rig.delegate->events()) {
        if (!e.buffer) continue;
        if (isKeyFrame(*e.buffer)) keyFrames.push_back(frame);
        ++frame;
    }
    EXPECT_EQ(frame, kFrames);
    EXPECT_EQ(keyFrames, (std::vector<int>{0, 30, 60}));
}

// A frame of another size reaches the encoder scaled, each chroma plane where it belongs.
TEST(KNH264EncoderDecode, AFrameOfAnotherSizeKeepsItsColoursThroughTheScaling) {
    auto image = PixelBuffer::create(640, 360, PixelFormat::NV12VideoRange);
    std::memset(image->planeData(0), 81, image->bytesPerRow(0) * 360);
    for (size_t i = 0; i + 1 < image->bytesPerRow(1) * 180; i += 2) {
        image->planeData(1)[i] = 90;       // Cb
        image->planeData(1)[i + 1] = 240;  // Cr: a red picture
    }
    EncoderRig rig;
    rig.encoder->startEncodingWithResolutionHeight(320, 180);
    rig.encoder->encode(videoSample(image, MediaTime::make(0, 30)));
    ASSERT_TRUE(rig.delegate->waitForFrame(1));
    std::vector<uint8_t> accessUnit;
    for (const auto& e : rig.delegate->events()) {
        for (const auto& unit : {e.first, e.second}) {
            if (!unit) continue;
            accessUnit.insert(accessUnit.end(), {0, 0, 0, 1});
            accessUnit.insert(accessUnit.end(), unit->begin(), unit->end());
        }
    }
    H264Decoder decoder;
    decoder.onFrame = [](const AVFrame& f) {
        ASSERT_EQ(std::pair(f.width, f.height), std::pair(320, 180));
        EXPECT_NEAR(f.data[0][90 * f.linesize[0] + 160], 81, 3);
        EXPECT_NEAR(f.data[1][45 * f.linesize[1] + 80], 90, 3);
        EXPECT_NEAR(f.data[2][45 * f.linesize[2] + 80], 240, 3);
    };
    ASSERT_TRUE(decoder.decode(&accessUnit));
    ASSERT_TRUE(decoder.decode(nullptr));
    EXPECT_EQ(decoder.frames, 1);
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
}

// Measured on the encoded bytes against the frames' own clock, not wall time.
TEST(KNH264EncoderBitrate, LiveChangesAreFollowed) {
    constexpr int kFps = 30, kSegmentSeconds = 8, kSettleSeconds = 3;
    std::vector<std::shared_ptr<PixelBuffer>> pictures;  // noisy: the encoder must spend what it is given
    for (int i = 0; i < 16; ++i) pictures.push_back(makePatternFrame(640, 360, i, 24));
    EncoderRig rig;
    rig.encoder->setKeyFrameInterval(2 * kFps);
    rig.encoder->startEncodingWithResolutionHeight(640, 360);
    int frame = 0;
    for (int32_t rate : {3000000, 500000, 3000000}) {
        rig.encoder->updateBitrate(rate);
        size_t bytes = 0;
        for (int i = 0; i < kSegmentSeconds * kFps; ++i, ++frame) {
            rig.encoder->encode(videoSample(pictures[size_t(frame) % 16], MediaTime::make(frame, kFps)));
            const auto encoded = rig.delegate->waitForFrame(size_t(frame) + 1);
            ASSERT_TRUE(encoded);
            if (i >= kSettleSeconds * kFps) bytes += encoded->dataBuffer()->size();
        }
        const double measured = bytes * 8.0 / 1000.0 / (kSegmentSeconds - kSettleSeconds);
        EXPECT_NEAR(measured, rate / 1000.0, rate / 1000.0 * 0.4) << rate;
    }
    rig.encoder->stopEncoding();
    drain(*rig.encoder);
}
