#include "platform/capture/CaptureVideoPreviewLayer.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "support/TestServer.h"

using namespace platform;

namespace {

std::shared_ptr<CaptureVideoPreviewLayer> previewOf1280x720(Size layerSize, CaptureVideoOrientation orientation,
                                                           const char* gravity, bool mirrored = false) {
    auto session = CaptureSession::create();
    session->addInput(CaptureDeviceInput::deviceInputWithDevice(SyntheticCaptureDevice::phoneBackCamera()));
    session->setSessionPreset(kSessionPreset1280x720);
    auto layer = CaptureVideoPreviewLayer::layerWithSession(session);
    layer->setFrame({{0, 0}, layerSize});
    layer->setVideoGravity(gravity);
    layer->connection()->setVideoOrientation(orientation);
    layer->connection()->setVideoMirrored(mirrored);
    return layer;
}

}  // namespace

TEST(CaptureVideoPreviewLayer, LayerPointsMapToTheSensorsPointOfInterest) {
    using O = CaptureVideoOrientation;
    struct Row {
        Size layer;
        O orientation;
        const char* gravity;
        bool mirrored;
        Point point;
        Point expected;
    };
    const Row rows[] = {
        // The centre is the centre whatever happens.
        {{300, 300}, O::Portrait, kLayerVideoGravityResizeAspectFill, false, {150, 150}, {0.5, 0.5}},
        {{300, 100}, O::LandscapeLeft, kLayerVideoGravityResizeAspect, true, {150, 50}, {0.5, 0.5}},
        // Exact fit: the top-left corner of what is shown.
        {{640, 360}, O::LandscapeRight, kLayerVideoGravityResizeAspectFill, false, {0, 0}, {0, 0}},
        {{640, 360}, O::LandscapeLeft, kLayerVideoGravityResizeAspectFill, false, {0, 0}, {1, 1}},
        {{360, 640}, O::Portrait, kLayerVideoGravityResizeAspectFill, false, {0, 0}, {0, 1}},
        {{360, 640}, O::Portrait, kLayerVideoGravityResizeAspectFill, false, {360, 0}, {0, 0}},
        {{360, 640}, O::PortraitUpsideDown, kLayerVideoGravityResizeAspectFill, false, {0, 0}, {1, 0}},
        {{360, 640}, O::Portrait, kLayerVideoGravityResizeAspectFill, true, {0, 0}, {0, 0}},
        // A square layer filled by the portrait frame (scaled to 360x640) crops 140 points off the
        // top and the bottom...
        {{360, 360}, O::Portrait, kLayerVideoGravityResizeAspectFill, false, {0, 0}, {140.0 / 640, 1}},
        // ...while fitting it leaves bars left and right.
        {{360, 360}, O::Portrait, kLayerVideoGravityResizeAspect, false, {78.75, 0}, {0, 1}},
        {{360, 360}, O::Portrait, kLayerVideoGravityResize, false, {0, 0}, {0, 1}},
    };
    for (const Row& row : rows) {
        auto layer = previewOf1280x720(row.layer, row.orientation, row.gravity, row.mirrored);
        const Point p = layer->captureDevicePointOfInterestForPoint(row.point);
        SCOPED_TRACE(testing::Message() << row.gravity << " orientation " << static_cast<int>(row.orientation)
                                        << " at " << row.point.x << "," << row.point.y);
        EXPECT_NEAR(p.x, row.expected.x, 1e-9);
        EXPECT_NEAR(p.y, row.expected.y, 1e-9);
    }
}

TEST(CaptureVideoPreviewLayer, FramesReachTheHandlerWithTheOrientationToShowThemIn) {
    auto layer = previewOf1280x720({360, 640}, CaptureVideoOrientation::Portrait, kLayerVideoGravityResizeAspectFill);
    std::atomic<int> frames{0};
    std::atomic<CaptureVideoOrientation> shownIn{};
    std::atomic<int32_t> width{0};
    layer->setFrameHandler([&](const std::shared_ptr<PixelBuffer>& frame, MediaTime, CaptureVideoOrientation o, bool) {
        shownIn = o;
        width = frame->width();
        ++frames;
    });
    layer->session()->startRunning();
    ASSERT_TRUE(kntest::waitFor([&] { return frames.load() >= 2; }, std::chrono::seconds(10)));
    layer->session()->stopRunning();
    EXPECT_EQ(shownIn.load(), CaptureVideoOrientation::Portrait);
    EXPECT_EQ(width, 1280);
}
