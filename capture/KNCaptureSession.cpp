#include "capture/KNCaptureSession.h"

#include <algorithm>
#include <cmath>

#include "core/KNNumeric.h"
#include "kestrune/KNError.h"

namespace {

constexpr int64_t kZoomErrorCode = 2002;
constexpr char kZoomErrorMessage[] = "Could not set camera zoom";

void setZoomFailure(std::shared_ptr<KNError>* error) {
    if (error) *error = KNError::errorWithCodesMessage({kZoomErrorCode}, kZoomErrorMessage);
}

}  // namespace

std::shared_ptr<KNCaptureSession> KNCaptureSession::captureSession() {
    auto session = std::make_shared<KNCaptureSession>();
    session->setup();
    return session;
}

void KNCaptureSession::setup() {
    setupSession();
    setupCameras();
    setupVideoInput();
    setupVideoOutput();
}

void KNCaptureSession::setupSession() { session_ = platform::CaptureSession::create(); }

void KNCaptureSession::setupCameras() {
    for (auto& device : platform::CaptureDevice::devicesWithMediaType(platform::MediaType::Video)) {
        if (device->position() == platform::CaptureDevicePosition::Front) frontCamera_ = device;
        else backCamera_ = device;
    }
    currentCamera_ = platform::CaptureDevice::defaultDeviceWithMediaType(platform::MediaType::Video);
}

void KNCaptureSession::setupVideoInput() {
    videoInput_ = platform::CaptureDeviceInput::deviceInputWithDevice(currentCamera_);
    if (videoInput_ && session_->canAddInput(videoInput_)) session_->addInput(videoInput_);
}

void KNCaptureSession::setupVideoOutput() {
    auto output = platform::CaptureVideoDataOutput::create();
    output->setAlwaysDiscardsLateVideoFrames(true);
    if (!videoInput_) return;
    if (session_->canAddOutput(output)) session_->addOutput(output);
    videoOutput_ = output;
}

void KNCaptureSession::setupAudioInput() {
    audioInput_ = platform::CaptureDeviceInput::deviceInputWithDevice(
        platform::CaptureDevice::defaultDeviceWithMediaType(platform::MediaType::Audio));
    if (audioInput_ && session_->canAddInput(audioInput_)) session_->addInput(audioInput_);
}

void KNCaptureSession::setupAudioOutput() {
    // Without an audio data output in the capture layer there is nothing to add; the microphone
    // reaches the pipeline through its own unit.
}

void KNCaptureSession::startCapture() { session_->startRunning(); }

void KNCaptureSession::stopCapture() { session_->stopRunning(); }

void KNCaptureSession::changeCurrentCamera(std::shared_ptr<platform::CaptureDevice> camera) {
    currentCamera_ = std::move(camera);
}

bool KNCaptureSession::changeVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input) {
    if (videoInput_) session_->removeInput(videoInput_);
    if (input && session_->canAddInput(input)) {
        session_->addInput(input);
        videoInput_ = std::move(input);
        return true;
    }
    // Refused: the old camera goes back, so the session never ends up without one. When even that
    // fails, no camera is attached, and the slots say so.
    if (videoInput_ && session_->canAddInput(videoInput_) && session_->addInput(videoInput_)) return false;
    videoInput_ = nullptr;
    currentCamera_ = nullptr;
    return false;
}

void KNCaptureSession::removeAllInputsAndOutputs() {
    if (audioInput_) session_->removeInput(audioInput_);
    if (videoInput_) session_->removeInput(videoInput_);
    if (videoOutput_) session_->removeOutput(videoOutput_);
}

platform::Range KNCaptureSession::getZoomRange() const {
    if (!currentCamera_) return {1, 1};
    return {1, KNSaturatingCast<uint64_t>(currentCamera_->activeFormat().videoMaxZoomFactor)};
}

double KNCaptureSession::getZoom() const { return currentCamera_ ? currentCamera_->videoZoomFactor() : 0.0; }

void KNCaptureSession::setZoomError(double zoom, std::shared_ptr<KNError>* error) {
    if (!currentCamera_ || std::isnan(zoom)) {
        setZoomFailure(error);
        return;
    }
    if (!currentCamera_->lockForConfiguration()) {
        setZoomFailure(error);
        return;
    }
    const double maximum = currentCamera_->activeFormat().videoMaxZoomFactor;
    const double factor = std::max(std::min(zoom, maximum), 1.0);
    const bool applied = currentCamera_->setVideoZoomFactor(factor);
    currentCamera_->unlockForConfiguration();
    // The device may refuse a factor in range (its zoom control failed): the zoom did not change.
    if (!applied) setZoomFailure(error);
}
