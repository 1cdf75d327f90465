// The x264-backed compression session: output layout, key frames, queueing and drops, flush and
// invalidation, scaling of foreign-sized frames, and which properties it takes when.
#include "platform/media/CompressionSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/VideoTestMedia.h"

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct Output {
    uintptr_t frame = 0;
    MediaStatus status = 0;
    uint32_t flags = 0;
    std::shared_ptr<SampleBuffer> buffer;
    std::thread::id thread;
};

class Collector {
public:
    static void callback(void* self, void* frame, MediaStatus status, uint32_t flags,
                         std::shared_ptr<SampleBuffer> buffer) {
        auto* c = static_cast<Collector*>(self);
        if (c->onOutput) c->onOutput();
        std::lock_guard<std::mutex> lock(c->mutex);
        if (c->closed) c->lateCallbacks++;
        c->outputs.push_back({reinterpret_cast<uintptr_t>(frame), status, flags, std::move(buffer),
                              std::this_thread::get_id()});
        c->changed.notify_all();
    }

    bool waitForCount(size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return outputs.size() >= count; });
    }
    std::vector<Output> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return outputs;
    }
    void close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }

    std::function<void()> onOutput;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Output> outputs;
    bool closed = false;
    int lateCallbacks = 0;
};

std::shared_ptr<CompressionSession> makeSession(Collector& collector, int32_t width, int32_t height,
                                                int32_t keyFrameInterval, int32_t bitrate = 800000) {
    auto session = CompressionSession::create(width, height, &Collector::callback, &collector);
    EXPECT_TRUE(session);
    EXPECT_EQ(session->setProperty(CompressionProperty::RealTime, true), kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::AllowFrameReordering, false), kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::ProfileLevel, std::string(kProfileLevelH264MainAutoLevel)),
              kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::H264EntropyMode, std::string(kH264EntropyModeCABAC)),
              kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, bitrate), kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::PixelTransferProperties,
                                   std::map<std::string, std::string>{{kPixelTransferScalingMode, kScalingModeTrim}}),
              kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::MaxKeyFrameInterval, keyFrameInterval), kMediaNoErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
    return session;
}

MediaTime frameTime(int index) { return MediaTime::make(index, 30); }

using kntest::accessUnit;
using kntest::isKeyFrame;

// Encodes `count` frames one at a time, each waiting for its output.
void encodeInStep(CompressionSession& session, Collector& collector, int count,
                  const std::function<std::shared_ptr<PixelBuffer>(int)>& frame) {
    size_t before = collector.snapshot().size();
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(session.encodeFrame(frame(i), frameTime(i), MediaTime::make(1, 30),
                                      reinterpret_cast<void*>(uintptr_t(1000 + i))),
                  kMediaNoErr);
        ASSERT_TRUE(collector.waitForCount(before + i + 1)) << "no output for frame " << i;
    }
}

}  // namespace

TEST(CompressionSession, FramesAreLengthPrefixedUnitsWithParameterSetsInTheFormat) {
    Collector collector;
    auto session = makeSession(collector, 320, 240, 10);
    encodeInStep(*session, collector, 25, [](int i) { return kntest::makePatternFrame(320, 240, i); });
    auto outputs = collector.snapshot();
    ASSERT_EQ(outputs.size(), 25u);

    kntest::H264Decoder decoder;
    for (size_t i = 0; i < outputs.size(); ++i) {
        const Output& out = outputs[i];
        SCOPED_TRACE(i);
        ASSERT_EQ(out.status, kMediaNoErr);
        ASSERT_TRUE(out.buffer && out.buffer->dataIsReady());
        EXPECT_EQ(out.frame, 1000 + i);
        EXPECT_NE(out.thread, std::this_thread::get_id());
        EXPECT_EQ(out.buffer->presentationTimeStamp(), frameTime(static_cast<int>(i)));
        EXPECT_EQ(out.buffer->decodeTimeStamp(), out.buffer->presentationTimeStamp());
        EXPECT_EQ(out.buffer->duration(), MediaTime::make(1, 30));

        const auto& format = out.buffer->formatDescription();
        ASSERT_TRUE(format);
        ASSERT_EQ(format->h264ParameterSetCount(), 2u);
        EXPECT_EQ(format->nalUnitHeaderLength(), 4);
        const uint8_t* sps = nullptr;
        const uint8_t* pps = nullptr;
        size_t spsSize = 0, ppsSize = 0;
        ASSERT_EQ(format->h264ParameterSetAtIndex(0, &sps, &spsSize), kMediaNoErr);
        ASSERT_EQ(format->h264ParameterSetAtIndex(1, &pps, &ppsSize), kMediaNoErr);
        EXPECT_EQ(format->h264ParameterSetAtIndex(2, nullptr, nullptr), kMediaErrBadIndex);
        EXPECT_EQ(sps[0] & 0x1F, 7);
        EXPECT_EQ(sps[1], 77);  // Main
        EXPECT_EQ(pps[0] & 0x1F, 8);
        EXPECT_TRUE(kntest::ppsUsesCabac(std::vector<uint8_t>(pps, pps + ppsSize)));

        const auto& data = out.buffer->dataBuffer();
        auto units = kntest::splitLengthPrefixed(data->data(), data->size());
        size_t walked = 0;
        for (const auto& u : units) walked += 4 + u.size();
        EXPECT_EQ(walked, data->size()) << "lengths must tile the data exactly";

        bool key = isKeyFrame(*out.buffer);
        EXPECT_EQ(key, i % 10 == 0);
        if (key) {
            ASSERT_EQ(units.size(), 2u);
            EXPECT_EQ(kntest::nalType(units[0]), 9);  // access unit delimiter first
            EXPECT_EQ(kntest::nalType(units[1]), 5);
        } else {
            ASSERT_EQ(units.size(), 1u);
            EXPECT_EQ(kntest::nalType(units[0]), 1);
        }

        EXPECT_TRUE(decoder.decode(accessUnit(*out.buffer)));
    }
    decoder.flush();
    EXPECT_EQ(decoder.frames().size(), 25u);
    EXPECT_EQ(decoder.errors(), 0);
}

TEST(CompressionSession, KeyFrameIntervalZeroMeansNoLimit) {
    Collector collector;
    auto session = makeSession(collector, 160, 120, 0);
    encodeInStep(*session, collector, 60, [](int i) { return kntest::makePatternFrame(160, 120, i * 7); });
    int keyFrames = 0;
    for (const auto& out : collector.snapshot()) keyFrames += isKeyFrame(*out.buffer) ? 1 : 0;
    EXPECT_EQ(keyFrames, 1);
}

TEST(CompressionSession, AFullQueueDropsTheOldestWaitingFramesAndFlushDeliversTheRest) {
    Collector collector;
    auto session = makeSession(collector, 1280, 720, 30, 3000000);
    constexpr int kFrames = 40;
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    for (int i = 0; i < 4; ++i) frames.push_back(kntest::makePatternFrame(1280, 720, i, 30));
    for (int i = 0; i < kFrames; ++i) {
        ASSERT_EQ(session->encodeFrame(frames[i % 4], frameTime(i), MediaTime::make(1, 30),
                                       reinterpret_cast<void*>(uintptr_t(i))),
                  kMediaNoErr);
    }
    ASSERT_EQ(session->completeFrames(), kMediaNoErr);
    auto outputs = collector.snapshot();
    ASSERT_EQ(outputs.size(), size_t(kFrames)) << "every frame is either delivered or reported dropped";
    int dropped = 0;
    for (int i = 0; i < kFrames; ++i) {
        EXPECT_EQ(outputs[i].frame, uintptr_t(i)) << "outputs keep submission order";
        EXPECT_EQ(outputs[i].status, kMediaNoErr);
        if (!outputs[i].buffer) {
            ++dropped;
            EXPECT_TRUE(outputs[i].flags & kEncodeInfoFrameDropped);
        }
    }
    EXPECT_GT(dropped, 0) << "40 frames at once can't all wait for a 720p encoder";
    EXPECT_NE(outputs[kFrames - 1].buffer, nullptr) << "the newest frame is never the one dropped";
}

TEST(CompressionSession, NothingIsDeliveredAfterInvalidate) {
    Collector collector;
    auto session = makeSession(collector, 640, 360, 30);
    for (int i = 0; i < 10; ++i) {
        session->encodeFrame(kntest::makePatternFrame(640, 360, i), frameTime(i), MediaTime::make(1, 30), nullptr);
    }
    session->invalidate();
    collector.close();
    EXPECT_EQ(session->encodeFrame(kntest::makePatternFrame(640, 360, 0), frameTime(0), MediaTime(), nullptr),
              kMediaErrInvalidSession);
    EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, 100000), kMediaErrInvalidSession);
    EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    session.reset();
    EXPECT_EQ(collector.lateCallbacks, 0);
}

TEST(CompressionSession, TheOutputCallbackMayInvalidateButNotWaitForItself) {
    Collector collector;
    std::shared_ptr<CompressionSession> session;
    MediaStatus flushFromCallback = kMediaNoErr;
    collector.onOutput = [&] {
        flushFromCallback = session->completeFrames();
        session->invalidate();
    };
    session = makeSession(collector, 320, 240, 30);
    for (int i = 0; i < 5; ++i) {
        session->encodeFrame(kntest::makePatternFrame(320, 240, i), frameTime(i), MediaTime::make(1, 30), nullptr);
    }
    ASSERT_TRUE(collector.waitForCount(1));
    EXPECT_EQ(session->completeFrames(), kMediaErrInvalidSession);
    EXPECT_EQ(collector.snapshot().size(), 1u);
    EXPECT_EQ(flushFromCallback, kMediaErrParam);
}

TEST(CompressionSession, TrimFillsTheFrameAndCropsWhatOverflows) {
    // 320x180 session. Sources of other shapes carry white bands exactly where a centred
    // aspect-fill crop cuts; the rest is mid grey. A stretch or letterbox would show white or black.
    struct Case {
        int32_t width, height;
        bool bandsAcrossRows;  // bands above and below (taller source) or left and right (wider)
        int32_t band;
    };
    const Case cases[] = {{640, 480, true, 60}, {1280, 540, false, 160}, {360, 640, true, 218}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        auto source = PixelBuffer::create(c.width, c.height, PixelFormat::NV12VideoRange);
        kntest::fillLuma(*source, 0, 0, c.width, c.height, 128);
        if (c.bandsAcrossRows) {
            kntest::fillLuma(*source, 0, 0, c.width, c.band, 235);
            kntest::fillLuma(*source, 0, c.height - c.band, c.width, c.band, 235);
        } else {
            kntest::fillLuma(*source, 0, 0, c.band, c.height, 235);
            kntest::fillLuma(*source, c.width - c.band, 0, c.band, c.height, 235);
        }
        Collector collector;
        auto session = makeSession(collector, 320, 180, 30, 2000000);
        encodeInStep(*session, collector, 3, [&](int) { return source; });
        kntest::H264Decoder decoder;
        for (const auto& out : collector.snapshot()) ASSERT_TRUE(decoder.decode(accessUnit(*out.buffer)));
        decoder.flush();
        ASSERT_FALSE(decoder.frames().empty());
        const auto& frame = decoder.frames().back();
        ASSERT_EQ(frame.width, 320);
        ASSERT_EQ(frame.height, 180);
        EXPECT_NEAR(kntest::meanLuma(frame, 0, 0, 320, 4), 128, 8) << "top edge";
        EXPECT_NEAR(kntest::meanLuma(frame, 0, 176, 320, 4), 128, 8) << "bottom edge";
        EXPECT_NEAR(kntest::meanLuma(frame, 0, 0, 4, 180), 128, 8) << "left edge";
        EXPECT_NEAR(kntest::meanLuma(frame, 316, 0, 4, 180), 128, 8) << "right edge";
    }
}

TEST(CompressionSession, BgraFramesAreConvertedToo) {
    auto source = PixelBuffer::create(320, 240, PixelFormat::BGRA);
    for (int32_t y = 0; y < 240; ++y) {
        uint8_t* row = source->planeData(0) + y * source->bytesPerRow(0);
        for (int32_t x = 0; x < 320; ++x) {
            row[4 * x] = 255;  // blue
            row[4 * x + 1] = row[4 * x + 2] = 255 * (x >= 160);  // right half white
        }
    }
    Collector collector;
    auto session = makeSession(collector, 320, 240, 30, 2000000);
    encodeInStep(*session, collector, 1, [&](int) { return source; });
    auto out = collector.snapshot()[0];
    ASSERT_TRUE(out.buffer);
    kntest::H264Decoder decoder;
    ASSERT_TRUE(decoder.decode(accessUnit(*out.buffer)));
    decoder.flush();
    ASSERT_EQ(decoder.frames().size(), 1u);
    // Video-range luma: pure blue about 41, white 235.
    EXPECT_NEAR(kntest::meanLuma(decoder.frames()[0], 8, 8, 140, 224), 41, 8);
    EXPECT_NEAR(kntest::meanLuma(decoder.frames()[0], 172, 8, 140, 224), 235, 8);
}

TEST(CompressionSession, AfterPrepareOnlyTheRateChangesAndAFlushDoesNotEndTheSession) {
    MediaStatus status = kMediaNoErr;
    EXPECT_EQ(CompressionSession::create(15, 15, &Collector::callback, nullptr, &status), nullptr);
    EXPECT_EQ(status, kMediaErrParam);

    Collector collector;
    auto session = CompressionSession::create(320, 240, &Collector::callback, &collector);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->setProperty(CompressionProperty::MaxKeyFrameInterval, int32_t{-1}),
              kMediaErrPropertyValueRejected);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);

    EXPECT_EQ(session->setProperty(CompressionProperty::RealTime, false), kMediaErrPropertyNotSupported);
    EXPECT_EQ(session->setProperty(CompressionProperty::MaxKeyFrameInterval, int32_t{5}),
              kMediaErrPropertyNotSupported);
    EXPECT_EQ(session->setProperty(CompressionProperty::AverageBitRate, int32_t{500000}), kMediaNoErr);
    EXPECT_EQ(session->setProperty(CompressionProperty::DataRateLimits, std::vector<double>{93750.0, 1.0}),
              kMediaNoErr);
    // Not real time: the encoder holds frames back until a flush, and goes on after it.
    kntest::H264Decoder decoder;
    for (int i = 0; i < 8; ++i) {
        ASSERT_EQ(session->encodeFrame(kntest::makePatternFrame(320, 240, i), frameTime(i), MediaTime::make(1, 30),
                                       nullptr),
                  kMediaNoErr);
        if (i == 3) {
            ASSERT_EQ(session->completeFrames(), kMediaNoErr);
        }
    }
    ASSERT_EQ(session->completeFrames(), kMediaNoErr);
    auto outputs = collector.snapshot();
    ASSERT_EQ(outputs.size(), 8u);
    for (const auto& out : outputs) {
        ASSERT_TRUE(out.buffer);
        EXPECT_TRUE(decoder.decode(accessUnit(*out.buffer)));
    }
    decoder.flush();
    EXPECT_EQ(decoder.frames().size(), 8u);
    EXPECT_EQ(decoder.errors(), 0);
}
