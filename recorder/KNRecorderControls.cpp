// The recorder's live camera controls and its extra features.
#include <cmath>

#include "capture/CameraFocusManager.h"
#include "kestrune/KNError.h"
#include "kestrune/KNRecorder.h"
#include "kestrune/KNRecorderSettings.h"
#include "recorder/KNInternalRecorder.h"
#include "recorder/KNRecorderCamera.h"

namespace {

void answer(const KNRecorder::Completion& completion, std::shared_ptr<KNError> error) {
    if (!completion) return;
    const bool success = error == nullptr;
    completion(success, std::move(error));
}

std::shared_ptr<KNRecorderCameraControls> cameraControls(const KNInternalRecorder& hub) {
    const auto session = hub.currentCaptureSession();
    if (!session) return nullptr;
    if (auto controls = std::dynamic_pointer_cast<KNRecorderCameraControls>(session)) return controls;
    auto capture = session->captureSessionObject();
    return capture ? std::make_shared<KNRecorderCamera>(std::move(capture)) : nullptr;
}

std::shared_ptr<KNError> torchLevelError(const KNRecorderCameraControls::TorchLevelOutcome& outcome) {
    if (outcome.locked && !outcome.platformError) return nullptr;
    // A camera that can't be locked can't take the level either.
    const bool unavailable =
        !outcome.locked || outcome.platformError == KNRecorderCameraControls::kTorchLevelUnavailable;
    return KNError::errorWithCodesMessage({unavailable ? 3003 : -1}, "Can't change the torch level.");
}

}  // namespace

KNRecorder::Completion KNRecorder::writingSetting(Completion completion,
                                                  std::function<void(KNRecorderSettings&)> write) {
    return [self = shared_from_this(), completion = std::move(completion), write = std::move(write)](
               bool success, std::shared_ptr<KNError> error) {
        if (success) {
            if (const auto settings = self->settings()) write(*settings);
        }
        if (completion) completion(success, std::move(error));
    };
}

void KNRecorder::changeRecorderSettings(std::shared_ptr<KNRecorderSettings> settings, Completion completion) {
    if (!settings) return answer(completion, KNError::errorWithCodesMessage({0}, "No recorder settings were given."));
    std::shared_ptr<KNError> refusal;
    // Refused whole, so that NO leaves the recorder with the settings it had.
    if (!internalRecorder_->isActive() &&
        !internalRecorder_->acceptsAudioSampleRate(settings->audioSampleRate(), &refusal)) {
        return answer(completion, refusal);
    }
    if (!internalRecorder_->setupWithSettings(settings)) {
        return answer(completion, KNError::errorWithCodesMessage({0}, "Operation not allowed while streaming."));
    }
    {
        std::lock_guard lock(mutex_);
        settings_ = std::move(settings);
    }
    answer(completion, nullptr);
}

bool KNRecorder::isRecordingModeSupported(int64_t mode) const {
    const bool needsAudio = static_cast<uint64_t>(mode) < 2;
    const bool needsVideo = (mode & ~int64_t{2}) == 0;
    return !(needsAudio && !hasMicrophoneAccess()) && !(needsVideo && !hasCameraAccess());
}

void KNRecorder::changeRecordingMode(int64_t mode, Completion completion) {
    internalRecorder_->changeRecordingModeWithCompletion(
        mode, writingSetting(std::move(completion), [mode](KNRecorderSettings& s) { s.setRecordingMode(mode); }));
}

bool KNRecorder::isCameraPresent(int64_t camera) const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls && controls->isCameraPresent(camera);
}

void KNRecorder::switchToCamera(int64_t camera, Completion completion) {
    auto wrapped = writingSetting(std::move(completion), [camera](KNRecorderSettings& s) { s.setCurrentCamera(camera); });
    const auto controls = cameraControls(*internalRecorder_);
    if (controls && !controls->isCameraPresent(camera)) {
        return answer(wrapped, KNError::errorWithCodesMessage({2001}, "Can't change the camera."));
    }
    internalRecorder_->changeCameraCompletion(camera, std::move(wrapped));
}

bool KNRecorder::isTorchModeSupported(int64_t mode) const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls && controls->isTorchModeSupported(mode);
}

void KNRecorder::changeTorchMode(int64_t mode, Completion completion) {
    auto wrapped = writingSetting(std::move(completion), [mode](KNRecorderSettings& s) { s.setTorchMode(mode); });
    const auto controls = cameraControls(*internalRecorder_);
    if (!controls || !controls->hasTorch()) {
        return answer(wrapped, KNError::errorWithCodesMessage({3002}, "No torch present on the current camera."));
    }
    std::vector<int64_t> codes;
    if (!controls->isTorchModeSupported(mode)) codes.push_back(3001);
    if (!controls->isTorchAvailable()) codes.push_back(3002);
    if (!codes.empty()) return answer(wrapped, KNError::errorWithCodesMessage(codes, "Can't change the torch mode."));
    // The pipeline answers 3001 when the camera can't be locked.
    internalRecorder_->changeTorchModeCompletion(mode, std::move(wrapped));
}

void KNRecorder::changeTorchLevel(float level, Completion completion) {
    // Written so that NaN, like 0 and below, asks for the least level.
    if (!(level >= 0.01f)) level = 0.01f;
    level = std::min(level, 1.0f);
    const auto controls = cameraControls(*internalRecorder_);
    if (!controls || !controls->isTorchActive()) {
        return answer(completion, KNError::errorWithCodesMessage({0}, "Torch is not active."));
    }
    answer(completion, torchLevelError(controls->setTorchModeOnWithLevel(level)));
}

bool KNRecorder::isFrameSizeSupported(int64_t resolution) const { return isResolutionSupported(resolution); }

bool KNRecorder::isResolutionSupported(int64_t resolution) const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls && controls->isResolutionSupported(resolution);
}

void KNRecorder::changeVideoResolution(int64_t resolution, Completion completion) {
    internalRecorder_->changeVideoResolutionCompletion(
        resolution, writingSetting(std::move(completion),
                                   [resolution](KNRecorderSettings& s) { s.setVideoFrameResolution(resolution); }));
}

void KNRecorder::changeResolutionInversion(bool inverted, std::shared_ptr<KNError>* error) {
    if (internalRecorder_->isActive()) {
        if (error) *error = KNError::errorWithCodesMessage({11005}, "Can't change the resolution while streaming");
        return;
    }
    internalRecorder_->setVideoFrameInverted(inverted);
    if (error) *error = nullptr;
}

bool KNRecorder::isFrameRateSupported(int64_t frameRate) const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls && controls->isFrameRateSupported(frameRate);
}

void KNRecorder::changeFrameRate(int64_t frameRate, FrameRateCompletion completion) {
    internalRecorder_->changeFrameRateCompletion(
        frameRate, [self = shared_from_this(), completion = std::move(completion)](int64_t rate) {
            if (const auto settings = self->settings()) settings->setFrameRate(rate);
            if (completion) completion(rate);
        });
}

void KNRecorder::changeKeyFrameInterval(int64_t interval, Completion completion) {
    internalRecorder_->changeKeyFrameIntervalCompletion(
        interval,
        writingSetting(std::move(completion), [interval](KNRecorderSettings& s) { s.setKeyFrameInterval(interval); }));
}

void KNRecorder::changeVideoBitrate(int64_t bitrate, Completion completion) {
    internalRecorder_->changeVideoBitrateCompletion(
        bitrate, writingSetting(std::move(completion), [bitrate](KNRecorderSettings& s) { s.setVideoBitrate(bitrate); }));
}

void KNRecorder::changeAudioSampleRate(int64_t sampleRate, Completion completion) {
    internalRecorder_->changeAudioSampleRateCompletion(
        static_cast<double>(sampleRate),
        writingSetting(std::move(completion),
                       [sampleRate](KNRecorderSettings& s) { s.setAudioSampleRate(sampleRate); }));
}

void KNRecorder::changeAudioBitrate(int64_t /*bitrate*/, Completion /*completion*/) {}

void KNRecorder::changeVideoOrientation(int64_t orientation) {
    if (const auto settings = this->settings()) settings->setVideoOrientation(orientation);
    internalRecorder_->updateVideoOrientationForOrientation(orientation);
}

platform::Range KNRecorder::getZoomRange() const { return internalRecorder_->getZoomRange(); }

double KNRecorder::getZoom() const { return internalRecorder_->getZoom(); }

bool KNRecorder::setZoom(double factor, std::shared_ptr<KNError>* error) {
    std::shared_ptr<KNError> refusal;
    internalRecorder_->setZoomError(factor, &refusal);
    if (error) *error = refusal;
    return refusal == nullptr;
}

std::shared_ptr<platform::CaptureDevice> KNRecorder::currentCamera() const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls ? controls->currentCamera() : nullptr;
}

std::shared_ptr<platform::CaptureSession> KNRecorder::currentSession() const {
    const auto controls = cameraControls(*internalRecorder_);
    return controls ? controls->session() : nullptr;
}

void KNRecorder::activateFeatureAdaptiveBitRate(std::shared_ptr<KNError>* /*error*/) {
    internalRecorder_->startAdaptiveBitrateService();
}

int64_t KNRecorder::adaptiveVideoBitrate() const { return internalRecorder_->adaptedVideoBitrate(); }

void KNRecorder::deactivateFeatureAdaptiveBitRate() {
    {
        std::lock_guard lock(mutex_);
        bitrateService_.reset();
    }
    internalRecorder_->stopAdaptiveBitrateService();
}

void KNRecorder::activateFeatureSaveLocally(std::shared_ptr<KNError>* error) { internalRecorder_->enableLocalSaving(error); }

void KNRecorder::deactivateFeatureSaveLocally(std::shared_ptr<KNError>* error) {
    internalRecorder_->disableLocalSaving(error);
}

std::vector<std::shared_ptr<KNStreamSource>> KNRecorder::streamSources() const {
    return internalRecorder_->streamSources();
}

std::shared_ptr<KNStreamSource> KNRecorder::addStreamingSource(std::shared_ptr<KNStreamInfo> info) {
    return internalRecorder_->addStreamingSourceWithInfo(std::move(info));
}

void KNRecorder::removeStreamingSource(const std::shared_ptr<KNStreamSource>& source) {
    internalRecorder_->removeStreamingSourceWithInfo(source);
}

void KNRecorder::activateFeatureTapToFocus(Completion completion) {
    internalRecorder_->addTapToFocusFeatureWithManager(CameraFocusManager::create());
    answer(completion, nullptr);
}

void KNRecorder::deactivateFeatureTapToFocus() { internalRecorder_->removeTapToFocusFeature(); }
