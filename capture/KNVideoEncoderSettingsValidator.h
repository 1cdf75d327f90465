#pragma once
// Bounds the camera road's resolution and bitrate for the device: on the oldest phones, frames
// above 1280 x 720 and bitrates above the frame's maximum are lowered (error 6002). Keeps the last
// frame size and bitrate and, on every device, lowers the kept bitrate to the frame's maximum.
// Not thread-safe: one caller at a time.
#include <cstdint>
#include <memory>
#include <optional>

#include "capture/KNVideoEncoderSettingsValidatorDelegate.h"
#include "kestrune/KNError.h"
#include "kestrune/KNTypes.h"

class KNVideoEncoderSettingsValidator {
public:
    static std::shared_ptr<KNVideoEncoderSettingsValidator> create();

    // Each answers the value to use; `error` (may be null) is written only when an old phone
    // lowered the value.
    int64_t validateFrameResolutionWithError(int64_t resolution, std::shared_ptr<KNError>* error);
    KNVideoFrameSize validateFrameSizeWithError(KNVideoFrameSize size, std::shared_ptr<KNError>* error);
    int64_t validateBitrateWithError(int64_t bitrate, std::shared_ptr<KNError>* error);

    // The listed resolution whose pixel count is nearest the current frame's (the lower on a tie).
    int64_t closestThresholdForCurrentResolution() const;
    // Bits per second for the nearest resolution; 0 when it has no threshold.
    int64_t bitrateForCurrentResolution() const;
    // The threshold scaled by the frame's pixel count. A frame nearest to no standard one (the
    // 0 x 0 of an unknown resolution, anything under 13,824 pixels) has no limit: INT32_MAX.
    int32_t maxBitrateForCurrentResolution() const;
    void adjustBitrateIfNeeded();

    KNVideoFrameSize resolution() const { return resolution_; }
    void setResolution(KNVideoFrameSize resolution) { resolution_ = resolution; }
    int64_t bitrate() const { return bitrate_; }
    void setBitrate(int64_t bitrate) { bitrate_ = bitrate; }
    // Owned: a delegate that holds the validator makes a cycle the owner must break.
    const std::shared_ptr<KNVideoEncoderSettingsValidatorDelegate>& delegate() const { return delegate_; }
    void setDelegate(std::shared_ptr<KNVideoEncoderSettingsValidatorDelegate> delegate) {
        delegate_ = std::move(delegate);
    }

    KNVideoEncoderSettingsValidator();

private:
    // The maximum, or nothing when the frame has no limit.
    std::optional<int64_t> maximumBitrate() const;

    KNVideoFrameSize resolution_;
    int64_t bitrate_ = 0;
    std::shared_ptr<KNVideoEncoderSettingsValidatorDelegate> delegate_;
};
