#include "platform/capture/SyntheticCaptureDevice.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr uint8_t kLumaDark = 16;
constexpr uint8_t kLumaBright = 235;
constexpr uint8_t kLumaBackground = 64;
constexpr uint8_t kLumaBar = 160;
// The detailed picture's luma noise, made once: rows are copied from it at random places.
constexpr size_t kNoiseBytes = size_t{1} << 20;

uint64_t nextNoise(uint64_t state) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
}

const std::vector<uint8_t>& noise() {
    static const auto* bytes = [] {
        auto* made = new std::vector<uint8_t>(kNoiseBytes);
        uint64_t state = 0x2545F4914F6CDD1Dull;
        for (auto& byte : *made) {
            state = nextNoise(state);
            byte = static_cast<uint8_t>(kLumaDark + (state >> 24) % (kLumaBright - kLumaDark + 1));
        }
        return made;
    }();
    return *bytes;
}

// `length` bytes (a row, far shorter than the noise) from a place `pick` chooses.
const uint8_t* noiseAt(uint64_t pick, size_t length) { return noise().data() + pick % (kNoiseBytes - length); }

// The frame number: 32 cells of 8x8 pixels, most significant bit first, right of the marker.
constexpr int32_t kCellSize = 8;
constexpr int32_t kCellsX = SyntheticCaptureDevice::kMarkerSize * 2;
constexpr int kNumberBits = 32;

std::vector<CaptureDeviceFormat> phoneFormats(double maxZoom) {
    auto format = [maxZoom](int32_t w, int32_t h, std::vector<FrameRateRange> ranges) {
        CaptureDeviceFormat f;
        f.width = w;
        f.height = h;
        f.videoSupportedFrameRateRanges = std::move(ranges);
        f.videoMaxZoomFactor = maxZoom;
        return f;
    };
    return {
        format(352, 288, {FrameRateRange::make(1, 30)}),
        format(640, 480, {FrameRateRange::make(1, 30)}),
        format(640, 480, {FrameRateRange::make(1, 60)}),
        format(1280, 720, {FrameRateRange::make(1, 30)}),
        format(1280, 720, {FrameRateRange::make(1, 60)}),
        format(1920, 1080, {FrameRateRange::make(1, 30)}),
    };
}

}  // namespace

std::shared_ptr<SyntheticCaptureDevice> SyntheticCaptureDevice::create(std::string uniqueID,
                                                                       std::string localizedName,
                                                                       CaptureDevicePosition position,
                                                                       std::vector<CaptureDeviceFormat> formats,
                                                                       CaptureDeviceControls controls) {
    return std::shared_ptr<SyntheticCaptureDevice>(new SyntheticCaptureDevice(
        std::move(uniqueID), std::move(localizedName), position, std::move(formats), std::move(controls)));
}

std::shared_ptr<SyntheticCaptureDevice> SyntheticCaptureDevice::phoneBackCamera() {
    CaptureDeviceControls controls;
    controls.focusPointOfInterest = true;
    controls.focusModes = {FocusMode::Locked, FocusMode::AutoFocus, FocusMode::ContinuousAutoFocus};
    controls.exposurePointOfInterest = true;
    controls.exposureModes = {ExposureMode::Locked, ExposureMode::AutoExpose, ExposureMode::ContinuousAutoExposure};
    controls.torch = true;
    return create("synthetic-back", "Synthetic Back Camera", CaptureDevicePosition::Back, phoneFormats(16.0),
                  controls);
}

std::shared_ptr<SyntheticCaptureDevice> SyntheticCaptureDevice::phoneFrontCamera() {
    CaptureDeviceControls controls;
    controls.focusModes = {FocusMode::Locked};
    controls.exposurePointOfInterest = true;
    controls.exposureModes = {ExposureMode::Locked, ExposureMode::AutoExpose, ExposureMode::ContinuousAutoExposure};
    return create("synthetic-front", "Synthetic Front Camera", CaptureDevicePosition::Front, phoneFormats(4.0),
                  controls);
}

SyntheticCaptureDevice::~SyntheticCaptureDevice() { stopStreaming(); }

bool SyntheticCaptureDevice::startStreaming(FrameSink sink, FailureSink failure) {
    if (formats().empty()) return false;
    {
        std::lock_guard lock(mutex_);
        pendingError_.reset();
    }
    return thread_.start([this, sink = std::move(sink), failure = std::move(failure)] { run(sink, failure); });
}

void SyntheticCaptureDevice::stopStreaming() { thread_.stop(); }

void SyntheticCaptureDevice::simulateRuntimeError(CaptureError error) {
    {
        std::lock_guard lock(mutex_);
        pendingError_ = std::move(error);
    }
    thread_.wake();
}

std::optional<CaptureError> SyntheticCaptureDevice::takePendingError() {
    std::lock_guard lock(mutex_);
    auto error = pendingError_;
    pendingError_.reset();
    return error;
}

void SyntheticCaptureDevice::run(FrameSink sink, FailureSink failure) {
    uint32_t number = 0;
    uint64_t generation = ~uint64_t{0};
    int64_t next = CaptureThread::nowNanoseconds();
    int64_t intervalNs = 0;
    CaptureDeviceFormat format;
    for (;;) {
        if (configurationGeneration() != generation) {
            generation = configurationGeneration();
            format = activeFormat();
            const MediaTime duration = activeVideoMinFrameDuration();
            intervalNs = duration.isNumeric() ? static_cast<int64_t>(duration.seconds() * 1e9) : 33333333;
        }
        auto hasError = [this] {
            std::lock_guard lock(mutex_);
            return pendingError_.has_value();
        };
        if (!thread_.sleepUntil(next, hasError)) return;
        if (auto error = takePendingError()) {
            if (failure) failure(*error);
            return;
        }
        const int64_t captured = CaptureThread::nowNanoseconds();
        auto frame = PixelBuffer::create(format.width, format.height, PixelFormat::NV12VideoRange);
        if (frame) {
            draw(*frame, number, detailedPicture_.load());
            sink(frame, MediaTime::make(captured, 1000000000));
        }
        ++number;
        next += intervalNs;
        // After a stall, keep the rate instead of catching up with a burst.
        if (next < captured) next = captured + intervalNs;
    }
}

void SyntheticCaptureDevice::draw(PixelBuffer& frame, uint32_t number, bool detailed) {
    const int32_t width = frame.width();
    const int32_t height = frame.height();
    uint8_t* luma = frame.planeData(0);
    const size_t stride = frame.bytesPerRow(0);
    const int32_t barWidth = std::max(width / 8, 2);
    const int32_t barX = static_cast<int32_t>((int64_t{number} * 8) % width);
    uint64_t rowPick = 0x9E3779B97F4A7C15ull * (number + 1);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = luma + stride * static_cast<size_t>(y);
        if (detailed) {
            // Each row from its own place in the noise, chosen anew every frame: no motion
            // search finds it in the frame before.
            rowPick = nextNoise(rowPick);
            std::memcpy(row, noiseAt(rowPick, static_cast<size_t>(width)), static_cast<size_t>(width));
        } else {
            std::memset(row, kLumaBackground, static_cast<size_t>(width));
        }
        std::memset(row + barX, kLumaBar, static_cast<size_t>(std::min(barWidth, width - barX)));
    }
    const int32_t marker = std::min({kMarkerSize, width, height});
    for (int32_t y = 0; y < marker; ++y) std::memset(luma + stride * static_cast<size_t>(y), kLumaBright, marker);
    if (width < kCellsX + kNumberBits * kCellSize || height < kCellSize) return;
    for (int bit = 0; bit < kNumberBits; ++bit) {
        const bool set = (number >> (kNumberBits - 1 - bit)) & 1u;
        const int32_t x = kCellsX + bit * kCellSize;
        for (int32_t y = 0; y < kCellSize; ++y) {
            std::memset(luma + stride * static_cast<size_t>(y) + x, set ? kLumaBright : kLumaDark, kCellSize);
        }
    }
}

std::optional<uint32_t> SyntheticCaptureDevice::frameNumberOf(const PixelBuffer& frame) {
    if (frame.width() < kCellsX + kNumberBits * kCellSize || frame.height() < kCellSize) return std::nullopt;
    const uint8_t* luma = frame.planeData(0);
    const size_t stride = frame.bytesPerRow(0);
    uint32_t number = 0;
    for (int bit = 0; bit < kNumberBits; ++bit) {
        const uint8_t value = luma[stride * (kCellSize / 2) + static_cast<size_t>(kCellsX + bit * kCellSize + kCellSize / 2)];
        if (value != kLumaBright && value != kLumaDark) return std::nullopt;
        number = (number << 1) | (value == kLumaBright ? 1u : 0u);
    }
    return number;
}

bool SyntheticCaptureDevice::isMarkedAt(const PixelBuffer& frame, int32_t x, int32_t y) {
    if (x < 0 || y < 0 || x + kMarkerSize > frame.width() || y + kMarkerSize > frame.height()) return false;
    const uint8_t* luma = frame.planeData(0);
    const size_t stride = frame.bytesPerRow(0);
    for (int32_t dy = 0; dy < kMarkerSize; dy += kMarkerSize / 4) {
        for (int32_t dx = 0; dx < kMarkerSize; dx += kMarkerSize / 4) {
            if (luma[stride * static_cast<size_t>(y + dy) + static_cast<size_t>(x + dx)] != kLumaBright) return false;
        }
    }
    return true;
}

}  // namespace platform
