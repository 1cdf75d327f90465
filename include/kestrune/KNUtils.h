#pragma once
// The stateless helper object. Its operations come in groups that the areas owning them define:
// capture defines the video parameter tables (resolution, bitrate and video profile groups) and the
// camera/microphone authorization and orientation queries, encoding the recording name.
#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kestrune/KNTypes.h"
#include "kestrune/platform/Geometry.h"

class KNUtils {
public:
    // A new object on every call; every instance sees the same process-wide tables.
    static std::shared_ptr<KNUtils> utils() { return std::make_shared<KNUtils>(); }

    // Resolution (capture). Each table is built once, on first use from any thread, and never
    // changes; the accessors hand out the same table every time.
    // 15 values in table order, 27648 twice, no 0.
    const std::vector<int64_t>& allResolutions() const;
    const std::map<int64_t, platform::Size>& frameSizes() const;
    // 0 x 0 for a resolution without a row.
    KNVideoFrameSize frameSizeForResolution(int64_t resolution) const;
    // "<width>x<height>".
    std::string stringRepresentationForFrameSize(KNVideoFrameSize size) const;

    // Bitrate (capture). The tables hold kbps; the lookups answer bits per second, 0 for a
    // resolution without a row.
    const std::map<int64_t, int32_t>& optimalBitrates() const;
    const std::map<int64_t, int32_t>& minBitrates() const;
    const std::map<int64_t, int32_t>& maxBitrates() const;
    int64_t bitrateForResolution(int64_t resolution) const;
    int64_t minBitrateForResolution(int64_t resolution) const;
    int64_t maxBitrateForResolution(int64_t resolution) const;
    // Raised to the resolution's minimum, then lowered to its maximum: 0 without a row.
    int64_t clampBitrateForResolution(int64_t bitrate, int64_t resolution) const;

    // Video profile (capture).
    const std::map<int64_t, std::string>& videoProfiles() const;
    const std::map<int64_t, std::string>& sessionPresets() const;
    // Baseline auto level for a resolution without a row.
    std::string videoProfileLevelForResolution(int64_t resolution) const;
    // The High preset for a resolution without a row; whether the camera supports it is not asked.
    std::string sessionPressetForResolution(int64_t resolution) const;

    // Extra features (encoding): the name of a new recording, "Stream rec d-MM-yyyy-HH:mm:ss" of
    // the current time in UTC, whatever the locale and time zone.
    std::string nameForLocalFile() const;
    static std::string nameForLocalFileAtTime(std::time_t time);

    // Capture device authorization (capture): 0 not determined, 1 restricted, 2 denied, 3 authorized.
    int64_t microphoneStatus() const;
    int64_t cameraStatus() const;
    bool hasAccessToMicrophone() const;
    bool hasDeterminedAccessToMicrophone() const;
    bool hasAccessToCamera() const;
    bool hasDeterminedAccessToCamera() const;

    // Video orientation (capture): the status bar's orientation, and the capture orientation that
    // matches it (portrait for an unknown one).
    int64_t currentStatusBarOrientation() const;
    int64_t currentCaptureVideoOrientation() const;
};
