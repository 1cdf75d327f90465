#pragma once
// A layer that shows a capture session: how its frames fill the layer (gravity), the orientation
// they are shown in, and the mapping of layer points to the camera's point-of-interest space.
// Nothing draws here: a host that shows the preview draws the frames handed to its frame handler.
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "kestrune/platform/capture/CaptureConnection.h"
#include "kestrune/platform/media/MediaTime.h"
#include "kestrune/platform/media/PixelBuffer.h"
#include "kestrune/platform/ui/Layer.h"

namespace platform {

class CaptureSession;

using LayerVideoGravity = std::string;
inline constexpr char kLayerVideoGravityResize[] = "Resize";
inline constexpr char kLayerVideoGravityResizeAspect[] = "ResizeAspect";
inline constexpr char kLayerVideoGravityResizeAspectFill[] = "ResizeAspectFill";

class CaptureVideoPreviewLayer : public Layer {
public:
    // The frame in the camera's own orientation, to be shown turned and mirrored as the connection
    // says. Runs on the capture thread.
    using FrameHandler = std::function<void(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime,
                                            CaptureVideoOrientation orientation, bool mirrored)>;

    static std::shared_ptr<CaptureVideoPreviewLayer> layerWithSession(std::shared_ptr<CaptureSession> session);
    ~CaptureVideoPreviewLayer() override;

    const std::shared_ptr<CaptureSession>& session() const { return session_; }
    const std::shared_ptr<CaptureConnection>& connection() const { return connection_; }
    LayerVideoGravity videoGravity() const { return gravity_; }
    void setVideoGravity(LayerVideoGravity gravity) { gravity_ = std::move(gravity); }

    // A point of this layer as the camera's normalised point of interest: (0, 0) the top left and
    // (1, 1) the bottom right of the sensor in landscape right, whatever the orientation, mirroring
    // and gravity. The point is the layer's centre's when the session has no camera.
    Point captureDevicePointOfInterestForPoint(Point point) const;

    void setFrameHandler(FrameHandler handler);

private:
    struct FrameTap {
        std::mutex mutex;
        FrameHandler handler;
    };
    explicit CaptureVideoPreviewLayer(std::shared_ptr<CaptureSession> session);

    const std::shared_ptr<CaptureSession> session_;
    const std::shared_ptr<CaptureConnection> connection_ = CaptureConnection::create();
    LayerVideoGravity gravity_ = kLayerVideoGravityResizeAspect;
    const std::shared_ptr<FrameTap> tap_ = std::make_shared<FrameTap>();
    uint64_t observerToken_ = 0;
};

}  // namespace platform
