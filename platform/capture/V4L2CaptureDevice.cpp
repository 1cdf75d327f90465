#include "platform/capture/V4L2CaptureDevice.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

#include "platform/capture/V4L2FormatEnumerator.h"

namespace platform {

namespace {

constexpr uint32_t kBufferCount = 4;
constexpr int kPollMs = 100;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

void yuyvToNV12(const uint8_t* source, size_t sourceStride, PixelBuffer& frame) {
    uint8_t* luma = frame.planeData(0);
    uint8_t* chroma = frame.planeData(1);
    const size_t lumaStride = frame.bytesPerRow(0);
    const size_t chromaStride = frame.bytesPerRow(1);
    const int32_t width = frame.width();
    for (int32_t y = 0; y < frame.height(); y += 2) {
        const uint8_t* top = source + sourceStride * static_cast<size_t>(y);
        const uint8_t* bottom = top + sourceStride;
        uint8_t* lumaTop = luma + lumaStride * static_cast<size_t>(y);
        uint8_t* lumaBottom = lumaTop + lumaStride;
        uint8_t* uv = chroma + chromaStride * static_cast<size_t>(y / 2);
        for (int32_t x = 0; x < width; x += 2) {
            const size_t at = static_cast<size_t>(x) * 2;
            lumaTop[x] = top[at];
            lumaTop[x + 1] = top[at + 2];
            lumaBottom[x] = bottom[at];
            lumaBottom[x + 1] = bottom[at + 2];
            uv[x] = static_cast<uint8_t>((top[at + 1] + bottom[at + 1] + 1) / 2);
            uv[x + 1] = static_cast<uint8_t>((top[at + 3] + bottom[at + 3] + 1) / 2);
        }
    }
}

// When the driver stamps buffers with the monotonic clock, the time the frame was taken;
// otherwise the time it was dequeued.
int64_t captureTime(const v4l2_buffer& buffer) {
    const bool monotonic = (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (!monotonic || (buffer.timestamp.tv_sec == 0 && buffer.timestamp.tv_usec == 0)) {
        return CaptureThread::nowNanoseconds();
    }
    return int64_t{buffer.timestamp.tv_sec} * 1000000000 + int64_t{buffer.timestamp.tv_usec} * 1000;
}

}  // namespace

std::vector<std::shared_ptr<V4L2CaptureDevice>> V4L2CaptureDevice::scan(std::shared_ptr<V4L2Io> io) {
    std::vector<std::shared_ptr<V4L2CaptureDevice>> devices;
    for (const auto& path : io->candidateNodes()) {
        if (auto device = openNode(io, path)) devices.push_back(device);
    }
    return devices;
}

std::shared_ptr<V4L2CaptureDevice> V4L2CaptureDevice::openNode(std::shared_ptr<V4L2Io> io, const std::string& path) {
    const int fd = io->open(path);
    if (fd < 0) return nullptr;
    v4l2_capability capability{};
    const bool queried = io->ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0;
    const uint32_t caps =
        (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
    std::vector<CaptureDeviceFormat> formats;
    if (queried && (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING)) {
        formats = V4L2FormatEnumerator::formats(*io, fd);
    }
    if (formats.empty()) {
        io->close(fd);
        return nullptr;
    }
    const Controls controls = queryControls(*io, fd);
    CaptureDeviceControls offered;
    if (controls.focusAuto.present) offered.focusModes = {FocusMode::Locked, FocusMode::ContinuousAutoFocus};
    if (controls.exposureAuto.present) {
        offered.exposureModes = {ExposureMode::Locked, ExposureMode::ContinuousAutoExposure};
    }
    offered.torch = controls.flashMode.present && controls.flashMode.maximum >= V4L2_FLASH_LED_MODE_TORCH;
    if (controls.zoom.present && controls.zoom.minimum > 0 && controls.zoom.maximum > controls.zoom.minimum) {
        const double maxZoom = static_cast<double>(controls.zoom.maximum) / controls.zoom.minimum;
        for (auto& format : formats) format.videoMaxZoomFactor = maxZoom;
    }
    const std::string name(reinterpret_cast<const char*>(capability.card),
                           strnlen(reinterpret_cast<const char*>(capability.card), sizeof(capability.card)));
    return std::shared_ptr<V4L2CaptureDevice>(
        new V4L2CaptureDevice(std::move(io), fd, path, name, std::move(formats), std::move(offered), controls));
}

V4L2CaptureDevice::V4L2CaptureDevice(std::shared_ptr<V4L2Io> io, int fd, std::string path, std::string name,
                                     std::vector<CaptureDeviceFormat> formats, CaptureDeviceControls offered,
                                     Controls controls)
    : CaptureDevice(std::move(path), std::move(name), CaptureDevicePosition::Unspecified, std::move(formats),
                    std::move(offered)),
      io_(std::move(io)),
      fd_(fd),
      controls_(controls) {}

V4L2CaptureDevice::~V4L2CaptureDevice() {
    stopStreaming();
    io_->close(fd_);
}

V4L2CaptureDevice::Controls V4L2CaptureDevice::queryControls(V4L2Io& io, int fd) {
    auto query = [&](uint32_t id) {
        v4l2_queryctrl control{};
        control.id = id;
        Control found;
        if (io.ioctl(fd, VIDIOC_QUERYCTRL, &control) == 0 && !(control.flags & V4L2_CTRL_FLAG_DISABLED)) {
            found = {true, control.minimum, control.maximum};
        }
        return found;
    };
    Controls controls;
    controls.zoom = query(V4L2_CID_ZOOM_ABSOLUTE);
    controls.focusAuto = query(V4L2_CID_FOCUS_AUTO);
    controls.exposureAuto = query(V4L2_CID_EXPOSURE_AUTO);
    controls.flashMode = query(V4L2_CID_FLASH_LED_MODE);
    controls.torchIntensity = query(V4L2_CID_FLASH_TORCH_INTENSITY);
    return controls;
}

bool V4L2CaptureDevice::setControl(uint32_t id, int32_t value) {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return io_->ioctl(fd_, VIDIOC_S_CTRL, &control) == 0;
}

bool V4L2CaptureDevice::applyZoom(double factor) {
    if (!controls_.zoom.present || controls_.zoom.minimum <= 0) return factor == 1.0;
    const double value = std::clamp(std::round(controls_.zoom.minimum * factor), static_cast<double>(controls_.zoom.minimum),
                                    static_cast<double>(controls_.zoom.maximum));
    return setControl(V4L2_CID_ZOOM_ABSOLUTE, static_cast<int32_t>(value));
}

bool V4L2CaptureDevice::applyFocusMode(FocusMode mode) {
    return setControl(V4L2_CID_FOCUS_AUTO, mode == FocusMode::Locked ? 0 : 1);
}

bool V4L2CaptureDevice::applyExposureMode(ExposureMode mode) {
    if (mode == ExposureMode::Locked) return setControl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL);
    // Many webcams offer only aperture priority as their automatic mode.
    return setControl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_AUTO) ||
           setControl(V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_APERTURE_PRIORITY);
}

bool V4L2CaptureDevice::applyTorch(TorchMode mode, float level) {
    if (mode != TorchMode::On) return setControl(V4L2_CID_FLASH_LED_MODE, V4L2_FLASH_LED_MODE_NONE);
    const Control& intensity = controls_.torchIntensity;
    if (intensity.present) {
        const double value = intensity.minimum + std::round(level * (intensity.maximum - intensity.minimum));
        if (!setControl(V4L2_CID_FLASH_TORCH_INTENSITY, static_cast<int32_t>(value))) return false;
    } else if (level < 1.0f) {
        return false;  // no intensity control: full power only
    }
    return setControl(V4L2_CID_FLASH_LED_MODE, V4L2_FLASH_LED_MODE_TORCH);
}

bool V4L2CaptureDevice::startStreaming(FrameSink sink, FailureSink failure) {
    return thread_.start([this, sink = std::move(sink), failure = std::move(failure)] { run(sink, failure); });
}

void V4L2CaptureDevice::stopStreaming() { thread_.stop(); }

bool V4L2CaptureDevice::beginStream(const CaptureDeviceFormat& format, MediaTime frameDuration, CaptureError* error) {
    v4l2_format wanted{};
    wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    wanted.fmt.pix.width = static_cast<uint32_t>(format.width);
    wanted.fmt.pix.height = static_cast<uint32_t>(format.height);
    wanted.fmt.pix.pixelformat = format.nativePixelFormat;
    wanted.fmt.pix.field = V4L2_FIELD_NONE;
    if (io_->ioctl(fd_, VIDIOC_S_FMT, &wanted) != 0) {
        *error = {errno == EBUSY ? kCaptureErrorDeviceLocked : kCaptureErrorDeviceFailed, errnoText("VIDIOC_S_FMT")};
        return false;
    }
    streamPixelFormat_ = wanted.fmt.pix.pixelformat;
    streamWidth_ = wanted.fmt.pix.width;
    streamHeight_ = wanted.fmt.pix.height;
    const uint32_t minimumLine = streamWidth_ * (streamPixelFormat_ == V4L2_PIX_FMT_YUYV ? 2 : 1);
    bytesPerLine_ = std::max(wanted.fmt.pix.bytesperline, minimumLine);
    if (frameDuration.isNumeric() && frameDuration.value > 0 && frameDuration.timeScale > 0) {
        v4l2_streamparm parameters{};
        parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        parameters.parm.capture.timeperframe.numerator = static_cast<uint32_t>(frameDuration.value);
        parameters.parm.capture.timeperframe.denominator = static_cast<uint32_t>(frameDuration.timeScale);
        io_->ioctl(fd_, VIDIOC_S_PARM, &parameters);  // a driver without it runs at its own rate
    }
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (io_->ioctl(fd_, VIDIOC_REQBUFS, &request) != 0 || request.count == 0) {
        *error = {kCaptureErrorDeviceFailed, errnoText("VIDIOC_REQBUFS")};
        return false;
    }
    for (uint32_t index = 0; index < request.count && index < kBufferCount * 2; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (io_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) break;
        void* address = io_->mmap(buffer.length, fd_, static_cast<off_t>(buffer.m.offset));
        if (!address) break;
        mappings_.push_back({address, buffer.length});
        if (io_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) break;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (mappings_.size() != request.count || io_->ioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
        *error = {kCaptureErrorDeviceFailed, errnoText("buffers or VIDIOC_STREAMON")};
        return false;
    }
    return true;
}

void V4L2CaptureDevice::endStream() {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    io_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
    for (const Mapping& mapping : mappings_) io_->munmap(mapping.address, mapping.length);
    mappings_.clear();
    v4l2_requestbuffers release{};
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    io_->ioctl(fd_, VIDIOC_REQBUFS, &release);
}

std::shared_ptr<PixelBuffer> V4L2CaptureDevice::convert(const uint8_t* data, size_t bytes) {
    if (streamPixelFormat_ == V4L2_PIX_FMT_MJPEG) {
        if (!decoder_) decoder_ = std::make_unique<MJPEGDecoder>();
        return decoder_->decode(data, bytes, static_cast<int32_t>(streamWidth_), static_cast<int32_t>(streamHeight_));
    }
    const size_t rows = streamPixelFormat_ == V4L2_PIX_FMT_NV12 ? streamHeight_ + streamHeight_ / 2 : streamHeight_;
    if (bytes < size_t{bytesPerLine_} * rows) return nullptr;
    auto frame = PixelBuffer::create(static_cast<int32_t>(streamWidth_), static_cast<int32_t>(streamHeight_),
                                     PixelFormat::NV12VideoRange);
    if (!frame) return nullptr;
    if (streamPixelFormat_ == V4L2_PIX_FMT_YUYV) {
        yuyvToNV12(data, bytesPerLine_, *frame);
        return frame;
    }
    if (streamPixelFormat_ != V4L2_PIX_FMT_NV12) return nullptr;
    for (size_t plane = 0; plane < 2; ++plane) {
        const uint8_t* source = data + (plane == 0 ? 0 : size_t{bytesPerLine_} * streamHeight_);
        for (int32_t y = 0; y < frame->planeHeight(plane); ++y) {
            std::memcpy(frame->planeData(plane) + frame->bytesPerRow(plane) * static_cast<size_t>(y),
                        source + size_t{bytesPerLine_} * static_cast<size_t>(y), streamWidth_);
        }
    }
    return frame;
}

void V4L2CaptureDevice::run(FrameSink sink, FailureSink failure) {
    auto fail = [&](const CaptureError& error) {
        endStream();
        if (failure) failure(error);
    };
    while (!thread_.stopping()) {
        const uint64_t generation = configurationGeneration();
        const CaptureDeviceFormat format = activeFormat();
        const MediaTime duration = activeVideoMinFrameDuration();
        const int64_t intervalNs = duration.isNumeric() ? static_cast<int64_t>(duration.seconds() * 1e9) : 0;
        CaptureError error;
        if (!beginStream(format, duration, &error)) return fail(error);
        int64_t due = 0;
        // Until the format or rate changes, or a stop.
        while (!thread_.stopping() && configurationGeneration() == generation) {
            const int ready = io_->poll(fd_, kPollMs);
            if (ready < 0 && errno != EINTR) return fail({kCaptureErrorDeviceFailed, errnoText("poll")});
            if (ready <= 0) continue;
            v4l2_buffer buffer{};
            buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (io_->ioctl(fd_, VIDIOC_DQBUF, &buffer) != 0) {
                if (errno == EAGAIN) continue;
                return fail({kCaptureErrorDeviceNotAvailable, errnoText("VIDIOC_DQBUF")});
            }
            const int64_t now = captureTime(buffer);
            // Exact rates: a frame more than an eighth of an interval (the driver's jitter) before
            // its turn is dropped.
            const bool keep = intervalNs == 0 || now >= due - intervalNs / 8;
            if (keep && buffer.index < mappings_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                // The next turn; after a stall of more than an interval, counted from now.
                due = (due == 0 || now - due > intervalNs) ? now + intervalNs : due + intervalNs;
                const Mapping& mapping = mappings_[buffer.index];
                const size_t bytes = std::min<size_t>(buffer.bytesused, mapping.length);
                if (auto frame = convert(static_cast<const uint8_t*>(mapping.address), bytes)) {
                    sink(frame, MediaTime::make(now, 1000000000));
                }
            }
            if (io_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) {
                return fail({kCaptureErrorDeviceNotAvailable, errnoText("VIDIOC_QBUF")});
            }
        }
        endStream();
    }
}

}  // namespace platform
