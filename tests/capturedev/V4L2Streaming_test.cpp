// A V4L2 camera streaming through the ioctl seam: buffers, conversions to NV12, what the driver
// really sets, and the failures that must end a stream rather than leave it silent.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <mutex>

#include "StreamingV4L2Io.h"
#include "platform/NotificationCenter.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/V4L2CaptureDevice.h"
#include "support/TestServer.h"

using namespace platform;
using namespace v4l2test;
using namespace std::chrono_literals;
using kntest::waitFor;

namespace {

constexpr v4l2_fract k30{1, 30};
constexpr v4l2_fract k5{1, 5};

// Luma and the chroma of a two-row pair, as every test picture has them.
uint8_t lumaAt(uint32_t x, uint32_t y) { return static_cast<uint8_t>((x * 3 + y * 5) & 0xFF); }
uint8_t uAt(uint32_t x, uint32_t y) { return static_cast<uint8_t>(40 + (x / 2 + y / 2) % 100); }
uint8_t vAt(uint32_t x, uint32_t y) { return static_cast<uint8_t>(220 - (x / 2 + y / 2) % 100); }

std::vector<uint8_t> jpeg(uint32_t width, uint32_t height, uint8_t y, uint8_t u, uint8_t v) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = static_cast<int>(width);
    context->height = static_cast<int>(height);
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    std::vector<uint8_t> bytes;
    if (avcodec_open2(context, codec, nullptr) == 0) {
        AVFrame* frame = av_frame_alloc();
        frame->format = context->pix_fmt;
        frame->width = context->width;
        frame->height = context->height;
        av_frame_get_buffer(frame, 0);
        const uint8_t values[3] = {y, u, v};
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? frame->height : frame->height / 2;
            for (int row = 0; row < rows; ++row) {
                std::memset(frame->data[plane] + row * frame->linesize[plane], values[plane],
                            static_cast<size_t>(frame->linesize[plane]));
            }
        }
        AVPacket* packet = av_packet_alloc();
        if (avcodec_send_frame(context, frame) == 0 && avcodec_receive_packet(context, packet) == 0) {
            bytes.assign(packet->data, packet->data + packet->size);
        }
        av_packet_free(&packet);
        av_frame_free(&frame);
    }
    avcodec_free_context(&context);
    return bytes;
}

// The test picture in the driver's layout.
std::vector<uint8_t> picture(uint32_t layout, uint32_t width, uint32_t height) {
    std::vector<uint8_t> image;
    switch (layout) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY: {
        const bool yFirst = layout == V4L2_PIX_FMT_YUYV;
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; x += 2) {
                const uint8_t quad[4] = {lumaAt(x, y), uAt(x, y), lumaAt(x + 1, y), vAt(x, y)};
                const uint8_t swapped[4] = {quad[1], quad[0], quad[3], quad[2]};
                image.insert(image.end(), yFirst ? quad : swapped, (yFirst ? quad : swapped) + 4);
            }
        }
        return image;
    }
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_YUV420: {
        for (uint32_t y = 0; y < height; ++y) {
            for (uint32_t x = 0; x < width; ++x) image.push_back(lumaAt(x, y));
        }
        if (layout == V4L2_PIX_FMT_NV12) {
            for (uint32_t y = 0; y < height; y += 2) {
                for (uint32_t x = 0; x < width; x += 2) {
                    image.push_back(uAt(x, y));
                    image.push_back(vAt(x, y));
                }
            }
            return image;
        }
        for (auto chroma : {uAt, vAt}) {
            for (uint32_t y = 0; y < height; y += 2) {
                for (uint32_t x = 0; x < width; x += 2) image.push_back(chroma(x, y));
            }
        }
        return image;
    }
    case V4L2_PIX_FMT_MJPEG: return jpeg(width, height, 180, 90, 160);
    default: return image;
    }
}

struct Frames {
    void add(const std::shared_ptr<PixelBuffer>& frame) {
        std::lock_guard lock(mutex);
        taken.push_back(frame);
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return taken.size();
    }
    std::shared_ptr<PixelBuffer> first() {
        std::lock_guard lock(mutex);
        return taken.empty() ? nullptr : taken.front();
    }
    std::mutex mutex;
    std::vector<std::shared_ptr<PixelBuffer>> taken;
    std::atomic<int> failures{0};
};

std::shared_ptr<V4L2CaptureDevice> cameraOn(const std::shared_ptr<StreamingV4L2Io>& io) {
    return V4L2CaptureDevice::openNode(io, "/dev/video0");
}

bool start(V4L2CaptureDevice& camera, Frames& frames) {
    return camera.startStreaming([&frames](const std::shared_ptr<PixelBuffer>& f, MediaTime) { frames.add(f); },
                                 [&frames](const CaptureError&) { ++frames.failures; });
}

// Each frame must be the test picture: luma everywhere, chroma of each pair.
void expectPicture(const PixelBuffer& frame, uint32_t width, uint32_t height) {
    ASSERT_EQ(frame.width(), static_cast<int32_t>(width));
    ASSERT_EQ(frame.height(), static_cast<int32_t>(height));
    int wrong = 0;
    for (uint32_t y = 0; y < height; ++y) {
        for (uint32_t x = 0; x < width; ++x) {
            wrong += frame.planeData(0)[frame.bytesPerRow(0) * y + x] != lumaAt(x, y);
        }
    }
    for (uint32_t y = 0; y < height; y += 2) {
        const uint8_t* uv = frame.planeData(1) + frame.bytesPerRow(1) * (y / 2);
        for (uint32_t x = 0; x < width; x += 2) {
            wrong += uv[x] != uAt(x, y);
            wrong += uv[x + 1] != vAt(x, y);
        }
    }
    EXPECT_EQ(wrong, 0);
}

// 180/90/160 in full range, in video range.
void expectJpegColour(const PixelBuffer& frame) {
    const uint8_t* luma = frame.planeData(0) + frame.bytesPerRow(0) * static_cast<size_t>(frame.height() / 2);
    const uint8_t* uv = frame.planeData(1) + frame.bytesPerRow(1) * static_cast<size_t>(frame.height() / 4);
    EXPECT_NEAR(luma[frame.width() / 2], 171, 2);
    const int32_t x = (frame.width() / 2) & ~1;
    EXPECT_NEAR(uv[x], 95, 2);
    EXPECT_NEAR(uv[x + 1], 156, 2);
}

}  // namespace

TEST(V4L2Streaming, BuffersAreMappedAndQueuedBeforeStreamOnAndEachDequeuedOneGoesBack) {
    auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_YUYV, 64, 48, {k30}}}, picture);
    auto camera = cameraOn(io);
    ASSERT_TRUE(camera);
    Frames frames;
    ASSERT_TRUE(start(*camera, frames));
    ASSERT_TRUE(waitFor([&] { return frames.count() >= 6; }, 5s));
    EXPECT_EQ(io->mappedNow(), 3);
    camera->stopStreaming();
    EXPECT_EQ(io->mappedNow(), 0);
    const auto calls = io->calls();
    const std::vector<std::pair<unsigned long, int64_t>> opening = {
        {VIDIOC_S_FMT, V4L2_PIX_FMT_YUYV}, {VIDIOC_S_PARM, 0}, {VIDIOC_REQBUFS, 4}, {VIDIOC_QBUF, 0},
        {VIDIOC_QBUF, 1},  {VIDIOC_QBUF, 2},  {VIDIOC_STREAMON, 0}};
    ASSERT_GT(calls.size(), opening.size() + 2);
    for (size_t i = 0; i < opening.size(); ++i) {
        EXPECT_EQ(calls[i].request, opening[i].first) << i;
        EXPECT_EQ(calls[i].argument, opening[i].second) << i;
    }
    // Streaming: every dequeued buffer is queued again before the next is taken.
    size_t i = opening.size();
    int pairs = 0;
    for (; i + 1 < calls.size() && calls[i].request == VIDIOC_DQBUF; i += 2) {
        EXPECT_EQ(calls[i + 1].request, VIDIOC_QBUF);
        EXPECT_EQ(calls[i + 1].argument, calls[i].argument);
        EXPECT_EQ(calls[i].argument, pairs % 3);
        ++pairs;
    }
    EXPECT_GE(pairs, 6);
    ASSERT_EQ(calls.size() - i, 2u);
    EXPECT_EQ(calls[i].request, VIDIOC_STREAMOFF);
    EXPECT_EQ(calls[i + 1].request, VIDIOC_REQBUFS);
    EXPECT_EQ(calls[i + 1].argument, 0);
    EXPECT_EQ(frames.failures.load(), 0);
}

TEST(V4L2Streaming, EveryAcceptedLayoutArrivesAsTheSamePictureInNV12) {
    for (uint32_t layout : {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_UYVY, V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_YUV420}) {
        SCOPED_TRACE(layout);
        auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{layout, 64, 48, {k30}}}, picture);
        auto camera = cameraOn(io);
        ASSERT_TRUE(camera);
        Frames frames;
        ASSERT_TRUE(start(*camera, frames));
        ASSERT_TRUE(waitFor([&] { return frames.count() >= 1; }, 5s));
        camera->stopStreaming();
        expectPicture(*frames.first(), 64, 48);
    }
}

TEST(V4L2Streaming, MJPEGIsDecodedAndAnImageOfAnotherSizeIsScaledToTheFormat) {
    for (uint32_t sent : {320u, 160u}) {
        SCOPED_TRACE(sent);
        auto image = [sent](uint32_t, uint32_t, uint32_t) { return jpeg(sent, sent * 3 / 4, 180, 90, 160); };
        auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_MJPEG, 320, 240, {k30}}}, image);
        auto camera = cameraOn(io);
        Frames frames;
        ASSERT_TRUE(start(*camera, frames));
        ASSERT_TRUE(waitFor([&] { return frames.count() >= 3; }, 5s));
        camera->stopStreaming();
        const auto frame = frames.first();
        EXPECT_EQ(frame->width(), 320);
        EXPECT_EQ(frame->height(), 240);
        expectJpegColour(*frame);
        EXPECT_EQ(frames.failures.load(), 0);
    }
}

TEST(V4L2Streaming, WhatTheDriverReallySetsIsWhatIsConvertedAndALayoutWithoutConversionFailsTheStart) {
    // Asked for MJPEG at 640x480, the driver runs YUYV at 64x48.
    auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_MJPEG, 640, 480, {k30}}}, picture);
    io->substitutePixelFormat = V4L2_PIX_FMT_YUYV;
    io->substituteSize = std::make_pair(64u, 48u);
    auto camera = cameraOn(io);
    Frames frames;
    ASSERT_TRUE(start(*camera, frames));
    ASSERT_TRUE(waitFor([&] { return frames.count() >= 1; }, 5s));
    camera->stopStreaming();
    EXPECT_EQ(io->asked().pixelformat, V4L2_PIX_FMT_MJPEG);
    expectPicture(*frames.first(), 64, 48);

    auto foreign = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_YUYV, 64, 48, {k30}}}, picture);
    foreign->substitutePixelFormat = V4L2_PIX_FMT_RGB24;
    auto refused = cameraOn(foreign);
    Frames none;
    EXPECT_FALSE(start(*refused, none));
    // No buffer was asked for, nothing streamed.
    for (const Call& call : foreign->calls()) {
        EXPECT_NE(call.request, VIDIOC_STREAMON);
        if (call.request == VIDIOC_REQBUFS) {
            EXPECT_EQ(call.argument, 0);
        }
    }
}

TEST(V4L2Streaming, AFailedQueueOfAnyBufferFailsTheStartAndLeavesNothingMapped) {
    for (uint32_t index : {0u, 2u}) {
        SCOPED_TRACE(index);
        auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_YUYV, 64, 48, {k30}}}, picture);
        io->failQbufOfIndex = index;
        auto camera = cameraOn(io);
        Frames frames;
        EXPECT_FALSE(start(*camera, frames));
        EXPECT_EQ(io->mappedNow(), 0);
        for (const Call& call : io->calls()) EXPECT_NE(call.request, VIDIOC_STREAMON);
        // Nothing stays half set up: a later start streams.
        ASSERT_TRUE(start(*camera, frames));
        EXPECT_TRUE(waitFor([&] { return frames.count() >= 2; }, 5s));
        camera->stopStreaming();
    }
}

TEST(V4L2Streaming, ARunOfUnusableFramesOrAnUnplugEndsTheStreamAndTheSessionReportsIt) {
    struct Case {
        const char* name;
        uint32_t layout;
        std::optional<uint32_t> unplugAfterFrames;
        int64_t code;
    };
    const Case cases[] = {
        {"corrupt MJPEG", V4L2_PIX_FMT_MJPEG, std::nullopt, kCaptureErrorDeviceFailed},
        {"unplugged", V4L2_PIX_FMT_YUYV, 5, kCaptureErrorDeviceNotAvailable},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto image = [](uint32_t layout, uint32_t w, uint32_t h) {
            if (layout != V4L2_PIX_FMT_MJPEG) return picture(layout, w, h);
            return std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0, 0x12, 0x34, 0x00, 0x00, 0x55, 0xAA};
        };
        auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{c.layout, 64, 48, {k30}}}, image);
        io->unplugAfterFrames = c.unplugAfterFrames;
        auto camera = cameraOn(io);
        auto session = CaptureSession::create();
        ASSERT_TRUE(session->addInput(CaptureDeviceInput::deviceInputWithDevice(camera)));
        std::atomic<int64_t> reported{0};
        const auto token = NotificationCenter::defaultCenter().addObserver(
            kCaptureSessionRuntimeErrorNotification, session, [&](const Notification& n) {
                reported = std::any_cast<CaptureError>(n.userInfo.at(kCaptureSessionErrorKey)).code;
            });
        session->startRunning();
        EXPECT_TRUE(waitFor([&] { return reported.load() != 0 && !session->isRunning(); }, 10s));
        NotificationCenter::defaultCenter().removeObserver(token);
        EXPECT_EQ(reported.load(), c.code);
        EXPECT_EQ(io->mappedNow(), 0);
    }
}

TEST(V4L2Streaming, ControlsReachTheDriverAndItsRefusalsAreAnswered) {
    auto io = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_YUYV, 64, 48, {k30}}}, picture);
    io->controls = {{V4L2_CID_ZOOM_ABSOLUTE, {100, 400}},
                    {V4L2_CID_FOCUS_AUTO, {0, 1}},
                    {V4L2_CID_EXPOSURE_AUTO, {0, 3}},
                    {V4L2_CID_FLASH_LED_MODE, {0, 2}},
                    {V4L2_CID_FLASH_TORCH_INTENSITY, {0, 100}}};
    auto camera = cameraOn(io);
    ASSERT_TRUE(camera->lockForConfiguration());
    EXPECT_EQ(camera->activeFormat().videoMaxZoomFactor, 4.0);
    EXPECT_TRUE(camera->setVideoZoomFactor(2.5));
    EXPECT_TRUE(camera->setFocusMode(FocusMode::Locked));
    EXPECT_TRUE(camera->setExposureMode(ExposureMode::ContinuousAutoExposure));
    EXPECT_TRUE(camera->setTorchModeOnWithLevel(0.5f));
    auto values = io->controlValues();
    EXPECT_EQ(values[V4L2_CID_ZOOM_ABSOLUTE], 250);
    EXPECT_EQ(values[V4L2_CID_FOCUS_AUTO], 0);
    EXPECT_EQ(values[V4L2_CID_EXPOSURE_AUTO], V4L2_EXPOSURE_AUTO);
    EXPECT_EQ(values[V4L2_CID_FLASH_TORCH_INTENSITY], 50);
    EXPECT_EQ(values[V4L2_CID_FLASH_LED_MODE], V4L2_FLASH_LED_MODE_TORCH);

    io->refusedControls = {V4L2_CID_ZOOM_ABSOLUTE, V4L2_CID_FOCUS_AUTO, V4L2_CID_FLASH_LED_MODE};
    EXPECT_FALSE(camera->setVideoZoomFactor(3.0));
    EXPECT_EQ(camera->videoZoomFactor(), 2.5);
    EXPECT_FALSE(camera->setFocusMode(FocusMode::ContinuousAutoFocus));
    EXPECT_EQ(camera->focusMode(), FocusMode::Locked);
    EXPECT_FALSE(camera->setTorchMode(TorchMode::Off));
    EXPECT_TRUE(camera->isTorchActive());
    camera->unlockForConfiguration();

    // Without the controls nothing is offered and nothing reaches the driver.
    auto plain = std::make_shared<StreamingV4L2Io>(std::vector<FakeFormat>{{V4L2_PIX_FMT_YUYV, 64, 48, {k30}}}, picture);
    auto bare = cameraOn(plain);
    ASSERT_TRUE(bare->lockForConfiguration());
    EXPECT_FALSE(bare->hasTorch());
    EXPECT_FALSE(bare->isFocusModeSupported(FocusMode::Locked));
    EXPECT_FALSE(bare->isExposureModeSupported(ExposureMode::Locked));
    EXPECT_FALSE(bare->setFocusMode(FocusMode::Locked));
    EXPECT_EQ(bare->activeFormat().videoMaxZoomFactor, 1.0);
    EXPECT_FALSE(bare->setVideoZoomFactor(2.0));
    bare->unlockForConfiguration();
    EXPECT_TRUE(plain->calls().empty());
}

TEST(V4L2Streaming, EachPresetTakesAFormatThatRunsAtTheAskedRate) {
    const std::vector<FakeFormat> webcam = {
        {V4L2_PIX_FMT_MJPEG, 3840, 2160, {k30}},
        {V4L2_PIX_FMT_YUYV, 1920, 1080, {k5}},
        {V4L2_PIX_FMT_YUYV, 1280, 720, {k30}},
    };
    auto withMJPEG1080 = webcam;
    withMJPEG1080.push_back({V4L2_PIX_FMT_MJPEG, 1920, 1080, {k30}});
    withMJPEG1080.push_back({V4L2_PIX_FMT_MJPEG, 1280, 720, {k30}});
    struct Row {
        const std::vector<FakeFormat>* formats;
        SessionPreset preset;
        std::optional<int32_t> askedRate;
        uint32_t layout;
        int32_t width;
    };
    const Row rows[] = {
        {&webcam, kSessionPresetHigh, std::nullopt, V4L2_PIX_FMT_YUYV, 1280},
        {&webcam, kSessionPreset1920x1080, std::nullopt, V4L2_PIX_FMT_YUYV, 1920},
        {&webcam, kSessionPreset1280x720, std::nullopt, V4L2_PIX_FMT_YUYV, 1280},
        {&webcam, kSessionPresetMedium, std::nullopt, V4L2_PIX_FMT_YUYV, 1280},
        {&webcam, kSessionPresetLow, std::nullopt, V4L2_PIX_FMT_YUYV, 1280},
        {&webcam, kSessionPresetHigh, 5, V4L2_PIX_FMT_YUYV, 1920},
        {&withMJPEG1080, kSessionPresetHigh, std::nullopt, V4L2_PIX_FMT_MJPEG, 1920},
        {&withMJPEG1080, kSessionPreset1920x1080, std::nullopt, V4L2_PIX_FMT_MJPEG, 1920},
        {&withMJPEG1080, kSessionPreset1280x720, std::nullopt, V4L2_PIX_FMT_YUYV, 1280},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.preset + (row.formats == &webcam ? " webcam" : " webcam with 1080p MJPEG"));
        auto camera = cameraOn(std::make_shared<StreamingV4L2Io>(*row.formats, picture));
        if (row.askedRate) {
            // The rate is asked of the format that offers it, then the preset follows it.
            ASSERT_TRUE(camera->applySessionPreset(kSessionPreset1920x1080));
            ASSERT_TRUE(camera->lockForConfiguration());
            ASSERT_TRUE(camera->setActiveVideoMinFrameDuration(MediaTime::make(1, *row.askedRate)));
            camera->unlockForConfiguration();
        }
        ASSERT_TRUE(camera->applySessionPreset(row.preset));
        EXPECT_EQ(camera->activeFormat().nativePixelFormat, row.layout);
        EXPECT_EQ(camera->activeFormat().width, row.width);
    }
}
