#pragma once
// The pipeline hub behind the camera recorder: owns the capture session, the microphone, both
// encoders, the validator, the local saver, the destinations and the reachability monitor; runs
// the streaming state machine, routes media and encoder output, and records locally.
//
// The most recently made hub is also held process-wide until endSession(), so it outlives its
// recorder (with the microphone running) until the session is ended. Completions said to run on
// the main queue run where the host drains platform::RunLoop::main().
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kestrune/KNRecorderState.h"
#include "kestrune/KNTypes.h"
#include "recorder/KNInternalRecorderComponents.h"
#include "recorder/KNInternalRecorderDelegate.h"

class KNError;
class KNRecordingUtils;
struct KNImage;
class KNInfo;
class KNRecorderSettings;
class KNStreamInfo;
class KNWarning;
namespace platform {
class CaptureDevice;
}  // namespace platform

class KNInternalRecorder : public KNHubCaptureListener,
                           public KNH264EncoderDelegate,
                           public KNAACEncoderDelegate,
                           public KNStreamSourcesManagerDelegate,
                           public KNHubLocalSaverListener,
                           public std::enable_shared_from_this<KNInternalRecorder> {
public:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    using Completion = std::function<void(bool success, std::shared_ptr<KNError> error)>;
    using StopRecordingCompletion =
        std::function<void(bool success, std::shared_ptr<KNError> error, std::optional<std::filesystem::path> file)>;
    // The picture of the frame as the encoder got it, made by the hub's recording utilities.
    using SnapshotCallback = std::function<void(std::shared_ptr<KNImage> image, std::shared_ptr<KNError> error)>;

    // A new hub made with KNInternalRecorderComponents::current(); the microphone runs from here on.
    static std::shared_ptr<KNInternalRecorder> internalRecorder();
    static std::shared_ptr<KNInternalRecorder> internalRecorderWithComponents(
        std::shared_ptr<KNInternalRecorderComponents> components);
    // The process-wide reference (test hook; nothing in the library reads it).
    static std::shared_ptr<KNInternalRecorder> currentRecorderForTesting();
    ~KNInternalRecorder() override;

    // Set-up; each is refused while active (warning 0, NO).
    bool setupWithStreamInfo(std::shared_ptr<KNStreamInfo> info);
    bool changeStreamInfoWithNewStreamInfo(const std::shared_ptr<KNStreamInfo>& oldInfo,
                                           std::shared_ptr<KNStreamInfo> newInfo);
    bool setupWithSettings(std::shared_ptr<KNRecorderSettings> settings);
    // Whether a settings object's audio sample rate can be taken; the microphone fixes it. Fills
    // `error` (5002) when it can't.
    bool acceptsAudioSampleRate(int64_t rate, std::shared_ptr<KNError>* error) const;
    void startCamera();
    void endSession();
    void setupWithCaptureView(const std::shared_ptr<platform::View>& view);
    void addTapToFocusFeatureWithManager(std::shared_ptr<CameraFocusManager> manager);
    void removeTapToFocusFeature();
    // After endSession() these answer as without a camera.
    platform::Range getZoomRange() const;
    double getZoom() const;
    void setZoomError(double zoom, std::shared_ptr<KNError>* error);

    // Streaming.
    void startStreamingWithCompletion(Completion completion);
    void stopStreaming();
    bool isActive() const { return recordingState_.load() != KNRecorderStateIdle; }
    // The camera the live controls act on; null after endSession() or without a camera.
    std::shared_ptr<KNHubCaptureSession> currentCaptureSession() const { return captureSession(); }
    bool hasInternetConnection();
    void changeRecordingState(int64_t state);
    void forwardInfo(const std::shared_ptr<KNInfo>& info);
    void forwardWarning(const std::shared_ptr<KNWarning>& warning);
    void forwardError(const std::shared_ptr<KNError>& error);
    void forwardDidChangeNetworkStatus(int64_t status);

    // Media path, adaptive bitrate and destinations.
    void takeSnapshotWithCompletion(SnapshotCallback callback);
    void setMetadata();
    void startEncoders();
    static void blackVideoInBuffer(platform::SampleBuffer& sampleBuffer);
    // The buffer with its first 2 x samples bytes (16-bit samples) zeroed, as a copy: sample bytes
    // are shared and immutable.
    static std::shared_ptr<platform::SampleBuffer> muteAudioInBuffer(const platform::SampleBuffer& sampleBuffer);
    void startAdaptiveBitrateService();
    void stopAdaptiveBitrateService();
    void adaptBitrateToBandwidthEstimation(uint64_t bitsPerSecond);
    void adaptVideoToBandwidthEstimation(uint64_t bitsPerSecond);
    uint64_t adaptAudioToBandwidthEstimation(uint64_t bitsPerSecond);
    void videoEncoderSettingsValidatorDidAdjustBitrate(int64_t bitrate);
    // The video bit rate adaptive bitrate last gave the encoder; 0 before its first choice.
    int64_t adaptedVideoBitrate() const { return adaptedVideoBitrate_.load(); }
    KNHubStreamSources::Sources streamSources() const;
    std::shared_ptr<KNStreamSource> addStreamingSourceWithInfo(std::shared_ptr<KNStreamInfo> info);
    void removeStreamingSourceWithInfo(const std::shared_ptr<KNStreamSource>& source);
    void setRTMPTimeout(uint64_t seconds);

    // Local recording. Completions run on the saver's or the library's thread.
    void startRecordingWithCompletion(Completion completion);
    void stopRecordingWithCompletion(StopRecordingCompletion completion);
    void startLocalSaving(Completion completion);
    void stopLocalSavingAndReportError(const std::shared_ptr<KNError>& error);
    void enableLocalSaving(std::shared_ptr<KNError>* error);
    void disableLocalSaving(std::shared_ptr<KNError>* error);

    // The live controls set-up applies; each answers synchronously.
    void changeCameraCompletion(int64_t camera, Completion completion);
    void changeRecordingModeWithCompletion(int64_t mode, Completion completion);
    void changeVideoResolutionCompletion(int64_t resolution, Completion completion);
    // Applies a resolution untested: its frame size, profile and capture preset.
    void changeVideoResolution(int64_t resolution);
    // Whether the current camera has a format of the size, either way round; NO without a camera.
    bool isVideoFrameSizeSupported(KNVideoFrameSize size) const;
    // The rate held within each of the active format's ranges in turn, truncated.
    static int64_t validFrameRateForDevice(int64_t rate, const platform::CaptureDevice& device);
    void changeVideoBitrateCompletion(int64_t bitrate, Completion completion);
    // Only the microphone's own rate is taken: it can't deliver another (5002 otherwise).
    void changeAudioSampleRateCompletion(double rate, Completion completion);
    void changeFrameRateCompletion(int64_t rate, std::function<void(int64_t rate)> completion);
    void changeKeyFrameIntervalCompletion(int64_t interval, Completion completion);
    void updateVideoOrientationForOrientation(int64_t orientation);
    void changeTorchModeCompletion(int64_t mode, Completion completion);

    std::shared_ptr<KNInternalRecorderDelegate> internalRecorderDelegate() const;
    void setInternalRecorderDelegate(std::weak_ptr<KNInternalRecorderDelegate> delegate);
    std::shared_ptr<KNRecorderSettings> settings() const;
    int64_t recordingState() const { return recordingState_.load(); }
    int64_t recorderType() const { return recorderType_.load(); }
    bool isSendingVideo() const { return isSendingVideo_.load(); }
    void setIsSendingVideo(bool sending) { isSendingVideo_.store(sending); }
    bool isSendingAudio() const { return isSendingAudio_.load(); }
    void setIsSendingAudio(bool sending) { isSendingAudio_.store(sending); }
    bool videoFrameInverted() const { return videoFrameInverted_.load(); }
    void setVideoFrameInverted(bool inverted) { videoFrameInverted_.store(inverted); }
    bool isPortrait() const { return isPortrait_.load(); }
    int64_t resolution() const { return resolution_.load(); }
    int64_t frameRate() const { return frameRate_.load(); }
    int64_t keyFrameInterval() const { return keyFrameInterval_.load(); }
    int64_t audioSampleRate() const { return audioSampleRate_.load(); }
    int64_t audioBitrate() const { return audioBitrate_.load(); }
    KNVideoFrameSize videoFrameSize() const;
    // The H.264 profile-level text of the resolution; stored, not read by the hub.
    std::string videoProfile() const;

    // Component reports.
    void captureOutputDidOutputSampleBuffer(const void* output,
                                            const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override;
    void captureOutputAudioDataTimestamp(const Bytes& data, uint64_t timestamp) override;
    void captureOutputRouteDidChange() override;
    void captureSessionDidStartRunning() override;
    void captureSessionDidStopRunning() override;
    void captureSessionRuntimeError(const std::string& description) override;
    void H264EncoderDidExtractSpsPps(KNH264Encoder* encoder, const Bytes& sps, const Bytes& pps) override;
    void H264EncoderDidEncodeDataIsKeyFrameTimestamp(KNH264Encoder* encoder, const Bytes& data, bool isKeyFrame,
                                                     uint64_t timestampMs) override;
    void H264EncoderDidEncodeSampleBuffer(KNH264Encoder* encoder,
                                          const std::shared_ptr<platform::SampleBuffer>& sampleBuffer) override;
    void H264EncoderDidFailStartingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error) override;
    void H264EncoderDidFailEncodingWithError(KNH264Encoder* encoder, const std::shared_ptr<KNError>& error) override;
    void AACEncoderDidEncodeDataWithDurationPresentationTime(KNAACEncoderBase* encoder, const Bytes& data,
                                                             platform::MediaTime duration,
                                                             platform::MediaTime presentationTime) override;
    void AACEncoderDidEncodeDataWithAdtsHeaderWithDurationTimestamp(KNAACEncoderBase* encoder, const Bytes& data,
                                                                    platform::MediaTime duration,
                                                                    uint64_t timestamp) override;
    void AACEncoderDidFinishConfiguring(KNAACEncoderBase* encoder) override;
    void AACEncoderDidFailEncodingWithError(KNAACEncoderBase* encoder, std::shared_ptr<KNError> error) override;
    void streamSourcesManagerFirstStreamDidConnect(KNStreamSourcesManager* manager) override;
    void streamSourcesManagerStreamSourceDidFailConnectingWithError(KNStreamSourcesManager* manager,
                                                                    const std::shared_ptr<KNStreamSource>& source,
                                                                    const std::shared_ptr<KNError>& error) override;
    void streamSourcesManagerDidEstimateNewBitrate(KNStreamSourcesManager* manager, uint64_t bitsPerSecond) override;
    void streamSourcesManagerDidUpdateBitrate(KNStreamSourcesManager* manager, uint64_t kilobytes) override;
    void streamSourcesManagerDidDropPacket(KNStreamSourcesManager* manager) override;
    void localSaverDidFailWriting(const std::shared_ptr<KNError>& error) override;

    KNInternalRecorder(std::shared_ptr<KNInternalRecorderComponents> components);

private:
    void setupDefaults();
    void setupReachability();
    void setupRecorderPipeline();
    void setupCaptureSession();
    bool refuseWhileActive();
    void setStateLocked(int64_t state);
    void deliverStateReports();
    void finishStop(Completion held);
    // Stops both encoders unless a stream or a recording still needs them; true when it did.
    bool stopEncodersUnlessNeeded();
    void afterEncodersDrained(std::function<void()> then);
    std::shared_ptr<KNHubCaptureSession> captureSession() const;
    Completion takeStartStreamCompletion();
    void answerHeldStartOnMainQueue(bool success, std::shared_ptr<KNError> error);
    KNVideoFrameSize encodedFrameSize() const;
    uint64_t microphoneSampleRate() const;
    void finishLocalSaving(StopRecordingCompletion completion);
    void exportRecording(const std::filesystem::path& file, StopRecordingCompletion completion);

    const std::shared_ptr<KNInternalRecorderComponents> components_;
    std::shared_ptr<KNHubReachability> reachability_;
    std::shared_ptr<KNHubStreamSources> streamSourcesManager_;
    std::shared_ptr<KNHubVideoEncoder> nH264Encoder_;
    std::shared_ptr<KNHubAudioEncoder> nAACEncoder_;
    std::shared_ptr<KNHubValidator> videoSettingsValidator_;
    std::shared_ptr<KNHubLocalSaver> localSaver_;
    std::shared_ptr<KNHubAudioCapture> audioCapture_;

    std::atomic<int64_t> recordingState_{KNRecorderStateIdle};
    std::atomic<int64_t> recorderType_{0};
    std::atomic<bool> videoFrameInverted_{false};
    std::atomic<bool> isSendingVideo_{true};
    std::atomic<bool> isSendingAudio_{true};
    std::atomic<bool> isPortrait_{false};
    std::atomic<int64_t> resolution_{2073600};
    std::atomic<int64_t> frameRate_{30};
    std::atomic<int64_t> keyFrameInterval_{0};
    std::atomic<int64_t> audioSampleRate_{0};
    std::atomic<int64_t> audioBitrate_{80000};
    std::atomic<int64_t> adaptedVideoBitrate_{0};
    // A destination dropped since adaptive bitrate was switched on: the link is narrower than the stream.
    std::atomic<bool> linkShowedLimit_{false};
    // Capture-session events count only until endSession().
    std::atomic<bool> observingCaptureSession_{false};
    // The encoders were started and no stop has followed; the capture feeds them only then.
    std::atomic<bool> encodersRunning_{false};
    std::atomic<bool> adaptiveBitrateOn_{false};

    // Encoder starts and stops, with the decision whether a stop is due, in one order.
    std::mutex encoderMutex_;
    // An estimate and the switch-off's restored bit rate reach the encoder in one order.
    std::mutex bitrateMutex_;

    // Where the saver's start of the current recording stands.
    enum class SaverStart { NotArmed, Armed, Starting, Started, Failed };

    mutable std::mutex mutex_;
    // A stop that landed while the start was still running; the start carries it out.
    bool stopRequested_ = false;
    std::vector<int64_t> pendingStateReports_;
    bool deliveringStateReports_ = false;
    // A recording was asked for and no stop or write failure has ended it.
    bool recordingRequested_ = false;
    bool writeFailureReported_ = false;
    SaverStart saverStart_ = SaverStart::NotArmed;
    std::vector<Completion> saverStartWaiters_;
    KNVideoFrameSize videoFrameSize_{};
    std::string videoProfile_;
    std::weak_ptr<KNInternalRecorderDelegate> delegate_;
    Completion startStreamCompletion_;
    SnapshotCallback snapshotCallback_;
    std::shared_ptr<KNRecorderSettings> settings_;
    std::shared_ptr<KNHubCaptureSession> captureSession_;
    std::shared_ptr<KNRecordingUtils> recordingUtils_;
};
