#pragma once
// A V4L2 camera: its formats from the driver, zoom, focus, exposure and torch through the V4L2
// controls where present (no points of interest: V4L2 has none), and a streaming thread that
// hands on NV12 frames (from NV12, YU12, YUYV, UYVY or MJPEG) at exactly the active rate, dropping the driver's extra frames.
#include <memory>
#include <string>
#include <vector>

#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureThread.h"
#include "platform/capture/MJPEGDecoder.h"
#include "platform/capture/V4L2Io.h"

namespace platform {

class V4L2CaptureDevice : public CaptureDevice {
public:
    // Every node that captures video and streams, in name order.
    static std::vector<std::shared_ptr<V4L2CaptureDevice>> scan(std::shared_ptr<V4L2Io> io = V4L2Io::system());
    // Null when the node can't be opened or isn't a streaming camera.
    static std::shared_ptr<V4L2CaptureDevice> openNode(std::shared_ptr<V4L2Io> io, const std::string& path);
    ~V4L2CaptureDevice() override;

    bool startStreaming(FrameSink sink, FailureSink failure) override;
    void stopStreaming() override;

protected:
    bool applyZoom(double factor) override;
    bool applyFocusMode(FocusMode mode) override;
    bool applyExposureMode(ExposureMode mode) override;
    bool applyTorch(TorchMode mode, float level) override;

private:
    struct Control {
        bool present = false;
        int32_t minimum = 0;
        int32_t maximum = 0;
    };
    struct Controls {
        Control zoom;
        Control focusAuto;
        Control exposureAuto;
        Control flashMode;
        Control torchIntensity;
    };
    struct Mapping {
        void* address = nullptr;
        size_t length = 0;
    };

    V4L2CaptureDevice(std::shared_ptr<V4L2Io> io, int fd, std::string path, std::string name,
                      std::vector<CaptureDeviceFormat> formats, CaptureDeviceControls offered, Controls controls);
    static Controls queryControls(V4L2Io& io, int fd);
    bool setControl(uint32_t id, int32_t value);

    // Streams until a stop; the stream of `firstGeneration` has already begun.
    void run(uint64_t firstGeneration, const FrameSink& sink, const FailureSink& failure);
    // Sets the format and rate, maps the buffers and starts the stream.
    bool beginStream(const CaptureDeviceFormat& format, MediaTime frameDuration, CaptureError* error);
    void endStream();
    // Turns the driver's image into NV12; null when the buffer is short or the image broken.
    std::shared_ptr<PixelBuffer> convert(const uint8_t* data, size_t bytes);

    const std::shared_ptr<V4L2Io> io_;
    const int fd_;
    const Controls controls_;

    CaptureThread thread_;

    // Streaming state, touched only by the streaming thread.
    std::vector<Mapping> mappings_;
    uint32_t streamPixelFormat_ = 0;
    uint32_t streamWidth_ = 0;
    uint32_t streamHeight_ = 0;
    uint32_t bytesPerLine_ = 0;
    std::unique_ptr<MJPEGDecoder> decoder_;
};

}  // namespace platform
