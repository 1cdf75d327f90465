#include "kestrune/KNCaptureVideoView.h"

#include "platform/capture/CaptureSession.h"
#include "platform/capture/CaptureVideoDataOutput.h"
#include "platform/capture/CaptureVideoPreviewLayer.h"
#include "platform/ui/LayoutConstraint.h"

std::shared_ptr<KNCaptureVideoView> KNCaptureVideoView::viewWithFrameSession(
    platform::Rect frame, std::shared_ptr<platform::CaptureSession> session) {
    std::shared_ptr<KNCaptureVideoView> view(new KNCaptureVideoView(frame));
    view->session_ = std::move(session);
    view->setup();
    return view;
}

void KNCaptureVideoView::setup() {
    setTranslatesAutoresizingMaskIntoConstraints(false);
    addCaptureVideoPreviewLayer();
}

void KNCaptureVideoView::addCaptureVideoPreviewLayer() {
    auto layer = platform::CaptureVideoPreviewLayer::layerWithSession(session_);
    layer->setVideoGravity(platform::kLayerVideoGravityResizeAspectFill);
    layer->setFrame(bounds());
    if (layer->connection()->isVideoOrientationSupported()) {
        layer->connection()->setVideoOrientation(platform::CaptureVideoOrientation::Portrait);
    }
    this->layer()->addSublayer(layer);
    previewLayer_ = layer;
}

void KNCaptureVideoView::layoutSubviews() {
    View::layoutSubviews();
    if (previewLayer_) previewLayer_->setFrame(bounds());
}

void KNCaptureVideoView::bindToParent() {
    auto parent = superview();
    if (!parent) return;
    using platform::LayoutAttribute;
    std::vector<std::shared_ptr<platform::LayoutConstraint>> constraints;
    for (LayoutAttribute attribute :
         {LayoutAttribute::Top, LayoutAttribute::Bottom, LayoutAttribute::Leading, LayoutAttribute::Trailing}) {
        constraints.push_back(platform::LayoutConstraint::constraintWithItem(
            shared_from_this(), attribute, platform::LayoutRelation::Equal, parent, attribute, 1.0, 0.0));
    }
    platform::LayoutConstraint::activateConstraints(constraints);
}

void KNCaptureVideoView::updateVideoOrientationForVideoOutput(
    const std::shared_ptr<platform::CaptureVideoDataOutput>& output) {
    auto outputConnection = output ? output->connectionWithMediaType(platform::MediaType::Video) : nullptr;
    if (!outputConnection || !previewLayer_) return;
    if (previewLayer_->connection()->isVideoOrientationSupported()) {
        previewLayer_->connection()->setVideoOrientation(outputConnection->videoOrientation());
    }
}
