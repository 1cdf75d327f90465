#include "recorder/KNInternalRecorderComponents.h"

#include <atomic>
#include <cstdio>
#include <optional>
#include <mutex>

#include "capture/CameraFocusManager.h"
#include "capture/KNAudioCapture.h"
#include "capture/KNCaptureDeviceCapabilities.h"
#include "capture/KNCaptureSession.h"
#include "capture/KNVideoEncoderSettingsValidator.h"
#include "core/KNConverter.h"
#include "core/KNUtils.h"
#include "encoding/KNAACEncoder.h"
#include "encoding/KNH264Encoder.h"
#include "encoding/KNLocalSaver.h"
#include "kestrune/KNAssetsLibrary.h"
#include "kestrune/KNCaptureVideoView.h"
#include "kestrune/KNError.h"
#include "kestrune/KNTypes.h"
#include "platform/NotificationCenter.h"
#include "platform/audio/AudioSession.h"
#include "platform/capture/CaptureConnection.h"
#include "platform/capture/CaptureTypes.h"
#include "platform/ui/Application.h"

namespace {

class VideoEncoder final : public KNHubVideoEncoder {
public:
    void setDelegate(std::weak_ptr<KNH264EncoderDelegate> delegate) override { encoder_->setDelegate(std::move(delegate)); }
    std::shared_ptr<platform::DispatchQueue> encodingQueue() const override { return encoder_->encodingQueue(); }
    void setKeyFrameInterval(uint64_t frames) override { encoder_->setKeyFrameInterval(frames); }
    void updateBitrate(int32_t bitrateBps) override { encoder_->updateBitrate(bitrateBps); }
    void startEncodingWithResolutionHeight(int32_t width, int32_t height) override {
        encoder_->startEncodingWithResolutionHeight(width, height);
    }
    void encode(std::shared_ptr<platform::SampleBuffer> sampleBuffer) override { encoder_->encode(std::move(sampleBuffer)); }
    void stopEncoding() override { encoder_->stopEncoding(); }

private:
    const std::shared_ptr<KNH264Encoder> encoder_ = KNH264Encoder::create();
};

class AudioEncoder final : public KNHubAudioEncoder {
public:
    void setDelegate(std::weak_ptr<KNAACEncoderDelegate> delegate) override { encoder_->setDelegate(std::move(delegate)); }
    std::shared_ptr<platform::DispatchQueue> encoderQueue() const override { return encoder_->encoderQueue(); }
    void setSampleRate(uint64_t rate) override { encoder_->setSampleRate(rate); }
    void setChannelsNumber(uint64_t channels) override { encoder_->setChannelsNumber(channels); }
    uint64_t bitRate() const override { return encoder_->bitRate(); }
    void setBitRate(uint64_t bitRate) override { encoder_->setBitRate(bitRate); }
    uint64_t sampleSize() const override { return encoder_->sampleSize(); }
    void startEncoding() override { encoder_->startEncoding(); }
    void stopEncoding() override { encoder_->stopEncoding(); }
    void encodeAudioDataTimestamp(Bytes data, uint64_t timestamp) override {
        encoder_->encodeAudioDataTimestamp(std::move(data), timestamp);
    }
    bool isConfigured() const override { return encoder_->isConfigured(); }
    void setFirstAudioPacket(bool first) override { encoder_->setFirstAudioPacket(first); }
    Bytes magicCookie() const override { return encoder_->magicCookie(); }
    uint64_t decoderDelay() const override { return encoder_->decoderDelay(); }

private:
    const std::shared_ptr<KNAACEncoder> encoder_ = KNAACEncoder::create();
};

class StreamSources final : public KNHubStreamSources {
public:
    void setDelegate(std::weak_ptr<KNStreamSourcesManagerDelegate> delegate) override {
        manager_->setDelegate(std::move(delegate));
    }
    std::shared_ptr<KNStreamSource> addSourceWithStreamInfo(std::shared_ptr<KNStreamInfo> info) override {
        return manager_->addSourceWithStreamInfo(std::move(info));
    }
    void removeSource(const std::shared_ptr<KNStreamSource>& source) override { manager_->removeSource(source); }
    void closeConnectionToSource(const std::shared_ptr<KNStreamSource>& source) override {
        manager_->closeConnectionToSource(source);
    }
    void establishConnectionToAllSources() override { manager_->establishConnectionToAllSources(); }
    void closeConnectionOnAllSources() override { manager_->closeConnectionOnAllSources(); }
    Sources streamSources() const override { return manager_->streamSources(); }
    Sources connectedStreamSources() const override { return manager_->connectedStreamSources(); }
    void setVideoSPSAndPPS(const Bytes& sps, const Bytes& pps) override { manager_->setVideoSPSAndPPS(sps, pps); }
    void sendVideoPacketIsKeyFrameTimestamp(const Bytes& packet, bool isKeyFrame, uint64_t timestampMs) override {
        manager_->sendVideoPacketIsKeyFrameTimestamp(packet, isKeyFrame, timestampMs);
    }
    void sendAudioPacketTimestamp(const Bytes& adtsPacket, uint64_t timestampMs) override {
        manager_->sendAudioPacketTimestamp(adtsPacket, timestampMs);
    }
    void setAdaptiveBitRateOn(bool on) override { manager_->setAdaptiveBitRateOn(on); }
    void setRtmpTimeout(uint64_t timeoutSeconds) override { manager_->setRtmpTimeout(timeoutSeconds); }
    void setMetadata(std::shared_ptr<const KNMetadata> metadata) override { manager_->setMetadata(std::move(metadata)); }

private:
    const std::shared_ptr<KNStreamSourcesManager> manager_ = KNStreamSourcesManager::create();
};

class Reachability final : public KNHubReachability {
public:
    // A platform that can't watch the network counts as reachable: it can't tell otherwise.
    bool isReachable() override { return !monitor_ || monitor_->isReachable(); }
    void startMonitoring(ChangeBlock change) override {
        if (!monitor_) return;
        monitor_->setNetworkDidChangeReachabilityBlock(std::move(change));
        monitor_->startMonitoringNetworkStatus();
    }
    void stopMonitoring() override {
        if (!monitor_) return;
        monitor_->stopMonitoringNetworkStatus();
        monitor_->setNetworkDidChangeReachabilityBlock(nullptr);
    }

private:
    const std::shared_ptr<KNReachability> monitor_ = KNReachability::reachabilityForInternetConnection();
};

class CaptureSession final : public KNHubCaptureSession,
                             public platform::CaptureVideoDataOutputSampleBufferDelegate,
                             public std::enable_shared_from_this<CaptureSession> {
public:
    explicit CaptureSession(std::shared_ptr<KNCaptureSession> capture) : capture_(std::move(capture)) {}
    ~CaptureSession() override {
        for (auto token : tokens_) platform::NotificationCenter::defaultCenter().removeObserver(token);
    }
    void setListener(std::weak_ptr<KNHubCaptureListener> listener,
                     std::shared_ptr<platform::DispatchQueue> queue) override {
        listener_ = listener;
        if (const auto& output = capture_->videoOutput()) output->setSampleBufferDelegate(weak_from_this(), std::move(queue));
        observe(platform::kCaptureSessionDidStartRunningNotification,
                [](KNHubCaptureListener& l, const platform::Notification&) { l.captureSessionDidStartRunning(); });
        observe(platform::kCaptureSessionDidStopRunningNotification,
                [](KNHubCaptureListener& l, const platform::Notification&) { l.captureSessionDidStopRunning(); });
        observe(platform::kCaptureSessionRuntimeErrorNotification,
                [](KNHubCaptureListener& l, const platform::Notification& n) { l.captureSessionRuntimeError(errorText(n)); });
    }
    const void* videoOutput() const override { return capture_->videoOutput().get(); }
    bool isRunning() const override { return capture_->session() && capture_->session()->isRunning(); }
    void startRunning() override { capture_->startCapture(); }
    void stopCapture() override { capture_->stopCapture(); }
    void removeAllInputsAndOutputs() override { capture_->removeAllInputsAndOutputs(); }
    std::shared_ptr<KNCaptureSession> captureSessionObject() const override { return capture_; }
    // The microphone sets the audio session up itself unless the host does; nothing more to do here.
    void setAutomaticallyConfiguresApplicationAudioSession(bool) override {}
    bool isCameraPresent(int64_t camera) const override { return cameraAt(camera) != nullptr; }
    bool changeCamera(int64_t camera, const std::function<void()>& reconfigure) override {
        const auto device = cameraAt(camera);
        if (!device) return false;
        const auto& session = capture_->session();
        const platform::SessionPreset preset = session->sessionPreset();
        const auto connection = videoConnection();
        const auto orientation = connection ? connection->videoOrientation() : platform::CaptureVideoOrientation{};
        platform::CaptureError error;
        auto input = platform::CaptureDeviceInput::deviceInputWithDevice(device, &error);
        if (!input) {
            std::fprintf(stderr, "*** KESTRUNE *** Cannot initialize the new camera device input. %s\n",
                         error.message.c_str());
            return false;
        }
        const platform::SessionPreset chosen =
            device->supportsSessionPreset(preset) ? preset : bestSupportedSessionPreset(*device);
        session->beginConfiguration();
        if (session->sessionPreset() != chosen && session->canSetSessionPreset(chosen)) session->setSessionPreset(chosen);
        const bool changed = capture_->changeVideoInput(input);
        if (const auto now = videoConnection(); now && connection) now->setVideoOrientation(orientation);
        if (changed) {
            capture_->changeCurrentCamera(device);
            if (reconfigure) reconfigure();
        }
        session->commitConfiguration();
        return changed;
    }
    bool changeFrameRate(int64_t rate, KNVideoFrameSize size) override {
        const auto device = capture_->currentCamera();
        if (!device || rate <= 0 || rate > INT32_MAX) return false;
        if (const auto format = formatForRate(*device, rate, size)) return applyFrameRate(*device, *format, rate);
        // A camera without the resolution's size runs the preset's format, and the encoder scales.
        const auto active = device->activeFormat();
        const auto format = formatForRate(*device, rate, KNVideoFrameSize{active.width, active.height});
        return format && applyFrameRate(*device, *format, rate);
    }
    void changeSessionPreset(const std::string& preset, const std::function<void()>& reconfigure) override {
        const auto device = capture_->currentCamera();
        const platform::SessionPreset chosen =
            !device || device->supportsSessionPreset(preset) ? preset : bestSupportedSessionPreset(*device);
        const auto& session = capture_->session();
        session->beginConfiguration();
        if (session->canSetSessionPreset(chosen)) session->setSessionPreset(chosen);
        if (reconfigure) reconfigure();
        session->commitConfiguration();
    }
    bool updateVideoOrientation(int64_t orientation) override {
        const auto converter = KNConverter::converter();
        const int64_t interface = orientation == KNVideoOrientationAutorotate
                                      ? platform::Application::shared().statusBarOrientation()
                                      : converter->interfaceOrientationForVideoOrientation(orientation);
        const auto connection = videoConnection();
        if (!connection) return false;
        const bool turned = connection->setVideoOrientation(static_cast<platform::CaptureVideoOrientation>(
            converter->captureVideoOrientationFromInterfaceOrientation(interface)));
        if (preview_) preview_->updateVideoOrientationForVideoOutput(capture_->videoOutput());
        return turned;
    }
    bool changeTorchMode(int64_t mode) override {
        const auto device = capture_->currentCamera();
        const auto torch = mode == KNTorchModeOn ? platform::TorchMode::On
                           : mode == KNTorchModeAuto ? platform::TorchMode::Auto
                                                     : platform::TorchMode::Off;
        if (!device || !device->hasTorch() || !device->isTorchModeSupported(torch)) return false;
        if (!device->lockForConfiguration()) return false;
        const bool applied = device->setTorchMode(torch);
        device->unlockForConfiguration();
        return applied;
    }
    void changePreview(const std::shared_ptr<platform::View>& hostView) override {
        if (preview_) {
            preview_->removeFromSuperview();
        } else {
            preview_ = KNCaptureVideoView::viewWithFrameSession(hostView ? hostView->frame() : platform::Rect{},
                                                                capture_->session());
        }
        if (hostView) hostView->addSubview(preview_);
        preview_->bindToParent();
        preview_->updateVideoOrientationForVideoOutput(capture_->videoOutput());
        if (focus_) {
            focus_->removeTapToFocus();
            attachFocus();
        }
    }
    void removePreview() override {
        if (preview_) preview_->removeFromSuperview();
        preview_.reset();
    }
    void attachTapToFocus(std::shared_ptr<CameraFocusManager> manager) override {
        if (focus_) focus_->removeTapToFocus();
        focus_ = std::move(manager);
        if (focus_) attachFocus();
    }
    platform::Range getZoomRange() const override { return capture_->getZoomRange(); }
    double getZoom() const override { return capture_->getZoom(); }
    void setZoomError(double zoom, std::shared_ptr<KNError>* error) override { capture_->setZoomError(zoom, error); }
    void captureOutputDidOutputSampleBufferFromConnection(const std::shared_ptr<platform::CaptureVideoDataOutput>& output,
                                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer,
                                                          const std::shared_ptr<platform::CaptureConnection>&) override {
        if (auto listener = listener_.lock()) listener->captureOutputDidOutputSampleBuffer(output.get(), sampleBuffer);
    }

private:
    // The first 4:2:0 video-range format of the size whose first range covers the rate.
    static std::optional<platform::CaptureDeviceFormat> formatForRate(const platform::CaptureDevice& device, int64_t rate,
                                                                      KNVideoFrameSize size) {
        for (const auto& format : device.formats()) {
            if (format.width != size.width || format.height != size.height) continue;
            if (format.mediaSubType != static_cast<uint32_t>(platform::PixelFormat::NV12VideoRange)) continue;
            if (format.videoSupportedFrameRateRanges.empty()) continue;
            const auto& range = format.videoSupportedFrameRateRanges.front();
            if (float(range.minFrameRate) > float(rate) || float(range.maxFrameRate) < float(rate)) continue;
            return format;
        }
        return std::nullopt;
    }
    bool applyFrameRate(platform::CaptureDevice& device, const platform::CaptureDeviceFormat& format, int64_t rate) {
        const auto& session = capture_->session();
        session->beginConfiguration();
        // A camera that can't be locked keeps its format; the rate still counts as taken.
        if (device.lockForConfiguration()) {
            const platform::MediaTime duration = platform::MediaTime::make(1, static_cast<int32_t>(rate));
            device.setActiveFormat(format);
            device.setActiveVideoMinFrameDuration(duration);
            device.setActiveVideoMaxFrameDuration(duration);
            device.unlockForConfiguration();
        }
        session->commitConfiguration();
        return true;
    }
    // The first camera at the position, as the platform lists them.
    static std::shared_ptr<platform::CaptureDevice> cameraAt(int64_t camera) {
        const auto position = static_cast<platform::CaptureDevicePosition>(
            KNConverter::converter()->captureDevicePositionForCamera(camera));
        for (const auto& device : platform::CaptureDevice::devicesWithMediaType(platform::MediaType::Video)) {
            if (device->position() == position) return device;
        }
        return nullptr;
    }
    std::shared_ptr<platform::CaptureConnection> videoConnection() const {
        const auto& output = capture_->videoOutput();
        return output ? output->connectionWithMediaType(platform::MediaType::Video) : nullptr;
    }
    void attachFocus() {
        focus_->addTapToFocusFeatureForPreviewVideoPreviewLayerAndVideoCpatureInput(
            preview_, preview_ ? preview_->previewLayer() : nullptr, capture_->videoInput());
    }
    static std::string errorText(const platform::Notification& notification) {
        const auto found = notification.userInfo.find(platform::kCaptureSessionErrorKey);
        if (found == notification.userInfo.end()) return "(null)";
        const auto* error = std::any_cast<platform::CaptureError>(&found->second);
        return error ? error->message + " (" + std::to_string(error->code) + ")" : "(null)";
    }
    void observe(const char* name, void (*handle)(KNHubCaptureListener&, const platform::Notification&)) {
        tokens_.push_back(platform::NotificationCenter::defaultCenter().addObserver(
            name, capture_->session(), [weak = listener_, handle](const platform::Notification& notification) {
                if (auto listener = weak.lock()) handle(*listener, notification);
            }));
    }

    const std::shared_ptr<KNCaptureSession> capture_;
    std::weak_ptr<KNHubCaptureListener> listener_;
    std::vector<platform::NotificationCenter::Token> tokens_;
    std::shared_ptr<KNCaptureVideoView> preview_;
    std::shared_ptr<CameraFocusManager> focus_;
};

class AudioCapture final : public KNHubAudioCapture, public KNAudioCaptureDelegate {
public:
    ~AudioCapture() override { capture_->setRunning(false); }
    void setListener(std::weak_ptr<KNHubCaptureListener> listener) override { listener_ = std::move(listener); }
    void setRunning(bool running) override { capture_->setRunning(running); }
    void endSession() override { capture_->endSession(); }
    void setConfigureAudioSessionManually(bool manual) override { capture_->setConfigureAudioSessionManually(manual); }
    void settleSessionChanges() override {
        // The microphone's start sets the session's category; its news comes from the session's own queue.
        capture_->taskQueue()->sync([] {});
        platform::AudioSession::shared()->flushNotifications();
    }
    uint64_t sampleRate() const override { return capture_->deliveredSampleRate(); }
    // The microphone delivers mono.
    uint64_t channels() const override { return 1; }
    void captureOutputAudioDataTimestamp(KNAudioCapture*, const Bytes& data, uint64_t timestamp) override {
        if (auto listener = listener_.lock()) listener->captureOutputAudioDataTimestamp(data, timestamp);
    }
    void captureOutputRouteDidChage(KNAudioCapture*) override {
        if (auto listener = listener_.lock()) listener->captureOutputRouteDidChange();
    }
    // A microphone that went away reaches the host as the capture's error.
    void captureOutputDidFail(KNAudioCapture*) override {
        if (auto listener = listener_.lock()) listener->captureSessionRuntimeError("the microphone went away");
    }
    const std::shared_ptr<KNAudioCapture> capture_ = KNAudioCapture::createWithAudioConfiguration();

private:
    std::weak_ptr<KNHubCaptureListener> listener_;
};

class LocalSaver final : public KNHubLocalSaver, public KNLocalSaverDelegate {
public:
    void setListener(std::weak_ptr<KNHubLocalSaverListener> listener) override { listener_ = std::move(listener); }
    bool savingEnabled() const override { return saver_->savingEnabled(); }
    bool setSavingEnabled(bool enabled, std::shared_ptr<KNError>* error) override {
        std::shared_ptr<KNError> refusal;
        saver_->setSavingEnabledError(enabled, &refusal);
        if (refusal && error) *error = refusal;
        return refusal == nullptr;
    }
    bool setSavingAudioAndVideo(bool audio, bool video, std::shared_ptr<KNError>* error) override {
        std::shared_ptr<KNError> refusal;
        saver_->setSavingAudioAndVideoError(audio, video, &refusal);
        if (refusal && error) *error = refusal;
        return refusal == nullptr;
    }
    bool started() const override { return saver_->started(); }
    void setFilename(const std::string& name) override { saver_->setFilename(name); }
    void setVideoWidthHeight(int32_t width, int32_t height) override { saver_->setVideoWidthHeight(width, height); }
    void setAudioSampleRate(uint64_t rate) override { saver_->setAudioSampleRate(rate); }
    void setMagicCookie(Bytes cookie) override { saver_->setMagicCookie(std::move(cookie)); }
    void setAudioDecoderDelay(uint64_t frames) override { saver_->setAudioDecoderDelay(frames); }
    // The saver tells only of a failed start; its queue runs in call order, so a task queued
    // behind the start learns the outcome.
    void startSavingStream(StartCallback done) override {
        auto failed = std::make_shared<std::shared_ptr<KNError>>();
        saver_->startSavingStream([failed](std::shared_ptr<KNError> error) { *failed = std::move(error); });
        saver_->localSaverQueue()->async([saver = saver_, failed, done = std::move(done)] {
            if (!*failed && !saver->started()) {
                *failed = KNError::errorWithCodesMessage({110003}, "Failed to start writing stream in locally");
            }
            done(*failed);
        });
    }
    void stopSavingStream(StopCallback done) override {
        saver_->stopSavingStream([done = std::move(done)](std::optional<platform::URL> url, std::shared_ptr<KNError> error) {
            std::optional<std::filesystem::path> file;
            if (url && url->filePath()) file = *url->filePath();
            done(file, std::move(error));
        });
    }
    void writeEncodedVideo(const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override {
        saver_->writeEncodedVideo(sampleBuffer);
    }
    void writeEncodedAudio(const Bytes& data, platform::MediaTime duration, platform::MediaTime presentationTime) override {
        saver_->writeEncodedAudioDurationPresentationTime(data, duration, presentationTime);
    }
    void localSaverDidFailWritingEncodedVideoWithError(KNLocalSaver*, std::shared_ptr<KNError> error) override {
        if (auto listener = listener_.lock()) listener->localSaverDidFailWriting(error);
    }
    void localSaverDidFailWritingEncodedAudioWithError(KNLocalSaver*, std::shared_ptr<KNError> error) override {
        if (auto listener = listener_.lock()) listener->localSaverDidFailWriting(error);
    }
    const std::shared_ptr<KNLocalSaver> saver_ = KNLocalSaver::create();

private:
    std::weak_ptr<KNHubLocalSaverListener> listener_;
};

// The validator takes one caller at a time; the hub asks from the host's thread and the
// destinations' report queue.
class Validator final : public KNHubValidator {
public:
    int64_t validateBitrate(int64_t bitrate, int64_t, std::shared_ptr<KNError>* error) override {
        std::lock_guard lock(mutex_);
        return validator_->validateBitrateWithError(bitrate, error);
    }
    int64_t validateFrameResolution(int64_t resolution, std::shared_ptr<KNError>* error) override {
        std::lock_guard lock(mutex_);
        return validator_->validateFrameResolutionWithError(resolution, error);
    }

private:
    std::mutex mutex_;
    const std::shared_ptr<KNVideoEncoderSettingsValidator> validator_ = KNVideoEncoderSettingsValidator::create();
};

class SystemComponents final : public KNInternalRecorderComponents {
public:
    std::shared_ptr<KNHubStreamSources> makeStreamSources() override { return std::make_shared<StreamSources>(); }
    std::shared_ptr<KNHubVideoEncoder> makeVideoEncoder() override { return std::make_shared<VideoEncoder>(); }
    std::shared_ptr<KNHubAudioEncoder> makeAudioEncoder() override { return std::make_shared<AudioEncoder>(); }
    std::shared_ptr<KNHubValidator> makeValidator() override { return std::make_shared<Validator>(); }
    std::shared_ptr<KNHubLocalSaver> makeLocalSaver() override {
        auto saver = std::make_shared<LocalSaver>();
        saver->saver_->setDelegate(saver);
        return saver;
    }
    std::shared_ptr<KNHubCaptureSession> makeCaptureSession() override {
        auto capture = KNCaptureSession::captureSession();
        if (!capture) return nullptr;
        return std::make_shared<CaptureSession>(std::move(capture));
    }
    std::shared_ptr<KNHubAudioCapture> makeAudioCapture() override {
        auto microphone = std::make_shared<AudioCapture>();
        microphone->capture_->setDelegate(microphone);
        return microphone;
    }
    std::shared_ptr<KNHubReachability> makeReachability() override { return std::make_shared<Reachability>(); }
    bool cameraAuthorized() override { return KNUtils::utils()->hasAccessToCamera(); }
    bool microphoneAuthorized() override { return KNUtils::utils()->hasAccessToMicrophone(); }
    void setIdleTimerDisabled(bool disabled) override { platform::Application::shared().setIdleTimerDisabled(disabled); }
    std::string nameForLocalFile() override { return KNUtils::utils()->nameForLocalFile(); }
    void addVideoToLibrary(const std::filesystem::path& file,
                           std::function<void(bool success, std::shared_ptr<KNError> error)> done) override {
        // The saver named the file itself, so its path always makes a file URL.
        auto url = platform::URL::fromFilePath(file.string());
        if (!url) {
            if (done) done(false, nullptr);
            return;
        }
        KNAssetsLibrary::create()->addVideoWithURLCompletionBlock(*url, std::move(done));
    }
};

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<KNInternalRecorderComponents>& installed() {
    static std::shared_ptr<KNInternalRecorderComponents> components;
    return components;
}

}  // namespace

std::shared_ptr<KNInternalRecorderComponents> KNInternalRecorderComponents::current() {
    std::lock_guard lock(currentMutex());
    if (installed()) return installed();
    return std::make_shared<SystemComponents>();
}

void KNInternalRecorderComponents::setCurrentForTesting(std::shared_ptr<KNInternalRecorderComponents> components) {
    std::lock_guard lock(currentMutex());
    installed() = std::move(components);
}
