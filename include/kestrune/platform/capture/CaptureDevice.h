#pragma once
// A camera: its formats, the active one and its frame durations, zoom, torch, focus and exposure,
// and the lock that guards configuration. Backends (synthetic, V4L2) supply the frames and apply
// the controls; this class holds the state and refuses what the device can't take, quietly and
// with a false answer, where the platform would throw.
//
// Thread-safe: configuration comes from the host's thread, frames leave on the backend's thread.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/platform/Geometry.h"
#include "kestrune/platform/SessionPreset.h"
#include "kestrune/platform/capture/CaptureDeviceFormat.h"
#include "kestrune/platform/capture/CaptureError.h"
#include "kestrune/platform/capture/CaptureTypes.h"
#include "kestrune/platform/media/MediaTime.h"
#include "kestrune/platform/media/PixelBuffer.h"

namespace platform {

// What a backend offers beyond formats; a synthetic camera offers everything.
struct CaptureDeviceControls {
    bool focusPointOfInterest = false;
    std::vector<FocusMode> focusModes;
    bool exposurePointOfInterest = false;
    std::vector<ExposureMode> exposureModes;
    bool torch = false;
};

class CaptureDevice : public std::enable_shared_from_this<CaptureDevice> {
public:
    // A frame in the active format (NV12, sensor orientation) with its capture time.
    using FrameSink = std::function<void(const std::shared_ptr<PixelBuffer>& frame, MediaTime presentationTime)>;
    // The stream stopped on its own (device gone, read failure).
    using FailureSink = std::function<void(const CaptureError& error)>;

    virtual ~CaptureDevice();
    CaptureDevice(const CaptureDevice&) = delete;
    CaptureDevice& operator=(const CaptureDevice&) = delete;

    // Every device of the type, as the registry holds them, and the default (first back, else first).
    static std::vector<std::shared_ptr<CaptureDevice>> devicesWithMediaType(MediaType type);
    static std::shared_ptr<CaptureDevice> defaultDeviceWithMediaType(MediaType type);

    const std::string& uniqueID() const { return uniqueID_; }
    const std::string& localizedName() const { return localizedName_; }
    CaptureDevicePosition position() const { return position_; }
    bool hasMediaType(MediaType type) const { return type == MediaType::Video; }

    const std::vector<CaptureDeviceFormat>& formats() const { return formats_; }
    CaptureDeviceFormat activeFormat() const;
    MediaTime activeVideoMinFrameDuration() const;
    MediaTime activeVideoMaxFrameDuration() const;
    // Need the configuration lock; a format not in formats() or a duration outside the active
    // format's ranges is refused. A new format resets the durations to its fastest rate.
    bool setActiveFormat(const CaptureDeviceFormat& format);
    bool setActiveVideoMinFrameDuration(MediaTime duration);
    bool setActiveVideoMaxFrameDuration(MediaTime duration);
    // Fixed presets need a format of exactly that size; High, Medium and Low any format.
    virtual bool supportsSessionPreset(const SessionPreset& preset) const;
    // Makes the format the preset names active (no lock needed: the session owns presets): one that
    // runs at the last rate asked with setActiveVideoMinFrameDuration() (30 until then), of the
    // preset's size (High: the largest up to 1920x1080, Medium: up to 640x480, Low: the smallest),
    // uncompressed before MJPEG. When no format of the size reaches the rate, the fastest one.
    bool applySessionPreset(const SessionPreset& preset);

    // Fails when another owner holds the device. Nested locks by this process count.
    bool lockForConfiguration(CaptureError* error = nullptr);
    void unlockForConfiguration();
    bool isLockedForConfiguration() const;

    double videoZoomFactor() const;
    // A factor outside [1, active format's maximum] or not a finite number is refused.
    bool setVideoZoomFactor(double factor);

    bool isFocusPointOfInterestSupported() const;
    bool isFocusModeSupported(FocusMode mode) const;
    Point focusPointOfInterest() const;
    FocusMode focusMode() const;
    bool setFocusPointOfInterest(Point point);
    bool setFocusMode(FocusMode mode);
    bool isExposurePointOfInterestSupported() const;
    bool isExposureModeSupported(ExposureMode mode) const;
    Point exposurePointOfInterest() const;
    ExposureMode exposureMode() const;
    bool setExposurePointOfInterest(Point point);
    bool setExposureMode(ExposureMode mode);
    bool isSubjectAreaChangeMonitoringEnabled() const;
    bool setSubjectAreaChangeMonitoringEnabled(bool enabled);

    bool hasTorch() const;
    bool isTorchAvailable() const;
    bool isTorchActive() const;
    bool isTorchModeSupported(TorchMode mode) const;
    TorchMode torchMode() const;
    float torchLevel() const;
    bool setTorchMode(TorchMode mode);
    // Level in (0, 1]; kCaptureErrorTorchLevelUnavailable when the torch can't give it.
    bool setTorchModeOnWithLevel(float level, CaptureError* error = nullptr);

    // Another owner holds the device (a busy video node): no lock, no session takes it.
    virtual bool isInUseByAnotherOwner() const { return false; }
    // Whether the device can be opened now (an input is made of it only then).
    virtual bool open(CaptureError* error);
    // Frames flow to `sink` from the backend's thread until stopStreaming() returns.
    virtual bool startStreaming(FrameSink sink, FailureSink failure) = 0;
    virtual void stopStreaming() = 0;

protected:
    CaptureDevice(std::string uniqueID, std::string localizedName, CaptureDevicePosition position,
                  std::vector<CaptureDeviceFormat> formats, CaptureDeviceControls controls);

    // Backend hooks, called under the device's lock once the value is accepted.
    virtual bool applyZoom(double /*factor*/) { return true; }
    virtual bool applyFocusMode(FocusMode /*mode*/) { return true; }
    virtual bool applyExposureMode(ExposureMode /*mode*/) { return true; }
    virtual bool applyTorch(TorchMode /*mode*/, float /*level*/) { return true; }

    struct ActiveState {
        size_t formatIndex = 0;
        MediaTime minFrameDuration;
        MediaTime maxFrameDuration;
    };
    // The format and durations a streaming backend should run at now.
    ActiveState activeState() const;
    // Grows whenever the format or durations change, so a streaming backend sees it cheaply.
    uint64_t configurationGeneration() const;

private:
    bool lockedForChange(const char* what) const;
    std::optional<size_t> indexOfFormat(const CaptureDeviceFormat& format) const;
    bool durationAllowed(MediaTime duration) const;
    void resetDurationsLocked();
    size_t formatForPresetLocked(const SessionPreset& preset) const;

    const std::string uniqueID_;
    const std::string localizedName_;
    const CaptureDevicePosition position_;
    const std::vector<CaptureDeviceFormat> formats_;
    const CaptureDeviceControls controls_;

    mutable std::mutex mutex_;
    int lockCount_ = 0;
    ActiveState active_;
    double askedFrameRate_ = 30;
    uint64_t generation_ = 0;
    double zoomFactor_ = 1.0;
    Point focusPoint_{0.5, 0.5};
    FocusMode focusMode_ = FocusMode::ContinuousAutoFocus;
    Point exposurePoint_{0.5, 0.5};
    ExposureMode exposureMode_ = ExposureMode::ContinuousAutoExposure;
    bool subjectAreaMonitoring_ = false;
    TorchMode torchMode_ = TorchMode::Off;
    float torchLevel_ = 0;
};

}  // namespace platform
