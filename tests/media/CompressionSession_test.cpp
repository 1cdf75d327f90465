// The x264-backed compression session: output layout, key frames, queueing and drops, flush and
// invalidation, scaling of foreign-sized frames, and which properties it takes when.
#include "platform/media/CompressionSession.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "support/VideoTestMedia.h"

using namespace platform;
using namespace std::chrono_literals;
using kntest::accessUnit;
using kntest::isKeyFrame;

namespace {

struct Output {
    uintptr_t frame = 0;
    MediaStatus status = 0;
    uint32_t flags = 0;
    std::shared_ptr<SampleBuffer> buffer;
    std::thread::id thread;
};

struct Collector {
    static void callback(void* self, void* frame, MediaStatus status, uint32_t flags,
                         std::shared_ptr<SampleBuffer> buffer) {
        auto* c = static_cast<Collector*>(self);
        if (c->onOutput) c->onOutput();
        std::lock_guard<std::mutex> lock(c->mutex);
        c->lateCallbacks += c->closed ? 1 : 0;
        c->outputs.push_back({reinterpret_cast<uintptr_t>(frame), status, flags, std::move(buffer),
                              std::this_thread::get_id()});
        c->changed.notify_all();
    }
    bool waitForCount(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return outputs.size() >= count; });
    }
    std::vector<Output> snapshot() {
        std::lock_guard<std::mutex> lock(mutex);
        return outputs;
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
    const std::pair<CompressionProperty, CompressionPropertyValue> properties[] = {
        {CompressionProperty::RealTime, true},
        {CompressionProperty::AllowFrameReordering, false},
        {CompressionProperty::ProfileLevel, std::string(kProfileLevelH264MainAutoLevel)},
        {CompressionProperty::H264EntropyMode, std::string(kH264EntropyModeCABAC)},
        {CompressionProperty::AverageBitRate, bitrate},
        {CompressionProperty::PixelTransferProperties,
         std::map<std::string, std::string>{{kPixelTransferScalingMode, kScalingModeTrim}}},
        {CompressionProperty::MaxKeyFrameInterval, keyFrameInterval},
    };
    for (const auto& [key, value] : properties) EXPECT_EQ(session->setProperty(key, value), kMediaNoErr);
    EXPECT_EQ(session->prepareToEncodeFrames(), kMediaNoErr);
    return session;
}

MediaTime frameTime(int index) { return MediaTime::make(index, 30); }

// Encodes `count` frames one at a time, each waiting for its output.
void encodeInStep(CompressionSession& session, Collector& collector, int count,
                  const std::function<std::shared_ptr<PixelBuffer>(int)>& frame) {
    const size_t before = collector.snapshot().size();
    for (int i = 0; i < count; ++i) {
        ASSERT_EQ(session.encodeFrame(frame(i), frameTime(i), MediaTime::make(1, 30),
                                      reinterpret_cast<void*>(uintptr_t(1000 + i))),
                  kMediaNoErr);
        ASSERT_TRUE(collector.waitForCount(before + i + 1)) << "no output for frame " << i;
    }
}

// Decodes every output in order; answers the decoder.
std::unique_ptr<kntest::H264Decoder> decodeAll(const std::vector<Output>& outputs) {
    auto decoder = std::make_unique<kntest::H264Decoder>();
    for (const auto& out : outputs) {
        EXPECT_TRUE(out.buffer && decoder->decode(accessUnit(*out.buffer)));
    }
    decoder->flush();
    EXPECT_EQ(decoder->errors(), 0);
    return decoder;
}

}  // namespace

// Profile, entropy coder, key-frame rhythm and decoding are checked through the encoder; here the
// layout the encoder's walk relies on, and the key-frame interval 0 the encoder never asks for.
TEST(CompressionSession, FramesAreLengthPrefixedUnitsWithParameterSetsInTheFormat) {
    for (const int interval : {10, 0}) {  // 0: no limit, one key frame only
        SCOPED_TRACE(interval);
        Collector collector;
        auto session = makeSession(collector, 320, 240, interval);
        encodeInStep(*session, collector, 25, [](int i) { return kntest::makePatternFrame(320, 240, i * 7); });
        auto outputs = collector.snapshot();
        ASSERT_EQ(outputs.size(), 25u);
        for (size_t i = 0; i < outputs.size(); ++i) {
            const Output& out = outputs[i];
            SCOPED_TRACE(i);
            ASSERT_TRUE(out.status == kMediaNoErr && out.buffer && out.buffer->dataIsReady());
            EXPECT_EQ(out.frame, 1000 + i);
            EXPECT_NE(out.thread, std::this_thread::get_id());
            EXPECT_EQ(out.buffer->presentationTimeStamp(), frameTime(static_cast<int>(i)));
            EXPECT_EQ(out.buffer->duration(), MediaTime::make(1, 30));
            const auto& format = out.buffer->formatDescription();
            ASSERT_TRUE(format && format->h264ParameterSetCount() == 2);
            EXPECT_EQ(format->nalUnitHeaderLength(), 4);
            EXPECT_EQ(format->h264ParameterSetAtIndex(2, nullptr, nullptr), kMediaErrBadIndex);
            EXPECT_EQ(kntest::nalType(kntest::parameterSet(*out.buffer, 0)), 7);
            EXPECT_EQ(kntest::nalType(kntest::parameterSet(*out.buffer, 1)), 8);

            const auto& data = out.buffer->dataBuffer();
            std::vector<int> types;
            size_t walked = 0;
            for (const auto& u : kntest::splitLengthPrefixed(data->data(), data->size())) {
                walked += 4 + u.size();
                types.push_back(kntest::nalType(u));
            }
            EXPECT_EQ(walked, data->size()) << "lengths must tile the data exactly";
            const bool key = isKeyFrame(*out.buffer);
            EXPECT_EQ(key, interval ? i % interval == 0 : i == 0);
            // A key frame starts with an access unit delimiter; parameter sets stay in the format.
            EXPECT_EQ(types, (key ? std::vector<int>{9, 5} : std::vector<int>{1}));
        }
    }
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
    {
        std::lock_guard<std::mutex> lock(collector.mutex);
        collector.closed = true;
    }
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

TEST(CompressionSession, ForeignFramesAreConvertedAndTrimmedToFill) {
    // 320x180 session. Sources of other shapes carry white bands exactly where a centred
    // aspect-fill crop cuts; the rest is mid grey. A stretch or letterbox would show white or black.
    struct Case {
        int32_t width, height;
        bool bandsAcrossRows;  // bands above and below (taller source) or left and right (wider)
        int32_t band;
    };
    for (const Case& c : {Case{640, 480, true, 60}, Case{1280, 540, false, 160}, Case{360, 640, true, 218}}) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
        auto source = PixelBuffer::create(c.width, c.height, PixelFormat::NV12VideoRange);
        kntest::fillLuma(*source, 0, 0, c.width, c.height, 128);
        const int32_t across = c.bandsAcrossRows ? c.width : c.band, down = c.bandsAcrossRows ? c.band : c.height;
        kntest::fillLuma(*source, 0, 0, across, down, 235);
        kntest::fillLuma(*source, c.width - across, c.height - down, across, down, 235);
        Collector collector;
        auto session = makeSession(collector, 320, 180, 30, 2000000);
        encodeInStep(*session, collector, 3, [&](int) { return source; });
        auto decoder = decodeAll(collector.snapshot());
        ASSERT_FALSE(decoder->frames().empty());
        const auto& frame = decoder->frames().back();
        ASSERT_EQ(frame.width, 320);
        ASSERT_EQ(frame.height, 180);
        EXPECT_NEAR(frame.meanLuma(0, 0, 320, 4), 128, 8) << "top edge";
        EXPECT_NEAR(frame.meanLuma(0, 176, 320, 4), 128, 8) << "bottom edge";
        EXPECT_NEAR(frame.meanLuma(0, 0, 4, 180), 128, 8) << "left edge";
        EXPECT_NEAR(frame.meanLuma(316, 0, 4, 180), 128, 8) << "right edge";
    }

    auto bgra = PixelBuffer::create(320, 240, PixelFormat::BGRA);
    for (int32_t y = 0; y < 240; ++y) {
        uint8_t* row = bgra->planeData(0) + y * bgra->bytesPerRow(0);
        for (int32_t x = 0; x < 320; ++x) {
            row[4 * x] = 255;                                     // blue
            row[4 * x + 1] = row[4 * x + 2] = 255 * (x >= 160);  // right half white
        }
    }
    Collector collector;
    auto session = makeSession(collector, 320, 240, 30, 2000000);
    encodeInStep(*session, collector, 1, [&](int) { return bgra; });
    auto decoder = decodeAll(collector.snapshot());
    ASSERT_EQ(decoder->frames().size(), 1u);
    // Video-range luma: pure blue about 41, white 235.
    EXPECT_NEAR(decoder->frames()[0].meanLuma(8, 8, 140, 224), 41, 8);
    EXPECT_NEAR(decoder->frames()[0].meanLuma(172, 8, 140, 224), 235, 8);
}
