// The hub's camera controls on the real capture session and synthetic cameras: what a host asks
// must reach the camera, not stop at the hub.
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstring>

#include "HubFakes.h"
#include "capture/KNCaptureSession.h"
#include "kestrune/KNCaptureVideoView.h"
#include "kestrune/KNRecorderSettings.h"
#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/capture/V4L2CaptureDevice.h"
#include "platform/capture/V4L2Io.h"
#include "platform/ui/View.h"

using namespace kntest;
using Entries = std::vector<std::string>;

namespace {

// Fakes everywhere but the camera side, which is the real one.
struct RealCameraComponents : FakeComponents {
    std::shared_ptr<KNHubCaptureSession> makeCaptureSession() override { return real->makeCaptureSession(); }
    std::shared_ptr<KNInternalRecorderComponents> real = KNInternalRecorderComponents::current();
};

// A front camera another program holds: no session takes it.
class BusyCamera : public platform::CaptureDevice {
public:
    BusyCamera()
        : CaptureDevice("busy-front", "Busy Front Camera", platform::CaptureDevicePosition::Front, {format()}, {}) {}
    bool isInUseByAnotherOwner() const override { return true; }
    bool startStreaming(FrameSink, FailureSink) override { return false; }
    void stopStreaming() override {}

private:
    static platform::CaptureDeviceFormat format() {
        platform::CaptureDeviceFormat f;
        f.width = 1280;
        f.height = 720;
        f.videoSupportedFrameRateRanges = {platform::FrameRateRange::make(1, 30)};
        return f;
    }
};

class HubCamera : public ::testing::Test {
protected:
    void SetUp() override {
        platform::CaptureDeviceRegistry::shared().setDevices(devices());
        hub = KNInternalRecorder::internalRecorderWithComponents(fakes);
        auto settings = KNRecorderSettings::recorderSettings();
        settings->setVideoFrameResolution(921600);
        settings->setVideoFrameResolutionInverted(false);
        settings->setVideoOrientation(KNVideoOrientationLandscapeRight);
        hub->setupWithCaptureView(hostView);
        ASSERT_TRUE(hub->setupWithSettings(settings));
        hub->startCamera();
    }
    void TearDown() override {
        hub->endSession();
        drainMainQueue();
        platform::CaptureDeviceRegistry::shared().reset();
    }
    virtual std::vector<std::shared_ptr<platform::CaptureDevice>> devices() {
        return {platform::SyntheticCaptureDevice::phoneBackCamera(), platform::SyntheticCaptureDevice::phoneFrontCamera()};
    }
    std::shared_ptr<KNCaptureSession> capture() const { return hub->currentCaptureSession()->captureSessionObject(); }
    double cameraRate() const { return 1.0 / capture()->currentCamera()->activeVideoMinFrameDuration().seconds(); }

    std::shared_ptr<RealCameraComponents> fakes = std::make_shared<RealCameraComponents>();
    std::shared_ptr<platform::View> hostView = platform::View::createWithFrame(platform::Rect{0, 0, 320, 240});
    std::shared_ptr<KNInternalRecorder> hub;
};

class HubBusyFrontCamera : public HubCamera {
protected:
    std::vector<std::shared_ptr<platform::CaptureDevice>> devices() override {
        return {platform::SyntheticCaptureDevice::phoneBackCamera(), std::make_shared<BusyCamera>()};
    }
};

}  // namespace

TEST_F(HubCamera, AResolutionChangeReachesTheCameraSoFramesNeedNoScaling) {
    Answers answer;
    hub->changeVideoResolutionCompletion(307200, answer.completion());
    EXPECT_EQ(answer.log.entries(), Entries{"YES"});
    EXPECT_EQ(capture()->session()->sessionPreset(), "640x480");
    EXPECT_EQ(hub->videoFrameSize(), (KNVideoFrameSize{640, 480}));
    EXPECT_FALSE(hub->videoProfile().empty());
    hub->startEncoders();
    const int before = fakes->h264->encoded;
    ASSERT_TRUE(waitFor([&] { return fakes->h264->encoded > before + 2; }, 10s));
    EXPECT_EQ(fakes->h264->lastWidth, 640);
    EXPECT_EQ(fakes->h264->lastHeight, 480);
}

TEST_F(HubCamera, TheFrameRateFindsAFormatOfTheResolutionsSizeAndSurvivesASwitch) {
    int64_t answered = 0;
    hub->changeFrameRateCompletion(15, [&](int64_t rate) { answered = rate; });
    EXPECT_EQ(answered, 15);
    EXPECT_DOUBLE_EQ(cameraRate(), 15.0);
    EXPECT_EQ(capture()->currentCamera()->activeFormat().width, 1280);

    const std::vector<int64_t> switches = {KNCameraFront, KNCameraFront, KNCameraBack};
    for (const int64_t camera : switches) {
        Answers answer;
        hub->changeCameraCompletion(camera, answer.completion());
        EXPECT_EQ(answer.log.entries(), Entries{"YES"}) << camera;
        EXPECT_EQ(capture()->currentCamera()->position(),
                  camera == KNCameraFront ? platform::CaptureDevicePosition::Front : platform::CaptureDevicePosition::Back);
        EXPECT_DOUBLE_EQ(cameraRate(), 15.0) << camera;
        EXPECT_EQ(capture()->session()->sessionPreset(), "1280x720") << camera;
    }
}

TEST_F(HubCamera, TurningTheOutputTurnsThePreview) {
    ASSERT_EQ(hostView->subviews().size(), 1u);
    const auto preview = std::dynamic_pointer_cast<KNCaptureVideoView>(hostView->subviews().front());
    ASSERT_TRUE(preview);
    const std::vector<int64_t> orientations = {KNVideoOrientationLandscapeLeft, KNVideoOrientationPortrait,
                                               KNVideoOrientationPortraitUpsideDown};
    for (const int64_t orientation : orientations) {
        hub->updateVideoOrientationForOrientation(orientation);
        const auto output = capture()->videoOutput()->connectionWithMediaType(platform::MediaType::Video);
        EXPECT_EQ(preview->previewLayer()->connection()->videoOrientation(), output->videoOrientation()) << orientation;
        EXPECT_EQ(hub->isPortrait(), orientation == KNVideoOrientationPortrait) << orientation;
    }
}

TEST_F(HubBusyFrontCamera, ARefusedSwitchKeepsTheOldCameraRunning) {
    const auto back = capture()->currentCamera();
    Answers answer;
    hub->changeCameraCompletion(KNCameraFront, answer.completion());
    EXPECT_EQ(answer.log.entries(), Entries{"NO 2002"});
    EXPECT_EQ(capture()->currentCamera(), back);
    ASSERT_EQ(capture()->session()->inputs().size(), 1u);
    EXPECT_EQ(capture()->session()->inputs().front()->device(), back);
    hub->startEncoders();
    const int before = fakes->h264->encoded;
    EXPECT_TRUE(waitFor([&] { return fakes->h264->encoded > before + 2; }, 10s));
}

TEST_F(HubCamera, FrameSizeAndRateQueriesAnswerFromTheCamera) {
    EXPECT_TRUE(hub->isVideoFrameSizeSupported({1280, 720}));
    EXPECT_TRUE(hub->isVideoFrameSizeSupported({720, 1280}));
    EXPECT_FALSE(hub->isVideoFrameSizeSupported({1000, 500}));

    platform::CaptureDeviceFormat format;
    format.width = 640;
    format.height = 480;
    format.videoSupportedFrameRateRanges = {platform::FrameRateRange::make(2, 30), platform::FrameRateRange::make(5, 24)};
    const auto device = platform::SyntheticCaptureDevice::create("ranges", "Ranges", platform::CaptureDevicePosition::Back,
                                                                 {format}, {});
    const std::vector<std::pair<int64_t, int64_t>> rates = {{60, 24}, {1, 5}, {12, 12}};
    for (const auto& [asked, valid] : rates) {
        EXPECT_EQ(KNInternalRecorder::validFrameRateForDevice(asked, *device), valid) << asked;
    }
    format.videoSupportedFrameRateRanges.clear();
    const auto bare = platform::SyntheticCaptureDevice::create("bare", "Bare", platform::CaptureDevicePosition::Back,
                                                               {format}, {});
    EXPECT_EQ(KNInternalRecorder::validFrameRateForDevice(60, *bare), 60);
}

namespace {

// A webcam as its driver answers: MJPEG up to 4K at 30 fps, YUYV up to 1080p at a few frames a
// second.
class WebcamIo : public platform::V4L2Io {
public:
    std::vector<std::string> candidateNodes() override { return {"/dev/video0"}; }
    int open(const std::string&) override { return 7; }
    int close(int) override { return 0; }
    int ioctl(int, unsigned long request, void* argument) override {
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::strcpy(reinterpret_cast<char*>(caps->card), "Webcam");
            caps->capabilities = V4L2_CAP_DEVICE_CAPS | V4L2_CAP_VIDEO_CAPTURE;
            caps->device_caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(argument);
            if (d->index >= 2) return fail();
            d->pixelformat = d->index == 0 ? V4L2_PIX_FMT_MJPEG : V4L2_PIX_FMT_YUYV;
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* s = static_cast<v4l2_frmsizeenum*>(argument);
            const auto& sizes = s->pixel_format == V4L2_PIX_FMT_MJPEG ? mjpeg : yuyv;
            if (s->index >= sizes.size()) return fail();
            s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            s->discrete = {sizes[s->index].first, sizes[s->index].second};
            return 0;
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* i = static_cast<v4l2_frmivalenum*>(argument);
            if (i->index > 0) return fail();
            i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            const bool slow = i->pixel_format == V4L2_PIX_FMT_YUYV && i->width >= 1280;
            i->discrete = {1, slow ? 5u : 30u};
            return 0;
        }
        default: return fail();
        }
    }

private:
    static int fail() {
        errno = EINVAL;
        return -1;
    }
    const std::vector<std::pair<uint32_t, uint32_t>> mjpeg{{3840, 2160}, {1920, 1080}, {1280, 720}};
    const std::vector<std::pair<uint32_t, uint32_t>> yuyv{{1920, 1080}, {1280, 720}, {640, 480}};
};

}  // namespace

TEST(HubOnAWebcam, TheResolutionPicksItsOwnFormatNotTheLargest) {
    std::vector<std::shared_ptr<platform::CaptureDevice>> cameras;
    for (auto& camera : platform::V4L2CaptureDevice::scan(std::make_shared<WebcamIo>())) cameras.push_back(camera);
    ASSERT_EQ(cameras.size(), 1u);
    platform::CaptureDeviceRegistry::shared().setDevices(cameras);
    auto hub = KNInternalRecorder::internalRecorderWithComponents(std::make_shared<RealCameraComponents>());
    auto settings = KNRecorderSettings::recorderSettings();
    settings->setVideoFrameResolution(921600);
    settings->setFrameRate(30);
    ASSERT_TRUE(hub->setupWithSettings(settings));
    const auto capture = hub->currentCaptureSession()->captureSessionObject();
    EXPECT_EQ(capture->session()->sessionPreset(), "1280x720");
    const auto active = cameras.front()->activeFormat();
    EXPECT_EQ(active.width, 1280);
    EXPECT_EQ(active.height, 720);
    EXPECT_EQ(cameras.front()->activeVideoMinFrameDuration(), platform::MediaTime::make(1, 30));
    hub->endSession();
    platform::CaptureDeviceRegistry::shared().reset();
}
