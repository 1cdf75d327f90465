#include "capture/CameraFocusManager.h"

#include <gtest/gtest.h>

#include <vector>

#include "capture/KNCaptureSession.h"
#include "capturedev/StreamingV4L2Io.h"
#include "kestrune/KNCaptureVideoView.h"
#include "platform/NotificationCenter.h"
#include "platform/RunLoop.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/capture/V4L2CaptureDevice.h"

using namespace std::chrono_literals;
using namespace platform;

namespace {

// A 360x640 portrait preview shows the 1280x720 camera at half size, so a touch at (x, y) is the
// device point (y / 640, 1 - x / 360).
class CameraFocusManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        CaptureDeviceRegistry::shared().setDevices({camera});
        capture = KNCaptureSession::captureSession();
        capture->session()->setSessionPreset(kSessionPreset1280x720);
        view = KNCaptureVideoView::viewWithFrameSession({{0, 0}, {360, 640}}, capture->session());
        manager->addTapToFocusFeatureForPreviewVideoPreviewLayerAndVideoCpatureInput(view, view->previewLayer(),
                                                                                     capture->videoInput());
        // The host listens by these very texts.
        token = NotificationCenter::defaultCenter().addObserver(
            "VavoZidu AE/AF Lock Notification", nullptr, [this](const Notification& n) {
                EXPECT_EQ(n.object, nullptr);
                announced.push_back(std::any_cast<bool>(n.userInfo.at("VavoZidu AE/AF Lock Key")));
            });
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(token);
        CaptureDeviceRegistry::shared().reset();
    }

    void tap(Point point) {
        view->touchBegan(point);
        view->touchEnded(point);
    }
    // Began once held, then Changed and Ended.
    void longPress(Point point) {
        const size_t indicators = view->previewLayer()->sublayers().size();
        view->touchBegan(point);
        RunLoop::main().runUntil([&] { return manager->longPressRecognizer()->state() == GestureRecognizerState::Began; },
                                 5000ms);
        view->touchMoved({point.x + 2, point.y + 2});
        view->touchEnded({point.x + 2, point.y + 2});
        indicatorsAdded = view->previewLayer()->sublayers().size() - indicators;
    }

    std::shared_ptr<SyntheticCaptureDevice> camera = SyntheticCaptureDevice::phoneBackCamera();
    std::shared_ptr<KNCaptureSession> capture;
    std::shared_ptr<KNCaptureVideoView> view;
    std::shared_ptr<CameraFocusManager> manager = CameraFocusManager::create();
    NotificationCenter::Token token = 0;
    std::vector<bool> announced;
    size_t indicatorsAdded = 0;
};

}  // namespace

TEST_F(CameraFocusManagerTest, ATapMarksThePointFocusesThereAndTheIndicatorLeavesAfterItsFade) {
    tap({100, 200});
    ASSERT_EQ(view->previewLayer()->sublayers().size(), 1u);
    const auto square = view->previewLayer()->sublayers().front();
    EXPECT_EQ(square->frame(), (Rect{{60, 160}, {80, 80}}));
    EXPECT_EQ(square->opacity(), 0.0);

    EXPECT_EQ(camera->focusMode(), FocusMode::ContinuousAutoFocus);
    EXPECT_EQ(camera->exposureMode(), ExposureMode::ContinuousAutoExposure);
    EXPECT_DOUBLE_EQ(camera->focusPointOfInterest().x, 200.0 / 640);
    EXPECT_DOUBLE_EQ(camera->focusPointOfInterest().y, 1 - 100.0 / 360);
    EXPECT_EQ(camera->exposurePointOfInterest(), camera->focusPointOfInterest());
    EXPECT_TRUE(camera->isSubjectAreaChangeMonitoringEnabled());
    EXPECT_TRUE(announced.empty());

    EXPECT_TRUE(RunLoop::main().runUntil([&] { return view->previewLayer()->sublayers().empty(); }, 5000ms));
}

TEST_F(CameraFocusManagerTest, ALongPressLocksOnceAndTheNextTapReleases) {
    longPress({180, 320});
    EXPECT_TRUE(manager->AE_AF_Lock());
    EXPECT_EQ(indicatorsAdded, 1u);
    EXPECT_EQ(camera->focusMode(), FocusMode::Locked);
    EXPECT_EQ(camera->exposureMode(), ExposureMode::Locked);
    EXPECT_EQ(camera->focusPointOfInterest(), (Point{0.5, 0.5}));
    EXPECT_EQ(announced, std::vector<bool>{true});

    longPress({10, 10});
    EXPECT_EQ(indicatorsAdded, 0u);
    EXPECT_EQ(camera->focusPointOfInterest(), (Point{0.5, 0.5}));
    EXPECT_EQ(announced, std::vector<bool>{true});

    tap({180, 320});
    EXPECT_FALSE(manager->AE_AF_Lock());
    EXPECT_EQ(camera->focusMode(), FocusMode::ContinuousAutoFocus);
    EXPECT_EQ(camera->exposureMode(), ExposureMode::ContinuousAutoExposure);
    EXPECT_EQ(announced, (std::vector<bool>{true, false}));
}

TEST_F(CameraFocusManagerTest, ALongPressThatCannotLockTheCameraAnnouncesNoLockAndATapStillReleases) {
    camera->setHeldElsewhere(true);
    longPress({180, 320});
    EXPECT_FALSE(manager->AE_AF_Lock());
    EXPECT_EQ(camera->focusMode(), FocusMode::ContinuousAutoFocus);
    EXPECT_TRUE(announced.empty());

    camera->setHeldElsewhere(false);
    longPress({180, 320});
    camera->setHeldElsewhere(true);
    tap({100, 100});
    EXPECT_FALSE(manager->AE_AF_Lock());
    EXPECT_EQ(camera->focusMode(), FocusMode::Locked);
    EXPECT_EQ(announced, (std::vector<bool>{true, false}));
}

TEST_F(CameraFocusManagerTest, ACameraWithoutPointsOfInterestIsLeftAloneAndNothingIsAnnounced) {
    // A V4L2 camera: automatic focus and exposure can be switched, but at no point.
    auto io = std::make_shared<v4l2test::StreamingV4L2Io>(
        std::vector<v4l2test::FakeFormat>{{V4L2_PIX_FMT_YUYV, 1280, 720, {{1, 30}}}});
    io->controls = {{V4L2_CID_FOCUS_AUTO, {0, 1}}, {V4L2_CID_EXPOSURE_AUTO, {0, 3}}};
    auto webcam = V4L2CaptureDevice::openNode(io, "/dev/video0");
    manager->changeVideoInput(CaptureDeviceInput::deviceInputWithDevice(webcam));
    longPress({180, 320});
    tap({100, 200});
    EXPECT_FALSE(manager->AE_AF_Lock());
    EXPECT_TRUE(announced.empty());
    EXPECT_TRUE(io->controlValues().empty());
    EXPECT_EQ(webcam->focusMode(), FocusMode::ContinuousAutoFocus);
}

TEST_F(CameraFocusManagerTest, AFocusOnlyCameraLocksFocusAloneAndDetachingKeepsTheLock) {
    CaptureDeviceControls controls;
    controls.focusPointOfInterest = true;
    controls.focusModes = {FocusMode::Locked, FocusMode::ContinuousAutoFocus};
    CaptureDeviceFormat format;
    format.width = 1280;
    format.height = 720;
    format.videoSupportedFrameRateRanges = {FrameRateRange::make(1, 30)};
    auto focusOnly = SyntheticCaptureDevice::create("focus", "focus", CaptureDevicePosition::Back, {format}, controls);
    manager->changeVideoInput(CaptureDeviceInput::deviceInputWithDevice(focusOnly));
    const ExposureMode exposureBefore = focusOnly->exposureMode();
    longPress({180, 320});
    EXPECT_EQ(focusOnly->focusMode(), FocusMode::Locked);
    EXPECT_EQ(focusOnly->exposureMode(), exposureBefore);
    EXPECT_EQ(announced, std::vector<bool>{true});
    tap({180, 320});
    EXPECT_EQ(focusOnly->focusMode(), FocusMode::ContinuousAutoFocus);
    EXPECT_EQ(announced, (std::vector<bool>{true, false}));

    longPress({180, 320});
    manager->removeTapToFocus();
    EXPECT_TRUE(view->gestureRecognizers().empty());
    EXPECT_EQ(manager->tapRecognizer(), nullptr);
    EXPECT_EQ(manager->videoInput(), nullptr);
    EXPECT_TRUE(manager->AE_AF_Lock());
}
