#include "kestrune/KNCaptureVideoView.h"

#include <gtest/gtest.h>

#include "capture/KNCaptureSession.h"
#include "platform/capture/CaptureDeviceRegistry.h"
#include "platform/capture/CaptureVideoPreviewLayer.h"
#include "platform/capture/SyntheticCaptureDevice.h"
#include "platform/ui/LayoutConstraint.h"

using namespace platform;

namespace {

std::shared_ptr<KNCaptureSession> syntheticCapture() {
    CaptureDeviceRegistry::shared().setDevices({SyntheticCaptureDevice::phoneBackCamera()});
    auto capture = KNCaptureSession::captureSession();
    CaptureDeviceRegistry::shared().reset();
    return capture;
}

}  // namespace

TEST(KNCaptureVideoView, BindingPinsFourEdgesAndTheLayerFollowsTheBounds) {
    auto capture = syntheticCapture();
    auto view = KNCaptureVideoView::viewWithFrameSession({{5, 5}, {10, 10}}, capture->session());
    EXPECT_FALSE(view->translatesAutoresizingMaskIntoConstraints());
    EXPECT_EQ(view->previewLayer()->superlayer(), view->layer());
    view->bindToParent();
    EXPECT_TRUE(view->constraints().empty());

    auto host = View::createWithFrame({{0, 0}, {390, 844}});
    host->addSubview(view);
    view->bindToParent();
    ASSERT_EQ(host->constraints().size(), 4u);
    // The pinned edges are proven by the layout: the view fills its parent.
    host->setFrame({{0, 0}, {844, 390}});
    host->layoutIfNeeded();
    EXPECT_EQ(view->frame(), host->bounds());
    EXPECT_EQ(view->previewLayer()->frame(), view->bounds());

    view->removeFromSuperview();
    EXPECT_TRUE(host->constraints().empty());
}

TEST(KNCaptureVideoView, ThePreviewStartsInPortraitAndFollowsTheOutput) {
    auto capture = syntheticCapture();
    auto view = KNCaptureVideoView::viewWithFrameSession({{0, 0}, {100, 100}}, capture->session());
    EXPECT_EQ(view->previewLayer()->connection()->videoOrientation(), CaptureVideoOrientation::Portrait);
    auto connection = capture->videoOutput()->connectionWithMediaType(MediaType::Video);
    connection->setVideoOrientation(CaptureVideoOrientation::LandscapeLeft);
    view->updateVideoOrientationForVideoOutput(capture->videoOutput());
    EXPECT_EQ(view->previewLayer()->connection()->videoOrientation(), CaptureVideoOrientation::LandscapeLeft);
    // An output outside any session has no connection to follow.
    view->updateVideoOrientationForVideoOutput(CaptureVideoDataOutput::create());
    EXPECT_EQ(view->previewLayer()->connection()->videoOrientation(), CaptureVideoOrientation::LandscapeLeft);
}
