#include "platform/capture/CaptureVideoPreviewLayer.h"

#include <algorithm>

#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureDeviceInput.h"

namespace platform {

std::shared_ptr<CaptureVideoPreviewLayer> CaptureVideoPreviewLayer::layerWithSession(
    std::shared_ptr<CaptureSession> session) {
    std::shared_ptr<CaptureVideoPreviewLayer> layer(new CaptureVideoPreviewLayer(std::move(session)));
    if (layer->session_) {
        layer->observerToken_ = layer->session_->addFrameObserver(
            [tap = layer->tap_, connection = layer->connection_](const std::shared_ptr<PixelBuffer>& frame,
                                                                 MediaTime time) {
                std::lock_guard lock(tap->mutex);
                if (tap->handler) tap->handler(frame, time, connection->videoOrientation(), connection->isVideoMirrored());
            });
    }
    return layer;
}

CaptureVideoPreviewLayer::CaptureVideoPreviewLayer(std::shared_ptr<CaptureSession> session)
    : session_(std::move(session)) {}

CaptureVideoPreviewLayer::~CaptureVideoPreviewLayer() {
    if (session_ && observerToken_ != 0) session_->removeFrameObserver(observerToken_);
}

void CaptureVideoPreviewLayer::setFrameHandler(FrameHandler handler) {
    std::lock_guard lock(tap_->mutex);
    tap_->handler = std::move(handler);
}

Point CaptureVideoPreviewLayer::captureDevicePointOfInterestForPoint(Point point) const {
    const Size layerSize = bounds().size;
    Size shown{layerSize.width, layerSize.height};
    const CaptureVideoOrientation orientation = connection_->videoOrientation();
    const int turns = CaptureConnection::quarterTurnsFor(orientation);
    if (session_) {
        auto inputs = session_->inputs();
        if (!inputs.empty()) {
            const CaptureDeviceFormat format = inputs.front()->device()->activeFormat();
            const bool swaps = (turns & 1) != 0;
            shown = {static_cast<double>(swaps ? format.height : format.width),
                     static_cast<double>(swaps ? format.width : format.height)};
        }
    }
    if (layerSize.width <= 0 || layerSize.height <= 0 || shown.width <= 0 || shown.height <= 0) return {0.5, 0.5};

    // Where the frame lies in the layer.
    Rect frame{{0, 0}, layerSize};
    if (gravity_ != kLayerVideoGravityResize) {
        const double sx = layerSize.width / shown.width;
        const double sy = layerSize.height / shown.height;
        const double scale = gravity_ == kLayerVideoGravityResizeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
        frame.size = {shown.width * scale, shown.height * scale};
        frame.origin = {(layerSize.width - frame.size.width) / 2, (layerSize.height - frame.size.height) / 2};
    }
    double u = (point.x - frame.origin.x) / frame.size.width;
    const double v = (point.y - frame.origin.y) / frame.size.height;
    if (connection_->isVideoMirrored()) u = 1 - u;
    // Back from the shown orientation to the sensor's.
    switch (turns) {
    case 1:
        return {v, 1 - u};
    case 2:
        return {1 - u, 1 - v};
    case 3:
        return {1 - v, u};
    default:
        return {u, v};
    }
}

}  // namespace platform
