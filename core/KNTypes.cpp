#include "kestrune/KNTypes.h"

#include <cinttypes>
#include <cstdio>

#include "core/KNNumeric.h"

namespace {

const char* const kUnknown = "Unknown";

const std::map<int64_t, std::string>& resolutionNames() {
    static const std::map<int64_t, std::string> names{
        {0, "Custom Resolution"},
        {27648, "192 x 144"},
        {76800, "240p (320 x 240)"},
        {101376, "288p (352 x 288)"},
        {102240, "240p-wide (426 x 240)"},
        {172800, "360p (480 x 360)"},
        {230400, "360p-wide (640 x 360)"},
        {307200, "480p (640 x 480)"},
        {409920, "480p (854 x 480)"},
        {518400, "960 x 540"},
        {921600, "720p (1280 x 720)"},
        {2073600, "1080p (1920 x 1080)"},
        {3686400, "1440p (2560 x 1440)"},
    };
    return names;
}

std::string formatInteger(const char* format, int64_t value) {
    char text[48];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string KNAudioSampleRateAsString(int64_t rate) { return formatInteger("%" PRId64 " Hz", rate); }

std::string KNFrameRateAsString(int64_t rate) { return formatInteger("%" PRId64 "fps", rate); }

std::string KNVideoFrameResolutionAsString(int64_t resolution) {
    const auto& names = resolutionNames();
    auto it = names.find(resolution);
    return it == names.end() ? kUnknown : it->second;
}

std::string KNVideoOrientationAsString(int64_t orientation) {
    switch (orientation) {
        case KNVideoOrientationPortrait: return "PT Orientation";
        case KNVideoOrientationPortraitUpsideDown: return "PT Upside-down Orientation";
        case KNVideoOrientationLandscapeRight: return "LS Right Orientation";
        case KNVideoOrientationLandscapeLeft: return "LS Left Orientation";
        case KNVideoOrientationAutorotate: return "PT & LS - autorotate";
        default: return kUnknown;
    }
}

std::string KNCameraAsString(int64_t camera) {
    switch (camera) {
        case KNCameraBack: return "Back Camera";
        case KNCameraFront: return "Front Camera";
        default: return kUnknown;
    }
}

std::string KNRecordingModeAsString(int64_t mode) {
    switch (mode) {
        case KNRecordingModeAudioAndVideo: return "Audio & Video";
        case KNRecordingModeAudioOnly: return "Audio Only";
        case KNRecordingModeVideoOnly: return "Video Only";
        default: return kUnknown;
    }
}

std::string KNTorchModeAsString(int64_t mode) {
    switch (mode) {
        case KNTorchModeOff: return "Torch OFF";
        case KNTorchModeOn: return "Torch ON";
        case KNTorchModeAuto: return "Torch AUTO";
        default: return kUnknown;
    }
}

std::map<int64_t, std::string> resolutionNamesDictionary() { return resolutionNames(); }

std::vector<int64_t> KNAllResolutions() {
    std::vector<int64_t> resolutions;
    for (const auto& entry : resolutionNames()) resolutions.push_back(entry.first);
    return resolutions;
}

KNVideoFrameSize KNVideoFrameSizeMake(int64_t width, int64_t height) { return {width, height}; }

KNVideoFrameSize KNVideoFrameSizeRotated(KNVideoFrameSize size) { return {size.height, size.width}; }

KNVideoFrameSize KNVideoFrameSizeWithCGSize(platform::Size size) {
    return {KNSaturatingCast<int64_t>(size.width), KNSaturatingCast<int64_t>(size.height)};
}

platform::Size CGSizeWithKNVideoFrameSize(KNVideoFrameSize size) {
    return {static_cast<double>(size.width), static_cast<double>(size.height)};
}
