#pragma once
// The camera side of the pipeline: one capture session with the device's cameras, one camera input
// and one video data output, camera-input replacement, teardown and zoom. The hub sets the video
// output's sample-buffer delegate and queue itself; frames never pass through this class.
//
// Runs on the caller's thread (the host's main thread); no locks of its own.
#include <memory>

#include "platform/Range.h"
#include "platform/capture/CaptureDevice.h"
#include "platform/capture/CaptureDeviceInput.h"
#include "platform/capture/CaptureSession.h"
#include "platform/capture/CaptureVideoDataOutput.h"

class KNError;

namespace platform {
// No audio data output exists in this capture layer (the microphone has its own unit), so the
// audio output slot stays empty.
class CaptureAudioDataOutput;
class CaptureVideoPreviewLayer;
}  // namespace platform

class KNCaptureSession {
public:
    // A new, set-up instance on every call.
    static std::shared_ptr<KNCaptureSession> captureSession();

    void setup();
    void setupSession();
    void setupCameras();
    void setupVideoInput();
    void setupVideoOutput();
    void setupAudioInput();
    void setupAudioOutput();

    void startCapture();
    void stopCapture();

    void changeCurrentCamera(std::shared_ptr<platform::CaptureDevice> camera);
    // Replaces the camera input. When the session refuses the new one the old input goes back and
    // stays `videoInput`, and the answer is false; when the old one can't go back either, no camera
    // is attached and `videoInput` and `currentCamera` are empty.
    bool changeVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input);
    void removeAllInputsAndOutputs();

    // {1, the active format's greatest zoom truncated}; {1, 1} without a camera.
    platform::Range getZoomRange() const;
    // 0.0 without a camera.
    double getZoom() const;
    // Clamped to [1, maximum] (infinities too); error 2002 "Could not set camera zoom" without a
    // camera, when the camera can't be locked or refuses the factor, or for a factor that is NaN.
    void setZoomError(double zoom, std::shared_ptr<KNError>* error);

    const std::shared_ptr<platform::CaptureSession>& session() const { return session_; }
    const std::shared_ptr<platform::CaptureDevice>& currentCamera() const { return currentCamera_; }
    const std::shared_ptr<platform::CaptureDevice>& frontCamera() const { return frontCamera_; }
    const std::shared_ptr<platform::CaptureDevice>& backCamera() const { return backCamera_; }
    const std::shared_ptr<platform::CaptureDeviceInput>& audioInput() const { return audioInput_; }
    const std::shared_ptr<platform::CaptureDeviceInput>& videoInput() const { return videoInput_; }
    const std::shared_ptr<platform::CaptureAudioDataOutput>& audioOutput() const { return audioOutput_; }
    const std::shared_ptr<platform::CaptureVideoDataOutput>& videoOutput() const { return videoOutput_; }
    const std::shared_ptr<platform::CaptureVideoPreviewLayer>& previewLayer() const { return previewLayer_; }

    void setSession(std::shared_ptr<platform::CaptureSession> session) { session_ = std::move(session); }
    void setCurrentCamera(std::shared_ptr<platform::CaptureDevice> camera) { currentCamera_ = std::move(camera); }
    void setFrontCamera(std::shared_ptr<platform::CaptureDevice> camera) { frontCamera_ = std::move(camera); }
    void setBackCamera(std::shared_ptr<platform::CaptureDevice> camera) { backCamera_ = std::move(camera); }
    void setVideoInput(std::shared_ptr<platform::CaptureDeviceInput> input) { videoInput_ = std::move(input); }
    void setVideoOutput(std::shared_ptr<platform::CaptureVideoDataOutput> output) { videoOutput_ = std::move(output); }
    void setPreviewLayer(std::shared_ptr<platform::CaptureVideoPreviewLayer> layer) { previewLayer_ = std::move(layer); }

private:
    std::shared_ptr<platform::CaptureSession> session_;
    std::shared_ptr<platform::CaptureDevice> currentCamera_;
    std::shared_ptr<platform::CaptureDevice> frontCamera_;
    std::shared_ptr<platform::CaptureDevice> backCamera_;
    std::shared_ptr<platform::CaptureDeviceInput> audioInput_;
    std::shared_ptr<platform::CaptureDeviceInput> videoInput_;
    std::shared_ptr<platform::CaptureAudioDataOutput> audioOutput_;
    std::shared_ptr<platform::CaptureVideoDataOutput> videoOutput_;
    std::shared_ptr<platform::CaptureVideoPreviewLayer> previewLayer_;
};
