#include "platform/capture/V4L2CaptureDevice.h"

#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

using namespace platform;

namespace {

struct FakeSize {
    uint32_t width;
    uint32_t height;
    std::vector<v4l2_fract> intervals;  // discrete
};

// A webcam as its driver answers: video0 streams (MJPEG, YUYV with discrete sizes and intervals,
// NV12 with stepwise sizes and a continuous interval), video1 is a metadata node, video2 refuses
// to open.
class FakeV4L2Io : public V4L2Io {
public:
    static constexpr int kFd = 7;

    std::vector<std::string> candidateNodes() override { return {"/dev/video0", "/dev/video1", "/dev/video2"}; }

    int open(const std::string& path) override {
        if (path == "/dev/video2") return fail(EACCES);
        return path == "/dev/video0" ? kFd : kFd + 1;
    }
    int close(int) override { return 0; }

    int ioctl(int fd, unsigned long request, void* argument) override {
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
        default: return fail(ENOTTY);
        }
    }

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
        if (c->id != V4L2_CID_ZOOM_ABSOLUTE) return fail(EINVAL);
        c->minimum = 100;
        c->maximum = 500;
        return 0;
    }

    const std::vector<FakeSize> yuyvSizes{
        {1280, 720, {{1, 30}, {1, 15}}},
        {640, 480, {{1001, 30000}, {1, 60}, {0, 30}}},
        {641, 481, {{1, 30}}},
    };
};

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
