#include "capture/KNCaptureSession.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "kestrune/KNError.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "capturedev/StreamingV4L2Io.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/capture/V4L2CaptureDevice.h"

using namespace platform;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::shared_ptr<SyntheticCaptureDevice> cameraWithZoom(const char* id, CaptureDevicePosition position, double maxZoom) {
    CaptureDeviceFormat format;
    format.width = 1280;
    format.height = 720;
    format.videoSupportedFrameRateRanges = {FrameRateRange::make(1, 30)};
    format.videoMaxZoomFactor = maxZoom;
    return SyntheticCaptureDevice::create(id, id, position, {format}, {});
}

class KNCaptureSessionTest : public ::testing::Test {
protected:
    void TearDown() override { CaptureDeviceRegistry::shared().reset(); }
};

}  // namespace

TEST_F(KNCaptureSessionTest, WithoutACameraEverySlotIsEmptyAndZoomIsRefused) {
    CaptureDeviceRegistry::shared().setDevices({});
    auto capture = KNCaptureSession::captureSession();
    EXPECT_EQ(capture->currentCamera(), nullptr);
    EXPECT_EQ(capture->videoInput(), nullptr);
    EXPECT_EQ(capture->getZoomRange(), (Range{1, 1}));
    EXPECT_EQ(capture->getZoom(), 0.0);
    std::shared_ptr<KNError> error;
    capture->setZoomError(2.0, &error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{2002});
    EXPECT_EQ(error->message(), "Could not set camera zoom");
    capture->setZoomError(2.0, nullptr);
    capture->removeAllInputsAndOutputs();
}

TEST_F(KNCaptureSessionTest, ZoomIsClampedInfinitiesIncludedAndAFactorThatIsNoNumberIsRefused) {
    auto camera = cameraWithZoom("back", CaptureDevicePosition::Back, 4.9);
    CaptureDeviceRegistry::shared().setDevices({camera});
    auto capture = KNCaptureSession::captureSession();
    EXPECT_EQ(capture->getZoomRange(), (Range{1, 4}));
    struct Row {
        double request;
        double expected;
        bool refused;
    };
    const Row rows[] = {
        {0.5, 1.0, false},
        {10, 4.9, false},
        {-kInfinity, 1.0, false},
        {kInfinity, 4.9, false},
        {2.5, 2.5, false},
        {kNaN, 2.5, true},
    };
    for (const Row& row : rows) {
        std::shared_ptr<KNError> error;
        capture->setZoomError(row.request, &error);
        SCOPED_TRACE(row.request);
        EXPECT_EQ(capture->getZoom(), row.expected);
        EXPECT_EQ(error != nullptr, row.refused);
        if (error) {
            EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{2002});
        }
    }
    camera->setHeldElsewhere(true);
    std::shared_ptr<KNError> error;
    capture->setZoomError(3.0, &error);
    EXPECT_NE(error, nullptr);
    EXPECT_EQ(capture->getZoom(), 2.5);
}

TEST_F(KNCaptureSessionTest, ARefusedCameraSwitchKeepsTheOldCameraAttachedOrNamesNone) {
    auto back = cameraWithZoom("back", CaptureDevicePosition::Back, 2);
    auto front = cameraWithZoom("front", CaptureDevicePosition::Front, 2);
    CaptureDeviceRegistry::shared().setDevices({back, front});
    auto capture = KNCaptureSession::captureSession();
    auto oldInput = capture->videoInput();
    auto frontInput = CaptureDeviceInput::deviceInputWithDevice(front);
    front->setHeldElsewhere(true);
    capture->session()->beginConfiguration();
    EXPECT_FALSE(capture->changeVideoInput(frontInput));
    capture->session()->commitConfiguration();
    EXPECT_EQ(capture->videoInput(), oldInput);
    EXPECT_EQ(capture->session()->inputs(), std::vector{oldInput});
    front->setHeldElsewhere(false);
    EXPECT_TRUE(capture->changeVideoInput(frontInput));
    EXPECT_EQ(capture->videoInput(), frontInput);
    EXPECT_EQ(capture->session()->inputs(), std::vector{frontInput});

    // When the old camera can't come back either, no camera is named.
    front->setHeldElsewhere(true);
    back->setHeldElsewhere(true);
    EXPECT_FALSE(capture->changeVideoInput(CaptureDeviceInput::deviceInputWithDevice(back)));
    EXPECT_TRUE(capture->session()->inputs().empty());
    EXPECT_EQ(capture->videoInput(), nullptr);
    EXPECT_EQ(capture->currentCamera(), nullptr);
    std::shared_ptr<KNError> error;
    capture->setZoomError(1.5, &error);
    EXPECT_NE(error, nullptr);
}

TEST_F(KNCaptureSessionTest, AZoomTheCameraRefusesIsReportedAndLeavesTheZoomAsItWas) {
    auto io = std::make_shared<v4l2test::StreamingV4L2Io>(
        std::vector<v4l2test::FakeFormat>{{V4L2_PIX_FMT_YUYV, 1280, 720, {{1, 30}}}});
    io->controls = {{V4L2_CID_ZOOM_ABSOLUTE, {100, 400}}};
    CaptureDeviceRegistry::shared().setDevices({V4L2CaptureDevice::openNode(io, "/dev/video0")});
    auto capture = KNCaptureSession::captureSession();
    std::shared_ptr<KNError> error;
    capture->setZoomError(2.0, &error);
    EXPECT_EQ(error, nullptr);
    io->refusedControls = {V4L2_CID_ZOOM_ABSOLUTE};
    capture->setZoomError(3.0, &error);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->errorCodes(), std::vector<int64_t>{2002});
    EXPECT_EQ(capture->getZoom(), 2.0);
    EXPECT_EQ(io->controlValues()[V4L2_CID_ZOOM_ABSOLUTE], 200);
}
