#include "kestrune/KNDebug.h"

#include <cstdio>
#include <optional>

#include "kestrune/KNRecorderSettings.h"
#include "kestrune/KNStreamInfo.h"

namespace {

std::string orNull(const std::optional<std::string>& text) { return text ? *text : "(null)"; }

// "{width, height}", each as the shortest text that reads back as the same double.
std::string sizeText(platform::Size size) {
    char text[96];
    std::snprintf(text, sizeof text, "{%.17g, %.17g}", size.width, size.height);
    return text;
}

}  // namespace

std::shared_ptr<KNDebug> KNDebug::debug() { return std::make_shared<KNDebug>(); }

std::string KNDebug::stringFromRecorderSettings(const std::shared_ptr<KNRecorderSettings>& settings) const {
    if (!settings) return "(null)";
    std::string text = "\n--- [BEGIN][Recorder settings] ---\n";
    text += "- Recording mode: " + KNRecordingModeAsString(settings->recordingMode()) + "\n";
    text += "- Camera: " + KNCameraAsString(settings->currentCamera()) + "\n";
    text += "- Use torch: " + KNTorchModeAsString(settings->torchMode()) + "\n";
    text += "- Current orientation: " + KNVideoOrientationAsString(settings->videoOrientation()) + "\n";
    text += "- Frame rate: " + KNFrameRateAsString(settings->frameRate()) + "\n";
    text += "- Key frame interval: " + std::to_string(settings->keyFrameInterval()) + " frames\n";
    text += "- Audio sample rate: " + KNAudioSampleRateAsString(settings->audioSampleRate()) + "\n";
    // Stored in bits per second; the label has always said kbps.
    text += "- Video bitrate: " + std::to_string(settings->videoBitrate()) + " kbps\n";
    const int64_t resolution = settings->videoFrameResolution();
    text += "- Resolution: " + KNVideoFrameResolutionAsString(resolution) + "\n";
    if (resolution == KNVideoFrameResolutionCustom) {
        text += "- Custom Resolution: " + sizeText(CGSizeWithKNVideoFrameSize(settings->videoFrameSize())) + "\n";
    }
    text += "--- [END][Recorder settings] --- \n";
    return text;
}

std::string KNDebug::stringFromStreamInfo(const std::shared_ptr<KNStreamInfo>& streamInfo) const {
    if (!streamInfo) return "(null)";
    std::string text = "\n--- [BEGIN][Stream Info] ---\n";
    const auto custom = streamInfo->customStreamURLString();
    if (custom && !custom->empty()) {
        text += "- Uses Custom URL: " + *custom + "\n";
    } else {
        const auto url = streamInfo->streamURL();
        text += "- Uses Standard URL: " + (url ? url->absoluteString() : std::string("(null)")) + "\n";
        text += "- Host address: " + orNull(streamInfo->serverAddress()) + "\n";
        text += "- App name: " + orNull(streamInfo->applicationName()) + "\n";
        text += "- Stream name: " + orNull(streamInfo->streamName()) + "\n";
    }
    text += std::string("- Use secure connection: ") + (streamInfo->useSecureConnection() ? "YES" : "NO") + "\n";
    text += "- Username: " + orNull(streamInfo->username()) + "\n";
    text += "- Password: " + orNull(streamInfo->password()) + "\n";
    text += "--- [END][Stream Info] --- \n";
    return text;
}
