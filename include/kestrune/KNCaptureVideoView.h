#pragma once
// The camera preview the recorder places into the host's view: a view holding a preview layer on
// the capture session, filling its parent through constraints, shown in portrait until the video
// output's orientation changes. Main thread only.
//
// Nothing is drawn for the host: to show the camera, give the preview layer a frame handler
// (previewLayer()->setFrameHandler) and draw each frame, turned as it says, into the layer's
// frame with its gravity (aspect fill).
#include <memory>

#include "kestrune/platform/Geometry.h"
#include "kestrune/platform/capture/CaptureVideoPreviewLayer.h"
#include "kestrune/platform/ui/View.h"

namespace platform {
class CaptureSession;
class CaptureVideoDataOutput;
}  // namespace platform

class KNCaptureVideoView : public platform::View {
public:
    // A new view on every call.
    static std::shared_ptr<KNCaptureVideoView> viewWithFrameSession(platform::Rect frame,
                                                                    std::shared_ptr<platform::CaptureSession> session);

    void setup();
    void addCaptureVideoPreviewLayer();
    // The preview layer takes the view's bounds.
    void layoutSubviews() override;
    // Pins the view's four edges to its superview's; nothing without a superview.
    void bindToParent();
    // The preview takes the orientation of the output's video connection.
    void updateVideoOrientationForVideoOutput(const std::shared_ptr<platform::CaptureVideoDataOutput>& output);

    const std::shared_ptr<platform::CaptureVideoPreviewLayer>& previewLayer() const { return previewLayer_; }
    void setPreviewLayer(std::shared_ptr<platform::CaptureVideoPreviewLayer> layer) { previewLayer_ = std::move(layer); }
    const std::shared_ptr<platform::CaptureSession>& session() const { return session_; }
    void setSession(std::shared_ptr<platform::CaptureSession> session) { session_ = std::move(session); }

private:
    explicit KNCaptureVideoView(platform::Rect frame) : View(frame) {}

    std::shared_ptr<platform::CaptureVideoPreviewLayer> previewLayer_;
    std::shared_ptr<platform::CaptureSession> session_;
};
