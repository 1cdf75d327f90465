#include "platform/capture/V4L2CaptureDevice.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <optional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/capture/V4L2FormatEnumerator.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace platform;
using namespace std::chrono_literals;

namespace {

struct FakeSize {
    uint32_t width;
    uint32_t height;
    std::vector<v4l2_fract> intervals;  // discrete
};

// A webcam as its driver answers: video0 streams (MJPEG, YUYV with discrete sizes and intervals,
// NV12 with stepwise sizes and a continuous interval), video1 is a metadata node, video2 refuses
// to open. It delivers frames at 60 per second whatever rate is asked.
class FakeV4L2Io : public V4L2Io {
public:
    static constexpr int kFd = 7;
    static constexpr int kDriverRate = 60;

    std::vector<std::string> candidateNodes() override { return {"/dev/video0", "/dev/video1", "/dev/video2"}; }

    int open(const std::string& path) override {
        if (path == "/dev/video2") return fail(EACCES);
        return path == "/dev/video0" ? kFd : kFd + 1;
    }
    int close(int) override { return 0; }

    int ioctl(int fd, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex);
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::strcpy(reinterpret_cast<char*>(caps->card), "Fake Cam");
            caps->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE;
            caps->device_caps = fd == kFd ? (V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING) : V4L2_CAP_META_CAPTURE;
            return 0;
        }
        case VIDIOC_ENUM_FMT: return enumFormat(static_cast<v4l2_fmtdesc*>(argument));
        case VIDIOC_ENUM_FRAMESIZES: return enumSize(static_cast<v4l2_frmsizeenum*>(argument));
        case VIDIOC_ENUM_FRAMEINTERVALS: return enumInterval(static_cast<v4l2_frmivalenum*>(argument));
        case VIDIOC_QUERYCTRL: return queryControl(static_cast<v4l2_queryctrl*>(argument));
        case VIDIOC_S_CTRL: return setControl(static_cast<v4l2_control*>(argument));
        case VIDIOC_S_FMT: {
            auto* format = static_cast<v4l2_format*>(argument);
            format->fmt.pix.bytesperline = format->fmt.pix.width * 2 + 64;  // padded rows
            streamFormat = format->fmt.pix;
            return 0;
        }
        case VIDIOC_S_PARM: return 0;
        case VIDIOC_REQBUFS: {
            auto* request = static_cast<v4l2_requestbuffers*>(argument);
            buffers.assign(request->count, std::vector<uint8_t>(streamFormat.bytesperline * streamFormat.height));
            // YUYV with Y 90, U 100, V 150.
            for (auto& data : buffers) {
                for (size_t at = 0; at + 3 < data.size(); at += 4) {
                    data[at] = data[at + 2] = 90;
                    data[at + 1] = 100;
                    data[at + 3] = 150;
                }
            }
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* buffer = static_cast<v4l2_buffer*>(argument);
            buffer->length = static_cast<uint32_t>(buffers.at(buffer->index).size());
            buffer->m.offset = buffer->index * 4096;
            return 0;
        }
        case VIDIOC_QBUF:
            queued.push_back(static_cast<v4l2_buffer*>(argument)->index);
            return 0;
        case VIDIOC_DQBUF: return dequeue(static_cast<v4l2_buffer*>(argument));
        case VIDIOC_STREAMON:
            streaming = true;
            return 0;
        case VIDIOC_STREAMOFF:
            streaming = false;
            queued.clear();
            return 0;
        default: return fail(ENOTTY);
        }
    }
    void* mmap(size_t, int, off_t offset) override {
        std::lock_guard lock(mutex);
        return buffers.at(static_cast<size_t>(offset / 4096)).data();
    }
    int munmap(void*, size_t) override { return 0; }
    int poll(int, int) override { return 1; }

    std::mutex mutex;
    std::vector<uint8_t> jpeg;  // what an MJPEG stream delivers
    std::map<uint32_t, int32_t> controls;
    int framesUntilUnplug = -1;
    uint32_t delivered = 0;

private:
    static int fail(int error) {
        errno = error;
        return -1;
    }
    int enumFormat(v4l2_fmtdesc* d) {
        const uint32_t formats[] = {V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_NV12};
        if (d->index >= 3) return fail(EINVAL);
        d->pixelformat = formats[d->index];
        return 0;
    }
    int enumSize(v4l2_frmsizeenum* s) {
        if (s->pixel_format == V4L2_PIX_FMT_NV12) {
            if (s->index > 0) return fail(EINVAL);
            s->type = V4L2_FRMSIZE_TYPE_STEPWISE;
            s->stepwise = {160, 1920, 16, 120, 1080, 8};
            return 0;
        }
        if (s->index >= yuyvSizes.size()) return fail(EINVAL);
        s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
        s->discrete = {yuyvSizes[s->index].width, yuyvSizes[s->index].height};
        return 0;
    }
    int enumInterval(v4l2_frmivalenum* i) {
        if (i->pixel_format == V4L2_PIX_FMT_NV12) {
            if (i->index > 0) return fail(EINVAL);
            i->type = V4L2_FRMIVAL_TYPE_CONTINUOUS;
            i->stepwise = {{1, 60}, {1, 1}, {1, 1}};
            return 0;
        }
        for (const auto& size : yuyvSizes) {
            if (size.width != i->width || size.height != i->height) continue;
            if (i->index >= size.intervals.size()) return fail(EINVAL);
            i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            i->discrete = size.intervals[i->index];
            return 0;
        }
        return fail(EINVAL);
    }
    int queryControl(v4l2_queryctrl* c) {
        if (c->id == V4L2_CID_ZOOM_ABSOLUTE) {
            c->minimum = 100;
            c->maximum = 500;
            return 0;
        }
        if (c->id == V4L2_CID_FOCUS_AUTO || c->id == V4L2_CID_EXPOSURE_AUTO) return 0;
        return fail(EINVAL);
    }
    int setControl(v4l2_control* c) {
        // This camera's automatic exposure is aperture priority only.
        if (c->id == V4L2_CID_EXPOSURE_AUTO && c->value == V4L2_EXPOSURE_AUTO) return fail(ERANGE);
        controls[c->id] = c->value;
        return 0;
    }
    int dequeue(v4l2_buffer* b) {
        if (!streaming || queued.empty()) return fail(EAGAIN);
        if (framesUntilUnplug == 0) return fail(ENODEV);
        if (framesUntilUnplug > 0) --framesUntilUnplug;
        // Stamped by the sensor's own pace: one frame every 1/60 s.
        const int64_t takenUs = startUs + int64_t{delivered} * 1000000 / kDriverRate;
        b->timestamp = {static_cast<time_t>(takenUs / 1000000), static_cast<suseconds_t>(takenUs % 1000000)};
        b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
        b->index = queued.front();
        queued.erase(queued.begin());
        auto& data = buffers.at(b->index);
        ++delivered;
        if (streamFormat.pixelformat == V4L2_PIX_FMT_MJPEG) {
            std::copy(jpeg.begin(), jpeg.end(), data.begin());
            b->bytesused = static_cast<uint32_t>(jpeg.size());
            return 0;
        }
        b->bytesused = static_cast<uint32_t>(data.size());
        return 0;
    }

    const std::vector<FakeSize> yuyvSizes{
        {1280, 720, {{1, 30}, {1, 15}}},
        {640, 480, {{1001, 30000}, {1, 60}, {0, 30}}},
        {641, 481, {{1, 30}}},
    };
    v4l2_pix_format streamFormat{};
    std::vector<std::vector<uint8_t>> buffers;
    std::vector<uint32_t> queued;
    bool streaming = false;
    const int64_t startUs = std::chrono::duration_cast<std::chrono::microseconds>(
                                std::chrono::steady_clock::now().time_since_epoch())
                                .count();
};

// One flat grey full-range JPEG, as a webcam sends.
std::vector<uint8_t> greyJpeg(int width, int height) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* context = avcodec_alloc_context3(codec);
    context->width = width;
    context->height = height;
    context->pix_fmt = AV_PIX_FMT_YUVJ420P;
    context->time_base = {1, 30};
    std::vector<uint8_t> bytes;
    if (avcodec_open2(context, codec, nullptr) == 0) {
        AVFrame* frame = av_frame_alloc();
        frame->width = width;
        frame->height = height;
        frame->format = AV_PIX_FMT_YUVJ420P;
        av_frame_get_buffer(frame, 0);
        for (int plane = 0; plane < 3; ++plane) {
            const int rows = plane == 0 ? height : height / 2;
            std::memset(frame->data[plane], 128, static_cast<size_t>(frame->linesize[plane]) * rows);
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

struct Expected {
    uint32_t pixelFormat;
    int32_t width;
    int32_t height;
    std::vector<std::pair<double, double>> rates;
};

}  // namespace

TEST(V4L2CaptureDevice, DriverAnswersMapToFormatsWithFrameRateRanges) {
    auto io = std::make_shared<FakeV4L2Io>();
    const auto devices = V4L2CaptureDevice::scan(io);
    ASSERT_EQ(devices.size(), 1u);
    const auto& camera = devices.front();
    EXPECT_EQ(camera->uniqueID(), "/dev/video0");
    EXPECT_EQ(camera->localizedName(), "Fake Cam");
    const std::vector<std::pair<double, double>> nv12{{1, 60}};
    const Expected expected[] = {
        {V4L2_PIX_FMT_MJPEG, 1280, 720, {{30, 30}, {15, 15}}},
        {V4L2_PIX_FMT_MJPEG, 640, 480, {{30000.0 / 1001, 30000.0 / 1001}, {60, 60}}},
        {V4L2_PIX_FMT_YUYV, 1280, 720, {{30, 30}, {15, 15}}},
        {V4L2_PIX_FMT_YUYV, 640, 480, {{30000.0 / 1001, 30000.0 / 1001}, {60, 60}}},
        {V4L2_PIX_FMT_NV12, 192, 144, nv12},
        {V4L2_PIX_FMT_NV12, 256, 144, nv12},
        {V4L2_PIX_FMT_NV12, 320, 240, nv12},
        {V4L2_PIX_FMT_NV12, 352, 288, nv12},
        {V4L2_PIX_FMT_NV12, 480, 360, nv12},
        {V4L2_PIX_FMT_NV12, 640, 360, nv12},
        {V4L2_PIX_FMT_NV12, 640, 480, nv12},
        {V4L2_PIX_FMT_NV12, 1280, 720, nv12},
        {V4L2_PIX_FMT_NV12, 1920, 1080, nv12},
    };
    const auto& formats = camera->formats();
    ASSERT_EQ(formats.size(), std::size(expected));
    for (size_t i = 0; i < formats.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(formats[i].nativePixelFormat, expected[i].pixelFormat);
        EXPECT_EQ(formats[i].width, expected[i].width);
        EXPECT_EQ(formats[i].height, expected[i].height);
        EXPECT_EQ(formats[i].videoMaxZoomFactor, 5.0);
        ASSERT_EQ(formats[i].videoSupportedFrameRateRanges.size(), expected[i].rates.size());
        for (size_t r = 0; r < expected[i].rates.size(); ++r) {
            const auto& range = formats[i].videoSupportedFrameRateRanges[r];
            EXPECT_DOUBLE_EQ(range.minFrameRate, expected[i].rates[r].first);
            EXPECT_DOUBLE_EQ(range.maxFrameRate, expected[i].rates[r].second);
        }
    }
    const auto& ntsc = formats[3].videoSupportedFrameRateRanges[0];
    EXPECT_EQ(ntsc.minFrameDuration, MediaTime::make(1001, 30000));
    EXPECT_EQ(formats[4].videoSupportedFrameRateRanges[0].maxFrameDuration, MediaTime::make(1, 1));
    EXPECT_TRUE(camera->supportsSessionPreset(kSessionPreset1920x1080));
    EXPECT_FALSE(camera->supportsSessionPreset("1024x768"));
}

TEST(V4L2CaptureDevice, ControlsGoThroughTheDriverWherePresent) {
    auto io = std::make_shared<FakeV4L2Io>();
    auto camera = V4L2CaptureDevice::openNode(io, "/dev/video0");
    ASSERT_NE(camera, nullptr);
    EXPECT_FALSE(camera->isFocusPointOfInterestSupported());
    EXPECT_FALSE(camera->isExposurePointOfInterestSupported());
    EXPECT_FALSE(camera->hasTorch());
    ASSERT_TRUE(camera->lockForConfiguration());
    EXPECT_TRUE(camera->setVideoZoomFactor(2.5));
    EXPECT_FALSE(camera->setVideoZoomFactor(5.5));
    EXPECT_TRUE(camera->setFocusMode(FocusMode::Locked));
    EXPECT_TRUE(camera->setExposureMode(ExposureMode::Locked));
    std::map<uint32_t, int32_t> expected{{V4L2_CID_ZOOM_ABSOLUTE, 250},
                                         {V4L2_CID_FOCUS_AUTO, 0},
                                         {V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL}};
    EXPECT_EQ(io->controls, expected);
    EXPECT_TRUE(camera->setExposureMode(ExposureMode::ContinuousAutoExposure));
    EXPECT_EQ(io->controls[V4L2_CID_EXPOSURE_AUTO], V4L2_EXPOSURE_APERTURE_PRIORITY);
    EXPECT_FALSE(camera->setTorchMode(TorchMode::On));
    camera->unlockForConfiguration();
}

TEST(V4L2CaptureDevice, StreamsNV12AtTheAskedRateAndReportsAnUnplug) {
    auto io = std::make_shared<FakeV4L2Io>();
    auto camera = V4L2CaptureDevice::openNode(io, "/dev/video0");
    ASSERT_NE(camera, nullptr);
    ASSERT_TRUE(camera->lockForConfiguration());
    ASSERT_TRUE(camera->setActiveFormat(camera->formats()[2]));
    ASSERT_TRUE(camera->setActiveVideoMinFrameDuration(MediaTime::make(1, 15)));
    camera->unlockForConfiguration();
    io->framesUntilUnplug = 40;

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<PixelBuffer>> frames;
    std::vector<double> times;
    std::optional<CaptureError> failure;
    ASSERT_TRUE(camera->startStreaming(
        [&](const std::shared_ptr<PixelBuffer>& frame, MediaTime time) {
            std::lock_guard lock(mutex);
            frames.push_back(frame);
            times.push_back(time.seconds());
        },
        [&](const CaptureError& error) {
            std::lock_guard lock(mutex);
            failure = error;
            changed.notify_all();
        }));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return failure.has_value(); }));
    }
    camera->stopStreaming();
    std::lock_guard lock(mutex);
    EXPECT_EQ(failure->code, kCaptureErrorDeviceNotAvailable);
    // 40 driver frames at 60 per second are 10 at 15, stamped with the driver's times.
    ASSERT_EQ(frames.size(), 10u);
    for (size_t i = 1; i < times.size(); ++i) {
        EXPECT_NEAR(times[i] - times[i - 1], 1.0 / 15, 1e-6);
    }
    const PixelBuffer& frame = *frames.back();
    EXPECT_EQ(frame.width(), 1280);
    EXPECT_EQ(frame.height(), 720);
    const uint8_t* uv = frame.planeData(1) + frame.bytesPerRow(1) * 100 + 200;
    EXPECT_EQ(uv[0], 100);
    EXPECT_EQ(uv[1], 150);
    EXPECT_EQ(frame.planeData(0)[0], 90);
    EXPECT_EQ(frame.planeData(0)[frame.bytesPerRow(0) * 719 + 1279], 90);
}

TEST(V4L2CaptureDevice, MJPEGImagesArriveAsVideoRangeNV12) {
    auto io = std::make_shared<FakeV4L2Io>();
    io->jpeg = greyJpeg(640, 480);
    ASSERT_FALSE(io->jpeg.empty());
    auto camera = V4L2CaptureDevice::openNode(io, "/dev/video0");
    ASSERT_NE(camera, nullptr);
    ASSERT_TRUE(camera->lockForConfiguration());
    ASSERT_TRUE(camera->setActiveFormat(camera->formats()[1]));
    camera->unlockForConfiguration();
    std::mutex mutex;
    std::condition_variable arrived;
    std::shared_ptr<PixelBuffer> frame;
    ASSERT_TRUE(camera->startStreaming(
        [&](const std::shared_ptr<PixelBuffer>& f, MediaTime) {
            std::lock_guard lock(mutex);
            frame = f;
            arrived.notify_all();
        },
        nullptr));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(arrived.wait_for(lock, 10s, [&] { return frame != nullptr; }));
    }
    camera->stopStreaming();
    EXPECT_EQ(frame->width(), 640);
    EXPECT_EQ(frame->height(), 480);
    // Full-range grey 128 is video-range 126.
    EXPECT_NEAR(frame->planeData(0)[frame->bytesPerRow(0) * 240 + 320], 126, 2);
    EXPECT_NEAR(frame->planeData(1)[frame->bytesPerRow(1) * 120 + 320], 128, 2);
}
