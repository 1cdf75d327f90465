#include "platform/capture/CaptureDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "platform/capture/CaptureDeviceRegistry.h"

namespace platform {

namespace {

int64_t area(const CaptureDeviceFormat& format) { return int64_t{format.width} * format.height; }

double fastestRate(const CaptureDeviceFormat& format) {
    double fastest = 0;
    for (const auto& range : format.videoSupportedFrameRateRanges) fastest = std::max(fastest, range.maxFrameRate);
    return fastest;
}

bool fixedPresetSize(const SessionPreset& preset, int32_t* width, int32_t* height) {
    return std::sscanf(preset.c_str(), "%dx%d", width, height) == 2;
}

}  // namespace

FrameRateRange FrameRateRange::make(double minFrameRate, double maxFrameRate) {
    FrameRateRange range;
    range.minFrameRate = minFrameRate;
    range.maxFrameRate = maxFrameRate;
    // Rates like 29.97 are 30000/1001: a duration of 1001/30000 keeps them exact.
    auto duration = [](double rate) {
        if (rate <= 0) return MediaTime::invalid();
        if (rate == std::floor(rate)) return MediaTime::make(1, static_cast<int32_t>(rate));
        return MediaTime::make(1001, static_cast<int32_t>(std::lround(rate * 1001)));
    };
    range.minFrameDuration = duration(maxFrameRate);
    range.maxFrameDuration = duration(minFrameRate);
    return range;
}

CaptureDevice::CaptureDevice(std::string uniqueID, std::string localizedName, CaptureDevicePosition position,
                             std::vector<CaptureDeviceFormat> formats, CaptureDeviceControls controls)
    : uniqueID_(std::move(uniqueID)),
      localizedName_(std::move(localizedName)),
      position_(position),
      formats_(std::move(formats)),
      controls_(std::move(controls)) {
    resetDurationsLocked();
    if (!isFocusModeSupported(focusMode_) && !controls_.focusModes.empty()) focusMode_ = controls_.focusModes.front();
    if (!isExposureModeSupported(exposureMode_) && !controls_.exposureModes.empty()) {
        exposureMode_ = controls_.exposureModes.front();
    }
}

CaptureDevice::~CaptureDevice() = default;

std::vector<std::shared_ptr<CaptureDevice>> CaptureDevice::devicesWithMediaType(MediaType type) {
    std::vector<std::shared_ptr<CaptureDevice>> found;
    for (auto& device : CaptureDeviceRegistry::shared().devices()) {
        if (device->hasMediaType(type)) found.push_back(device);
    }
    return found;
}

std::shared_ptr<CaptureDevice> CaptureDevice::defaultDeviceWithMediaType(MediaType type) {
    auto devices = devicesWithMediaType(type);
    for (auto& device : devices) {
        if (device->position() == CaptureDevicePosition::Back) return device;
    }
    return devices.empty() ? nullptr : devices.front();
}

bool CaptureDevice::open(CaptureError* error) {
    if (!formats_.empty()) return true;
    if (error) *error = {kCaptureErrorDeviceNotAvailable, "the device offers no format"};
    return false;
}

CaptureDeviceFormat CaptureDevice::activeFormat() const {
    std::lock_guard lock(mutex_);
    return formats_.empty() ? CaptureDeviceFormat{} : formats_[active_.formatIndex];
}

MediaTime CaptureDevice::activeVideoMinFrameDuration() const {
    std::lock_guard lock(mutex_);
    return active_.minFrameDuration;
}

MediaTime CaptureDevice::activeVideoMaxFrameDuration() const {
    std::lock_guard lock(mutex_);
    return active_.maxFrameDuration;
}

std::optional<size_t> CaptureDevice::indexOfFormat(const CaptureDeviceFormat& format) const {
    auto it = std::find(formats_.begin(), formats_.end(), format);
    if (it == formats_.end()) return std::nullopt;
    return static_cast<size_t>(it - formats_.begin());
}

void CaptureDevice::resetDurationsLocked() {
    active_.minFrameDuration = MediaTime::invalid();
    active_.maxFrameDuration = MediaTime::invalid();
    if (formats_.empty()) return;
    const auto& ranges = formats_[active_.formatIndex].videoSupportedFrameRateRanges;
    const FrameRateRange* fastest = nullptr;
    for (const auto& range : ranges) {
        if (!fastest || range.maxFrameRate > fastest->maxFrameRate) fastest = &range;
    }
    if (fastest) {
        active_.minFrameDuration = fastest->minFrameDuration;
        active_.maxFrameDuration = fastest->minFrameDuration;
    }
    ++generation_;
}

bool CaptureDevice::lockedForChange(const char* what) const {
    if (lockCount_ > 0) return true;
    std::fprintf(stderr, "capture device %s: %s refused, not locked for configuration\n", uniqueID_.c_str(), what);
    return false;
}

bool CaptureDevice::setActiveFormat(const CaptureDeviceFormat& format) {
    std::lock_guard lock(mutex_);
    auto index = indexOfFormat(format);
    if (!index || !lockedForChange("format")) return false;
    if (*index != active_.formatIndex) {
        active_.formatIndex = *index;
        resetDurationsLocked();
        zoomFactor_ = std::min(zoomFactor_, formats_[*index].videoMaxZoomFactor);
    }
    return true;
}

bool CaptureDevice::durationAllowed(MediaTime duration) const {
    if (!duration.isNumeric() || duration.seconds() <= 0) return false;
    const double rate = 1.0 / duration.seconds();
    for (const auto& range : formats_[active_.formatIndex].videoSupportedFrameRateRanges) {
        // A thousandth of a frame per second covers 1/29.97 rounding.
        if (rate >= range.minFrameRate - 1e-3 && rate <= range.maxFrameRate + 1e-3) return true;
    }
    return false;
}

bool CaptureDevice::setActiveVideoMinFrameDuration(MediaTime duration) {
    std::lock_guard lock(mutex_);
    if (formats_.empty() || !durationAllowed(duration) || !lockedForChange("frame duration")) return false;
    active_.minFrameDuration = duration;
    if (active_.maxFrameDuration < duration) active_.maxFrameDuration = duration;
    askedFrameRate_ = 1.0 / duration.seconds();
    ++generation_;
    return true;
}

bool CaptureDevice::setActiveVideoMaxFrameDuration(MediaTime duration) {
    std::lock_guard lock(mutex_);
    if (formats_.empty() || !durationAllowed(duration) || !lockedForChange("frame duration")) return false;
    active_.maxFrameDuration = duration;
    if (duration < active_.minFrameDuration) active_.minFrameDuration = duration;
    ++generation_;
    return true;
}

bool CaptureDevice::supportsSessionPreset(const SessionPreset& preset) const {
    if (formats_.empty()) return false;
    if (preset == kSessionPresetHigh || preset == kSessionPresetMedium || preset == kSessionPresetLow) return true;
    int32_t width = 0;
    int32_t height = 0;
    if (!fixedPresetSize(preset, &width, &height)) return false;
    return std::any_of(formats_.begin(), formats_.end(),
                       [&](const CaptureDeviceFormat& f) { return f.width == width && f.height == height; });
}

bool CaptureDevice::applySessionPreset(const SessionPreset& preset) {
    if (!supportsSessionPreset(preset)) return false;
    std::lock_guard lock(mutex_);
    const size_t chosen = formatForPresetLocked(preset);
    if (chosen != active_.formatIndex) {
        active_.formatIndex = chosen;
        resetDurationsLocked();
        zoomFactor_ = std::min(zoomFactor_, formats_[chosen].videoMaxZoomFactor);
    }
    return true;
}

size_t CaptureDevice::formatForPresetLocked(const SessionPreset& preset) const {
    int32_t width = 0;
    int32_t height = 0;
    const bool fixed = fixedPresetSize(preset, &width, &height);
    std::vector<size_t> pool;
    for (size_t i = 0; i < formats_.size(); ++i) {
        if (!fixed || (formats_[i].width == width && formats_[i].height == height)) pool.push_back(i);
    }
    // Only formats that run at the asked rate, unless none does (then the fastest of them).
    std::vector<size_t> fast;
    for (size_t i : pool) {
        if (fastestRate(formats_[i]) >= askedFrameRate_ - 1e-3) fast.push_back(i);
    }
    if (fast.empty()) {
        double best = -1;
        for (size_t i : pool) best = std::max(best, fastestRate(formats_[i]));
        for (size_t i : pool) {
            if (fastestRate(formats_[i]) == best) fast.push_back(i);
        }
    }
    // The frame size: High the largest up to 1080p, Medium the largest up to 640x480, Low the
    // smallest; each falls back to the nearest size beyond its bound.
    auto pick = [&](auto better) {
        size_t best = fast.front();
        for (size_t i : fast) {
            if (better(area(formats_[i]), area(formats_[best]))) best = i;
        }
        return area(formats_[best]);
    };
    auto largestUpTo = [&](int64_t bound) {
        const int64_t within = pick([bound](int64_t a, int64_t b) {
            if ((a <= bound) != (b <= bound)) return a <= bound;
            return a <= bound ? a > b : a < b;
        });
        return within;
    };
    int64_t size = 0;
    if (fixed) size = area(formats_[fast.front()]);
    else if (preset == kSessionPresetHigh) size = largestUpTo(int64_t{1920} * 1080);
    else if (preset == kSessionPresetMedium) size = largestUpTo(int64_t{640} * 480);
    else size = pick([](int64_t a, int64_t b) { return a < b; });
    // Of that size, an uncompressed layout before one the backend must decode.
    std::optional<size_t> compressed;
    for (size_t i : fast) {
        if (area(formats_[i]) != size) continue;
        if (!formats_[i].compressed) return i;
        if (!compressed) compressed = i;
    }
    return compressed.value_or(fast.front());
}

bool CaptureDevice::lockForConfiguration(CaptureError* error) {
    if (isInUseByAnotherOwner()) {
        if (error) *error = {kCaptureErrorDeviceLocked, "the device is in use by another owner"};
        return false;
    }
    std::lock_guard lock(mutex_);
    ++lockCount_;
    return true;
}

void CaptureDevice::unlockForConfiguration() {
    std::lock_guard lock(mutex_);
    if (lockCount_ > 0) --lockCount_;
}

bool CaptureDevice::isLockedForConfiguration() const {
    std::lock_guard lock(mutex_);
    return lockCount_ > 0;
}

double CaptureDevice::videoZoomFactor() const {
    std::lock_guard lock(mutex_);
    return zoomFactor_;
}

bool CaptureDevice::setVideoZoomFactor(double factor) {
    std::lock_guard lock(mutex_);
    if (formats_.empty() || !std::isfinite(factor) || factor < 1.0) return false;
    if (factor > formats_[active_.formatIndex].videoMaxZoomFactor) return false;
    if (!lockedForChange("zoom") || !applyZoom(factor)) return false;
    zoomFactor_ = factor;
    return true;
}

bool CaptureDevice::isFocusPointOfInterestSupported() const { return controls_.focusPointOfInterest; }

bool CaptureDevice::isFocusModeSupported(FocusMode mode) const {
    return std::find(controls_.focusModes.begin(), controls_.focusModes.end(), mode) != controls_.focusModes.end();
}

Point CaptureDevice::focusPointOfInterest() const {
    std::lock_guard lock(mutex_);
    return focusPoint_;
}

FocusMode CaptureDevice::focusMode() const {
    std::lock_guard lock(mutex_);
    return focusMode_;
}

bool CaptureDevice::setFocusPointOfInterest(Point point) {
    std::lock_guard lock(mutex_);
    if (!controls_.focusPointOfInterest || !lockedForChange("focus point")) return false;
    focusPoint_ = point;
    return true;
}

bool CaptureDevice::setFocusMode(FocusMode mode) {
    std::lock_guard lock(mutex_);
    if (!isFocusModeSupported(mode) || !lockedForChange("focus mode") || !applyFocusMode(mode)) return false;
    focusMode_ = mode;
    return true;
}

bool CaptureDevice::isExposurePointOfInterestSupported() const { return controls_.exposurePointOfInterest; }

bool CaptureDevice::isExposureModeSupported(ExposureMode mode) const {
    const auto& modes = controls_.exposureModes;
    return std::find(modes.begin(), modes.end(), mode) != modes.end();
}

Point CaptureDevice::exposurePointOfInterest() const {
    std::lock_guard lock(mutex_);
    return exposurePoint_;
}

ExposureMode CaptureDevice::exposureMode() const {
    std::lock_guard lock(mutex_);
    return exposureMode_;
}

bool CaptureDevice::setExposurePointOfInterest(Point point) {
    std::lock_guard lock(mutex_);
    if (!controls_.exposurePointOfInterest || !lockedForChange("exposure point")) return false;
    exposurePoint_ = point;
    return true;
}

bool CaptureDevice::setExposureMode(ExposureMode mode) {
    std::lock_guard lock(mutex_);
    if (!isExposureModeSupported(mode) || !lockedForChange("exposure mode") || !applyExposureMode(mode)) return false;
    exposureMode_ = mode;
    return true;
}

bool CaptureDevice::isSubjectAreaChangeMonitoringEnabled() const {
    std::lock_guard lock(mutex_);
    return subjectAreaMonitoring_;
}

bool CaptureDevice::setSubjectAreaChangeMonitoringEnabled(bool enabled) {
    std::lock_guard lock(mutex_);
    if (!lockedForChange("subject area monitoring")) return false;
    subjectAreaMonitoring_ = enabled;
    return true;
}

bool CaptureDevice::hasTorch() const { return controls_.torch; }
bool CaptureDevice::isTorchAvailable() const { return controls_.torch; }

bool CaptureDevice::isTorchActive() const {
    std::lock_guard lock(mutex_);
    return controls_.torch && torchMode_ == TorchMode::On;
}

bool CaptureDevice::isTorchModeSupported(TorchMode mode) const {
    return mode == TorchMode::Off || (controls_.torch && (mode == TorchMode::On || mode == TorchMode::Auto));
}

TorchMode CaptureDevice::torchMode() const {
    std::lock_guard lock(mutex_);
    return torchMode_;
}

float CaptureDevice::torchLevel() const {
    std::lock_guard lock(mutex_);
    return torchLevel_;
}

bool CaptureDevice::setTorchMode(TorchMode mode) {
    std::lock_guard lock(mutex_);
    if (!isTorchModeSupported(mode) || !lockedForChange("torch")) return false;
    const float level = mode == TorchMode::On ? 1.0f : 0.0f;
    if (!applyTorch(mode, level)) return false;
    torchMode_ = mode;
    torchLevel_ = level;
    return true;
}

bool CaptureDevice::setTorchModeOnWithLevel(float level, CaptureError* error) {
    std::lock_guard lock(mutex_);
    if (!controls_.torch || !std::isfinite(level) || level <= 0 || level > 1) {
        if (error) *error = {kCaptureErrorInvalidArgument, "torch level out of range"};
        return false;
    }
    if (!lockedForChange("torch") || !applyTorch(TorchMode::On, level)) {
        if (error) *error = {kCaptureErrorTorchLevelUnavailable, "the torch can't give that level now"};
        return false;
    }
    torchMode_ = TorchMode::On;
    torchLevel_ = level;
    return true;
}

CaptureDevice::ActiveState CaptureDevice::activeState() const {
    std::lock_guard lock(mutex_);
    return active_;
}

uint64_t CaptureDevice::configurationGeneration() const {
    std::lock_guard lock(mutex_);
    return generation_;
}

}  // namespace platform
