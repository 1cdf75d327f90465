#pragma once
// A stand-in V4L2 driver for one camera node that streams: it lists the formats and controls it
// is given, answers S_FMT (optionally with another layout or size, as some drivers do), hands out
// mmapped buffers, fills a queued buffer with the next image when polled, and records the calls in
// order. Faults: a failing QBUF at start, an unplug after some frames, controls that refuse.
#include <linux/videodev2.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/capture/V4L2Io.h"

namespace v4l2test {

struct FakeFormat {
    uint32_t pixelFormat;
    uint32_t width;
    uint32_t height;
    std::vector<v4l2_fract> intervals;  // discrete
};

struct FakeControl {
    int32_t minimum;
    int32_t maximum;
};

// One call as the driver saw it: the request and the buffer index or control it named.
struct Call {
    unsigned long request;
    int64_t argument;
};

class StreamingV4L2Io : public platform::V4L2Io {
public:
    static constexpr int kFd = 11;
    using Image = std::function<std::vector<uint8_t>(uint32_t pixelFormat, uint32_t width, uint32_t height)>;

    // Without an image every frame comes empty.
    explicit StreamingV4L2Io(std::vector<FakeFormat> formats, Image image = {})
        : formats_(std::move(formats)), image_(std::move(image)) {}

    // --- Set before streaming.
    std::map<uint32_t, FakeControl> controls;
    std::vector<uint32_t> refusedControls;   // S_CTRL answers EIO
    std::optional<uint32_t> substitutePixelFormat;
    std::optional<std::pair<uint32_t, uint32_t>> substituteSize;
    std::optional<uint32_t> failQbufOfIndex;  // the first QBUF of this index fails
    std::optional<uint32_t> unplugAfterFrames;

    // --- What happened.
    std::vector<Call> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::map<uint32_t, int32_t> controlValues() {
        std::lock_guard lock(mutex_);
        return controlValues_;
    }
    int mappedNow() const { return mapped_.load(); }
    v4l2_pix_format asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }

    std::vector<std::string> candidateNodes() override { return {"/dev/video0"}; }
    int open(const std::string&) override { return kFd; }
    int close(int) override { return 0; }

    int ioctl(int, unsigned long request, void* argument) override {
        std::lock_guard lock(mutex_);
        switch (request) {
        case VIDIOC_QUERYCAP: {
            auto* caps = static_cast<v4l2_capability*>(argument);
            std::strcpy(reinterpret_cast<char*>(caps->card), "Streaming Cam");
            caps->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
            return 0;
        }
        case VIDIOC_ENUM_FMT: {
            auto* d = static_cast<v4l2_fmtdesc*>(argument);
            const auto layouts = pixelFormats();
            if (d->index >= layouts.size()) return fail(EINVAL);
            d->pixelformat = layouts[d->index];
            return 0;
        }
        case VIDIOC_ENUM_FRAMESIZES: {
            auto* s = static_cast<v4l2_frmsizeenum*>(argument);
            uint32_t seen = 0;
            for (const auto& f : formats_) {
                if (f.pixelFormat != s->pixel_format || seen++ != s->index) continue;
                s->type = V4L2_FRMSIZE_TYPE_DISCRETE;
                s->discrete = {f.width, f.height};
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_ENUM_FRAMEINTERVALS: {
            auto* i = static_cast<v4l2_frmivalenum*>(argument);
            for (const auto& f : formats_) {
                if (f.pixelFormat != i->pixel_format || f.width != i->width || f.height != i->height) continue;
                if (i->index >= f.intervals.size()) return fail(EINVAL);
                i->type = V4L2_FRMIVAL_TYPE_DISCRETE;
                i->discrete = f.intervals[i->index];
                return 0;
            }
            return fail(EINVAL);
        }
        case VIDIOC_QUERYCTRL: {
            auto* c = static_cast<v4l2_queryctrl*>(argument);
            auto it = controls.find(c->id);
            if (it == controls.end()) return fail(EINVAL);
            c->minimum = it->second.minimum;
            c->maximum = it->second.maximum;
            return 0;
        }
        case VIDIOC_S_CTRL: {
            auto* c = static_cast<v4l2_control*>(argument);
            record(request, c->id);
            if (!controls.count(c->id)) return fail(EINVAL);
            for (uint32_t id : refusedControls) {
                if (id == c->id) return fail(EIO);
            }
            controlValues_[c->id] = c->value;
            return 0;
        }
        case VIDIOC_S_FMT: {
            auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
            asked_ = pix;
            if (substitutePixelFormat) pix.pixelformat = *substitutePixelFormat;
            if (substituteSize) {
                pix.width = substituteSize->first;
                pix.height = substituteSize->second;
            }
            const bool packed = pix.pixelformat == V4L2_PIX_FMT_YUYV || pix.pixelformat == V4L2_PIX_FMT_UYVY;
            pix.bytesperline = pix.pixelformat == V4L2_PIX_FMT_MJPEG ? 0 : pix.width * (packed ? 2 : 1);
            streaming_ = pix;
            record(request, pix.pixelformat);
            return 0;
        }
        case VIDIOC_S_PARM: record(request, 0); return 0;
        case VIDIOC_REQBUFS: {
            auto* r = static_cast<v4l2_requestbuffers*>(argument);
            record(request, r->count);
            if (r->count == 0) {
                buffers_.clear();
                return 0;
            }
            r->count = kBuffers;
            buffers_.assign(kBuffers, std::vector<uint8_t>(kBufferBytes));
            return 0;
        }
        case VIDIOC_QUERYBUF: {
            auto* b = static_cast<v4l2_buffer*>(argument);
            if (b->index >= buffers_.size()) return fail(EINVAL);
            b->length = kBufferBytes;
            b->m.offset = b->index * kBufferBytes;
            return 0;
        }
        case VIDIOC_QBUF: {
            auto* b = static_cast<v4l2_buffer*>(argument);
            record(request, b->index);
            if (failQbufOfIndex && *failQbufOfIndex == b->index) {
                failQbufOfIndex.reset();
                return fail(EINVAL);
            }
            queued_.push_back(b->index);
            ready_.notify_all();
            return 0;
        }
        case VIDIOC_DQBUF: {
            auto* b = static_cast<v4l2_buffer*>(argument);
            if (unplugAfterFrames && dequeued_.load() >= *unplugAfterFrames) return fail(ENODEV);
            if (queued_.empty()) return fail(EAGAIN);
            const uint32_t index = queued_.front();
            queued_.pop_front();
            std::vector<uint8_t> image;
            if (image_) image = image_(streaming_.pixelformat, streaming_.width, streaming_.height);
            const size_t bytes = std::min(image.size(), buffers_[index].size());
            std::memcpy(buffers_[index].data(), image.data(), bytes);
            b->index = index;
            b->bytesused = static_cast<uint32_t>(bytes);
            // Thirty frames a second on the monotonic clock, so that no frame is early for its turn.
            b->flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            const int64_t us = 1000000 + int64_t{dequeued_.load()} * 33334;
            b->timestamp.tv_sec = us / 1000000;
            b->timestamp.tv_usec = us % 1000000;
            record(request, index);
            ++dequeued_;
            return 0;
        }
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF: record(request, 0); return 0;
        default: return fail(ENOTTY);
        }
    }

    void* mmap(size_t, int, off_t offset) override {
        std::lock_guard lock(mutex_);
        const size_t index = static_cast<size_t>(offset) / kBufferBytes;
        if (index >= buffers_.size()) return nullptr;
        ++mapped_;
        return buffers_[index].data();
    }
    int munmap(void*, size_t) override {
        --mapped_;
        return 0;
    }
    int poll(int, int timeoutMs) override {
        std::unique_lock lock(mutex_);
        const bool frame = ready_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !queued_.empty(); });
        return frame ? 1 : 0;
    }

private:
    static constexpr size_t kBufferBytes = 4 * 1024 * 1024;
    static constexpr uint32_t kBuffers = 3;  // what REQBUFS grants, whatever was asked

    static int fail(int error) {
        errno = error;
        return -1;
    }
    std::vector<uint32_t> pixelFormats() const {
        std::vector<uint32_t> layouts;
        for (const auto& f : formats_) {
            if (std::find(layouts.begin(), layouts.end(), f.pixelFormat) == layouts.end()) layouts.push_back(f.pixelFormat);
        }
        return layouts;
    }
    void record(unsigned long request, int64_t argument) { calls_.push_back({request, argument}); }

    const std::vector<FakeFormat> formats_;
    const Image image_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<Call> calls_;
    std::map<uint32_t, int32_t> controlValues_;
    std::vector<std::vector<uint8_t>> buffers_;
    std::deque<uint32_t> queued_;
    v4l2_pix_format asked_{};
    v4l2_pix_format streaming_{};
    std::atomic<uint32_t> dequeued_{0};
    std::atomic<int> mapped_{0};
};

}  // namespace v4l2test
