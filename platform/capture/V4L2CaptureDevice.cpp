#include "platform/capture/V4L2CaptureDevice.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/capture/V4L2FormatEnumerator.h"

namespace platform {

namespace {

constexpr uint32_t kBufferCount = 4;
constexpr int kPollMs = 100;
// A stream that hands on nothing for this many frames in a row (corrupt or foreign images) has failed.
constexpr int kUnusableFramesBeforeFailure = 30;

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Packed 4:2:2 (YUYV or UYVY: `lumaAt` is the offset of the first luma byte) to NV12; chroma of
// two rows is averaged.
void packed422ToNV12(const uint8_t* source, size_t sourceStride, size_t lumaAt, PixelBuffer& frame) {
    const size_t chromaAt = 1 - lumaAt;
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
            lumaTop[x] = top[at + lumaAt];
            lumaTop[x + 1] = top[at + lumaAt + 2];
            lumaBottom[x] = bottom[at + lumaAt];
            lumaBottom[x + 1] = bottom[at + lumaAt + 2];
            uv[x] = static_cast<uint8_t>((top[at + chromaAt] + bottom[at + chromaAt] + 1) / 2);
            uv[x + 1] = static_cast<uint8_t>((top[at + chromaAt + 2] + bottom[at + chromaAt + 2] + 1) / 2);
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
    // Collects a run that ended on its own (a failure) before the device is set up again.
    thread_.stop();
    // The first stream begins here, so that a camera that can't stream fails the start itself.
    const uint64_t generation = configurationGeneration();
    CaptureError error;
    if (!beginStream(activeFormat(), activeVideoMinFrameDuration(), &error)) {
        endStream();
        std::fprintf(stderr, "V4L2 %s: can't start streaming: %s\n", uniqueID().c_str(), error.message.c_str());
        return false;
    }
    const bool started = thread_.start([this, generation, sink = std::move(sink), failure = std::move(failure)] {
        run(generation, sink, failure);
    });
    if (!started) endStream();
    return started;
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
    // The driver may set another layout or size than asked: what it set is what arrives.
    streamPixelFormat_ = wanted.fmt.pix.pixelformat;
    streamWidth_ = wanted.fmt.pix.width;
    streamHeight_ = wanted.fmt.pix.height;
    if (!V4L2FormatEnumerator::convertible(streamPixelFormat_) || streamWidth_ < 2 || streamHeight_ < 2 ||
        streamWidth_ > 16384 || streamHeight_ > 16384) {
        *error = {kCaptureErrorDeviceFailed, "the driver set a layout that can't be converted"};
        return false;
    }
    // NV12 needs even sides: an odd last row or column is left out.
    streamWidth_ &= ~1u;
    streamHeight_ &= ~1u;
    const bool packed = streamPixelFormat_ == V4L2_PIX_FMT_YUYV || streamPixelFormat_ == V4L2_PIX_FMT_UYVY;
    const uint32_t minimumLine = wanted.fmt.pix.width * (packed ? 2 : 1);
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
    if (request.count > kBufferCount * 2) {
        *error = {kCaptureErrorDeviceFailed, "the driver wants more buffers than the camera uses"};
        return false;
    }
    // Every buffer the driver made must be mapped and queued: a missing one would stall the stream.
    for (uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = index;
        if (io_->ioctl(fd_, VIDIOC_QUERYBUF, &buffer) != 0) {
            *error = {kCaptureErrorDeviceFailed, errnoText("VIDIOC_QUERYBUF")};
            return false;
        }
        void* address = io_->mmap(buffer.length, fd_, static_cast<off_t>(buffer.m.offset));
        if (!address) {
            *error = {kCaptureErrorDeviceFailed, errnoText("mmap")};
            return false;
        }
        mappings_.push_back({address, buffer.length});
        if (io_->ioctl(fd_, VIDIOC_QBUF, &buffer) != 0) {
            *error = {kCaptureErrorDeviceFailed, errnoText("VIDIOC_QBUF")};
            return false;
        }
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (io_->ioctl(fd_, VIDIOC_STREAMON, &type) != 0) {
        *error = {errno == EBUSY ? kCaptureErrorDeviceLocked : kCaptureErrorDeviceFailed, errnoText("VIDIOC_STREAMON")};
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
    const auto width = static_cast<int32_t>(streamWidth_);
    const auto height = static_cast<int32_t>(streamHeight_);
    if (streamPixelFormat_ == V4L2_PIX_FMT_MJPEG) {
        if (!decoder_) decoder_ = std::make_unique<MJPEGDecoder>();
        return decoder_->decode(data, bytes, width, height);
    }
    const size_t line = bytesPerLine_;
    size_t needed = line * streamHeight_;
    if (streamPixelFormat_ == V4L2_PIX_FMT_NV12) needed += line * (streamHeight_ / 2);
    if (streamPixelFormat_ == V4L2_PIX_FMT_YUV420) needed += 2 * (line / 2) * (streamHeight_ / 2);
    if (bytes < needed) return nullptr;
    auto frame = PixelBuffer::create(width, height, PixelFormat::NV12VideoRange);
    if (!frame) return nullptr;
    switch (streamPixelFormat_) {
    case V4L2_PIX_FMT_YUYV:
        packed422ToNV12(data, line, 0, *frame);
        return frame;
    case V4L2_PIX_FMT_UYVY:
        packed422ToNV12(data, line, 1, *frame);
        return frame;
    case V4L2_PIX_FMT_NV12:
        for (size_t plane = 0; plane < 2; ++plane) {
            const uint8_t* source = data + (plane == 0 ? 0 : line * streamHeight_);
            for (int32_t y = 0; y < frame->planeHeight(plane); ++y) {
                std::memcpy(frame->planeData(plane) + frame->bytesPerRow(plane) * static_cast<size_t>(y),
                            source + line * static_cast<size_t>(y), streamWidth_);
            }
        }
        return frame;
    case V4L2_PIX_FMT_YUV420: {
        for (int32_t y = 0; y < height; ++y) {
            std::memcpy(frame->planeData(0) + frame->bytesPerRow(0) * static_cast<size_t>(y),
                        data + line * static_cast<size_t>(y), streamWidth_);
        }
        const size_t chromaLine = line / 2;
        const uint8_t* u = data + line * streamHeight_;
        const uint8_t* v = u + chromaLine * (streamHeight_ / 2);
        for (int32_t y = 0; y < height / 2; ++y) {
            uint8_t* uv = frame->planeData(1) + frame->bytesPerRow(1) * static_cast<size_t>(y);
            for (int32_t x = 0; x < width / 2; ++x) {
                uv[2 * x] = u[chromaLine * static_cast<size_t>(y) + static_cast<size_t>(x)];
                uv[2 * x + 1] = v[chromaLine * static_cast<size_t>(y) + static_cast<size_t>(x)];
            }
        }
        return frame;
    }
    default:
        return nullptr;
    }
}

void V4L2CaptureDevice::run(uint64_t firstGeneration, const FrameSink& sink, const FailureSink& failure) {
    auto fail = [&](const CaptureError& error) {
        endStream();
        if (failure) failure(error);
    };
    uint64_t generation = firstGeneration;
    bool begun = true;  // startStreaming() began the first stream
    while (!thread_.stopping()) {
        const MediaTime duration = activeVideoMinFrameDuration();
        if (!begun) {
            generation = configurationGeneration();
            CaptureError error;
            if (!beginStream(activeFormat(), duration, &error)) return fail(error);
        }
        begun = false;
        const int64_t intervalNs = duration.isNumeric() ? static_cast<int64_t>(duration.seconds() * 1e9) : 0;
        int64_t due = 0;
        int unusable = 0;  // frames in a row that could not be handed on
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
            if (keep) {
                std::shared_ptr<PixelBuffer> frame;
                if (buffer.index < mappings_.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
                    const Mapping& mapping = mappings_[buffer.index];
                    const size_t bytes = std::min<size_t>(buffer.bytesused, mapping.length);
                    frame = convert(static_cast<const uint8_t*>(mapping.address), bytes);
                }
                if (frame) {
                    // The next turn; after a stall of more than an interval, counted from now.
                    due = (due == 0 || now - due > intervalNs) ? now + intervalNs : due + intervalNs;
                    unusable = 0;
                    sink(frame, MediaTime::make(now, 1000000000));
                } else if (++unusable >= kUnusableFramesBeforeFailure) {
                    return fail({kCaptureErrorDeviceFailed, "the camera's frames can't be converted"});
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
