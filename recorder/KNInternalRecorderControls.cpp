// The live controls that applying a settings object runs, in the hub. With no capture session (after
// endSession, or on a machine without a camera) they answer as without a camera.
#include <algorithm>
#include <cmath>

#include "capture/KNCaptureDeviceCapabilities.h"
#include "capture/KNCaptureSession.h"
#include "core/KNConverter.h"
#include "core/KNUtils.h"
#include "kestrune/KNError.h"
#include "kestrune/KNRecorderSettings.h"
#include "platform/ui/Application.h"
#include "recorder/KNInternalRecorder.h"

namespace {

void answer(const KNInternalRecorder::Completion& completion, std::shared_ptr<KNError> error) {
    const bool success = error == nullptr;
    if (completion) completion(success, std::move(error));
}

}  // namespace

void KNInternalRecorder::changeCameraCompletion(int64_t camera, Completion completion) {
    const auto session = captureSession();
    if (!session || !session->isCameraPresent(camera)) {
        return answer(completion, KNError::errorWithCodesMessage({2001}, "Can't change the camera."));
    }
    // The new camera runs at the hub's rate, in a format of its own.
    if (!session->changeCamera(camera, [this] { changeFrameRateCompletion(frameRate_.load(), nullptr); })) {
        return answer(completion, KNError::errorWithCodesMessage({2002}, "Can't change the camera."));
    }
    answer(completion, nullptr);
}

void KNInternalRecorder::changeRecordingModeWithCompletion(int64_t mode, Completion completion) {
    const bool needsAudio = mode == KNRecordingModeAudioAndVideo || mode == KNRecordingModeAudioOnly;
    const bool needsVideo = mode == KNRecordingModeAudioAndVideo || mode == KNRecordingModeVideoOnly;
    std::vector<int64_t> codes;
    if (needsAudio && !components_->microphoneAuthorized()) codes.push_back(1001);
    if (needsVideo && !components_->cameraAuthorized()) codes.push_back(1002);
    if (!codes.empty() && completion) {
        return answer(completion, KNError::errorWithCodesMessage(codes, "Can't change the stream mode."));
    }
    if (mode >= 0 && mode <= KNRecordingModeVideoOnly) {
        isSendingVideo_ = needsVideo;
        isSendingAudio_ = needsAudio;
    }
    std::shared_ptr<KNError> refusal;
    if (localSaver_ && !localSaver_->setSavingAudioAndVideo(isSendingAudio_, isSendingVideo_, &refusal)) {
        return answer(completion, KNError::errorWithCodesMessage({90001}, refusal ? refusal->message() : std::nullopt));
    }
    answer(completion, nullptr);
}

void KNInternalRecorder::changeVideoResolutionCompletion(int64_t resolution, Completion completion) {
    std::shared_ptr<KNError> error;
    const int64_t validated =
        videoSettingsValidator_ ? videoSettingsValidator_->validateFrameResolution(resolution, &error) : resolution;
    if (isActive()) {
        return answer(completion, KNError::errorWithCodesMessage({6001}, "Can't change resolution while streaming."));
    }
    changeVideoResolution(validated);
    answer(completion, error);
}

void KNInternalRecorder::changeVideoResolution(int64_t resolution) {
    const auto utils = KNUtils::utils();
    const std::string preset = utils->sessionPressetForResolution(resolution);
    resolution_ = resolution;
    {
        std::lock_guard lock(mutex_);
        videoFrameSize_ = utils->frameSizeForResolution(resolution);
        videoProfile_ = utils->videoProfileLevelForResolution(resolution);
    }
    const auto session = captureSession();
    if (!session) return;
    // A new preset resets the camera's rate to its format's fastest: the hub's rate goes back on.
    session->changeSessionPreset(preset, [this] { changeFrameRateCompletion(frameRate_.load(), nullptr); });
}

KNVideoFrameSize KNInternalRecorder::videoFrameSize() const {
    std::lock_guard lock(mutex_);
    return videoFrameSize_;
}

std::string KNInternalRecorder::videoProfile() const {
    std::lock_guard lock(mutex_);
    return videoProfile_;
}

void KNInternalRecorder::changeVideoBitrateCompletion(int64_t bitrate, Completion completion) {
    std::shared_ptr<KNError> error;
    const int64_t validated = videoSettingsValidator_
                                  ? videoSettingsValidator_->validateBitrate(bitrate, resolution_.load(), &error)
                                  : bitrate;
    if (const auto settings = this->settings()) settings->setVideoBitrate(validated);
    nH264Encoder_->updateBitrate(static_cast<int32_t>(std::clamp<int64_t>(validated, 0, INT32_MAX)));
    answer(completion, error);
}

bool KNInternalRecorder::acceptsAudioSampleRate(int64_t rate, std::shared_ptr<KNError>* error) const {
    const uint64_t microphoneRate = audioCapture_ ? audioCapture_->sampleRate() : 0;
    if (microphoneRate == 0 || rate == static_cast<int64_t>(microphoneRate)) return true;
    // Labelling PCM with a rate it wasn't captured at would play it at the wrong speed.
    if (error) {
        *error = KNError::errorWithCodesMessage({5002}, "The microphone delivers " + std::to_string(microphoneRate) +
                                                            " Hz; the audio sample rate can't differ from it.");
    }
    return false;
}

void KNInternalRecorder::changeAudioSampleRateCompletion(double rate, Completion completion) {
    if (isActive()) {
        return answer(completion,
                      KNError::errorWithCodesMessage({5002}, "Can't change the audio sample rate while streaming."));
    }
    const int64_t hz = std::isfinite(rate) ? static_cast<int64_t>(std::clamp(rate, 0.0, 1e9)) : 0;
    std::shared_ptr<KNError> refusal;
    if (!acceptsAudioSampleRate(hz, &refusal)) {
        audioSampleRate_ = static_cast<int64_t>(audioCapture_->sampleRate());
        return answer(completion, refusal);
    }
    audioSampleRate_ = hz;
    answer(completion, nullptr);
}

void KNInternalRecorder::changeFrameRateCompletion(int64_t rate, std::function<void(int64_t rate)> completion) {
    const auto session = captureSession();
    // The format is searched at the size the resolution asks for, not at the active one.
    const KNVideoFrameSize size = KNUtils::utils()->frameSizeForResolution(resolution_.load());
    if (session && session->changeFrameRate(rate, size)) frameRate_ = rate;
    // Without a matching format the rate in force is answered.
    if (completion) completion(frameRate_.load());
}

void KNInternalRecorder::changeKeyFrameIntervalCompletion(int64_t interval, Completion completion) {
    if (isActive()) {
        return answer(completion,
                      KNError::errorWithCodesMessage({4001}, "Can't change the keyframe interval while recording."));
    }
    keyFrameInterval_ = interval;
    answer(completion, nullptr);
}

void KNInternalRecorder::updateVideoOrientationForOrientation(int64_t orientation) {
    const auto converter = KNConverter::converter();
    const int64_t interface = orientation == KNVideoOrientationAutorotate
                                  ? platform::Application::shared().statusBarOrientation()
                                  : converter->interfaceOrientationForVideoOrientation(orientation);
    isPortrait_ = converter->videoOrientationForInterfaceOrientation(interface) == KNVideoOrientationPortrait;
    if (const auto session = captureSession()) session->updateVideoOrientation(orientation);
}

void KNInternalRecorder::changeTorchModeCompletion(int64_t mode, Completion completion) {
    const auto session = captureSession();
    if (!session) {
        return answer(completion, KNError::errorWithCodesMessage({3002}, "No torch present on the current camera."));
    }
    if (!session->changeTorchMode(mode)) {
        return answer(completion, KNError::errorWithCodesMessage({3001}, "Can't change the torch mode."));
    }
    answer(completion, nullptr);
}

bool KNInternalRecorder::isVideoFrameSizeSupported(KNVideoFrameSize size) const {
    const auto session = captureSession();
    const auto capture = session ? session->captureSessionObject() : nullptr;
    const auto camera = capture ? capture->currentCamera() : nullptr;
    return camera && ::isVideoFrameSizeSupported(*camera, size);
}

int64_t KNInternalRecorder::validFrameRateForDevice(int64_t rate, const platform::CaptureDevice& device) {
    double valid = static_cast<double>(rate);
    const auto ranges = device.activeFormat().videoSupportedFrameRateRanges;
    if (ranges.empty()) return rate;
    for (const auto& range : ranges) valid = std::min(std::max(valid, range.minFrameRate), range.maxFrameRate);
    return static_cast<int64_t>(valid);
}
